#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <sim/config.h>

namespace {

TEST(ConfigTest, EmptyObjectIsTheDefaultBoard)
{
    const sim::Config c = sim::parseConfig("{}");
    ASSERT_EQ(c.ports.size(), 1u);
    EXPECT_EQ(c.ports[0].base, 0x378u);
    EXPECT_TRUE(c.ports[0].inverting);
    ASSERT_EQ(c.ports[0].chips.size(), 1u);
    EXPECT_EQ(c.ports[0].chips[0].variant, sim::ChipVariant::Tfm4411);
    EXPECT_EQ(c.ports[0].chips[0].address, 0x5C);
    EXPECT_EQ(c.motherboard.southBridge, sim::SouthBridgePreset::Ich24D3);
    EXPECT_TRUE(c.motherboard.chips.empty());
    EXPECT_EQ(c.time, sim::TimeMode::Real);
}

TEST(ConfigTest, FullConfigurationAndRoundTrip)
{
    const sim::Config c = sim::parseConfig(R"({
      "ports": [
        {"base": "0x278", "adapter": "non-inverting", "eeprom": false,
         "chips": [{"variant": "TFM4410", "address": "0x58", "remote1Open": true,
                    "fans": [{"fullSpeedRpm": 3000, "pulsesPerRev": 4, "stalled": true, "invertingDriver": false,
                              "startDuty": 40, "stopDuty": 27, "spinUpS": 2.5, "rpmNoise": 3}]}],
         "otherMaster": {"mode": "winArbitration", "bit": 3, "attempts": 2}},
        {"base": 956, "heldByOtherProcess": true, "chips": []}
      ],
      "motherboard": {"southBridge": "piix4", "chips": [{"address": 90}]},
      "ambientC": 31.5,
      "time": "manual",
      "timeScale": 20
    })");
    ASSERT_EQ(c.ports.size(), 2u);
    EXPECT_EQ(c.ports[0].base, 0x278u);
    EXPECT_FALSE(c.ports[0].inverting);
    EXPECT_FALSE(c.ports[0].eeprom);
    EXPECT_EQ(c.ports[0].chips[0].variant, sim::ChipVariant::Tfm4410);
    EXPECT_TRUE(c.ports[0].chips[0].remote1Open);
    EXPECT_EQ(c.ports[0].chips[0].fans[0].pulsesPerRev, 4);
    EXPECT_TRUE(c.ports[0].chips[0].fans[0].stalled);
    EXPECT_FALSE(c.ports[0].chips[0].fans[0].invertingDriver);
    EXPECT_EQ(c.ports[0].chips[0].fans[0].startDutyPct, 40);
    EXPECT_EQ(c.ports[0].chips[0].fans[0].stopDutyPct, 27);
    EXPECT_EQ(c.ports[0].chips[0].fans[0].spinUpS, 2.5);
    EXPECT_EQ(c.ports[0].chips[0].fans[0].rpmNoisePct, 3);
    EXPECT_EQ(c.ports[0].chips[0].fans[1].fullSpeedRpm, sim::FanConfig{}.fullSpeedRpm);
    EXPECT_EQ(c.ports[0].chips[0].fans[1].startDutyPct, 0);
    EXPECT_EQ(c.ports[0].otherMaster.mode, sim::OtherMasterConfig::Mode::WinArbitration);
    EXPECT_EQ(c.ports[0].otherMaster.bit, 3);
    EXPECT_TRUE(c.ports[1].heldByOtherProcess);
    EXPECT_TRUE(c.ports[1].chips.empty());
    EXPECT_EQ(c.motherboard.southBridge, sim::SouthBridgePreset::Piix4);
    EXPECT_EQ(c.motherboard.chips[0].address, 0x5A);
    EXPECT_EQ(c.ambientC, 31.5);
    EXPECT_EQ(c.time, sim::TimeMode::Manual);
    EXPECT_EQ(c.timeScale, 20);

    const sim::Config again = sim::parseConfig(sim::toJson(c));
    EXPECT_EQ(sim::toJson(again), sim::toJson(c));
}

