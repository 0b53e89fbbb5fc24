// fanscope as a process: a platform library that cannot be loaded is
// reported and ends the program with a failure status, never with a crash
// and never with a window that calls through objects that do not exist.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    bool exited = false;
    int code = -1;
    int signal = 0;
    bool timedOut = false;
    std::string err;
};

// Runs the program unattended (message boxes go to standard error and are
// answered at once) with `platform` as the platform library's name.
Outcome runProgram(const std::string& platform)
{
    const fs::path err = fs::temp_directory_path() / ("fanscope-exit-" + std::to_string(::getpid()) + ".err");
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "r", stdin) || !std::freopen(err.c_str(), "w", stderr))
            ::_exit(127);
        ::setenv("VEXLINK06_PLATFORM", platform.c_str(), 1);
        ::setenv("FANSCOPE_UNATTENDED", "1", 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::execl(FANSCOPE_PROGRAM, FANSCOPE_PROGRAM, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    Outcome outcome;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            // A program that waits for a user here is a failure, not a hang.
            outcome.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    outcome.exited = WIFEXITED(status);
    outcome.code = outcome.exited ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    std::ifstream in(err);
    std::ostringstream text;
    text << in.rdbuf();
    outcome.err = text.str();
    fs::remove(err);
    return outcome;
}

TEST(ProgramExit, UnloadablePlatformLibraryIsReportedAndEndsTheProgramWithAFailure)
{
    const Outcome run = runProgram("absent");
    ASSERT_FALSE(run.timedOut) << run.err;
    EXPECT_TRUE(run.exited) << "ended by signal " << run.signal << "\n" << run.err;
    EXPECT_NE(run.code, 0);
    EXPECT_NE(run.code, 127) << "the program did not start";
    // The library's own creation report, then the program's.
    const auto created = run.err.find("ComportClassInit Error: Error:48, Error in loading DLL");
    const auto reported = run.err.find("TFM4410 Evaluation Software: Error:");
    EXPECT_NE(created, std::string::npos) << run.err;
    EXPECT_NE(reported, std::string::npos) << run.err;
    EXPECT_LT(created, reported);
    EXPECT_EQ(run.err.find("Error in Init Form Load"), std::string::npos) << "the wizard came up anyway";
}

}  // namespace
