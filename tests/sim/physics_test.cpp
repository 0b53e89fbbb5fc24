#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>
#include <thread>

#include <chiplaw/auto_control.h>

#include "sim/clock.h"
#include "sim/config.h"

#include "line_master.h"

using namespace simtest;

namespace {

constexpr uint8_t kChip = 0x5C;

class PhysicsTest : public ::testing::Test {
protected:
    void SetUp() override { freshBoard(); }
    sim::Chip& chip() { return *sim::board().chip(kChip); }
    uint8_t read(uint8_t reg) { return m.readReg(kChip, reg); }
    void write(uint8_t reg, uint8_t v) { m.writeReg(kChip, reg, v); }
    void advance(double seconds) { sim::board().advanceMs(seconds * 1000.0); }
    // The program's decoding of a remote channel: high byte plus eighths.
    double remote1() { return static_cast<int8_t>(read(0x0B)) + (read(0x06) & 7) / 8.0; }
    // The program's tach conversion with pulse factor p.
    static double rpm(uint8_t count, int n, int p = 1) { return 11250.0 / (n * count) * 60.0 * p; }
    LineMaster m;
};

}  // namespace

TEST_F(PhysicsTest, HeaterWarmsRemoteOneAndItCoolsBack)
{
    const double before = remote1();
    m.setHighBits(0x10);  // data bit 4: heater beside remote 1
    m.lines(true, true);
    advance(60);
    const double hot = remote1();
    EXPECT_GE(hot - before, 10.0);
    EXPECT_NEAR(chip().trueTemperature(2), 25.0, 0.01);  // remote 2 has its own heater
    m.setHighBits(0x00);
    m.lines(true, true);
    advance(180);
    EXPECT_LT(remote1(), before + 1.0);
}

TEST_F(PhysicsTest, HalfDutyHeaterGivesAnIntermediateTemperature)
{
    for (int i = 0; i < 300; ++i) {
        m.setHighBits(i % 2 ? 0x10 : 0x00);
        m.lines(true, true);
        advance(0.5);
    }
    EXPECT_NEAR(chip().trueTemperature(1), 25.0 + 45.0 / 2, 2.0);
}

TEST_F(PhysicsTest, ReadingsAreQuantisedWithOffsetAndNegativeLayout)
{
    sim::Config c;
    c.ambientC = -10.25;
    freshBoard(c);
    EXPECT_EQ(read(0x0A), 0xF6);    // -10 whole degrees
    EXPECT_EQ(read(0x06) >> 6, 1);  // and a quarter
    write(0x0E, 0x83);              // remote 1 offset -3
    advance(0.2);
    EXPECT_EQ(static_cast<int8_t>(read(0x0B)), -13);
}

TEST_F(PhysicsTest, ZeroDutyStopsTheFanAndTachReads255)
{
    write(0x00, 0x09);  // PWM Invert, which the board's fan stage needs
    write(0x22, 0x00);
    advance(10);
    EXPECT_EQ(read(0x08), 0xFF);
    EXPECT_EQ(read(0x09), 0xFF);
    EXPECT_LT(chip().fanRpm(0), 1.0);
}

struct TachCase {
    int divisorCode;
    int pulsesPerRev;
    bool analog;      // two-wire fan, commutation pulses
    int pulseFactor;  // the program's P for that fan
};

class TachTest : public PhysicsTest, public ::testing::WithParamInterface<TachCase> { };

TEST_P(TachTest, CountConvertsBackToTrueSpeed)
{
    const TachCase t = GetParam();
    sim::Config c;
    c.ports[0].chips[0].fans[0].fullSpeedRpm = 3000;
    c.ports[0].chips[0].fans[0].pulsesPerRev = t.pulsesPerRev;
    freshBoard(c);
    write(0x20, static_cast<uint8_t>((t.divisorCode << 6) | 0x05));
    write(0x00, t.analog ? 0x0D : 0x09);
    write(0x22, 0x0F);
    advance(20);
    const uint8_t count = read(0x08);
    ASSERT_LT(count, 255);
    EXPECT_NEAR(rpm(count, 1 << t.divisorCode, t.pulseFactor), 3000.0, 3000.0 / count);
}

