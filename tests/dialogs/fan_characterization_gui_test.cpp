// The Characterise Fan window on the simulated board: a run draws both
// sweeps and marks start and stall, Cancel and closing the window mid-sweep
// leave the chip as it was, the single-fan chip offers one fan, Save writes
// files a reader opens, and the window reads on a dark palette (a screenshot
// is written when FANSCOPE_SCREENSHOT_DIR names a folder). A close posted
// while the user-interface thread is in a yielding transfer (the bus mutex
// held) is handled after the transfer, never inside it, and neither hangs
// nor leaves the chip changed, at any point of a sweep with the main window
// polling. Verdicts are stated only once the sweep has decided them, and the
// main window's fan speed stays true while the measurement moves the tach
// divisor.
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

#include "device/bus_route.h"
#include "device/conversions.h"
#include "device/device_session.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "dialogs/frm_fan_characterization.h"
#include "main_window/latest_readings.h"
#include "main_window/main_form.h"
#include "plot/fan_curve_plot.h"
#include "shell/application.h"
#include "shell/ui_services.h"
#include "support/two_chip_board.h"
#include "support/watchdog.h"

#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <set>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

namespace {

// The two-chip board, fan 1 of the TFM4411 starting at 40 % and stalling
// below 27 %, its fan 2 blocked.
class Board : public ::testing::Environment {
public:
    void SetUp() override
    {
        sim::Config config;
        sim::ChipConfig dual;
        dual.fans[0].startDutyPct = 40;
        dual.fans[0].stopDutyPct = 27;
        dual.fans[1].stalled = true;
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

// Counts the events the user-interface thread handles while it holds the
// bus mutex: a handler run there could wait for a thread that needs the bus.
class EventsUnderTheBus : public QObject {
public:
    EventsUnderTheBus() { QCoreApplication::instance()->installEventFilter(this); }
    ~EventsUnderTheBus() override { QCoreApplication::instance()->removeEventFilter(this); }
    EventsUnderTheBus(const EventsUnderTheBus&) = delete;
    EventsUnderTheBus& operator=(const EventsUnderTheBus&) = delete;
    int count = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (device::BusMutex::heldHere())
            ++count;
        return QObject::eventFilter(watched, event);
    }
};

// The board's manual clock, moved by the measurement's waits on its own
// thread: under the bus lock, as every transfer is. Paced: each wait also
// takes a little real time, so a test can act while the sweep goes on.
device::CharacterizationOptions boardClock(bool paced)
{
    device::CharacterizationOptions o;
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
    return o;
}

// Posts a close to `target`, then reads a register through the register
// link: the close is posted while the transfer waits.
void closeDuringATransfer(QWidget* target, CloseWitness& witness)
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
        window = std::make_unique<dialogs::frmFanCharacterization>(device::programChipLocation());
        window->setOptions(boardClock(paced));
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

// What the window says of a fan while the sweep runs: each verdict only
// once the sweep has decided it, "measuring..." until then; a blocked fan
// is said not to turn only at the end.
class VerdictWatch : public QObject {
public:
    explicit VerdictWatch(dialogs::FanCurveView* view) : m_view(view) { view->installEventFilter(this); }
    std::vector<QString> wrong;  // what was said too early, with the points then
    int measuring = 0;           // updates that said "measuring..."
    int updates = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == m_view && event->type() == QEvent::ToolTipChange)
            check();
        return QObject::eventFilter(watched, event);
    }

private:
    void check()
    {
        ++updates;
        const QString said = m_view->accessibleDescription();
        if (said.contains(QStringLiteral("measuring...")))
            ++measuring;
        if (m_view->fans().empty())
            return;
        const auto& points = m_view->fans().back().points;
        // No verdicts given: the measurement's own result, all decided.
        const bool finished =
            m_view->verdicts().empty() || (m_view->verdicts().back().stall == plot::Verdict::Decided &&
                                           m_view->verdicts().back().turns == plot::Verdict::Decided);
        const auto down = std::count_if(points.begin(), points.end(), [](const device::CharacterizationPoint& p) {
            return p.direction == device::SweepDirection::Down;
        });
        // The stall duty is the lowest that still turns on the way down:
        // known once the way down has reached 0.
        if (said.contains(QStringLiteral("stalls below")) && down < 16)
            wrong.push_back(QStringLiteral("%1 (%2 points)").arg(said).arg(points.size()));
        if (said.contains(QStringLiteral("does not turn")) && !finished)
            wrong.push_back(QStringLiteral("%1 (%2 points)").arg(said).arg(points.size()));
    }
    dialogs::FanCurveView* m_view;
};

