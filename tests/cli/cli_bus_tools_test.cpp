// fanscope-cli in the habits of the bus tools: number forms, options before
// or after the command, masked writes, the raw dump grid, the sensors and
// JSON monitor, 7-bit addresses, the board memory and raw transfers. Each
// run is a process of its own on a private simulated board.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "board/board_process.h"
#include "support/run_process.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;

using Result = support::ProcessResult;
using support::slurp;

// The board clock stands still: the readings are the power-on values.
constexpr const char* StillBoard = R"({"time": "manual"})";

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string l; std::getline(s, l);)
        out.push_back(l);
    return out;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class BusToolsTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = support::freshTestFolder("fanscope-cli-bus-"); }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path file(const std::string& name, const std::string& content)
    {
        return support::writeFile(m_dir, name, content);
    }

    Result run(const std::vector<std::string>& args, const std::string& input = "", const std::string& locale = "C")
    {
        support::RunOptions options;
        options.dir = m_dir;
        options.input = input;
        options.env = {{"FANSCOPE_BOARD", "inprocess"}, {"FANSCOPE_SIM_CONFIG", std::nullopt}, {"LC_ALL", locale}};
        options.timeout = std::chrono::seconds(30);
        return support::runProcess(FANSCOPE_CLI, args, options);
    }

    // The same on the still board.
    Result still(std::vector<std::string> args, const std::string& locale = "C")
    {
        args.insert(args.begin(), {"--sim-config", file("still.json", StillBoard).string()});
        return run(args, "", locale);
    }

    fs::path m_dir;
};

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
    EXPECT_TRUE(contains(r.out, "\nFan:          ")) << r.out;
    EXPECT_FALSE(contains(r.out, "Remote2")) << r.out;
}

