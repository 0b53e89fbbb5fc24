// fanscope-board as its clients see it: the real board program on a socket
// of the test's own, driven by the real CLI, by library clients
// (board_worker) and by raw sockets that misbehave.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sim/board_wire.h>

#include "board_process.h"

namespace {

using namespace boardtest;
using boardwire::Message;
using boardwire::Op;

// A client speaking the wire protocol by hand, well or badly.
class RawClient {
public:
    explicit RawClient(const fs::path& socket) : m_fd(connectTo(socket)) { }
    ~RawClient()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return m_fd >= 0; }
    bool sendBytes(const std::vector<uint8_t>& bytes)
    {
        return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    bool send(const Message& m)
    {
        std::vector<uint8_t> bytes;
        boardwire::encode(m, bytes);
        return sendBytes(bytes);
    }
    std::optional<Message> receive(std::chrono::milliseconds limit = 1000ms)
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const auto d = boardwire::decode(m_in);
            if (d.status == boardwire::Decoded::Status::Complete) {
                m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(d.consumed));
                return d.message;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p{m_fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
                return std::nullopt;
            uint8_t buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return std::nullopt;
            m_in.insert(m_in.end(), buffer, buffer + n);
        }
    }
    bool hello(int32_t version = boardwire::kVersion)
    {
        send(boardwire::request(Op::Hello, static_cast<int32_t>(boardwire::kMagic), version));
        const auto answer = receive();
        return answer && answer->op == Op::Hello && answer->b == 1;
    }
    std::optional<int32_t> call(const Message& m, std::chrono::milliseconds limit = 1000ms)
    {
        if (!send(m))
            return std::nullopt;
        const auto answer = receive(limit);
        return answer ? std::optional<int32_t>(answer->a) : std::nullopt;
    }
    // Whether the board closed this connection within `limit`.
    bool closedWithin(std::chrono::milliseconds limit)
    {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                uint8_t buffer[4096];
                if (::recv(m_fd, buffer, sizeof buffer, 0) <= 0)
                    return true;
            }
        }
        return false;
    }
    int fd() const { return m_fd; }

private:
    int m_fd = -1;
    std::vector<uint8_t> m_in;
};

class BoardServerTest : public ::testing::Test {
protected:
    fs::path socket() const { return m_dir.path / "board.sock"; }

    support::ProcessResult cli(const std::vector<std::string>& args, const fs::path& board)
    {
        support::RunOptions options;
        options.dir = m_dir.path;
        options.env = {{"FANSCOPE_BOARD", board.string()}};
        options.timeout = 20s;
        return support::runProcess(program("fanscope-cli"), args, options);
    }

    TempDir m_dir;
};

TEST_F(BoardServerTest, CliWriteIsSeenByTheNextCli)
{
    BoardProcess board(socket());
    auto r = cli({"set", "-y", "0x14", "0x45"}, socket());
    ASSERT_EQ(r.status, 0) << r.err;
    r = cli({"get", "0x14"}, socket());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x45\n");
    r = cli({"detect"}, socket());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("# simulated board (shared, " + socket().string() + ")"), std::string::npos) << r.out;
    EXPECT_TRUE(board.logs("client 2 connected (pid ")) << board.log();
    EXPECT_EQ(board.stop(SIGINT), 0);
    EXPECT_FALSE(fs::exists(socket())) << "the socket outlived its board";
}

TEST_F(BoardServerTest, SimConfigKeepsAPrivateBoard)
{
    BoardProcess board(socket());
    const fs::path config = m_dir.path / "board.json";
    std::ofstream(config) << "{}";
    auto r = cli({"--sim-config", config.string(), "set", "-y", "0x14", "0x50"}, socket());
    ASSERT_EQ(r.status, 0) << r.err;
    r = cli({"get", "0x14"}, socket());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x46\n") << "the private write reached the shared board";
}

TEST_F(BoardServerTest, AMissingBoardIsAClearError)
{
    const auto r = cli({"get", "0x14"}, m_dir.path / "nobody.sock");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no shared simulated board listens at " + (m_dir.path / "nobody.sock").string()),
              std::string::npos)
        << r.err;
}

