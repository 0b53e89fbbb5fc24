// The program run as a process with a simulated board configuration it
// cannot use: it says why on stderr and ends with status 2 before any window,
// by option or by variable, and never waits (a FIFO is refused unread).
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;

struct Case {
    const char* name;
    const char* content;  // nullptr: a named pipe
    const char* why;
};

class ProgramConfigTest : public ::testing::TestWithParam<std::tuple<Case, bool>> {
protected:
    void SetUp() override { m_dir = support::freshTestFolder("fanscope-program-config-"); }
    void TearDown() override { fs::remove_all(m_dir); }
    fs::path m_dir;
};

TEST_P(ProgramConfigTest, EndsWithStatusTwoAndTheReason)
{
    const auto& [c, byOption] = GetParam();
    const fs::path config = m_dir / (std::string(c.name) + ".json"), err = m_dir / "stderr";
    if (c.content)
        std::ofstream(config, std::ios::binary) << c.content;
    else
        ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);

    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
            ::_exit(127);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::vector<const char*> argv{FANSCOPE_PROGRAM};
        if (byOption) {
            argv.push_back("--sim-config");
            argv.push_back(config.c_str());
            ::unsetenv("FANSCOPE_SIM_CONFIG");
        } else {
            ::setenv("FANSCOPE_SIM_CONFIG", config.c_str(), 1);
        }
        argv.push_back(nullptr);
        ::execv(FANSCOPE_PROGRAM, const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            FAIL() << "fanscope still running after 20 s (a wizard or a blocked read)";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::ifstream in(err);
    std::stringstream text;
    text << in.rdbuf();
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status) << "\n" << text.str();
    EXPECT_EQ(WEXITSTATUS(status), 2) << text.str();
    EXPECT_NE(text.str().find("fanscope: simulated board configuration: " + config.string()), std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find(c.why), std::string::npos) << text.str();
}

INSTANTIATE_TEST_SUITE_P(
    Configs, ProgramConfigTest,
    ::testing::Combine(::testing::Values(Case{"huge_number", R"({"ambientC": 1e400})", "too large for a number"},
                                         Case{"duplicate", R"({"time": "real", "time": "manual"})", "given twice"},
                                         Case{"bad_address", R"({"ports": [{"chips": [{"address": "0x5E"}]}]})",
                                              "ports[0].chips[0].address"},
                                         Case{"fifo", nullptr, "named pipe"}),
                       ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_option" : "_env");
    });

}  // namespace
