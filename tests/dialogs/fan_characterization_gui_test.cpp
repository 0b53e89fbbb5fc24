// The Characterise Fan window on the simulated board: a run draws both
// sweeps and marks start and stall, Cancel and closing the window mid-sweep
// leave the chip as it was, the single-fan chip offers one fan, Save writes
// files a reader opens, and the window reads on a dark palette (a screenshot
// is written when FANSCOPE_SCREENSHOT_DIR names a folder). Closing the
// window or the main window inside one of the program's yielding transfers
// (the bus mutex held on the UI thread) neither hangs nor leaves the chip
// changed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "dialogs/frm_fan_characterization.h"
#include "main_window/main_form.h"
#include "plot/fan_curve_plot.h"
#include "shell/application.h"
#include "shell/ui_services.h"
#include "support/two_chip_board.h"
#include "support/watchdog.h"

#include <QPointer>

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

namespace {

// The two-chip board, fan 1 of the TFM4411 starting at 40 % and stalling
// below 27 %.
class Board : public ::testing::Environment {
public:
    void SetUp() override
    {
        sim::Config config;
        sim::ChipConfig dual;
        dual.fans[0].startDutyPct = 40;
        dual.fans[0].stopDutyPct = 27;
        sim::ChipConfig single;
        single.variant = sim::ChipVariant::Tfm4410;
        single.address = testsupport::kTfm4410At;
        config.ports.front().chips = {dual, single};
        config.time = sim::TimeMode::Manual;
        sim::board().configure(config);
        device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(240);
    }
};
const auto* const g_board = ::testing::AddGlobalTestEnvironment(new Board);

// The library's waits pass the event loop through the program's hook, and
// every transaction ends with such a wait; undone on leaving.
class YieldingTransfers {
public:
    YieldingTransfers()
    {
        const auto proto = device::ComPort()->PrinterPort()->SMBusProtocall();
        proto->setRelativeDelayOn(vexlink06::True);
        proto->setFrameDelay(3);
        vexlink06::setEventLoopYield(shell::yieldToEventLoop);
    }
    ~YieldingTransfers()
    {
        vexlink06::setEventLoopYield(nullptr);
        const auto proto = device::ComPort()->PrinterPort()->SMBusProtocall();
        proto->setFrameDelay(0);
        proto->setRelativeDelayOn(vexlink06::False);
    }
    YieldingTransfers(const YieldingTransfers&) = delete;
    YieldingTransfers& operator=(const YieldingTransfers&) = delete;
};

// Notes whether a close reached the watched window while the UI thread was
// inside a register link transfer (and so held the bus mutex).
class CloseWitness : public QObject {
public:
    bool inTransfer = false;
    int closes = 0;
    int closesInTransfer = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Close) {
            ++closes;
            closesInTransfer += inTransfer ? 1 : 0;
        }
        return QObject::eventFilter(watched, event);
    }
};

// Posts a close to `target`, then reads a register through the register
// link: the close arrives inside the transfer's wait.
void closeInsideATransfer(QWidget* target, CloseWitness& witness)
{
    target->installEventFilter(&witness);
    QMetaObject::invokeMethod(target, &QWidget::close, Qt::QueuedConnection);
    witness.inTransfer = true;
    device::readRegister(device::reg::DeviceId);
    witness.inTransfer = false;
}

constexpr std::array<std::uint8_t, 6> kTouched{0x00, 0x01, 0x20, 0x21, 0x22, 0x23};

class FanWindowTest : public ::testing::Test {
protected:
    // paced: each wait also takes a little real time, so a test can act
    // while the sweep is still under way.
    void open(std::uint8_t address = testsupport::kTfm4411At, bool paced = false)
    {
        testsupport::connectTo(address);
        chip = &testsupport::chipAt(address);
        chip->poke(device::reg::Configuration1, 0x19);
        chip->poke(device::reg::FanSpeedConfiguration, 0x55);
        for (std::uint8_t r : kTouched)
            before[r] = chip->peek(r);
        window = std::make_unique<dialogs::frmFanCharacterization>(dialogs::programChipLocation());
        device::CharacterizationOptions o;
        // The board's manual clock, moved by the measurement's waits on its
        // own thread: under the bus lock, as every transfer is.
        o.now = [] {
            const std::lock_guard lock(device::Session::busMutex());
            return sim::board().nowMs() / 1000.0;
        };
        o.sleep = [paced](double s) {
            if (paced)
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            const std::lock_guard lock(device::Session::busMutex());
            sim::board().advanceMs(s * 1000.0);
        };
        window->setOptions(o);
        window->show();
    }
    void TearDown() override { window.reset(); }

