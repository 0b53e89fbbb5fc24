#include "main_window/logging_panel.h"

#include <QTimer>

namespace mainwindow {

LoggingPanel::LoggingPanel(QWidget* parent)
    : QGroupBox(QStringLiteral("Log Data To File"), parent), m_timer1(new QTimer(this))
{
    setObjectName(QStringLiteral("LoggingPanel"));
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(200);
}

LoggingPanel::~LoggingPanel() = default;

void LoggingPanel::stop() { m_timer1->stop(); }

}  // namespace mainwindow
