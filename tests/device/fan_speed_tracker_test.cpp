// The fan speed from tach counts read while something else changes the
// divisor: a count the chip measured before the change still converts with
// the divisor it was measured with.
#include <gtest/gtest.h>

#include "device/conversions.h"
#include "device/fan_speed_tracker.h"

namespace device {
namespace {

constexpr int kPulses = 1;

// The count the chip shows for `rpm` at `divisor`.
int countOf(int rpm, int divisor) { return speedToCount(rpm, divisor, kPulses); }

class FanSpeedTrackerTest : public ::testing::Test {
protected:
    double now = 100.0;
    FanSpeedTracker tracker{[this] { return now; }};
    int speed(int count, int divisor) { return tracker.speed(count, divisor, kPulses); }
    static void expectNear(int rpm, int expected) { EXPECT_NEAR(rpm, expected, expected * 0.02) << rpm; }
};

TEST_F(FanSpeedTrackerTest, ACountJustBeforeADivisorChangeKeepsItsOwnDivisor)
{
    expectNear(speed(countOf(3000, 2), 2), 3000);
    // The divisor went to 4 after the chip's last conversion: the count is
    // still the divisor-2 count, read beside the new divisor.
    now += 0.1;
    expectNear(speed(countOf(3000, 2), 4), 3000);
    // The next conversion measured with 4.
    now += 0.1;
    expectNear(speed(countOf(3050, 4), 4), 3050);
    // Long after the change only the present divisor counts, even for a
    // speed that moved far.
    now += 1.0;
    expectNear(speed(countOf(1400, 4), 4), 1400);
}

TEST_F(FanSpeedTrackerTest, AChangeSeenElsewhereCountsAsWellAsOneSeenAfterTheCount)
{
    expectNear(speed(countOf(2000, 8), 8), 2000);
    // A read-modify-write of the register saw the new divisor first.
    tracker.observe(2);
    now += 0.05;
    expectNear(speed(countOf(2000, 8), 2), 2000);
    now += 0.05;
    expectNear(speed(countOf(2010, 2), 2), 2010);
}

TEST_F(FanSpeedTrackerTest, StoppedAndFirstReadingsUseThePresentDivisor)
{
    EXPECT_EQ(speed(TachCountStopped, 4), 0);
    tracker.observe(1);
    // No speed before to compare with: the divisor read after the count.
    expectNear(speed(countOf(4000, 1), 1), 4000);
    now += 0.1;
    tracker.observe(8);
    EXPECT_EQ(speed(TachCountStopped, 8), 0);
    EXPECT_EQ(speed(2, 8), 0);
    EXPECT_EQ(tracker.divisor(), 8);
}

}  // namespace
}  // namespace device
