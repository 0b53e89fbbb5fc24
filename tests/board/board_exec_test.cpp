// fanscope-board exec: unmodified programs (i2c-tools, smbus2 scripts, the
// project's own Linux back-ends) against the simulated board through the
// device files the command sees. Each test has a board on a socket of its
// own; what a command writes under exec is read back from outside.
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
#include <vector>

#include "board_process.h"
#include "support/run_process.h"

namespace {

namespace fs = std::filesystem;
using boardtest::program;
using namespace std::chrono_literals;

bool installed(const char* path) { return ::access(path, X_OK) == 0; }

bool haveSmbus2() { return installed("/usr/bin/python3") && fs::exists("/usr/lib/python3/dist-packages/smbus2"); }

// The tokens of a hex-dump line that starts with `row` ("30:"), as both
// i2cdump and `fanscope-cli dump --raw` print them.
std::vector<std::string> dumpRow(const std::string& text, const std::string& row)
{
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(row, 0) != 0)
            continue;
        std::istringstream words(line.substr(row.size()));
        std::vector<std::string> out;
        std::string w;
        while (out.size() < 16 && words >> w)
            out.push_back(w);
        return out;
    }
    return {};
}

class ExecTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!installed("/usr/sbin/i2cget"))
            GTEST_SKIP() << "i2c-tools is not installed";
        m_board = std::make_unique<boardtest::BoardProcess>(socket());
    }
    void TearDown() override
    {
        if (m_board) {
            EXPECT_EQ(m_board->stop(), 0) << m_board->log();
        }
    }

    fs::path socket() const { return m_dir.path / "board.sock"; }

    support::RunOptions options(const std::string& input = {}) const
    {
        support::RunOptions o;
        o.dir = m_dir.path;
        if (!input.empty())
            o.input = input;
        o.env = {{"FANSCOPE_BOARD", socket().string()},
                 {"FANSCOPE_SIM_CONFIG", std::nullopt},
                 {"VEXLINK06_PLATFORM", std::nullopt}};
        o.timeout = 120s;
        return o;
    }

    // CMD under exec: the shared board, or a private one from `config`.
    support::ProcessResult exec(const std::vector<std::string>& command, const std::string& config = {},
                                const std::string& input = {})
    {
        std::vector<std::string> args{"exec"};
        if (!config.empty())
            args.insert(args.end(), {"--config", writeFile("config.json", config).string()});
        args.push_back("--");
        args.insert(args.end(), command.begin(), command.end());
        return support::runProcess(program("fanscope-board"), args, options(input));
    }
    support::ProcessResult shell(const std::string& script, const std::string& config = {})
    {
        return exec({"/bin/sh", "-c", script}, config);
    }
    // fanscope-cli outside exec, on the same shared board.
    support::ProcessResult cli(const std::vector<std::string>& args)
    {
        return support::runProcess(program("fanscope-cli"), args, options());
    }
    fs::path writeFile(const std::string& name, const std::string& text)
    {
        std::ofstream(m_dir.path / name) << text;
        return m_dir.path / name;
    }
    std::string python(const std::string& name, const std::string& code)
    {
        return "/usr/bin/python3 " + writeFile(name, code).string();
    }

    boardtest::TempDir m_dir;
    std::unique_ptr<boardtest::BoardProcess> m_board;
};

const std::string kCli = program("fanscope-cli");

