// `fanscope-cli identify` and `tune` on a board program of the test's own
// whose remote 1 is cooled by fan 1 and whose time runs 50 times faster:
// the model and the settings as JSON, the prediction checked on the board,
// the registers not chosen as they were (a saved register file shows only
// the chosen ones differ), also when SIGTERM ends the measurement.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "board/board_process.h"
#include "support/run_process.h"
#include "support/test_folder.h"

namespace {

namespace fs = std::filesystem;
using Result = support::ProcessResult;

constexpr const char* kBoard = R"({"timeScale": 50, "ports": [{"chips": [{"thermal": [
  {"channel": "remote1", "fan": 1, "stillAirRiseC": 45, "fullAirflowRiseC": 12, "tauS": 30, "lagS": 3}]}]}]})";

class ThermalCliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_board = std::make_unique<boardtest::BoardProcess>(
            socket(), std::vector<std::string>{"--config", m_folder.write("board.json", kBoard).string()});
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> env() const
    {
        return {{"FANSCOPE_BOARD", socket().string()}, {"FANSCOPE_SIM_CONFIG", std::nullopt}};
    }
    Result cli(const std::vector<std::string>& args)
    {
        support::RunOptions options;
        options.dir = m_folder.path;
        options.env = env();
        options.timeout = std::chrono::seconds(240);
        return support::runProcess(FANSCOPE_CLI, args, options);
    }
    fs::path socket() const { return m_folder.path / "board.sock"; }

    const support::TestFolder m_folder{"fanscope-thermal-"};
    std::unique_ptr<boardtest::BoardProcess> m_board;
};

TEST_F(ThermalCliTest, TuneAppliesWhatItPredictsAndTouchesNothingElse)
{
    ASSERT_EQ(cli({"set", "-y", "0x00", "0x09"}).status, 0);  // as Easy Setup leaves it
    const std::string saved = (m_folder.path / "before.reg").string();
    ASSERT_EQ(cli({"save", saved}).status, 0);

    Result r = cli({"identify", "--channel", "remote1", "--json", "--time-scale", "50"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto model = nlohmann::json::parse(r.out);
    for (const char* key : {"channel", "fan", "points", "tau_s", "lag_s", "rms_error_c", "ambient_c"})
        EXPECT_TRUE(model.contains(key)) << key;
    EXPECT_EQ(model["channel"], "remote1");
    EXPECT_NEAR(model["tau_s"].get<double>(), 30, 6);
    EXPECT_NEAR(model["points"].back()["steady_rise_c"].get<double>(), 12, 1.5);
    EXPECT_EQ(cli({"diff", saved}).status, 0) << "identify left registers changed";
    const std::string modelFile = m_folder.write("model.json", r.out).string();

    // Unmeetable: an error saying where it settles, nothing written.
    r = cli({"tune", "--channel", "remote1", "--target-c", "30", "--model", modelFile, "--apply"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("settles at 3"), std::string::npos) << r.err;
    EXPECT_EQ(cli({"diff", saved}).status, 0);

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
    // Only the chosen registers differ: Tmin/Trange and the minimum duty.
    r = cli({"diff", saved});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("25"), std::string::npos) << r.out;
    for (const char* other : {"Configuration 1", "Configuration 2", "Fan Filter"})
        EXPECT_EQ(r.out.find(other), std::string::npos) << r.out;
}

TEST_F(ThermalCliTest, SigtermMidIdentifyRestoresTheChip)
{
    ASSERT_EQ(cli({"set", "-y", "0x00", "0x09"}).status, 0);
    const std::string saved = (m_folder.path / "before.reg").string();
    ASSERT_EQ(cli({"save", saved}).status, 0);
    support::RunOptions options;
    options.dir = m_folder.path;
    options.captureOut = false;
    options.env = env();
    const pid_t pid =
        support::startProcess(FANSCOPE_CLI, {"identify", "--channel", "remote1", "--time-scale", "50"}, options);
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    ::kill(pid, SIGTERM);
    const std::optional<int> status = support::waitProcess(pid, std::chrono::seconds(20));
    ASSERT_TRUE(status) << "identify did not end on SIGTERM";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 128 + SIGTERM);
    const std::string err = support::slurp(m_folder.path / "stderr");
    EXPECT_NE(err.find("interrupted; every register it changed and the heater are restored"), std::string::npos) << err;
    EXPECT_EQ(cli({"diff", saved}).status, 0) << "registers differ after SIGTERM";
}

TEST_F(ThermalCliTest, RefusesBadOptionsBeforeTouchingTheChip)
{
    EXPECT_EQ(cli({"identify", "--channel", "remote3"}).status, 2);
    EXPECT_EQ(cli({"identify", "--channel", "remote1", "--heater", "150"}).status, 2);
    EXPECT_EQ(cli({"tune", "--channel", "remote1", "--target-c", "50", "--verify", "60"}).status, 2);
    const std::string bad = m_folder.write("bad.json", R"({"channel": "remote1"})").string();
    const Result r = cli({"tune", "--channel", "remote1", "--target-c", "50", "--model", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a model"), std::string::npos) << r.err;
}

}  // namespace