TEST_F(FanWindowTest, VerdictsReadMeasuringUntilTheSweepHasDecidedThem)
{
    for (const int fan : {1, 2}) {
        SCOPED_TRACE(fan);
        open(testsupport::kTfm4411At, true);
        VerdictWatch watch(window->view());
        QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
        child<QComboBox>("cmbFan")->setCurrentIndex(fan - 1);
        child<QPushButton>("cmdStart")->click();
        ASSERT_TRUE(waitFinished(done));
        ASSERT_EQ(done.at(0).at(0).toInt(), static_cast<int>(device::CharacterizationOutcome::Done));
        EXPECT_GT(watch.updates, 10);
        EXPECT_GT(watch.measuring, 5);
        EXPECT_TRUE(watch.wrong.empty()) << watch.wrong.front().toStdString();
        const QString said = window->view()->accessibleDescription();
        EXPECT_EQ(said.indexOf(QStringLiteral("measuring...")), -1) << said.toStdString();
        if (fan == 1) {
            EXPECT_NE(said.indexOf(QStringLiteral("starts at 40 %")), -1) << said.toStdString();
            EXPECT_NE(said.indexOf(QStringLiteral("stalls below 33 %")), -1) << said.toStdString();
        } else {
            EXPECT_NE(said.indexOf(QStringLiteral("does not turn")), -1) << said.toStdString();
        }
        window.reset();
    }
}

// Cancelled, the window says nothing it had not decided.
TEST_F(FanWindowTest, ACancelledSweepLeavesUndecidedVerdictsUnsaid)
{
    open(testsupport::kTfm4411At, true);
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return points() >= 20; }, 20000));
    child<QPushButton>("cmdCancel")->click();
    ASSERT_TRUE(waitFinished(done));
    const QString said = window->view()->accessibleDescription();
    EXPECT_EQ(said.indexOf(QStringLiteral("measuring...")), -1) << said.toStdString();
    EXPECT_EQ(said.indexOf(QStringLiteral("stalls below")), -1) << said.toStdString();
    EXPECT_EQ(said.indexOf(QStringLiteral("does not turn")), -1) << said.toStdString();
    EXPECT_NE(said.indexOf(QStringLiteral("starts at 40 %")), -1) << said.toStdString();
}

// Fan 2 under automatic control cannot keep it while fan 1 is measured: the
// window says so under its status line as the run starts, and a new run
// starts without the old note.
TEST_F(FanWindowTest, TheOtherFanLeavingAutomaticControlIsSaidAtTheStart)
{
    open(testsupport::kTfm4411At, true);
    chip->poke(device::reg::Configuration1, 0x99);
    before[device::reg::Configuration1] = 0x99;
    window->findChild<QComboBox*>()->setCurrentIndex(window->findChild<QComboBox*>()->findData(1));
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    auto* notice = child<QLabel>("lblNotice");
    EXPECT_FALSE(notice->isVisible());
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return notice->isVisible(); }, 20000));
    EXPECT_EQ(notice->text(), QStringLiteral("Fan 2 leaves automatic control while fan 1 is measured: it runs at its "
                                             "duty code's 33 % until the measurement ends."));
    child<QPushButton>("cmdCancel")->click();
    ASSERT_TRUE(waitFinished(done));
    expectRestored();

    chip->poke(device::reg::Configuration1, 0x19);
    before[device::reg::Configuration1] = 0x19;
    done.clear();
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return points() >= 1; }, 20000));
    EXPECT_FALSE(notice->isVisible());
    child<QPushButton>("cmdCancel")->click();
    ASSERT_TRUE(waitFinished(done));
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

