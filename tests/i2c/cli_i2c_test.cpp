// fanscope-cli over the kernel-adapter medium, run as a process against the
// simulated board's adapters.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_process.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;

using Result = support::ProcessResult;

// A USB bridge with a TFM4410 at 0x2c that a kernel driver has bound, beside
// the default adapter carrying the board's TFM4411 at 0x2e.
constexpr const char* BridgeBoard = R"({"i2cAdapters": [
  {"number": 1},
  {"number": 5, "name": "USB bridge", "bus": "own", "pec": false, "driverOwned": ["0x2c"],
   "chips": [{"variant": "TFM4410", "address": "0x58"}]}]})";

class CliI2cTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = support::freshTestFolder("fanscope-cli-i2c-");
        std::ofstream(m_dir / "bridge.json") << BridgeBoard;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    Result run(const std::vector<std::string>& args, const std::string& input = "")
    {
        support::RunOptions options;
        options.dir = m_dir;
        options.input = input;
        return support::runProcess(FANSCOPE_CLI, args, options);
    }
    std::string bridge() const { return (m_dir / "bridge.json").string(); }

    fs::path m_dir;
};

TEST_F(CliI2cTest, DetectListsAdaptersWithFunctionalityAndTheChip)
{
    const Result r = run({"--medium", "i2c", "detect"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("i2c-1     SMBus I801 adapter at efa0          quick byte byte-data word-data block-data pec"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("i2c      i2c-1         0x2e     TFM4411  i2c-1 (SMBus I801 adapter at efa0)"),
              std::string::npos)
        << r.out;
}

TEST_F(CliI2cTest, DetectSkipsADriverOwnedAddressAndSaysSo)
{
    const Result r = run({"--sim-config", bridge(), "--medium", "i2c", "detect"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("USB bridge                          quick byte byte-data word-data block-data\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("TFM4410"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("i2c-5 (USB bridge) 0x2c: a kernel driver owns this address, skipped (-f forces it)"),
              std::string::npos)
        << r.err;
}

TEST_F(CliI2cTest, BusByNumberOrNameReadsAndWritesTheChip)
{
    Result r = run({"--medium", "i2c", "--bus", "1", "set", "-y", "-r", "0x14", "0x4b"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run({"--medium", "i2c", "--bus", "SMBus I801 adapter at efa0", "get", "0x3d"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x31\n");
    r = run({"--medium", "i2c", "--bus", "i2c-1", "dump"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("# TFM4411 at 0x2e on i2c-1 (SMBus I801 adapter at efa0)", 0), 0u) << r.out;
}

// Every read on a kernel adapter is acknowledged, so a get is the one
// transfer (the printer port's get ends with a Device ID read instead).
TEST_F(CliI2cTest, AGetIsOneTransferAndAMissingChipIsNamedWithItsAdapter)
{
    Result r = run({"--medium", "i2c", "--bus", "1", "trace", "get", "0x3d"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("0x31\n# bus trace, i2c-1 (SMBus I801 adapter at efa0)\n", 0), 0u) << r.out;
    std::size_t stops = 0;
    for (std::size_t at = r.out.find("  stop\n"); at != std::string::npos; at = r.out.find("  stop\n", at + 1))
        ++stops;
    EXPECT_EQ(stops, 1u) << r.out;

    r = run({"--medium", "i2c", "--bus", "1", "--address", "0x2c", "get", "0x3d"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no TFM4410 or TFM4411 found at 0x2c on i2c-1 (SMBus I801 adapter at efa0)"),
              std::string::npos)
        << r.err;
}

TEST_F(CliI2cTest, ForceWarnsAndAsksUnlessYes)
{
    const std::vector<std::string> base{"--sim-config", bridge(), "--medium", "i2c", "--bus", "5"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    Result r = run(with({"get", "0x3d"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no TFM4410 or TFM4411 found on i2c-5 (USB bridge)"), std::string::npos) << r.err;

    r = run(with({"-f", "get", "0x3d"}), "n\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("warning: a kernel driver is using address 0x2c on i2c-5 (USB bridge)"), std::string::npos);
    EXPECT_NE(r.err.find("not confirmed: nothing was sent to the chip"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");

    r = run(with({"-f", "get", "0x3d"}), "y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x30\n");
    r = run(with({"-f", "-y", "get", "0x3d"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x30\n");
}

struct Refusal {
    const char* name;
    const char* config;
    std::vector<std::string> args;
    int status;
    const char* message;
};

class CliI2cRefusal : public CliI2cTest, public ::testing::WithParamInterface<Refusal> { };

TEST_P(CliI2cRefusal, SaysWhyInOneLine)
{
    const Refusal& c = GetParam();
    std::ofstream(m_dir / "board.json") << c.config;
    std::vector<std::string> args{"--sim-config", (m_dir / "board.json").string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = run(args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, CliI2cRefusal,
    ::testing::Values(
        Refusal{"moduleNotLoaded",
                R"({"i2cDev": false})",
                {"--medium", "i2c", "detect"},
                1,
                "no I2C adapters: the i2c-dev module is not loaded (sudo modprobe i2c-dev)"},
        Refusal{"moduleNotLoadedBusByNumber",
                R"({"i2cDev": false})",
                {"--medium", "i2c", "--bus", "1", "get", "0x3d"},
                1,
                "no I2C adapters: the i2c-dev module is not loaded (sudo modprobe i2c-dev)"},
        Refusal{"noAdapters", R"({"i2cAdapters": []})", {"--medium", "i2c", "get", "0x3d"}, 1, "no I2C adapters found"},
        Refusal{"permission",
                R"({"i2cAdapters": [{"accessDenied": true}]})",
                {"--medium", "i2c", "detect"},
                1,
                "no permission on /dev/i2c-1: join the group i2c and log in again"},
        Refusal{"unknownName",
                "{}",
                {"--medium", "i2c", "--bus", "nope", "get", "0x3d"},
                1,
                "there is no I2C adapter 'nope'"},
        Refusal{"busWithoutMedium", "{}", {"--bus", "1", "get", "0x3d"}, 2, "--bus and --force need --medium i2c"},
        Refusal{"unplugged",
                R"({"i2cAdapters": [{"vanishAfter": 2}]})",
                {"--medium", "i2c", "get", "0x3d"},
                1,
                "i2c-1 has gone away: was the adapter unplugged?"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
