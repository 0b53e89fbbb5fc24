// fanscope-cli generate, proven by running its output: a configuration made
// and saved on one board, turned into each format, applied to a second board
// that starts from power-on values (the scripts under fanscope-board exec
// with the real i2c-tools and smbus2, the C header in a small program through
// /dev/i2c-1, the JSON through recall), leaves the second board with no
// difference from the saved file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "board_process.h"
#include "support/run_process.h"

namespace {

namespace fs = std::filesystem;
using boardtest::program;
using namespace std::chrono_literals;

bool installed(const char* path) { return ::access(path, X_OK) == 0; }

struct Case {
    const char* variant;
    const char* format;
};

std::string caseName(const ::testing::TestParamInfo<Case>& info)
{
    return std::string(info.param.variant) + "_" + info.param.format;
}

// A small program of the user's own: the generated table through the
// kernel's SMBus interface.
std::string applyProgram(const std::string& prefix)
{
    return R"(#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "setup.h"

static int transfer(int fd, uint8_t address, char direction, uint8_t reg, union i2c_smbus_data *data)
{
    struct i2c_smbus_ioctl_data args = {direction, reg, I2C_SMBUS_BYTE_DATA, data};
    if (ioctl(fd, I2C_SLAVE, address) < 0)
        return -1;
    return ioctl(fd, I2C_SMBUS, &args) < 0 ? -1 : 0;
}

static int write_byte(void *context, uint8_t address, uint8_t reg, uint8_t value)
{
    union i2c_smbus_data data;
    data.byte = value;
    return transfer(*(int *)context, address, I2C_SMBUS_WRITE, reg, &data);
}

static int read_byte(void *context, uint8_t address, uint8_t reg, uint8_t *value)
{
    union i2c_smbus_data data;
    if (transfer(*(int *)context, address, I2C_SMBUS_READ, reg, &data) != 0)
        return -1;
    *value = data.byte;
    return 0;
}

int main(void)
{
    int fd = open("/dev/i2c-1", O_RDWR);
    size_t failed;
    if (fd < 0) {
        perror("/dev/i2c-1");
        return 2;
    }
    failed = )" +
           prefix +
           R"(_setup_apply(&fd, write_byte, read_byte);
    close(fd);
    if (failed != 0) {
        fprintf(stderr, "write %zu of the set-up failed\n", failed);
        return 1;
    }
    return 0;
}
)";
}

class SetupRoundTripTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        if (!installed("/usr/sbin/i2cset"))
            GTEST_SKIP() << "i2c-tools is not installed";
        m_config = write("board.json",
                         std::string(R"({"ports": [{"chips": [{"variant": ")") + GetParam().variant + R"("}]}]})");
    }

    fs::path write(const std::string& name, const std::string& text)
    {
        std::ofstream(m_dir.path / name) << text;
        return m_dir.path / name;
    }

    support::RunOptions options(const fs::path& socket) const
    {
        support::RunOptions o;
        o.dir = m_dir.path;
        o.env = {{"FANSCOPE_BOARD", socket.string()},
                 {"FANSCOPE_SIM_CONFIG", std::nullopt},
                 {"VEXLINK06_PLATFORM", std::nullopt}};
        o.timeout = 120s;
        return o;
    }
    support::ProcessResult cli(const fs::path& socket, const std::vector<std::string>& args) const
    {
        return support::runProcess(program("fanscope-cli"), args, options(socket));
    }
    support::ProcessResult exec(const fs::path& socket, const std::vector<std::string>& command) const
    {
        std::vector<std::string> args{"exec", "--"};
        args.insert(args.end(), command.begin(), command.end());
        return support::runProcess(program("fanscope-board"), args, options(socket));
    }

    boardtest::TempDir m_dir;
    fs::path m_config;
};

TEST_P(SetupRoundTripTest, LeavesAFreshBoardEqualToTheSavedFile)
{
    const Case& c = GetParam();
    const bool dual = std::string(c.variant) == "TFM4411";
    if (std::string(c.format) == "python" && !fs::exists("/usr/lib/python3/dist-packages/smbus2"))
        GTEST_SKIP() << "smbus2 is not installed";

    // The tuned board: limits, fan characteristics, filter, Tmin/Trange,
    // an offset, the duty, and automatic control switched on last.
    const fs::path tunedSocket = m_dir.path / "tuned.sock";
    const fs::path source = m_dir.path / "tuned.reg";
    {
        boardtest::BoardProcess tuned(tunedSocket, {"--config", m_config.string()});
        const std::vector<std::pair<const char*, const char*>> sets{
            {"0x14", "0x3a"}, {"0x15", "0x05"}, {"0x19", "0xf6"}, {"0x1a", "0x50"}, {"0x10", "0x80"},
            {"0x20", "0x9b"}, {"0x23", "0xd5"}, {"0x25", "0x4a"}, {"0x0e", "0x83"}, {"0x22", dual ? "0x3c" : "0x0c"},
            {"0x00", "0xa5"}};
        for (const auto& [reg, value] : sets) {
            const auto r = cli(tunedSocket, {"set", "-y", reg, value});
            ASSERT_EQ(r.status, 0) << reg << ": " << r.err;
        }
        const auto saved = cli(tunedSocket, {"save", source.string()});
        ASSERT_EQ(saved.status, 0) << saved.err;
        EXPECT_EQ(tuned.stop(), 0) << tuned.log();
    }

    const fs::path freshSocket = m_dir.path / "fresh.sock";
    boardtest::BoardProcess fresh(freshSocket, {"--config", m_config.string()});
    ASSERT_EQ(cli(freshSocket, {"diff", source.string()}).status, 1) << "the fresh board already holds the file";

    const std::string format = c.format;
    const fs::path out = m_dir.path / ("setup" + std::string(format == "c" ? ".h" : "." + format));
    const auto generated =
        cli(freshSocket, {"generate", "--format", format, "--from", source.string(), "--out", out.string()});
    ASSERT_EQ(generated.status, 0) << generated.err;

    support::ProcessResult applied;
    if (format == "sh") {
        applied = exec(freshSocket, {"/bin/sh", out.string()});
    } else if (format == "python") {
        applied = exec(freshSocket, {"/usr/bin/python3", out.string(), "1"});
    } else if (format == "c") {
        write("apply.c", applyProgram(dual ? "tfm4411" : "tfm4410"));
        const fs::path binary = m_dir.path / "apply";
        const auto built =
            support::runProcess("/usr/bin/gcc",
                                {"-std=c99", "-Wall", "-Wextra", "-Werror", "-D_DEFAULT_SOURCE", "-I",
                                 m_dir.path.string(), (m_dir.path / "apply.c").string(), "-o", binary.string()},
                                options(freshSocket));
        ASSERT_EQ(built.status, 0) << built.err;
        applied = exec(freshSocket, {binary.string()});
    } else {
        applied = cli(freshSocket, {"recall", out.string()});
    }
    ASSERT_EQ(applied.status, 0) << applied.out << applied.err;

    const auto diff = cli(freshSocket, {"diff", source.string()});
    EXPECT_EQ(diff.status, 0) << diff.out << diff.err;
    EXPECT_EQ(fresh.stop(), 0) << fresh.log();
}

