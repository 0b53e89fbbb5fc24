#include "main_window/logging_panel.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <exception>

#include "device/conversions.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "main_window/latest_readings.h"
#include "shell/ui_services.h"

namespace mainwindow {

namespace {

std::filesystem::path toPath(const QString& name) { return QFile::encodeName(name).toStdString(); }

std::string dutyText(int code) { return std::to_string(device::DutyPercent[std::size_t(code & 0x0F)]); }

}  // namespace

LoggingPanel::LoggingPanel(QWidget* parent)
    : QGroupBox(QStringLiteral("Log Data To File"), parent), m_timer1(new QTimer(this)),
      m_monotonic([] { return device::LogSchedule::Clock::now(); }), m_timeOfDay([] { return QTime::currentTime(); })
{
    setObjectName(QStringLiteral("LoggingPanel"));
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(200);
    connect(m_timer1, &QTimer::timeout, this, &LoggingPanel::Timer1_Tick);

    m_makeLog = new QPushButton(QStringLiteral("Make New Log"));
    m_makeLog->setObjectName(QStringLiteral("MakeLog_CMD"));
    m_check = new QCheckBox;
    m_check->setObjectName(QStringLiteral("Check3"));
    m_check->setTristate(true);
    auto* delayLabel = new QLabel(QStringLiteral("Delay(Sec):"));
    delayLabel->setObjectName(QStringLiteral("Label15"));
    m_delay = new QLineEdit(QStringLiteral("5"));
    m_delay->setObjectName(QStringLiteral("Text1"));
    m_delay->setMaximumWidth(60);
    m_delay->setToolTip(QStringLiteral("Seconds between logged rows (0 logs as fast as possible, at most 3600)"));
    m_loggedLabel = new QLabel(QStringLiteral("Logged:"));
    m_loggedLabel->setObjectName(QStringLiteral("Label1"));
    m_count = new QLabel(QStringLiteral("0"));
    m_count->setObjectName(QStringLiteral("Label14"));
    m_count->setMinimumWidth(50);
    m_linesLabel = new QLabel(QStringLiteral("Lines"));
    m_linesLabel->setObjectName(QStringLiteral("Label13"));

    auto* grid = new QGridLayout(this);
    grid->addWidget(m_makeLog, 0, 0, 1, 2);
    grid->addWidget(delayLabel, 0, 2);
    grid->addWidget(m_delay, 0, 3);
    grid->addWidget(m_check, 1, 0, 1, 2);
    auto* counter = new QHBoxLayout;
    counter->addWidget(m_loggedLabel);
    counter->addWidget(m_count);
    counter->addWidget(m_linesLabel);
    counter->addStretch(1);
    grid->addLayout(counter, 1, 2, 1, 2);
    grid->setColumnStretch(1, 1);

    connect(m_makeLog, &QPushButton::clicked, this, &LoggingPanel::MakeLog_CMD_Click);
    connect(m_check, &QCheckBox::clicked, this, &LoggingPanel::Check3_Click);
    connect(m_delay, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (device::leadingNumber(text.toStdString()) > device::MaxLogDelaySeconds)
            m_delay->setText(QString::number(device::MaxLogDelaySeconds));
    });

    m_check->setText(QStringLiteral("Not Logging to File"));
    setCheckValue(2);
    m_check->setEnabled(false);
}

LoggingPanel::~LoggingPanel() = default;

void LoggingPanel::setClocks(MonotonicClock monotonic, TimeOfDayClock timeOfDay)
{
    m_monotonic = std::move(monotonic);
    m_timeOfDay = std::move(timeOfDay);
}

bool LoggingPanel::logging() const { return checkValue() == 1 && !m_fileName.isEmpty(); }

void LoggingPanel::setCheckValue(int value)
{
    m_check->setCheckState(value == 1 ? Qt::Checked : value == 0 ? Qt::Unchecked : Qt::PartiallyChecked);
}

int LoggingPanel::checkValue() const
{
    switch (m_check->checkState()) {
    case Qt::Checked: return 1;
    case Qt::Unchecked: return 0;
    default: return 2;
    }
}

