#include "sim/board_link.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <climits>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

namespace sim {
namespace {

using boardwire::Message;
using boardwire::Op;
using Clock = std::chrono::steady_clock;

// Queued writes beyond this go out without waiting for the next read.
constexpr size_t kFlushBytes = 16 * 1024;
// How long a board started on demand may take to listen.
constexpr auto kStartWait = std::chrono::seconds(3);

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::string directoryOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool executable(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// fanscope-board beside the simulator in the build tree (lib/ and bin/),
// below an install prefix (lib[/multiarch]/vexlink06/ and bin/), or beside
// the running program.
std::string boardProgram()
{
    std::vector<std::string> folders;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&boardChoice), &info) != 0 && info.dli_fname != nullptr) {
        std::string dir = directoryOf(info.dli_fname);
        for (int up = 0; up < 3; ++up) {
            dir += "/..";
            folders.push_back(dir + "/bin");
        }
    }
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0)
        folders.push_back(directoryOf(std::string(exe, static_cast<size_t>(n))));
    for (const std::string& folder : folders) {
        const std::string candidate = folder + "/fanscope-board";
        if (executable(candidate)) {
            char real[PATH_MAX];
            return ::realpath(candidate.c_str(), real) ? std::string(real) : candidate;
        }
    }
    return {};
}

// Never destroyed, as the board is not: the platform libraries may still
// be called from other objects' destructors at exit (the window clears its
// heater bits), and those writes must reach the board too.
BoardLink*& instance()
{
    static BoardLink* link = nullptr;
    return link;
}

}  // namespace

BoardChoice boardChoice()
{
    BoardChoice choice;
    const char* config = std::getenv("FANSCOPE_SIM_CONFIG");
    const char* board = std::getenv("FANSCOPE_BOARD");
    if ((config != nullptr && *config != '\0') || (board != nullptr && std::strcmp(board, "inprocess") == 0))
        return choice;
    choice.shared = true;
    if (board != nullptr && *board != '\0') {
        choice.socket = board;
    } else {
        choice.socket = boardwire::defaultSocketPath();
        choice.startOnDemand = true;
    }
    return choice;
}

BoardLink* BoardLink::get()
{
    static const BoardChoice choice = boardChoice();
    if (!choice.shared)
        return nullptr;
    // Made once, whichever thread asks first.
    static BoardLink* const made = [] {
        auto* link = new BoardLink(choice);
        instance() = link;
        // Writes still queued at exit belong to the board: a command's last
        // register write is often the process's last access. Any write after
        // this goes out at once.
        std::atexit([] {
            BoardLink* self = instance();
            self->flush();
            const std::lock_guard lock(self->m_mutex);
            self->m_writeThrough = true;
        });
        link->reach(kReplyMs);
        return link;
    }();
    return made;
}