    template <class T> T* child(const char* name) { return window->findChild<T*>(QString::fromLatin1(name)); }
    int points() const
    {
        int n = 0;
        for (const auto& f : window->view()->fans())
            n += static_cast<int>(f.points.size());
        return n;
    }
    bool waitFinished(QSignalSpy& spy) { return spy.count() > 0 || spy.wait(20000); }
    void expectRestored()
    {
        for (std::uint8_t r : kTouched)
            EXPECT_EQ(chip->peek(r), before[r]) << device::registerLabel(r);
    }

    std::unique_ptr<dialogs::frmFanCharacterization> window;
    sim::Chip* chip = nullptr;
    std::array<std::uint8_t, 256> before{};
};

TEST_F(FanWindowTest, RunDrawsBothSweepsMarksStartAndStallAndRestores)
{
    open();
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    EXPECT_FALSE(child<QPushButton>("cmdSave")->isEnabled());
    child<QPushButton>("cmdStart")->click();
    EXPECT_TRUE(child<QPushButton>("cmdCancel")->isEnabled());
    ASSERT_TRUE(waitFinished(done));
    EXPECT_EQ(done.at(0).at(0).toInt(), static_cast<int>(device::CharacterizationOutcome::Done));
    const auto& fans = window->view()->fans();
    ASSERT_EQ(fans.size(), 1u);
    EXPECT_EQ(fans[0].points.size(), 32u);
    EXPECT_EQ(fans[0].startDutyPercent, 40);
    EXPECT_EQ(fans[0].stopDutyPercent, 33);
    EXPECT_NE(window->view()->accessibleDescription().indexOf(QStringLiteral("starts at 40 %")), -1);
    EXPECT_EQ(child<QProgressBar>("prgSweep")->value(), child<QProgressBar>("prgSweep")->maximum());
    EXPECT_NE(child<QLabel>("lblStatus")->text().indexOf(QStringLiteral("restored")), -1);
    EXPECT_TRUE(child<QPushButton>("cmdSave")->isEnabled());
    expectRestored();
}

TEST_F(FanWindowTest, CancelMidSweepRestoresTheChip)
{
    open(testsupport::kTfm4411At, true);
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return points() >= 10; }, 20000));
    ASSERT_TRUE(window->running());
    child<QPushButton>("cmdCancel")->click();
    ASSERT_TRUE(waitFinished(done));
    EXPECT_EQ(done.at(0).at(0).toInt(), static_cast<int>(device::CharacterizationOutcome::Cancelled));
    EXPECT_NE(child<QLabel>("lblStatus")->text().indexOf(QStringLiteral("Cancelled")), -1);
    EXPECT_TRUE(child<QPushButton>("cmdStart")->isEnabled());
    expectRestored();
}

TEST_F(FanWindowTest, ClosingTheWindowMidSweepRestoresTheChip)
{
    open(testsupport::kTfm4411At, true);
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return points() >= 5; }, 20000));
    ASSERT_TRUE(window->running());
    window->close();
    EXPECT_FALSE(window->isVisible());
    // The close completes when the measurement has restored the chip.
    ASSERT_TRUE(waitFinished(done));
    EXPECT_EQ(done.at(0).at(0).toInt(), static_cast<int>(device::CharacterizationOutcome::Cancelled));
    EXPECT_FALSE(window->running());
    EXPECT_FALSE(window->closing());
    expectRestored();
}

