#include "main_window/main_form.h"

#include "device/conversions.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "dialogs/dialogs.h"
#include "dialogs/frm_fan_characterization.h"
#include "main_window/about_box.h"
#include "main_window/bus_monitor.h"
#include "main_window/frm_save_reg.h"
#include "main_window/latest_readings.h"
#include "main_window/logging_panel.h"
#include "main_window/register_panel.h"
#include "main_window/save_recall_panel.h"
#include "main_window/undo_controls.h"
#include "shell/application.h"
#include "shell/label_colour.h"
#include "shell/mnemonics.h"
#include "shell/options.h"
#include "widgets/indicators.h"
#include "widgets/label_button.h"
#include "widgets/limits_gauge.h"
#include "widgets/strip_chart.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSlider>
#include <QPainter>
#include <QSvgRenderer>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <vexlink06/vexlink06.h>

namespace mainwindow {

namespace {
MainForm* g_instance = nullptr;

QString indexedName(const char* name, int index)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(index);
}

QLabel* makeLabel(const QString& text, const char* name, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    return label;
}

template <typename T> T* named(T* widget, const QString& name)
{
    widget->setObjectName(name);
    return widget;
}

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
const std::array<QString, 4> kModeCaptions{
    QStringLiteral("Automatic Fan Speed Control"), QStringLiteral("Filtered Automatic Control"),
    QStringLiteral("RPM Feedback Mode"), QStringLiteral("PWM Duty Cycle Select")};

}  // namespace

LatestReadingsRecord& LatestReadings()
{
    static LatestReadingsRecord record;
    return record;
}

MainForm* mainForm() { return g_instance; }

MainForm::MainForm(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("MainForm"));
    g_instance = this;
    installUndoShortcuts(this);

    auto* layout = new QVBoxLayout(this);
    m_title = makeLabel(QStringLiteral("TFM4411 Evaluation Software"), "Label4", this);
    QFont titleFont = m_title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
    titleFont.setBold(true);
    m_title->setFont(titleFont);
    layout->addWidget(m_title);
    setWindowTitle(m_title->text());

    m_tabs = named(new QTabWidget(this), QStringLiteral("Main_Form_Tab"));
    layout->addWidget(m_tabs, 1);
    // The caption stays the program's title; the tab row says when the chip
    // on screen is the simulated board's.
    if (const QString board = QString::fromStdString(shell::simulatedBoardText()); !board.isEmpty()) {
        auto* badge = m_boardBadge = makeLabel(board, "SimulatedBoardBadge", m_tabs);
        badge->setStyleSheet(QStringLiteral("QLabel { background: #fff3c4; color: #5a4500; border: 1px solid #c9a227;"
                                            " border-radius: 3px; padding: 1px 6px; margin: 2px; }"));
        badge->setToolTip(QStringLiteral("Every reading here comes from the simulated evaluation board; start "
                                         "with --hardware for a real chip."));
        badge->setAccessibleName(board);
        m_tabs->setCornerWidget(badge, Qt::TopRightCorner);
    }

    auto* mainPage = new QWidget;
    auto* readWritePage = new QWidget;
    auto* visualPage = new QWidget;
    auto* controlPage = new QWidget;
    m_tabs->addTab(mainPage, QStringLiteral("Main"));
    m_tabs->addTab(readWritePage, QStringLiteral("Read/Write"));
    m_tabs->addTab(visualPage, QStringLiteral("Visual Display"));
    m_tabs->addTab(controlPage, QStringLiteral("Control "));

    buildMainTab(mainPage);
    auto* rwLayout = new QVBoxLayout(readWritePage);
    m_registerPanel = new RegisterPanel(readWritePage);
    rwLayout->addWidget(m_registerPanel);
    buildVisualTab(visualPage);
    buildControlTab(controlPage);
    buildTimers();

    m_tabs->tabBar()->installEventFilter(this);
    m_tabs->tabBar()->setMouseTracking(true);
    connect(m_tabs, &QTabWidget::currentChanged, this, &MainForm::onTabChanged);

    device::setTwoPulsesSource([this] { return m_comPulses->isEnabled() && m_twoPulses->isChecked(); });

    // Form_Load: the version, no visual display until Easy Setup, the port
    // kept claimed, and both heaters off (bit 4, then bit 5).
    m_version->setText(QStringLiteral("Version ") + QStringLiteral(FANSCOPE_VERSION));
    m_visualAllowed = false;
    device::required(device::ComPort()->PrinterPort())->setLockPortOpen(vexlink06::True);
    changeStayHighBits(0xEF, 0);
    changeStayHighBits(0xDF, 0);
    resize(980, 720);
    shell::addMnemonics(this);
}

