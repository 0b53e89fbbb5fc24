// The Control tab: fan control modes, fan type, PWM frequencies, the
// evaluation board's heater control, logging and save/recall.
#include "main_window/main_form.h"

#include "device/conversions.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "main_window/form_parts.h"
#include "main_window/frm_save_reg.h"
#include "main_window/latest_readings.h"
#include "main_window/logging_panel.h"
#include "main_window/save_recall_panel.h"
#include "shell/label_colour.h"
#include "widgets/indicators.h"
#include "widgets/label_button.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>
#include <array>

namespace mainwindow {

using form::indexedName;
using form::makeLabel;
using form::named;

namespace {
const std::array<QString, 4> kModeCaptions{
    QStringLiteral("Automatic Fan Speed Control"), QStringLiteral("Filtered Automatic Control"),
    QStringLiteral("RPM Feedback Mode"), QStringLiteral("PWM Duty Cycle Select")};
}  // namespace

void MainForm::buildControlTab(QWidget* page)
{
    auto* layout = new QGridLayout(page);

    auto* modes = named(new QGroupBox(QStringLiteral("Fan Control Mode"), page), QStringLiteral("SSPanel1"));
    auto* modesLayout = new QVBoxLayout(modes);
    auto* modeKeys = new widgets::LabelButtonGroup(modes);
    for (int i = 0; i < 4; ++i) {
        auto* label = named(new QLabel(kModeCaptions[std::size_t(i)], modes), indexedName("lblModes", i));
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
        label->setCursor(Qt::PointingHandCursor);
        label->setToolTip(QStringLiteral("Click to configure this mode"));
        label->installEventFilter(this);
        modeKeys->add(label, [this, i] { lblModes_Click(i); });
        shell::setTextColour(label, shell::kAppWorkspace);
        m_modes[std::size_t(i)] = label;
        modesLayout->addWidget(label);
    }
    layout->addWidget(modes, 0, 0);

    m_fanType = named(new QGroupBox(QStringLiteral("Fan Type"), page), QStringLiteral("SSPanel6"));
    auto* typeLayout = new QVBoxLayout(m_fanType);
    m_twoWire = named(new QRadioButton(QStringLiteral("2-Wire Fan"), m_fanType), QStringLiteral("optTwoWire"));
    m_threeWire = named(new QRadioButton(QStringLiteral("3-Wire Fan"), m_fanType), QStringLiteral("optThreeWire"));
    typeLayout->addWidget(m_twoWire);
    typeLayout->addWidget(m_threeWire);
    layout->addWidget(m_fanType, 1, 0);

    // Beside the specified panels, in a row of its own under them.
    auto* characterise =
        named(new QPushButton(QStringLiteral("Characterise Fan..."), page), QStringLiteral("cmdCharacterise"));
    characterise->setAccessibleName(QStringLiteral("Characterise Fan"));
    characterise->setToolTip(QStringLiteral("Measure the fan's speed at every duty, its start and stall duty and "
                                            "spin-up time"));
    connect(characterise, &QPushButton::clicked, this, &MainForm::cmdCharacterise_Click);
    auto* tune =
        named(new QPushButton(QStringLiteral("Tune Automatic Control..."), page), QStringLiteral("cmdTuneControl"));
    tune->setAccessibleName(QStringLiteral("Tune Automatic Control"));
    tune->setToolTip(QStringLiteral("Measure a remote channel's thermal loop and propose Tmin, Trange and the "
                                    "minimum duty for a temperature target"));
    connect(tune, &QPushButton::clicked, this, &MainForm::cmdTuneControl_Click);
    auto* tools = new QHBoxLayout;
    tools->addWidget(characterise);
    tools->addWidget(tune);
    tools->addStretch(1);
    layout->addLayout(tools, 5, 0, 1, 2);

    m_freqPanel = named(new QGroupBox(QStringLiteral("PWM Frequency"), page), QStringLiteral("SSPanel2"));
    auto* freqLayout = new QGridLayout(m_freqPanel);
    m_fan1PwmLabel = makeLabel(QStringLiteral("Fan1 (Hz)"), "lblFan1PWM", m_freqPanel);
    m_fan2PwmLabel = makeLabel(QStringLiteral("Fan2 (Hz)"), "lblFan2PWM", m_freqPanel);
    m_freq1 = named(new QComboBox(m_freqPanel), QStringLiteral("cmbFreq1"));
    m_freq2 = named(new QComboBox(m_freqPanel), QStringLiteral("cmbFreq2"));
    for (QComboBox* combo : {m_freq1, m_freq2}) {
        for (auto text : device::PwmFrequencyTexts)
            combo->addItem(QString::fromLatin1(text.data(), qsizetype(text.size())));
        // Empty until read from the chip, so the cycle never writes a
        // frequency the user did not choose.
        combo->setCurrentIndex(-1);
    }
    freqLayout->addWidget(m_fan1PwmLabel, 0, 0);
    freqLayout->addWidget(m_freq1, 0, 1);
    freqLayout->addWidget(m_fan2PwmLabel, 1, 0);
    freqLayout->addWidget(m_freq2, 1, 1);

    m_heaterPanel = named(new QGroupBox(QStringLiteral("Temperature Control"), page), QStringLiteral("SSPanel3"));
    auto* heaterLayout = new QGridLayout(m_heaterPanel);
    m_heaterTitle = makeLabel(QStringLiteral("Temp1"), "lblHeaterTitle", m_heaterPanel);
    QFont ht = m_heaterTitle->font();
    ht.setBold(true);
    m_heaterTitle->setFont(ht);
    m_enable = named(new QPushButton(QStringLiteral("Enable Control"), m_heaterPanel), QStringLiteral("cmdEnable"));
    m_heaterShape = named(new widgets::StatusShape(m_heaterPanel), QStringLiteral("Shape1"));
    m_heaterShape->setFillBgr(shell::kRed);
    m_heaterShape->setText(QStringLiteral("Off"));
    m_temp1 = named(new QRadioButton(QStringLiteral("Temp1"), m_heaterPanel), QStringLiteral("optTemp1"));
    m_temp2 = named(new QRadioButton(QStringLiteral("Temp2"), m_heaterPanel), QStringLiteral("optTemp2"));
    m_temp1->setChecked(true);
    m_heaterSlider = named(new QSlider(Qt::Horizontal, m_heaterPanel), QStringLiteral("sldPWM"));
    m_heaterSlider->setAccessibleName(QStringLiteral("Heater duty"));
    m_heaterSlider->setRange(0, 10);
    m_heaterSlider->setPageStep(1);
    m_heaterSlider->setTickPosition(QSlider::TicksBelow);
    m_heaterSlider->setEnabled(false);
    m_heaterSlider->setToolTip(QStringLiteral("Slide this to adjust Control Temperature"));
    m_heaterTemp = makeLabel(QString(), "Label9", m_heaterPanel);
    m_heaterDuty = makeLabel(QString(), "lblPWM", m_heaterPanel);
    heaterLayout->addWidget(m_heaterTitle, 0, 0);
    heaterLayout->addWidget(m_heaterShape, 0, 1, Qt::AlignRight);
    heaterLayout->addWidget(m_enable, 0, 2);
    heaterLayout->addWidget(m_temp1, 1, 0);
    heaterLayout->addWidget(m_temp2, 1, 1);
    heaterLayout->addWidget(m_heaterSlider, 2, 0, 1, 3);
    heaterLayout->addWidget(makeLabel(QStringLiteral("Temperature:"), "Label8", m_heaterPanel), 3, 0);
    heaterLayout->addWidget(m_heaterTemp, 3, 1, 1, 2);
    heaterLayout->addWidget(makeLabel(QStringLiteral("Heater duty:"), "Label10", m_heaterPanel), 4, 0);
    heaterLayout->addWidget(m_heaterDuty, 4, 1, 1, 2);

    m_controlGrid = layout;
    m_loggingPanel = new LoggingPanel(page);
    // While the visual cycle runs it keeps the readings fresh; otherwise the
    // log takes its own.
    m_loggingPanel->setReadingsSource([this] {
        if (!m_visualTimer->isActive())
            refreshLatestReadings();
    });
    m_saveRecallPanel = new SaveRecallPanel(page);
    arrangeControlTab(true);
    layout->setRowStretch(4, 1);
    layout->setColumnStretch(0, 1);
    layout->setColumnStretch(1, 1);

    connect(m_twoWire, &QRadioButton::clicked, this, &MainForm::optTwoWire_Click);
    connect(m_threeWire, &QRadioButton::clicked, this, &MainForm::optThreeWire_Click);
    connect(m_enable, &QPushButton::clicked, this, &MainForm::cmdEnable_Click);
    connect(m_heaterSlider, &QSlider::valueChanged, this, &MainForm::storeHeaterDuty);
    connect(m_temp1, &QRadioButton::clicked, this, [this] { showHeaterChannel(0); });
    connect(m_temp2, &QRadioButton::clicked, this, [this] { showHeaterChannel(1); });
}

void MainForm::arrangeControlTab(bool heaterShown)
{
    QGridLayout* grid = m_controlGrid;
    for (QWidget* w : {static_cast<QWidget*>(m_freqPanel), static_cast<QWidget*>(m_heaterPanel),
                       static_cast<QWidget*>(m_loggingPanel), static_cast<QWidget*>(m_saveRecallPanel)})
        grid->removeWidget(w);
    if (heaterShown) {
        grid->addWidget(m_freqPanel, 2, 0);
        grid->addWidget(m_heaterPanel, 0, 1, 2, 1);
        grid->addWidget(m_loggingPanel, 2, 1);
        grid->addWidget(m_saveRecallPanel, 3, 0, 1, 2);
    } else {
        // Without the heater panel the right column would start with an
        // empty quarter: logging moves up beside the modes, the frequency
        // panel beside the fan type.
        grid->addWidget(m_loggingPanel, 0, 1);
        grid->addWidget(m_freqPanel, 1, 1);
        grid->addWidget(m_saveRecallPanel, 2, 0, 1, 2);
    }
    m_heaterPanel->setVisible(heaterShown);
}

void MainForm::enterControlTab()
{
    arrangeControlTab(printerMedium());
    showChipFrequencies();
    // The fan type shown is the chip's (bit 2 of Configuration 1 set: two-wire).
    const std::uint8_t config1 = device::readRegister(device::reg::Configuration1);
    QRadioButton* current = (config1 & device::bits::Config1TachAin) ? m_twoWire : m_threeWire;
    current->setChecked(true);
}

void MainForm::showChipFrequencies()
{
    device::RegisterLink.RegisterPointer = device::reg::Fan1Characteristics;
    device::ReadRegister();
    device::RegisterLink.ReadResult = device::pwmFrequencyCode(device::RegisterLink.ReadResult);
    Get_PWM_Frequency();
    m_freq1->setCurrentText(QString::fromStdString(LatestReadings().frequencyText));
    if (isTfm4411()) {
        device::RegisterLink.RegisterPointer = device::reg::Fan2Characteristics;
        device::ReadRegister();
        device::RegisterLink.ReadResult = device::pwmFrequencyCode(device::RegisterLink.ReadResult);
        Get_PWM_Frequency();
        m_freq2->setCurrentText(QString::fromStdString(LatestReadings().frequencyText));
    }
}

}  // namespace mainwindow
