// fanscope-cli run as a process against the simulated board: what a script
// sees on stdout, stderr and in the exit status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "device/register_file.h"
#include "device/register_map.h"
#include "support/run_process.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;

using Result = support::ProcessResult;
using support::slurp;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = support::freshTestFolder("fanscope-cli-test-"); }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path file(const std::string& name, const std::string& content)
    {
        return support::writeFile(m_dir, name, content);
    }

    Result run(const std::vector<std::string>& args, const std::string& input = "")
    {
        support::RunOptions options;
        options.dir = m_dir;
        options.input = input;
        return support::runProcess(FANSCOPE_CLI, args, options);
    }

    fs::path m_dir;
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);) {
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        out.push_back(l);
    }
    return out;
}

TEST_F(CliTest, DetectDefaultBoard)
{
    const Result r = run({"detect"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    // The table, then the board it searched, a private one here.
    ASSERT_EQ(l.size(), 3u) << r.out;
    EXPECT_EQ(l[2], "# simulated board (default configuration)");
    EXPECT_NE(l[0].find("ADDRESS"), std::string::npos);
    EXPECT_NE(l[1].find("printer"), std::string::npos);
    EXPECT_NE(l[1].find("0x378"), std::string::npos);
    EXPECT_NE(l[1].find("0x2e"), std::string::npos);
    EXPECT_NE(l[1].find("TFM4411"), std::string::npos);
}

TEST_F(CliTest, DetectTwoChipsAndBothMedia)
{
    const fs::path config = file("board.json", R"({
    "ports": [{"base": 888, "chips": [{"variant": "TFM4410", "address": 88}, {"variant": "TFM4411", "address": 92}]}],
    "motherboard": {"southBridge": "piix4", "chips": [{"variant": "TFM4410", "address": 90}]}
  })");
    Result r = run({"--sim-config", config.string(), "detect"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto l = lines(r.out);
    ASSERT_EQ(l.size(), 4u) << r.out;
    EXPECT_EQ(l[3], "# simulated board (" + config.string() + ")");
    // The search order: 0x2c before 0x2e.
    EXPECT_NE(l[1].find("0x2c"), std::string::npos);
    EXPECT_NE(l[1].find("TFM4410"), std::string::npos);
    EXPECT_NE(l[2].find("0x2e"), std::string::npos);
    EXPECT_NE(l[2].find("TFM4411"), std::string::npos);

    r = run({"--sim-config", config.string(), "--medium", "smbus", "detect"});
    ASSERT_EQ(r.status, 0) << r.err;
    l = lines(r.out);
    ASSERT_EQ(l.size(), 3u) << r.out;
    EXPECT_NE(l[1].find("smbus"), std::string::npos);
    EXPECT_NE(l[1].find("0x2d"), std::string::npos);

    // A register of the dual-channel chip only, on the single-channel one.
    r = run({"--sim-config", config.string(), "--address", "0x2c", "get", "Fan2 Tach Value"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("TFM4410"), std::string::npos);
}

TEST_F(CliTest, GetAndSetLandInTheChip)
{
    Result r = run({"get", "0x3d"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x31\n");
    EXPECT_EQ(run({"get", "Device ID"}).out, "0x31\n");
    EXPECT_EQ(run({"get", "61"}).out, "0x31\n");

    // The board lives as long as one process, so the trace shows the write
    // arriving and the read-back confirms it in the same run.
    r = run({"trace", "set", "-y", "-r", "local temp. high limit", "0x4B"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("0x5c ACK   address 0x2e write"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x14 ACK"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x4b ACK"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x4b NACK  from the chip"), std::string::npos) << r.out;

    // Confirmation: no answer writes nothing.
    r = run({"set", "0x14", "75"}, "n\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("[y/N]"), std::string::npos);
    EXPECT_EQ(run({"set", "-r", "0x14", "75"}, "y\n").status, 0);
}

TEST_F(CliTest, SetRefusesReadOnlyRegister)
{
    const Result r = run({"set", "-y", "0x02", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("read-only"), std::string::npos);
    EXPECT_EQ(lines(r.err).size(), 1u);
}

TEST_F(CliTest, DumpDecodesFields)
{
    const Result r = run({"dump"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out).size(), 36u);  // heading and 35 registers
    EXPECT_NE(r.out.find("Device ID"), std::string::npos);
    EXPECT_NE(r.out.find("Chip=TFM4411"), std::string::npos);
    EXPECT_NE(r.out.find("Temperature=25 °C"), std::string::npos);
    EXPECT_NE(r.out.find("Divisor(N)="), std::string::npos);
    EXPECT_NE(r.out.find("Fan1 duty="), std::string::npos);
    EXPECT_NE(r.out.find("Monitor="), std::string::npos);
}

TEST_F(CliTest, MonitorCsvRows)
{
    const Result r = run({"monitor", "--csv", "--count", "3", "--interval", "0.1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\r\n"), std::string::npos);  // RFC 4180 line ends
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 4u) << r.out;
    const auto columns = [](const std::string& row) { return std::count(row.begin(), row.end(), ',') + 1; };
    EXPECT_EQ(l[0].rfind("time,local_c,remote1_c", 0), 0u);
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(columns(l[static_cast<std::size_t>(i)]), columns(l[0])) << l[static_cast<std::size_t>(i)];
        std::istringstream row(l[static_cast<std::size_t>(i)]);
        std::string time, local;
        std::getline(row, time, ',');
        std::getline(row, local, ',');
        EXPECT_NEAR(std::stod(local), 25.0, 5.0);
    }
}

TEST_F(CliTest, SaveAndRecall)
{
    const fs::path saved = m_dir / "regs.txt";
    Result r = run({"save", saved.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = slurp(saved);
    EXPECT_EQ(text.rfind("TFM4411 Evaluation Software v1.04\r\n", 0), 0u);
    const auto parsed = device::parseRegisterFile(text);
    ASSERT_TRUE(parsed) << parsed.error;
    EXPECT_EQ(parsed.file->registers.size(), 24u);

    r = run({"trace", "recall", saved.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("recalled 24 registers"), std::string::npos);
    // Configuration 1 goes out first and the revision register last.
    const auto first = r.out.find("  0x00 ACK");
    const auto last = r.out.rfind("  0x3f ACK");
    ASSERT_NE(first, std::string::npos) << r.out;
    ASSERT_NE(last, std::string::npos);
    EXPECT_LT(first, last);
}

TEST_F(CliTest, MalformedRegisterFileWritesNothing)
{
    std::string text = "TFM4411 Evaluation Software v1.04\r\nSaved : today\r\n\r\nRegister   \t\tAddress\t\tValue\r\n"
                       "\r\nConfiguration1        \t0h        \tZZh\r\n\r\n";
    const fs::path bad = file("bad.txt", text);
    const Result r = run({"trace", "recall", bad.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.out.find("ACK"), std::string::npos) << r.out;  // not one transfer
    const Result title = run({"recall", file("title.txt", "TFM4412 Evaluation Software v1.04\r\n").string()});
    EXPECT_EQ(title.status, 1);
}

TEST_F(CliTest, BadArgumentsExitTwoWithUsage)
{
    const std::vector<std::vector<std::string>> cases{
        {},
        {"frobnicate"},
        {"get"},
        {"get", "no such register"},
        {"set", "0x14", "256"},
        {"--medium", "usb", "detect"},
        {"--address", "0x80", "get", "0x3d"},
        {"monitor", "--count", "x"},
        {"trace"},
    };
    for (const auto& args : cases) {
        const Result r = run(args);
        std::string joined;
        for (const auto& a : args)
            joined += a + " ";
        EXPECT_EQ(r.status, 2) << joined << r.err;
        EXPECT_NE(r.err.find("usage: fanscope-cli"), std::string::npos) << joined;
        EXPECT_TRUE(r.out.empty()) << joined;
    }
    EXPECT_EQ(run({"--version"}).status, 0);
    EXPECT_NE(run({"--help"}).out.find("monitor"), std::string::npos);
}

// A word where a command belongs is named, with the usage line; a line that
// fails for another reason keeps its own message.
TEST_F(CliTest, AWordThatIsNoCommandIsNamed)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"frobnicate"}, {"-y", "frobnicate"}, {"--port", "0", "frobnicate", "0x14"}, {"trace", "frobnicate"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args.back();
        EXPECT_EQ(lines(r.err).at(0), "fanscope-cli: 'frobnicate' is not a command") << r.err;
        EXPECT_EQ(lines(r.err).at(1).rfind("usage: fanscope-cli ", 0), 0U) << r.err;
    }
    EXPECT_EQ(lines(run({}).err).at(0), "fanscope-cli: A subcommand is required");
    // The register, not the command, is what is wrong here.
    EXPECT_EQ(lines(run({"get", "frobnicate"}).err).at(0),
              "fanscope-cli: unknown register 'frobnicate' (give an address such as 0x22 or a name from dump)");
}

// A register by the register file's label, by the list's name in any case
// and punctuation, or by a beginning only it has: the same register as its
// address. Within one process, as every run has a board of its own.
TEST_F(CliTest, ARegisterByEitherNameOrABeginningIsTheSameRegister)
{
    const std::string byAddress = run({"get", "0x14"}).out;
    ASSERT_EQ(byAddress, "0x46\n");
    for (const char* name : {"Local High Limit", "Local Temp. High Limit", "LOCAL-HIGH-LIMIT", "local high"})
        EXPECT_EQ(run({"get", name}).out, byAddress) << name;
    Result r = run({"set", "-y", "-r", "Remote1 Therm Limit", "0x50"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x41 -> 0x50\n");  // 1Ah

    r = run({"get", "fan1 tach"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(lines(r.err).at(0),
              "fanscope-cli: register 'fan1 tach' is ambiguous: Fan1 Tach Value, Fan1 Tach High Limit");
    r = run({"set", "-y", "Remote", "0x00"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("ambiguous: "), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
}

// The search is no part of a trace: a command that found no chip prints no
// bus lines, only why it failed.
TEST_F(CliTest, TraceOfACommandThatFoundNoChipShowsNoSearch)
{
    const Result r = run({"--address", "0x2c", "trace", "get", "0x14"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "") << r.out;
    EXPECT_NE(r.err.find("no TFM4410 or TFM4411 found at 0x2c"), std::string::npos) << r.err;
}

// Only the commands a line names get their options built; the others must
// still be listed, and each one named, under trace too, must have them all.
TEST_F(CliTest, EveryCommandIsListedAndHasItsOptionsWhenNamed)
{
    const std::string help = run({"--help"}).out;
    for (const char* command : {"detect", "get", "set", "dump", "monitor", "characterize", "export", "save", "recall",
                                "diff", "eeprom", "transfer", "trace"})
        EXPECT_NE(help.find(std::string("\n  ") + command + " "), std::string::npos) << command;

    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"get", "--help"}, "REG"},
        {{"set", "--help"}, "--read-back"},
        {{"trace", "set", "--help"}, "--mask"},
        {{"dump", "--help"}, "--raw"},
        {{"monitor", "--help"}, "--interval"},
        {{"characterize", "--help"}, "--time-scale"},
        {{"export", "--help"}, "--textfile"},
        {{"trace", "recall", "--help"}, "--dry-run"},
        {{"eeprom", "read", "--help"}, "--length"},
        {{"trace", "transfer", "write-word", "--help"}, "VALUE"},
        {{"trace", "--help"}, "--vcd"},
    };
    for (const auto& [args, option] : cases) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 0) << args.front() << " " << args[1];
        EXPECT_NE(r.out.find(option), std::string::npos) << args.front() << " " << args[1] << "\n" << r.out;
    }
}

// ---- a chip that stops answering, a port that cannot be used -------------

struct Vanishing {
    std::vector<std::string> args;  // "FILE" stands for a register file in the test's folder
};

class ChipGoneTest : public CliTest, public ::testing::WithParamInterface<Vanishing> {
protected:
    std::vector<std::string> withFile(const fs::path& f, std::vector<std::string> args)
    {
        for (auto& a : args)
            if (a == "FILE")
                a = f.string();
        return args;
    }
};

TEST_P(ChipGoneTest, ChipGoneAfterTheSearchFailsWithTheSentence)
{
    // Saved while the chip is there, so recall has a file to write.
    const fs::path regs = m_dir / "regs.txt";
    ASSERT_EQ(run({"save", regs.string()}).status, 0);
    const std::string saved = slurp(regs);
    // The search reads the Device ID twice (four messages); the command's own
    // transfers then meet a chip that is gone.
    const fs::path config =
        file("gone.json", R"({"ports": [{"faults": [{"kind": "chipGone", "afterTransfers": 4}]}]})");
    std::vector<std::string> args{"--sim-config", config.string()};
    for (const auto& a : withFile(regs, GetParam().args))
        args.push_back(a);
    const Result r = run(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.err, "fanscope-cli: the chip at 0x2E no longer answers\n");
    EXPECT_EQ(r.out.find("0xff"), std::string::npos) << r.out;
    EXPECT_EQ(slurp(regs), saved);  // save never replaced the file with what nobody said
}

INSTANTIATE_TEST_SUITE_P(Commands, ChipGoneTest,
                         ::testing::Values(Vanishing{{"get", "0x22"}}, Vanishing{{"get", "Device ID"}},
                                           Vanishing{{"dump"}}, Vanishing{{"save", "FILE"}},
                                           Vanishing{{"monitor", "--count", "2", "--interval", "0"}},
                                           Vanishing{{"set", "-y", "0x14", "70"}}, Vanishing{{"recall", "FILE"}}));

TEST_F(CliTest, ChipRemovedMidCommandWritesNoFileAndPrintsNoValues)
{
    // Gone halfway through the registers: nothing of the half read is shown or kept.
    const fs::path config =
        file("mid.json", R"({"ports": [{"faults": [{"kind": "chipGone", "afterTransfers": 30}]}]})");
    Result r = run({"--sim-config", config.string(), "dump"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("the chip at 0x2E no longer answers"), std::string::npos) << r.err;

    const fs::path regs = m_dir / "new.txt";
    r = run({"--sim-config", config.string(), "save", regs.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(regs));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator{}), 4);  // no temporary left
}

TEST_F(CliTest, MonitorStopsWhenTheChipGoesDuringTheRun)
{
    const fs::path config = file("later.json", R"({"ports": [{"faults": [{"kind": "chipGone", "atMs": 400}]}]})");
    const Result r = run({"--sim-config", config.string(), "monitor", "--interval", "0.05"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fanscope-cli: the chip at 0x2E no longer answers\n");
    const auto l = lines(r.out);
    ASSERT_GE(l.size(), 3u) << r.out;  // heading and the lines taken before
    for (const auto& line : l)
        EXPECT_EQ(line.find("-1 °C"), std::string::npos) << line;
}

struct Obstacle {
    const char* config;
    const char* cause;
};

class PortObstacleTest : public CliTest, public ::testing::WithParamInterface<Obstacle> { };

TEST_P(PortObstacleTest, SearchNamesTheCause)
{
    const fs::path config = file("board.json", GetParam().config);
    for (const std::vector<std::string>& command : {std::vector<std::string>{"detect"}, {"get", "0x3d"}}) {
        std::vector<std::string> args{"--sim-config", config.string()};
        args.insert(args.end(), command.begin(), command.end());
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << command[0];
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find("no TFM4410 or TFM4411 found"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(GetParam().cause), std::string::npos) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Causes, PortObstacleTest,
    ::testing::Values(Obstacle{R"({"ports": [{"faults": [{"kind": "sclLow"}]}]})",
                               "the SMBus lines on printer port 378h are held low"},
                      Obstacle{R"({"ports": [{"faults": [{"kind": "sdaLow"}]}]})",
                               "the SMBus lines on printer port 378h are held low"},
                      Obstacle{R"({"ports": [{"otherMaster": {"mode": "holdSclLow", "attempts": 1000}}]})",
                               "the SMBus lines on printer port 378h are held low"},
                      Obstacle{R"({"ports": [{"heldByOtherProcess": true}]})",
                               "printer port 378h is in use by another program"}));

TEST_F(CliTest, HealthyPortsAreNotBlamed)
{
    // An empty board, a non-inverting one, and a held port beside a good one.
    const fs::path empty = file("empty.json", R"({"ports": [{"chips": []}]})");
    Result r = run({"--sim-config", empty.string(), "detect"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fanscope-cli: no TFM4410 or TFM4411 found on the printer port\n");
    const fs::path plain = file("plain.json", R"({"ports": [{"adapter": "non-inverting"}]})");
    r = run({"--sim-config", plain.string(), "get", "0x3d"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    const fs::path two = file("two.json", R"({"ports": [{"base": "0x278", "heldByOtherProcess": true}, {}]})");
    r = run({"--sim-config", two.string(), "detect"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "fanscope-cli: printer port 278h is in use by another program\n");
}

// The wires of `trace --vcd`, decoded by an independent I2C decoder, say
// what the text trace says.
TEST_F(CliTest, TraceWritesAVcdThatDecodesToTheTransfers)
{
    const fs::path vcd = m_dir / "get.vcd";
    Result r = run({"trace", "--vcd", vcd.string(), "get", "0x3d"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(vcd).rfind("$date", 0), 0U);
    const fs::path decoded = m_dir / "decoded";
    const std::string command = "sigrok-cli -I vcd -i '" + vcd.string() +
                                "' -P i2c:scl=SCL:sda=SDA -A i2c=addr-data > '" + decoded.string() + "' 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << slurp(decoded);
    std::string got;
    for (const std::string& l : lines(slurp(decoded)))
        got += l.substr(l.find(": ") + 2) + "|";
    // The same in the decoder's words, from the text trace on stdout.
    std::string expected;
    bool address = false, reading = false;
    for (const std::string& l : lines(r.out)) {
        if (l.rfind("  ", 0) != 0)
            continue;
        const std::string t = l.substr(2);
        if (t == "start" || t == "repeated start") {
            expected += t == "start" ? "Start|" : "Start repeat|";
            address = true;
            continue;
        }
        if (t == "stop") {
            expected += "Stop|";
            continue;
        }
        const unsigned byte = std::stoul(t.substr(0, 4), nullptr, 16);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%02X", (address ? byte >> 1 : byte) & 0xFFU);
        if (address) {
            reading = (byte & 1) != 0;
            expected += std::string(reading ? "Read|Address read: " : "Write|Address write: ") + hex + "|";
        } else {
            expected += std::string(reading ? "Data read: " : "Data write: ") + hex + "|";
        }
        expected += t.find(" NACK") != std::string::npos ? "NACK|" : "ACK|";
        address = false;
    }
    EXPECT_EQ(expected.rfind("Start|Write|Address write: 2E|ACK|Data write: 3D|ACK|", 0), 0U) << r.out;
    EXPECT_EQ(got, expected);
}

TEST_F(CliTest, TraceVcdThatCannotBeWrittenFailsTheCommand)
{
    Result r = run({"trace", "--vcd", m_dir.string(), "get", "0x3d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("fanscope-cli: "), std::string::npos) << r.err;
    EXPECT_EQ(r.out.substr(0, 5), "0x31\n");
}

// Register writes in a printed trace: start, the address with the write bit,
// pointer and data, stop. A read stops after the pointer.
int tracedWrites(const std::string& out)
{
    int writes = 0, bytes = -1;
    for (const std::string& l : lines(out)) {
        if (l == "  start" || l == "  repeated start") {
            bytes = -1;
        } else if (l.find(" write") != std::string::npos && l.find("address ") != std::string::npos) {
            bytes = 0;
        } else if (l == "  stop") {
            if (bytes == 2)
                ++writes;
            bytes = -1;
        } else if (bytes >= 0 && l.rfind("  0x", 0) == 0) {
            ++bytes;
        }
    }
    return writes;
}

// One register of a saved file changed: what `diff` and `recall --dry-run`
// print, and that neither puts a single write on the bus.
TEST_F(CliTest, DiffAndDryRunShowTheChangeAndWriteNothing)
{
    const fs::path saved = m_dir / "regs.txt";
    ASSERT_EQ(run({"save", saved.string()}).status, 0);
    std::string text = slurp(saved);
    const std::string line = "Fan Speed Config.\t22h       \t55h\r\n";
    ASSERT_NE(text.find(line), std::string::npos);
    const fs::path same = file("same.txt", text);
    text.replace(text.find(line), line.size(), "Fan Speed Config.\t22h       \t3Ch\r\n");
    const fs::path changed = file("changed.txt", text);

    Result r = run({"diff", same.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("holds every value"), std::string::npos) << r.out;

    r = run({"trace", "diff", changed.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("# 1 of the 24 registers"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("22h  Fan Speed Configuration     55h -> 3Ch  (Normal/Min=5, Normal/Min=5 -> "
                         "Normal/Min=12, Normal/Min=3)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(tracedWrites(r.out), 0) << r.out;

    r = run({"trace", "recall", "--dry-run", changed.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("22h  Fan Speed Configuration     55h -> 3Ch"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("nothing written (dry run)"), std::string::npos);
    EXPECT_EQ(tracedWrites(r.out), 0) << r.out;

    // The same file recalled for real writes all 24 registers.
    r = run({"trace", "recall", changed.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tracedWrites(r.out), 24) << r.out;
}

TEST_F(CliTest, SetPrintsOldAndNewValue)
{
    const Result r = run({"set", "-y", "-r", "0x14", "0x4b"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x46 -> 0x4b\n");  // 46h is the limit's power-on value
}

// Results say what answered: the simulated board, and which configuration.
TEST_F(CliTest, ResultsNameTheSimulatedBoard)
{
    Result r = run({"detect"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto l = lines(r.out);
    ASSERT_EQ(l.size(), 3u) << r.out;
    EXPECT_NE(l[0].find("BOARD"), std::string::npos) << r.out;
    EXPECT_EQ(l[1].substr(l[1].size() - 10), " simulated") << r.out;

    r = run({"dump"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out)[0], "# TFM4411 at 0x2e on printer port 0 (0x378), simulated board (default configuration)");

    const fs::path config =
        file("board.json", R"({"ports": [{"base": 888, "chips": [{"variant": "TFM4410", "address": 92}]}]})");
    r = run({"--sim-config", config.string(), "monitor", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(lines(r.out)[0].find(", simulated board (" + config.string() + ")"), std::string::npos) << r.out;
}

}  // namespace

// export and characterize --plot run in the companion program, which carries
// the HTTP server and the plot: through fanscope-cli they work, and a
// fanscope-cli without its companion says what is missing and does nothing.
TEST_F(CliTest, CompanionCommandsRunThroughItAndItsAbsenceIsNamed)
{
    const fs::path served = m_dir / "served";
    fs::create_directories(served);
    Result r = run({"export", "--textfile", served.string(), "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(slurp(served / "fanscope.prom").find("fanscope_chip_up"), std::string::npos);

    const fs::path alone = m_dir / "alone";
    fs::create_directories(alone);
    fs::copy_file(FANSCOPE_CLI, alone / "fanscope-cli");
    const fs::path unserved = m_dir / "unserved";
    fs::create_directories(unserved);
    support::RunOptions options;
    options.dir = m_dir;
    const std::vector<std::vector<std::string>> lines{
        {"export", "--textfile", unserved.string(), "--count", "1"},
#ifdef FANSCOPE_CLI_PLOT
        {"characterize", "--plot", (m_dir / "curve.svg").string()},
#endif
    };
    for (const auto& args : lines) {
        r = support::runProcess((alone / "fanscope-cli").string(), args, options);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("fanscope-cli: " + args[0]), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("fanscope-cli-full, which cannot be run"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_TRUE(fs::is_empty(unserved));
    EXPECT_FALSE(fs::exists(m_dir / "curve.svg"));
    // Usage errors are still the program's own, companion or not.
    r = support::runProcess((alone / "fanscope-cli").string(), {"export", "--bogus"}, options);
    EXPECT_EQ(r.status, 2) << r.err;
}
