// The configuration reader against hostile text and files: every failure is
// a ConfigError with a short message naming the field, nothing blocks, and
// numbers read one way whatever their form.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include <sim/config.h>

#include "support/test_folder.h"
#include "support/watchdog.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string refusal(const std::string& text)
{
    try {
        sim::parseConfig(text);
    } catch (const sim::ConfigError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("escaped as another exception: ") + e.what();
    }
    return "accepted";
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct HostileCase {
    const char* name;
    std::string json;
    const char* field;  // must appear in the message
    const char* why;    // and this
};

class HostileConfigTest : public ::testing::TestWithParam<HostileCase> { };

TEST_P(HostileConfigTest, RefusedWithAShortMessageNamingTheField)
{
    const HostileCase& c = GetParam();
    const std::string what = refusal(c.json);
    EXPECT_NE(what.find(c.field), std::string::npos) << what;
    EXPECT_NE(what.find(c.why), std::string::npos) << what;
    EXPECT_LT(what.size(), 240u) << what;
}

const std::string kLong(100000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileConfigTest,
    ::testing::Values(
        HostileCase{"DeepList", nested(100000), "[0][0]", "nests deeper than 32 levels"},
        HostileCase{"DeepInsideField", R"({"ports": [{"chips": )" + nested(100000) + "}]}", "ports[0].chips",
                    "nests deeper"},
        HostileCase{"DeepValueOfRightType", R"({"ports": [{"chips": [{"fans": [)" + nested(50000) + "]}]}]}",
                    "ports[0].chips[0].fans[0]", "nests deeper"},
        HostileCase{"HugeDouble", R"({"ambientC": 1e400})", "ambientC", "too large for a number"},
        HostileCase{"HugeNegativeDouble", R"({"ports": [{}, {"base": -1e999}]})", "ports[1].base", "too large"},
        HostileCase{"DuplicateKey", R"({"time": "real", "time": "manual"})", "time", "given twice"},
        HostileCase{"DuplicateNestedKey", R"({"ports": [{"base": 888}, {"base": 632, "base": 633}]})", "ports[1].base",
                    "given twice"},
        HostileCase{"DoubleBeyondLongLong", R"({"ports": [{"base": 1e300}]})", "ports[0].base", "out of range"},
        HostileCase{"NegativeDoubleBeyondLongLong", R"({"ports": [{"base": -1e300}]})", "ports[0].base",
                    "out of range"},
        HostileCase{"UnsignedBeyondLongLong", R"({"ports": [{"base": 18446744073709551615}]})", "ports[0].base",
                    "out of range"},
        HostileCase{"TextBeyondLongLong", R"({"ports": [{"base": "99999999999999999999999"}]})", "ports[0].base",
                    "out of range"},
        HostileCase{"TextWithInnerBlank", R"({"ports": [{"base": "8 88"}]})", "ports[0].base", "not a number"},
        HostileCase{"BarePrefix", R"({"ports": [{"base": "0x"}]})", "ports[0].base", "not a number"},
        HostileCase{"LongTextValue", R"({"time": ")" + kLong + "\"}", "time", "is not real or manual"},
        HostileCase{"LongUnknownKey", "{\"" + kLong + "\": 1}", "xxxx...", "is not a known setting"},
        HostileCase{"LongUnterminatedText", R"({"time": ")" + kLong, "not valid JSON", "(in time)"},
        HostileCase{"ObjectWhereListBelongs", R"({"ports": {"a": )" + nested(20) + "}}", "ports",
                    "{an object of 1 keys} is not a list"},
        HostileCase{"TooLarge", std::string(300 * 1024, ' ') + "{}", "larger than 256 KiB", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigReaderTest, NestingUpToTheLimitIsReadAsSettings)
{
    // 32 levels (the object plus 31 lists) reach the settings check; one more is refused as text.
    EXPECT_NE(refusal(R"({"time": )" + nested(31) + "}").find("time: [a list of 1] is not a text"), std::string::npos);
    EXPECT_NE(refusal(R"({"time": )" + nested(32) + "}").find("nests deeper"), std::string::npos);
}

TEST(ConfigReaderTest, NumberTextsReadAlikeWithBlanksOnEitherSide)
{
    for (const char* base : {"888", " 888", "888 ", "\\t888\\n", "0x378", " 0x378 ", "01570", "+888"}) {
        const std::string text = R"({"ports": [{"base": ")" + std::string(base) + "\"}]}";
        EXPECT_EQ(sim::parseConfig(text).ports.at(0).base, 888u) << text;
    }
    EXPECT_EQ(sim::parseConfig(R"({"ports": [{"base": 888.0}]})").ports.at(0).base, 888u);
    EXPECT_NE(refusal(R"({"ports": [{"base": "-888"}]})").find("out of range"), std::string::npos);
}

class ConfigFileTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = support::freshTestFolder("fanscope-config-reader-"); }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string refusalOf(const fs::path& path)
    {
        // A reader that opens a FIFO for reading waits for a writer for ever.
        support::Watchdog watchdog(10s, "reading " + path.string());
        try {
            sim::loadConfigFile(path.string());
        } catch (const sim::ConfigError& e) {
            return e.what();
        }
        return "accepted";
    }

    fs::path m_dir;
};

TEST_F(ConfigFileTest, NonRegularFilesAreRefusedWithoutWaiting)
{
    const fs::path fifo = m_dir / "board.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string what = refusalOf(fifo);
    EXPECT_NE(what.find(fifo.string()), std::string::npos) << what;
    EXPECT_NE(what.find("named pipe"), std::string::npos) << what;

    EXPECT_NE(refusalOf(m_dir).find("folder"), std::string::npos);

    const fs::path sock = m_dir / "board.sock";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_NE(refusalOf(sock).find("socket"), std::string::npos);
    ::close(fd);
}

TEST_F(ConfigFileTest, OversizedFileIsRefusedAndASymlinkToAGoodFileIsRead)
{
    const fs::path big = m_dir / "big.json";
    std::ofstream(big) << "{" << std::string(256 * 1024, ' ') << "}";
    const std::string what = refusalOf(big);
    EXPECT_NE(what.find(big.string()), std::string::npos) << what;
    EXPECT_NE(what.find("larger than 256 KiB"), std::string::npos) << what;

    const fs::path good = m_dir / "good.json", link = m_dir / "link.json";
    std::ofstream(good) << R"({"ambientC": 30})";
    fs::create_symlink(good, link);
    EXPECT_EQ(sim::loadConfigFile(link.string()).ambientC, 30.0);
}

}  // namespace
