// `fanscope-cli characterize` on a board program of the test's own whose
// fan 1 starts at 40 % and stalls below 27 % and whose time runs 20 times
// faster: the thresholds within a duty step, the plot a real reader opens,
// the chip as it was afterwards (a saved register file shows no
// difference), also when SIGINT ends the sweep.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/cli_board.h"

namespace {

namespace fs = std::filesystem;
using Result = support::ProcessResult;

constexpr const char* kBoard = R"({"timeScale": 20, "ports": [{"chips": [{"fans": [
  {"startDuty": 40, "stopDuty": 27, "spinUpS": 1.0}, {"fullSpeedRpm": 3000}]}]}]})";

class CharacterizeTest : public support::CliBoardTest {
protected:
    CharacterizeTest() : CliBoardTest("fanscope-characterize-", kBoard, std::chrono::seconds(60)) { }
};

#ifdef FANSCOPE_CLI_PLOT
constexpr bool kPlots = true;
#else
// A CLI built without the GUI refuses --plot; everything else is the same.
constexpr bool kPlots = false;
#endif

TEST_F(CharacterizeTest, FindsStartAndStallAndLeavesTheChipAsSaved)
{
    ASSERT_EQ(cli({"set", "-y", "0x22", "0x75"}).status, 0);
    const std::string saved = saveAsEasySetupLeavesIt();

    const std::string svg = (m_folder.path / "fan.svg").string();
    const std::string png = (m_folder.path / "fan.png").string();
    const std::string csv = (m_folder.path / "fan.csv").string();
    std::vector<std::string> args{"characterize", "--fan", "1", "--json", "--time-scale", "20", "--csv", csv};
    if (kPlots)
        args.insert(args.end(), {"--plot", svg});
    Result r = cli(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto json = nlohmann::json::parse(r.out);
    ASSERT_EQ(json.size(), 1u);
    const auto& f = json[0];
    for (const char* key :
         {"fan", "start_duty_percent", "stop_duty_percent", "full_speed_rpm", "spin_up_s", "pulses_ok", "points"})
        EXPECT_TRUE(f.contains(key)) << key;
    EXPECT_EQ(f.size(), 7u);
    EXPECT_EQ(f["fan"], 1);
    EXPECT_NEAR(f["start_duty_percent"].get<int>(), 40, 7);
    EXPECT_NEAR(f["stop_duty_percent"].get<int>(), 27, 7);
    EXPECT_NEAR(f["full_speed_rpm"].get<int>(), 4800, 240);
    EXPECT_NEAR(f["spin_up_s"].get<double>(), 2.30, 0.46);
    EXPECT_TRUE(f["pulses_ok"].get<bool>());
    ASSERT_EQ(f["points"].size(), 32u);
    EXPECT_EQ(f["points"][0]["direction"], "up");
    EXPECT_EQ(f["points"][31]["direction"], "down");
    EXPECT_EQ(f["points"][0].size(), 4u);

    EXPECT_EQ(cli({"diff", saved}).status, 0) << "registers differ after the measurement";
    EXPECT_EQ(support::slurp(csv).rfind("fan,direction,duty_code,duty_percent,rpm,spread_rpm,settled\r\n", 0), 0u);
    if (kPlots) {
        // A real SVG reader opens the plot.
        const std::string converted = (m_folder.path / "fan-svg.png").string();
        EXPECT_EQ(std::system(("rsvg-convert '" + svg + "' -o '" + converted + "'").c_str()), 0);
        EXPECT_EQ(support::slurp(converted).rfind("\x89PNG", 0), 0u);
    }

    // PNG too, for fan 2 (the other fan's speed), and nothing is left of a
    // plot that cannot be written.
    args = {"characterize", "--fan", "2", "--time-scale", "20"};
    if (kPlots)
        args.insert(args.end(), {"--plot", png});
    r = cli(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("simulated board"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("restored"), std::string::npos) << r.out;
    if (kPlots) {
        EXPECT_EQ(support::slurp(png).rfind("\x89PNG", 0), 0u);
    }
    EXPECT_EQ(cli({"diff", saved}).status, 0);
}

TEST_F(CharacterizeTest, SigintMidSweepRestoresTheChip)
{
    const std::string saved = saveAsEasySetupLeavesIt();
    // Real-time sampling on the fast board: a sweep of several seconds.
    const Interrupted i = interrupt({"characterize", "--fan", "1"}, std::chrono::milliseconds(1500), SIGINT);
    ASSERT_TRUE(i.status) << "the measurement did not end on SIGINT";
    ASSERT_TRUE(WIFEXITED(*i.status));
    EXPECT_EQ(WEXITSTATUS(*i.status), 128 + SIGINT);
    EXPECT_NE(i.err.find("interrupted; every register it changed is restored"), std::string::npos) << i.err;
    EXPECT_EQ(cli({"diff", saved}).status, 0) << "registers differ after SIGINT";
}

TEST_F(CharacterizeTest, RefusesWhatCannotBeDoneBeforeTouchingTheChip)
{
    Result r = cli({"characterize", "--plot", (m_folder.path / "fan.gif").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(".svg or .png"), std::string::npos) << r.err;
    r = cli({"characterize", "--fan", "3"});
    EXPECT_EQ(r.status, 2);
}

}  // namespace
