#pragma once
// Runs a program as a child process, as a shell script would, and returns
// what it printed and its exit status. Shared by the tests that drive
// fanscope-cli from outside.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_folder.h"

namespace support {

struct ProcessResult {
    int status = -1;  // exit status; 128 + signal; -1 when it had to be killed
    std::string out, err;
    bool timedOut = false;
};

struct RunOptions {
    // Where stdin, stdout and stderr are kept while the child runs.
    std::filesystem::path dir;
    // Fed on stdin; none reads /dev/null.
    std::optional<std::string> input;
    // Keep stdout (false sends it to /dev/null).
    bool captureOut = true;
    // Variables set (a value) or removed (none) in the child only.
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    // Killed after this long; zero waits for ever.
    std::chrono::milliseconds timeout{0};
};

// Starts the program as a child with the options' input, output and
// variables; its pid.
inline pid_t startProcess(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
{
    namespace fs = std::filesystem;
    const fs::path in = options.input ? options.dir / "stdin" : fs::path("/dev/null");
    const fs::path out = options.captureOut ? options.dir / "stdout" : fs::path("/dev/null");
    const fs::path err = options.dir / "stderr";
    if (options.input)
        std::ofstream(in, std::ios::binary) << *options.input;
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen(in.c_str(), "r", stdin) || !std::freopen(out.c_str(), "w", stdout) ||
            !std::freopen(err.c_str(), "w", stderr))
            ::_exit(127);
        for (const auto& [name, value] : options.env) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

// The child's wait status; none when it was still running after the
// timeout (zero waits for ever) and had to be killed.
inline std::optional<int> waitProcess(pid_t pid, std::chrono::milliseconds timeout)
{
    int status = 0;
    if (timeout.count() <= 0) {
        ::waitpid(pid, &status, 0);
        return status;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

inline ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                                const RunOptions& options)
{
    const std::optional<int> status = waitProcess(startProcess(program, args, options), options.timeout);
    ProcessResult result;
    result.timedOut = !status;
    if (status)
        result.status = WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
    if (options.captureOut)
        result.out = slurp(options.dir / "stdout");
    result.err = slurp(options.dir / "stderr");
    return result;
}

}  // namespace support