TEST_F(BoardServerTest, ManyClientsEachReadBackTheirOwnWrites)
{
    BoardProcess board(socket());
    constexpr int kClients = 8;
    std::vector<pid_t> workers;
    const auto start = Clock::now();
    for (int i = 0; i < kClients; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("FANSCOPE_BOARD", socket().c_str(), 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            // The limit registers, one for each worker.
            constexpr const char* kLimits[] = {"0x14", "0x15", "0x16", "0x18", "0x19", "0x1A", "0x1C", "0x1D"};
            const std::string seed = std::to_string(1000 + i);
            const std::string path = program("board_worker");
            ::execl(path.c_str(), path.c_str(), "60", seed.c_str(), kLimits[i], static_cast<char*>(nullptr));
            ::_exit(127);
        }
        workers.push_back(pid);
    }
    for (pid_t pid : workers) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker status " << status;
    }
    EXPECT_LT(Clock::now() - start, 60s) << "no deadlock, but far too slow";
    // The workers answer most status reads themselves; the board checks each.
    EXPECT_EQ(board.log().find("answered a status read itself"), std::string::npos) << board.log();
}

TEST_F(BoardServerTest, AKilledBoardFailsEveryClientWithinASecond)
{
    auto board = std::make_unique<BoardProcess>(socket());
    std::vector<std::pair<pid_t, int>> workers;  // pid, the read end of its stdout
    // A register each: other clients may take turns between a worker's
    // write and its read-back.
    constexpr const char* kLimits[] = {"0x18", "0x19", "0x1A"};
    for (const char* reg : kLimits) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("FANSCOPE_BOARD", socket().c_str(), 1);
            ::dup2(pipeFds[1], 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            const std::string path = program("board_worker");
            ::execl(path.c_str(), path.c_str(), "0", "7", reg, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        workers.emplace_back(pid, pipeFds[0]);
    }
    for (auto& [pid, out] : workers) {
        char ready[6] = {};
        ASSERT_EQ(::read(out, ready, 6), 6) << "worker did not start";
        ::close(out);
    }
    std::this_thread::sleep_for(200ms);  // in the middle of their transactions
    board->stop(SIGKILL);
    const auto killed = Clock::now();
    for (auto& [pid, out] : workers) {
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0 && Clock::now() - killed < 5s)
            std::this_thread::sleep_for(5ms);
        EXPECT_LT(Clock::now() - killed, 1s) << "a client hung on the lost board";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << "worker status " << status;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    // A board started again takes over the socket the killed one left, and
    // the next client finds it, with power-on registers.
    BoardProcess again(socket());
    const auto r = cli({"get", "0x18"}, socket());
    EXPECT_EQ(r.out, "0x3c\n") << r.err;
}

struct Offence {
    const char* name;
    std::vector<uint8_t> bytes;
    bool greetFirst;
};

std::vector<uint8_t> lengthOnly(uint32_t length)
{
    return {uint8_t(length), uint8_t(length >> 8), uint8_t(length >> 16), uint8_t(length >> 24)};
}

std::vector<uint8_t> encoded(const Message& m)
{
    std::vector<uint8_t> bytes;
    boardwire::encode(m, bytes);
    return bytes;
}

class OffenderTest : public BoardServerTest, public ::testing::WithParamInterface<Offence> { };

TEST_P(OffenderTest, IsDroppedWhileOthersAreServed)
{
    BoardProcess board(socket());
    RawClient good(socket());
    ASSERT_TRUE(good.hello());
    RawClient offender(socket());
    if (GetParam().greetFirst) {
        ASSERT_TRUE(offender.hello());
    }
    offender.sendBytes(GetParam().bytes);
    EXPECT_TRUE(offender.closedWithin(1000ms)) << board.log();
    EXPECT_EQ(good.call(boardwire::request(Op::PortCount)), 1) << board.log();
    RawClient later(socket());
    ASSERT_TRUE(later.hello()) << "the board stopped taking clients";
}

INSTANTIATE_TEST_SUITE_P(Messages, OffenderTest,
                         ::testing::Values(Offence{"OversizedLength", lengthOnly(0x7FFFFFFF), true},
                                           Offence{"TooShortLength", lengthOnly(3), true},
                                           Offence{"UnknownRequest",
                                                   [] {
                                                       auto b = encoded(boardwire::request(Op::PortIn));
                                                       b[4] = 0xEE;
                                                       return b;
                                                   }(),
                                                   true},
                                           Offence{"NoHelloFirst", encoded(boardwire::request(Op::PortCount)), false},
                                           Offence{"WrongMagic", encoded(boardwire::request(Op::Hello, 0x12345678, 1)),
                                                   false},
                                           Offence{"AnswerAsRequest", encoded(boardwire::request(Op::Reply, 1)), true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BoardServerTest, ATruncatedMessageAndAnEarlyCloseLeaveTheBoardServing)
{
    BoardProcess board(socket());
    RawClient good(socket());
    ASSERT_TRUE(good.hello());
    {
        RawClient quitter(socket());
        ASSERT_TRUE(quitter.hello());
        auto bytes = encoded(boardwire::request(Op::Claim, 1));
        bytes.resize(bytes.size() / 2);
        quitter.sendBytes(bytes);
    }
    EXPECT_EQ(good.call(boardwire::request(Op::Claim, 1)), 1) << board.log();
}

// Writes a process sends just before it exits still reach the board, however
// many there are.
TEST_F(BoardServerTest, WritesSentJustBeforeAClientClosesAreServed)
{
    BoardProcess board(socket());
    {
        RawClient leaving(socket());
        ASSERT_TRUE(leaving.hello());
        ASSERT_EQ(leaving.call(boardwire::request(Op::Claim, 1)), 1);
        std::vector<uint8_t> burst;
        for (int i = 0; i < 3000; ++i)
            boardwire::encode(boardwire::request(Op::PortOut, 0x378, i % 2), burst);
        boardwire::encode(boardwire::request(Op::PortOut, 0x378, 0x30), burst);
        ASSERT_TRUE(leaving.sendBytes(burst));
    }
    RawClient next(socket());
    ASSERT_TRUE(next.hello());
    ASSERT_EQ(next.call(boardwire::request(Op::Claim, 1)), 1);
    EXPECT_EQ(next.call(boardwire::request(Op::PortIn, 0x378)), 0x30) << "the last writes were lost";
}

TEST_F(BoardServerTest, AnotherProtocolVersionIsTurnedAway)
{
    BoardProcess board(socket());
    RawClient client(socket());
    client.send(boardwire::request(Op::Hello, static_cast<int32_t>(boardwire::kMagic), boardwire::kVersion + 1));
    const auto answer = client.receive();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->a, boardwire::kVersion);
    EXPECT_EQ(answer->b, 0);
    EXPECT_TRUE(client.closedWithin(1000ms));
}

TEST_F(BoardServerTest, ASilentClientIsDroppedAndDelaysNobody)
{
    BoardProcess board(socket(), {"--hello-timeout", "0.3"});
    RawClient silent(socket());
    RawClient good(socket());
    ASSERT_TRUE(good.hello());
    const auto start = Clock::now();
    EXPECT_EQ(good.call(boardwire::request(Op::PortCount)), 1);
    EXPECT_LT(Clock::now() - start, 100ms);
    EXPECT_TRUE(silent.closedWithin(1500ms));
    EXPECT_TRUE(board.logs("dropped: said nothing")) << board.log();
}

TEST_F(BoardServerTest, AFloodingClientIsDroppedAndOthersServed)
{
    BoardProcess board(socket());
    RawClient good(socket());
    ASSERT_TRUE(good.hello());
    RawClient flooder(socket());
    ASSERT_TRUE(flooder.hello());
    ASSERT_EQ(flooder.call(boardwire::request(Op::Claim, 1)), 1);
    // Reads it never collects its answers to.
    std::vector<uint8_t> burst;
    for (int i = 0; i < 1000; ++i)
        boardwire::encode(boardwire::request(Op::PortIn, 0x379), burst);
    // Sends until the board closes the connection on it.
    const auto deadline = Clock::now() + 10s;
    bool dropped = false;
    while (!dropped && Clock::now() < deadline) {
        pollfd p{flooder.fd(), POLLOUT, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t sent = ::send(flooder.fd(), burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        dropped = sent < 0 && errno != EAGAIN && errno != EINTR;
    }
    EXPECT_TRUE(dropped) << board.log();
    EXPECT_TRUE(board.logs("client 3 dropped: does not read its answers")) << board.log();
    // Its claim went with it.
    EXPECT_EQ(good.call(boardwire::request(Op::Claim, 1)), 1);
}

// A holder in the middle of its use of the bus (here: SCL held low) keeps
// the port until it releases it or dies.
TEST_F(BoardServerTest, AClaimWaitsForABusyHoldersReleaseOrDeath)
{
    BoardProcess board(socket());
    RawClient first(socket()), second(socket()), third(socket());
    ASSERT_TRUE(first.hello());
    ASSERT_TRUE(second.hello());
    ASSERT_TRUE(third.hello());
    ASSERT_EQ(first.call(boardwire::request(Op::Claim, 1)), 1);
    first.send(boardwire::request(Op::PortOut, 0x378, 0x01));  // inverting adapter: SCL low
    second.send(boardwire::request(Op::Claim, 1));
    EXPECT_FALSE(second.receive(200ms)) << "a held port was claimed twice";
    // Without the claim, port accesses do nothing and read 0.
    EXPECT_EQ(third.call(boardwire::request(Op::PortIn, 0x378)), 0);
    first.send(boardwire::request(Op::Release, 1));
    const auto granted = second.receive(500ms);
    ASSERT_TRUE(granted);
    EXPECT_EQ(granted->a, 1);

    third.send(boardwire::request(Op::Claim, 1));
    EXPECT_FALSE(third.receive(100ms));
    ::shutdown(second.fd(), SHUT_RDWR);  // the holder dies without releasing
    const auto taken = third.receive(500ms);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->a, 1);
}

// A holder that never lets go: a new claim is refused after its wait, as a
// busy port's is, and the board goes on serving.
TEST_F(BoardServerTest, AClaimThatWaitsTooLongIsRefused)
{
    BoardProcess board(socket());
    RawClient holder(socket()), late(socket());
    ASSERT_TRUE(holder.hello());
    ASSERT_TRUE(late.hello());
    ASSERT_EQ(holder.call(boardwire::request(Op::Claim, 1)), 1);
    holder.send(boardwire::request(Op::PortOut, 0x378, 0x01));  // SCL held low
    const auto asked = Clock::now();
    late.send(boardwire::request(Op::Claim, 1));
    const auto refused = late.receive(6s);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->a, 0);
    EXPECT_GE(Clock::now() - asked, 2900ms);
    EXPECT_EQ(holder.call(boardwire::request(Op::PortIn, 0x378)), 0x01) << "the holder lost its port";
    EXPECT_EQ(late.call(boardwire::request(Op::PortCount)), 1);
}

// A holder that keeps the port claimed but leaves the bus idle (the window
// does so for its whole life) lets others take turns, and each holder finds
// its own data register when its turn comes back.
TEST_F(BoardServerTest, AnIdleHolderLetsOthersTakeTurns)
{
    BoardProcess board(socket());
    RawClient window(socket()), command(socket());
    ASSERT_TRUE(window.hello());
    ASSERT_TRUE(command.hello());
    ASSERT_EQ(window.call(boardwire::request(Op::Claim, 1)), 1);
    window.send(boardwire::request(Op::PortOut, 0x378, 0x30));  // both heaters on, lines released
    const auto asked = Clock::now();
    ASSERT_EQ(command.call(boardwire::request(Op::Claim, 1)), 1);
    EXPECT_LT(Clock::now() - asked, 500ms);
    command.send(boardwire::request(Op::PortOut, 0x378, 0xC0));
    EXPECT_EQ(command.call(boardwire::request(Op::PortIn, 0x378)), 0xC0);
    EXPECT_EQ(window.call(boardwire::request(Op::PortIn, 0x378)), 0x30);
    EXPECT_EQ(command.call(boardwire::request(Op::PortIn, 0x378)), 0xC0);
}

TEST_F(BoardServerTest, StopsAfterTheIdleTime)
{
    BoardProcess board(socket(), {"--idle-exit", "0.3"});
    {
        RawClient client(socket());
        ASSERT_TRUE(client.hello());
        std::this_thread::sleep_for(500ms);
        EXPECT_EQ(client.call(boardwire::request(Op::PortCount)), 1) << "stopped with a client connected";
    }
    EXPECT_EQ(board.waitExit(3s), 0) << board.log();
    EXPECT_FALSE(fs::exists(socket()));
}

// The default place, a private folder the board makes, and the board
// started by its first client: run as a subreaper so the detached board
// comes back to this test to be stopped.
// The pid of the board listening at `socket`, as the socket's peer; -1 if none.
pid_t boardAt(const fs::path& socket)
{
    RawClient client(socket);
    ucred peer{};
    socklen_t length = sizeof peer;
    if (!client.connected() || ::getsockopt(client.fd(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return -1;
    return peer.pid;
}

TEST_F(BoardServerTest, TheFirstClientStartsTheBoardInAPrivateFolder)
{
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const fs::path runtime = m_dir.path / "runtime";
    const fs::path sock = runtime / "fanscope/board.sock";
    // Whatever fails below, no board outlives the test.
    struct Reaper {
        fs::path sock;
        ~Reaper()
        {
            if (const pid_t pid = boardAt(sock); pid > 0) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
            }
            ::prctl(PR_SET_CHILD_SUBREAPER, 0);
        }
    } reaper{sock};
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    support::RunOptions options;
    options.dir = m_dir.path;
    options.env = {{"FANSCOPE_BOARD", std::nullopt}, {"XDG_RUNTIME_DIR", runtime.string()}};
    options.timeout = 20s;
    auto r = support::runProcess(program("fanscope-cli"), {"set", "-y", "0x14", "0x45"}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    r = support::runProcess(program("fanscope-cli"), {"get", "0x14"}, options);
    EXPECT_EQ(r.out, "0x45\n") << r.err;

    struct stat st { };
    ASSERT_EQ(::lstat(sock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(sock.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_NE(support::slurp(sock.string() + ".log").find("listening on " + sock.string()), std::string::npos);

    const pid_t pid = boardAt(sock);
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(fs::exists(sock));
}

TEST_F(BoardServerTest, RefusesADefaultFolderOthersMayEnter)
{
    const fs::path runtime = m_dir.path / "runtime";
    fs::create_directories(runtime / "fanscope");
    fs::permissions(runtime / "fanscope", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                              fs::perms::others_read | fs::perms::others_exec);
    support::RunOptions options;
    options.dir = m_dir.path;
    options.env = {{"XDG_RUNTIME_DIR", runtime.string()}};
    options.timeout = 10s;
    const auto r = support::runProcess(program("fanscope-board"), {}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("may be entered by other users (mode 755)"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(runtime / "fanscope/board.sock"));
}

// Another user's board in the default place (here: nobody's, started with
// setpriv): the client refuses it, whether the folder gives it away or only
// the process at the other end of the socket does, and starts none there.
TEST_F(BoardServerTest, AnotherUsersBoardInTheDefaultPlaceIsRefused)
{
    const passwd* nobody = ::getpwnam("nobody");
    if (::geteuid() != 0 || nobody == nullptr)
        GTEST_SKIP() << "needs root and a user nobody to run a board as another user";
    const std::vector<std::string> asNobody{"/usr/bin/setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                                            "--regid=" + std::to_string(nobody->pw_gid), "--clear-groups"};
    {
        support::RunOptions probe;
        probe.dir = m_dir.path;
        probe.timeout = 10s;
        auto args = asNobody;
        args.insert(args.end(), {program("fanscope-board"), "--help"});
        if (support::runProcess(args[0], {args.begin() + 1, args.end()}, probe).status != 0)
            GTEST_SKIP() << "user nobody cannot run " << program("fanscope-board") << " from this build folder";
    }
    // The runtime folder open to all, as /tmp is, and the board's folder in
    // it made by nobody, open to all too.
    fs::permissions(m_dir.path, fs::perms::owner_all | fs::perms::others_exec | fs::perms::group_exec);
    const fs::path runtime = m_dir.path / "runtime";
    const fs::path folder = runtime / "fanscope";
    fs::create_directories(folder);
    fs::permissions(runtime, fs::perms::all);
    fs::permissions(folder, fs::perms::all);
    ASSERT_EQ(::chown(folder.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    BoardProcess theirs(folder / "board.sock", {}, asNobody);
    ASSERT_TRUE(theirs.logs("listening on")) << theirs.log();

    support::RunOptions options;
    options.dir = m_dir.path;
    options.env = {{"FANSCOPE_BOARD", std::nullopt}, {"XDG_RUNTIME_DIR", runtime.string()}};
    options.timeout = 20s;
    auto r = support::runProcess(program("fanscope-cli"), {"set", "-y", "0x14", "0x2a"}, options);
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.err.find("refusing the shared simulated board: " + folder.string() + " belongs to another user"),
              std::string::npos)
        << r.err;

    // The folder now looks like this user's own and closed, but the process
    // listening in it is still nobody's.
    ASSERT_EQ(::chown(folder.c_str(), ::getuid(), ::getgid()), 0);
    fs::permissions(folder, fs::perms::owner_all);
    r = support::runProcess(program("fanscope-cli"), {"set", "-y", "0x14", "0x2a"}, options);
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.err.find("refusing the shared simulated board in " + folder.string() + ": it runs as another user"),
              std::string::npos)
        << r.err;
    // The second one connected to find out, and sent nothing.
    ASSERT_TRUE(theirs.logs("disconnected (")) << theirs.log();
    theirs.stop();
    const std::string log = theirs.log();
    for (auto at = log.find("disconnected ("); at != std::string::npos; at = log.find("disconnected (", at + 1))
        EXPECT_EQ(log.compare(at, 25, "disconnected (0 requests,"), 0) << log;
}

TEST_F(BoardServerTest, ASecondBoardOnTheSameSocketIsRefused)
{
    BoardProcess board(socket());
    support::RunOptions options;
    options.dir = m_dir.path;
    options.timeout = 10s;
    const auto r = support::runProcess(program("fanscope-board"), {"--socket", socket().string()}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("another fanscope-board serves"), std::string::npos) << r.err;
    RawClient client(socket());
    EXPECT_TRUE(client.hello()) << "the first board lost its socket";
}

}  // namespace
