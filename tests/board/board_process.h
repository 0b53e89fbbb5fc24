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