INSTANTIATE_TEST_SUITE_P(BothChipsEveryFormat, SetupRoundTripTest,
                         ::testing::Values(Case{"TFM4410", "sh"}, Case{"TFM4410", "python"}, Case{"TFM4410", "c"},
                                           Case{"TFM4410", "json"}, Case{"TFM4411", "sh"}, Case{"TFM4411", "python"},
                                           Case{"TFM4411", "c"}, Case{"TFM4411", "json"}),
                         caseName);

class SetupCommandTest : public ::testing::Test {
protected:
    support::ProcessResult cli(const std::vector<std::string>& args) const
    {
        support::RunOptions o;
        o.dir = m_dir.path;
        o.env = {{"FANSCOPE_BOARD", "inprocess"}, {"FANSCOPE_SIM_CONFIG", std::nullopt}};
        o.timeout = 60s;
        return support::runProcess(program("fanscope-cli"), args, o);
    }
    boardtest::TempDir m_dir;
};

TEST_F(SetupCommandTest, ASourceThatCannotBeExpressedWritesNothing)
{
    const fs::path good = m_dir.path / "good.reg";
    ASSERT_EQ(cli({"save", good.string()}).status, 0);
    // The remote 1 offset with bits the chip does not keep.
    std::ifstream in(good, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto at = text.find("0Eh        \t0h");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, std::string("0Eh        \t0h").size(), "0Eh        \t70h");
    const fs::path bad = m_dir.path / "bad.reg";
    std::ofstream(bad, std::ios::binary) << text;

    for (const auto& [file, words] : std::vector<std::pair<fs::path, std::string>>{
             {bad, "Remote1 Temp Offset (0Eh) holds 70h"}, {m_dir.path / "good.json", "not a set-up"}}) {
        if (file.extension() == ".json")
            std::ofstream(file) << "{\"header\": 1}\n";
        const fs::path out = m_dir.path / "setup.sh";
        const auto r = cli({"generate", "--format", "sh", "--from", file.string(), "--out", out.string()});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST_F(SetupCommandTest, TheScriptsNameTheirSourceAndDefaultBus)
{
    const auto chip = cli({"generate", "--format", "sh"});
    ASSERT_EQ(chip.status, 0) << chip.err;
    EXPECT_NE(chip.out.find("from the TFM4411 at 0x2e."), std::string::npos) << chip.out;
    EXPECT_NE(chip.out.find("bus=${1:-1}"), std::string::npos);

    const auto onBus = cli({"generate", "--format", "python", "--bus", "7"});
    ASSERT_EQ(onBus.status, 0) << onBus.err;
    EXPECT_NE(onBus.out.find("DEFAULT_BUS = 7"), std::string::npos);

    const auto adapter = cli({"--medium", "i2c", "--bus", "1", "generate", "--format", "sh"});
    ASSERT_EQ(adapter.status, 0) << adapter.err;
    EXPECT_NE(adapter.out.find("bus=${1:-1}"), std::string::npos);
}

TEST_F(SetupCommandTest, ReplayReportsEachReadThatDiffers)
{
    const fs::path setup = m_dir.path / "setup.json";
    ASSERT_EQ(cli({"generate", "--format", "json", "--out", setup.string()}).status, 0);
    const auto same = cli({"replay", setup.string()});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_NE(same.out.find("every read as recorded"), std::string::npos) << same.out;

    const fs::path recording = m_dir.path / "recording.json";
    std::ofstream(recording) << R"({"header": {"variant": "TFM4411"}, "steps": [
        {"op": "write", "register": 20, "value": 58},
        {"op": "read", "register": 20, "value": 58},
        {"op": "read", "register": 21, "value": 9}]})";
    const auto differs = cli({"replay", recording.string()});
    EXPECT_EQ(differs.status, 1);
    EXPECT_NE(differs.out.find("15h  Local Temp. Low Limit  reads 0h, recorded 9h"), std::string::npos) << differs.out;
    EXPECT_NE(differs.out.find("1 reads differ"), std::string::npos) << differs.out;
}

}  // namespace
