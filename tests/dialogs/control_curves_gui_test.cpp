// The Control Curves window on the simulated board, opened from the
// automatic-control dialog: drags write exactly their field and the dialog
// follows; heating a diode moves the operating point up the ramp while the
// fan speeds up as the curve says.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/register_link.h"
#include "device/register_map.h"
#include "dialogs/control_curve_plot.h"
#include "dialogs/dialogs.h"
#include "dialogs/frm_control_curves.h"
#include "dialogs/frm_spin_up.h"
#include "support/close_inside_wait.h"
#include "support/two_chip_board.h"

#include <vector>

namespace {

const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);

struct Write {
    std::uint8_t reg;
    std::uint8_t value;
};

class ControlCurvesTest : public ::testing::TestWithParam<bool> {
protected:
    bool single() const { return GetParam(); }
    sim::Chip& chip() { return *sim::board().chip(device::RegisterLink.DeviceAddress); }
    sim::Bus& bus() { return sim::board().port(0)->bus(); }
    double fullSpeed() { return chip().config().fans[0].fullSpeedRpm; }

    void SetUp() override
    {
        testsupport::connectTo(single() ? testsupport::kTfm4410At : testsupport::kTfm4411At, false);
        heaters(false);
        bus().setTracing(true);
        bus().clearTrace();
    }
    void TearDown() override
    {
        dialogs::unloadAll();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        bus().setTracing(false);
        heaters(false);
    }
    // The board's heaters are data bits 4 and 5 of the port; a register
    // access puts the held-high bits on the wires.
    void heaters(bool on)
    {
        device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(on ? 0xD0 : 0xC0);
        device::readRegister(device::reg::DeviceId);
    }

    dialogs::frmSpinUp* openDialog()
    {
        dialogs::showSpinUp(nullptr);
        for (auto* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<dialogs::frmSpinUp*>(w); d && !d->unloaded())
                return d;
        return nullptr;
    }
    dialogs::frmControlCurves* openCurves(dialogs::frmSpinUp* dialog)
    {
        dialog->findChild<QPushButton*>(QStringLiteral("cmdCurves"))->click();
        return dialog->curvesWindow();
    }

    std::vector<Write> writes()
    {
        std::vector<Write> found;
        std::vector<std::uint8_t> frame;
        auto close = [&] {
            if (frame.size() == 3 && frame[0] == device::RegisterLink.DeviceAddress)
                found.push_back({frame[1], frame[2]});
            frame.clear();
        };
        for (const auto& e : bus().trace()) {
            if (e.kind == sim::TraceEvent::Kind::Byte)
                frame.push_back(e.value);
            else
                close();
        }
        close();
        return found;
    }

    static void mouse(QWidget* w, QEvent::Type type, QPointF at)
    {
        const auto buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, w->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &event);
    }
    // Presses on a handle, moves to `toC` and, when `release`, lets go.
    static void drag(dialogs::ControlCurvePlot* plot, device::CurvePoint from, double toC, bool release = true)
    {
        const auto f = plot->frame();
        mouse(plot, QEvent::MouseButtonPress, {f.x(from.degrees), f.y(from.duty)});
        mouse(plot, QEvent::MouseMove, {f.x(toC), f.y(from.duty)});
        if (release)
            mouse(plot, QEvent::MouseButtonRelease, {f.x(toC), f.y(from.duty)});
    }
    static QString text(QObject* parent, const char* name)
    {
        auto* label = parent->findChild<QLabel*>(QString::fromLatin1(name));
        return label ? label->text() : QStringLiteral("<missing %1>").arg(QLatin1String(name));
    }
};