TEST_F(FanWindowTest, ClosingInsideAYieldingTransferNeitherHangsNorLeavesTheChipChanged)
{
    open(testsupport::kTfm4411At, true);
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return points() >= 5; }, 20000));
    ASSERT_TRUE(window->running());
    CloseWitness witness;
    {
        const support::Watchdog watchdog(std::chrono::seconds(60), "closing the window inside a transfer");
        const YieldingTransfers yielding;
        closeInsideATransfer(window.get(), witness);
        ASSERT_EQ(witness.closesInTransfer, 1);
        EXPECT_FALSE(window->isVisible());  // gone for the user at once
        ASSERT_TRUE(waitFinished(done));
    }
    EXPECT_EQ(done.at(0).at(0).toInt(), static_cast<int>(device::CharacterizationOutcome::Cancelled));
    EXPECT_FALSE(window->running());
    EXPECT_FALSE(window->closing());
    EXPECT_FALSE(window->isVisible());
    EXPECT_NE(child<QLabel>("lblStatus")->text().indexOf(QStringLiteral("restored")), -1);
    expectRestored();
}

TEST_F(FanWindowTest, SingleFanChipOffersOneFanAndTheButtonsAreNamed)
{
    open(testsupport::kTfm4410At);
    EXPECT_EQ(child<QComboBox>("cmbFan")->count(), 1);
    for (const char* name : {"cmbFan", "cmdStart", "cmdCancel", "cmdSave", "cmdClose", "prgSweep", "FanCurves"}) {
        auto* w = child<QWidget>(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_FALSE(w->accessibleName().isEmpty()) << name;
        if (std::string_view(name) != "prgSweep") {
            EXPECT_NE(w->focusPolicy() & Qt::TabFocus, 0) << name;
        }
    }
    EXPECT_NE(child<QLabel>("lblChip")->text().indexOf(QStringLiteral("TFM4410")), -1);
}

TEST_F(FanWindowTest, SaveWritesCsvPngAndSvgThatReadersOpen)
{
    open();
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(waitFinished(done));
    QTemporaryDir dir;
    shell::ScopedScriptedUi scripted;
    for (const char* name : {"fan.csv", "fan.png", "fan.svg"}) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        scripted->fileAnswers << path;
        child<QPushButton>("cmdSave")->click();
        EXPECT_TRUE(QFileInfo::exists(path)) << name;
    }
    QFile csv(dir.filePath(QStringLiteral("fan.csv")));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_TRUE(csv.readLine().startsWith("fan,direction,duty_code"));
    QImage png(dir.filePath(QStringLiteral("fan.png")));
    EXPECT_FALSE(png.isNull());
    EXPECT_EQ(png.size(), QSize(800, 500));
    QFile svg(dir.filePath(QStringLiteral("fan.svg")));
    ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
    EXPECT_TRUE(svg.readAll().contains("<svg"));

    const QString bad = dir.filePath(QStringLiteral("fan.txt"));
    scripted->fileAnswers << bad;
    child<QPushButton>("cmdSave")->click();
    EXPECT_FALSE(QFileInfo::exists(bad));
    ASSERT_FALSE(scripted->messages.empty());
    EXPECT_NE(scripted->messages.back().text.indexOf(QStringLiteral(".svg or .png")), -1);
}

// The plot follows the palette: on a dark one its background is dark and
// both sweeps are drawn in colours that stand out from it.
TEST_F(FanWindowTest, ScreenshotOnADarkPaletteReads)
{
    open();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Text, QColor(0xe8, 0xe8, 0xe8));
    dark.setColor(QPalette::WindowText, QColor(0xe8, 0xe8, 0xe8));
    dark.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xe8));
    window->setPalette(dark);
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(waitFinished(done));
    const QImage shot = window->grab().toImage();
    const QImage plot = window->view()->grab().toImage();
    EXPECT_LT(QColor(plot.pixel(plot.width() / 2, plot.height() - 2)).lightnessF(), 0.3);
    const auto colours = plot::FanPlotColours::fromPalette(dark);
    int up = 0, down = 0;
    for (int y = 0; y < plot.height(); ++y)
        for (int x = 0; x < plot.width(); ++x) {
            const QRgb p = plot.pixel(x, y);
            up += p == colours.up.rgb();
            down += p == colours.down.rgb();
        }
    EXPECT_GT(up, 50);
    EXPECT_GT(down, 50);
    EXPECT_GT(colours.up.lightnessF(), 0.55);
    EXPECT_GT(colours.down.lightnessF(), 0.55);
    if (const QString out = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR"); !out.isEmpty())
        shot.save(QDir(out).filePath(QStringLiteral("fan-characterisation.png")));
}