INSTANTIATE_TEST_SUITE_P(Cases, TachTest,
                         ::testing::Values(TachCase{0, 2, false, 1}, TachCase{1, 2, false, 1}, TachCase{3, 2, false, 1},
                                           TachCase{1, 1, false, 2}, TachCase{1, 4, true, 1}, TachCase{1, 2, true, 2}));

// The power-on Configuration 1 leaves PWM Invert clear: the board's
// inverting fan stage then runs the fans at the complement of the duty.
TEST_F(PhysicsTest, FanStageRunsTheComplementUntilPwmInvertIsSet)
{
    write(0x20, 0x45);  // N = 2
    write(0x22, 0x00);
    advance(10);
    EXPECT_NEAR(chip().fanRpm(0), 4800, 5);
    write(0x00, 0x09);
    advance(10);
    EXPECT_LT(chip().fanRpm(0), 1.0);
    write(0x22, 0x0F);
    advance(10);
    EXPECT_NEAR(chip().fanRpm(0), 4800, 5);

    sim::Config c;
    c.ports[0].chips[0].fans[0].invertingDriver = false;
    freshBoard(c);
    write(0x22, 0x00);
    advance(10);
    EXPECT_LT(chip().fanRpm(0), 1.0);
}

TEST_F(PhysicsTest, TooSlowForTheDivisorReads255)
{
    write(0x00, 0x09);
    write(0x20, 0x05);  // N = 1: slowest measurable 2647 RPM
    write(0x22, 0x03);  // 20 % of 4800
    advance(20);
    EXPECT_GT(chip().fanRpm(0), 500);
    EXPECT_EQ(read(0x08), 0xFF);
}

TEST_F(PhysicsTest, SpinUpRunsFullDutyUnlessDisabled)
{
    write(0x00, 0x09);
    write(0x22, 0x00);
    advance(10);
    write(0x20, 0x44);  // spin-up 1000 ms
    write(0x22, 0x03);
    advance(0.5);
    EXPECT_GT(chip().fanRpm(0), 1500);  // driven at full duty
    advance(10);
    EXPECT_NEAR(chip().fanRpm(0), 4800 * 3 / 15.0, 20);

    write(0x22, 0x00);
    advance(10);
    write(0x23, 0x80);  // spin-up disabled
    write(0x22, 0x03);
    advance(0.5);
    EXPECT_LT(chip().fanRpm(0), 600);
}

// A motor needs its start duty to break away from rest and keeps turning
// down to its stop duty; the chip's spin-up starts it below the start duty.
TEST_F(PhysicsTest, FanStartsAtStartDutyAndStallsBelowStopDuty)
{
    sim::Config c;
    c.ports[0].chips[0].fans[0].startDutyPct = 40;
    c.ports[0].chips[0].fans[0].stopDutyPct = 27;
    freshBoard(c);
    write(0x00, 0x09);
    write(0x23, 0x80);  // spin-up disabled
    write(0x22, 0x05);  // 33 %: between the two
    advance(10);
    EXPECT_LT(chip().fanRpm(0), 1.0);
    write(0x22, 0x06);  // 40 %
    advance(10);
    EXPECT_NEAR(chip().fanRpm(0), 4800 * 6 / 15.0, 10);
    write(0x22, 0x05);  // still turning: holds
    advance(10);
    EXPECT_NEAR(chip().fanRpm(0), 4800 * 5 / 15.0, 10);
    write(0x22, 0x04);  // 26.7 %: below the stop duty
    advance(10);
    EXPECT_LT(chip().fanRpm(0), 1.0);

    write(0x23, 0x00);  // spin-up back on: full duty gets it going at 33 %
    write(0x22, 0x00);
    advance(1);
    write(0x22, 0x05);
    advance(10);
    EXPECT_NEAR(chip().fanRpm(0), 4800 * 5 / 15.0, 10);
}

