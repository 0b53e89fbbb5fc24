#include "dialogs/frm_spin_up.h"

#include "dialogs/dialogs.h"
#include "dialogs/frm_control_curves.h"
#include "ui_frm_spin_up.h"

#include "device/register_link.h"
#include "device/register_map.h"
#include "shell/label_colour.h"
#include "shell/mnemonics.h"

#include <QTimer>

#include <span>

namespace dialogs {

std::int16_t SpinUpFocusCode = 0;

namespace {

constexpr std::uint32_t LampOn = 0x00FF00;   // pure green
constexpr std::uint32_t LampOff = 0x0000FF;  // pure red
const QString EnableText = QStringLiteral("Enable Control");
const QString DisableText = QStringLiteral("Disable Control");

QStringList toList(std::span<const std::string_view> texts)
{
    QStringList list;
    for (auto text : texts)
        list << QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    return list;
}

QStringList spinUpTexts() { return toList(SpinUpTimeTexts); }
QStringList trangeTexts()
{
    QStringList list;
    for (int code = 0; code < chiplaw::TrangeOfferedCodes; ++code)
        list << QString::number(chiplaw::TrangeDegrees[static_cast<std::size_t>(code)]);
    return list;
}

// Texts of the Tmin codes 0..31; the list shown adds "128" after them.
QStringList tminTexts()
{
    QStringList list;
    for (int code = 0; code < TminCodes; ++code)
        list << QString::number(code * TminStep);
    return list;
}

}  // namespace

frmSpinUp::frmSpinUp(QWidget* owner) : FanDialog(owner), ui(std::make_unique<Ui::frmSpinUp>())
{
    ui->setupUi(this);
    shell::addMnemonics(this);
    setObjectName(QStringLiteral("frmSpinUp"));

    ui->cmbSpinUp1->addItems(spinUpTexts());
    ui->cmbSpinUp2->addItems(spinUpTexts());
    ui->cmbSpinUp1->setEditText(QStringLiteral("2000"));
    ui->cmbSpinUp2->setEditText(QStringLiteral("2000"));
    ui->cmbTrange->addItems(trangeTexts());
    ui->cmbTrange->setEditText(QStringLiteral("10"));
    ui->cmbTmin->addItems(tminTexts() << QString::number(TminCodes * TminStep));
    ui->cmbTmin->setEditText(QStringLiteral("48"));
    ui->Shape1->setFillBgr(LampOff);
    ui->Shape1->setText(tr("Off"));

    // The two button groups are exclusive through their group boxes. Only a
    // user's click (or a load that changes the selection) writes the chip.
    const std::array cons{ui->optCon0, ui->optCon1, ui->optCon2, ui->optCon3};
    for (int n = 0; n < 4; ++n)
        connect(cons[static_cast<std::size_t>(n)], &QRadioButton::clicked, this, [this, n] { optCon_Click(n); });
    connect(ui->optLocal, &QRadioButton::clicked, this, &frmSpinUp::optLocal_Click);
    connect(ui->optRemote1, &QRadioButton::clicked, this, &frmSpinUp::optRemote1_Click);
    connect(ui->optRemote2, &QRadioButton::clicked, this, &frmSpinUp::optRemote2_Click);
    connect(ui->cmdControl, &QPushButton::clicked, this, &frmSpinUp::cmdControl_Click);
    connect(ui->cmdFanReset, &QPushButton::clicked, this, &frmSpinUp::cmdFanReset_Click);
    // cmdRegWindow has no action.
    connect(ui->cmdCurves, &QPushButton::clicked, this, &frmSpinUp::cmdCurves_Click);

    m_focus = new FocusCodeTracker(SpinUpFocusCode, this);
    m_focus->track(ui->cmbSpinUp1, 1);
    m_focus->track(ui->cmbSpinUp2, 2);
    m_focus->track(ui->cmbTrange, 3);
    m_focus->track(ui->cmbTmin, 4);
    m_focus->setOnLeave([this](std::int16_t code) { commitCombo(code); });

    m_tmrCheckCombos = new QTimer(this);
    m_tmrCheckCombos->setObjectName(QStringLiteral("tmrCheckCombos"));
    m_tmrCheckCombos->setInterval(250);
    connect(m_tmrCheckCombos, &QTimer::timeout, this, &frmSpinUp::tmrCheckCombos_Timer);
}

frmSpinUp::~frmSpinUp() = default;

void frmSpinUp::aboutToUnload()
{
    m_focus->detach();
    if (m_curves)
        m_curves->close();
}

void frmSpinUp::cmdCurves_Click()
{
    if (!m_curves) {
        m_curves = new frmControlCurves(this);
        m_curves->setOnWritten([this](std::uint8_t reg) { followChannel(reg); });
    }
    m_curves->show();
    m_curves->raise();
    m_curves->activateWindow();
}

void frmSpinUp::followChannel(std::uint8_t tminTrangeRegister)
{
    QRadioButton* button = nullptr;
    if (tminTrangeRegister == device::reg::LocalTminTrange)
        button = ui->optLocal;
    else if (tminTrangeRegister == device::reg::Remote1TminTrange)
        button = ui->optRemote1;
    else if (tminTrangeRegister == device::reg::Remote2TminTrange && isTFM4411())
        button = ui->optRemote2;
    if (!button)
        return;
    button->setChecked(true);
    if (button == ui->optLocal)
        optLocal_Click();
    else if (button == ui->optRemote1)
        optRemote1_Click();
    else
        optRemote2_Click();
}

void frmSpinUp::Form_Load()
{
    unloadFiltered();

    if (isTFM4410())
        cutDownForSingleChannel();

    setControlState((readChip(device::reg::Configuration1) & 0x80) != 0);
    selectControlOperation((readChip(device::reg::Configuration1) & 0x60) / 32);

    showSpinUp(device::reg::Fan1Characteristics, ui->cmbSpinUp1, ui->lblSpinUpBits1);
    // Read on the single-channel chip too, where the controls are hidden.
    showSpinUp(device::reg::Fan2Characteristics, ui->cmbSpinUp2, ui->lblSpinUpBits2);

    ShowChannelLimits();
    m_tmrCheckCombos->start();
}

void frmSpinUp::cutDownForSingleChannel()
{
    for (QWidget* w :
         {static_cast<QWidget*>(ui->optRemote2), static_cast<QWidget*>(ui->Label9), static_cast<QWidget*>(ui->Label8),
          static_cast<QWidget*>(ui->cmbSpinUp2), static_cast<QWidget*>(ui->optCon1), static_cast<QWidget*>(ui->optCon2),
          static_cast<QWidget*>(ui->panSpinUpBits2)})
        w->hide();
    ui->optRemote1->setText(QStringLiteral("Remote"));
    ui->Label2->setText(QStringLiteral("Fan SpinUp Time (ms)"));
    ui->Label3->setText(QStringLiteral("Fan Characteristics"));
    ui->cmdFanReset->setText(QStringLiteral("Reset Fan to 33%"));
    ui->optCon0->setText(QStringLiteral("Remote Temp Controls Fan"));
    // The design-time caption names "Remote1", which this chip does not have.
    if (ui->optRemote1->isChecked())
        ui->lblSelectedTemp->setText(QStringLiteral("Remote Tmin/Trange"));
    fitToContents();
}

void frmSpinUp::setControlState(bool on)
{
    ui->cmdControl->setText(on ? DisableText : EnableText);
    ui->Shape1->setFillBgr(on ? LampOn : LampOff);
    ui->Shape1->setText(on ? tr("On") : tr("Off"));
    ui->Shape1->setToolTip(on ? tr("Automatic control is on") : tr("Automatic control is off"));
}

void frmSpinUp::selectControlOperation(int n)
{
    const std::array cons{ui->optCon0, ui->optCon1, ui->optCon2, ui->optCon3};
    auto* button = cons[static_cast<std::size_t>(n & 3)];
    if (button->isChecked()) {
        ui->lblControlBits->setText(bitsText(n, 2));
        return;
    }
    // Selecting a button runs its click handler, as a user's click would.
    button->setChecked(true);
    optCon_Click(n);
}

void frmSpinUp::showSpinUp(std::uint8_t reg, QComboBox* combo, QLabel* bits)
{
    const int v = readChip(reg) & 0x07;
    combo->setEditText(spinUpTexts().at(v));
    bits->setText(bitsText(v, 3));
}

std::uint8_t frmSpinUp::channelRegister() const
{
    if (ui->optLocal->isChecked())
        return device::reg::LocalTminTrange;
    if (ui->optRemote1->isChecked())
        return device::reg::Remote1TminTrange;
    if (ui->optRemote2->isChecked())
        return device::reg::Remote2TminTrange;
    return device::reg::Remote1TminTrange;
}

void frmSpinUp::ShowChannelLimits()
{
    const int range = readChip(channelRegister()) & 0x07;
    if (range < chiplaw::TrangeOfferedCodes) {
        ui->cmbTrange->setEditText(trangeTexts().at(range));
        ui->lblTrangeBits->setText(bitsText(range, 3));
    }
    const int t = (readChip(channelRegister()) & 0xF8) / 8;
    ui->cmbTmin->setEditText(QString::number(t * TminStep));
    ui->lblTminBits->setText(bitsText(t, 5));
}

void frmSpinUp::optLocal_Click()
{
    ShowChannelLimits();
    ui->lblSelectedTemp->setText(QStringLiteral("Local Tmin/Trange"));
}

void frmSpinUp::optRemote1_Click()
{
    ShowChannelLimits();
    ui->lblSelectedTemp->setText(isTFM4411() ? QStringLiteral("Remote1 Tmin/Trange")
                                             : QStringLiteral("Remote Tmin/Trange"));
}

void frmSpinUp::optRemote2_Click()
{
    ShowChannelLimits();
    ui->lblSelectedTemp->setText(QStringLiteral("Remote2 Tmin/Trange"));
}

void frmSpinUp::optCon_Click(int n)
{
    modifyChip(device::reg::Configuration1, 0x9F, static_cast<std::uint8_t>((n & 3) * 0x20));
    ui->lblControlBits->setText(bitsText(n, 2));
}

void frmSpinUp::cmdControl_Click()
{
    // Toggles on the caption, not on the bit read: the caption names the
    // action the user asked for.
    const bool enable = ui->cmdControl->text() != DisableText;
    const auto value = readChip(device::reg::Configuration1);
    setControlState(enable);
    writeChip(device::reg::Configuration1, enable ? (value | 0x80) : (value & 0x7F));
}

void frmSpinUp::cmdFanReset_Click() { writeChip(device::reg::FanSpeedConfiguration, 0x55); }

void frmSpinUp::tmrCheckCombos_Timer() { commitCombo(SpinUpFocusCode); }

void frmSpinUp::commitSpinUp(std::uint8_t reg, QComboBox* combo, QLabel* bits)
{
    const auto v = matchEntry(spinUpTexts(), combo->currentText());
    if (!v)
        return;
    bits->setText(bitsText(*v, 3));
    modifyChip(reg, 0xF8, static_cast<std::uint8_t>(*v));
}

void frmSpinUp::commitCombo(std::int16_t code)
{
    switch (code) {
    case 1: commitSpinUp(device::reg::Fan1Characteristics, ui->cmbSpinUp1, ui->lblSpinUpBits1); break;
    case 2: commitSpinUp(device::reg::Fan2Characteristics, ui->cmbSpinUp2, ui->lblSpinUpBits2); break;
    case 3:
        if (const auto v = matchEntry(trangeTexts(), ui->cmbTrange->currentText())) {
            ui->lblTrangeBits->setText(bitsText(*v, 3));
            modifyChip(channelRegister(), 0xF8, static_cast<std::uint8_t>(*v));
        }
        break;
    case 4:
        if (const auto v = matchEntry(tminTexts(), ui->cmbTmin->currentText())) {
            ui->lblTminBits->setText(bitsText(*v, 5));
            modifyChip(channelRegister(), 0x07, static_cast<std::uint8_t>(*v * 8));
        }
        break;
    default: break;
    }
}

}  // namespace dialogs
