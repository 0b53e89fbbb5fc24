// What the shared board and its clients print: the board's log stays within
// its bound however many clients come and go, and a CLI command that loses
// the board says so in one line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "board/board_process.h"
#include "support/run_process.h"

namespace {

using namespace boardtest;

TEST(BoardLog, MovesAsideAtItsLimitAndKeepsTheNewest)
{
    TempDir dir;
    const fs::path socket = dir.path / "board.sock";
    const fs::path log = dir.path / "board.log";
    const fs::path older = dir.path / "board.log.1";
    constexpr std::size_t Limit = 2000;
    BoardProcess board(socket, {"--log", log.string(), "--log-size", std::to_string(Limit)});
    // A line per client that says nothing, about 60 bytes: six times the
    // limit. Whenever the board has written, its newest line is in the log
    // itself, never only in the older file. (Client 1 was the fixture's
    // check that the board listens.)
    constexpr int Last = 201;
    for (int n = 2; n <= Last; ++n) {
        const int fd = connectTo(socket);
        ASSERT_GE(fd, 0);
        ::close(fd);
        if (n % 40 != 0 && n != Last)
            continue;
        const std::string last = "client " + std::to_string(n) + " disconnected";
        const auto deadline = Clock::now() + 5s;
        while (support::slurp(log).find(last) == std::string::npos && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        EXPECT_NE(support::slurp(log).find(last), std::string::npos) << "the newest line is in the log";
    }
    EXPECT_EQ(board.stop(SIGTERM), 0);
    ASSERT_TRUE(fs::exists(older)) << "never moved aside";
    // Moved before the line that would pass the limit: neither file passes
    // it, and there is no third file.
    EXPECT_LE(fs::file_size(log), Limit);
    EXPECT_LE(fs::file_size(older), Limit);
    EXPECT_FALSE(fs::exists(dir.path / "board.log.2"));
    EXPECT_EQ(fs::status(log).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    const std::string newest = support::slurp(log);
    EXPECT_NE(newest.find("fanscope-board: stopping"), std::string::npos);

    // The two files together are the newest whole lines, none lost at the
    // move: every client from the first one seen on has its line.
    const std::string both = support::slurp(older) + newest;
    ASSERT_FALSE(both.empty());
    EXPECT_EQ(both.back(), '\n');
    std::set<int> disconnected;
    std::size_t at = 0;
    while (at < both.size()) {
        const std::size_t end = both.find('\n', at);
        const std::string line = both.substr(at, end - at);
        at = end + 1;
        EXPECT_EQ(line.rfind("fanscope-board: ", 0), 0u) << "a whole line: " << line;
        int n = 0;
        if (std::sscanf(line.c_str(), "fanscope-board: client %d", &n) != 1)
            continue;
        if (line.find(" disconnected") != std::string::npos)
            disconnected.insert(n);
    }
    ASSERT_FALSE(disconnected.empty());
    EXPECT_EQ(*disconnected.rbegin(), Last);
    EXPECT_LT(*disconnected.begin(), Last - 20) << "the older file holds lines too";
    EXPECT_EQ(disconnected.size(), static_cast<std::size_t>(Last - *disconnected.begin() + 1)) << "a line was lost";
}

TEST(BoardLog, AnUnwritableLogIsRefusedAtStart)
{
    TempDir dir;
    support::RunOptions options;
    options.dir = dir.path;
    options.timeout = 10s;
    const auto r = support::runProcess(
        program("fanscope-board"),
        {"--socket", (dir.path / "board.sock").string(), "--log", (dir.path / "missing" / "board.log").string()},
        options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open the log " + (dir.path / "missing" / "board.log").string()), std::string::npos)
        << r.err;
}

// The monitor between two samples when the board is killed: it goes on,
// says so in one line that names the board, not a chip that was never
// asked, and ended while the board is away it fails without saying it again.
TEST(LostBoard, MonitorSaysSoInOneLineAndGoesOn)
{
    TempDir dir;
    const fs::path socket = dir.path / "board.sock";
    auto board = std::make_unique<BoardProcess>(socket);
    const fs::path out = dir.path / "monitor.out", err = dir.path / "monitor.err";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("FANSCOPE_BOARD", socket.c_str(), 1);
        ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        const std::string cli = program("fanscope-cli");
        ::execl(cli.c_str(), cli.c_str(), "monitor", "--interval", "0.2", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto started = Clock::now();
    while (support::slurp(out).find("Local:") == std::string::npos && Clock::now() - started < 10s)
        std::this_thread::sleep_for(10ms);
    board->stop(SIGKILL);
    const std::string said = "fanscope-cli: the shared simulated board at " + socket.string() + " went away\n";
    const auto killed = Clock::now();
    while (support::slurp(err) != said && Clock::now() - killed < 5s)
        std::this_thread::sleep_for(10ms);
    EXPECT_LT(Clock::now() - killed, 2s) << "the monitor hung on the lost board";
    const std::size_t printed = support::slurp(out).size();
    std::this_thread::sleep_for(1s);
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the monitor ended with its board";
    EXPECT_EQ(support::slurp(out).size(), printed) << "samples of a board that is away";
    ::kill(pid, SIGINT);
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(support::slurp(err), said);
}

}  // namespace