MainForm::~MainForm()
{
    // A destructor must not throw; a board that stopped answering only
    // means the heater bits could not be cleared.
    try {
        unload();
    } catch (const std::exception&) { }
    device::setTwoPulsesSource(nullptr);
    if (g_instance == this)
        g_instance = nullptr;
}

void MainForm::buildMainTab(QWidget* page)
{
    auto* layout = new QVBoxLayout(page);
    layout->addStretch(1);
    auto* picture = makeLabel(QString(), "Picture1", page);
    QSvgRenderer board(QStringLiteral(":/startup/eval_board.svg"));
    if (board.isValid()) {
        const QSize size = board.defaultSize().scaled(440, 280, Qt::KeepAspectRatio);
        const qreal dpr = devicePixelRatioF();
        QPixmap pixmap(size * dpr);
        pixmap.setDevicePixelRatio(dpr);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        board.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
        painter.end();
        picture->setPixmap(pixmap);
    }
    layout->addWidget(picture, 0, Qt::AlignHCenter);
    auto* product = makeLabel(QStringLiteral("SMBus Temperature Monitor and PWM Fan Controller"), "lblProduct", page);
    QFont f = product->font();
    f.setPointSizeF(f.pointSizeF() * 1.25);
    product->setFont(f);
    layout->addWidget(product, 0, Qt::AlignHCenter);
    m_version = makeLabel(QString(), "lblVersion", page);
    layout->addWidget(m_version, 0, Qt::AlignHCenter);
    m_about = named(new QPushButton(QStringLiteral("About"), page), QStringLiteral("Command3"));
    // The Bus Monitor button sits to the right of About; a blank of its width
    // on the left keeps About where it was, centred.
    auto* busMonitor = named(new QPushButton(QStringLiteral("Bus Monitor"), page), QStringLiteral("cmdBusMonitor"));
    busMonitor->setToolTip(QStringLiteral("Every bus transfer, live (Ctrl+B)"));
    auto* aboutRow = new QHBoxLayout;
    aboutRow->setSpacing(6);
    aboutRow->addStretch(1);
    aboutRow->addSpacing(busMonitor->sizeHint().width() + aboutRow->spacing());
    aboutRow->addWidget(m_about);
    aboutRow->addWidget(busMonitor);
    aboutRow->addStretch(1);
    layout->addLayout(aboutRow);
    connect(busMonitor, &QPushButton::clicked, this, [this] { openBusMonitor(this); });
    auto* busShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_B), this);
    busShortcut->setObjectName(QStringLiteral("shortcutBusMonitor"));
    connect(busShortcut, &QShortcut::activated, this, [this] { openBusMonitor(this); });
    layout->addStretch(2);
    connect(m_about, &QPushButton::clicked, this, &MainForm::Command3_Click);
}

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
    connect(m_twoPulses, &QRadioButton::clicked, this, &MainForm::onComPulsesClick);
    connect(m_fourPulses, &QRadioButton::clicked, this, &MainForm::onComPulsesClick);
    QSlider* slider = m_dutySlider->slider();
    connect(slider, &QSlider::sliderMoved, this, [this](int v) { onDutySlider(v, false); });
    connect(slider, &QSlider::sliderReleased, this, [this, slider] { onDutySlider(slider->value(), true); });
    connect(slider, &QSlider::valueChanged, this, [this, slider](int v) {
        if (!slider->isSliderDown())
            onDutySlider(v, true);
    });
}

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
    layout->addWidget(characterise, 5, 0, Qt::AlignLeft);
    connect(characterise, &QPushButton::clicked, this, &MainForm::cmdCharacterise_Click);

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
    connect(m_heaterSlider, &QSlider::valueChanged, this, &MainForm::sldPWM_Change);
    connect(m_temp1, &QRadioButton::clicked, this, [this] { optTemp_Click(0); });
    connect(m_temp2, &QRadioButton::clicked, this, [this] { optTemp_Click(1); });
}

