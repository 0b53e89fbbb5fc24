// The real Linux motherboard helper, loaded by name through fanscope-cli
// --hardware, on described PCs: what it writes to configuration space, which
// ports it asks permission for, and what the user is told. Every run names a
// described machine (VEXLINK06_LINUX_ROOT), so no real port or configuration
// register is ever touched.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_pci_machine.h"
#include "support/run_process.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
using support::FakeFunction;
using support::FakeMachine;

constexpr std::uint32_t HostBridgeClass = 0x06000000;
constexpr std::uint32_t SmbusClass = 0x0C050000;

FakeFunction fn(std::string name, std::uint32_t id, std::uint32_t classDword,
                std::map<std::uint8_t, std::uint32_t> dwords = {},
                std::vector<std::pair<std::uint32_t, std::uint32_t>> io = {})
{
    FakeFunction f;
    f.name = std::move(name);
    f.id = id;
    f.classDword = classDword;
    f.dwords = std::move(dwords);
    f.ioResources = std::move(io);
    return f;
}

FakeFunction intelHostBridge() { return fn("0000:00:00.0", 0x3E308086, HostBridgeClass); }

// The legacy devices every PC has, and the configuration ports.
const std::string kLegacyIoports = "0000-0cf7 : PCI Bus 0000:00\n"
                                   "  0000-001f : dma1\n"
                                   "  0020-0021 : pic1\n"
                                   "  0040-0043 : timer0\n"
                                   "0cf8-0cff : PCI conf1\n"
                                   "0d00-ffff : PCI Bus 0000:00\n";

// Since the 100 series: audio at 1f.3 (its register 0x20 holds no I/O
// base), the SMBus at 1f.4 with an identifier no table knows.
FakeMachine recentIntel()
{
    FakeMachine m;
    m.functions = {intelHostBridge(), fn("0000:00:1f.3", 0xA3488086, 0x04030000, {{0x20, 0x00000004}}),
                   fn("0000:00:1f.4", 0xA3238086, SmbusClass, {{0x20, 0x0000EFA1}}, {{0xEFA0, 0xEFBF}})};
    m.ioports = kLegacyIoports + "  efa0-efbf : 0000:00:1f.4\n";
    return m;
}

FakeMachine ich5(bool driverBound)
{
    FakeMachine m;
    FakeFunction smbus =
        fn("0000:00:1f.3", 0x24D38086, SmbusClass | 0x02, {{0x20, 0x0000EFA1}, {0x40, 0x00000001}}, {{0xEFA0, 0xEFBF}});
    m.ioports = kLegacyIoports + "  efa0-efbf : 0000:00:1f.3\n";
    if (driverBound) {
        smbus.driver = "i801_smbus";
        smbus.module = "i2c_i801";
        m.ioports += "    efa0-efbf : i801_smbus\n";
    }
    m.functions = {fn("0000:00:00.0", 0x25708086, HostBridgeClass), smbus};
    return m;
}

// The PIIX4 power-management function carries its SMBus base in register
// 0x90 and the host enable in 0xD2, with no SMBus class code.
FakeMachine piix4()
{
    FakeMachine m;
    m.functions = {fn("0000:00:00.0", 0x71908086, HostBridgeClass),
                   fn("0000:00:07.3", 0x71138086, 0x06800002, {{0x90, 0x00005001}})};
    m.ioports = kLegacyIoports + "  4000-403f : 0000:00:07.3\n";
    return m;
}

// The ALi power-management unit at device 3 function 6, base in 0xE0.
FakeMachine ali()
{
    FakeMachine m;
    m.functions = {fn("0000:00:00.0", 0x154110B9, HostBridgeClass),
                   fn("0000:00:03.6", 0x710110B9, 0x06800000, {{0xE0, 0x60000000}})};
    m.ioports = kLegacyIoports;
    return m;
}

struct Outcome {
    int status = -1;
    std::string out, err;
    std::vector<std::string> log;

    std::vector<std::string> logged(const std::string& what) const
    {
        std::vector<std::string> found;
        for (const std::string& l : log)
            if (l.starts_with(what + " "))
                found.push_back(l.substr(what.size() + 1));
        return found;
    }
};

using support::slurp;