TEST_F(BusToolsTest, OpenDiodeIsAFaultNotMinus128)
{
    const fs::path config = file("open.json", R"({"time": "manual", "ports": [{"chips": [{"remote1Open": true}]}]})");
    Result r = run({"--sim-config", config.string(), "monitor", "--count", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "\nRemote1:        FAULT  (low  =  +0.0 C, high = +60.0 C, crit = +65.0 C)\n"))
        << r.out;
    EXPECT_FALSE(contains(r.out, "-128")) << r.out;

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
    EXPECT_FALSE(contains(r.out, "-128")) << r.out;
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

// ---- board memory -------------------------------------------------------------------

TEST_F(BusToolsTest, EepromReadShowsAHexDumpOrSavesTheBytes)
{
    Result r = run({"eeprom", "read", "--length", "20", "--offset", "0x10"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto l = lines(r.out);
    ASSERT_EQ(l.size(), 3u) << r.out;
    EXPECT_TRUE(contains(l[0], "simulated board")) << l[0];
    EXPECT_EQ(l[1], "0010: ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff  ................");
    EXPECT_EQ(l[2], "0020: ff ff ff ff                                      ....");

    const fs::path saved = m_dir / "memory.bin";
    r = run({"eeprom", "read", saved.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(saved), std::string(256, '\xff'));

    r = run({"eeprom", "read", "--length", "5", "-"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(5, '\xff'));
}

TEST_F(BusToolsTest, EepromWriteVerifiesWhatItWrote)
{
    std::string bytes;
    for (int i = 0; i < 300; ++i)
        bytes += static_cast<char>(i * 7);
    const fs::path data = file("data.bin", bytes);
    // Across a 128-byte page edge: every byte is its own write.
    Result r = run({"trace", "eeprom", "write", "-y", "--offset", "0x1f0", data.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "wrote and verified 300 bytes at 0x01f0..0x031b")) << r.out.substr(0, 200);
    EXPECT_TRUE(contains(r.out, "0xa0 ACK   address 0x50 write")) << r.out.substr(0, 400);

    // A board without the memory: nothing reads back.
    const fs::path bare = file("bare.json", R"({"ports": [{"eeprom": false}]})");
    r = run({"--sim-config", bare.string(), "eeprom", "write", "-y", data.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "the board memory reads back 0xff at 0x0000, not 0x00")) << r.err;
}

TEST_F(BusToolsTest, EepromWriteAsksAndRefusesBadInputBeforeTheBus)
{
    const fs::path data = file("data.bin", "abc");
    Result r = run({"trace", "eeprom", "write", data.string()}, "n\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "[y/N]")) << r.err;
    EXPECT_FALSE(contains(r.out, "address 0x50 write")) << r.out;

    struct Bad {
        std::vector<std::string> args;
        int status;
        const char* why;
    };
    const std::vector<Bad> cases{
        {{"eeprom", "write", "-y", file("empty.bin", "").string()}, 1, "empty, nothing to write"},
        {{"eeprom", "write", "-y", (m_dir / "none.bin").string()}, 1, "not a regular file"},
        {{"eeprom", "write", "-y", m_dir.string()}, 1, "not a regular file"},
        {{"eeprom", "write", "-y", "--offset", "0xffff", data.string()}, 2, "beyond the 64 KiB"},
        {{"eeprom", "read", "--offset", "0xff00", "--length", "0x101"}, 2, "beyond the 64 KiB"},
        {{"eeprom", "read", "--length", "65537"}, 2, "length '65537' is more than 0x10000"},
        {{"eeprom", "read", "--offset", "1h2"}, 2, "offset '1h2' is not a number"},
        {{"--medium", "i2c", "eeprom", "read"}, 1, "needs the printer port"},
    };
    for (const Bad& b : cases) {
        r = run(b.args);
        EXPECT_EQ(r.status, b.status) << b.args.back() << r.err;
        EXPECT_TRUE(contains(r.err, b.why)) << r.err;
    }
}

// ---- raw transfers --------------------------------------------------------------------

struct TransferCase {
    std::vector<std::string> args;
    int status;
    const char* expected;  // on stdout, or in the message
};

class TransferTest : public BusToolsTest, public ::testing::WithParamInterface<TransferCase> { };

TEST_P(TransferTest, OnBothMedia)
{
    for (const std::vector<std::string>& medium :
         {std::vector<std::string>{}, std::vector<std::string>{"--medium", "i2c"}}) {
        std::vector<std::string> args = medium;
        args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
        const Result r = run(args);
        EXPECT_EQ(r.status, GetParam().status) << r.err;
        EXPECT_TRUE(contains(GetParam().status == 0 ? r.out : r.err, GetParam().expected))
            << (medium.empty() ? "printer: " : "i2c: ") << r.out << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, TransferTest,
    ::testing::Values(
        // 46h at 14h is the low byte, 00h at 15h the high byte.
        TransferCase{{"transfer", "read-word", "0x14"}, 0, "0x0046\n"},
        TransferCase{{"transfer", "read-word", "18h"}, 0, "0x003c\n"},
        TransferCase{{"transfer", "read-block", "0xa1"},
                     0,
                     "0x00 0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08 0x09 0x0a 0x0b 0x0c 0x0d 0x0e 0x0f 0x10 0x11 0x12 "
                     "0x13 0x14 0x15 0x16 0x17 0x18 0x19 0x1a 0x1b 0x1c 0x1d 0x1e 0x1f\n"},
        TransferCase{{"transfer", "read-block", "--pec", "0xa1"}, 0, "0x00 0x01 0x02 0x03 "},
        TransferCase{{"transfer", "write-block", "-y", "0xa0", "1", "2", "3"}, 0, "written\n"},
        TransferCase{
            {"transfer", "write-block", "-y", "--pec", "0xa0", "1", "2", "3"}, 0, "written (PEC acknowledged)\n"},
        TransferCase{{"transfer", "write-word", "-y", "0x14", "0x1234"}, 0, "written\n"},
        TransferCase{{"transfer", "read-word", "--pec", "0x14"}, 2, "--pec goes with block transfers only"},
        TransferCase{{"transfer", "write-word", "-y", "--pec", "0x14", "1"}, 2, "--pec goes with block transfers only"},
        TransferCase{{"transfer", "write-word", "-y", "0x14", "0x10000"}, 2, "value '0x10000' is more than 0xffff"},
        TransferCase{{"transfer", "write-block", "-y", "0xa0", "0x100"}, 2, "byte '0x100' is more than 0xff"},
        TransferCase{{"transfer", "write-block", "-y", "0xa0", "0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",
                      "9",        "10",          "11", "12",   "13", "14", "15", "16", "17", "18", "19", "20", "21",
                      "22",       "23",          "24", "25",   "26", "27", "28", "29", "30", "31", "32"},
                     2,
                     "write-block takes 1 to 32 bytes"}));

// The word goes out low byte first on either medium, as SMBus words do.
TEST_F(BusToolsTest, WriteWordPutsTheLowByteFirst)
{
    const Result r = run({"trace", "transfer", "write-word", "-y", "0x14", "0x1234"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "  0x5c ACK   address 0x2e write\n  0x14 ACK\n  0x34 ACK\n  0x12 ACK\n  stop\n"))
        << r.out;
}

TEST_F(BusToolsTest, BlockWithPecCarriesTheCheckByteOnTheWire)
{
    const Result plain = run({"trace", "transfer", "write-block", "-y", "0xa0", "0x11", "0x22"});
    const Result pec = run({"trace", "transfer", "write-block", "-y", "--pec", "0xa0", "0x11", "0x22"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(pec.status, 0) << pec.err;
    EXPECT_TRUE(contains(plain.out, "  0x02 ACK\n  0x11 ACK\n  0x22 ACK\n  stop\n")) << plain.out;
    EXPECT_TRUE(contains(pec.out, "  0x02 ACK\n  0x11 ACK\n  0x22 ACK\n  0x")) << pec.out;
    EXPECT_FALSE(contains(pec.out, "  0x22 ACK\n  stop\n")) << pec.out;
}

TEST_F(BusToolsTest, TransfersTheMediumCannotMakeAreRefused)
{
    Result r = run({"transfer", "read-block", "0x14"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "on the printer port a block read sends command 0xa1")) << r.err;

    const fs::path mb = file("mb.json", R"({"motherboard": {"southBridge": "piix4", "chips": [{"address": "0x2e"}]}})");
    r = run({"--sim-config", mb.string(), "--medium", "smbus", "transfer", "read-word", "0x14"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "the chipset SMBus path makes byte transfers only")) << r.err;

    // An adapter without packet error checking refuses a PEC block.
    const fs::path nopec = file("nopec.json", R"({"i2cAdapters": [{"number": 1, "pec": false}]})");
    r = run({"--sim-config", nopec.string(), "--medium", "i2c", "transfer", "read-block", "--pec", "0xa1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(r.out.empty()) << r.out;
}

}  // namespace

namespace {

class TransferChipGoneTest : public BusToolsTest, public ::testing::WithParamInterface<std::vector<std::string>> { };

// The search reads the Device ID twice; the transfer then meets a chip that
// is gone. A short block or a missing answer fails, and no data is printed.
TEST_P(TransferChipGoneTest, FailsWithoutPrintingData)
{
    const fs::path config =
        file("gone.json", R"({"ports": [{"faults": [{"kind": "chipGone", "afterTransfers": 4}]}]})");
    std::vector<std::string> args{"--sim-config", config.string(), "transfer"};
    args.insert(args.end(), GetParam().begin(), GetParam().end());
    const Result r = run(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Transfers, TransferChipGoneTest,
                         ::testing::Values(std::vector<std::string>{"read-block", "0xa1"},
                                           std::vector<std::string>{"read-block", "--pec", "0xa1"},
                                           std::vector<std::string>{"read-word", "0x14"},
                                           std::vector<std::string>{"write-word", "-y", "0x14", "1"},
                                           std::vector<std::string>{"write-block", "-y", "--pec", "0xa0", "1"}));

}  // namespace

namespace {

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

// ---- round trips on a board that outlives each command ---------------------------

namespace {

class SharedBoardTest : public BusToolsTest {
protected:
    Result shared(const std::vector<std::string>& args)
    {
        support::RunOptions options;
        options.dir = m_dir;
        options.input = "";
        options.env = {{"FANSCOPE_BOARD", socket().string()}, {"FANSCOPE_SIM_CONFIG", std::nullopt}};
        options.timeout = std::chrono::seconds(30);
        return support::runProcess(FANSCOPE_CLI, args, options);
    }
    fs::path socket() const { return m_dir / "board.sock"; }
};

TEST_F(SharedBoardTest, EepromWriteThenReadGivesTheFileBack)
{
    boardtest::BoardProcess board(socket());
    std::string bytes;
    for (int i = 0; i < 200; ++i)
        bytes += static_cast<char>(255 - i);
    const fs::path data = file("data.bin", bytes);
    Result r = shared({"eeprom", "write", "-y", "--offset", "0x7f80", data.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path back = m_dir / "back.bin";
    r = shared({"eeprom", "read", "--offset", "7F80h", "--length", "200", back.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(back), bytes);
    // Just before and after the written range the memory is still erased.
    r = shared({"eeprom", "read", "--offset", "0x7f7f", "--length", "1", "-"});
    EXPECT_EQ(r.out, "\xff");
    r = shared({"eeprom", "read", "--offset", "0x8048", "--length", "1", "-"});
    EXPECT_EQ(r.out, "\xff");
}

TEST_F(SharedBoardTest, WritesReadBackInLaterCommands)
{
    boardtest::BoardProcess board(socket());
    ASSERT_EQ(shared({"transfer", "write-block", "-y", "--pec", "0xa0", "0x41", "0x42", "0x43"}).status, 0);
    Result r = shared({"transfer", "read-block", "--pec", "0xa1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("0x41 0x42 0x43 0x03 ", 0), 0u) << r.out;

    ASSERT_EQ(shared({"transfer", "write-word", "-y", "0x14", "0x2d3c"}).status, 0);
    EXPECT_EQ(shared({"get", "0x14"}).out, "0x3c\n");
    EXPECT_EQ(shared({"get", "0x15"}).out, "0x2d\n");
    EXPECT_EQ(shared({"transfer", "read-word", "0x14"}).out, "0x2d3c\n");

    ASSERT_EQ(shared({"set", "-y", "-m", "0xf0", "0x14", "0x50"}).out, "0x3c -> 0x5c\n");
    EXPECT_EQ(shared({"get", "0x14"}).out, "0x5c\n");
}

}  // namespace
