// fanscope-cli in the habits of the bus tools: number forms, options before
// or after the command, masked writes, the raw dump grid, the sensors and
// JSON monitor, 7-bit addresses and the configuration's status. Each run is
// a process of its own on a private simulated board (bus_tools_fixture.h).
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus_tools_fixture.h"
#include "support/run_process.h"

namespace bustoolstest {
namespace {

// ---- numbers ----------------------------------------------------------------

struct NumberCase {
    const char* text;
    const char* expected;  // output of `get`, or the message part for a refusal
    int status;
};

class NumberFormTest : public BusToolsTest, public ::testing::WithParamInterface<NumberCase> { };

TEST_P(NumberFormTest, RegisterArgument)
{
    const Result r = run({"get", GetParam().text});
    EXPECT_EQ(r.status, GetParam().status) << r.err;
    if (GetParam().status == 0) {
        EXPECT_EQ(r.out, GetParam().expected);
    } else {
        EXPECT_TRUE(contains(r.err, GetParam().expected)) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, NumberFormTest,
    ::testing::Values(
        NumberCase{"0x3d", "0x31\n", 0}, NumberCase{"0X3D", "0x31\n", 0}, NumberCase{"61", "0x31\n", 0},
        NumberCase{"3Dh", "0x31\n", 0}, NumberCase{"3dh", "0x31\n", 0}, NumberCase{"0Dh", "0x00\n", 0},
        NumberCase{"0dH", "0x00\n", 0}, NumberCase{"12h3", "register '12h3' is not a number (give 0x1a, 26 or 1Ah)", 2},
        NumberCase{"0x1FF", "register '0x1FF' is more than 0xff", 2},
        NumberCase{"256", "register '256' is more than 0xff", 2}, NumberCase{"0x", "register '0x' is not a number", 2},
        NumberCase{"3Dhh", "register '3Dhh' is not a number", 2},
        NumberCase{"0x04", "the chip has no register 0x04", 2}, NumberCase{"Dh", "unknown register 'Dh'", 2}));

TEST_F(BusToolsTest, ValueAndMaskTakeTheSameForms)
{
    Result r = run({"set", "-y", "0x14", "4Bh"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x46 -> 0x4b\n");
    for (const std::vector<std::string>& args : {std::vector<std::string>{"set", "-y", "0x14", "0x1FF"},
                                                 {"set", "-y", "-m", "100h", "0x14", "1"},
                                                 {"set", "-y", "0x14", "4B"}}) {
        r = run(args);
        EXPECT_EQ(r.status, 2) << args[args.size() - 1];
        EXPECT_TRUE(contains(r.err, "usage: fanscope-cli")) << r.err;
    }
    EXPECT_TRUE(contains(run({"set", "-y", "0x14", "0x1FF"}).err, "value '0x1FF' is more than 0xff"));
    EXPECT_TRUE(contains(run({"set", "-y", "-m", "100h", "0x14", "1"}).err, "mask '100h' is more than 0xff"));
}

// ---- option placement -------------------------------------------------------

class PlacementTest : public BusToolsTest, public ::testing::WithParamInterface<std::vector<std::string>> { };

// Nothing on stdin: a question would fail the write.
TEST_P(PlacementTest, YesAndGlobalOptionsWhereverTheyStand)
{
    const Result r = run(GetParam());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x46 -> 0x45\n");
    EXPECT_FALSE(contains(r.err, "[y/N]")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Placements, PlacementTest,
                         ::testing::Values(std::vector<std::string>{"set", "-y", "0x14", "0x45"},
                                           std::vector<std::string>{"-y", "set", "0x14", "0x45"},
                                           std::vector<std::string>{"set", "0x14", "0x45", "-y"},
                                           std::vector<std::string>{"set", "0x14", "0x45", "--yes"},
                                           std::vector<std::string>{"set", "0x14", "0x45", "-y", "--address", "0x2e"},
                                           std::vector<std::string>{"--address", "0x2e", "set", "0x14", "0x45", "-y"}));

TEST_F(BusToolsTest, WithoutYesTheWriteAsks)
{
    const Result r = run({"set", "0x14", "0x45"}, "n\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "[y/N]")) << r.err;
}

// ---- masked set ---------------------------------------------------------------

struct MaskCase {
    const char* mask;
    const char* value;
    const char* printed;  // old -> new; 46h is the limit's power-on value
};

class MaskedSetTest : public BusToolsTest, public ::testing::WithParamInterface<MaskCase> { };

TEST_P(MaskedSetTest, BitsOutsideTheMaskKeepTheChipsValue)
{
    const Result r = run({"set", "-y", "-r", "-m", GetParam().mask, "0x14", GetParam().value});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, GetParam().printed);
}

INSTANTIATE_TEST_SUITE_P(Masks, MaskedSetTest,
                         ::testing::Values(MaskCase{"0x0f", "0x05", "0x46 -> 0x45\n"},
                                           MaskCase{"0xf0", "0x3f", "0x46 -> 0x36\n"},
                                           MaskCase{"0x0f", "0xff", "0x46 -> 0x4f\n"},
                                           MaskCase{"0", "0xff", "0x46 -> 0x46\n"},
                                           MaskCase{"0xff", "0x12", "0x46 -> 0x12\n"}));

TEST_F(BusToolsTest, MaskedSetStillRefusesReadOnlyRegisters)
{
    const Result r = run({"set", "-y", "-m", "0x01", "0x02", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "read-only")) << r.err;
}

// ---- dump ---------------------------------------------------------------------

TEST_F(BusToolsTest, DumpListsRegistersInAddressOrder)
{
    const Result r = run({"dump"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 36u);
    std::vector<unsigned> addresses;
    for (std::size_t i = 1; i < l.size(); ++i)
        addresses.push_back(std::stoul(l[i].substr(0, 4), nullptr, 16));
    EXPECT_TRUE(std::is_sorted(addresses.begin(), addresses.end()));
    EXPECT_EQ(addresses.front(), 0x00u);
    EXPECT_EQ(addresses.back(), 0x3Fu);
}

TEST_F(BusToolsTest, RawDumpIsTheBusToolsGrid)
{
    const Result r = still({"dump", "--raw"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 18u) << r.out;  // heading, column header, 16 rows
    EXPECT_EQ(l[0].rfind("# TFM4411 at 0x2e on printer port 0 (0x378), simulated board", 0), 0u);
    EXPECT_EQ(l[1], "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef");
    EXPECT_EQ(l[2], "00: 01 7f 00 00 XX XX 00 00 ff ff 19 19 19 00 00 00    ??..XX....???...");
    EXPECT_EQ(l[3], "10: ff ff XX XX 46 00 55 XX 3c 00 41 XX 3c 00 41 XX    ..XXF.UX<.AX<.AX");
    EXPECT_EQ(l[2 + 3], "30: XX XX XX XX XX XX XX XX XX XX XX XX XX 31 46 12    XXXXXXXXXXXXX1F?");
    EXPECT_EQ(l[17], "f0: XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX XX    XXXXXXXXXXXXXXXX");
}

TEST_F(BusToolsTest, RawDumpOfTheSingleChannelChipMarksItsMissingRegisters)
{
    const fs::path config =
        file("one.json", R"({"time": "manual", "ports": [{"chips": [{"variant": "TFM4410", "address": "0x2c"}]}]})");
    const Result r = run({"--sim-config", config.string(), "dump", "--raw"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 18u) << r.out;
    EXPECT_EQ(l[2], "00: 01 35 00 00 XX XX 00 00 ff XX 19 19 XX 00 00 XX    ?5..XX...X??X..X");
    EXPECT_EQ(l[3], "10: ff XX XX XX 46 00 55 XX 3c 00 41 XX XX XX XX XX    .XXXF.UX<.AXXXXX");
}

// Addresses the chip lacks are never put on the bus: the register pointers
// the trace shows are exactly the chip's registers.
TEST_F(BusToolsTest, RawDumpReadsOnlyTheChipsRegisters)
{
    const Result r = run({"trace", "dump", "--raw"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<unsigned> pointers;
    bool next = false;
    for (const std::string& l : lines(r.out)) {
        if (next && l.rfind("  0x", 0) == 0)
            pointers.insert(std::stoul(l.substr(2, 4), nullptr, 16));
        next = contains(l, "address 0x2e write");
    }
    std::set<unsigned> expected;
    for (const std::string& l : lines(run({"dump"}).out))
        if (l.rfind("0x", 0) == 0)
            expected.insert(std::stoul(l.substr(0, 4), nullptr, 16));
    EXPECT_EQ(pointers, expected);
}

// ---- monitor ----------------------------------------------------------------------

TEST_F(BusToolsTest, MonitorSpeaksTheSensorsStyle)
{
    const Result r = still({"monitor", "--count", "1"}, "C.UTF-8");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 8u) << r.out;  // heading, time, three channels, two fans, blank
    EXPECT_EQ(l[2], "Local:        +25.0°C  (low  =  +0.0°C, high = +70.0°C, crit = +85.0°C)");
    EXPECT_EQ(l[3], "Remote1:      +25.0°C  (low  =  +0.0°C, high = +60.0°C, crit = +65.0°C)");
    EXPECT_EQ(l[4], "Remote2:      +25.0°C  (low  =  +0.0°C, high = +60.0°C, crit = +65.0°C)");
    EXPECT_EQ(l[5].rfind("Fan1:        ", 0), 0u) << l[5];
    EXPECT_TRUE(contains(l[5], " RPM  (min = ")) << l[5];
    EXPECT_EQ(l[6].rfind("Fan2:        ", 0), 0u) << l[6];
    EXPECT_EQ(l[7], "");
}

TEST_F(BusToolsTest, MonitorDegreeSignOnlyInAUtf8Locale)
{
    const Result r = still({"monitor", "--count", "1"}, "C");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.out, "°")) << r.out;
    EXPECT_TRUE(contains(r.out, "Local:        +25.0 C  (low  =  +0.0 C, high = +70.0 C, crit = +85.0 C)")) << r.out;
}

TEST_F(BusToolsTest, MonitorNamesTheSingleChannelChipsChannelsAsTheProgramDoes)
{
    const fs::path config = file("one.json", R"({"time": "manual", "ports": [{"chips": [{"variant": "TFM4410"}]}]})");
    const Result r = run({"--sim-config", config.string(), "monitor", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\nRemote:       +25.0 C")) << r.out;
    EXPECT_TRUE(contains(r.out, "\nFan:         ")) << r.out;
    EXPECT_FALSE(contains(r.out, "Remote2")) << r.out;
}

TEST_F(BusToolsTest, OpenDiodeIsAFaultNotMinus128)
{
    const fs::path config = file("open.json", R"({"time": "manual", "ports": [{"chips": [{"remote1Open": true}]}]})");
    Result r = run({"--sim-config", config.string(), "monitor", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\nRemote1:        FAULT  (low  =  +0.0 C, high = +60.0 C, crit = +65.0 C)\n"))
        << r.out;
    // Not in the header line, whose folder name carries the process number.
    EXPECT_FALSE(contains(r.out, "-128.0")) << r.out;

    r = run({"--sim-config", config.string(), "monitor", "--json", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto sample = nlohmann::json::parse(r.out);
    EXPECT_TRUE(sample["remote1"]["celsius"].is_null());
    EXPECT_EQ(sample["remote1"]["fault"], true);
    EXPECT_EQ(sample["remote2"]["fault"], false);
    EXPECT_EQ(sample["alarms"], nlohmann::json::array({"Ext1 Diode Error"}));

    // CSV: an empty field, as JSON gives null; the other remote reads.
    r = run({"--sim-config", config.string(), "monitor", "--csv", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string row = r.out.substr(r.out.find("\r\n") + 2);
    EXPECT_TRUE(contains(row, ",25,,25,")) << row;
    // Not in the header line, whose folder name carries the process number.
    EXPECT_FALSE(contains(r.out, "-128.0")) << r.out;

    // The one-line form says FAULT as well.
    r = run({"--sim-config", config.string(), "monitor", "--line", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string line = lines(r.out).at(1);
    EXPECT_TRUE(contains(line, "  remote1 FAULT  remote2 25 ")) << line;
    EXPECT_FALSE(contains(line, "-128")) << line;
}

// A fan at rest on the power-on board: its count is at the maximum, which
// says "slower than the divisor measures" (divisor 2: 1324 RPM), never a
// measured 0 RPM.
TEST_F(BusToolsTest, ATachCountAtItsMaximumIsABoundInEveryForm)
{
    Result r = still({"monitor", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\nFan1:        below 1324 RPM  (min = 1323 RPM)\n")) << r.out;
    EXPECT_FALSE(contains(r.out, " 0 RPM")) << r.out;

    r = still({"monitor", "--line", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "  fan1 below 1324 RPM  fan2 below 1324 RPM  pwm1 ")) << r.out;

    // JSON keeps its keys and flags the count; CSV keeps a number.
    r = still({"monitor", "--json", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto sample = nlohmann::json::parse(r.out);
    EXPECT_EQ(sample["fan1"]["rpm"], 0);
    EXPECT_EQ(sample["fan1"]["tach_overflow"], true);
    EXPECT_EQ(sample["fan2"]["tach_overflow"], true);
    r = still({"monitor", "--csv", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, ",25,25,25,0,0,33,33,")) << r.out;
    // The decoded register says the same.
    r = still({"dump"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\n0x08  Fan1 Tach Value              0xff  Speed=below 1324 RPM\n")) << r.out;
}

TEST_F(BusToolsTest, MonitorJsonIsOneObjectPerSampleWithStableKeys)
{
    const Result r = still({"monitor", "--json", "--count", "2", "--interval", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 2u) << r.out;
    for (const std::string& line : l) {
        const auto j = nlohmann::json::parse(line);
        EXPECT_TRUE(j["time"].is_string());
        EXPECT_EQ(j["chip"], "TFM4411");
        EXPECT_EQ(j["address"], "0x2e");
        EXPECT_TRUE(contains(j["board"].get<std::string>(), "simulated board"));
        for (const char* channel : {"local", "remote1", "remote2"}) {
            const auto& c = j[channel];
            EXPECT_TRUE(c["celsius"].is_number()) << channel;
            EXPECT_DOUBLE_EQ(c["celsius"].get<double>(), 25.0) << channel;
            for (const char* key : {"low", "high", "crit"})
                EXPECT_TRUE(c[key].is_number_integer()) << channel << key;
            EXPECT_TRUE(c["alarm"].is_boolean());
            EXPECT_TRUE(c["fault"].is_boolean());
        }
        EXPECT_EQ(j["local"]["high"], 70);
        for (const char* fan : {"fan1", "fan2"}) {
            EXPECT_TRUE(j[fan]["rpm"].is_number_integer()) << fan;
            EXPECT_TRUE(j[fan]["min_rpm"].is_number_integer()) << fan;
            EXPECT_TRUE(j[fan]["pwm_percent"].is_number_integer()) << fan;
            EXPECT_TRUE(j[fan]["alarm"].is_boolean()) << fan;
            EXPECT_TRUE(j[fan]["tach_overflow"].is_boolean()) << fan;
        }
        EXPECT_TRUE(j["status1"].is_number_integer());
        EXPECT_TRUE(j["alarms"].is_array());
    }
}

// The board's name comes from a file name, which may hold anything JSON must escape.
TEST_F(BusToolsTest, MonitorJsonEscapesTheBoardName)
{
    const fs::path config = file("odd \"name\"\\\t.json", StillBoard);
    const Result r = run({"--sim-config", config.string(), "monitor", "--json", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["board"], "simulated board (" + config.string() + ")");
}

TEST_F(BusToolsTest, MonitorAlarmFlagsTheChannelsOverTheirLimits)
{
    // 80 °C everywhere: over every high limit, under the local therm limit.
    const fs::path hot = file("hot.json", R"({"time": "manual", "ambientC": 80})");
    const Result r = run({"--sim-config", hot.string(), "monitor", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\nLocal:        +80.0 C  (low  =  +0.0 C, high = +70.0 C, crit = +85.0 C)  ALARM\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "\nRemote1:      +80.0 C  (low  =  +0.0 C, high = +60.0 C, crit = +65.0 C)  ALARM\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "\nAlarms:      Ext1 High, Ext1 Therm, Internal High, Ext2 High, Ext2 Therm, THERM\n"))
        << r.out;
    EXPECT_FALSE(contains(r.out, "RPM  ALARM")) << r.out;
}

TEST_F(BusToolsTest, MonitorOutputFormsAreExclusive)
{
    const Result r = run({"monitor", "--json", "--csv", "--count", "1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "give one of --csv, --json and --line")) << r.err;
}

// An interval of a day at most: a huge one would sleep for good, and the
// bound the message names stays short.
TEST_F(BusToolsTest, MonitorIntervalAndCountHaveReadableBounds)
{
    for (const char* interval : {"1e300", "86401", "-1", "inf"}) {
        const Result r = run({"monitor", "--count", "2", "--interval", interval});
        EXPECT_EQ(r.status, 2) << interval;
        EXPECT_TRUE(contains(r.err, "86400")) << r.err;
        EXPECT_LT(r.err.find('\n'), 120u) << r.err;
    }
    const Result r = run({"monitor", "--count", "-1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_LT(r.err.find('\n'), 120u) << r.err;
    EXPECT_EQ(run({"monitor", "--count", "1", "--interval", "86400"}).status, 0);
}

// ---- addresses ------------------------------------------------------------------

struct AddressCase {
    const char* given;
    const char* hint;
};

class EightBitAddressTest : public BusToolsTest, public ::testing::WithParamInterface<AddressCase> { };

TEST_P(EightBitAddressTest, RefusedWithTheSevenBitForm)
{
    const Result r = run({"--address", GetParam().given, "get", "0x3d"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, GetParam().hint)) << r.err;
    EXPECT_TRUE(r.out.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Forms, EightBitAddressTest,
    ::testing::Values(AddressCase{"0x58", "0x58 is the 8-bit form of 0x2C; give the 7-bit address"},
                      AddressCase{"0x5a", "0x5A is the 8-bit form of 0x2D; give the 7-bit address"},
                      AddressCase{"0x5c", "0x5C is the 8-bit form of 0x2E; give the 7-bit address"},
                      AddressCase{"5Ch", "0x5C is the 8-bit form of 0x2E; give the 7-bit address"},
                      AddressCase{"0x5d", "0x5D is the 8-bit read form of 0x2E; give the 7-bit address"},
                      AddressCase{"89", "0x59 is the 8-bit read form of 0x2C; give the 7-bit address"},
                      AddressCase{"0x78", "address '0x78' is not a 7-bit address (0x03..0x77)"}));

TEST_F(BusToolsTest, BoardConfigurationTakesTheSevenBitFormAsTheCommandLineDoes)
{
    const fs::path config = file("seven.json", R"({"ports": [{"chips": [{"variant": "TFM4410", "address": "0x2c"}]}],
      "motherboard": {"southBridge": "piix4", "chips": [{"address": 45}]}})");
    Result r = run({"--sim-config", config.string(), "--address", "0x2c", "get", "0x3d"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x30\n");
    r = run({"--sim-config", config.string(), "--medium", "smbus", "--address", "0x2d", "get", "0x3d"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x31\n");
    // The same chip given twice, once in each form.
    const fs::path twice = file("twice.json", R"({"ports": [{"chips": [{"address": "0x2e"}, {"address": "0x5c"}]}]})");
    r = run({"--sim-config", twice.string(), "detect"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "is used twice on this bus")) << r.err;
    const fs::path wrong = file("wrong.json", R"({"ports": [{"chips": [{"address": "0x2f"}]}]})");
    r = run({"--sim-config", wrong.string(), "detect"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "is not one of 0x2C, 0x2D, 0x2E")) << r.err;
}

struct ConfigWay {
    bool byOption;
    const char* file;  // "missing" stands for a file that does not exist
};

class ConfigStatusTest : public BusToolsTest, public ::testing::WithParamInterface<ConfigWay> { };

// A configuration that cannot be used ends every command with status 2,
// whether it came by option or by environment.
TEST_P(ConfigStatusTest, BadConfigurationIsStatusTwoEitherWay)
{
    const std::string path = std::string(GetParam().file) == "missing" ? (m_dir / "missing.json").string()
                                                                       : file("bad.json", GetParam().file).string();
    support::RunOptions options;
    options.dir = m_dir;
    options.input = "";
    options.env = {{"FANSCOPE_BOARD", std::nullopt}, {"FANSCOPE_SIM_CONFIG", std::nullopt}};
    std::vector<std::string> args{"get", "0x3d"};
    if (GetParam().byOption)
        args.insert(args.begin(), {"--sim-config", path});
    else
        options.env[1].second = path;
    const Result r = support::runProcess(FANSCOPE_CLI, args, options);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(contains(r.err, "missing.json") || contains(r.err, "bad.json")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Ways, ConfigStatusTest,
                         ::testing::Values(ConfigWay{true, "missing"}, ConfigWay{false, "missing"},
                                           ConfigWay{true, R"({"ports": [{"chips": [{"address": "0x5e"}]}]})"},
                                           ConfigWay{false, R"({"ports": [{"chips": [{"address": "0x5e"}]}]})"},
                                           ConfigWay{true, "{"}, ConfigWay{false, "{"}));

}  // namespace
}  // namespace bustoolstest
