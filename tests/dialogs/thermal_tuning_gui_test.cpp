// The Tune Automatic Control window on the simulated board (remote 1 of the
// TFM4411 cooled by fan 1, the TFM4410's remote by its fan), the board's
// manual clock moved by the runs' waits on their own thread: Identify plots
// the path live and leaves the chip and heater as they were, the proposal
// draws its predicted path on the curve, Apply writes the two settings as
// one group Undo takes back, Verify draws the measured path over the
// predicted one; a target the fan cannot meet offers nothing to apply; a
// close mid-run hides the window and restores the chip; the single-channel
// chip offers its one remote. With FANSCOPE_SCREENSHOT_DIR set the window
// is written there as a PNG after a verification.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "device/thermal_loop.h"
#include "device/write_log.h"
#include "dialogs/control_curve_plot.h"
#include "dialogs/frm_fan_characterization.h"
#include "dialogs/frm_thermal_tuning.h"
#include "main_window/main_form.h"
#include "plot/thermal_plot.h"
#include "support/board_environment.h"
#include "support/two_chip_board.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

namespace {

sim::Config loopBoard()
{
    sim::Config config = testsupport::twoChipConfig();
    for (sim::ChipConfig& chip : config.ports.front().chips) {
        chip.fans[0].startDutyPct = 20;
        chip.fans[0].stopDutyPct = 12;
        sim::ThermalConfig t;
        t.channel = 1;
        t.fan = 1;
        t.stillAirRiseC = 45;
        t.fullAirflowRiseC = 12;
        t.tauS = 30;
        t.lagS = 3;
        chip.thermal = {t};
    }
    return config;
}
const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::BoardEnvironment(loopBoard(), 0xC0));

// The board's manual clock under the bus lock, as every transfer is; paced:
// each wait also takes a little real time, so a test can act mid-run.
device::ThermalOptions boardClock(bool paced)
{
    device::ThermalOptions o;
    o.now = [] {
        const std::lock_guard lock(device::Session::busMutex());
        return sim::board().nowMs() / 1000.0;
    };
    o.sleep = [paced](double s) {
        if (paced)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::lock_guard lock(device::Session::busMutex());
        sim::board().advanceMs(s * 1000.0);
    };
    return o;
}

// Counts the view's updates (each sets its tooltip to what it shows).
class UpdateCount : public QObject {
public:
    explicit UpdateCount(QWidget* view) { view->installEventFilter(this); }
    int updates = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ToolTipChange)
            ++updates;
        return QObject::eventFilter(watched, event);
    }
};

constexpr std::array<std::uint8_t, 7> kWatched{0x00, 0x01, 0x20, 0x21, 0x22, 0x23, 0x25};

class TuningWindowTest : public ::testing::Test {
protected:
    void open(std::uint8_t address = testsupport::kTfm4411At, bool paced = false)
    {
        testsupport::connectTo(address);
        device::writeLog().clear();
        chip = &testsupport::chipAt(address);
        chip->poke(device::reg::Configuration1, 0x19);
        chip->poke(device::reg::FanSpeedConfiguration, 0x37);
        for (std::uint8_t r : kWatched)
            before[r] = chip->peek(r);
        window = std::make_unique<dialogs::frmThermalTuning>(device::programChipLocation());
        window->setOptions(boardClock(paced));
        window->show();
    }
    void TearDown() override { window.reset(); }

    template <class T> T* child(const char* name) { return window->findChild<T*>(QString::fromLatin1(name)); }
    QString status() { return child<QLabel>("lblStatus")->text(); }
    bool finishedRun(QSignalSpy& spy, int count = 1) { return spy.count() >= count || spy.wait(30000); }
    void identify()
    {
        QSignalSpy done(window.get(), &dialogs::frmThermalTuning::finished);
        child<QPushButton>("cmdIdentify")->click();
        EXPECT_TRUE(child<QPushButton>("cmdCancel")->isEnabled());
        ASSERT_TRUE(finishedRun(done));
        EXPECT_EQ(done.at(0).at(1).toInt(), static_cast<int>(device::CharacterizationOutcome::Done))
            << status().toStdString();
    }
    void expectAsBefore()
    {
        for (std::uint8_t r : kWatched)
            EXPECT_EQ(chip->peek(r), before[r]) << device::registerLabel(r);
        EXPECT_FALSE(device::boardHeater(1).get());
    }

