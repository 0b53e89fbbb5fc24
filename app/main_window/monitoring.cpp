// The Visual Display tab: the measurement cycle behind the strip chart, the
// limits gauge and its drag-to-write, the interrupt lamps, Easy Setup.
#include "main_window/main_form.h"

#include "device/back_end.h"
#include "device/bus_route.h"
#include "device/chip_presence.h"
#include "device/conversions.h"
#include "device/fan_speed_tracker.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "device/write_log.h"
#include "main_window/latest_readings.h"
#include "main_window/register_panel.h"
#include "shell/label_colour.h"
#include "widgets/indicators.h"
#include "widgets/limits_gauge.h"
#include "widgets/strip_chart.h"

#include <vexlink06/types.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <memory>
#include <mutex>
#include <exception>

namespace mainwindow {

namespace {

using device::RegisterLink;
namespace reg = device::reg;

constexpr double kTempMin = -55;
constexpr double kTempMax = 127;
constexpr double kFanMax = 8000;
// Samples across the chart: about a minute at the cycle's pace before Easy
// Setup, about two minutes after it.
constexpr int kSpanDefault = 300;
constexpr int kSpanAfterEasySetup = 600;
constexpr double kCycleSeconds = 7 * 0.030;

bool isTemperature(VisualParam p)
{
    return p == VisualParam::Local || p == VisualParam::Remote1 || p == VisualParam::Remote2;
}

device::TempChannel tempChannel(VisualParam p)
{
    switch (p) {
    case VisualParam::Remote1: return device::TempChannel::Remote1;
    case VisualParam::Remote2: return device::TempChannel::Remote2;
    default: return device::TempChannel::Local;
    }
}

int fanNumber(VisualParam p) { return p == VisualParam::Fan2 ? 2 : 1; }

struct LimitRegisters {
    std::uint8_t low;
    std::uint8_t high;
};

LimitRegisters limitRegisters(VisualParam p)
{
    switch (p) {
    case VisualParam::Remote1: return {reg::Remote1LowLimit, reg::Remote1HighLimit};
    case VisualParam::Remote2: return {reg::Remote2LowLimit, reg::Remote2HighLimit};
    default: return {reg::LocalLowLimit, reg::LocalHighLimit};
    }
}

}  // namespace

float MainForm::readTemperature(VisualParam channel) { return device::ReadTemperature(tempChannel(channel)); }

float MainForm::readFanSpeed(VisualParam fan)
{
    const int n = fanNumber(fan);
    // The count and the divisor as one unit on the bus: a measurement on
    // another thread of this program cannot change the divisor between them.
    const std::lock_guard bus(device::busMutex());
    RegisterLink.RegisterPointer = n == 2 ? reg::Fan2Tach : reg::Fan1Tach;
    device::ReadRegister();
    const int count = RegisterLink.ReadResult;
    // The divisor may change under the window (a fan measurement, another
    // program on a shared board): the one read after the count is the one
    // the process-wide value takes, and the tracker settles which one the
    // count was measured with.
    const int characteristics = device::readRegister(n == 2 ? reg::Fan2Characteristics : reg::Fan1Characteristics);
    if (device::boardAway())
        return 0;  // read from no board: the caller keeps nothing of it
    const std::int16_t divisor = device::divisorFromCharacteristics(characteristics);
    (n == 2 ? device::Fan2Divisor : device::Fan1Divisor) = divisor;
    (void)device::TachToRpm(n, count);  // the pulse factor in force
    return float(m_fanSpeed[std::size_t(n - 1)].speed(count, divisor, device::PulseFactor));
}

void MainForm::visualTimerTick()
{
    const int step = m_visualStep;
    // Advance first: a step whose register access fails must not stall the
    // cycle on that step.
    m_visualStep = (m_visualStep + 1) % 7;
    // Names the cycle's transfers in the Bus Monitor, and its PWM-frequency
    // rewrites in the write log (they were groups of their own before).
    device::WriteAction action(device::WriteSource::Other, "Visual Display cycle");
    // A shared simulated board that went away is looked for again; nothing
    // is read or written until it and the chip answer, and the window shows
    // what it last read, marked, with a gap in the chart.
    const device::BoardWatch watch;
    if (!watch.serving()) {
        boardAway(QString::fromStdString(watch.why()), step);
        return;
    }
    if (watch.returned())
        boardBack();
    if (RegisterLink.Medium != device::MediumKernelAdapter) {
        runVisualStep(step);
        if (watch.broken())
            boardAway(QString::fromStdString(device::sharedBoardProblem()), step);
        return;
    }
    // A kernel adapter answers a failed transfer with an error where the
    // other media read FFh; an unplugged USB bridge would otherwise raise a
    // box on every tick. The window keeps running and says why instead.
    try {
        runVisualStep(step);
        // Step 5 read the status afresh and cleared the marks.
        if (step == 5)
            m_adapterFailure.clear();
    } catch (const vexlink06::ComError& error) {
        if (watch.broken()) {
            boardAway(QString::fromStdString(device::windowAdapterAway() ? watch.why() : device::sharedBoardProblem()),
                      step);
            return;
        }
        m_adapterFailure = QString::fromStdString(error.description());
        m_chipSilent = true;
        markUnanswered();
    }
}

void MainForm::boardAway(const QString& why, int step)
{
    m_adapterFailure = why;
    m_chipSilent = true;
    markUnanswered();
    showBoardLost();
    // The chart's channel of the step gets a gap where the reading would be.
    const bool dual = isTfm4411();
    const VisualParam channels[] = {VisualParam::Local, VisualParam::Remote1, VisualParam::Remote2, VisualParam::Fan1,
                                    VisualParam::Fan2};
    if (step >= 0 && step < 5 && (dual || (step != 2 && step != 4)))
        m_strip->addGap(int(channels[step]));
}

void MainForm::boardBack()
{
    m_adapterFailure.clear();
    m_chipSilent = false;
    if (m_boardBadge && m_boardBadge->property("boardLost").toBool()) {
        const QString text = m_boardBadge->property("boardText").toString();
        m_boardBadge->setText(text);
        m_boardBadge->setAccessibleName(text);
        m_boardBadge->setAccessibleDescription(QString());
        m_boardBadge->setToolTip(m_boardBadge->property("boardToolTip").toString());
        m_boardBadge->setStyleSheet(m_boardBadge->property("boardStyle").toString());
        m_boardBadge->setProperty("boardLost", false);
        m_boardBadge->setVisible(!text.isEmpty());
        QEvent relayout(QEvent::LayoutRequest);
        QCoreApplication::sendEvent(m_tabs, &relayout);
    }
    // What the window shows of the chip, read afresh from the board that is back.
    runVisualStep(5);
}

void MainForm::runVisualStep(int step)
{
    LatestReadingsRecord& latest = LatestReadings();
    // Each reading is taken, then kept only when it came from the board.
    const auto keep = [this](float value, VisualParam channel, float& latestValue) {
        if (device::boardAway())
            return;
        latestValue = value;
        m_strip->addPoint(value, int(channel));
    };
    switch (step) {
    case 0: keep(readTemperature(VisualParam::Local), VisualParam::Local, latest.localTemp); break;
    case 1: keep(readTemperature(VisualParam::Remote1), VisualParam::Remote1, latest.remote1Temp); break;
    case 2:
        if (isTfm4411())
            keep(readTemperature(VisualParam::Remote2), VisualParam::Remote2, latest.remote2Temp);
        break;
    case 3: keep(readFanSpeed(VisualParam::Fan1), VisualParam::Fan1, latest.fan1Rpm); break;
    case 4:
        if (isTfm4411())
            keep(readFanSpeed(VisualParam::Fan2), VisualParam::Fan2, latest.fan2Rpm);
        break;
    case 5:
        refreshGauge();
        refreshIndicatorVisibility();
        refreshIndicatorStates();
        if (device::boardAway())
            break;
        markUnanswered();
        Get_Comm_Pulses();
        Get_Duty_Cycle();
        Get_Control_Status();
        break;
    case 6:
        writeFrequencyFromCombo(reg::Fan1Characteristics, m_freq1);
        if (isTfm4411())
            writeFrequencyFromCombo(reg::Fan2Characteristics, m_freq2);
        break;
    default: break;
    }
}

void MainForm::refreshLatestReadings()
{
    LatestReadingsRecord& latest = LatestReadings();
    try {
        latest.localTemp = readTemperature(VisualParam::Local);
        latest.remote1Temp = readTemperature(VisualParam::Remote1);
        if (isTfm4411())
            latest.remote2Temp = readTemperature(VisualParam::Remote2);
        latest.fan1Rpm = readFanSpeed(VisualParam::Fan1);
        if (isTfm4411())
            latest.fan2Rpm = readFanSpeed(VisualParam::Fan2);
    } catch (const std::exception&) {
        // The logging tick runs every few milliseconds; a bus that stopped
        // answering must not raise a message box on each of them.
    }
}

void MainForm::writeFrequencyFromCombo(quint8 reg, QComboBox* combo)
{
    // One unit on the bus: a fan measurement on another thread changes the
    // divisor bits of this register, and must not see them put back.
    const std::lock_guard bus(device::busMutex());
    RegisterLink.RegisterPointer = reg;
    device::ReadRegister();
    if (device::boardAway())
        return;  // nothing to keep of a register nobody read
    m_fanSpeed[reg == reg::Fan2Characteristics ? 1 : 0].observe(
        device::divisorFromCharacteristics(RegisterLink.ReadResult));
    RegisterLink.ReadResult &= 0xC7;
    LatestReadings().frequencyText = combo->currentText().toStdString();
    Set_PWM_Frequency();
}

void MainForm::refreshGauge()
{
    const VisualParam p = m_selectedParam;
    const int index = int(p);
    m_gaugeTitle->setText(m_selectors[std::size_t(index)]->text());
    if (isTemperature(p)) {
        m_gauge->setScale(kTempMin, kTempMax);
        m_gauge->setUnits(QStringLiteral("°C"));
        m_gauge->setPointerMovable(widgets::LimitsGauge::kHighPointer, true);
    } else {
        const int divisor = std::max(device::Fan1Divisor, device::Fan2Divisor);
        m_gauge->setScale(device::speedRangeRpm(divisor), kFanMax);
        m_gauge->setUnits(QStringLiteral("RPM"));
        // The high pointer is pinned at full scale for a fan.
        m_gauge->setPointerMovable(widgets::LimitsGauge::kHighPointer, false);
    }
    // Never pull a pointer out from under the user's mouse.
    const bool dragging = m_gauge->draggedPointer() >= 0;

    const int speedConfig = device::readRegister(reg::FanSpeedConfiguration);
    // The controls and limits stay as they were while the board is away.
    if (device::boardAway())
        return;
    if (!isTemperature(p)) {
        setSliderFan(fanNumber(p));
        setSliderValue(device::dutyCode(speedConfig, m_sliderFan));
    }

    if (isTemperature(p)) {
        const LimitRegisters regs = limitRegisters(p);
        const int low = device::codeToLimit(device::readRegister(regs.low));
        const int high = device::codeToLimit(device::readRegister(regs.high));
        const float t = readTemperature(p);
        if (device::boardAway())
            return;
        if (!dragging) {
            m_gauge->setPointerValue(widgets::LimitsGauge::kLowPointer, low);
            m_gauge->setPointerValue(widgets::LimitsGauge::kHighPointer, high);
            for (int band : {0, 1}) {
                m_gauge->setBandLower(band, low);
                m_gauge->setBandUpper(band, high);
            }
        }
        m_gauge->setPointerValue(widgets::LimitsGauge::kReadingPointer, t);
        m_gaugeReading->setText(QString::number(double(t), 'g', 6) + QStringLiteral(" °C"));
    } else {
        const int fan = fanNumber(p);
        device::ReadFanDivisors();
        const int limitCount = device::readRegister(fan == 2 ? reg::Fan2TachLimit : reg::Fan1TachLimit);
        const float rpm = readFanSpeed(p);
        if (device::boardAway())
            return;
        const float limitRpm = float(device::TachToRpm(fan, limitCount).value_or(0));
        if (!dragging) {
            m_gauge->setPointerValue(widgets::LimitsGauge::kLowPointer, limitRpm);
            m_gauge->setPointerValue(widgets::LimitsGauge::kHighPointer, kFanMax);
            for (int band : {0, 1}) {
                m_gauge->setBandLower(band, limitRpm);
                m_gauge->setBandUpper(band, kFanMax);
            }
        }
        m_gauge->setPointerValue(widgets::LimitsGauge::kReadingPointer, rpm);
        m_gaugeReading->setText(QString::number(int(rpm)) + QStringLiteral(" RPM"));
    }
}

void MainForm::refreshIndicatorVisibility()
{
    // What a shared board that went away "reads" means nothing: the lamps
    // keep their places and are marked instead of vanishing.
    if (device::boardAway()) {
        m_chipSilent = true;
        return;
    }
    const int config2 = device::readRegister(reg::Configuration2);
    const int config1 = device::readRegister(reg::Configuration1);
    if (device::boardAway()) {
        m_chipSilent = true;
        return;
    }
    // The cycle reads no Device ID; Configuration 2 is the register in it
    // that a chip never gives as FFh, which is what a chip that is gone
    // (or a bus another master holds) reads as on the printer port.
    m_chipSilent = device::impossibleValue(reg::Configuration2, std::uint8_t(config2));
    const bool dual = isTfm4411();
    m_indicators[0]->setVisible(config2 & 0x10);
    m_indicators[1]->setVisible(config2 & 0x20);
    m_indicators[3]->setVisible(dual && (config2 & 0x40));
    m_indicators[2]->setVisible(config1 & 0x10);
    m_indicators[4]->setVisible(dual && (config1 & 0x10));
}

void MainForm::refreshIndicatorStates()
{
    const int status1 = device::readRegister(reg::InterruptStatus1);
    const int status2 = isTfm4411() ? device::readRegister(reg::InterruptStatus2) : 0;
    if (device::boardAway())
        return;
    m_indicators[0]->setBad(status1 & 0xC0);
    m_indicators[1]->setBad((status1 & 0x0C) || m_stickyRemote1);
    m_indicators[2]->setBad(status1 & 0x02);
    if (isTfm4411()) {
        m_indicators[3]->setBad((status2 & 0x0C) || m_stickyRemote2);
        m_indicators[4]->setBad(status2 & 0x02);
    }
}

void MainForm::markUnanswered()
{
    // The cycle's readings since the last mark came from nobody: lamps go
    // grey with "Lost", the gauge reading says so, both in a tooltip too.
    const QString why =
        m_adapterFailure.isEmpty() ? QString::fromStdString(device::noLongerAnswersText()) : m_adapterFailure;
    for (widgets::ToggleIndicator* lamp : m_indicators) {
        lamp->setNoAnswer(m_chipSilent);
        lamp->setToolTip(m_chipSilent ? QStringLiteral("Interrupt Status: not read, ") + why
                                      : QStringLiteral("Interrupt Status: Green=OK, Red=Bad, Invisible=Disabled"));
    }
    if (m_chipSilent && !m_gaugeReading->text().endsWith(QStringLiteral(" (no answer)")))
        m_gaugeReading->setText(m_gaugeReading->text() + QStringLiteral(" (no answer)"));
    m_gaugeReading->setToolTip(m_chipSilent ? why : QString());
}

void MainForm::showBoardLost()
{
    // The badge is what a user looks at to know which board this is; it must
    // not go on naming a board that is gone. It names it again when the
    // board and the chip answer again (boardBack).
    if (!m_boardBadge || m_boardBadge->property("boardLost").toBool())
        return;
    m_boardBadge->setProperty("boardText", m_boardBadge->text());
    m_boardBadge->setProperty("boardToolTip", m_boardBadge->toolTip());
    m_boardBadge->setProperty("boardStyle", m_boardBadge->styleSheet());
    const bool adapter = device::windowAdapterAway();
    const QString text = adapter ? QStringLiteral("I2C adapter lost") : QStringLiteral("Shared simulated board lost");
    m_boardBadge->setText(text);
    m_boardBadge->setAccessibleName(text);
    m_boardBadge->setAccessibleDescription(m_adapterFailure);
    m_boardBadge->setToolTip(m_adapterFailure + (adapter ? QStringLiteral(". The window goes on when an adapter of "
                                                                          "that name and the chip answer again.")
                                                         : QStringLiteral(". The window goes on when the board and "
                                                                          "the chip answer again.")));
    m_boardBadge->show();
    m_boardBadge->setStyleSheet(
        QStringLiteral("QLabel { background: #ffd9d6; color: #7a0b00; border: 1px solid #c0392b;"
                       " border-radius: 3px; padding: 1px 6px; margin: 2px; }"));
    m_boardBadge->setProperty("boardLost", true);
    QEvent relayout(QEvent::LayoutRequest);  // the tab row sizes its corner to the shorter text
    QCoreApplication::sendEvent(m_tabs, &relayout);
}

void MainForm::enterVisualTab()
{
    m_easySetup->setVisible(printerMedium() && !m_expanded);
    // Until the cycle runs the chart is empty; say what starts it.
    m_strip->setEmptyText(printerMedium()
                              ? QStringLiteral("Click Easy Setup, or a parameter on the left, to start plotting")
                              : QStringLiteral("Click a parameter on the left to start plotting"));
    Get_Control_Status();
    m_registerPanel->leave();
    if (m_visualAllowed)
        m_visualTimer->start();
    refreshIndicatorVisibility();
    if (!m_visitedVisual) {
        m_strip->clear();
        m_strip->setScale(120, -20);
        m_strip->setRightScale(kFanMax, 0);
        m_strip->setTimeSpan(kSpanDefault);
        m_strip->setSampleInterval(kCycleSeconds);
        m_selectedParam = VisualParam::Local;
        setSelectorColour(0, shell::kGreen);
        for (int i = 1; i < 5; ++i)
            setSelectorColour(i, shell::kAppWorkspace);
    }
    refreshGauge();
    m_visitedVisual = true;
    const int speedConfig = device::readRegister(reg::FanSpeedConfiguration);
    setSliderValue(device::dutyCode(speedConfig, m_sliderFan));
}

void MainForm::setSelectorColour(int index, unsigned bgr)
{
    shell::setTextColour(m_selectors[std::size_t(index)], bgr);
}

void MainForm::colourSelectors()
{
    for (int i = 0; i < 5; ++i) {
        const bool current = i == int(m_selectedParam);
        const bool hovered = i == m_hoveredSelector;
        setSelectorColour(i, current ? (hovered ? shell::kYellow : shell::kGreen)
                                     : (hovered ? shell::kBrightGreen : shell::kAppWorkspace));
    }
}

void MainForm::visualdisplaytext_Click(int index)
{
    if (index < 0 || index > 4)
        return;
    if (index != int(m_selectedParam))
        for (int i = 0; i < 5; ++i)
            if (i != index)
                setSelectorColour(i, shell::kAppWorkspace);
    m_selectedParam = VisualParam(index);
    const std::uint32_t colour = shell::textColour(m_selectors[std::size_t(index)]);
    setSelectorColour(index, colour == shell::kBrightGreen ? shell::kYellow : shell::kBrightGreen);
    refreshGauge();
    m_visualTimer->start();
}

void MainForm::onGaugePointer(int pointer, bool final)
{
    // The printer port is fast enough to follow the drag; the chipset bus
    // gets one write when the pointer is let go.
    if (printerMedium() == final) {
        if (final)
            m_gaugeDragWritten = false;
        return;
    }
    bargraph_move(pointer);
    if (final) {
        m_gaugeDragWritten = false;
        move_mouse_away();
    }
}

void MainForm::bargraph_move(int pointer)
{
    using G = widgets::LimitsGauge;
    if (pointer != G::kLowPointer && pointer != G::kHighPointer)
        return;
    const double scaleMax = m_gauge->maximum();
    double low = m_gauge->pointerValue(G::kLowPointer);
    double high = m_gauge->pointerValue(G::kHighPointer);
    const double step = m_gauge->step();
    // Keep the limits apart; whole steps, so the pointer shows what is written.
    if (pointer == G::kLowPointer) {
        if (high - low < 0.12 * scaleMax) {
            low = std::round((high - 0.16 * scaleMax) / step) * step;
            m_gauge->setPointerValue(G::kLowPointer, low);
            low = m_gauge->pointerValue(G::kLowPointer);
        }
        for (int band : {0, 1})
            m_gauge->setBandLower(band, low);
    } else {
        if (high - low < 0.12 * scaleMax) {
            high = std::round((low + 0.16 * scaleMax) / step) * step;
            m_gauge->setPointerValue(G::kHighPointer, high);
            high = m_gauge->pointerValue(G::kHighPointer);
        }
        for (int band : {0, 1})
            m_gauge->setBandUpper(band, high);
    }

    const VisualParam p = m_selectedParam;
    // The writes of one press of the mouse to its release are one undo step,
    // however long the drag pauses; keyboard steps join within a moment.
    const bool held = m_gauge->draggedPointer() >= 0;
    device::WriteAction action(device::WriteSource::Gauge, "Limits gauge",
                               held && m_gaugeDragWritten ? device::WriteAction::Kind::DragHeld
                                                          : device::WriteAction::Kind::Drag);
    m_gaugeDragWritten = held;
    if (!isTemperature(p)) {
        const int fan = fanNumber(p);
        device::writeRegister(fan == 2 ? reg::Fan2TachLimit : reg::Fan1TachLimit,
                              std::uint8_t(device::SpeedToCount(fan, int(low))));
        m_gauge->setPointerValue(G::kHighPointer, kFanMax);
        return;
    }
    const LimitRegisters regs = limitRegisters(p);
    device::writeRegister(regs.low, device::limitToCode(int(std::lround(low))));
    device::writeRegister(regs.high, device::limitToCode(int(std::lround(high))));
}

void MainForm::Command1_Click()
{
    m_easySetup->setEnabled(false);
    m_easySetup->setText(QStringLiteral("Please Wait"));
    m_visualAllowed = true;
    auto action = std::make_unique<device::WriteAction>(device::WriteSource::EasySetup, "Easy Setup");
    device::writeRegister(reg::Configuration2, 0xFF);
    device::writeRegister(reg::ManufacturersTest, std::uint8_t(device::readRegister(reg::ManufacturersTest) | 0x08));
    device::writeRegister(reg::ManufacturersTest, std::uint8_t(device::readRegister(reg::ManufacturersTest) & ~0x08));
    m_fanOutputTimer->stop();
    device::writeRegister(reg::Remote1HighLimit, 90);
    device::writeRegister(reg::Remote1LowLimit, 0);
    device::writeRegister(reg::LocalHighLimit, 90);
    device::writeRegister(reg::LocalLowLimit, 0);
    device::writeRegister(reg::Fan1TachLimit, 252);
    device::writeRegister(reg::Fan2TachLimit, 252);
    device::writeRegister(reg::FanSpeedConfiguration, 0xFF);
    setSliderValue(15);
    device::writeRegister(reg::Configuration1, 0x1F);
    for (std::uint8_t r : {reg::Fan1Characteristics, reg::Fan2Characteristics})
        device::writeRegister(r, std::uint8_t(device::readRegister(r) | 0xC0));
    action.reset();
    m_strip->setTimeSpan(kSpanAfterEasySetup);
    m_strip->setSampleInterval(kCycleSeconds);

    m_stickyRemote1 = false;
    m_stickyRemote2 = false;
    m_stickyRemote1 = device::readRegister(reg::InterruptStatus1) != 0;
    m_stickyRemote2 = device::readRegister(reg::InterruptStatus2) != 0;
    device::ReadFanDivisors();

    m_twoWire->setEnabled(true);
    m_threeWire->setEnabled(true);
    if (!m_twoWire->isChecked()) {
        m_twoWire->setChecked(true);
        optTwoWire_Click();
    }
    for (Heater& h : m_heaters) {
        h.duty = 9;
        h.onCount = 9;
        h.offCount = 1;
    }
    m_heaterSlider->setValue(9);
    if (!m_temp1->isChecked()) {
        m_temp1->setChecked(true);
        showHeaterChannel(0);
    }
    showChipFrequencies();
    m_selectedParam = VisualParam::Local;
    setSelectorColour(0, shell::kGreen);
    for (int i = 1; i < 5; ++i)
        setSelectorColour(i, shell::kAppWorkspace);
    m_visualTimer->start();
    m_easySetup->setEnabled(true);
    m_easySetup->setText(QStringLiteral("Easy Setup"));
}

}  // namespace mainwindow