TEST_F(PhysicsTest, SpinUpTimeConstantAndTachNoise)
{
    sim::Config c;
    c.ports[0].chips[0].fans[0].spinUpS = 2.0;
    c.ports[0].chips[0].fans[1].rpmNoisePct = 5;
    freshBoard(c);
    write(0x00, 0x09);
    write(0x20, 0x05);  // N = 1
    write(0x21, 0x05);
    write(0x22, 0x00);
    advance(20);
    write(0x22, 0xFF);
    advance(2.0);  // one time constant: 63 %
    EXPECT_NEAR(chip().fanRpm(0), 4800 * (1 - std::exp(-1.0)), 60);
    advance(30);
    std::set<int> counts;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(read(0x08), 141);  // 675000 / 4800, every time
        const int n = read(0x09);
        EXPECT_NEAR(n, 141, 141 * 0.055);
        counts.insert(n);
        advance(0.125);
    }
    EXPECT_GT(counts.size(), 3u);
}

TEST(ClockTest, ScaledRealClockRunsFasterAndKeepsItsReadingAcrossChanges)
{
    sim::Clock clock;
    clock.setScale(1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(clock.nowMs(), 5000.0);
    clock.setManual(true);
    const double held = clock.nowMs();
    clock.advanceMs(10);
    EXPECT_DOUBLE_EQ(clock.nowMs(), held + 10);  // manual time is board time, unscaled
    clock.setManual(false);
    clock.setScale(1);
    EXPECT_GE(clock.nowMs(), held + 10);
    EXPECT_LT(clock.nowMs(), held + 10 + 1000);
}

TEST_F(PhysicsTest, FilterRampsTheDuty)
{
    write(0x23, 0x81);  // fan 1 filter, increment rate 1, no spin-up
    write(0x22, 0x00);
    advance(20);
    write(0x22, 0x0F);
    advance(1);
    EXPECT_NEAR(chip().fanDuty(0), 1 / 15.0, 0.02);  // one fifteenth per second
    advance(20);
    EXPECT_DOUBLE_EQ(chip().fanDuty(0), 1.0);
}

TEST_F(PhysicsTest, AutomaticControlRisesAsRemoteOneCrossesTmin)
{
    write(0x25, (8 << 3) | 1);  // Tmin 32, Trange 10
    write(0x22, 0x03);          // minimum 20 %
    write(0x00, 0x81);          // automatic, remote 1 drives fan 1
    advance(5);
    EXPECT_NEAR(chip().fanDuty(0), 0.2, 1e-9);
    m.setHighBits(0x10);
    m.lines(true, true);
    advance(8);  // past Tmin, not yet Tmin + Trange
    const double t = chip().trueTemperature(1);
    ASSERT_GT(t, 33);
    ASSERT_LT(t, 42);
    EXPECT_GT(chip().fanDuty(0), 0.25);
    advance(60);
    EXPECT_DOUBLE_EQ(chip().fanDuty(0), 1.0);

    write(0x22, 0x00);  // minimum code 0: off below Tmin
    m.setHighBits(0x00);
    m.lines(true, true);
    advance(200);
    EXPECT_EQ(chip().fanDuty(0), 0.0);
}

TEST_F(PhysicsTest, ControlOperationChoosesTheChannels)
{
    write(0x26, (8 << 3) | 1);  // remote 2: Tmin 32
    write(0x25, 0xF9);          // remote 1: Tmin 124, never reached
    write(0x22, 0x00);
    m.setHighBits(0x20);  // heat remote 2
    m.lines(true, true);
    write(0x00, 0x81);  // op 0: remote 2 drives fan 2 only
    advance(60);
    EXPECT_EQ(chip().fanDuty(0), 0.0);
    EXPECT_DOUBLE_EQ(chip().fanDuty(1), 1.0);
    write(0x00, 0xC1);  // op 2: remote 2 drives both
    advance(1);
    EXPECT_DOUBLE_EQ(chip().fanDuty(0), 1.0);
    write(0x00, 0xA1);  // op 1: remote 1 drives both
    advance(1);
    EXPECT_EQ(chip().fanDuty(1), 0.0);
}

TEST_F(PhysicsTest, RpmFeedbackHoldsTheLimitCount)
{
    write(0x20, 0x45);  // N = 2
    write(0x10, 100);   // count 100 = 3375 RPM
    write(0x00, 0x69);
    advance(30);
    EXPECT_NEAR(read(0x08), 100, 1);
}

TEST_F(PhysicsTest, LimitStatusSetsClearsOnReadAndSetsAgain)
{
    write(0x18, 20);  // remote 1 high limit below ambient
    advance(0.2);
    EXPECT_EQ(read(0x02) & 0x04, 0x04);
    EXPECT_EQ(read(0x02) & 0x04, 0x00);  // cleared by the read
    advance(0.2);
    EXPECT_EQ(read(0x02) & 0x04, 0x04);  // condition lasts
    write(0x18, 60);
    read(0x02);
    advance(0.2);
    EXPECT_EQ(read(0x02) & 0x04, 0x00);

    write(0x1A, 20);  // remote 1 therm: Ext1 Therm and THERM
    advance(0.2);
    EXPECT_EQ(read(0x02) & 0x10, 0x10);
    EXPECT_EQ(read(0x03) & 0x80, 0x80);
}

TEST_F(PhysicsTest, FaultsShowInStatus)
{
    sim::Config c;
    c.ports[0].chips[0].remote1Open = true;
    c.ports[0].chips[0].fans[1].stalled = true;
    freshBoard(c);
    write(0x00, 0x19);  // fan fault enabled, PWM Invert
    write(0x10, 0x40);  // speed alarms above count 64
    write(0x11, 0x40);
    advance(5);
    EXPECT_EQ(read(0x0B), 0x80);
    const uint8_t s1 = read(0x02);
    EXPECT_EQ(s1 & 0x20, 0x20);          // Ext1 Diode Error
    EXPECT_EQ(s1 & 0x01, 0x01);          // 33 % of 4800 at N = 2 counts above 64
    EXPECT_EQ(read(0x03) & 0x03, 0x03);  // fan 2 stalled: speed alarm and fault
}

TEST_F(PhysicsTest, SoftwareResetRestoresPowerOnTable)
{
    struct {
        uint8_t reg, value;
    } const table[] = {
        {0x00, 0x01}, {0x01, 0x7F}, {0x0D, 0x00}, {0x10, 0xFF}, {0x14, 0x46}, {0x16, 0x55}, {0x18, 0x3C}, {0x1A, 0x41},
        {0x20, 0x5D}, {0x22, 0x55}, {0x23, 0x50}, {0x25, 0x61}, {0x3D, 0x31}, {0x3E, 0x46}, {0x3F, 0x12},
    };
    for (const auto& e : table)
        if (e.reg != 0x3D && e.reg != 0x3E)
            write(e.reg, static_cast<uint8_t>(e.value ^ 0x0A));
    write(0x01, 0x80);
    for (const auto& e : table)
        EXPECT_EQ(read(e.reg), e.value) << std::hex << int(e.reg);
}

TEST_F(PhysicsTest, StandbyFreezesReadings)
{
    write(0x00, 0x00);  // Monitor off
    const uint8_t before = read(0x0B);
    m.setHighBits(0x10);
    m.lines(true, true);
    advance(60);
    EXPECT_EQ(read(0x0B), before);
    write(0x00, 0x01);
    advance(0.2);
    EXPECT_GT(read(0x0B), before + 10);
}

namespace {

// Remote 1 cooled by fan 1, as a heat sink with a fan on it.
sim::Config cooledBoard(double lagS = 0)
{
    sim::Config c;
    sim::ThermalConfig t;
    t.channel = 1;
    t.fan = 1;
    t.stillAirRiseC = 45;
    t.fullAirflowRiseC = 12;
    t.tauS = 30;
    t.lagS = lagS;
    c.ports[0].chips[0].thermal = {t};
    return c;
}

}  // namespace

TEST_F(PhysicsTest, FanAirflowSetsTheSteadyRise)
{
    freshBoard(cooledBoard());
    write(0x00, 0x09);  // software control, PWM Invert for the board's fan stage
    write(0x22, 0x50);  // fan 1 stopped
    m.setHighBits(0x10);
    m.lines(true, true);
    advance(400);
    EXPECT_NEAR(chip().trueTemperature(1), 25 + 45, 0.05);
    write(0x22, 0x5F);  // fan 1 full
    advance(400);
    EXPECT_NEAR(chip().trueTemperature(1), 25 + 12, 0.05);
    EXPECT_NEAR(remote1(), 37, 0.13);
    // Half the heat (software PWM of the heater bit) halves the rise.
    for (int i = 0; i < 1600; ++i) {
        m.setHighBits(i % 2 ? 0x10 : 0x00);
        m.lines(true, true);
        advance(0.25);
    }
    EXPECT_NEAR(chip().trueTemperature(1), 25 + 6, 0.3);
}

TEST_F(PhysicsTest, TimeConstantAndLagOfTheDiode)
{
    freshBoard(cooledBoard(3));
    write(0x00, 0x09);
    write(0x22, 0x50);
    m.setHighBits(0x10);
    m.lines(true, true);
    advance(2.9);
    EXPECT_NEAR(chip().trueTemperature(1), 25, 1e-9);  // the heat has not arrived yet
    advance(0.1 + 30);                                 // one time constant after the lag
    EXPECT_NEAR(chip().trueTemperature(1) - 25, 45 * (1 - std::exp(-1.0)), 0.2);
    advance(300);
    // A change of airflow arrives as late: the fan is at speed within a
    // few seconds, the diode starts cooling only after the lag.
    write(0x22, 0x5F);
    const double hot = chip().trueTemperature(1);
    advance(2.5);
    EXPECT_GE(chip().trueTemperature(1), hot - 1e-6);  // still warming, if anything
    advance(30);
    EXPECT_LT(chip().trueTemperature(1), hot - 10);
}

TEST_F(PhysicsTest, AutomaticControlClosesTheLoop)
{
    freshBoard(cooledBoard(3));
    write(0x25, 0x52);  // remote 1: Tmin 40, range 20
    write(0x22, 0x53);  // minimum duty 3/15
    write(0x00, 0x89);  // automatic, remote 1 drives fan 1, PWM Invert, monitor
    m.setHighBits(0x10);
    m.lines(true, true);
    advance(600);
    double lo = 1e9, hi = -1e9;
    for (int i = 0; i < 120; ++i) {
        advance(0.5);
        lo = std::min(lo, chip().trueTemperature(1));
        hi = std::max(hi, chip().trueTemperature(1));
    }
    EXPECT_LT(hi - lo, 0.5);  // settled, no sustained swing
    // Where the chip's law and the plant agree.
    sim::ThermalConfig t = cooledBoard().ports[0].chips[0].thermal[0];
    const double duty = chiplaw::channelDuty(remote1(), 40, 20, 0.2);
    EXPECT_NEAR(chip().trueTemperature(1), 25 + sim::airflowRiseC(t, duty), 0.3);
    EXPECT_GT(hi, 40);
    EXPECT_LT(hi, 25 + 45 - 5);  // the fan does cool it
}