TEST_F(ExecTest, I2cToolsFindTheAdapterAndReadWhatTheCliDumps)
{
    const auto list = exec({"i2cdetect", "-l"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("i2c-1\t"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("SMBus I801 adapter at efa0"), std::string::npos) << list.out;

    const auto scan = exec({"i2cdetect", "-y", "1"});
    ASSERT_EQ(scan.status, 0) << scan.err;
    EXPECT_EQ(dumpRow(scan.out, "20:").at(14), "2e") << scan.out;
    EXPECT_EQ(dumpRow(scan.out, "30:").at(13), "--") << scan.out;

    const auto raw = cli({"dump", "--raw"});
    ASSERT_EQ(raw.status, 0) << raw.err;
    const auto ids = dumpRow(raw.out, "30:");
    ASSERT_EQ(ids.size(), 16u) << raw.out;

    const auto dump = exec({"i2cdump", "-y", "1", "0x2e", "b"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    const auto row = dumpRow(dump.out, "30:");
    ASSERT_EQ(row.size(), 16u) << dump.out;
    for (int c = 0xd; c <= 0xf; ++c)
        EXPECT_EQ(row[c], ids[c]) << "register 0x3" << std::hex << c;

    const auto get = exec({"i2cget", "-y", "1", "0x2e", "0x3d"});
    EXPECT_EQ(get.out, "0x" + ids[0xd] + "\n") << get.err;
    const auto word = exec({"i2cget", "-y", "1", "0x2e", "0x3e", "w"});
    EXPECT_EQ(word.out, "0x" + ids[0xf] + ids[0xe] + "\n") << word.err;
    const auto transfer = exec({"i2ctransfer", "-y", "1", "w1@0x2e", "0x3e", "r2"});
    EXPECT_EQ(transfer.out, "0x" + ids[0xe] + " 0x" + ids[0xf] + "\n") << transfer.err;

    // Nobody answers at 0x33: the kernel's no-acknowledge.
    const auto none = exec({"i2cget", "-y", "1", "0x33", "0x00"});
    EXPECT_NE(none.status, 0);
}

TEST_F(ExecTest, WritesUnderExecAreSeenOutside)
{
    const auto set = exec({"i2cset", "-y", "1", "0x2e", "0x14", "0x47"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(cli({"get", "0x14"}).out, "0x47\n");
    const auto transfer = exec({"i2ctransfer", "-y", "1", "w2@0x2e", "0x16", "0x39"});
    ASSERT_EQ(transfer.status, 0) << transfer.err;
    EXPECT_EQ(cli({"get", "0x16"}).out, "0x39\n");
    // A write shape the adapter ABI cannot put on the bus is refused whole.
    EXPECT_NE(exec({"i2ctransfer", "-y", "1", "w5@0x2e", "0x16", "1", "2", "3", "4"}).status, 0);
    EXPECT_EQ(cli({"get", "0x16"}).out, "0x39\n");
}

TEST_F(ExecTest, Smbus2ScriptReadsAndWritesTheChip)
{
    if (!haveSmbus2())
        GTEST_SKIP() << "python3-smbus2 is not installed";
    const auto run = shell(python("script.py", R"(
from smbus2 import SMBus, i2c_msg
with SMBus(1) as bus:
    print(hex(bus.read_byte_data(0x2e, 0x3d)), hex(bus.read_word_data(0x2e, 0x3e)))
    bus.write_byte_data(0x2e, 0x18, 0x3a)
    bus.pec = 1
    bus.write_block_data(0x2e, 0xa0, [9, 8, 7])
    print(bus.read_block_data(0x2e, 0xa1)[:3])
    bus.pec = 0
    w, r = i2c_msg.write(0x2e, [0x3d]), i2c_msg.read(0x2e, 1)
    bus.i2c_rdwr(w, r)
    print(list(r))
    # Messages to the EEPROM leave the file's own address selected.
    bus.i2c_rdwr(i2c_msg.write(0x50, [0]), i2c_msg.read(0x50, 1))
    print(hex(bus.read_byte_data(0x2e, 0x3d)))
    try:
        bus.read_byte_data(0x33, 0)
    except OSError as e:
        print("errno", e.errno)
)"));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string id = cli({"get", "0x3d"}).out;
    const std::string word = cli({"transfer", "read-word", "0x3e"}).out;
    EXPECT_EQ(run.out, "0x31 0x1246\n[9, 8, 7]\n[49]\n0x31\nerrno 6\n") << run.err;
    EXPECT_EQ(id, "0x31\n");
    EXPECT_NE(word.find("0x1246"), std::string::npos) << word;
    EXPECT_EQ(cli({"get", "0x18"}).out, "0x3a\n");
    EXPECT_EQ(cli({"transfer", "read-block", "0xa1"}).out.rfind("0x09 0x08 0x07 ", 0), 0u);
}

// The parallel-port device as the kernel's PC-style driver answers it.
TEST_F(ExecTest, ParportIoctlsAnswerAsTheKernelDoes)
{
    const auto run = shell(python("ppdev.py", R"(
import errno, fcntl, os, struct
PPCLAIM, PPRELEASE, PPEXCL = 0x708b, 0x708c, 0x708f
PPRSTATUS, PPRCONTROL, PPWCONTROL = 0x80017081, 0x80017083, 0x40017084
PPRDATA, PPWDATA, PPGETMODES, PPNEGOT = 0x80017085, 0x40017086, 0x80047097, 0x40047091
def ioctl(fd, request, arg=0):
    try:
        return fcntl.ioctl(fd, request, arg)
    except OSError as e:
        return errno.errorcode[e.errno]
fd = os.open("/dev/parport0", os.O_RDWR)
print(ioctl(fd, PPRSTATUS, b"\0"))                     # not claimed
print(ioctl(fd, PPCLAIM), ioctl(fd, PPCLAIM))          # a second claim
print(ioctl(fd, PPRCONTROL, b"\0"))                    # a claim sets 0Ch
ioctl(fd, PPWCONTROL, b"\xff")
print(ioctl(fd, PPRCONTROL, b"\0"))                    # four lines read back
ioctl(fd, PPWDATA, b"\xc3")
print(ioctl(fd, PPRDATA, b"\0"))
print(struct.unpack("i", ioctl(fd, PPGETMODES, b"\0" * 4))[0] & 3)
print(len(ioctl(fd, PPNEGOT, struct.pack("i", 256))), ioctl(fd, PPNEGOT, struct.pack("i", 1)))
print(ioctl(fd, PPEXCL))                               # too late once registered
print(ioctl(fd, PPRELEASE), ioctl(fd, PPRELEASE))
)"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "EINVAL\n0 EINVAL\nb'\\x0c'\nb'\\x0f'\nb'\\xc3'\n3\n4 EIO\nEINVAL\n0 EINVAL\n") << run.err;
}

// The project's own Linux back-ends, unmodified: the parallel-port driver
// on /dev/parport0 and the kernel-adapter layer on /dev/i2c-1.
TEST_F(ExecTest, CliHardwareOnThePrinterPortOfTheSharedBoard)
{
    const auto run = shell(kCli + " --hardware detect && " + kCli + " --hardware get 0x3d && " + kCli +
                           " --hardware -y set 0x14 0x44 && " + kCli + " --hardware dump --raw && " + kCli +
                           " --hardware monitor --count 1 --csv");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("printer  0 (0x378)     0x2e     TFM4411"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n0x31\n"), std::string::npos) << run.out;
    EXPECT_EQ(dumpRow(run.out, "10:").at(4), "44") << run.out;
    EXPECT_NE(run.out.find("time,local_c"), std::string::npos) << run.out;
    EXPECT_EQ(cli({"get", "0x14"}).out, "0x44\n");
}

TEST_F(ExecTest, CliHardwareSavesRecallsAndUsesTheEepromThroughThePort)
{
    const fs::path saved = m_dir.path / "saved.reg";
    const fs::path bytes = writeFile("bytes.bin", "FS32");
    const auto run = shell(kCli + " --hardware -y set 0x14 0x42 && " + kCli + " --hardware save " + saved.string() +
                           " && " + kCli + " --hardware -y set 0x14 0x50 && " + kCli + " --hardware -y recall " +
                           saved.string() + " && " + kCli + " --hardware eeprom write -y --offset 0x10 " +
                           bytes.string() + " && " + kCli + " --hardware eeprom read --offset 0x10 --length 4");
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_NE(run.out.find("46 53 33 32"), std::string::npos) << run.out;
    EXPECT_EQ(cli({"get", "0x14"}).out, "0x42\n");
    const auto outside = cli({"eeprom", "read", "--offset", "0x10", "--length", "4"});
    EXPECT_NE(outside.out.find("46 53 33 32"), std::string::npos) << outside.out;
}

TEST_F(ExecTest, CliHardwareOnANonInvertingAdapter)
{
    const auto run = shell(kCli + " --hardware detect && " + kCli + " --hardware -y set 0x14 0x43 && " + kCli +
                               " --hardware get 0x14",
                           R"({ "ports": [ { "adapter": "non-inverting" } ] })");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("0x2e     TFM4411  non-inverting"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n0x43\n"), std::string::npos) << run.out;
}

TEST_F(ExecTest, CliHardwareOnTheKernelAdapter)
{
    const fs::path saved = m_dir.path / "saved.reg";
    const std::string i2c = kCli + " --hardware -y --medium i2c ";
    const auto run = shell(i2c + "detect && " + i2c + "get 0x3d && " + i2c + "set 0x16 0x41 && " + i2c +
                           "dump --raw && " + i2c + "monitor --count 1 --csv && " + i2c + "save " + saved.string() +
                           " && " + i2c + "set 0x16 0x30 && " + i2c + "recall " + saved.string());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("i2c-1"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\n0x31\n"), std::string::npos) << run.out;
    EXPECT_EQ(dumpRow(run.out, "10:").at(6), "41") << run.out;
    EXPECT_NE(run.out.find("time,local_c"), std::string::npos) << run.out;
    EXPECT_EQ(cli({"get", "0x16"}).out, "0x41\n");
}

// The board restarted under a running script, as a power-cycled board
// under a night's logger: the file it holds and the files it opens while
// the board is away reach the board that answers again, with no restart.
TEST_F(ExecTest, AScriptsFilesReachTheBoardThatComesBack)
{
    if (!haveSmbus2())
        GTEST_SKIP() << "python3-smbus2 is not installed";
    const fs::path reading = m_dir.path / "reading";
    const std::string script = python("logger.py", std::string(R"(
import sys, time
from smbus2 import SMBus
def read(bus):
    try:
        return hex(bus.read_byte_data(0x2e, 0x3d))
    except OSError as e:
        return "E%d" % e.errno
held = SMBus(1)
last, lost, deadline = None, False, time.time() + 20
while time.time() < deadline:
    first = read(held)
    try:
        with SMBus(1) as fresh:
            pair = "%s %s" % (first, read(fresh))
    except OSError as e:  # away, opening asks the adapter what it can do
        pair = "%s E%d" % (first, e.errno)
    if pair != last:
        print(pair, flush=True)
        last = pair
    lost = lost or "E" in pair
    if pair == "0x31 0x31":
        open(sys.argv[1], "w").close()
        if lost:
            break
    time.sleep(0.05)
)")) + " " + reading.string();
    support::ProcessResult run;
    std::thread logger([&] { run = shell(script); });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!fs::exists(reading) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    m_board->stop(SIGKILL);
    std::this_thread::sleep_for(300ms);
    m_board = std::make_unique<boardtest::BoardProcess>(socket());
    logger.join();
    ASSERT_EQ(run.status, 0) << run.err;
    // Away, the kernel's answer for an adapter that went; back, the chip.
    EXPECT_EQ(run.out.rfind("0x31 0x31\n", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("E19"), std::string::npos) << run.out;
    EXPECT_GE(run.out.size(), 10u);
    EXPECT_EQ(run.out.substr(run.out.size() - 10), "0x31 0x31\n") << run.out;
}

TEST_F(ExecTest, KernelFaultsReachTheCommandAsErrnos)
{
    if (!haveSmbus2())
        GTEST_SKIP() << "python3-smbus2 is not installed";
    const std::string loop = python("loop.py", R"(
import sys
from smbus2 import SMBus
with SMBus(1) as bus:
    for i in range(int(sys.argv[1])):
        try:
            bus.read_byte_data(0x2e, 0x3d)
            print("ok")
        except OSError as e:
            print("errno", e.errno)
            break
)");
    // An adapter unplugged after three transfers: ENODEV from then on.
    EXPECT_EQ(shell(loop + " 5", R"({ "i2cAdapters": [ { "vanishAfter": 3 } ] })").out, "ok\nok\nok\nerrno 19\n");
    // The chip goes after four messages (two reads): no acknowledge.
    EXPECT_EQ(
        shell(loop + " 5", R"({ "ports": [ { "faults": [ { "kind": "chipGone", "afterTransfers": 4 } ] } ] })").out,
        "ok\nok\nerrno 6\n");
    // SCL held low: the adapter times out; the printer-port back-end says so too.
    const auto held = shell(loop + " 1; " + kCli + " --hardware get 0x3d",
                            R"({ "ports": [ { "faults": [ { "kind": "sclLow", "fromMs": 0 } ] } ] })");
    EXPECT_EQ(held.out, "errno 110\n");
    EXPECT_NE(held.err.find("held low"), std::string::npos) << held.err;
}

TEST_F(ExecTest, BusyAddressAndRefusedNodeAreReportedAsTheKernelWould)
{
    const auto busy = shell("i2cget -y 1 0x2e 0x3d; i2cget -f -y 1 0x2e 0x3d",
                            R"({ "i2cAdapters": [ { "driverOwned": ["0x2E"] } ] })");
    EXPECT_NE(busy.err.find("Device or resource busy"), std::string::npos) << busy.err;
    EXPECT_EQ(busy.out, "0x31\n");

    const auto denied = exec({kCli, "--hardware", "--medium", "i2c", "get", "0x3d"},
                             R"({ "i2cAdapters": [ { "accessDenied": true } ] })");
    EXPECT_NE(denied.status, 0);
    EXPECT_NE(denied.err.find("no permission on /dev/i2c-1: join the group i2c"), std::string::npos) << denied.err;
}

TEST_F(ExecTest, StatusSignalsAndStreamsPassThrough)
{
    EXPECT_EQ(shell("exit 7").status, 7);
    EXPECT_EQ(shell("kill -TERM $$").status, 128 + SIGTERM);
    // A signal sent to exec is passed on to the command.
    const fs::path pidFile = m_dir.path / "exec.pid";
    support::ProcessResult forwarded;
    std::jthread run([&] { forwarded = shell("echo $PPID > " + pidFile.string() + "; exec sleep 30"); });
    std::string pid;
    for (int i = 0; i < 1000 && (pid.empty() || pid.back() != '\n'); ++i) {
        std::this_thread::sleep_for(10ms);
        pid = support::slurp(pidFile);
    }
    ASSERT_FALSE(pid.empty());
    ASSERT_EQ(pid.back(), '\n');
    ::kill(std::stoi(pid), SIGUSR1);
    run.join();
    EXPECT_EQ(forwarded.status, 128 + SIGUSR1);
    const auto cat = exec({"cat"}, {}, "through stdin\n");
    EXPECT_EQ(cat.out, "through stdin\n");
    const auto err = shell("echo to stderr >&2");
    EXPECT_EQ(err.err, "to stderr\n");
    EXPECT_EQ(exec({"/no/such/program"}).status, 127);
    EXPECT_EQ(
        support::runProcess(program("fanscope-board"), {"exec", "--config", "/no/such.json", "--", "true"}, options())
            .status,
        2);
}

TEST_F(ExecTest, APrivateBoardStartsNoBoardProcess)
{
    // Without FANSCOPE_BOARD the shared board would be started on demand
    // in the runtime folder; --config keeps the board inside exec.
    const fs::path runtime = m_dir.path / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    support::RunOptions o = options();
    o.env = {{"FANSCOPE_BOARD", std::nullopt},
             {"FANSCOPE_SIM_CONFIG", std::nullopt},
             {"VEXLINK06_PLATFORM", std::nullopt},
             {"XDG_RUNTIME_DIR", runtime.string()}};
    const auto run = support::runProcess(
        program("fanscope-board"),
        {"exec", "--config", writeFile("private.json", "{}").string(), "--", "i2cget", "-y", "1", "0x2e", "0x3d"}, o);
    EXPECT_EQ(run.out, "0x31\n") << run.err;
    EXPECT_FALSE(fs::exists(runtime / "fanscope" / "board.sock"));
    // Nor is its test bed left behind.
    EXPECT_TRUE(fs::is_empty(runtime));
}

TEST_F(ExecTest, AKilledCommandLeavesTheBoardServingOthers)
{
    if (!haveSmbus2())
        GTEST_SKIP() << "python3-smbus2 is not installed";
    // The command claims the printer port and is killed holding it.
    const fs::path ready = m_dir.path / "claimed";
    const std::string holder = python("hold.py", R"(
import fcntl, os, sys, time
fd = os.open("/dev/parport0", os.O_RDWR)
fcntl.ioctl(fd, 0x708b)  # PPCLAIM
open(sys.argv[1], "w").write(str(os.getpid()) + "\n")
time.sleep(60)
)");
    support::ProcessResult result;
    std::jthread run([&] { result = shell("exec " + holder + " " + ready.string()); });
    std::string pid;
    for (int i = 0; i < 1000 && (pid.empty() || pid.back() != '\n'); ++i) {
        std::this_thread::sleep_for(10ms);
        pid = support::slurp(ready);
    }
    ASSERT_FALSE(pid.empty());
    ASSERT_EQ(pid.back(), '\n');
    ::kill(std::stoi(pid), SIGKILL);
    run.join();
    EXPECT_EQ(result.status, 128 + SIGKILL);
    // Its claim went with it: the next client gets the port.
    EXPECT_EQ(cli({"get", "0x3d"}).out, "0x31\n");
    EXPECT_EQ(exec({"i2cget", "-y", "1", "0x2e", "0x3d"}).out, "0x31\n");
}

}  // namespace
