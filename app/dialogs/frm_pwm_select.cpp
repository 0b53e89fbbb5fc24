#include "dialogs/frm_pwm_select.h"

#include "ui_frm_pwm_select.h"

#include "device/conversions.h"
#include "device/register_map.h"
#include "device/write_log.h"
#include "shell/label_colour.h"
#include "shell/mnemonics.h"

#include <QTimer>

namespace dialogs {

QString dutyListText(int code)
{
    if (code < PwmListLowestCode || code > PwmListHighestCode)
        return {};
    return QStringLiteral("%1 %").arg(device::DutyPercent.at(static_cast<std::size_t>(code)));
}

std::optional<int> dutyCodeForText(const QString& text)
{
    for (int code = PwmListHighestCode; code >= PwmListLowestCode; --code)
        if (dutyListText(code) == text)
            return code;
    return std::nullopt;
}

frmPWMSelect::frmPWMSelect(QWidget* owner) : FanDialog(owner), ui(std::make_unique<Ui::frmPWMSelect>())
{
    ui->setupUi(this);
    shell::addMnemonics(this);
    setObjectName(QStringLiteral("frmPWMSelect"));

    for (auto* combo : {ui->cmbFan1, ui->cmbFan2}) {
        for (int code = PwmListHighestCode; code >= PwmListLowestCode; --code)
            combo->addItem(dutyListText(code));
        combo->setEditText(dutyListText(PwmListHighestCode));
    }
    connect(ui->cmdEnablePWM, &QPushButton::clicked, this, &frmPWMSelect::cmdEnablePWM_Click);

    m_tmrEnable = new QTimer(this);
    m_tmrEnable->setObjectName(QStringLiteral("tmrEnable"));
    m_tmrEnable->setInterval(20);
    connect(m_tmrEnable, &QTimer::timeout, this, &frmPWMSelect::tmrEnable_Timer);
}

frmPWMSelect::~frmPWMSelect() = default;

void frmPWMSelect::Form_Load()
{
    if (isTFM4410()) {
        ui->lblPWM2->setText(QStringLiteral("X X X X"));
        shell::setTextColour(ui->lblPWM2, shell::kAppWorkspace);
        ui->lblPWM2->setToolTip(tr("Not used by the single-fan chip"));
        ui->cmbFan2->hide();
        ui->lblFan2->hide();
        setWindowTitle(QStringLiteral("PWM"));
        fitToContents();
    }
    ShowDutyCycles(readChip(device::reg::FanSpeedConfiguration));
    m_tmrEnable->start();
}

void frmPWMSelect::ShowDutyCycles(int fanSpeedConfig)
{
    const auto fan1 = dutyListText(device::dutyCode(fanSpeedConfig, 1));
    if (!fan1.isEmpty())
        ui->cmbFan1->setEditText(fan1);
    if (isTFM4411()) {
        const auto fan2 = dutyListText(device::dutyCode(fanSpeedConfig, 2));
        if (!fan2.isEmpty())
            ui->cmbFan2->setEditText(fan2);
    }
}

void frmPWMSelect::tmrEnable_Timer()
{
    if (const auto code = dutyCodeForText(ui->cmbFan1->currentText()))
        ui->lblPWM1->setText(bitsText(*code, 4));
    if (isTFM4411())
        if (const auto code = dutyCodeForText(ui->cmbFan2->currentText()))
            ui->lblPWM2->setText(bitsText(*code, 4));
}

void frmPWMSelect::cmdEnablePWM_Click()
{
    device::WriteAction action(device::WriteSource::Dialog, windowTitle().toStdString() + ": Enable PWM Mode");
    if (const auto fan1 = dutyCodeForText(ui->cmbFan1->currentText())) {
        int value = *fan1;
        if (isTFM4411()) {
            if (const auto fan2 = dutyCodeForText(ui->cmbFan2->currentText()))
                value |= *fan2 * 16;
            else
                // A fan-2 text the list lacks keeps fan 2's duty as the chip
                // has it, instead of stopping the fan with a zero code.
                value |= readChip(device::reg::FanSpeedConfiguration) & 0xF0;
        }
        writeChip(device::reg::FanSpeedConfiguration, static_cast<std::uint8_t>(value));
    }
    modifyChip(device::reg::Configuration1, 0x1F, 0x00);
}

}  // namespace dialogs
