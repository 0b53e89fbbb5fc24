#include "sim/clock.h"

#include <chrono>

namespace sim {

Clock::Clock() { restart(); }

double Clock::realMs() const
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double Clock::nowMs() const { return m_manual ? m_manualNow : (realMs() - m_realOrigin) * m_scale; }

void Clock::setManual(bool manual)
{
    if (manual == m_manual)
        return;
    if (manual)
        m_manualNow = (realMs() - m_realOrigin) * m_scale;
    else
        m_realOrigin = realMs() - m_manualNow / m_scale;
    m_manual = manual;
}

void Clock::advanceMs(double ms)
{
    if (m_manual && ms > 0)
        m_manualNow += ms;
}

void Clock::setScale(double scale)
{
    if (!(scale > 0) || scale == m_scale)
        return;
    const double now = nowMs();
    m_scale = scale;
    if (!m_manual)
        m_realOrigin = realMs() - now / m_scale;
}

void Clock::restart()
{
    m_manualNow = 0;
    m_realOrigin = realMs();
}

}  // namespace sim
