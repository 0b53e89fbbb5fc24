// The main window against the simulated board through the real library:
// what its handlers write must arrive in the chip's register file.
#include <gtest/gtest.h>

#include <csignal>

#include <QComboBox>
#include <QLabel>
#include <QRadioButton>
#include <QSlider>
#include <QTest>
#include <QTimer>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/conversions.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "dialogs/dialogs.h"
#include "main_window/latest_readings.h"
#include "main_window/main_form.h"
#include "shell/application.h"
#include "shell/label_colour.h"
#include "shell/ui_services.h"
#include "widgets/indicators.h"
#include "widgets/limits_gauge.h"
#include "widgets/strip_chart.h"
#include "support/two_chip_board.h"

namespace {

using device::RegisterLink;
using mainwindow::MainForm;
using widgets::LimitsGauge;

constexpr std::uint8_t Dual = testsupport::kTfm4411At;
constexpr std::uint8_t Single = testsupport::kTfm4410At;

const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);

sim::Chip& chip(std::uint8_t address) { return testsupport::chipAt(address); }

std::uint8_t stayHigh() { return device::ComPort()->PrinterPort()->SMBusProtocall()->BitsToStayHigh(); }

class MainFormTest : public ::testing::TestWithParam<std::uint8_t> {
protected:
    void SetUp() override
    {
        chip(Dual).powerOn();
        chip(Single).powerOn();
        testsupport::connectTo(address());
        RegisterLink.DeviceId = 0;  // the window reads it
        form = std::make_unique<MainForm>();
        form->Setup_Device_Display();
    }
    void TearDown() override { form.reset(); }

    std::uint8_t address() const { return GetParam(); }
    bool dual() const { return address() == Dual; }
    sim::Chip& c() { return chip(address()); }
    template <typename T> T* find(const char* name) const { return form->findChild<T*>(QString::fromLatin1(name)); }
    void runCycle()
    {
        for (int i = 0; i < 7; ++i)
            form->visualTimerTick();
    }

    shell::ScopedScriptedUi ui;
    std::unique_ptr<MainForm> form;
};

TEST_P(MainFormTest, LoadAndUnloadSwitchTheHeatersOff)
{
    EXPECT_EQ(stayHigh() & 0x30, 0);
    EXPECT_EQ(mainwindow::mainForm(), form.get());
    device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(0xF0);
    form->close();
    EXPECT_EQ(stayHigh(), 0xC0);
    form.reset();
    EXPECT_EQ(mainwindow::mainForm(), nullptr);
}

// Ended by a signal (a terminal's Ctrl-C, a logout), the program closes its
// windows as the user would: the heaters go off.
TEST_P(MainFormTest, ATerminationSignalClosesTheWindowAndSwitchesTheHeatersOff)
{
    shell::closeWindowsOnTerminationSignals();
    form->show();
    device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(0xF0);
    ASSERT_EQ(::raise(SIGTERM), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 5000)) << "the window is still open";
    EXPECT_EQ(stayHigh(), 0xC0);
    EXPECT_EQ(shell::terminationSignal(), SIGTERM);
}

// The signal may arrive while a transfer waits in the event loop with a fan
// dialog open, where every window puts its close off: all still close.
TEST_P(MainFormTest, ATerminationSignalInsideATransferWaitStillClosesEverything)
{
    shell::closeWindowsOnTerminationSignals();
    form->show();
    dialogs::showPWMSelect(form.get());
    device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(0xF0);
    QTimer::singleShot(0, [] {
        ASSERT_EQ(::raise(SIGTERM), 0);
        shell::yieldToEventLoop();
        shell::yieldToEventLoop();
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 5000)) << "the window is still open";
    EXPECT_EQ(stayHigh(), 0xC0);
}

