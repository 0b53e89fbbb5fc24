// The fan control panel: mode labels, duty slider, fan type, commutation
// pulses, PWM frequencies, and the heater's software PWM.
#include "main_window/main_form.h"

#include "device/conversions.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "device/write_log.h"
#include "dialogs/dialogs.h"
#include "main_window/latest_readings.h"
#include "shell/label_colour.h"
#include "shell/ui_services.h"
#include "widgets/indicators.h"
#include "widgets/limits_gauge.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <algorithm>

namespace mainwindow {

namespace {

using device::RegisterLink;
namespace reg = device::reg;

constexpr unsigned kHeaterBit[2] = {0x10, 0x20};

// The first slide on the single-channel chip switches the display to the
// fan, once per run.
bool g_firstSlideSeen = false;

// Numbers as the classic number-to-text conversion writes them: a blank in
// the sign position of a non-negative value.
QString signedText(double value)
{
    const QString digits = QString::number(value, 'g', 7);
    return value < 0 ? digits : QLatin1Char(' ') + digits;
}

}  // namespace

void MainForm::Get_Duty_Cycle()
{
    const int code = m_dutySlider->value();
    if (code < 0 || code > 15)
        return;
    m_dutyText->setText(code == 0 ? QStringLiteral("Off")
                                  : QString::number(device::DutyPercent[std::size_t(code)]) + QLatin1Char('%'));
}

void MainForm::Print_Duty_Cycle()
{
    const int code = RegisterLink.DataByte;
    if (code > 15)
        return;
    LatestReadings().dutyText = std::to_string(device::DutyPercent[std::size_t(code)]);
}

void MainForm::Get_PWM_Frequency()
{
    const int code = RegisterLink.ReadResult;
    if (code < 0 || code > 7)
        return;
    LatestReadings().frequencyText = std::string(device::PwmFrequencyTexts[std::size_t(code)]);
}

void MainForm::Set_PWM_Frequency()
{
    const auto& texts = device::PwmFrequencyTexts;
    const auto found = std::find(texts.begin(), texts.end(), LatestReadings().frequencyText);
    // An unknown text (a combo not yet read from the chip) writes nothing
    // rather than forcing the lowest frequency.
    if (found == texts.end())
        return;
    const int code = int(found - texts.begin());
    RegisterLink.DataByte = std::uint8_t(RegisterLink.ReadResult | (code * 8));
    device::WriteAction action(device::WriteSource::FanControl, "PWM frequency");
    device::WriteRegister();
}

void MainForm::Get_Comm_Pulses()
{
    const bool twoWire = device::readRegister(reg::Configuration1) & device::bits::Config1TachAin;
    m_comPulses->setEnabled(twoWire);
    m_twoPulses->setEnabled(twoWire);
    m_fourPulses->setEnabled(twoWire);
}

void MainForm::Reset_Mode_Display()
{
    for (QLabel* label : m_modes)
        shell::setTextColour(label, shell::kAppWorkspace);
}

void MainForm::Get_Control_Status()
{
    if (!isTfm4411()) {
        m_mode2Caption->hide();
        m_mode2->hide();
    }
    const int config1 = device::readRegister(reg::Configuration1);
    QString fan1;
    QString fan2;
    if (config1 & device::bits::Config1AutoControl) {
        const int filter = device::readRegister(reg::FanFilterControl) & 0x03;
        const QString on = QStringLiteral("Automatic (Filtering On)");
        const QString off = QStringLiteral("Automatic (Filtering Off)");
        fan1 = (filter & 1) ? on : off;
        fan2 = (filter & 2) ? on : off;
    } else {
        const QString pwm = QStringLiteral("PWM Select");
        const QString rpm = QStringLiteral("RPM Feedback");
        fan1 = (config1 & 0x20) ? rpm : pwm;
        fan2 = (config1 & 0x40) ? rpm : pwm;
    }
    m_mode1->setText(fan1);
    m_mode2->setText(fan2);
}

void MainForm::lblModes_Click(int index)
{
    if (index < 0 || index > 3)
        return;
    m_lastMode = index;
    Reset_Mode_Display();
    shell::setTextColour(m_modes[std::size_t(index)], shell::kGreen);
    QWidget* owner = window();
    switch (index) {
    case 0:
        dialogs::unloadRPMFeedback();
        dialogs::showSpinUp(owner);
        break;
    case 1:
        dialogs::unloadRPMFeedback();
        dialogs::unloadSpinUp();
        dialogs::showFiltered(owner);
        break;
    case 2:
        dialogs::unloadSpinUp();
        dialogs::unloadFiltered();
        dialogs::showRPMFeedback(owner);
        break;
    case 3:
        dialogs::unloadSpinUp();
        dialogs::unloadFiltered();
        dialogs::unloadRPMFeedback();
        dialogs::showPWMSelect(owner);
        break;
    }
}

void MainForm::setSliderFan(int fan)
{
    // The single-channel chip has one fan, in the low nibble, whatever the
    // slider is captioned.
    const bool single = device::RegisterLink.DeviceId == device::DeviceIdTFM4410;
    m_sliderFan = !single && fan == 2 ? 2 : 1;
    m_dutySlider->setCaption(single             ? QStringLiteral("Fan")
                             : m_sliderFan == 2 ? QStringLiteral("Fan2")
                                                : QStringLiteral("Fan1"));
}

void MainForm::setSliderValue(int value)
{
    // The chip's value is shown, not written back; and a slider the user is
    // holding is left alone.
    if (m_dutySlider->slider()->isSliderDown())
        return;
    m_settingSlider = true;
    m_dutySlider->setValue(value);
    m_settingSlider = false;
    Get_Duty_Cycle();
}

void MainForm::writeDutyFromSlider(int value, bool committed)
{
    if (m_settingSlider)
        return;
    Get_Duty_Cycle();
    // The printer port follows the slide; the chipset bus is written once the
    // value is committed. A committed value is written on the printer port
    // too, so keyboard steps reach the chip.
    if (printerMedium() || committed) {
        int config = device::readRegister(reg::FanSpeedConfiguration);
        config = m_sliderFan == 2 ? (config & 0x0F) | ((value & 0x0F) << 4) : (config & 0xF0) | (value & 0x0F);
        // The writes of one press of the handle to its release are one undo
        // step, however long the slide pauses (the release commits).
        const bool held = m_dutySlider->slider()->isSliderDown() || (committed && m_dutySlideWritten);
        device::WriteAction action(device::WriteSource::FanControl, "Duty cycle slider",
                                   held && m_dutySlideWritten ? device::WriteAction::Kind::DragHeld
                                                              : device::WriteAction::Kind::Drag);
        m_dutySlideWritten = m_dutySlider->slider()->isSliderDown();
        device::writeRegister(reg::FanSpeedConfiguration, std::uint8_t(config));
    }
    if (committed) {
        move_mouse_away();
        return;
    }
    if (device::RegisterLink.DeviceId == device::DeviceIdTFM4410 && !g_firstSlideSeen) {
        g_firstSlideSeen = true;
        visualdisplaytext_Click(int(VisualParam::Fan1));
        setSelectorColour(int(VisualParam::Fan1), shell::kBrightGreen);
    }
}

void MainForm::optThreeWire_Click()
{
    shell::msgBox(
        this,
        isTfm4411()
            ? QStringLiteral("Ensure that Switches S1 and S2 are set to the 'TACH' position before proceeding. ")
            : QStringLiteral("Ensure that Switch S1 is set to the 'TACH' position before proceeding. "),
        shell::MsgButtons::Ok, QString(), shell::MsgIcon::Critical);
    device::WriteAction action(device::WriteSource::FanControl, "Fan type");
    device::writeRegister(reg::Configuration1, std::uint8_t(device::readRegister(reg::Configuration1) & 0xFB));
}

void MainForm::optTwoWire_Click()
{
    shell::msgBox(
        this,
        isTfm4411() ? QStringLiteral("Ensure that Switches S1 and S2 are set to the 'AIN' position before proceeding.")
                    : QStringLiteral("Ensure that Switch S1 is set to the 'AIN' position before proceeding."),
        shell::MsgButtons::Ok, QString(), shell::MsgIcon::Exclamation);
    device::WriteAction action(device::WriteSource::FanControl, "Fan type");
    device::writeRegister(reg::Configuration1, std::uint8_t(device::readRegister(reg::Configuration1) | 0x04));
}

void MainForm::placeLowPointerAtTachLimit()
{
    const VisualParam p = m_selectedParam;
    if (p != VisualParam::Fan1 && p != VisualParam::Fan2)
        return;
    const int fan = p == VisualParam::Fan2 ? 2 : 1;
    const int count = device::readRegister(fan == 2 ? reg::Fan2TachLimit : reg::Fan1TachLimit);
    const double rpm = device::TachToRpm(fan, count).value_or(0);
    m_gauge->setPointerValue(widgets::LimitsGauge::kLowPointer, rpm);
    const double placed = m_gauge->pointerValue(widgets::LimitsGauge::kLowPointer);
    m_gauge->setBandLower(0, placed);
    m_gauge->setBandLower(1, placed);
}

void MainForm::cmdEnable_Click()
{
    if (m_heaterShape->fillBgr() == shell::kRed) {
        m_heaterShape->setFillBgr(shell::kBrightGreen);
        m_heaterShape->setText(QStringLiteral("On"));
        m_enable->setText(QStringLiteral("Disable Control"));
        m_heaterSlider->setEnabled(true);
        storeHeaterDuty();
    } else {
        m_heaterShape->setFillBgr(shell::kRed);
        m_heaterShape->setText(QStringLiteral("Off"));
        m_enable->setText(QStringLiteral("Enable Control"));
        m_heaterSlider->setEnabled(false);
    }
}

void MainForm::storeHeaterDuty()
{
    m_heaters[m_temp1->isChecked() ? 0 : 1].duty = m_heaterSlider->value();
    updateHeaterLabels();
}

void MainForm::showHeaterChannel(int channel)
{
    m_heaterTitle->setText(channel == 0 ? QStringLiteral("Temp1") : QStringLiteral("Temp2"));
    m_heaterSlider->setValue(m_heaters[std::size_t(channel)].duty);
    updateHeaterLabels();
}

void MainForm::runHeater(int channel)
{
    Heater& h = m_heaters[std::size_t(channel)];
    if (h.onCount < 1 && h.offCount <= 0) {
        h.onCount = qint16(h.duty);
        h.offCount = qint16(10 - h.duty);
    }
    if (h.onCount >= 1) {
        changeStayHighBits(0xFF, kHeaterBit[channel]);
        --h.onCount;
    } else {
        changeStayHighBits(~kHeaterBit[channel] & 0xFF, 0);
        --h.offCount;
    }
}

void MainForm::updateHeaterLabels()
{
    const LatestReadingsRecord& latest = LatestReadings();
    m_heaterTemp->setText(signedText(m_temp1->isChecked() ? latest.remote1Temp : latest.remote2Temp) +
                          QStringLiteral("°C"));
    m_heaterDuty->setText(signedText(m_heaterSlider->value() * 10) + QStringLiteral(" %"));
}

void MainForm::heaterTick()
{
    if (!printerMedium())
        return;
    if (m_heaterShape->fillBgr() == shell::kBrightGreen) {
        runHeater(0);
        if (m_temp2->isEnabled())
            runHeater(1);
    } else {
        changeStayHighBits(0xCF, 0);
    }
    updateHeaterLabels();
}

}  // namespace mainwindow
