// The program run as a process with a simulated board configuration it
// cannot use: it says why on stderr and ends with status 2 before any window,
// by option or by variable, and never waits (a FIFO is refused unread).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/run_process.h"
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
    const support::TestFolder m_folder{"fanscope-program-config-"};
};

TEST_P(ProgramConfigTest, EndsWithStatusTwoAndTheReason)
{
    const auto& [c, byOption] = GetParam();
    const fs::path config = m_folder.path / (std::string(c.name) + ".json");
    if (c.content)
        std::ofstream(config, std::ios::binary) << c.content;
    else
        ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);

    support::RunOptions options;
    options.dir = m_folder.path;
    options.captureOut = false;
    options.env = {{"QT_QPA_PLATFORM", "offscreen"}};
    std::vector<std::string> args;
    if (byOption) {
        args = {"--sim-config", config.string()};
        options.env.emplace_back("FANSCOPE_SIM_CONFIG", std::nullopt);
    } else {
        options.env.emplace_back("FANSCOPE_SIM_CONFIG", config.string());
    }
    const std::optional<int> status =
        support::waitProcess(support::startProcess(FANSCOPE_PROGRAM, args, options), std::chrono::seconds(20));
    ASSERT_TRUE(status) << "fanscope still running after 20 s (a wizard or a blocked read)";
    const std::string text = support::slurp(m_folder.path / "stderr");
    ASSERT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status) << "\n" << text;
    EXPECT_EQ(WEXITSTATUS(*status), 2) << text;
    EXPECT_NE(text.find("fanscope: simulated board configuration: " + config.string()), std::string::npos) << text;
    EXPECT_NE(text.find(c.why), std::string::npos) << text;
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