TEST(ConfigTest, BoardWithoutPortsReadsBackWithItsDefaultAdapter)
{
    const sim::Config c = sim::parseConfig(R"({"ports": []})");
    ASSERT_EQ(c.i2cAdapters.size(), 1u);
    EXPECT_EQ(c.i2cAdapters[0].bus, "own");
    const sim::Config again = sim::parseConfig(sim::toJson(c));
    EXPECT_TRUE(again.ports.empty());
    EXPECT_EQ(sim::toJson(again), sim::toJson(c));
}

TEST(ConfigTest, EveryPresetNameParses)
{
    using P = sim::SouthBridgePreset;
    for (P p : {P::None, P::Piix4, P::Ich2418, P::Ich2428, P::Ich2413, P::Ich2423, P::Ich2443, P::Ich2445, P::Ich2483,
                P::Ich24C3, P::Ich24D3, P::Ali7101, P::IntelHostBridge}) {
        const std::string text = R"({"motherboard": {"southBridge": ")" + std::string(sim::presetName(p)) + "\"}}";
        EXPECT_EQ(sim::parseConfig(text).motherboard.southBridge, p) << text;
    }
}

struct BadCase {
    const char* json;
    const char* field;  // must appear in the message
    const char* value;  // must appear too
};

class BadConfigTest : public ::testing::TestWithParam<BadCase> { };

