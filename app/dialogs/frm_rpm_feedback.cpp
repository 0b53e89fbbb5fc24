#include "dialogs/frm_rpm_feedback.h"

#include "shell/mnemonics.h"
#include "ui_frm_rpm_feedback.h"

#include "device/conversions.h"
#include "device/register_map.h"
#include "device/write_log.h"

#include <QHBoxLayout>
#include <QLocale>
#include <algorithm>

namespace dialogs {

namespace {

std::uint8_t characteristicsRegister(int fan)
{
    return fan == 2 ? device::reg::Fan2Characteristics : device::reg::Fan1Characteristics;
}

std::uint8_t tachLimitRegister(int fan) { return fan == 2 ? device::reg::Fan2TachLimit : device::reg::Fan1TachLimit; }

}  // namespace

frmRPMFeedback::frmRPMFeedback(QWidget* owner) : FanDialog(owner), ui(std::make_unique<Ui::frmRPMFeedback>())
{
    ui->setupUi(this);
    shell::addMnemonics(this);
    ui->txtRPMValue->setAccessibleName(QStringLiteral("Target fan speed (RPM)"));
    setObjectName(QStringLiteral("frmRPMFeedback"));

    // The count's bits, most significant on the left; a control array.
    for (int bit = 7; bit >= 0; --bit) {
        auto* label = new QLabel(QStringLiteral("0 "), ui->panTachBits);
        label->setObjectName(QStringLiteral("lblTachBit(%1)").arg(bit));
        label->setToolTip(tr("Bit %1 of the count").arg(bit));
        ui->panTachBitsLayout->addWidget(label);
        m_tachBits.at(static_cast<std::size_t>(bit)) = label;
    }

    // Nothing to enable before a count has been worked out: the limit
    // register would otherwise get 0, a count no fan can reach.
    ui->cmdRPMEnable->setEnabled(false);

    connect(ui->optFan1, &QRadioButton::clicked, this, [this] { optFan_Click(1); });
    connect(ui->optFan2, &QRadioButton::clicked, this, [this] { optFan_Click(2); });
    const std::array divisors{ui->optN1, ui->optN2, ui->optN4, ui->optN8};
    for (int code = 0; code < 4; ++code)
        connect(divisors[static_cast<std::size_t>(code)], &QRadioButton::clicked, this,
                [this, code] { optN_Click(code); });
    connect(ui->cmdCalc, &QPushButton::clicked, this, &frmRPMFeedback::cmdCalc_Click);
    connect(ui->cmdRPMEnable, &QPushButton::clicked, this, &frmRPMFeedback::cmdRPMEnable_Click);
}

frmRPMFeedback::~frmRPMFeedback() = default;

int frmRPMFeedback::selectedFan() const { return ui->optFan1->isChecked() ? 1 : 2; }

void frmRPMFeedback::setFanCaptions()
{
    if (isTFM4410()) {
        ui->SSPanel1->setTitle(QStringLiteral("Fan Divisor"));
        ui->lblFanChars->setText(QStringLiteral("Fan Characteristics"));
        ui->lblFanTachHi->setText(QStringLiteral("Fan Tach High Limit"));
        return;
    }
    const auto n = QString::number(selectedFan());
    ui->SSPanel1->setTitle(QStringLiteral("Fan%1 Divisor").arg(n));
    ui->lblFanChars->setText(QStringLiteral("Fan%1 Characteristics").arg(n));
    ui->lblFanTachHi->setText(QStringLiteral("Fan%1 Tach High Limit").arg(n));
}

void frmRPMFeedback::Form_Load()
{
    if (isTFM4410()) {
        // One fan: fan 1 stays selected and the fan choice goes.
        ui->optFan1->setChecked(true);
        ui->grpFanSelect->hide();
        fitToContents();
    }
    setFanCaptions();
    showDivisor();
}

void frmRPMFeedback::showDivisor()
{
    const int code = (readChip(characteristicsRegister(selectedFan())) >> 6) & 0x03;
    const std::array divisors{ui->optN1, ui->optN2, ui->optN4, ui->optN8};
    auto* button = divisors[static_cast<std::size_t>(code)];
    ui->lblControlBits->setText(bitsText(code, 2));
    if (!button->isChecked()) {
        // Selecting a button runs its click handler, as a user's click would:
        // the same divisor is written back and the count worked out for it.
        button->setChecked(true);
        optN_Click(code);
    }
}

void frmRPMFeedback::optFan_Click(int)
{
    showDivisor();
    setFanCaptions();
}

void frmRPMFeedback::optN_Click(int code)
{
    modifyChip(characteristicsRegister(selectedFan()), 0x3F, static_cast<std::uint8_t>((code & 3) << 6));
    ui->lblControlBits->setText(bitsText(code, 2));
    cmdCalc_Click();
}

void frmRPMFeedback::cmdCalc_Click()
{
    device::ReadFanDivisors();
    const auto text = ui->txtRPMValue->text().trimmed();
    bool ok = false;
    double rpm = QLocale().toDouble(text, &ok);
    if (!ok)
        rpm = text.toDouble(&ok);
    if (!ok || !(rpm > 0))
        return;
    // The speed goes into the count formula in whole RPM.
    const auto count = device::TachToRpm(selectedFan(), static_cast<int>(std::min(rpm, 1e9)));
    ui->lblCountResult->setText(count ? QString::number(*count) : QString());
    // No count (a speed too low for the formula) is no target either.
    ui->cmdRPMEnable->setEnabled(count && *count <= 255);
}

void frmRPMFeedback::cmdRPMEnable_Click()
{
    bool ok = false;
    int c = ui->lblCountResult->text().toInt(&ok);
    if (!ok)
        c = 0;
    if (c < 0 || c > 255)
        return;  // not a count the register can hold; the button is off then
    for (int bit = 7; bit >= 0; --bit)
        lblTachBit(bit)->setText((c >> bit) & 1 ? QStringLiteral("1") : QStringLiteral("0"));
    device::WriteAction action(device::WriteSource::Dialog, windowTitle().toStdString() + ": Enable RPM Mode");
    modifyChip(device::reg::Configuration1, 0x7F, 0x60);
    writeChip(tachLimitRegister(selectedFan()), static_cast<std::uint8_t>(c));
}

}  // namespace dialogs
