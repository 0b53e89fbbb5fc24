#include "main_window/main_form.h"

#include "dialogs/dialogs.h"
#include "main_window/frm_save_reg.h"
#include "main_window/logging_panel.h"
#include "main_window/register_panel.h"
#include "main_window/save_recall_panel.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace mainwindow {

namespace {
MainForm* g_instance = nullptr;
}

QColor colours::fromBgr(unsigned bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}

MainForm* mainForm() { return g_instance; }

MainForm::MainForm(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("MainForm"));
    g_instance = this;

    auto* layout = new QVBoxLayout(this);
    m_title = new QLabel(QStringLiteral("TFM4411 Evaluation Software"), this);
    m_title->setObjectName(QStringLiteral("Label4"));
    layout->addWidget(m_title);
    setWindowTitle(m_title->text());

    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("Main_Form_Tab"));
    layout->addWidget(m_tabs);

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

    connect(m_tabs, &QTabWidget::currentChanged, this, &MainForm::onTabChanged);
}

MainForm::~MainForm()
{
    unload();
    if (g_instance == this)
        g_instance = nullptr;
}

void MainForm::buildMainTab(QWidget* page)
{
    auto* layout = new QVBoxLayout(page);
    m_version = new QLabel(page);
    m_version->setObjectName(QStringLiteral("lblVersion"));
    m_version->setText(QStringLiteral("Version ") + QStringLiteral(FANSCOPE_VERSION));
    layout->addWidget(m_version);
}

void MainForm::buildVisualTab(QWidget* page) { new QVBoxLayout(page); }

void MainForm::buildControlTab(QWidget* page)
{
    auto* layout = new QVBoxLayout(page);
    m_loggingPanel = new LoggingPanel(page);
    m_saveRecallPanel = new SaveRecallPanel(page);
    layout->addWidget(m_loggingPanel);
    layout->addWidget(m_saveRecallPanel);
}

void MainForm::buildTimers()
{
    auto makeTimer = [this](const char* name, int interval) {
        auto* timer = new QTimer(this);
        timer->setObjectName(QString::fromLatin1(name));
        timer->setInterval(interval);
        return timer;
    };
    m_timer3 = makeTimer("Timer3", 100);
    m_tmrPWM = makeTimer("tmrPWM", 200);
    m_visualTimer = makeTimer("visual_timer", 30);
    m_fanOutputTimer = makeTimer("fan_output_timer", 0);
    connect(m_tmrPWM, &QTimer::timeout, this, &MainForm::heaterTick);
    connect(m_visualTimer, &QTimer::timeout, this, &MainForm::visualTimerTick);
    m_tmrPWM->start();
}

void MainForm::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    dialogs::unloadSpinUp();
    dialogs::unloadFiltered();
    dialogs::unloadRPMFeedback();
    if (m_saveRecallPanel)
        m_saveRecallPanel->unloadSaveWindow();
    dialogs::unloadPWMSelect();
}

void MainForm::closeEvent(QCloseEvent* event)
{
    unload();
    event->accept();
}

bool MainForm::eventFilter(QObject* watched, QEvent* event) { return QWidget::eventFilter(watched, event); }

void MainForm::selectTab(int index) { m_tabs->setCurrentIndex(index); }

void MainForm::onTabChanged(int index)
{
    m_visualTimer->stop();
    m_fanOutputTimer->stop();
    m_loggingPanel->stop();
    if (index == TabReadWrite)
        m_registerPanel->enter();
    else
        m_registerPanel->leave();
}

void MainForm::Setup_Device_Display() {}
void MainForm::Get_Duty_Cycle() {}
void MainForm::Print_Duty_Cycle() {}
void MainForm::Get_Comm_Pulses() {}
void MainForm::Reset_Mode_Display() {}
void MainForm::Get_Control_Status() {}
void MainForm::Get_PWM_Frequency() {}
void MainForm::Set_PWM_Frequency() {}
void MainForm::bargraph_move(int) {}
void MainForm::move_mouse_away() {}
void MainForm::move_mouse_away_readwrite() {}
void MainForm::cmdEnable_Click() {}
void MainForm::visualdisplaytext_Click(int) {}
void MainForm::Command1_Click() {}
void MainForm::cmdExpand_Click() { m_expanded = !m_expanded; }
void MainForm::Command3_Click() {}
void MainForm::visualTimerTick() { m_visualStep = (m_visualStep + 1) % 7; }
void MainForm::heaterTick() {}

}  // namespace mainwindow