TEST_P(ControlCurvesTest, DragShowsTheCodesThenWritesOnlyItsFieldAndTheDialogFollows)
{
    chip().poke(device::reg::Configuration1, 0x81);
    chip().poke(device::reg::Remote1TminTrange, 0x61);  // Tmin 48, Trange 10
    chip().poke(device::reg::LocalTminTrange, 0x61);
    auto* dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    dialog->findChild<QRadioButton*>(QStringLiteral("optLocal"))->click();
    auto* curves = openCurves(dialog);
    ASSERT_NE(curves, nullptr);
    auto* plot = curves->plot(1);
    ASSERT_EQ(plot->fan().curves.size(), 1u);
    const auto curve = plot->fan().curves[0];
    ASSERT_EQ(curve.channel, device::TempChannel::Remote1);

    bus().clearTrace();
    drag(plot, device::handlePoint(curve, device::CurveHandle::Tmin), 56.4, false);
    // Shown before anything is written: the new Tmin, its bits and the byte.
    EXPECT_TRUE(text(curves, "lblPendingCodes").contains(QStringLiteral("Tmin 56 °C, bits 0 1 1 1 0")))
        << text(curves, "lblPendingCodes").toStdString();
    EXPECT_TRUE(text(curves, "lblPendingCodes").contains(QStringLiteral("25h 61h → 71h")));
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(chip().peek(device::reg::Remote1TminTrange), 0x61);

    mouse(plot, QEvent::MouseButtonRelease, {plot->frame().x(56.4), plot->frame().y(curve.minDuty)});
    auto w = writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].reg, device::reg::Remote1TminTrange);
    EXPECT_EQ(w[0].value, 0x71);
    EXPECT_EQ(chip().peek(device::reg::LocalTminTrange), 0x61);
    // The dialog moved to the channel dragged and shows its new values.
    EXPECT_TRUE(dialog->findChild<QRadioButton*>(QStringLiteral("optRemote1"))->isChecked());
    EXPECT_EQ(text(dialog, "lblSelectedTemp"), single() ? "Remote Tmin/Trange" : "Remote1 Tmin/Trange");
    EXPECT_EQ(dialog->findChild<QComboBox*>(QStringLiteral("cmbTmin"))->currentText(), "56");
    EXPECT_EQ(text(dialog, "lblTminBits"), "0 1 1 1 0");

    // The top of the ramp: 56 + 10 dragged to 75 snaps to Trange 20.
    const auto moved = plot->fan().curves[0];
    EXPECT_EQ(moved.tminC, 56);
    bus().clearTrace();
    drag(plot, device::handlePoint(moved, device::CurveHandle::Top), 75.0);
    w = writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].reg, device::reg::Remote1TminTrange);
    EXPECT_EQ(w[0].value, 0x72);
    EXPECT_EQ(dialog->findChild<QComboBox*>(QStringLiteral("cmbTrange"))->currentText(), "20");
    EXPECT_EQ(text(dialog, "lblTrangeBits"), "0 1 0");

    // A drag that ends where it began writes nothing.
    bus().clearTrace();
    drag(plot, device::handlePoint(plot->fan().curves[0], device::CurveHandle::Tmin), 56.0);
    EXPECT_TRUE(writes().empty());
}

TEST_P(ControlCurvesTest, HighestSpeedModeDrawsLocalAndRemoteAndDragsTheLocalRegister)
{
    chip().poke(device::reg::Configuration1, 0xE1);
    chip().poke(device::reg::LocalTminTrange, 0x61);
    auto* dialog = openDialog();
    auto* curves = openCurves(dialog);
    auto* plot = curves->plot(1);
    ASSERT_EQ(plot->fan().curves.size(), single() ? 2u : 3u);
    EXPECT_EQ(curves->plot(2)->parentWidget()->isVisible(), !single());
    const auto local = plot->fan().curves[0];
    ASSERT_EQ(local.channel, device::TempChannel::Local);
    // The handles of the channels lie on top of each other at the same
    // settings; move the others away first so the press finds Local's.
    chip().poke(device::reg::Remote1TminTrange, 0x99);
    chip().poke(device::reg::Remote2TminTrange, 0x99);
    curves->refresh();
    bus().clearTrace();
    drag(plot, device::handlePoint(local, device::CurveHandle::Tmin), 29.0);
    const auto w = writes();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].reg, device::reg::LocalTminTrange);
    EXPECT_EQ(w[0].value, (7 << 3) | 1);  // 28 degrees, range kept
    EXPECT_EQ(text(dialog, "lblSelectedTemp"), "Local Tmin/Trange");
}

