// "Log Data To File": appends the latest readings to a tab-separated file at
// a chosen interval while the check box says "Logging to File".
#pragma once

#include <QGroupBox>

class QTimer;

namespace mainwindow {

class LoggingPanel : public QGroupBox {
    Q_OBJECT

public:
    explicit LoggingPanel(QWidget* parent = nullptr);
    ~LoggingPanel() override;

    // Every change of the main tab stops the logging timer; the check box
    // stays checked and only "Make New Log" starts the timer again.
    void stop();

private:
    QTimer* m_timer1 = nullptr;
};

}  // namespace mainwindow
