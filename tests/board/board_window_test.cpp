// The window on the shared board: it names the board, shows a write another
// program makes within one display cycle, keeps running when the board goes
// away, marking what it could not read with the board's sentence and showing
// nothing it did not read, and goes on by itself on a board started again.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>

#include <algorithm>
#include <cmath>
#include <thread>

#include <vexlink06/vexlink06.h>

#include "board_process.h"
#include "device/register_link.h"
#include "main_window/main_form.h"
#include "main_window/system_info.h"
#include "shell/options.h"
#include "shell/ui_services.h"
#include "widgets/indicators.h"
#include "widgets/limits_gauge.h"
#include "widgets/strip_chart.h"

namespace {

using namespace boardtest;
using mainwindow::MainForm;

// The board is up and named before anything touches the library.
class SharedBoard : public ::testing::Environment {
public:
    void SetUp() override
    {
        board = std::make_unique<BoardProcess>(dir.path / "board.sock");
        ::setenv("FANSCOPE_BOARD", (dir.path / "board.sock").c_str(), 1);
    }
    void TearDown() override { board.reset(); }

    TempDir dir;
    std::unique_ptr<BoardProcess> board;
};
auto* const g_board = static_cast<SharedBoard*>(::testing::AddGlobalTestEnvironment(new SharedBoard));

void runCycle(MainForm& form)
{
    for (int i = 0; i < 7; ++i)
        form.visualTimerTick();
}

TEST(BoardWindow, ShowsAnotherProgramsWriteAndSurvivesTheLostBoard)
{
    const fs::path socket = g_board->dir.path / "board.sock";
    EXPECT_EQ(shell::simulatedBoardText(), "Simulated board (shared, " + socket.string() + ")");

    shell::ScopedScriptedUi ui;
    device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(0xC0);
    device::RegisterLink.Medium = device::MediumPrinterPort;
    device::RegisterLink.PrinterMedium = 1;
    device::RegisterLink.DeviceAddress = 0x5C;
    device::RegisterLink.DeviceId = 0;
    auto form = std::make_unique<MainForm>();  // keeps the port claimed from here on
    form->Setup_Device_Display();
    form->selectTab(MainForm::TabVisual);
    form->resize(980, 720);
    runCycle(*form);
    const auto high = [&] { return form->limitsGauge()->pointerValue(widgets::LimitsGauge::kHighPointer); };
    EXPECT_EQ(high(), 70.0);  // the local high limit's power-on value

    // The CLI gets its turn although the window holds the port.
    support::RunOptions options;
    options.dir = g_board->dir.path;
    options.timeout = 20s;
    const auto r = support::runProcess(program("fanscope-cli"), {"set", "-y", "0x14", "0x1e"}, options);
    ASSERT_EQ(r.status, 0) << r.err;
    runCycle(*form);
    EXPECT_EQ(high(), 30.0) << "the window did not show the CLI's write within one display cycle";
    if (const char* shots = std::getenv("FANSCOPE_SCREENSHOT_DIR"))
        form->grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/shared-board-window.png"));

    const auto facts = mainwindow::gatherSystemFacts();
    const auto backEnd =
        std::find_if(facts.begin(), facts.end(), [](const auto& f) { return f.name == "Bus back-end"; });
    ASSERT_NE(backEnd, facts.end());
    EXPECT_EQ(backEnd->value.toStdString(), "simulated evaluation board (sim): the shared board at " + socket.string());

    auto* chart = form->findChild<widgets::StripChart*>(QStringLiteral("Strip2"));
    ASSERT_NE(chart, nullptr);
    const int localBefore = chart->pointCount(0);
    const double lastLocal = chart->pointAt(0, localBefore - 1);
    const double lowBefore = form->limitsGauge()->pointerValue(widgets::LimitsGauge::kLowPointer);

    g_board->board->stop(SIGKILL);
    const auto lost = Clock::now();
    runCycle(*form);
    runCycle(*form);
    EXPECT_LT(Clock::now() - lost, 1s) << "the window hung on the lost board";
    auto* reading = form->findChild<QLabel*>(QStringLiteral("lblGaugeReading"));
    ASSERT_NE(reading, nullptr);
    const std::string sentence = "the shared simulated board at " + socket.string() + " went away";
    EXPECT_EQ(reading->toolTip().toStdString(), sentence);
    EXPECT_TRUE(reading->text().endsWith(QStringLiteral(" (no answer)"))) << reading->text().toStdString();
    auto* lamp = form->findChild<widgets::ToggleIndicator*>(QStringLiteral("SSPanel11(0)"));
    ASSERT_NE(lamp, nullptr);
    EXPECT_TRUE(lamp->toolTip().toStdString().find(sentence) != std::string::npos) << lamp->toolTip().toStdString();
    EXPECT_FALSE(lamp->isHidden()) << "the lamps vanished on the lost board";
    auto* badge = form->findChild<QLabel*>(QStringLiteral("SimulatedBoardBadge"));
    ASSERT_NE(badge, nullptr);
    EXPECT_EQ(badge->text().toStdString(), "Shared simulated board lost");
    EXPECT_FALSE(badge->isHidden());
    EXPECT_TRUE(badge->toolTip().startsWith(QString::fromStdString(sentence))) << badge->toolTip().toStdString();
    EXPECT_TRUE(ui->messages.empty()) << "a box on the lost board: " << ui->messages.front().text.toStdString();
    if (const char* shots = std::getenv("FANSCOPE_SCREENSHOT_DIR"))
        form->grab().save(QString::fromLocal8Bit(shots) + QStringLiteral("/shared-board-lost.png"));
    // Nothing it did not read: a gap in the chart, the limits as they were.
    EXPECT_EQ(high(), 30.0) << "the limit moved while the board was away";
    EXPECT_EQ(form->limitsGauge()->pointerValue(widgets::LimitsGauge::kLowPointer), lowBefore);
    ASSERT_GT(chart->pointCount(0), localBefore);
    for (int i = localBefore; i < chart->pointCount(0); ++i)
        EXPECT_TRUE(std::isnan(chart->pointAt(0, i))) << "a reading in the chart while away: " << chart->pointAt(0, i);
    EXPECT_EQ(chart->lastValue(0), std::nullopt);

    // A board started again: within the link's backoff the window reads it,
    // its power-on limit, and the marks go.
    g_board->board = std::make_unique<BoardProcess>(socket);
    const auto deadline = Clock::now() + 5s;
    while (badge->text().toStdString() == "Shared simulated board lost" && Clock::now() < deadline) {
        runCycle(*form);
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(badge->text().toStdString(), "Simulated board (shared, " + socket.string() + ")");
    runCycle(*form);
    EXPECT_EQ(high(), 70.0) << "the window did not read the board that came back";
    EXPECT_FALSE(lamp->toolTip().toStdString().find(sentence) != std::string::npos) << lamp->toolTip().toStdString();
    EXPECT_FALSE(reading->text().endsWith(QStringLiteral(" (no answer)"))) << reading->text().toStdString();
    ASSERT_TRUE(chart->lastValue(0).has_value());
    EXPECT_NEAR(*chart->lastValue(0), lastLocal, 5.0);
    EXPECT_TRUE(ui->messages.empty()) << "a box on the board's return: " << ui->messages.front().text.toStdString();
    form.reset();
}

}  // namespace