void MainForm::buildTimers()
{
    auto makeTimer = [this](const char* name, int interval) {
        auto* timer = new QTimer(this);
        timer->setObjectName(QString::fromLatin1(name));
        timer->setInterval(interval);
        return timer;
    };
    m_tmrPWM = makeTimer("tmrPWM", 200);
    m_visualTimer = makeTimer("visual_timer", 30);
    m_fanOutputTimer = makeTimer("fan_output_timer", 0);
    connect(m_tmrPWM, &QTimer::timeout, this, &MainForm::heaterTick);
    connect(m_visualTimer, &QTimer::timeout, this, &MainForm::visualTimerTick);
    m_closeRetry = makeTimer("close_retry_timer", 20);
    m_closeRetry->setSingleShot(true);
    connect(m_closeRetry, &QTimer::timeout, this, [this] {
        if (m_closeWhenReady)
            close();  // checks again, and waits on if it must
    });
    m_tmrPWM->start();
}

void MainForm::cmdCharacterise_Click()
{
    if (!m_characterise) {
        auto* window = new dialogs::frmFanCharacterization(dialogs::programChipLocation(), this);
        window->setAttribute(Qt::WA_DeleteOnClose);
        m_characterise = window;
    }
    m_closeWhenReady = false;  // asked for again: the user stays
    m_characterise->show();
    m_characterise->raise();
    m_characterise->activateWindow();
}

void MainForm::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    // Cancels a running measurement; the window's destructor (with this
    // one's) waits for the chip's restore.
    if (m_characterise)
        m_characterise->close();
    m_tmrPWM->stop();
    m_visualTimer->stop();
    dialogs::unloadSpinUp();
    dialogs::unloadFiltered();
    dialogs::unloadRPMFeedback();
    m_saveRecallPanel->unloadSaveWindow();
    dialogs::unloadPWMSelect();
    // No heater may stay on once the window is gone.
    changeStayHighBits(0xCF, 0);
}

void MainForm::closeEvent(QCloseEvent* event)
{
    // A running fan measurement must restore the chip before the program
    // ends, and this close may arrive inside one of this window's yielding
    // transfers, whose thread holds the bus mutex the measurement needs:
    // waiting for it here could hang. Cancel it and stay open until it has
    // ended. Inside such a transfer the window stays too: closed there, it
    // would be deleted under the handler that made the transfer.
    auto* measuring = qobject_cast<dialogs::frmFanCharacterization*>(m_characterise.data());
    const bool measuringNow = measuring && measuring->running();
    if (measuringNow || shell::insideLibraryWait()) {
        if (measuringNow)
            measuring->close();
        m_closeWhenReady = true;
        m_closeRetry->start();
        event->ignore();
        return;
    }
    m_closeWhenReady = false;
    unload();
    if (m_aboutBox)
        m_aboutBox->close();
    event->accept();
}

bool MainForm::isTfm4411() const { return device::RegisterLink.DeviceId == device::DeviceIdTFM4411; }

bool MainForm::printerMedium() const { return device::RegisterLink.PrinterMedium == 1; }

void MainForm::changeStayHighBits(unsigned andMask, unsigned orMask)
{
    auto protocol = device::required(device::required(device::ComPort()->PrinterPort())->SMBusProtocall());
    protocol->setBitsToStayHigh(std::uint8_t((protocol->BitsToStayHigh() & andMask) | orMask));
}