    std::unique_ptr<dialogs::frmThermalTuning> window;
    sim::Chip* chip = nullptr;
    std::array<std::uint8_t, 256> before{};
};

TEST_F(TuningWindowTest, IdentifyProposeApplyUndoableAndVerify)
{
    open();
    EXPECT_FALSE(child<QPushButton>("cmdApply")->isEnabled());
    EXPECT_FALSE(child<QPushButton>("cmdVerify")->isEnabled());
    // The path grows on screen while the run goes on.
    UpdateCount live(window->view());
    ASSERT_NO_FATAL_FAILURE(identify());
    EXPECT_GT(live.updates, 100);
    const auto& model = window->model();
    ASSERT_TRUE(model);
    EXPECT_NEAR(model->tauS, 30, 6);
    EXPECT_GT(window->view()->data().trace.size(), 100u);
    EXPECT_EQ(window->view()->data().levelsC.size(), model->points.size());
    EXPECT_NE(status().indexOf(QStringLiteral("restored")), -1) << status().toStdString();
    expectAsBefore();

    // The proposal for 55 °C, its predicted path on the curve.
    ASSERT_TRUE(window->choice());
    const device::TuneChoice c = *window->choice();
    EXPECT_LE(c.predictedSteadyC, 55.0);
    EXPECT_NE(child<QLabel>("lblProposal")->text().indexOf(QStringLiteral("Tmin %1 °C").arg(c.tminC)), -1);
    ASSERT_EQ(window->curves()->paths().size(), 1u);
    EXPECT_FALSE(window->curves()->paths()[0].measured);
    ASSERT_EQ(window->curves()->fan().curves.size(), 1u);
    EXPECT_EQ(window->curves()->fan().curves[0].tminC, c.tminC);
    EXPECT_FALSE(child<QPushButton>("cmdVerify")->isEnabled());  // not before Apply

    // Apply: the two settings, old -> new shown, one undoable group.
    ASSERT_TRUE(child<QPushButton>("cmdApply")->isEnabled());
    child<QPushButton>("cmdApply")->click();
    EXPECT_EQ(chip->peek(device::reg::Remote1TminTrange), c.tminTrange);
    EXPECT_EQ(chip->peek(device::reg::FanSpeedConfiguration), (before[0x22] & 0xF0) | c.minDutyCode);
    EXPECT_NE(status().indexOf(QStringLiteral("->")), -1) << status().toStdString();
    EXPECT_NE(device::writeLog().undoText().find("Tune Automatic Control"), std::string::npos)
        << device::writeLog().undoText();
    EXPECT_FALSE(child<QPushButton>("cmdApply")->isEnabled());
    ASSERT_TRUE(child<QPushButton>("cmdVerify")->isEnabled());
    std::array<std::uint8_t, 256> applied{};
    for (std::uint8_t r : kWatched)
        applied[r] = chip->peek(r);

    // Verify: the measured path over the predicted one; the settings stay.
    QSignalSpy done(window.get(), &dialogs::frmThermalTuning::finished);
    child<QPushButton>("cmdVerify")->click();
    ASSERT_TRUE(finishedRun(done));
    EXPECT_EQ(done.at(0).at(0).toInt(), 1);
    ASSERT_EQ(done.at(0).at(1).toInt(), static_cast<int>(device::CharacterizationOutcome::Done))
        << status().toStdString();
    ASSERT_TRUE(window->verified());
    EXPECT_LE(window->verified()->measuredSteadyC, 56.0);
    EXPECT_LE(window->verified()->rmsErrorC, 1.5);
    const auto& paths = window->curves()->paths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_TRUE(paths[1].measured);
    EXPECT_GT(paths[1].points.size(), 100u);
    EXPECT_FALSE(window->view()->data().predicted.empty());
    EXPECT_NE(status().indexOf(QStringLiteral("prediction error")), -1) << status().toStdString();
    for (std::uint8_t r : kWatched)
        EXPECT_EQ(chip->peek(r), applied[r]) << device::registerLabel(r);
    EXPECT_FALSE(device::boardHeater(1).get());

    if (const char* dir = std::getenv("FANSCOPE_SCREENSHOT_DIR")) {
        window->resize(760, 720);
        QTest::qWait(50);
        window->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(QStringLiteral("thermal-tuning.png")));
    }

    // Undo takes both settings back at once.
    const device::UndoResult undone = device::writeLog().undo();
    EXPECT_TRUE(undone.done) << undone.message;
    expectAsBefore();
}