class LinuxHelper : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = support::freshTestFolder("fanscope-mb-");
        fs::permissions(m_dir, fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write));
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // fanscope-cli --hardware ARGS on `machine`, as root or as nobody.
    Outcome run(const FakeMachine& machine, std::vector<std::string> args, bool asNobody = false)
    {
        args.insert(args.begin(), "--hardware");
        return runPlain(machine, args, asNobody, false);
    }

    // fanscope-cli ARGS on `machine`, with VEXLINK06_PLATFORM=linux when asked.
    Outcome runPlain(const FakeMachine& machine, const std::vector<std::string>& args, bool asNobody,
                     bool platformFromEnvironment)
    {
        const fs::path root = m_dir / "machine";
        fs::remove_all(root);
        support::layOut(machine, root);
        const fs::path out = m_dir / "stdout", err = m_dir / "stderr";
        const std::string program = asNobody ? reachableCopy().string() : std::string(FANSCOPE_CLI);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (!std::freopen(out.c_str(), "w", stdout) || !std::freopen(err.c_str(), "w", stderr))
                ::_exit(127);
            // Never without the described machine: the helper would reach
            // this one's ports.
            if (::setenv("VEXLINK06_LINUX_ROOT", root.c_str(), 1) != 0)
                ::_exit(127);
            if (platformFromEnvironment)
                ::setenv("VEXLINK06_PLATFORM", "linux", 1);
            if (asNobody) {
                const passwd* nobody = ::getpwnam("nobody");
                if (nobody == nullptr || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
                    ::_exit(126);
            }
            if (asNobody)
                ::setenv("LD_LIBRARY_PATH", (fs::path(program).parent_path().parent_path() / "lib").c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(out), slurp(err),
                support::helperLog(root)};
    }

    // The program and its libraries where user nobody can reach them: a build
    // folder may lie where only its owner can enter (under /root, say). The
    // libraries beside it in lib/ are the ones the library loads.
    fs::path reachableCopy()
    {
        const fs::path copy = m_dir / "nobody" / "bin" / "fanscope-cli";
        if (fs::exists(copy))
            return copy;
        const fs::path built = fs::path(FANSCOPE_CLI);
        const fs::path lib = m_dir / "nobody" / "lib";
        fs::create_directories(copy.parent_path());
        fs::create_directories(lib);
        const auto place = [](const fs::path& from, const fs::path& to) {
            std::error_code linked;
            fs::create_hard_link(from, to, linked);
            if (linked)
                fs::copy_file(from, to);
        };
        place(built, copy);
        for (const auto& entry : fs::directory_iterator(built.parent_path().parent_path() / "lib")) {
            if (entry.is_symlink())
                fs::copy_symlink(entry.path(), lib / entry.path().filename());
            else if (entry.is_regular_file())
                place(entry.path(), lib / entry.path().filename());
        }
        for (const fs::path& p : {m_dir / "nobody", copy.parent_path(), lib})
            fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                   fs::perms::others_read | fs::perms::others_exec);
        return copy;
    }

    fs::path m_dir;
};

const std::vector<std::string> kSmbusDetect{"--medium", "smbus", "detect"};

const std::string kUnsupported = "fanscope-cli: The available southbridge or ICH is currently unsupported.\n";

TEST_F(LinuxHelper, RecentIntelPcIsUnsupportedAndNothingIsTouched)
{
    // The wizard's reason, whether or not the kernel's driver has the controller.
    const Outcome r = run(recentIntel(), kSmbusDetect);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, kUnsupported);
    EXPECT_TRUE(r.log.empty()) << r.log.front();
    FakeMachine owned = recentIntel();
    owned.functions[2].driver = "i801_smbus";
    owned.functions[2].module = "i2c_i801";
    owned.ioports += "    efa0-efbf : i801_smbus\n";
    const Outcome driven = run(owned, {"--medium", "smbus", "get", "0x3d"});
    EXPECT_EQ(driven.status, 1);
    EXPECT_EQ(driven.err, kUnsupported);
    EXPECT_TRUE(driven.log.empty());

    // The printer-port path says nothing about the chipset at all.
    const Outcome printer = run(recentIntel(), {"detect"});
    EXPECT_EQ(printer.err.find("SMBus"), std::string::npos) << printer.err;
    EXPECT_EQ(printer.err.find("Overflow"), std::string::npos) << printer.err;
    EXPECT_TRUE(printer.log.empty());
}

