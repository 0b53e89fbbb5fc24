// The Visual Display tab's panels (its cycle is in monitoring.cpp): the
// parameter selectors with their interrupt lamps, the strip chart, the limits
// gauge, the fan output side panel, and the expanded layout that gives the
// chart the page.
#include "main_window/main_form.h"

#include "main_window/form_parts.h"
#include "shell/label_colour.h"
#include "widgets/indicators.h"
#include "widgets/label_button.h"
#include "widgets/limits_gauge.h"
#include "widgets/strip_chart.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>
#include <array>

namespace mainwindow {

using form::indexedName;
using form::makeLabel;
using form::named;

namespace {
// Selector rows in their designed order: the second remote channel sits
// between the first remote channel and the first fan, so hiding it and the
// second fan moves the first fan up.
constexpr std::array<int, 5> kSelectorRows{0, 1, 3, 2, 4};
const std::array<QString, 5> kSelectorCaptions{QStringLiteral("Local"), QStringLiteral("Remote1"),
                                               QStringLiteral("Fan1"), QStringLiteral("Remote2"),
                                               QStringLiteral("Fan2")};
const std::array<QString, 5> kChannelCaptions{QStringLiteral("Internal Temp"), QStringLiteral("External Temp 1"),
                                              QStringLiteral("Fan1"), QStringLiteral("External Temp 2"),
                                              QStringLiteral("Fan2")};
}  // namespace

void MainForm::buildVisualTab(QWidget* page)
{
    auto* layout = new QGridLayout(page);

    // Selectors with their interrupt lamps.
    auto* selectorBox = named(new QGroupBox(QStringLiteral("Parameter"), page), QStringLiteral("fraParameters"));
    m_selectorPanel = selectorBox;
    // The selector colours (yellow, bright green, workspace grey) are made
    // for a dark ground; on a light panel they can hardly be read.
    auto* selectors = named(new QWidget(selectorBox), QStringLiteral("fraParametersGround"));
    selectors->setAutoFillBackground(true);
    QPalette ground = selectors->palette();
    ground.setColor(QPalette::Window, widgets::StripChart::plotBackground());
    selectors->setPalette(ground);
    auto* boxLayout = new QVBoxLayout(selectorBox);
    boxLayout->addWidget(selectors);
    auto* selGrid = new QGridLayout(selectors);
    auto* selectorKeys = new widgets::LabelButtonGroup(selectors);
    for (int row = 0; row < 5; ++row) {
        const int i = kSelectorRows[std::size_t(row)];
        auto* sel =
            named(new QLabel(kSelectorCaptions[std::size_t(i)], selectors), indexedName("visualdisplaytext", i));
        QFont f = sel->font();
        f.setBold(true);
        sel->setFont(f);
        sel->setCursor(Qt::PointingHandCursor);
        sel->setMouseTracking(true);
        sel->installEventFilter(this);
        selectorKeys->add(
            sel, [this, i] { visualdisplaytext_Click(i); }, row);
        sel->setToolTip(QStringLiteral("Click to show this parameter on the gauge"));
        shell::setTextColour(sel, shell::kAppWorkspace);
        m_selectors[std::size_t(i)] = sel;
        auto* lamp = named(new widgets::ToggleIndicator(selectors), indexedName("SSPanel11", i));
        lamp->setToolTip(QStringLiteral("Interrupt Status: Green=OK, Red=Bad, Invisible=Disabled"));
        lamp->setVisible(false);
        m_indicators[std::size_t(i)] = lamp;
        selGrid->addWidget(sel, row, 0);
        selGrid->addWidget(lamp, row, 1);
    }
    selGrid->setRowStretch(5, 1);
    layout->addWidget(selectorBox, 0, 0);

    m_strip = named(new widgets::StripChart(page), QStringLiteral("Strip2"));
    for (int c = 0; c < widgets::StripChart::kChannels; ++c) {
        m_strip->setCaption(c, kChannelCaptions[std::size_t(c)]);
        const bool fan = c == int(VisualParam::Fan1) || c == int(VisualParam::Fan2);
        m_strip->setChannelAxis(c, fan ? widgets::StripChart::Axis::Right : widgets::StripChart::Axis::Left);
    }
    layout->addWidget(m_strip, 0, 1);

    // The gauge panel under the chart.
    auto* gaugeBox = named(new QGroupBox(QStringLiteral("Limits"), page), QStringLiteral("bargraph_panel"));
    m_gaugePanel = gaugeBox;
    auto* gaugeLayout = new QGridLayout(gaugeBox);
    m_gaugeTitle = makeLabel(QString(), "lblGaugeTitle", gaugeBox);
    m_gaugeReading = makeLabel(QString(), "lblGaugeReading", gaugeBox);
    QFont readingFont = m_gaugeReading->font();
    readingFont.setPointSizeF(readingFont.pointSizeF() * 1.3);
    readingFont.setBold(true);
    m_gaugeReading->setFont(readingFont);
    m_gauge = named(new widgets::LimitsGauge(gaugeBox), QStringLiteral("limits_gauge"));
    m_gauge->setToolTip(QStringLiteral("Drag the Low and High pointers to set the limits"));
    m_gauge->setAccessibleName(QStringLiteral("Limits"));
    m_gauge->setAccessibleDescription(m_gauge->toolTip());
    gaugeLayout->addWidget(m_gaugeTitle, 0, 0);
    gaugeLayout->addWidget(m_gaugeReading, 0, 1, Qt::AlignRight);
    gaugeLayout->addWidget(m_gauge, 1, 0, 1, 2);
    layout->addWidget(gaugeBox, 1, 1);

    // Buttons, duty slider, fan status and commutation pulses on the right.
    auto* side = new QWidget(page);
    m_sidePanel = side;
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->setContentsMargins(0, 0, 0, 0);
    m_easySetup = named(new QPushButton(QStringLiteral("Easy Setup"), side), QStringLiteral("Command1"));
    m_easySetup->setToolTip(QStringLiteral("Enable monitoring, set sensible limits and full fan duty"));
    m_expand = named(new QPushButton(QStringLiteral("Expand Graph"), side), QStringLiteral("cmdExpand"));
    sideLayout->addWidget(m_easySetup);
    sideLayout->addWidget(m_expand);

    auto* dutyBox = named(new QGroupBox(QStringLiteral("Fan Output"), side), QStringLiteral("fan_output_panel"));
    auto* dutyLayout = new QVBoxLayout(dutyBox);
    m_dutySlider = named(new widgets::CaptionedSlider(dutyBox), QStringLiteral("analog_output_slider"));
    m_dutySlider->setCaption(QStringLiteral("Fan1"));
    m_dutySlider->slider()->setRange(0, 15);
    m_dutySlider->slider()->setPageStep(1);
    m_dutySlider->setToolTip(QStringLiteral("Slide this to adjust the Fan Speed"));
    m_dutySlider->slider()->setAccessibleName(QStringLiteral("Fan Output"));
    m_dutySlider->slider()->setAccessibleDescription(QStringLiteral("Fan duty cycle, 0 (off) to 15 (full speed)"));
    m_dutyText = makeLabel(QStringLiteral("Off"), "lblDutyCycle1", dutyBox);
    m_dutyText->setAlignment(Qt::AlignHCenter);
    dutyLayout->addWidget(m_dutySlider);
    dutyLayout->addWidget(m_dutyText);
    sideLayout->addWidget(dutyBox);

    m_statusPanel = named(new QGroupBox(QStringLiteral("Fan Mode"), side), QStringLiteral("SSPanel23"));
    auto* statusLayout = new QGridLayout(m_statusPanel);
    m_mode1Caption = makeLabel(QStringLiteral("Fan1 :"), "lblMode1", m_statusPanel);
    m_mode2Caption = makeLabel(QStringLiteral("Fan2 :"), "lblMode2", m_statusPanel);
    m_mode1 = makeLabel(QString(), "lblModeSelected", m_statusPanel);
    m_mode2 = makeLabel(QString(), "lblModeSelected2", m_statusPanel);
    statusLayout->addWidget(m_mode1Caption, 0, 0);
    statusLayout->addWidget(m_mode1, 0, 1);
    statusLayout->addWidget(m_mode2Caption, 1, 0);
    statusLayout->addWidget(m_mode2, 1, 1);
    statusLayout->setColumnStretch(1, 1);
    sideLayout->addWidget(m_statusPanel);

    m_comPulses = named(new QGroupBox(QStringLiteral("Commutation Pulses"), side), QStringLiteral("panComPulses"));
    m_comPulses->setToolTip(QStringLiteral("Set the number of expected Fan pulses here"));
    auto* pulsesLayout = new QVBoxLayout(m_comPulses);
    m_twoPulses = named(new QRadioButton(QStringLiteral("2 Pulses/Rev"), m_comPulses), QStringLiteral("opt2ComPulses"));
    m_fourPulses =
        named(new QRadioButton(QStringLiteral("4 Pulses/Rev"), m_comPulses), QStringLiteral("opt4ComPulses"));
    m_fourPulses->setChecked(true);
    pulsesLayout->addWidget(m_twoPulses);
    pulsesLayout->addWidget(m_fourPulses);
    m_comPulses->setEnabled(false);
    sideLayout->addWidget(m_comPulses);
    sideLayout->addStretch(1);
    layout->addWidget(side, 0, 2, 2, 1);

    layout->setColumnStretch(1, 1);
    layout->setRowStretch(0, 1);

    connect(m_easySetup, &QPushButton::clicked, this, &MainForm::Command1_Click);
    connect(m_expand, &QPushButton::clicked, this, &MainForm::cmdExpand_Click);
    connect(m_gauge, &widgets::LimitsGauge::pointerMoving, this, [this](int p, double) { onGaugePointer(p, false); });
    connect(m_gauge, &widgets::LimitsGauge::pointerReleased, this, [this](int p, double) { onGaugePointer(p, true); });
    connect(m_twoPulses, &QRadioButton::clicked, this, &MainForm::placeLowPointerAtTachLimit);
    connect(m_fourPulses, &QRadioButton::clicked, this, &MainForm::placeLowPointerAtTachLimit);
    QSlider* slider = m_dutySlider->slider();
    connect(slider, &QSlider::sliderMoved, this, [this](int v) { writeDutyFromSlider(v, false); });
    connect(slider, &QSlider::sliderReleased, this, [this, slider] { writeDutyFromSlider(slider->value(), true); });
    connect(slider, &QSlider::valueChanged, this, [this, slider](int v) {
        if (!slider->isSliderDown())
            writeDutyFromSlider(v, true);
    });
}

void MainForm::cmdExpand_Click()
{
    m_expanded = !m_expanded;
    m_selectorPanel->setVisible(!m_expanded);
    m_gaugePanel->setVisible(!m_expanded);
    for (QWidget* w : m_sidePanel->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (w != m_expand)
            w->setVisible(!m_expanded);
    m_easySetup->setVisible(!m_expanded && printerMedium());
    m_expand->setText(m_expanded ? QStringLiteral("Normal View") : QStringLiteral("Expand Graph"));
    m_strip->setExpanded(m_expanded);
}

}  // namespace mainwindow
