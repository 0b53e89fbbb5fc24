// "Log Data To File": appends the latest readings to a tab-separated file at
// a chosen interval while the check box says "Logging to File".
#pragma once

#include <QGroupBox>
#include <QString>
#include <QTime>
#include <chrono>
#include <functional>

#include "device/data_log.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace mainwindow {

class LoggingPanel : public QGroupBox {
    Q_OBJECT

public:
    explicit LoggingPanel(QWidget* parent = nullptr);
    ~LoggingPanel() override;

    // Called when a row is due, before it is written, so the row carries
    // readings taken for it; the window refreshes LatestReadings here when
    // its own measurement cycle is not running. Without a source the row
    // takes LatestReadings as it stands.
    void setReadingsSource(std::function<void()> refresh) { m_refreshReadings = std::move(refresh); }

    // The handlers, public so tests can run them as the user would.
    void MakeLog_CMD_Click();
    void Timer1_Tick();
    // The user clicked the check box (value 1 logging, 0 stop, 2 greyed).
    void Check3_Click();

    bool logging() const;
    QString logFileName() const { return m_fileName; }

    // Tests drive the clocks: the monotonic one that spaces the rows and the
    // time of day stamped on them.
    using MonotonicClock = std::function<device::LogSchedule::Clock::time_point()>;
    using TimeOfDayClock = std::function<QTime()>;
    void setClocks(MonotonicClock monotonic, TimeOfDayClock timeOfDay);

private:
    void setCheckValue(int value);
    int checkValue() const;
    void showNoLog();
    // A write failed: logging stops with the message of the check box, and
    // the rows already written stay in the file.
    void failWrite();

    QPushButton* m_makeLog = nullptr;  // MakeLog_CMD
    QCheckBox* m_check = nullptr;      // Check3
    QLineEdit* m_delay = nullptr;      // Text1
    QLabel* m_loggedLabel = nullptr;   // Label1
    QLabel* m_count = nullptr;         // Label14
    QLabel* m_linesLabel = nullptr;    // Label13
    QTimer* m_timer1 = nullptr;
    QString m_fileName;
    device::LogSchedule m_schedule;
    MonotonicClock m_monotonic;
    TimeOfDayClock m_timeOfDay;
    std::function<void()> m_refreshReadings;
};

}  // namespace mainwindow
