#pragma once
// The board program for the benchmarks: fanscope-board beside the running
// benchmark, on a socket in a folder of its own, and its CPU time.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sim/board_wire.h>

namespace benchboard {

namespace fs = std::filesystem;

inline fs::path g_dir;
inline fs::path g_socket;
inline pid_t g_board = -1;

// Starts args[0] with args, its standard output thrown away unless `quiet`
// is false.
inline pid_t spawnProgram(const std::vector<std::string>& args, bool quiet = true)
{
    // Or the child's freopen writes what this process has buffered once more.
    (void)std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (quiet && !std::freopen("/dev/null", "w", stdout))
            ::_exit(127);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

inline int connectTo(const fs::path& socket) { return boardwire::connectSocket(socket.string()); }

inline bool startBoard()
{
    std::string pattern = (fs::temp_directory_path() / "fanscope-bench-XXXXXX").string();
    g_dir = ::mkdtemp(pattern.data());
    g_socket = g_dir / "board.sock";
    const std::string program = fs::read_symlink("/proc/self/exe").parent_path() / "fanscope-board";
    const std::string log = (g_dir / "board.log").string();
    g_board = ::fork();
    if (g_board == 0) {
        std::freopen(log.c_str(), "w", stdout);
        ::execl(program.c_str(), program.c_str(), "--socket", g_socket.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
        if (const int fd = connectTo(g_socket); fd >= 0) {
            ::close(fd);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

inline void stopBoard()
{
    if (g_board > 0) {
        ::kill(g_board, SIGTERM);
        ::waitpid(g_board, nullptr, 0);
    }
    fs::remove_all(g_dir);
}

inline double cpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i)
        fields >> skip;
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace benchboard