TEST(FanWindowOpenTest, ControlTabButtonOpensTheWindow)
{
    testsupport::connectTo(testsupport::kTfm4411At);
    mainwindow::MainForm form;
    auto* button = form.findChild<QPushButton*>(QStringLiteral("cmdCharacterise"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), QStringLiteral("Characterise Fan..."));
    button->click();
    ASSERT_NE(form.characteriseWindow(), nullptr);
    EXPECT_EQ(form.characteriseWindow()->objectName(), QStringLiteral("frmFanCharacterization"));
    form.characteriseWindow()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// The main window closed inside a transfer a handler of its own may have
// started: it goes only once the transfer has returned, never under it.
TEST(FanWindowOpenTest, MainWindowClosedInsideATransferGoesAfterIt)
{
    testsupport::connectTo(testsupport::kTfm4411At);
    QPointer<mainwindow::MainForm> form = new mainwindow::MainForm;
    form->setAttribute(Qt::WA_DeleteOnClose);
    CloseWitness witness;
    {
        const YieldingTransfers yielding;
        closeInsideATransfer(form.data(), witness);
        ASSERT_EQ(witness.closesInTransfer, 1);
        ASSERT_FALSE(form.isNull());
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                return form.isNull();
            },
            5000));
    }
    if (form)
        delete form.data();
}

// The program's main window closed inside its own transfer while the
// window measures: it stays until the measurement has restored the chip,
// then goes, its fan window with it.
TEST(FanWindowOpenTest, MainWindowClosedInsideATransferWaitsForTheRestore)
{
    testsupport::connectTo(testsupport::kTfm4411At);
    sim::Chip& chip = testsupport::chipAt(testsupport::kTfm4411At);
    chip.poke(device::reg::Configuration1, 0x19);
    chip.poke(device::reg::FanSpeedConfiguration, 0x55);
    std::array<std::uint8_t, 256> before{};
    for (std::uint8_t r : kTouched)
        before[r] = chip.peek(r);

    QPointer<mainwindow::MainForm> form = new mainwindow::MainForm;
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->findChild<QPushButton*>(QStringLiteral("cmdCharacterise"))->click();
    QPointer<dialogs::frmFanCharacterization> window =
        qobject_cast<dialogs::frmFanCharacterization*>(form->characteriseWindow());
    ASSERT_NE(window, nullptr);
    device::CharacterizationOptions o;
    o.now = [] {
        const std::lock_guard lock(device::Session::busMutex());
        return sim::board().nowMs() / 1000.0;
    };
    o.sleep = [](double s) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        const std::lock_guard lock(device::Session::busMutex());
        sim::board().advanceMs(s * 1000.0);
    };
    window->setOptions(o);
    window->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !window->view()->fans().empty() && window->view()->fans()[0].points.size() >= 3; }, 20000));
    ASSERT_TRUE(window->running());

    CloseWitness witness;
    {
        const support::Watchdog watchdog(std::chrono::seconds(60), "closing the main window inside a transfer");
        const YieldingTransfers yielding;
        closeInsideATransfer(form.data(), witness);
        ASSERT_EQ(witness.closesInTransfer, 1);
        ASSERT_FALSE(form.isNull());  // not while the measurement may still change the chip
        EXPECT_FALSE(window->isVisible());
        // The close then completes on its own, with the window's.
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                return form.isNull();
            },
            20000));
    }
    EXPECT_TRUE(window.isNull());
    for (std::uint8_t r : kTouched)
        EXPECT_EQ(chip.peek(r), before[r]) << device::registerLabel(r);
    if (form)
        delete form.data();
}

}  // namespace
