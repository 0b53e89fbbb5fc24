#include "main_window/main_form.h"

#include "device/conversions.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "dialogs/dialogs.h"
#include "dialogs/frm_fan_characterization.h"
#include "dialogs/frm_thermal_tuning.h"
#include "main_window/about_box.h"
#include "main_window/bus_monitor.h"
#include "main_window/form_parts.h"
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

using form::makeLabel;
using form::named;

namespace {
MainForm* g_instance = nullptr;
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
    // On hardware it is there only while the adapter is lost.
    const QString board = QString::fromStdString(shell::simulatedBoardText());
    auto* badge = m_boardBadge = makeLabel(board, "SimulatedBoardBadge", m_tabs);
    if (!board.isEmpty()) {
        badge->setStyleSheet(QStringLiteral("QLabel { background: #fff3c4; color: #5a4500; border: 1px solid #c9a227;"
                                            " border-radius: 3px; padding: 1px 6px; margin: 2px; }"));
        badge->setToolTip(QStringLiteral("Every reading here comes from the simulated evaluation board; start "
                                         "with --hardware for a real chip."));
        badge->setAccessibleName(board);
    }
    m_tabs->setCornerWidget(badge, Qt::TopRightCorner);
    badge->setVisible(!board.isEmpty());

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
        auto* window = new dialogs::frmFanCharacterization(device::programChipLocation(), this);
        window->setAttribute(Qt::WA_DeleteOnClose);
        m_characterise = window;
    }
    m_closeWhenReady = false;  // asked for again: the user stays
    m_characterise->show();
    m_characterise->raise();
    m_characterise->activateWindow();
}

void MainForm::cmdTuneControl_Click()
{
    if (!m_tuning) {
        auto* window = new dialogs::frmThermalTuning(device::programChipLocation(), this);
        window->setAttribute(Qt::WA_DeleteOnClose);
        m_tuning = window;
    }
    m_closeWhenReady = false;
    m_tuning->show();
    m_tuning->raise();
    m_tuning->activateWindow();
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
    if (m_tuning)
        m_tuning->close();
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
    // ends, and waiting for it here would freeze the window for as long as
    // its step takes to notice the cancel. Cancel it and stay open until it
    // has ended. Inside one of the program's waits the window stays too:
    // closed there, it would be deleted under the handler that waits.
    auto* measuring = qobject_cast<dialogs::frmFanCharacterization*>(m_characterise.data());
    auto* tuning = qobject_cast<dialogs::frmThermalTuning*>(m_tuning.data());
    const bool measuringNow = measuring && measuring->running();
    const bool tuningNow = tuning && tuning->running();
    if (measuringNow || tuningNow || shell::insideLibraryWait()) {
        if (measuringNow)
            measuring->close();
        if (tuningNow)
            tuning->close();
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
