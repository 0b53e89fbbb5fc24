#pragma once
// fanscope-board for the tests: a socket folder of the test's own and the
// board program on it, stopped (and waited for) at the end of the test.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.h"

#include <sim/board_wire.h>

namespace boardtest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::string program(const char* name)
{
    return std::string(std::getenv("FANSCOPE_BINARY_DIR")) + "/bin/" + name;
}

struct TempDir {
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "fanscope-board-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};

inline int connectTo(const fs::path& socket) { return boardwire::connectSocket(socket.string()); }

// A connection of the test's own to the board, for what only the board
// knows (a fan's true speed).
class BoardInspector {
public:
    explicit BoardInspector(const fs::path& socket) : m_fd(connectTo(socket))
    {
        const auto hello =
            ask(boardwire::request(boardwire::Op::Hello, static_cast<int32_t>(boardwire::kMagic), boardwire::kVersion));
        if (!hello || hello->b != 1)
            close();
    }
    ~BoardInspector() { close(); }
    BoardInspector(const BoardInspector&) = delete;
    BoardInspector& operator=(const BoardInspector&) = delete;

    // The fan's (1 or 2) true speed; nothing without an answer.
    std::optional<int> fanRpm(int fan, uint8_t address8 = 0x5C)
    {
        const auto reply = ask(boardwire::request(boardwire::Op::FanRpm, fan - 1, address8));
        if (!reply || reply->a < 0)
            return std::nullopt;
        return reply->a;
    }

private:
    std::optional<boardwire::Message> ask(const boardwire::Message& m)
    {
        if (m_fd < 0)
            return std::nullopt;
        std::vector<uint8_t> out;
        boardwire::encode(m, out);
        for (size_t sent = 0; sent < out.size();) {
            const ssize_t n = ::send(m_fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return std::nullopt;
            sent += size_t(n);
        }
        for (;;) {
            const auto d = boardwire::decode(m_in);
            if (d.status == boardwire::Decoded::Status::Complete) {
                m_in.erase(m_in.begin(), m_in.begin() + std::ptrdiff_t(d.consumed));
                return d.message;
            }
            if (d.status == boardwire::Decoded::Status::Malformed)
                return std::nullopt;
            uint8_t buffer[2048];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return std::nullopt;
            m_in.insert(m_in.end(), buffer, buffer + n);
        }
    }
    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    int m_fd = -1;
    std::vector<uint8_t> m_in;
};

class BoardProcess {
public:
    // `runner`: a command the board runs under (e.g. setpriv as another user).
    BoardProcess(const fs::path& socket, const std::vector<std::string>& extra = {},
                 const std::vector<std::string>& runner = {})
        : m_log(socket.string() + ".out")
    {
        std::vector<std::string> args = runner;
        args.insert(args.end(), {program("fanscope-board"), "--socket", socket.string()});
        args.insert(args.end(), extra.begin(), extra.end());
        m_pid = ::fork();
        if (m_pid == 0) {
            const int out = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(out, 2);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline) {
            if (const int fd = connectTo(socket); fd >= 0) {
                ::close(fd);
                return;
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    ~BoardProcess() { stop(SIGKILL); }
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    // The exit status (128 + signal when killed), or -1 when it was gone.
    int stop(int signal = SIGTERM)
    {
        if (m_pid <= 0)
            return -1;
        ::kill(m_pid, signal);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Waits for an exit of its own accord; nothing when it keeps running.
    std::optional<int> waitExit(std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return std::nullopt;
    }
    std::string log() const { return support::slurp(m_log); }
    // Whether the log says `text` within `limit` (it writes after acting).
    bool logs(const std::string& text, std::chrono::milliseconds limit = 1000ms) const
    {
        const auto deadline = Clock::now() + limit;
        while (log().find(text) == std::string::npos) {
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

private:
    pid_t m_pid = -1;
    std::string m_log;
};

}  // namespace boardtest