TEST_F(FanWindowTest, ACloseDuringAYieldingTransferComesAfterItNeitherHangsNorLeavesTheChipChanged)
{
    open(testsupport::kTfm4411At, true);
    QSignalSpy done(window.get(), &dialogs::frmFanCharacterization::finished);
    child<QPushButton>("cmdStart")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return points() >= 5; }, 20000));
    ASSERT_TRUE(window->running());
    CloseWitness witness;
    {
        const support::Watchdog watchdog(std::chrono::seconds(60), "closing the window during a transfer");
        const YieldingTransfers yielding;
        closeDuringATransfer(window.get(), witness);
        EXPECT_EQ(witness.closesInTransfer, 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return witness.closes > 0; }, 5000));
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

// The main window closed during a transfer a handler of its own may have
// started: it goes only once the transfer has returned, never under it.
TEST(FanWindowOpenTest, MainWindowClosedDuringATransferGoesAfterIt)
{
    testsupport::connectTo(testsupport::kTfm4411At);
    QPointer<mainwindow::MainForm> form = new mainwindow::MainForm;
    form->setAttribute(Qt::WA_DeleteOnClose);
    CloseWitness witness;
    {
        const YieldingTransfers yielding;
        closeDuringATransfer(form.data(), witness);
        EXPECT_EQ(witness.closesInTransfer, 0);
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

// The program's main window closed during its own transfer while the
// window measures: it stays until the measurement has restored the chip,
// then goes, its fan window with it.
TEST(FanWindowOpenTest, MainWindowClosedDuringATransferWaitsForTheRestore)
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
    window->setOptions(boardClock(true));
    window->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !window->view()->fans().empty() && window->view()->fans()[0].points.size() >= 3; }, 20000));
    ASSERT_TRUE(window->running());

    CloseWitness witness;
    {
        const support::Watchdog watchdog(std::chrono::seconds(60), "closing the main window during a transfer");
        const YieldingTransfers yielding;
        closeDuringATransfer(form.data(), witness);
        EXPECT_EQ(witness.closesInTransfer, 0);
        ASSERT_TRUE(QTest::qWaitFor([&] { return witness.closes > 0; }, 5000));
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

// The window closed at many points of a sweep, by the user or by a close
// posted while the main window's polling transfer held the bus, the main
// window polling all along through yielding transfers: no run hangs, no
// event is handled with the bus held, and the chip is restored every time.
TEST(FanWindowUnderPolling, ClosedAtManyPointsOfASweepNoRunHangs)
{
    testsupport::connectTo(testsupport::kTfm4411At);
    sim::Chip& chip = testsupport::chipAt(testsupport::kTfm4411At);
    chip.poke(device::reg::Configuration1, 0x19);
    chip.poke(device::reg::FanSpeedConfiguration, 0x55);
    mainwindow::MainForm form;
    form.show();
    form.selectTab(mainwindow::MainForm::TabVisual);
    form.visualdisplaytext_Click(static_cast<int>(mainwindow::VisualParam::Fan1));
    ASSERT_TRUE(form.findChild<QTimer*>(QStringLiteral("visual_timer"))->isActive());
    QTest::qWait(100);  // a few cycles, so the window's own rewrites are done
    std::array<std::uint8_t, 256> before{};
    for (std::uint8_t r : kTouched)
        before[r] = chip.peek(r);

    EventsUnderTheBus underBus;
    const YieldingTransfers yielding;
    const support::Watchdog watchdog(std::chrono::seconds(240), "closing the fan window during its sweeps");
    int run = 0;
    for (const int closeAt : {0, 1, 2, 3, 5, 8, 12, 16, 17, 21, 26, 31}) {
        SCOPED_TRACE(closeAt);
        form.cmdCharacterise_Click();
        QPointer<dialogs::frmFanCharacterization> window =
            qobject_cast<dialogs::frmFanCharacterization*>(form.characteriseWindow());
        ASSERT_NE(window, nullptr);
        window->setOptions(boardClock(true));
        window->findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const auto& fans = window->view()->fans();
                return !window->running() || (!fans.empty() && int(fans[0].points.size()) >= closeAt);
            },
            30000));
        if (++run % 2 == 0) {
            CloseWitness witness;
            closeDuringATransfer(window.data(), witness);
            EXPECT_EQ(witness.closesInTransfer, 0);
        } else {
            window->close();
        }
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                return window.isNull();
            },
            30000));
        for (std::uint8_t r : kTouched)
            EXPECT_EQ(chip.peek(r), before[r]) << device::registerLabel(r);
    }
    EXPECT_EQ(underBus.count, 0);
    EXPECT_TRUE(form.findChild<QTimer*>(QStringLiteral("visual_timer"))->isActive());
}