TEST_F(LinuxHelper, IntelBoardWithoutAnyFunctionAtTheFallbackGivesNoOverflow)
{
    FakeMachine m;
    m.functions = {intelHostBridge()};
    m.ioports = kLegacyIoports;
    const Outcome r = run(m, {"detect"});
    EXPECT_EQ(r.err.find("Overflow"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("SetupBasics"), std::string::npos) << r.err;
    EXPECT_TRUE(r.log.empty());
}

// A recognised controller the kernel leaves alone: one host-enable write to
// its own function, permission only inside its I/O resource, and every
// port access inside it too.
struct Usable {
    const char* label;
    FakeMachine (*machine)();
    std::vector<std::string> configWrites;
    std::uint32_t first, last;  // the range the accesses stay in
};

class UsableController : public LinuxHelper, public ::testing::WithParamInterface<Usable> { };

std::uint32_t portOf(const std::string& entry)
{
    return static_cast<std::uint32_t>(std::stoul(entry.substr(0, 4), nullptr, 16));
}

TEST_P(UsableController, EnablesItsOwnFunctionAndOpensOnlyItsPorts)
{
    const Usable& u = GetParam();
    const Outcome r = run(u.machine(), kSmbusDetect);
    EXPECT_EQ(r.status, 1);
    // The stand-in grants port permission as the kernel does: to root only.
    const bool root = ::geteuid() == 0;
    EXPECT_EQ(r.err, root ? "fanscope-cli: no TFM4410 or TFM4411 found on the SMBus\n"  // the described ports read FFh
                          : "fanscope-cli: The motherboard SMBus needs root: run the program as root to use it.\n");
    EXPECT_EQ(r.logged("config-write"), u.configWrites);
    const auto permits = r.logged("permit");
    EXPECT_EQ(permits.size(), 21u);
    for (const std::string& p : permits) {
        EXPECT_GE(portOf(p), u.first) << p;
        EXPECT_LE(portOf(p.substr(5)), u.last) << p;
    }
    auto accesses = r.logged("out");
    const auto reads = r.logged("in");
    accesses.insert(accesses.end(), reads.begin(), reads.end());
    EXPECT_EQ(accesses.empty(), !root);
    for (const std::string& a : accesses) {
        EXPECT_GE(portOf(a), u.first) << a;
        EXPECT_LE(portOf(a), u.last) << a;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Families, UsableController,
    ::testing::Values(Usable{"ich5", [] { return ich5(false); }, {"0000:00:1f.3 40 00010001"}, 0xEFA0, 0xEFBF},
                      Usable{"piix4", piix4, {"0000:00:07.3 D0 00010000"}, 0x5000, 0x5014},
                      Usable{"ali", ali, {"0000:00:03.6 D0 00000400", "0000:00:03.6 F0 00000001"}, 0x6000, 0x6014}),
    [](const auto& info) { return std::string(info.param.label); });

// Where the controller cannot be used, no port is opened and the CLI prints
// the helper's reason; its own host-enable register is written only where
// the function itself may be touched.
struct Refused {
    const char* label;
    FakeMachine machine;
    std::string reason;
    std::vector<std::string> configWrites;
};

void PrintTo(const Refused& r, std::ostream* os) { *os << r.label; }
void PrintTo(const Usable& u, std::ostream* os) { *os << u.label; }

class RefusedController : public LinuxHelper, public ::testing::WithParamInterface<Refused> { };

TEST_P(RefusedController, TouchesNothingAndSaysWhy)
{
    const Outcome r = run(GetParam().machine, kSmbusDetect);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fanscope-cli: " + GetParam().reason + "\n");
    EXPECT_EQ(r.logged("config-write"), GetParam().configWrites);
    EXPECT_TRUE(r.logged("permit").empty());
    EXPECT_TRUE(r.logged("out").empty());
}

FakeMachine lockedDown()
{
    FakeMachine m = ich5(false);
    m.lockdown = "none [integrity] confidentiality\n";
    return m;
}

// An ICH5 whose base register points into someone else's ports.
FakeMachine ich5BaseOutsideItsResource()
{
    FakeMachine m = ich5(false);
    m.functions[1].dwords[0x20] = 0x00000061;  // the keyboard controller
    m.ioports += "  0060-0060 : keyboard\n";
    return m;
}

FakeMachine ich5OtherOwner()
{
    FakeMachine m = ich5(false);
    m.functions[1].ioResources = {{0xE000, 0xE01F}};
    m.ioports += "  efa0-efbf : 0000:00:1d.0\n";
    return m;
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, RefusedController,
    ::testing::Values(
        Refused{"kernel_driver",
                ich5(true),
                "The kernel driver \"i801_smbus\" owns the SMBus controller 0000:00:1f.3; unload it (sudo modprobe -r "
                "i2c_i801) to use the controller from here, or reach the chip through the kernel's own I2C adapter "
                "for this bus.",
                {}},
        Refused{"lockdown",
                lockedDown(),
                "The motherboard SMBus cannot be used while the kernel runs in lockdown mode (integrity), which Secure "
                "Boot usually turns on.",
                {}},
        Refused{"legacy_base",
                ich5BaseOutsideItsResource(),
                "I/O port 0060 lies among the PC's legacy devices, where no SMBus controller sits, so it is left "
                "alone.",
                {"0000:00:1f.3 40 00010001"}},
        Refused{"claimed_by_another",
                ich5OtherOwner(),
                "I/O port EFA0 is claimed by \"0000:00:1d.0\", not by the SMBus controller, so it is left alone.",
                {"0000:00:1f.3 40 00010001"}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(LinuxHelper, RecognisedIdentifierWithoutTheSMBusClassIsNotConfigured)
{
    FakeMachine m = ich5(false);
    m.functions[1].classDword = 0x04030000;  // the identifier lies
    const Outcome r = run(m, kSmbusDetect);
    EXPECT_EQ(r.err, "fanscope-cli: PCI function 0000:00:1f.3 is not an SMBus controller the program supports (class "
                     "0403), so its configuration is left unchanged.\n");
    EXPECT_TRUE(r.logged("config-write").empty());
    EXPECT_TRUE(r.logged("permit").empty());
}

TEST_F(LinuxHelper, RealBackEndFromTheEnvironmentIsAnnounced)
{
    const Outcome r = runPlain(recentIntel(), kSmbusDetect, false, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fanscope-cli: using the back-end \"linux\" that VEXLINK06_PLATFORM selects\n" + kUnsupported);

    // The simulated board's configuration cannot apply to it.
    const fs::path config = m_dir / "board.json";
    std::ofstream(config) << "{}";
    const Outcome conflict = runPlain(recentIntel(), {"--sim-config", config.string(), "detect"}, false, true);
    EXPECT_EQ(conflict.status, 2);
    EXPECT_NE(conflict.err.find("--sim-config needs the simulated board, but VEXLINK06_PLATFORM=linux selects another "
                                "back-end"),
              std::string::npos)
        << conflict.err;
    EXPECT_TRUE(conflict.log.empty());
}

// Without the printer-port library the chipset SMBus still works, and the
// printer port is not what the message names.
TEST_F(LinuxHelper, AMissingPortLibraryIsNotTheChipsetSMBusProblem)
{
    const fs::path copy = reachableCopy();
    fs::remove(copy.parent_path().parent_path() / "lib" / "libvxport_linux.so");
    const fs::path root = m_dir / "machine";
    support::layOut(ich5(false), root);
    support::RunOptions options;
    options.dir = m_dir;
    options.env = {{"VEXLINK06_LINUX_ROOT", root.string()},
                   {"LD_LIBRARY_PATH", (copy.parent_path().parent_path() / "lib").string()}};
    const auto r = support::runProcess(copy.string(), {"--hardware", "--medium", "smbus", "detect"}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find("printer port"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("SMBus"), std::string::npos) << r.err;
}

class AsNobody : public LinuxHelper {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to become nobody";
        LinuxHelper::SetUp();
    }
};

TEST_F(AsNobody, OnlyTheStandardHeaderIsReadable)
{
    FakeMachine m = ich5(false);
    for (FakeFunction& f : m.functions)
        f.configSize = 64;
    const Outcome r = run(m, kSmbusDetect, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fanscope-cli: Reading the PCI configuration of 0000:00:1f.3 beyond its standard header needs "
                     "root: run the program as root to use the motherboard SMBus.\n");
    EXPECT_TRUE(r.logged("config-write").empty());
    EXPECT_TRUE(r.logged("out").empty());
}

TEST_F(AsNobody, UnreadableConfigurationFilesAreNamed)
{
    FakeMachine m = ich5(false);
    for (FakeFunction& f : m.functions)
        f.configMode = 0400;
    const Outcome r = run(m, kSmbusDetect, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fanscope-cli: The PCI configuration of 0000:00:00.0 cannot be read (Permission denied): run "
                     "the program as root to use the motherboard SMBus.\n");
    EXPECT_TRUE(r.log.empty());
}

}  // namespace
