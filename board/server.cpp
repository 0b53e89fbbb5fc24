#include "server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cmath>
#include <limits>

#include <sim/board.h>
#include <sim/motherboard.h>

#include "i2cadapter_abi.h"

namespace board {
namespace {

using boardwire::Message;
using boardwire::Op;

// Requests served from one client before the others get their turn, so a
// busy client cannot starve them.
constexpr int kTurn = 256;
// Unprocessed input a client may have queued before the board stops reading
// from it (the socket then pushes back on the sender).
constexpr size_t kMaxPendingInput = size_t{256} * 1024;

}  // namespace

Server::Server(ServerOptions options)
    : m_options(std::move(options)), m_turns(PortTurns::Options{m_options.claimWait, m_options.lendAfter})
{ }

Server::~Server()
{
    for (auto& [id, client] : m_clients)
        ::close(client.fd);
    if (m_listen >= 0) {
        ::close(m_listen);
        ::unlink(m_options.socket.c_str());
    }
    if (m_lock >= 0)
        ::close(m_lock);
}

std::optional<std::string> Server::listen()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_options.socket.size() >= sizeof address.sun_path)
        return "the socket path is too long: " + m_options.socket;
    std::memcpy(address.sun_path, m_options.socket.c_str(), m_options.socket.size() + 1);

    // Two boards started at once for the same socket: the lock lets one win.
    const std::string lockPath = m_options.socket + ".lock";
    m_lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lock < 0)
        return "cannot open " + lockPath + ": " + std::strerror(errno);
    if (::flock(m_lock, LOCK_EX | LOCK_NB) != 0)
        return "another fanscope-board serves " + m_options.socket;

    // A socket file left by a board that died is taken over; a live one is not.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        const bool live = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(probe);
        if (live)
            return "another fanscope-board serves " + m_options.socket;
    }
    ::unlink(m_options.socket.c_str());

    m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listen < 0)
        return std::string("cannot make a socket: ") + std::strerror(errno);
    // Created 0600 from the start: no moment when others could connect.
    const mode_t old = ::umask(0177);
    const int bound = ::bind(m_listen, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::umask(old);
    if (bound != 0) {
        ::close(m_listen);
        m_listen = -1;
        return "cannot listen at " + m_options.socket + ": " + std::strerror(error);
    }
    if (::listen(m_listen, 64) != 0)
        return "cannot listen at " + m_options.socket + ": " + std::strerror(errno);
    m_lastClient = Clock::now();
    std::printf("fanscope-board: listening on %s (%s)\n", m_options.socket.c_str(), m_options.description.c_str());
    std::fflush(stdout);
    return std::nullopt;
}

int Server::run(const volatile sig_atomic_t& stop)
{
    sigset_t open;
    sigemptyset(&open);
    while (!stop) {
        const auto now = Clock::now();
        if (m_clients.empty() && now - m_lastClient >= m_options.idleExit) {
            std::printf(
                "fanscope-board: no clients for %lld s, stopping\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(m_options.idleExit).count()));
            return 0;
        }
        // Sleep until the next deadline: a hello, a turn, a claim wait or the idle exit.
        auto wake = m_clients.empty() ? m_lastClient + m_options.idleExit : now + std::chrono::hours(1);
        wake = std::min(wake, m_turns.nextDeadline(now));
        bool moreInput = false;
        std::vector<pollfd> fds{{m_listen, POLLIN, 0}};
        std::vector<int> ids;
        for (auto& [id, c] : m_clients) {
            if (!c.greeted)
                wake = std::min(wake, c.since + m_options.helloTimeout);
            if (!c.closing && boardwire::decode(c.in).status != boardwire::Decoded::Status::NeedMore &&
                !m_turns.waiting(id))
                moreInput = true;
            short events = 0;
            if (!c.closing && !c.peerClosed && c.in.size() < kMaxPendingInput)
                events |= POLLIN;
            if (!c.out.empty())
                events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            ids.push_back(id);
        }
        const auto waitMs =
            moreInput ? 0 : std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(wake - now).count());
        timespec timeout{static_cast<time_t>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000000L};
        const int ready = ::ppoll(fds.data(), fds.size(), &timeout, &open);
        if (ready < 0 && errno != EINTR) {
            std::perror("fanscope-board: poll");
            return 1;
        }
        if (stop)
            break;
        if (ready > 0 && (fds[0].revents & POLLIN))
            accept();
        for (size_t i = 1; i < fds.size(); ++i) {
            auto it = m_clients.find(ids[i - 1]);
            if (it == m_clients.end())
                continue;
            Client& c = it->second;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                readFrom(c);
            if (c.fd >= 0 && (fds[i].revents & POLLOUT))
                writeTo(c);
        }
        const auto later = Clock::now();
        for (auto& [id, c] : m_clients) {
            if (c.fd < 0)
                continue;
            if (!c.greeted && later - c.since >= m_options.helloTimeout) {
                drop(c, "said nothing");
                continue;
            }
            if (!c.closing)
                serve(c);
            if (c.fd >= 0 && c.peerClosed)
                drop(c, "");
            if (c.fd >= 0)
                writeTo(c);
        }
        handOutTurns();
        if (std::erase_if(m_clients, [](const auto& entry) { return entry.second.fd < 0; }) > 0 && m_clients.empty())
            m_lastClient = Clock::now();
    }
    std::printf("fanscope-board: stopping\n");
    return 0;
}