void MainForm::Setup_Device_Display()
{
    device::RegisterLink.RegisterPointer = device::reg::DeviceId;
    device::ReadRegister();
    device::RegisterLink.DeviceId = std::int16_t(device::RegisterLink.ReadResult);

    m_registerPanel->setupForDevice(std::uint8_t(device::RegisterLink.DeviceId));
    if (device::RegisterLink.DeviceId == device::DeviceIdTFM4410) {
        m_title->setText(QStringLiteral("TFM4410 Evaluation Software"));
        setWindowTitle(m_title->text());
        m_dutySlider->setCaption(QStringLiteral("Fan"));
        m_temp2->setEnabled(false);
        // Layouts close the gaps the hidden controls leave.
        for (int i : {3, 4}) {
            m_selectors[std::size_t(i)]->hide();
            m_indicators[std::size_t(i)]->hide();
        }
        m_strip->setCaption(int(VisualParam::Remote1), QStringLiteral("External Temp"));
        m_strip->setCaption(int(VisualParam::Fan1), QStringLiteral("Fan"));
        m_strip->setCaption(int(VisualParam::Remote2), QStringLiteral(" "));
        m_strip->setCaption(int(VisualParam::Fan2), QStringLiteral(" "));
        m_selectors[1]->setText(QStringLiteral("Remote"));
        m_selectors[2]->setText(QStringLiteral("Fan"));
        m_fan1PwmLabel->hide();
        m_fan2PwmLabel->hide();
        m_freq2->hide();
        // With the per-fan labels gone the panel carries the unit.
        m_freqPanel->setTitle(QStringLiteral("PWM Frequency (Hz)"));
        m_mode2Caption->hide();
        m_mode2->hide();
        m_statusPanel->adjustSize();
    }
    showChipFrequencies();
}

void MainForm::selectTab(int index) { m_tabs->setCurrentIndex(index); }

void MainForm::onTabChanged(int index)
{
    m_visualTimer->stop();
    m_fanOutputTimer->stop();
    // Logging goes on across tab changes: it stops only when the user stops
    // it or a write fails, so "Logging to File" always tells the truth.
    device::ReadFanDivisors();

    if (index != TabReadWrite)
        m_registerPanel->leave();
    switch (index) {
    case TabReadWrite: enterReadWriteTab(); break;
    case TabVisual: enterVisualTab(); break;
    case TabControl: enterControlTab(); break;
    default: break;
    }
}

void MainForm::enterReadWriteTab()
{
    m_registerPanel->enter();
    m_visitedReadWrite = true;
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

void MainForm::Command3_Click()
{
    if (!m_aboutBox) {
        m_aboutBox = new FrmAbout(QString::fromLatin1(shell::kProgramTitle), this);
        m_aboutBox->setAttribute(Qt::WA_DeleteOnClose);
        m_aboutBox->setWindowFlag(Qt::Window);
    }
    m_aboutBox->show();
    m_aboutBox->raise();
}

void MainForm::move_mouse_away()
{
    unsetCursor();
    m_gauge->unsetCursor();
}

void MainForm::move_mouse_away_readwrite()
{
    unsetCursor();
    m_registerPanel->hoverEntry(0);
}

bool MainForm::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if (watched == m_tabs->tabBar()) {
        if (type == QEvent::Enter)
            move_mouse_away();
        return false;
    }
    for (int i = 0; i < 5; ++i) {
        if (watched != m_selectors[std::size_t(i)])
            continue;
        if (type == QEvent::Enter || type == QEvent::Leave) {
            m_hoveredSelector = type == QEvent::Enter ? i : -1;
            colourSelectors();
        } else if (type == QEvent::MouseButtonRelease) {
            visualdisplaytext_Click(i);
        }
        return false;
    }
    for (int i = 0; i < 4; ++i)
        if (watched == m_modes[std::size_t(i)] && type == QEvent::MouseButtonRelease)
            lblModes_Click(i);
    return QWidget::eventFilter(watched, event);
}

}  // namespace mainwindow
