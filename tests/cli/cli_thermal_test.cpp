// `fanscope-cli identify` and `tune` on a board program of the test's own
// whose remote 1 is cooled by fan 1 and whose time runs 50 times faster:
// the model and the settings as JSON, the steps' plot a real reader opens,
// the prediction checked on the board, the registers not chosen as they
// were (a saved register file shows only the chosen ones differ), also when
// SIGTERM ends the measurement; targets the fan can meet only near full
// speed, or not at all.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/cli_board.h"

namespace {

using Result = support::ProcessResult;

constexpr const char* kBoard = R"({"timeScale": 50, "ports": [{"chips": [{"thermal": [
  {"channel": "remote1", "fan": 1, "stillAirRiseC": 45, "fullAirflowRiseC": 12, "tauS": 30, "lagS": 3}]}]}]})";

#ifdef FANSCOPE_CLI_PLOT
constexpr bool kPlots = true;
#else
constexpr bool kPlots = false;  // a CLI built without the GUI refuses --plot
#endif

class ThermalCliTest : public support::CliBoardTest {
protected:
    ThermalCliTest() : CliBoardTest("fanscope-thermal-", kBoard, std::chrono::seconds(240)) { }
};

TEST_F(ThermalCliTest, TuneAppliesWhatItPredictsAndTouchesNothingElse)
{
    const std::string saved = saveAsEasySetupLeavesIt();
    const std::string svg = (folder() / "steps.svg").string();
    std::vector<std::string> args{"identify", "--channel", "remote1", "--json", "--time-scale", "50"};
    if (kPlots)
        args.insert(args.end(), {"--plot", svg});
    Result r = cli(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto model = nlohmann::json::parse(r.out);
    for (const char* key : {"channel", "fan", "points", "tau_s", "lag_s", "rms_error_c", "ambient_c"})
        EXPECT_TRUE(model.contains(key)) << key;
    EXPECT_EQ(model["channel"], "remote1");
    EXPECT_NEAR(model["tau_s"].get<double>(), 30, 6);
    EXPECT_NEAR(model["points"].back()["steady_rise_c"].get<double>(), 12, 1.5);
    EXPECT_EQ(cli({"diff", saved}).status, 0) << "identify left registers changed";
    if (kPlots) {
        const std::string png = (folder() / "steps-svg.png").string();
        EXPECT_EQ(std::system(("rsvg-convert '" + svg + "' -o '" + png + "'").c_str()), 0);
        EXPECT_EQ(support::slurp(png).rfind("\x89PNG", 0), 0u);
        EXPECT_NE(support::slurp(svg).find("time constant"), std::string::npos);
    }
    const std::string modelFile = m_folder.write("model.json", r.out).string();

    // Unmeetable: an error saying where it settles, nothing written.
    r = cli({"tune", "--channel", "remote1", "--target-c", "30", "--model", modelFile, "--apply"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("settles at 3"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing written"), std::string::npos) << r.err;
    EXPECT_EQ(cli({"diff", saved}).status, 0);

    // Just above what full airflow gives: only a fan near full speed holds
    // it, and the prediction says so.
    const double full = model["ambient_c"].get<double>() + model["points"].back()["steady_rise_c"].get<double>();
    r = cli({"tune", "--channel", "remote1", "--target-c", std::to_string(full + 1.0), "--model", modelFile, "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto hot = nlohmann::json::parse(r.out);
    EXPECT_LE(hot["predicted_steady_c"].get<double>(), full + 1.0);
    EXPECT_GE(hot["predicted_steady_duty_percent"].get<double>(), 60.0) << r.out;
    EXPECT_EQ(cli({"diff", saved}).status, 0) << "tune without --apply wrote";

    r = cli({"tune", "--channel", "remote1", "--target-c", "55", "--model", modelFile, "--apply", "--verify", "600",
             "--json", "--time-scale", "50"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto t = nlohmann::json::parse(r.out);
    for (const char* key : {"tmin_c", "trange_c", "min_duty_percent", "predicted_steady_c",
                            "predicted_steady_duty_percent", "predicted_settle_s", "predicted_trace",
                            "measured_steady_c", "measured_steady_duty_percent", "rms_error_c", "measured_trace"})
        EXPECT_TRUE(t.contains(key)) << key;
    EXPECT_LE(t["predicted_steady_c"].get<double>(), 55);
    EXPECT_LE(t["measured_steady_c"].get<double>(), 56);
    EXPECT_LE(t["rms_error_c"].get<double>(), 1.5);
    // The quieter target settles at a lower duty than the tight one.
    EXPECT_LT(t["predicted_steady_duty_percent"].get<double>(), hot["predicted_steady_duty_percent"].get<double>());
    // Only the chosen registers differ: Tmin/Trange and the minimum duty.
    r = cli({"diff", saved});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("25"), std::string::npos) << r.out;
    for (const char* other : {"Configuration 1", "Configuration 2", "Fan Filter"})
        EXPECT_EQ(r.out.find(other), std::string::npos) << r.out;
}

TEST_F(ThermalCliTest, SigtermMidIdentifyRestoresTheChip)
{
    const std::string saved = saveAsEasySetupLeavesIt();
    const Interrupted i =
        interrupt({"identify", "--channel", "remote1", "--time-scale", "50"}, std::chrono::milliseconds(4000), SIGTERM);
    ASSERT_TRUE(i.status) << "identify did not end on SIGTERM";
    ASSERT_TRUE(WIFEXITED(*i.status));
    EXPECT_EQ(WEXITSTATUS(*i.status), 128 + SIGTERM);
    EXPECT_NE(i.err.find("interrupted; every register it changed and the heater are restored"), std::string::npos)
        << i.err;
    EXPECT_EQ(cli({"diff", saved}).status, 0) << "registers differ after SIGTERM";
}

TEST_F(ThermalCliTest, RefusesBadOptionsBeforeTouchingTheChip)
{
    EXPECT_EQ(cli({"identify", "--channel", "remote3"}).status, 2);
    EXPECT_EQ(cli({"identify", "--channel", "remote1", "--heater", "150"}).status, 2);
    Result r = cli({"identify", "--channel", "remote1", "--plot", (folder() / "steps.gif").string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(".svg or .png"), std::string::npos) << r.err;
    EXPECT_EQ(cli({"tune", "--channel", "remote1", "--target-c", "50", "--verify", "60"}).status, 2);
    const std::string bad = m_folder.write("bad.json", R"({"channel": "remote1"})").string();
    r = cli({"tune", "--channel", "remote1", "--target-c", "50", "--model", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a model"), std::string::npos) << r.err;
}

}  // namespace
