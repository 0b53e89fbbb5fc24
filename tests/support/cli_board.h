#pragma once
// fanscope-cli against a board program of the test's own, started with a
// configuration of the test's in a folder of its own: the commands reach
// that board and no configuration of the user's. Shared by the tests of the
// measurements (characterize, identify, tune), which also end a running
// command with a signal and check what it left behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board/board_process.h"
#include "support/run_process.h"
#include "support/test_folder.h"

namespace support {

class CliBoardTest : public ::testing::Test {
protected:
    // `boardConfig`: the board's configuration JSON; `timeout`: how long one
    // command may take before it is killed.
    CliBoardTest(const std::string& folderPrefix, std::string boardConfig, std::chrono::seconds timeout)
        : m_folder(folderPrefix), m_config(std::move(boardConfig)), m_timeout(timeout)
    { }

    void SetUp() override
    {
        m_board = std::make_unique<boardtest::BoardProcess>(
            socket(), std::vector<std::string>{"--config", m_folder.write("board.json", m_config).string()});
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> env() const
    {
        return {{"FANSCOPE_BOARD", socket().string()}, {"FANSCOPE_SIM_CONFIG", std::nullopt}};
    }
    ProcessResult cli(const std::vector<std::string>& args)
    {
        RunOptions options;
        options.dir = m_folder.path;
        options.env = env();
        options.timeout = m_timeout;
        return runProcess(FANSCOPE_CLI, args, options);
    }
    std::filesystem::path socket() const { return m_folder.path / "board.sock"; }
    std::filesystem::path folder() const { return m_folder.path; }

    // Configuration 1 as Easy Setup leaves it (PWM Invert for the board's fan
    // stage), then every register saved to a file `diff` compares with.
    std::string saveAsEasySetupLeavesIt()
    {
        EXPECT_EQ(cli({"set", "-y", "0x00", "0x09"}).status, 0);
        const std::string saved = (m_folder.path / "before.reg").string();
        EXPECT_EQ(cli({"save", saved}).status, 0);
        return saved;
    }

    struct Interrupted {
        std::optional<int> status;  // the wait status; none: it did not end in time
        std::string err;
    };
    // Starts the command, sends `signal` after `after`, and waits up to 20 s
    // for it to end.
    Interrupted interrupt(const std::vector<std::string>& args, std::chrono::milliseconds after, int signal)
    {
        RunOptions options;
        options.dir = m_folder.path;
        options.captureOut = false;
        options.env = env();
        const pid_t pid = startProcess(FANSCOPE_CLI, args, options);
        std::this_thread::sleep_for(after);
        ::kill(pid, signal);
        Interrupted i;
        i.status = waitProcess(pid, std::chrono::seconds(20));
        i.err = slurp(m_folder.path / "stderr");
        return i;
    }

    // The board stops before its folder goes.
    const TestFolder m_folder;
    const std::string m_config;
    const std::chrono::seconds m_timeout;
    std::unique_ptr<boardtest::BoardProcess> m_board;
};

}  // namespace support
