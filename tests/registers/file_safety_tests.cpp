// What the register file and the data log do with paths that are not plain
// files, with odd permissions, and on a full disk.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "device/data_log.h"
#include "device/register_file.h"
#include "support/watchdog.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using support::slurp;

std::string registerFile()
{
    std::tm t{};
    t.tm_year = 126;
    t.tm_mday = 1;
    return device::registerFileText(
        device::registerFileLines(0x31, t, [](std::uint8_t a) { return static_cast<std::uint8_t>(a + 1); }));
}

mode_t modeOf(const fs::path& p)
{
    struct stat st { };
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode;
}

// A socket file that stays bound while the object lives.
struct BoundSocket {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    explicit BoundSocket(const fs::path& p)
    {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.c_str());
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    }
    ~BoundSocket() { ::close(fd); }
};

// ---- saving ------------------------------------------------------------------

enum class Node { CharDevice, Fifo, Socket, Folder };

class SaveOverNodeTest : public ::testing::TestWithParam<Node> { };

TEST_P(SaveOverNodeTest, IsRefusedAndTheNodeStays)
{
    support::TestFolder dir{"fanscope-files-"};
    const fs::path node = dir.path / "TFM4411_Registers.txt";
    std::optional<BoundSocket> socket;
    const char* kind = "";
    switch (GetParam()) {
    case Node::CharDevice:
        // A private copy of the null device, never the machine's own /dev entry.
        if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            GTEST_SKIP() << "mknod needs root";
        kind = "character device";
        break;
    case Node::Fifo:
        ASSERT_EQ(::mkfifo(node.c_str(), 0666), 0);
        kind = "named pipe";
        break;
    case Node::Socket:
        socket.emplace(node);
        kind = "socket";
        break;
    case Node::Folder:
        fs::create_directory(node);
        kind = "folder";
        break;
    }
    const mode_t before = modeOf(node);
    support::Watchdog watchdog(10s, "saving over a special file");
    const std::string error = device::writeFileReplacing(node, registerFile());
    EXPECT_NE(error.find(kind), std::string::npos) << error;
    EXPECT_NE(error.find("nothing was saved"), std::string::npos) << error;
    EXPECT_EQ(modeOf(node), before);
    EXPECT_EQ(dir.entries(), 1u);  // no temporary file left behind
}

INSTANTIATE_TEST_SUITE_P(Nodes, SaveOverNodeTest,
                         ::testing::Values(Node::CharDevice, Node::Fifo, Node::Socket, Node::Folder));

TEST(SaveThroughLinks, SymlinkedTargetIsReplacedAndTheLinkKept)
{
    support::TestFolder dir{"fanscope-files-"};
    fs::create_directory(dir.path / "real");
    const fs::path target = dir.path / "real" / "regs.txt";
    std::ofstream(target) << "old";
    const fs::path link = dir.path / "regs.txt", chain = dir.path / "chain.txt";
    fs::create_symlink("real/regs.txt", link);  // relative to the link's folder
    fs::create_symlink(link, chain);

    ASSERT_EQ(device::writeFileReplacing(chain, registerFile()), "");
    EXPECT_TRUE(fs::is_symlink(chain));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(slurp(target), registerFile());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path / "real"), fs::directory_iterator()), 1);

    // A link to a file not yet there creates that file.
    const fs::path dangling = dir.path / "new-link.txt";
    fs::create_symlink("real/new.txt", dangling);
    ASSERT_EQ(device::writeFileReplacing(dangling, "x"), "");
    EXPECT_TRUE(fs::is_symlink(dangling));
    EXPECT_EQ(slurp(dir.path / "real" / "new.txt"), "x");

    // A link to a device leaves both as they were.
    const fs::path fifo = dir.path / "pipe", toFifo = dir.path / "to-pipe.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(fifo, toFifo);
    EXPECT_NE(device::writeFileReplacing(toFifo, "x").find("named pipe"), std::string::npos);
    EXPECT_TRUE(fs::is_symlink(toFifo));
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo)));

    const fs::path loop = dir.path / "loop.txt";
    fs::create_symlink(loop, loop);
    EXPECT_NE(device::writeFileReplacing(loop, "x"), "");
}

TEST(SaveThroughLinks, HardLinkedFileIsRefusedAndBothNamesKeepTheirContents)
{
    support::TestFolder dir{"fanscope-files-"};
    const fs::path a = dir.path / "a.txt", b = dir.path / "b.txt";
    std::ofstream(a) << "old";
    fs::create_hard_link(a, b);
    const std::string error = device::writeFileReplacing(a, registerFile());
    EXPECT_NE(error.find("hard links"), std::string::npos) << error;
    EXPECT_EQ(slurp(a), "old");
    EXPECT_EQ(slurp(b), "old");
    EXPECT_EQ(fs::hard_link_count(a), 2u);
    EXPECT_EQ(dir.entries(), 2u);
}

struct ModeCase {
    mode_t before;
    mode_t after;
};

class SaveModeTest : public ::testing::TestWithParam<ModeCase> { };