TEST_F(TuningWindowTest, AnUnmeetableTargetOffersNothingToApply)
{
    open();
    ASSERT_NO_FATAL_FAILURE(identify());
    child<QDoubleSpinBox>("spnTarget")->setValue(30);
    EXPECT_FALSE(window->choice());
    EXPECT_NE(child<QLabel>("lblProposal")->text().indexOf(QStringLiteral("cannot be met")), -1)
        << child<QLabel>("lblProposal")->text().toStdString();
    EXPECT_FALSE(child<QPushButton>("cmdApply")->isEnabled());
    EXPECT_TRUE(window->curves()->paths().empty());
    // Just above full airflow: a fast fan, still a proposal.
    const double full = window->model()->ambientC + window->model()->riseAt(1.0);
    child<QDoubleSpinBox>("spnTarget")->setValue(full + 1.0);
    ASSERT_TRUE(window->choice());
    EXPECT_GE(window->choice()->predictedSteadyDutyPercent, 60.0);
    expectAsBefore();
}

TEST_F(TuningWindowTest, ClosingMidIdentifyHidesRestoresAndThenCloses)
{
    open(testsupport::kTfm4411At, true);
    QSignalSpy done(window.get(), &dialogs::frmThermalTuning::finished);
    child<QPushButton>("cmdIdentify")->click();
    QTest::qWait(300);
    ASSERT_TRUE(window->running());
    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(window->closing());
    ASSERT_TRUE(finishedRun(done));
    EXPECT_EQ(done.at(0).at(1).toInt(), static_cast<int>(device::CharacterizationOutcome::Cancelled));
    EXPECT_FALSE(window->closing());
    expectAsBefore();
}

TEST_F(TuningWindowTest, TheSingleChannelChipOffersItsOneRemote)
{
    open(testsupport::kTfm4410At);
    auto* channel = child<QComboBox>("cmbChannel");
    ASSERT_EQ(channel->count(), 1);
    EXPECT_EQ(channel->currentData().toInt(), 1);
    if (const char* dir = std::getenv("FANSCOPE_SCREENSHOT_DIR")) {
        QTest::qWait(50);
        window->grab().save(QDir(QString::fromLocal8Bit(dir)).filePath(QStringLiteral("thermal-tuning-new.png")));
    }
    ASSERT_NO_FATAL_FAILURE(identify());
    ASSERT_TRUE(window->choice());
    expectAsBefore();
}

// The Control tab's button opens the window; the main window closed while
// it identifies stays until the run has restored the chip, then goes with it.
TEST(TuningWindowOpenTest, MainWindowClosedMidRunWaitsForTheRestore)
{
    testsupport::connectTo(testsupport::kTfm4411At);
    sim::Chip& chip = testsupport::chipAt(testsupport::kTfm4411At);
    chip.poke(device::reg::Configuration1, 0x19);
    std::array<std::uint8_t, 256> before{};
    for (std::uint8_t r : kWatched)
        before[r] = chip.peek(r);
    QPointer<mainwindow::MainForm> form = new mainwindow::MainForm;
    form->setAttribute(Qt::WA_DeleteOnClose);
    auto* button = form->findChild<QPushButton*>(QStringLiteral("cmdTuneControl"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QStringLiteral("Tune Automatic Control..."));
    button->click();
    QPointer<dialogs::frmThermalTuning> window = qobject_cast<dialogs::frmThermalTuning*>(form->tuningWindow());
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tune Automatic Control"));
    window->setOptions(boardClock(true));
    window->findChild<QPushButton*>(QStringLiteral("cmdIdentify"))->click();
    QTest::qWait(300);
    ASSERT_TRUE(window->running());
    form->close();
    ASSERT_FALSE(form.isNull());  // not while the run may still change the chip
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            return form.isNull();
        },
        20000));
    EXPECT_TRUE(window.isNull());
    for (std::uint8_t r : kWatched)
        EXPECT_EQ(chip.peek(r), before[r]) << device::registerLabel(r);
    EXPECT_FALSE(device::boardHeater(1).get());
}

}  // namespace