// The main window's fan speed while a measurement (the command line's, run
// here on a thread of its own beside the window) moves the tach divisor as
// it sweeps: every reading lies within 5 % of the simulated fan's speed
// over the chip's last conversion period.
TEST(FanWindowUnderPolling, TheWindowsFanSpeedStaysTrueWhileAMeasurementMovesTheDivisor)
{
    testsupport::connectTo(testsupport::kTfm4411At);
    sim::Chip& chip = testsupport::chipAt(testsupport::kTfm4411At);
    chip.poke(device::reg::Configuration1, 0x19);
    chip.poke(device::reg::FanSpeedConfiguration, 0x55);
    chip.poke(device::reg::Fan1Characteristics, 0x00);  // divisor 1, as at power-on
    mainwindow::MainForm form;
    form.selectTab(mainwindow::MainForm::TabVisual);
    // A temperature on the gauge: the fan's divisor is then read by nothing
    // but the speed readings themselves.
    form.visualdisplaytext_Click(static_cast<int>(mainwindow::VisualParam::Local));
    form.findChild<QTimer*>(QStringLiteral("visual_timer"))->stop();

    // The fan's true speed after each step of the board's clock (under the
    // bus lock, with the clock).
    std::vector<std::pair<double, double>> truth;
    device::CharacterizationOptions o = boardClock(true);
    const auto step = o.sleep;
    o.sleep = [&](double seconds) {
        step(seconds);
        const std::lock_guard lock(device::Session::busMutex());
        truth.emplace_back(sim::board().nowMs() / 1000.0, chip.fanRpm(0));
    };
    device::Session session(device::programChipLocation());
    std::atomic<bool> over{false};
    std::thread measurement([&] {
        (void)device::characterizeFans(device::sessionAccess(session), {1}, o);
        over = true;
    });
    std::set<int> divisors;
    int compared = 0;
    std::vector<std::string> off;
    {
        const support::Watchdog watchdog(std::chrono::seconds(120), "reading the fan during a measurement");
        while (!over) {
            {
                // The board's clock stands still from the window's reading to
                // the comparison.
                const std::lock_guard lock(device::Session::busMutex());
                form.visualTimerTick();
                if (form.visualStep() == 4 && !truth.empty()) {  // step 3 has read fan 1
                    const double shown = mainwindow::LatestReadings().fan1Rpm;
                    const double now = sim::board().nowMs() / 1000.0;
                    divisors.insert(device::divisorFromCharacteristics(chip.peek(device::reg::Fan1Characteristics)));
                    double low = chip.fanRpm(0);
                    double high = low;
                    for (auto it = truth.rbegin(); it != truth.rend() && it->first >= now - 0.25; ++it) {
                        low = std::min(low, it->second);
                        high = std::max(high, it->second);
                    }
                    // A count at its maximum is no speed: below the slowest the
                    // divisor measures (the measurement then moves it).
                    const bool measured = chip.peek(device::reg::Fan1Tach) < device::TachCountStopped;
                    if (measured && low > 700) {
                        ++compared;
                        if (shown < 0.95 * low || shown > 1.05 * high)
                            off.push_back(std::to_string(int(shown)) + " RPM shown for " + std::to_string(int(low)) +
                                          ".." + std::to_string(int(high)));
                    }
                }
            }
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    measurement.join();
    EXPECT_GE(divisors.size(), 2u);
    EXPECT_GT(compared, 50);
    EXPECT_TRUE(off.empty()) << off.size() << " of " << compared << ", first: " << off.front();
}

}  // namespace
