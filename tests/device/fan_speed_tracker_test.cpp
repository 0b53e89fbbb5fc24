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

// A chip with one fan at a true speed, whose count is measured anew only at
// a conversion, and another client that changes the divisor just before the
// chip's n-th register read.
class ChangingChip {
public:
    ChangingChip(int rpm, int divisor, int changeBeforeRead, int newDivisor)
        : m_rpm(rpm), m_divisor(divisor), m_count(countOf(rpm, divisor)), m_changeAt(changeBeforeRead),
          m_newDivisor(newDivisor)
    { }
    std::uint8_t read(std::uint8_t reg)
    {
        if (m_reads++ == m_changeAt)
            m_divisor = m_newDivisor;
        if (reg == 0x20)
            return static_cast<std::uint8_t>(divisorCode(m_divisor).value_or(0) << 6);
        EXPECT_EQ(reg, 0x08);
        return static_cast<std::uint8_t>(m_count);
    }
    void convert()
    {
        ++conversions;
        m_count = countOf(m_rpm, m_divisor);
    }
    TachReading readTach(int lastDivisor)
    {
        return device::readTach(
            1, [this](std::uint8_t reg) { return read(reg); }, lastDivisor, [this] { convert(); });
    }
    int conversions = 0;

private:
    int m_rpm, m_divisor, m_count;
    int m_reads = 0;
    int m_changeAt, m_newDivisor;
};

TEST(ReadTachTest, ADivisorChangedBetweenTheReadsNeverGivesAWrongSpeed)
{
    for (const int lastDivisor : {0, 2}) {
        // Before the first read, between divisor and count, between count
        // and divisor, after the three.
        for (int changeAt = 0; changeAt <= 3; ++changeAt) {
            for (const int newDivisor : {1, 4, 8}) {
                SCOPED_TRACE("change before read " + std::to_string(changeAt) + " to " + std::to_string(newDivisor) +
                             ", last seen " + std::to_string(lastDivisor));
                // 2000 RPM: 169 at divisor 2, 84 at 4, 42 at 8; at 1 the count overflows.
                ChangingChip chip(2000, 2, changeAt, newDivisor);
                const TachReading r = chip.readTach(lastDivisor);
                if (changeAt == 0 && lastDivisor == 0) {
                    // A change before this reader ever looked cannot be told
                    // from a divisor that always was; the chip's count is
                    // then the one it measured.
                    continue;
                }
                if (changeAt == 3) {
                    EXPECT_EQ(r.divisor, 2);  // the change came after the reading
                    EXPECT_EQ(chip.conversions, 0);
                } else {
                    EXPECT_EQ(r.divisor, newDivisor);
                    EXPECT_EQ(chip.conversions, 1);
                }
                if (r.overflow()) {
                    EXPECT_EQ(r.divisor, 1);
                    EXPECT_EQ(r.rpm(), 0);
                    EXPECT_EQ(r.belowRpm(), 2647);
                } else {
                    EXPECT_NEAR(r.rpm(), 2000, 2000 * 0.02);
                }
            }
        }
    }
}

TEST(ReadTachTest, AQuietChipTakesThreeReadsAndNoWait)
{
    ChangingChip chip(3000, 4, -1, 4);
    const TachReading r = chip.readTach(4);
    EXPECT_EQ(chip.conversions, 0);
    EXPECT_EQ(r.divisor, 4);
    EXPECT_NEAR(r.rpm(), 3000, 60);
    EXPECT_FALSE(r.overflow());
}

TEST(ReadTachTest, ADivisorThatNeverSettlesGivesNoSpeed)
{
    int reads = 0;
    const TachReading r = readTach(
        2,
        [&](std::uint8_t reg) {
            ++reads;
            // Fan 2's registers; the divisor flips between every two reads.
            EXPECT_TRUE(reg == 0x21 || reg == 0x09);
            return reg == 0x21 ? static_cast<std::uint8_t>((reads % 4) << 6) : std::uint8_t{100};
        },
        0, [] {});
    EXPECT_EQ(r.divisor, 0);
    EXPECT_EQ(r.rpm(), 0);
    EXPECT_EQ(reads, 3 * kTachAttempts);
}

}  // namespace
}  // namespace device
