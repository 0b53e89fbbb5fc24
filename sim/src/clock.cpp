#include "sim/clock.h"

#include <chrono>

namespace sim {

Clock::Clock() { restart(); }

double Clock::realMs() const
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double Clock::nowMs() const { return m_manual ? m_manualNow : realMs() - m_realOrigin; }

void Clock::setManual(bool manual)
{
    if (manual == m_manual)
        return;
    if (manual)
        m_manualNow = realMs() - m_realOrigin;
    else
        m_realOrigin = realMs() - m_manualNow;
    m_manual = manual;
}

void Clock::advanceMs(double ms)
{
    if (m_manual && ms > 0)
        m_manualNow += ms;
}

void Clock::restart()
{
    m_manualNow = 0;
    m_realOrigin = realMs();
}

}  // namespace sim
