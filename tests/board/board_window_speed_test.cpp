// The window's fan speed while another program characterises the fan on the
// same shared board, changing the tach divisor as it sweeps: every speed the
// window shows is within 5 % of what the simulated fan truly turned at while
// the chip measured it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include <vexlink06/vexlink06.h>

#include "board_process.h"
#include "device/conversions.h"
#include "device/register_link.h"
#include "device/fan_speed_tracker.h"
#include "main_window/main_form.h"
#include "shell/ui_services.h"
#include "widgets/strip_chart.h"

namespace {

using namespace boardtest;
using mainwindow::MainForm;

// Fast, so a whole sweep takes seconds; no tach jitter, so the true speed is
// what the chip counts.
constexpr const char* kBoard = R"({"timeScale": 20, "ports": [{"chips": [{"fans": [
  {"startDuty": 30, "stopDuty": 20, "spinUpS": 1.0, "rpmNoise": 0}, {"rpmNoise": 0}]}]}]})";
constexpr double kTimeScale = 20.0;

class SharedBoard : public ::testing::Environment {
public:
    void SetUp() override
    {
        const fs::path config = dir.path / "board.json";
        std::ofstream(config) << kBoard;
        board = std::make_unique<BoardProcess>(dir.path / "board.sock",
                                               std::vector<std::string>{"--config", config.string()});
        ::setenv("FANSCOPE_BOARD", (dir.path / "board.sock").c_str(), 1);
        ::unsetenv("FANSCOPE_SIM_CONFIG");
    }
    void TearDown() override { board.reset(); }

    TempDir dir;
    std::unique_ptr<BoardProcess> board;
};
auto* const g_board = static_cast<SharedBoard*>(::testing::AddGlobalTestEnvironment(new SharedBoard));

// The fan's true speed, sampled as fast as the board answers, with the time.
class SpeedTrace {
public:
    explicit SpeedTrace(const fs::path& socket) : m_inspector(socket)
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                const auto rpm = m_inspector.fanRpm(1);
                if (!rpm)
                    break;
                const std::lock_guard lock(m_mutex);
                m_samples.push_back({Clock::now(), *rpm});
            }
        });
    }
    ~SpeedTrace()
    {
        m_stop = true;
        m_thread.join();
    }
    // The true speeds from `from` to `to`.
    std::pair<int, int> range(Clock::time_point from, Clock::time_point to)
    {
        const std::lock_guard lock(m_mutex);
        int low = std::numeric_limits<int>::max(), high = -1;
        for (const auto& s : m_samples)
            if (s.at >= from && s.at <= to) {
                low = std::min(low, s.rpm);
                high = std::max(high, s.rpm);
            }
        return {low, high};
    }

private:
    struct Sample {
        Clock::time_point at;
        int rpm;
    };
    BoardInspector m_inspector;
    std::mutex m_mutex;
    std::vector<Sample> m_samples;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST(BoardWindowSpeed, FollowsTheTrueSpeedWhileTheCliCharacterisesTheFan)
{
    const fs::path socket = g_board->dir.path / "board.sock";
    ASSERT_TRUE(BoardInspector(socket).fanRpm(1).has_value()) << g_board->board->log();
    shell::ScopedScriptedUi ui;
    device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(0xC0);
    device::RegisterLink.Medium = device::MediumPrinterPort;
    device::RegisterLink.PrinterMedium = 1;
    device::RegisterLink.DeviceAddress = 0x5C;
    device::RegisterLink.DeviceId = 0;
    auto form = std::make_unique<MainForm>();
    form->Setup_Device_Display();
    form->selectTab(MainForm::TabVisual);
    auto* chart = form->findChild<widgets::StripChart*>(QStringLiteral("Strip2"));
    ASSERT_NE(chart, nullptr);
    const int fanSeries = int(mainwindow::VisualParam::Fan1);

    SpeedTrace trace(socket);
    support::RunOptions options;
    options.dir = g_board->dir.path;
    options.captureOut = false;
    const pid_t cli = support::startProcess(program("fanscope-cli"), {"characterize", "--fan", "1"}, options);

    // The chip's count is the speed of its last conversion: what the fan
    // turned at up to one conversion (with a margin) before the read.
    const auto conversion = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(device::kTachConversionS / kTimeScale));
    int compared = 0, overflowed = 0;
    std::set<int> divisors;
    std::optional<int> status;
    const auto deadline = Clock::now() + 90s;
    while (!status && Clock::now() < deadline) {
        form->visualTimerTick();
        form->visualTimerTick();
        form->visualTimerTick();
        const int before = chart->pointCount(fanSeries);
        const auto from = Clock::now() - conversion;
        form->visualTimerTick();  // the fan 1 step
        const auto to = Clock::now();
        for (int i = 0; i < 3; ++i)
            form->visualTimerTick();
        if (chart->pointCount(fanSeries) == before + 1 && chart->lastValue(fanSeries)) {
            const double shown = *chart->lastValue(fanSeries);
            const auto [low, high] = trace.range(from, to);
            if (high >= 0) {
                divisors.insert(device::Fan1Divisor);
                // Stopped, or too slow for the divisor (the slowest divisor's
                // bound, within the 5 %): a count at its maximum, no speed to compare.
                if (shown == 0 && low < 1.05 * device::speedRangeRpm(1)) {
                    ++overflowed;
                } else {
                    ++compared;
                    EXPECT_TRUE(shown >= 0.95 * low && shown <= 1.05 * high)
                        << "the window showed " << shown << " RPM while the fan turned at " << low << ".." << high
                        << " RPM (divisor " << device::Fan1Divisor << ")";
                }
            }
        }
        int raw = 0;
        if (::waitpid(cli, &raw, WNOHANG) == cli)
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }
    if (!status) {
        ::kill(cli, SIGKILL);
        ::waitpid(cli, nullptr, 0);
    }
    ASSERT_TRUE(status) << "the characterisation did not end";
    EXPECT_EQ(*status, 0) << support::slurp(g_board->dir.path / "stderr");
    EXPECT_GE(compared, 50) << overflowed << " overflowed";
    std::printf("%d speeds compared, %d overflowed, divisors seen: %zu\n", compared, overflowed, divisors.size());
    EXPECT_GE(divisors.size(), 2u) << "the sweep never changed the divisor under the window";
    form.reset();
}

}  // namespace
