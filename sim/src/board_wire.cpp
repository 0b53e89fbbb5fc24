#include "sim/board_wire.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace boardwire {

void put32(std::vector<uint8_t>& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t get32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

namespace {

bool knownOp(uint8_t op)
{
    switch (static_cast<Op>(op)) {
    case Op::Hello:
    case Op::Reply:
    case Op::PortCount:
    case Op::PortBase:
    case Op::Claim:
    case Op::Release:
    case Op::PortOut:
    case Op::PortIn:
    case Op::PortInSeen:
    case Op::MbMayOpen:
    case Op::MbOut:
    case Op::MbIn:
    case Op::I2c:
    case Op::FanRpm: return true;
    }
    return false;
}

Decoded malformed(std::string why)
{
    Decoded d;
    d.status = Decoded::Status::Malformed;
    d.error = std::move(why);
    return d;
}

}  // namespace

std::vector<uint8_t> encodeClaimedPort(const ClaimedPort& port)
{
    std::vector<uint8_t> out;
    put32(out, port.base);
    out.push_back(port.inverting ? 1 : 0);
    return out;
}

std::optional<ClaimedPort> decodeClaimedPort(std::span<const uint8_t> data)
{
    if (data.size() != 5)
        return std::nullopt;
    return ClaimedPort{get32(data.data()), data[4] != 0};
}

void encode(const Message& message, std::vector<uint8_t>& out)
{
    const size_t data = std::min(message.data.size(), kMaxData);
    put32(out, static_cast<uint32_t>(kFixedBody + data));
    out.push_back(static_cast<uint8_t>(message.op));
    for (int32_t v : {message.a, message.b, message.c, message.d})
        put32(out, static_cast<uint32_t>(v));
    out.push_back(static_cast<uint8_t>(data & 0xFF));
    out.push_back(static_cast<uint8_t>(data >> 8));
    out.insert(out.end(), message.data.begin(), message.data.begin() + static_cast<std::ptrdiff_t>(data));
}

Decoded decode(std::span<const uint8_t> bytes)
{
    if (bytes.size() < kHeaderBytes)
        return {};
    const uint32_t length = get32(bytes.data());
    if (length < kFixedBody)
        return malformed("a message of " + std::to_string(length) + " bytes is too short");
    if (length > kMaxBody)
        return malformed("a message of " + std::to_string(length) + " bytes is too long");
    if (bytes.size() < kHeaderBytes + length)
        return {};
    const uint8_t* body = bytes.data() + kHeaderBytes;
    if (!knownOp(body[0]))
        return malformed("unknown request " + std::to_string(body[0]));
    const size_t data = static_cast<size_t>(body[17]) | static_cast<size_t>(body[18]) << 8;
    if (kFixedBody + data != length)
        return malformed("the data length does not match the message length");
    Decoded d;
    d.status = Decoded::Status::Complete;
    d.consumed = kHeaderBytes + length;
    d.message.op = static_cast<Op>(body[0]);
    d.message.a = static_cast<int32_t>(get32(body + 1));
    d.message.b = static_cast<int32_t>(get32(body + 5));
    d.message.c = static_cast<int32_t>(get32(body + 9));
    d.message.d = static_cast<int32_t>(get32(body + 13));
    d.message.data.assign(body + kFixedBody, body + length);
    return d;
}

std::string defaultSocketPath()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/')
        return std::string(runtime) + "/fanscope/board.sock";
    return "/tmp/fanscope-" + std::to_string(::getuid()) + "/board.sock";
}

int connectSocket(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

namespace {

std::optional<std::string> folderOf(const std::string& socketPath)
{
    const auto slash = socketPath.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return std::nullopt;  // the current folder or /: the user chose it
    return socketPath.substr(0, slash);
}

std::optional<std::string> checkFolder(const std::string& folder, const struct stat& st)
{
    if (!S_ISDIR(st.st_mode))
        return folder + " is not a folder";
    if (st.st_uid != ::getuid())
        return folder + " belongs to another user";
    // A folder others may enter would let them reach the board's socket.
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
        return folder + " may be entered by other users (mode " + mode + ")";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> prepareSocketFolder(const std::string& socketPath)
{
    const auto folder = folderOf(socketPath);
    if (!folder)
        return std::nullopt;
    if (::mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create " + *folder + ": " + std::strerror(errno);
    struct stat st { };
    if (::lstat(folder->c_str(), &st) != 0)
        return "cannot read " + *folder + ": " + std::strerror(errno);
    return checkFolder(*folder, st);
}

std::optional<std::string> checkSocketFolder(const std::string& socketPath)
{
    const auto folder = folderOf(socketPath);
    if (!folder)
        return std::nullopt;
    struct stat st { };
    if (::lstat(folder->c_str(), &st) != 0)
        return std::nullopt;
    return checkFolder(*folder, st);
}

std::optional<std::string> checkPeerIsThisUser(int fd)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return std::string("cannot tell who runs it: ") + std::strerror(errno);
    if (peer.uid != ::getuid())
        return "it runs as another user (uid " + std::to_string(peer.uid) + ")";
    return std::nullopt;
}

}  // namespace boardwire
