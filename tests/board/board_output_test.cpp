// What the shared board and its clients print: the board's log stays within
// its bound however many clients come and go, and a CLI command that loses
// the board says so in one line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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
    constexpr std::size_t Limit = 2000;
    BoardProcess board(socket, {"--log", log.string(), "--log-size", std::to_string(Limit)});
    // Two lines per client, about 100 bytes: ten times the limit.
    for (int i = 0; i < 200; ++i) {
        const int fd = connectTo(socket);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    // The board writes as it notices each close; wait for the last.
    const auto deadline = Clock::now() + 5s;
    while (support::slurp(log).find("client 200 ") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(support::slurp(log).find("client 200 "), std::string::npos) << "the newest lines are kept";
    const fs::path older = dir.path / "board.log.1";
    ASSERT_TRUE(fs::exists(older)) << "never moved aside";
    // At most one line beyond the limit each, and no third file.
    EXPECT_LE(fs::file_size(log), Limit + 200);
    EXPECT_LE(fs::file_size(older), Limit + 200);
    EXPECT_FALSE(fs::exists(dir.path / "board.log.2"));
    EXPECT_EQ(fs::status(log).permissions() & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    EXPECT_EQ(board.stop(SIGTERM), 0);
    EXPECT_NE(support::slurp(log).find("fanscope-board: stopping"), std::string::npos);
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