TEST_P(ControlCurvesTest, HeatingPastTminClimbsTheRampAndTheFanFollowsTheCurve)
{
    // Let both diodes cool to ambient from earlier tests.
    sim::board().advanceMs(15 * 60 * 1000);
    // Automatic control, remote 1 drives fan 1, PWM Invert for the board's
    // fan stage; the fan off below Tmin 32, full at 52; divisor 8 so slow
    // speeds still count, and the shortest spin-up (a start from standstill
    // runs at full duty for it).
    chip().poke(device::reg::Configuration1, 0x89);
    chip().poke(device::reg::FanSpeedConfiguration, 0x00);
    chip().poke(device::reg::Remote1TminTrange, (8 << 3) | 2);
    chip().poke(device::reg::Fan1Characteristics, static_cast<std::uint8_t>((chip().peek(0x20) & 0x38) | 0xC0));
    sim::board().advanceMs(3000);
    auto* curves = openCurves(openDialog());
    auto* plot = curves->plot(1);
    ASSERT_FALSE(plot->fan().curves.empty());
    auto op = plot->fan().curves[plot->fan().leading];
    ASSERT_TRUE(op.temperature);
    EXPECT_LT(*op.temperature, 32.0);
    EXPECT_DOUBLE_EQ(plot->fan().duty, 0.0);
    EXPECT_EQ(plot->fan().rpm.value_or(-1), 0);
    // A count at its maximum says only that the fan is slower than divisor 8 measures.
    EXPECT_EQ(text(curves, "lblFanSpeed(1)"), QStringLiteral("below 331 RPM"));

    heaters(true);
    double lastTemp = *op.temperature;
    double lastDuty = 0;
    int lastRpm = 0;
    int onRamp = 0;
    for (int step = 0; step < 8; ++step) {
        sim::board().advanceMs(2000);
        curves->refresh();
        const auto& fan = plot->fan();
        op = fan.curves[fan.leading];
        ASSERT_TRUE(op.temperature);
        EXPECT_GT(*op.temperature, lastTemp);
        EXPECT_GE(fan.duty, lastDuty);
        // The marker sits on the curve at the measured temperature.
        EXPECT_DOUBLE_EQ(fan.duty, chiplaw::channelDuty(*op.temperature, 32, 20, 0.0));
        if (fan.duty > 0.2 && fan.duty < 1.0) {
            ++onRamp;
            // The fan lags its duty by its one-second time constant while the
            // diode warms, and the tach count is whole.
            EXPECT_NEAR(fan.rpm.value_or(0), fan.duty * fullSpeed(), 0.12 * fullSpeed()) << *op.temperature;
            EXPECT_GT(fan.rpm.value_or(0), lastRpm);
        }
        EXPECT_EQ(text(curves, "lblFanDuty(1)"), QStringLiteral("Duty %1 %").arg(std::lround(fan.duty * 100)));
        lastTemp = *op.temperature;
        lastDuty = fan.duty;
        lastRpm = fan.rpm.value_or(0);
    }
    EXPECT_GE(onRamp, 3);
    EXPECT_GT(lastDuty, 0.5);
}

TEST_P(ControlCurvesTest, ClosingTheDialogClosesTheCurvesWindow)
{
    auto* dialog = openDialog();
    QPointer<dialogs::frmControlCurves> curves = openCurves(dialog);
    ASSERT_TRUE(curves);
    EXPECT_TRUE(curves->isVisible());
    dialogs::unloadSpinUp();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(!curves || !curves->isVisible());
}

TEST_P(ControlCurvesTest, ClosedInsideATransferWaitTheWindowOutlivesTheHandler)
{
    auto* dialog = openDialog();
    QPointer<dialogs::frmControlCurves> curves = openCurves(dialog);
    ASSERT_TRUE(curves);
    const testsupport::CloseInsideWait r = testsupport::closeInsideLibraryWait(curves);
    EXPECT_TRUE(r.aliveAfterWait);
    EXPECT_TRUE(r.closedAfter);
}

// A picture of the window for the user guide, when asked for
// (FANSCOPE_SCREENSHOT_DIR); run under a real display server for fonts.
TEST_P(ControlCurvesTest, Screenshot)
{
    const QString dir = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set FANSCOPE_SCREENSHOT_DIR to write screenshots";
    sim::board().advanceMs(15 * 60 * 1000);
    chip().poke(device::reg::Configuration1, single() ? 0xE9 : 0xE9);
    chip().poke(device::reg::FanSpeedConfiguration, 0x53);
    chip().poke(device::reg::LocalTminTrange, (6 << 3) | 3);     // 24, 40
    chip().poke(device::reg::Remote1TminTrange, (8 << 3) | 2);   // 32, 20
    chip().poke(device::reg::Remote2TminTrange, (10 << 3) | 1);  // 40, 10
    chip().poke(device::reg::Fan1Characteristics, static_cast<std::uint8_t>(chip().peek(0x20) | 0xC0));
    chip().poke(device::reg::Fan2Characteristics, static_cast<std::uint8_t>(chip().peek(0x21) | 0xC0));
    heaters(true);
    sim::board().advanceMs(12000);
    auto* curves = openCurves(openDialog());
    curves->refresh();
    QEventLoop settle;
    QTimer::singleShot(100, &settle, &QEventLoop::quit);
    settle.exec();
    const QString file = single() ? QStringLiteral("control-curves-tfm4410.png") : QStringLiteral("control-curves.png");
    EXPECT_TRUE(curves->grab().save(QDir(dir).filePath(file)));
}

INSTANTIATE_TEST_SUITE_P(Variants, ControlCurvesTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TFM4410" : "TFM4411"; });

}  // namespace