TEST_P(BadConfigTest, RefusedNamingFieldAndValue)
{
    const BadCase& b = GetParam();
    try {
        sim::parseConfig(b.json);
        FAIL() << "accepted " << b.json;
    } catch (const sim::ConfigError& e) {
        const std::string what = e.what();
        EXPECT_NE(what.find(b.field), std::string::npos) << what;
        EXPECT_NE(what.find(b.value), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadConfigTest,
    ::testing::Values(
        BadCase{R"({"ports": [{"chips": [{"address": "0x5E"}]}]})", "ports[0].chips[0].address", "0x5E"},
        BadCase{R"({"ports": [{"chips": [{"variant": "TFM4412"}]}]})", "ports[0].chips[0].variant", "TFM4412"},
        BadCase{R"({"ambientC": 300})", "ambientC", "300"},
        BadCase{R"({"ambient": 20})", "ambient", "not a known setting"},
        BadCase{R"({"ports": [{"adapter": "sideways"}]})", "ports[0].adapter", "sideways"},
        BadCase{R"({"ports": [{"base": "0x3G8"}]})", "ports[0].base", "0x3G8"},
        BadCase{R"({"ports": [{}, {"base": "0x379"}]})", "ports[1].base", "0x379"},
        BadCase{R"({"ports": [{"chips": [{}, {"address": 92}]}]})", "ports[0].chips[1].address", "92"},
        BadCase{R"({"ports": [{"chips": [{"fans": [{"pulsesPerRev": 0}]}]}]})", "fans[0].pulsesPerRev", "0"},
        BadCase{R"({"ports": [{"otherMaster": {"bit": 8}}]})", "otherMaster.bit", "8"},
        BadCase{R"({"motherboard": {"southBridge": "ich5"}})", "motherboard.southBridge", "ich5"},
        BadCase{R"({"time": true})", "time", "true"}, BadCase{R"({"timeScale": 0})", "timeScale", "0"},
        BadCase{R"({"ports": [{"chips": [{"fans": [{"startDuty": 20, "stopDuty": 30}]}]}]})", "fans[0].stopDuty",
                "above startDuty"},
        BadCase{R"({"ports": [{"chips": [{"fans": [{"spinUpS": 0}]}]}]})", "fans[0].spinUpS", "0"},
        BadCase{R"({"ports": [{"chips": [{"fans": [{"rpmNoise": 50}]}]}]})", "fans[0].rpmNoise", "50"},
        BadCase{
            R"({"ports": [{"chips": [{"thermal": [{"channel": "remote1", "stillAirRiseC": 20, "fullAirflowRiseC": 30}]}]}]})",
            "thermal[0].fullAirflowRiseC", "above stillAirRiseC"},
        BadCase{R"({"ports": [{"chips": [{"thermal": [{"channel": "remote1"}, {"channel": "remote1"}]}]}]})",
                "thermal[1].channel", "twice"},
        BadCase{R"({"ports": [{"chips": [{"variant": "TFM4410", "thermal": [{"channel": "remote2"}]}]}]})",
                "thermal[0].channel", "remote2"},
        BadCase{R"({"ports": [{"chips": [{"variant": "TFM4410", "thermal": [{"channel": "remote1", "fan": 2}]}]}]})",
                "thermal[0].fan", "2"},
        BadCase{R"({"ports": [{"chips": [{"thermal": [{"fan": 1}]}]}]})", "thermal[0]", "no channel"},
        BadCase{R"({"ports": [{"chips": [{"thermal": [{"channel": "remote1", "tauS": 0}]}]}]})", "thermal[0].tauS",
                "0"},
        BadCase{R"({"ports": [}")", "not valid JSON", "parse"}));

TEST(ConfigTest, ThermalDefaultsAndRoundTrip)
{
    const sim::Config c = sim::parseConfig(
        R"({"ports": [{"chips": [{"thermal": [{"channel": "remote2", "stillAirRiseC": 40, "lagS": 3}]}]}]})");
    const sim::ChipConfig& chip = c.ports[0].chips[0];
    ASSERT_EQ(chip.thermal.size(), 1u);
    const sim::ThermalConfig t = chip.thermalOf(2);
    EXPECT_EQ(t.fan, 2);                  // its own fan by default
    EXPECT_EQ(t.fullAirflowRiseC, 40.0);  // no cooling unless given
    EXPECT_EQ(t.tauS, 20.0);
    EXPECT_EQ(chip.thermalOf(1).stillAirRiseC, 45.0);  // the channel not listed
    const sim::Config back = sim::parseConfig(sim::toJson(c));
    EXPECT_EQ(back.ports[0].chips[0].thermalOf(2).lagS, 3.0);
    EXPECT_EQ(back.ports[0].chips[0].thermal.size(), 1u);
}

TEST(ConfigTest, AirflowRiseFallsWithDiminishingReturns)
{
    sim::ThermalConfig t;
    t.stillAirRiseC = 45;
    t.fullAirflowRiseC = 12;
    EXPECT_DOUBLE_EQ(sim::airflowRiseC(t, 0), 45);
    EXPECT_DOUBLE_EQ(sim::airflowRiseC(t, 1), 12);
    EXPECT_DOUBLE_EQ(sim::airflowRiseC(t, 2), 12);  // faster than full counts as full
    double previous = 45, previousDrop = 1e9;
    for (int i = 1; i <= 10; ++i) {
        const double r = sim::airflowRiseC(t, i / 10.0);
        EXPECT_LT(r, previous);
        EXPECT_LT(previous - r, previousDrop);
        previousDrop = previous - r;
        previous = r;
    }
}

TEST(ConfigTest, FileErrorsNameTheFile)
{
    EXPECT_THROW(sim::loadConfigFile("/nonexistent/board.json"), sim::ConfigError);
    const std::string path = testing::TempDir() + "sim_config_bad.json";
    {
        std::ofstream(path) << R"({"ports": [{"base": -1}]})";
    }
    try {
        sim::loadConfigFile(path);
        FAIL();
    } catch (const sim::ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("ports[0].base"), std::string::npos);
    }
    std::remove(path.c_str());
}

}  // namespace

namespace {

// Every example in the configuration page must stay a valid configuration.
TEST(ConfigTest, DocumentedExamplesParse)
{
    const char* root = std::getenv("FANSCOPE_SOURCE_DIR");
    if (!root)
        GTEST_SKIP() << "FANSCOPE_SOURCE_DIR not set";
    std::ifstream in(std::string(root) + "/docs/sim-config.md");
    ASSERT_TRUE(in);
    std::string line, block;
    bool inJson = false;
    int examples = 0;
    while (std::getline(in, line)) {
        if (line == "```json") {
            inJson = true;
            block.clear();
        } else if (inJson && line == "```") {
            inJson = false;
            ++examples;
            EXPECT_NO_THROW(sim::parseConfig(block)) << block;
        } else if (inJson) {
            block += line + "\n";
        }
    }
    EXPECT_GE(examples, 8);
}

}  // namespace
