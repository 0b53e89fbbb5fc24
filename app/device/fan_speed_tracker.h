#pragma once
// A fan's speed from its tach counts, each converted with the divisor that
// was in force when the chip measured it, whoever set the divisor (another
// window, a measurement on another thread, another program on a shared
// board). The chip keeps the count of its last conversion until the next
// one, so for a moment after a divisor change the count register still holds
// a count of the old divisor. Plain C++, no bus: the caller reads the count
// and then the divisor and hands both here.

#include <cstdint>
#include <functional>
#include <optional>

namespace device {

// One tach count and the divisor the chip measured it with.
struct TachReading {
    int count = 255;
    int divisor = 0;  // 0: none could be settled
    // The count at its maximum: stopped, or slower than belowRpm().
    bool overflow() const;
    // The speed; 0 for an overflow or without a divisor.
    int rpm(int pulseFactor = 1) const;
    // The slowest speed the divisor measures.
    int belowRpm() const;
};

// A client that reaches the chip register by register (a device session)
// reads a count this way, so another client changing the divisor (a fan
// measurement, the window, another program on a shared board) never turns
// into a wrong speed: the divisor is read before and after the count, and
// all three again when the two differ. Since the chip keeps the count of
// its last conversion until the next one, a divisor that changed since this
// client last saw it (`lastDivisor`, 0 for none) may not yet have measured
// the count: `awaitConversion` then waits out a conversion before the reads
// are made again. After kTachAttempts without a settled divisor the reading
// has none.
using TachRegisterRead = std::function<std::uint8_t(std::uint8_t reg)>;
TachReading readTach(int fan, const TachRegisterRead& read, int lastDivisor,
                     const std::function<void()>& awaitConversion);
inline constexpr int kTachAttempts = 4;
// One conversion of the chip (an eighth of a second) and a margin, in board seconds.
inline constexpr double kTachConversionS = 0.15;

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
