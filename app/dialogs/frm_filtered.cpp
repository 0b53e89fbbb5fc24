#include "dialogs/frm_filtered.h"

#include "dialogs/dialogs.h"
#include "shell/mnemonics.h"
#include "ui_frm_filtered.h"

#include "device/register_map.h"

#include <QLocale>
#include <QTimer>

namespace dialogs {

std::int16_t FilterFocusCode = 0;

namespace {

QString latin1(std::string_view text) { return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size())); }

QStringList incrementTexts()
{
    QStringList list;
    for (auto text : IncrementRateTexts)
        list << latin1(text);
    return list;
}

constexpr std::uint8_t FilterReg = device::reg::FanFilterControl;

}  // namespace

QStringList sampleRateTexts()
{
    QStringList list{QLocale().toString(SampleRateFirstHz)};
    for (auto text : SampleRateTextsAfterFirst)
        list << latin1(text);
    return list;
}

frmFiltered::frmFiltered(QWidget* owner) : FanDialog(owner), ui(std::make_unique<Ui::frmFiltered>())
{
    ui->setupUi(this);
    shell::addMnemonics(this);
    setObjectName(QStringLiteral("frmFiltered"));

    ui->cmbSampleRate->addItems(sampleRateTexts());
    ui->cmbSampleRate->setEditText(QStringLiteral("1400"));
    ui->cmbIncRate->addItems(incrementTexts());
    ui->cmbIncRate->setEditText(QStringLiteral("4"));

    connect(ui->cmdFan1Filter, &QPushButton::clicked, this, &frmFiltered::cmdFan1Filter_Click);
    connect(ui->cmdFan2Filter, &QPushButton::clicked, this, &frmFiltered::cmdFan2Filter_Click);
    connect(ui->cmdDisableSpin, &QPushButton::clicked, this, &frmFiltered::cmdDisableSpin_Click);
    connect(ui->cmdSetControl, &QPushButton::clicked, this, &frmFiltered::cmdSetControl_Click);

    m_focus = new FocusCodeTracker(FilterFocusCode, this);
    m_focus->track(ui->cmbIncRate, 5);
    m_focus->track(ui->cmbSampleRate, 6);
    m_focus->setOnLeave([this](std::int16_t code) { commitCombo(code); });

    m_tmrFilter = new QTimer(this);
    m_tmrFilter->setObjectName(QStringLiteral("tmrFilter"));
    m_tmrFilter->setInterval(500);
    connect(m_tmrFilter, &QTimer::timeout, this, &frmFiltered::tmrFilter_Timer);
}

frmFiltered::~frmFiltered() = default;

void frmFiltered::aboutToUnload() { m_focus->detach(); }

void frmFiltered::Form_Load()
{
    if (isTFM4410()) {
        m_fan1EnableText = QStringLiteral("Enable Fan Filter");
        m_fan1DisableText = QStringLiteral("Disable Fan Filter");
        ui->cmdFan2Filter->hide();
        ui->panEnable2->hide();
        ui->cmdFan1Filter->setText(m_fan1EnableText);
        fitToContents();
    } else {
        m_fan1EnableText = QStringLiteral("Enable Fan1 Filter");
        m_fan1DisableText = QStringLiteral("Disable Fan1 Filter");
    }

    const int value = readChip(FilterReg);
    const bool fan1 = value & 0x01;
    ui->cmdFan1Filter->setText(fan1 ? m_fan1DisableText : m_fan1EnableText);
    ui->lblEnable1->setText(fan1 ? QStringLiteral("1") : QStringLiteral("0"));
    const bool fan2 = value & 0x02;
    ui->cmdFan2Filter->setText(fan2 ? QStringLiteral("Disable Fan2 Filter") : QStringLiteral("Enable Fan2 Filter"));
    ui->lblEnable2->setText(fan2 ? QStringLiteral("1") : QStringLiteral("0"));
    const bool spinUpOff = value & 0x80;
    ui->cmdDisableSpin->setText(spinUpOff ? QStringLiteral("Enable Spin-Up") : QStringLiteral("Disable Spin-Up"));
    ui->lblDisSpin->setText(spinUpOff ? QStringLiteral("1") : QStringLiteral("0"));
    const int inc = (value >> 5) & 0x03;
    ui->cmbIncRate->setEditText(incrementTexts().at(inc));
    ui->lblIncBits->setText(bitsText(inc, 2));
    const int rate = (value >> 2) & 0x07;
    ui->cmbSampleRate->setEditText(sampleRateTexts().at(rate));
    ui->lblSampleBits->setText(bitsText(rate, 3));

    m_tmrFilter->start();
}

void frmFiltered::cmdFan1Filter_Click()
{
    const auto value = readChip(FilterReg);
    const bool on = value & 0x01;
    ui->cmdFan1Filter->setText(on ? m_fan1EnableText : m_fan1DisableText);
    ui->lblEnable1->setText(on ? QStringLiteral("0") : QStringLiteral("1"));
    writeChip(FilterReg, on ? (value & 0xFE) : (value | 0x01));
}

void frmFiltered::cmdFan2Filter_Click()
{
    const auto value = readChip(FilterReg);
    const bool on = value & 0x02;
    ui->cmdFan2Filter->setText(on ? QStringLiteral("Enable Fan2 Filter") : QStringLiteral("Disable Fan2 Filter"));
    ui->lblEnable2->setText(on ? QStringLiteral("0") : QStringLiteral("1"));
    writeChip(FilterReg, on ? (value & 0xFD) : (value | 0x02));
}

void frmFiltered::cmdDisableSpin_Click()
{
    const auto value = readChip(FilterReg);
    const bool disabled = value & 0x80;
    ui->cmdDisableSpin->setText(disabled ? QStringLiteral("Disable Spin-Up") : QStringLiteral("Enable Spin-Up"));
    ui->lblDisSpin->setText(disabled ? QStringLiteral("0") : QStringLiteral("1"));
    writeChip(FilterReg, disabled ? (value & 0x7F) : (value | 0x80));
}

void frmFiltered::cmdSetControl_Click()
{
    // Loading frmSpinUp unloads this dialog; showSpinUp copes with that.
    showSpinUp(parentWidget());
}

void frmFiltered::tmrFilter_Timer() { commitCombo(FilterFocusCode); }

void frmFiltered::commitCombo(std::int16_t code)
{
    if (code == 6) {
        if (const auto v = matchEntry(sampleRateTexts(), ui->cmbSampleRate->currentText())) {
            ui->lblSampleBits->setText(bitsText(*v, 3));
            modifyChip(FilterReg, 0xE3, static_cast<std::uint8_t>(*v * 4));
        }
    } else if (code == 5) {
        if (const auto v = matchEntry(incrementTexts(), ui->cmbIncRate->currentText())) {
            ui->lblIncBits->setText(bitsText(*v, 2));
            modifyChip(FilterReg, 0x9F, static_cast<std::uint8_t>(*v * 32));
        }
    }
}

}  // namespace dialogs
