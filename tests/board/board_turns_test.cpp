// Turn-taking on the shared board with every kind of client at once: the
// CLI's monitor, the window's display cycles, a tight loop of reads, a
// holder of the locked port, a client with two threads, and CLI commands
// in between. Every command completes in good time, nobody reads a value
// it did not write, and a write is seen by the next read of any program.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_process.h"

namespace {

using namespace boardtest;

// A client running beside the test, its output in a folder of its own.
class Background {
public:
    Background(const fs::path& dir, const std::string& name, const std::vector<std::string>& args,
               const fs::path& socket)
        : m_dir(dir / name)
    {
        fs::create_directories(m_dir);
        support::RunOptions options;
        options.dir = m_dir;
        options.env = {{"FANSCOPE_BOARD", socket.string()}};
        m_pid = support::startProcess(args.front(), {args.begin() + 1, args.end()}, options);
    }
    ~Background()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    void signal(int number) { ::kill(m_pid, number); }
    // Its exit status once it ends by itself within `limit`; -1 if it had to be killed.
    int wait(std::chrono::milliseconds limit)
    {
        const std::optional<int> status = support::waitProcess(m_pid, limit);
        m_pid = -1;
        if (!status)
            return -1;
        return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
    }
    std::string out() const { return support::slurp(m_dir / "stdout"); }
    std::string err() const { return support::slurp(m_dir / "stderr"); }

private:
    fs::path m_dir;
    pid_t m_pid = -1;
};

// The longest round a worker reported, in ms; -1 when it did not say.
long longestRound(const std::string& out)
{
    long ms = -1;
    const auto at = out.find("longest round ");
    if (at != std::string::npos)
        std::sscanf(out.c_str() + at, "longest round %ld ms", &ms);
    return ms;
}

TEST(BoardTurnsTest, AMixOfClientsForTwentySecondsEachGetTheirTurns)
{
    TempDir dir;
    const fs::path socket = dir.path / "board.sock";
    BoardProcess board(socket);
    constexpr int kSeconds = 20;
    const std::string worker = program("board_worker");
    const std::string seconds = std::to_string(kSeconds);
    std::vector<std::unique_ptr<Background>> workers;
    // A register each (limits): what a worker reads back is its own write.
    const std::vector<std::pair<std::string, std::string>> kinds{
        {"window", "0x15"}, {"reads", "0x16"}, {"holder", "0x18"}, {"round", "0x19"}, {"threads", "0x1C"}};
    for (const auto& [mode, reg] : kinds)
        workers.push_back(std::make_unique<Background>(
            dir.path, mode, std::vector<std::string>{worker, "0", "7", reg, mode, seconds}, socket));
    Background monitor(dir.path, "monitor", {program("fanscope-cli"), "monitor", "--interval", "0.2"}, socket);

    // CLI commands all along: each one completes quickly, and what one
    // program set the next one reads.
    const fs::path cliDir = dir.path / "cli";
    fs::create_directory(cliDir);
    support::RunOptions options;
    options.dir = cliDir;
    options.env = {{"FANSCOPE_BOARD", socket.string()}};
    options.timeout = 20s;
    const auto end = Clock::now() + std::chrono::seconds(kSeconds - 2);
    int commands = 0;
    auto slowest = Clock::duration::zero();
    for (int value = 30; Clock::now() < end; value = value == 60 ? 30 : value + 1) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%02x", value);
        const auto t0 = Clock::now();
        auto r = support::runProcess(program("fanscope-cli"), {"set", "-y", "0x14", hex}, options);
        ASSERT_EQ(r.status, 0) << r.err;
        r = support::runProcess(program("fanscope-cli"), {"get", "0x14"}, options);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, std::string(hex) + "\n");
        slowest = std::max(slowest, (Clock::now() - t0) / 2);
        commands += 2;
    }
    // The last limit set is the one the monitor shows in the first sample
    // it starts after that (the second it prints: one may be under way).
    auto r = support::runProcess(program("fanscope-cli"), {"get", "0x14"}, options);
    const long lastLimit = std::strtol(r.out.c_str(), nullptr, 16);
    const size_t seen = monitor.out().size();
    const auto secondSample = [&](const std::string& shown) {
        const auto first = shown.find("Local:", seen);
        return first == std::string::npos ? first : shown.find("Local:", first + 1);
    };
    const auto deadline = Clock::now() + 10s;
    while (secondSample(monitor.out()) == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    std::this_thread::sleep_for(200ms);  // the rest of its sample

    EXPECT_GE(commands, 20) << "the commands crawled";
    // A command costs well under a second alone; a turn is one transfer.
    EXPECT_LT(slowest, 2s) << "a command waited for the bus";
    for (size_t i = 0; i < workers.size(); ++i) {
        const std::string& mode = kinds[i].first;
        EXPECT_EQ(workers[i]->wait(10s), 0) << mode << ": " << workers[i]->err();
        const long longest = longestRound(workers[i]->out());
        EXPECT_GE(longest, 0) << mode << " said nothing: " << workers[i]->out();
        EXPECT_LT(longest, 2000) << mode << " starved";
    }
    monitor.signal(SIGINT);  // ends after the sample in progress
    EXPECT_EQ(monitor.wait(10s), 0) << monitor.err();
    EXPECT_EQ(monitor.err(), "");
    const std::string shown = monitor.out();
    const auto sample = secondSample(shown);
    ASSERT_NE(sample, std::string::npos) << "the monitor starved";
    const std::string mark = "high = +" + std::to_string(lastLimit) + ".0";
    const auto line = shown.substr(sample, shown.find('\n', sample) - sample);
    EXPECT_NE(line.find(mark), std::string::npos)
        << "the monitor's next sample does not show the last limit set, " << lastLimit << ": " << line;
}

}  // namespace
