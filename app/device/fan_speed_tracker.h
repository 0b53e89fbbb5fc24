#pragma once
// A fan's speed from its tach counts, each converted with the divisor that
// was in force when the chip measured it, whoever set the divisor (another
// window, a measurement on another thread, another program on a shared
// board). The chip keeps the count of its last conversion until the next
// one, so for a moment after a divisor change the count register still holds
// a count of the old divisor. Plain C++, no bus: the caller reads the count
// and then the divisor and hands both here.

#include <functional>
#include <optional>

namespace device {

class FanSpeedTracker {
public:
    // Real seconds; empty: the steady clock.
    explicit FanSpeedTracker(std::function<double()> clock = {});

    // A divisor read from the fan's Characteristics register at any time
    // (the caller's read-modify-writes, a refresh of the process-wide values).
    void observe(int divisor);

    // RPM for `count` (0 for a stopped fan: a count at its maximum, or of 2
    // or less), `divisorAfter` read right after the count. For a while after
    // the divisor was seen to change (kUnsure: more than a conversion period
    // of the chip) the count may belong to either divisor: the one giving
    // the speed nearer the previous speed is taken, as a fan does not double
    // or halve its speed between two readings and the divisors differ by a
    // factor of two or more. Without a previous speed, the present divisor.
    int speed(int count, int divisorAfter, int pulseFactor);

    int divisor() const { return m_divisor; }

    static constexpr double kUnsureS = 0.3;

private:
    std::function<double()> m_clock;
    int m_divisor = 0;
    std::optional<int> m_before;  // the divisor before the last change seen
    double m_changedAt = 0;       // when that change was first seen
    int m_lastRpm = 0;
};

}  // namespace device
