#include "device/fan_speed_tracker.h"

#include <chrono>
#include <cmath>
#include <utility>

#include "device/conversions.h"
#include "device/register_map.h"

namespace device {

bool TachReading::overflow() const { return tachOverflowed(count); }

int TachReading::rpm(int pulseFactor) const
{
    return overflow() ? 0 : tachToRpm(count, divisor, pulseFactor).value_or(0);
}

int TachReading::belowRpm() const { return speedRangeRpm(divisor); }

TachReading readTach(int fan, const TachRegisterRead& read, int lastDivisor,
                     const std::function<void()>& awaitConversion)
{
    const std::uint8_t characteristics = fan == 2 ? reg::Fan2Characteristics : reg::Fan1Characteristics;
    const std::uint8_t tach = fan == 2 ? reg::Fan2Tach : reg::Fan1Tach;
    int count = TachCountStopped;
    for (int attempt = 0; attempt < kTachAttempts; ++attempt) {
        const int before = divisorFromCharacteristics(read(characteristics));
        count = read(tach);
        const int after = divisorFromCharacteristics(read(characteristics));
        if (before == after && (lastDivisor == 0 || after == lastDivisor))
            return {count, after};
        // Changed under us or since the last look: the next count the chip
        // measures is the new divisor's.
        if (awaitConversion)
            awaitConversion();
        lastDivisor = after;
    }
    return {count, 0};
}

FanSpeedTracker::FanSpeedTracker(std::function<double()> clock) : m_clock(std::move(clock))
{
    if (!m_clock)
        m_clock = [] {
            using namespace std::chrono;
            return duration<double>(steady_clock::now().time_since_epoch()).count();
        };
}

void FanSpeedTracker::observe(int divisor)
{
    if (divisor <= 0 || divisor == m_divisor)
        return;
    if (m_divisor > 0) {
        m_before = m_divisor;
        m_changedAt = m_clock();
    }
    m_divisor = divisor;
}

int FanSpeedTracker::speed(int count, int divisorAfter, int pulseFactor)
{
    observe(divisorAfter);
    const auto rpmAt = [&](int divisor) {
        if (count >= TachCountStopped)
            return 0;
        return tachToRpm(count, divisor, pulseFactor).value_or(0);
    };
    int rpm = rpmAt(m_divisor);
    if (m_before && m_clock() - m_changedAt >= kUnsureS)
        m_before.reset();
    if (m_before && m_lastRpm > 0 && rpm > 0) {
        const int earlier = rpmAt(*m_before);
        // The ratio's distance from 1 either way (ordered as |log| is, with no maths library).
        const auto distance = [this](int r) {
            const double q = double(r) / double(m_lastRpm);
            return q >= 1 ? q : 1 / q;
        };
        if (earlier > 0 && distance(earlier) < distance(rpm))
            rpm = earlier;
    }
    m_lastRpm = rpm;
    return rpm;
}

}  // namespace device