TEST_P(SaveModeTest, KeepsPermissionBitsButNotSetIdOrSticky)
{
    support::TestFolder dir{"fanscope-files-"};
    const fs::path file = dir.path / "regs.txt";
    std::ofstream(file) << "old";
    ASSERT_EQ(::chmod(file.c_str(), GetParam().before), 0);
    const mode_t oldMask = ::umask(022);
    const std::string error = device::writeFileReplacing(file, registerFile());
    ::umask(oldMask);
    ASSERT_EQ(error, "");
    EXPECT_EQ(modeOf(file) & 07777, GetParam().after);
    EXPECT_EQ(slurp(file), registerFile());
}

INSTANTIATE_TEST_SUITE_P(Modes, SaveModeTest,
                         ::testing::Values(ModeCase{0666, 0666}, ModeCase{0600, 0600}, ModeCase{0640, 0640},
                                           ModeCase{04755, 0755}, ModeCase{02664, 0664}, ModeCase{01644, 0644}));

TEST(SaveModes, NewFileGetsWhatTheUmaskAllows)
{
    support::TestFolder dir{"fanscope-files-"};
    const mode_t oldMask = ::umask(027);
    const std::string error = device::writeFileReplacing(dir.path / "new.txt", "x");
    ::umask(oldMask);
    ASSERT_EQ(error, "");
    EXPECT_EQ(modeOf(dir.path / "new.txt") & 07777, 0640u);
}

// ---- recall ------------------------------------------------------------------

TEST(RecallOpen, OnlyRegularFilesAreRead)
{
    support::TestFolder dir{"fanscope-files-"};
    support::Watchdog watchdog(10s, "reading a register file");
    const fs::path fifo = dir.path / "regs.txt";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    device::RegisterFileResult r = device::readRegisterFile(fifo);
    EXPECT_FALSE(r);
    EXPECT_NE(r.error.find("named pipe"), std::string::npos) << r.error;

    r = device::readRegisterFile(dir.path);
    EXPECT_NE(r.error.find("folder"), std::string::npos) << r.error;

    const fs::path zero = dir.path / "zero.txt";  // endless, were it read
    if (::mknod(zero.c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0) {
        r = device::readRegisterFile(zero);
        EXPECT_NE(r.error.find("character device"), std::string::npos) << r.error;
    }
    const fs::path sock = dir.path / "regs.sock";
    BoundSocket bound(sock);
    r = device::readRegisterFile(sock);
    EXPECT_NE(r.error.find("socket"), std::string::npos) << r.error;

    const fs::path good = dir.path / "good.txt", link = dir.path / "link.txt";
    std::ofstream(good, std::ios::binary) << registerFile();
    fs::create_symlink(good, link);
    EXPECT_TRUE(device::readRegisterFile(link));
    EXPECT_NE(device::readRegisterFile(dir.path / "missing.txt").error.find("cannot open"), std::string::npos);
}

// ---- data log on a full disk -----------------------------------------------

// A 16 KiB tmpfs when this process may mount one, else a file-size limit:
// either way the kernel itself refuses the write part-way.
class FullDisk {
public:
    explicit FullDisk(const fs::path& dir) : m_dir(dir)
    {
        m_mounted = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k") == 0;
        if (!m_mounted) {
            std::signal(SIGXFSZ, SIG_IGN);
            ::getrlimit(RLIMIT_FSIZE, &m_old);
            rlimit small = m_old;
            small.rlim_cur = 16 * 1024;
            ::setrlimit(RLIMIT_FSIZE, &small);
        }
    }
    ~FullDisk()
    {
        if (m_mounted)
            ::umount(m_dir.c_str());
        else
            ::setrlimit(RLIMIT_FSIZE, &m_old);
    }

private:
    fs::path m_dir;
    bool m_mounted = false;
    rlimit m_old{};
};

TEST(DataLogFullDisk, FailedRowIsCutBackToTheLastCompleteRow)
{
    support::TestFolder dir{"fanscope-files-"};
    const fs::path log = dir.path / "run.xls";
    std::string expected;
    std::string failure;
    {
        FullDisk full(dir.path);
        ASSERT_EQ(device::appendToFile(log, device::logHeader(0x31)), "");
        expected = std::string(device::logHeader(0x31));
        const device::LogReadings r{25.25f, 40.5f, 31.125f, 3375.0f, 2400.0f, "47", "100"};
        for (int i = 0; i < 10000 && failure.empty(); ++i) {
            const std::string row = device::logRow(12, i / 60 % 60, i % 60, r, 0x31);
            failure = device::appendToFile(log, row);
            if (failure.empty())
                expected += row;
        }
        EXPECT_EQ(slurp(log), expected);  // checked while the disk is still full
    }
    EXPECT_FALSE(failure.empty()) << "the disk never filled";
    EXPECT_GT(expected.size(), std::string(device::logHeader(0x31)).size());
    EXPECT_TRUE(expected.ends_with("\r\n"));
}

}  // namespace
