#include "main_window/register_panel.h"

#include <QTimer>

namespace mainwindow {

RegisterPanel::RegisterPanel(QWidget* parent) : QWidget(parent), m_timer3(new QTimer(this))
{
    setObjectName(QStringLiteral("RegisterPanel"));
    m_timer3->setObjectName(QStringLiteral("Timer3"));
    m_timer3->setInterval(100);
}

RegisterPanel::~RegisterPanel() = default;

void RegisterPanel::setupForDevice(uint8_t) {}

void RegisterPanel::enter() { m_timer3->stop(); }

void RegisterPanel::leave() { m_timer3->stop(); }

}  // namespace mainwindow