void LoggingPanel::showNoLog()
{
    m_timer1->stop();
    m_check->setText(QStringLiteral("Not Logging to File"));
    setCheckValue(2);
    m_check->setEnabled(false);
    m_loggedLabel->setEnabled(false);
    m_linesLabel->setEnabled(false);
    m_makeLog->setEnabled(true);
}

void LoggingPanel::MakeLog_CMD_Click()
{
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty())
        documents = QDir::homePath();
    const QString name = shell::ui().chooseFile(
        this, shell::FileRequest{QStringLiteral("Make New Log"), QStringLiteral("Excel Files (*.xls)|*.xls"), documents,
                                 true, false});  // an existing log is appended to
    if (name.isEmpty())
        return;

    m_fileName = name;
    if (!device::isLogFileName(name.toStdString())) {
        shell::msgBox(this,
                      QStringLiteral("Either an invalid filename or no file was selected, no settings were loaded."),
                      shell::MsgButtons::Ok, QStringLiteral("There was a Problem!"), shell::MsgIcon::Exclamation);
        m_fileName.clear();
        showNoLog();
        m_count->clear();
        return;
    }

    m_schedule.restart();
    m_timer1->setInterval(5);
    m_timer1->start();
    m_check->setEnabled(true);
    setCheckValue(1);
    Check3_Click();
    m_makeLog->setEnabled(false);

    const std::filesystem::path path = toPath(m_fileName);
    const std::string_view start =
        device::fileHasContent(path) ? device::LogRestartMarker : device::logHeader(device::RegisterLink.DeviceId);
    if (!device::appendToFile(path, start).empty())
        failWrite();
}

void LoggingPanel::Check3_Click()
{
    switch (checkValue()) {
    case 1:
        m_check->setText(QStringLiteral("Logging to File"));
        m_loggedLabel->setEnabled(true);
        m_linesLabel->setEnabled(true);
        break;
    case 0:
        showNoLog();
        m_count->clear();
        break;
    default: break;
    }
}

void LoggingPanel::failWrite()
{
    m_fileName.clear();
    showNoLog();
    shell::msgBox(this,
                  QStringLiteral("There has been a problem writing to the log file.\rThis file may be locked by "
                                 "another application."),
                  shell::MsgButtons::Ok, QStringLiteral("Error"));
}

void LoggingPanel::Timer1_Tick()
{
    if (!logging())
        return;
    const double delay = device::leadingNumber(m_delay->text().toStdString());
    if (!m_schedule.takeRow(m_monotonic(), delay))
        return;

    if (m_refreshReadings)
        m_refreshReadings();
    LatestReadingsRecord& latest = LatestReadings();
    const bool dual = device::isDualChannel(device::RegisterLink.DeviceId);
    try {
        device::RegisterLink.RegisterPointer = device::reg::FanSpeedConfiguration;
        device::ReadRegister();
        const int config = device::RegisterLink.ReadResult;
        latest.pwm1Text = dutyText(device::dutyCode(config, 1));
        if (dual)
            latest.pwm2Text = dutyText(device::dutyCode(config, 2));
    } catch (const std::exception&) {
        // A failed read keeps the duty texts of the last row.
    }

    device::LogReadings readings;
    readings.local = latest.localTemp;
    readings.remote1 = latest.remote1Temp;
    readings.remote2 = latest.remote2Temp;
    readings.fan1 = latest.fan1Rpm;
    readings.fan2 = latest.fan2Rpm;
    readings.pwm1 = latest.pwm1Text;
    readings.pwm2 = latest.pwm2Text;
    const QTime now = m_timeOfDay();
    const QString point = QLocale().decimalPoint();
    const char decimalPoint = point.size() == 1 && point[0].unicode() < 0x80 ? point[0].toLatin1() : '.';
    const std::string row =
        device::logRow(now.hour(), now.minute(), now.second(), readings, device::RegisterLink.DeviceId, decimalPoint);
    if (!device::appendToFile(toPath(m_fileName), row).empty()) {
        failWrite();
        return;
    }
    // A blank in the sign position, as the count has always been shown.
    m_count->setText(QLatin1Char(' ') + QString::number(m_count->text().trimmed().toInt() + 1));
}

}  // namespace mainwindow