bool BoardLink::reach(int helloMs)
{
    if (connectOnce(helloMs))
        return true;
    if (!m_startOnDemand || m_refused || !startBoard())
        return false;
    const auto deadline = Clock::now() + kStartWait;
    for (;;) {
        m_problem.clear();
        if (connectOnce(helloMs))
            return true;
        if (m_refused || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

uint64_t BoardLink::reconnect()
{
    const std::lock_guard lock(m_mutex);
    if (m_fd >= 0)
        return m_connection;
    if (m_refused || Clock::now() < m_nextAttempt)
        return 0;
    // The user was told why the board went; a failed attempt's own reason
    // (nobody listens yet) would only replace that.
    const std::string lost = m_problem;
    if (reach(kReconnectHelloMs) && claimAgain()) {
        m_problem.clear();
        m_retry = kRetryFirst;
        m_nextAttempt = {};
        return m_connection;
    }
    if (!lost.empty() && !m_refused)
        m_problem = lost;
    m_nextAttempt = Clock::now() + m_retry;
    m_retry = std::min(m_retry * 2, std::chrono::milliseconds(kRetryMost));
    return 0;
}

bool BoardLink::claimAgain()
{
    // The program still believes it holds these ports; on the new board
    // nobody does yet, so they are taken before any access of its own.
    for (auto it = m_claims.begin(); it != m_claims.end();) {
        boardwire::encode(boardwire::request(Op::Claim, *it), m_out);
        if (!sendAll())
            return false;
        const auto answer = receive(kClaimReplyMs);
        if (!answer)
            return false;
        it = answer->a != 0 ? it + 1 : m_claims.erase(it);
    }
    return true;
}

BoardLink::BoardLink(BoardChoice choice) : m_socket(std::move(choice.socket)), m_startOnDemand(choice.startOnDemand) { }

std::string BoardLink::problem() const
{
    const std::lock_guard lock(m_mutex);
    return m_problem;
}

std::string BoardLink::description() const
{
    const std::lock_guard lock(m_mutex);
    return m_description;
}

std::optional<double> BoardLink::timeScale() const
{
    const std::lock_guard lock(m_mutex);
    return m_timeScale;
}

void BoardLink::fail(std::string why)
{
    if (m_problem.empty())
        m_problem = std::move(why);
    // Nothing queued for the board that went is sent to the next one.
    m_out.clear();
    m_in.clear();
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_connection = 0;
    m_pendingSince = 0;
}

bool BoardLink::connectOnce(int helloMs)
{
    // The default place is checked before anything is sent there: in a
    // folder another user owns or may enter, whatever listens may be theirs.
    if (m_startOnDemand) {
        if (const auto why = boardwire::checkSocketFolder(m_socket)) {
            fail("refusing the shared simulated board: " + *why);
            m_refused = true;
            return false;
        }
    }
    const int fd = boardwire::connectSocket(m_socket);
    if (fd < 0) {
        if (errno == ENAMETOOLONG)
            fail("the shared simulated board's socket path is too long: " + m_socket);
        else
            fail("no shared simulated board listens at " + m_socket + " (" + std::strerror(errno) + ")");
        return false;
    }
    if (const auto why = boardwire::checkPeerIsThisUser(fd)) {
        ::close(fd);
        fail("refusing the shared simulated board in " + directoryOf(m_socket) + ": " + *why);
        m_refused = true;
        return false;
    }
    m_fd = fd;
    const timeval wake{0, 100'000};  // how often a waiting receive looks at its deadline
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
    Message hello;
    hello.op = Op::Hello;
    hello.a = static_cast<int32_t>(boardwire::kMagic);
    hello.b = boardwire::kVersion;
    boardwire::encode(hello, m_out);
    if (!sendAll())
        return false;
    const auto answer = receive(helloMs);
    if (!answer)
        return false;
    if (answer->op != Op::Hello || answer->b == 0) {
        fail("the shared simulated board at " + m_socket + " speaks protocol version " + std::to_string(answer->a) +
             ", this program version " + std::to_string(boardwire::kVersion));
        return false;
    }
    m_description.assign(answer->data.begin(), answer->data.end());
    m_timeScale = answer->c > 0 ? std::optional<double>(answer->c / double(boardwire::kTimeScaleUnit)) : std::nullopt;
    m_connection = ++m_connections;
    return true;
}

bool BoardLink::startBoard()
{
    const std::string program = boardProgram();
    if (program.empty()) {
        m_problem =
            "no shared simulated board listens at " + m_socket + ", and fanscope-board was not found to start one";
        return false;
    }
    if (const auto why = boardwire::prepareSocketFolder(m_socket)) {
        m_problem = "cannot start the shared simulated board: " + *why;
        return false;
    }
    // Everything the child needs is made before fork: after it, only calls
    // that are safe in a child of a threaded process.
    const std::string log = m_socket + ".log";
    // The board keeps the log bounded itself; the descriptors below catch
    // what is written before it takes over (a loader error, say).
    const char* argv[] = {program.c_str(), "--socket", m_socket.c_str(), "--log", log.c_str(), nullptr};
    const pid_t child = ::fork();
    if (child < 0) {
        m_problem = std::string("cannot start the shared simulated board: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        // Its own session, and a grandchild, so the board outlives this
        // process and never becomes its zombie or gets its terminal's signals.
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        const int null = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (null >= 0)
            ::dup2(null, 0);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) { }
    return true;
}

bool BoardLink::sendAll()
{
    if (m_fd < 0)
        return false;
    size_t sent = 0;
    while (sent < m_out.size()) {
        const ssize_t n = ::send(m_fd, m_out.data() + sent, m_out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail("the shared simulated board at " + m_socket + " went away");
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    m_out.clear();
    m_pendingSince = 0;
    return true;
}

std::optional<Message> BoardLink::receive(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto decoded = boardwire::decode(m_in);
        if (decoded.status == boardwire::Decoded::Status::Complete) {
            m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(decoded.consumed));
            return decoded.message;
        }
        if (decoded.status == boardwire::Decoded::Status::Malformed) {
            fail("the shared simulated board at " + m_socket + " sent a broken answer: " + decoded.error);
            return std::nullopt;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            fail("the shared simulated board at " + m_socket + " does not answer");
            return std::nullopt;
        }
        // A blocking receive, the socket's own timeout (set at connect)
        // ending it now and then to look at the deadline: a round trip per bus
        // line read is the link's whole cost, and a poll before each receive
        // was a third of its system calls.
        uint8_t buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0) {
            fail("the shared simulated board at " + m_socket + " went away");
            return std::nullopt;
        }
        m_in.insert(m_in.end(), buffer, buffer + n);
    }
}

void BoardLink::post(const Message& message, Send when)
{
    const std::lock_guard lock(m_mutex);
    if (message.op == Op::Release)
        std::erase(m_claims, message.a);
    if (m_fd < 0)
        return;
    boardwire::encode(message, m_out);
    if (m_writeThrough || when == Send::Now || m_out.size() >= kFlushBytes) {
        sendAll();
        return;
    }
    // The flusher neither wakes for nor waits on a write whose sender
    // promises the next call: inside a transfer that is every write.
    if (when == Send::WithNext)
        return;
    const int64_t now = steadyNs();
    m_lastPost = now;
    if (m_pendingSince != 0)
        return;
    m_pendingSince = now;
    if (!m_flusher) {
        // Without signals: they stay with the program's own threads.
        sigset_t all, old;
        sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            std::thread([this] { flushLate(); }).detach();
            m_flusher = true;
        } catch (const std::system_error&) {
            m_writeThrough = true;  // no thread: every write goes out at once
        }
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    if (m_flusherIdle) {
        const std::lock_guard wake(m_wakeMutex);
        m_wake.notify_one();
    }
}

void BoardLink::flushLate()
{
    constexpr int64_t after = std::chrono::nanoseconds(kFlushAfter).count();
    // While writes keep coming (a transfer under way) the flusher looks
    // every kFlushAfter on its own; after this long without one it sleeps
    // until the next is queued.
    constexpr int64_t idleAfter = 2 * after;
    std::unique_lock wake(m_wakeMutex);
    for (;;) {
        const int64_t since = m_pendingSince;
        const int64_t now = steadyNs();
        if (since == 0) {
            if (now - m_lastPost < idleAfter) {
                m_wake.wait_for(wake, kFlushAfter);
                continue;
            }
            // Marked before the queue is looked at, and post() queues before
            // it looks at the mark: one of the two sees the other.
            m_flusherIdle = true;
            m_wake.wait(wake, [this] { return m_pendingSince != 0; });
            m_flusherIdle = false;
            continue;
        }
        if (now - since < after) {
            m_wake.wait_for(wake, std::chrono::nanoseconds(after - (now - since)));
            continue;
        }
        // Never holding the wake lock while on the link: a failing send
        // wakes everyone through it.
        wake.unlock();
        bool sent = false;
        if (std::unique_lock link(m_mutex, std::try_to_lock); link.owns_lock()) {
            if (m_fd >= 0 && !m_out.empty())
                sendAll();
            m_pendingSince = 0;
            sent = true;
        }
        wake.lock();
        if (!sent)  // busy: a call() sends the queue; look again shortly
            m_wake.wait_for(wake, kFlushAfter / 4);
    }
}

bool BoardLink::withdraw(const Message& message)
{
    std::vector<uint8_t> frame;
    boardwire::encode(message, frame);
    const std::lock_guard lock(m_mutex);
    if (m_fd < 0 || m_out.size() < frame.size() ||
        !std::equal(frame.begin(), frame.end(), m_out.end() - static_cast<std::ptrdiff_t>(frame.size())))
        return false;
    m_out.resize(m_out.size() - frame.size());
    if (m_out.empty())
        m_pendingSince = 0;
    if (message.op == Op::Release && std::find(m_claims.begin(), m_claims.end(), message.a) == m_claims.end())
        m_claims.push_back(message.a);
    return true;
}

void BoardLink::flush()
{
    const std::lock_guard lock(m_mutex);
    if (m_fd >= 0 && !m_out.empty())
        sendAll();
}

std::optional<Message> BoardLink::call(const Message& message, int timeoutMs)
{
    const std::lock_guard lock(m_mutex);
    auto answer = [&]() -> std::optional<Message> {
        if (m_fd < 0)
            return std::nullopt;
        boardwire::encode(message, m_out);
        if (!sendAll())
            return std::nullopt;
        return receive(timeoutMs);
    }();
    if (answer && answer->op != Op::Reply) {
        fail("the shared simulated board at " + m_socket + " sent an answer out of turn");
        answer.reset();
    }
    // A claim the program takes for granted (a lost board's claim succeeds,
    // as a port with nothing on it) is one to take again on the next board.
    if (message.op == Op::Claim && (!answer || answer->a != 0) &&
        std::find(m_claims.begin(), m_claims.end(), message.a) == m_claims.end())
        m_claims.push_back(message.a);
    return answer;
}

}  // namespace sim

extern "C" const char* fanscope_sim_board_problem(void)
{
    static std::string copy;
    const sim::BoardChoice choice = sim::boardChoice();
    if (!choice.shared)
        return "";
    const sim::BoardLink* link = sim::instance();
    copy = link ? link->problem() : std::string{};
    return copy.c_str();
}