// Started under nohup, the program keeps ignoring the terminal's hang-up.
TEST(TerminationSignals, OneIgnoredAtStartStaysIgnored)
{
    struct sigaction ignore { };
    ignore.sa_handler = SIG_IGN;
    struct sigaction hangUp { };
    struct sigaction interrupt { };
    struct sigaction terminate { };
    ASSERT_EQ(::sigaction(SIGHUP, &ignore, &hangUp), 0);
    ASSERT_EQ(::sigaction(SIGINT, nullptr, &interrupt), 0);
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &terminate), 0);
    shell::closeWindowsOnTerminationSignals();
    struct sigaction now { };
    ASSERT_EQ(::sigaction(SIGHUP, &hangUp, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    ASSERT_EQ(::sigaction(SIGINT, &interrupt, &now), 0);
    EXPECT_NE(now.sa_handler, interrupt.sa_handler) << "SIGINT is handled";
    ASSERT_EQ(::sigaction(SIGTERM, &terminate, nullptr), 0);
}

TEST_P(MainFormTest, DisplayFollowsTheDeviceId)
{
    EXPECT_EQ(RegisterLink.DeviceId, dual() ? 0x31 : 0x30);
    const QString title = dual() ? "TFM4411 Evaluation Software" : "TFM4410 Evaluation Software";
    EXPECT_EQ(find<QLabel>("Label4")->text(), title);
    EXPECT_EQ(form->windowTitle(), title);
    EXPECT_EQ(find<QWidget>("optTemp2")->isEnabled(), dual());
    EXPECT_EQ(find<QWidget>("visualdisplaytext(3)")->isHidden(), !dual());
    EXPECT_EQ(find<QWidget>("visualdisplaytext(4)")->isHidden(), !dual());
    EXPECT_EQ(find<QWidget>("cmbFreq2")->isHidden(), !dual());
    EXPECT_EQ(find<QLabel>("visualdisplaytext(1)")->text(), dual() ? "Remote1" : "Remote");
    EXPECT_EQ(form->stripChart()->caption(1), dual() ? "External Temp 1" : "External Temp");
    EXPECT_EQ(form->stripChart()->caption(2), dual() ? "Fan1" : "Fan");
    EXPECT_EQ(form->stripChart()->caption(3).trimmed().isEmpty(), !dual());

    int visibleEntries = 0;
    for (int i = 1; i <= 35; ++i)
        if (auto* e = find<QWidget>(qPrintable(QStringLiteral("read_writedisplaytext(%1)").arg(i))))
            visibleEntries += e->isHidden() ? 0 : 1;
    EXPECT_EQ(visibleEntries, dual() ? 35 : 26);
}

TEST_P(MainFormTest, EasySetupWritesTheChipAndTheCyclePlotsEveryChannel)
{
    form->selectTab(MainForm::TabVisual);
    EXPECT_FALSE(find<QTimer>("visual_timer")->isActive());  // not before Easy Setup
    form->Command1_Click();
    EXPECT_TRUE(find<QTimer>("visual_timer")->isActive());
    const int used = dual() ? 0x7F : 0x35;  // bit 7 self-clears; the 4410 lacks the second channel
    EXPECT_EQ(c().peek(0x01) & used, used);
    EXPECT_EQ(c().peek(0x18), 90);
    EXPECT_EQ(c().peek(0x19), 0);
    EXPECT_EQ(c().peek(0x14), 90);
    EXPECT_EQ(c().peek(0x15), 0);
    EXPECT_EQ(c().peek(0x10), 252);
    EXPECT_EQ(c().peek(0x00) & 0x1F, 0x1F);
    EXPECT_EQ(c().peek(0x20) & 0xC0, 0xC0);
    EXPECT_EQ(c().peek(0x22), 0xFF);
    ASSERT_FALSE(ui->messages.empty());  // two-wire selection asks for the switch
    EXPECT_EQ(ui->messages.back().text,
              dual() ? "Ensure that Switches S1 and S2 are set to the 'AIN' position before proceeding."
                     : "Ensure that Switch S1 is set to the 'AIN' position before proceeding.");

    sim::board().advanceMs(3000);
    runCycle();
    const auto& latest = mainwindow::LatestReadings();
    EXPECT_FLOAT_EQ(latest.localTemp,
                    device::decodeTemperature(c().peek(0x0A), c().peek(0x06), device::TempChannel::Local));
    EXPECT_FLOAT_EQ(latest.remote1Temp,
                    device::decodeTemperature(c().peek(0x0B), c().peek(0x06), device::TempChannel::Remote1));
    // Full duty with PWM Invert set: the two-pulse fan is near its 4800 RPM,
    // shown as half that while "4 Pulses/Rev" is selected.
    ASSERT_LT(c().peek(0x08), 255);
    EXPECT_FLOAT_EQ(latest.fan1Rpm, float(device::TachToRpm(1, c().peek(0x08)).value_or(-1)));
    EXPECT_GT(latest.fan1Rpm, 2000);
    for (int ch = 0; ch < 5; ++ch) {
        const bool expected = dual() || ch <= 2;
        EXPECT_EQ(form->stripChart()->pointCount(ch), expected ? 1 : 0) << ch;
    }

    // Leaving the tab stops plotting at once.
    form->selectTab(MainForm::TabMain);
    EXPECT_FALSE(find<QTimer>("visual_timer")->isActive());
}

TEST_P(MainFormTest, IndicatorsFollowTheRegisters)
{
    form->selectTab(MainForm::TabVisual);
    c().poke(0x01, 0x30);  // local and remote 1 enabled
    c().poke(0x00, 0x00);
    c().poke(0x02, 0x40);  // local high
    for (int i = 0; i < 6; ++i)
        form->visualTimerTick();  // steps 0..5
    auto* lamp0 = find<widgets::ToggleIndicator>("SSPanel11(0)");
    auto* lamp1 = find<widgets::ToggleIndicator>("SSPanel11(1)");
    EXPECT_FALSE(lamp0->isHidden());
    EXPECT_FALSE(lamp1->isHidden());
    EXPECT_TRUE(find<QWidget>("SSPanel11(2)")->isHidden());
    EXPECT_TRUE(find<QWidget>("SSPanel11(3)")->isHidden());
    EXPECT_EQ(lamp0->colourBgr(), 0x0000FFu);
    EXPECT_EQ(lamp1->colourBgr(), 0x00FF00u);
}

TEST_P(MainFormTest, DraggingLimitPointersWritesTheRegisters)
{
    form->selectTab(MainForm::TabVisual);
    LimitsGauge* gauge = form->limitsGauge();
    gauge->resize(500, gauge->minimumSizeHint().height());
    const int y = gauge->pointerHandle(2).y();
    auto xOf = [&](double v) { return int(std::lround(gauge->track().xOf(v))); };
    gauge->setPointerValue(LimitsGauge::kLowPointer, 0);
    gauge->setActivePointer(LimitsGauge::kLowPointer);
    QTest::keyClick(gauge, Qt::Key_Left);
    ASSERT_EQ(gauge->pointerValue(LimitsGauge::kLowPointer), -1);
    EXPECT_EQ(c().peek(0x15), 0xFF);

    // A fan pointer at the slowest speed writes 255, never more: with
    // divisor 1 the scale starts at 2647 RPM, count 255.
    c().poke(0x20, 0x1D);
    c().poke(0x21, 0x1D);
    device::ReadFanDivisors();
    form->visualdisplaytext_Click(int(mainwindow::VisualParam::Fan1));
    QTest::mousePress(gauge, Qt::LeftButton, {}, gauge->pointerHandle(LimitsGauge::kLowPointer));
    QTest::mouseMove(gauge, QPoint(xOf(gauge->minimum() + 300), y));
    QTest::mouseMove(gauge, QPoint(0, y));
    QTest::mouseRelease(gauge, Qt::LeftButton, {}, QPoint(0, y));
    EXPECT_EQ(gauge->minimum(), 2647);
    EXPECT_EQ(c().peek(0x10), 255);
    EXPECT_EQ(gauge->pointerValue(LimitsGauge::kHighPointer), 8000);
}

TEST_P(MainFormTest, LimitsAreHeldApart)
{
    form->selectTab(MainForm::TabVisual);
    LimitsGauge* gauge = form->limitsGauge();
    c().poke(0x14, 90);
    c().poke(0x15, 0);
    form->visualdisplaytext_Click(0);
    gauge->setPointerValue(LimitsGauge::kLowPointer, 85);
    form->bargraph_move(LimitsGauge::kLowPointer);
    // 16 % of 127 below the high limit, in whole degrees.
    EXPECT_EQ(c().peek(0x15), 70);
    EXPECT_EQ(gauge->bandLower(0), 70);
}

TEST_P(MainFormTest, DutySliderEditsTheNibbleOfItsFan)
{
    form->selectTab(MainForm::TabVisual);
    QSlider* slider = find<QWidget>("analog_output_slider")->findChild<QSlider*>();
    auto slide = [&](int value) {
        slider->setSliderDown(true);
        slider->setSliderPosition(value);
        slider->setSliderDown(false);
    };
    c().poke(0x22, 0xF0);
    form->visualdisplaytext_Click(int(mainwindow::VisualParam::Fan1));
    slide(3);
    EXPECT_EQ(c().peek(0x22), 0xF3);
    EXPECT_EQ(find<QLabel>("lblDutyCycle1")->text(), "20%");
    if (dual()) {
        c().poke(0x22, 0x0F);
        form->visualdisplaytext_Click(int(mainwindow::VisualParam::Fan2));
        slide(7);
        EXPECT_EQ(c().peek(0x22), 0x7F);
    } else {
        // The single fan is the low nibble, whatever the caption says.
        EXPECT_EQ(form->sliderFan(), 1);
    }
    slide(0);
    EXPECT_EQ(find<QLabel>("lblDutyCycle1")->text(), "Off");
}

TEST_P(MainFormTest, FanTypeAndCommutationPulses)
{
    form->selectTab(MainForm::TabControl);
    c().poke(0x00, 0x04);
    find<QRadioButton>("optThreeWire")->click();
    ASSERT_FALSE(ui->messages.empty());
    EXPECT_EQ(ui->messages.back().icon, shell::MsgIcon::Critical);
    EXPECT_TRUE(ui->messages.back().text.endsWith("before proceeding. "));
    EXPECT_EQ(c().peek(0x00) & 0x04, 0);
    form->Get_Comm_Pulses();
    EXPECT_FALSE(find<QWidget>("panComPulses")->isEnabled());
    find<QRadioButton>("optTwoWire")->click();
    EXPECT_EQ(c().peek(0x00) & 0x04, 0x04);
    form->Get_Comm_Pulses();
    EXPECT_TRUE(find<QWidget>("panComPulses")->isEnabled());
}

TEST_P(MainFormTest, ControlStatusCaptions)
{
    c().poke(0x00, 0xA0);  // bits 7..5 = 101
    c().poke(0x23, 0x02);
    form->Get_Control_Status();
    EXPECT_EQ(find<QLabel>("lblModeSelected")->text(), "Automatic (Filtering Off)");
    EXPECT_EQ(find<QLabel>("lblModeSelected2")->text(), "Automatic (Filtering On)");
    EXPECT_EQ(find<QWidget>("lblModeSelected2")->isHidden(), !dual());
    c().poke(0x00, 0x40);
    form->Get_Control_Status();
    EXPECT_EQ(find<QLabel>("lblModeSelected")->text(), "PWM Select");
    EXPECT_EQ(find<QLabel>("lblModeSelected2")->text(), "RPM Feedback");
}

TEST_P(MainFormTest, HeaterDutyThreeIsThreeTicksOnSevenOff)
{
    form->heaterTimer()->stop();
    form->cmdEnable_Click();
    find<QSlider>("sldPWM")->setValue(3);
    std::string pattern;
    for (int i = 0; i < 20; ++i) {
        form->heaterTick();
        pattern += (stayHigh() & 0x10) ? '1' : '0';
    }
    EXPECT_EQ(pattern, "11100000001110000000");
    EXPECT_EQ(find<QLabel>("lblPWM")->text(), " 30 %");
    form->cmdEnable_Click();
    form->heaterTick();
    EXPECT_EQ(stayHigh() & 0x30, 0);
}

TEST_P(MainFormTest, FrequencyComboUnreadWritesNothing)
{
    c().poke(0x20, 0x28);  // frequency code 5
    RegisterLink.RegisterPointer = 0x20;
    RegisterLink.ReadResult = 0x00;
    mainwindow::LatestReadings().frequencyText.clear();
    form->Set_PWM_Frequency();
    EXPECT_EQ(c().peek(0x20), 0x28);
    form->selectTab(MainForm::TabControl);
    EXPECT_EQ(find<QComboBox>("cmbFreq1")->currentText(), "46.9");
}

// Pictures of every tab after a simulated minute of Easy Setup with the
// heater on, when asked for (FANSCOPE_SCREENSHOT_DIR); run under a real
// display server for fonts.
TEST_P(MainFormTest, Screenshots)
{
    const QString dir = qEnvironmentVariable("FANSCOPE_SCREENSHOT_DIR");
    if (dir.isEmpty())
        GTEST_SKIP() << "set FANSCOPE_SCREENSHOT_DIR to write screenshots";
    form->show();
    form->heaterTimer()->stop();
    // Both chips share the heaters: let the other chip's run cool off.
    sim::board().advanceMs(15 * 60 * 1000);
    form->selectTab(MainForm::TabVisual);
    form->Command1_Click();
    find<QTimer>("visual_timer")->stop();
    form->cmdEnable_Click();
    if (dual()) {
        // The second heater and fan at lower duties keep the traces apart.
        find<QRadioButton>("optTemp2")->click();
        find<QSlider>("sldPWM")->setValue(4);
        find<QRadioButton>("optTemp1")->click();
        device::writeRegister(0x22, 0x9F);
    }
    double sinceHeaterTick = 0;
    for (int tick = 0; tick < 2000; ++tick) {
        sim::board().advanceMs(30);
        form->visualTimerTick();
        sinceHeaterTick += 30;
        if (sinceHeaterTick >= 200) {
            sinceHeaterTick -= 200;
            form->heaterTick();
        }
    }
    const QString variant = dual() ? QStringLiteral("tfm4411") : QStringLiteral("tfm4410");
    const std::pair<int, const char*> tabs[] = {{MainForm::TabMain, "main-tab"},
                                                {MainForm::TabReadWrite, "readwrite-tab"},
                                                {MainForm::TabVisual, "visual-display"},
                                                {MainForm::TabControl, "control-tab"}};
    for (const auto& [tab, name] : tabs) {
        form->selectTab(tab);
        find<QTimer>("visual_timer")->stop();
        QCoreApplication::processEvents();
        EXPECT_TRUE(form->grab().save(QStringLiteral("%1/%2-%3.png").arg(dir, QLatin1String(name), variant)));
    }
    form->selectTab(MainForm::TabVisual);
    find<QTimer>("visual_timer")->stop();
    form->cmdExpand_Click();
    QCoreApplication::processEvents();
    EXPECT_TRUE(form->grab().save(QStringLiteral("%1/expanded-graph-%2.png").arg(dir, variant)));
}

INSTANTIATE_TEST_SUITE_P(BothVariants, MainFormTest, ::testing::Values(Dual, Single),
                         [](const auto& info) { return info.param == Dual ? "TFM4411" : "TFM4410"; });

}  // namespace