void Server::accept()
{
    for (;;) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        Client c;
        c.fd = fd;
        c.id = m_nextId++;
        c.since = Clock::now();
        ucred peer{};
        socklen_t length = sizeof peer;
        std::string who;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0)
            who = " (pid " + std::to_string(peer.pid) + ")";
        std::printf("fanscope-board: client %d connected%s\n", c.id, who.c_str());
        std::fflush(stdout);
        m_clients.emplace(c.id, std::move(c));
    }
}

void Server::readFrom(Client& c)
{
    uint8_t buffer[64 * 1024];
    const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n == 0) {
        // A process's last writes often come just before it exits: they
        // still count, so what it sent is served before it is dropped.
        c.peerClosed = true;
        return;
    }
    if (n < 0) {
        drop(c, "");
        return;
    }
    c.in.insert(c.in.end(), buffer, buffer + n);
}

void Server::serve(Client& c)
{
    size_t offset = 0;
    const int turns = c.peerClosed ? std::numeric_limits<int>::max() : kTurn;
    for (int turn = 0; turn < turns && c.fd >= 0 && !c.closing && !m_turns.waiting(c.id); ++turn) {
        const auto decoded = boardwire::decode(std::span<const uint8_t>(c.in).subspan(offset));
        if (decoded.status == boardwire::Decoded::Status::NeedMore)
            break;
        if (decoded.status == boardwire::Decoded::Status::Malformed) {
            drop(c, decoded.error);
            return;
        }
        if (c.greeted && mustWait(c, decoded.message))
            break;
        offset += decoded.consumed;
        ++c.requests;
        if (!handle(c, decoded.message))
            break;
    }
    if (c.fd >= 0)
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool Server::handle(Client& c, const Message& m)
{
    if (!c.greeted) {
        if (m.op != Op::Hello || static_cast<uint32_t>(m.a) != boardwire::kMagic) {
            drop(c, "did not say hello");
            return false;
        }
        Message hello;
        hello.op = Op::Hello;
        hello.a = boardwire::kVersion;
        hello.b = m.b == boardwire::kVersion ? 1 : 0;
        // Every client measures in board seconds, so it learns the board's pace here.
        hello.c = static_cast<int32_t>(std::lround(sim::board().config().timeScale * boardwire::kTimeScaleUnit));
        hello.data.assign(m_options.description.begin(), m_options.description.end());
        boardwire::encode(hello, c.out);
        if (hello.b == 0) {
            std::printf("fanscope-board: client %d speaks protocol version %d, not %d\n", c.id, m.b,
                        boardwire::kVersion);
            c.closing = true;
            return false;
        }
        c.greeted = true;
        return true;
    }
    sim::Board& b = sim::board();
    switch (m.op) {
    case Op::Hello:
    case Op::Reply: drop(c, "sent an answer as a request"); return false;
    case Op::PortCount: answer(c, b.portCount()); return true;
    case Op::PortBase: {
        const sim::Port* port = b.port(m.a - 1);
        answer(c, port ? static_cast<int32_t>(port->base()) : 0);
        return true;
    }
    case Op::Claim:
        switch (m_turns.claim(m.a, c.id)) {
        case PortTurns::Claim::Granted: answer(c, 1, claimed(m.a)); return true;
        case PortTurns::Claim::Refused: answer(c, 0); return true;  // none such, or held by another process
        case PortTurns::Claim::Waits: return false;
        }
        return false;
    case Op::Release: m_turns.release(m.a, c.id); return true;
    case Op::PortOut: {
        const auto address = static_cast<uint32_t>(m.a);
        if (m_turns.owns(c.id, address))
            b.portAt(address)->write(address - b.portAt(address)->base(), static_cast<uint8_t>(m.b));
        return true;
    }
    case Op::PortIn: {
        // Without the claim a port reads 0, as an unclaimed one does.
        const auto address = static_cast<uint32_t>(m.a);
        if (!m_turns.owns(c.id, address)) {
            answer(c, 0);
            return true;
        }
        sim::Port* port = b.portAt(address);
        const uint32_t offset = address - port->base();
        const uint8_t value = port->read(offset);
        std::vector<uint8_t> ahead;
        if (offset == 1 && (m.b & boardwire::kReadAheadWanted) != 0) {
            if (const auto readAhead = port->readAhead())
                ahead = readAhead->encode();
        }
        answer(c, value, std::move(ahead));
        return true;
    }
    case Op::PortInSeen: {
        // The read happens here, in its place among the writes, as if the
        // client had asked: the port's read has effects of its own.
        const auto address = static_cast<uint32_t>(m.a);
        if (!m_turns.owns(c.id, address))
            return true;
        sim::Port* port = b.portAt(address);
        const uint8_t value = port->read(address - port->base());
        if (value != static_cast<uint8_t>(m.b) && c.readAheadMisses++ == 0) {
            std::printf("fanscope-board: client %d answered a status read itself with 0x%02X; the port read "
                        "0x%02X\n",
                        c.id, static_cast<unsigned>(m.b & 0xFF), static_cast<unsigned>(value));
            std::fflush(stdout);
        }
        return true;
    }
    case Op::MbMayOpen: {
        bool may = m.a >= 0 && m.b >= m.a && m.b <= 0xFFFF;
        for (int32_t p = m.a; may && p <= m.b; ++p)
            may = sim::motherboard().mayOpen(static_cast<uint16_t>(p));
        answer(c, may ? 1 : 0);
        return true;
    }
    case Op::MbOut: {
        if (m.a < 0 || m.a > 0xFFFF)
            return true;
        const auto port = static_cast<uint16_t>(m.a);
        if (m.c == 1)
            sim::motherboard().outb(port, static_cast<uint8_t>(m.b));
        else if (m.c == 2)
            sim::motherboard().outw(port, static_cast<uint16_t>(m.b));
        else if (m.c == 4)
            sim::motherboard().outl(port, static_cast<uint32_t>(m.b));
        return true;
    }
    case Op::MbIn: {
        uint32_t value = 0xFFFFFFFFu;
        if (m.a >= 0 && m.a <= 0xFFFF) {
            const auto port = static_cast<uint16_t>(m.a);
            if (m.b == 1)
                value = sim::motherboard().inb(port);
            else if (m.b == 2)
                value = sim::motherboard().inw(port);
            else if (m.b == 4)
                value = sim::motherboard().inl(port);
        }
        answer(c, static_cast<int32_t>(value));
        return true;
    }
    case Op::I2c: {
        std::vector<uint8_t> data;
        const int32_t result = i2cCall(c, m, data);
        answer(c, result, std::move(data));
        return true;
    }
    case Op::FanRpm: {
        sim::Chip* chip =
            (m.a == 0 || m.a == 1) && m.b >= 0 && m.b <= 0xFF ? b.chip(static_cast<uint8_t>(m.b)) : nullptr;
        answer(c, chip ? static_cast<int32_t>(std::lround(chip->fanRpm(m.a))) : -1);
        return true;
    }
    }
    return true;
}

int32_t Server::i2cCall(Client& c, const Message& m, std::vector<uint8_t>& data)
{
    using boardwire::I2cCall;
    const auto call = static_cast<I2cCall>(m.a);
    if (call == I2cCall::List) {
        const int32_t capacity = std::clamp<int32_t>(m.b, 0, boardwire::kMaxData / sizeof(VxI2cAdapterInfo));
        std::vector<VxI2cAdapterInfo> records(static_cast<size_t>(capacity));
        for (auto& r : records)
            r.size = sizeof(VxI2cAdapterInfo);
        const int32_t count = VxI2cListAdapters(records.data(), capacity);
        const auto* bytes = reinterpret_cast<const uint8_t*>(records.data());
        if (count > 0)
            data.assign(bytes, bytes + sizeof(VxI2cAdapterInfo) * static_cast<size_t>(std::min(count, capacity)));
        return count;
    }
    if (call == I2cCall::Open) {
        const int32_t handle = VxI2cOpen(m.b);
        if (handle >= 0)
            c.i2cHandles.insert(handle);
        return handle;
    }
    // Every other call names a handle, which must be one this client opened.
    const int32_t handle = m.b;
    if (!c.i2cHandles.count(handle))
        return VXI2C_EARGUMENT;
    switch (call) {
    case I2cCall::Close:
        VxI2cClose(handle);
        c.i2cHandles.erase(handle);
        return VXI2C_OK;
    case I2cCall::SetAddress: return VxI2cSetAddress(handle, m.c, m.d);
    case I2cCall::SetPec: return VxI2cSetPec(handle, m.c);
    case I2cCall::Quick: return VxI2cQuick(handle, m.c);
    case I2cCall::ReadByte: return VxI2cReadByte(handle);
    case I2cCall::WriteByte: return VxI2cWriteByte(handle, m.c);
    case I2cCall::ReadByteData: return VxI2cReadByteData(handle, m.c);
    case I2cCall::WriteByteData: return VxI2cWriteByteData(handle, m.c, m.d);
    case I2cCall::ReadWordData: return VxI2cReadWordData(handle, m.c);
    case I2cCall::WriteWordData: return VxI2cWriteWordData(handle, m.c, m.d);
    case I2cCall::ReadBlockData: {
        uint8_t block[VXI2C_BLOCK_MAX] = {};
        const int32_t count = VxI2cReadBlockData(handle, m.c, block);
        if (count > 0)
            data.assign(block, block + std::min<int32_t>(count, VXI2C_BLOCK_MAX));
        return count;
    }
    case I2cCall::WriteBlockData: {
        if (m.data.size() > VXI2C_BLOCK_MAX)
            return VXI2C_EARGUMENT;
        return VxI2cWriteBlockData(handle, m.c, static_cast<int32_t>(m.data.size()), m.data.data());
    }
    default: return VXI2C_EARGUMENT;
    }
}

bool Server::mustWait(const Client& c, const Message& m)
{
    if (m.op != Op::PortOut && m.op != Op::PortIn && m.op != Op::PortInSeen)
        return false;
    return !m_turns.mayAccess(c.id, static_cast<uint32_t>(m.a));
}

void Server::handOutTurns()
{
    // A client served in its turn may end its turn at once (a holder's
    // transfer done while others wait): hand out again until all is quiet.
    for (int round = 0; round < 64; ++round) {
        const auto handouts = m_turns.advance();
        if (handouts.empty())
            return;
        for (const PortTurns::Handout& h : handouts) {
            const auto it = m_clients.find(h.id);
            if (it == m_clients.end() || it->second.fd < 0)
                continue;
            Client& c = it->second;
            if (h.claim)
                answer(c, h.granted ? 1 : 0, h.granted ? claimed(h.port) : std::vector<uint8_t>{});
            serve(c);
            if (c.fd >= 0)
                writeTo(c);
        }
    }
}

std::vector<uint8_t> Server::claimed(int32_t number)
{
    // The port's base and adapter sense, so the client can tell where its
    // transfers begin and end (a board that predates this sends nothing).
    const sim::Port* port = sim::board().port(number - 1);
    if (!port)
        return {};
    return boardwire::encodeClaimedPort({port->base(), port->config().inverting});
}

void Server::answer(Client& c, int32_t value, std::vector<uint8_t> data)
{
    ++c.answered;
    Message reply;
    reply.op = Op::Reply;
    reply.a = value;
    reply.data = std::move(data);
    boardwire::encode(reply, c.out);
}

void Server::writeTo(Client& c)
{
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n <= 0) {
            drop(c, "");
            return;
        }
        c.out.erase(c.out.begin(), c.out.begin() + n);
    }
    if (c.out.size() > m_options.maxUnreadBytes) {
        drop(c, "does not read its answers");
        return;
    }
    if (c.closing && c.out.empty())
        drop(c, "");
}

void Server::drop(Client& c, const std::string& why)
{
    if (c.fd < 0)
        return;
    ::close(c.fd);
    c.fd = -1;
    // A process that ends or is dropped lets go of what it held.
    m_turns.leave(c.id);
    for (int32_t handle : c.i2cHandles)
        VxI2cClose(handle);
    c.i2cHandles.clear();
    if (why.empty())
        std::printf("fanscope-board: client %d disconnected (%ld requests, %ld answered)\n", c.id, c.requests,
                    c.answered);
    else
        std::printf("fanscope-board: client %d dropped: %s\n", c.id, why.c_str());
    std::fflush(stdout);
}

}  // namespace board
