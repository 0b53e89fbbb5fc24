// The fan measurement against simulated fans with known thresholds, through
// a device session and the real library on the printer port, with the board's manual clock moved
// by the measurement's own waits (so a sweep of many board seconds runs in
// milliseconds).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/fan_characterization.h"
#include "device/register_map.h"

namespace device {
namespace {

constexpr std::array<std::uint8_t, 6> kTouched{0x00, 0x01, 0x20, 0x21, 0x22, 0x23};

sim::Chip& chip() { return *sim::board().chip(0x5C); }

struct FanParams {
    double fullRpm = 4800;
    double startPct = 0;
    double stopPct = 0;
    double tauS = 1.0;
    double noisePct = 0;
    bool stalled = false;
    int pulses = 2;
};

class FanCharacterizationTest : public ::testing::Test {
protected:
    void board(sim::ChipVariant variant, const FanParams& f1, const FanParams& f2 = {})
    {
        sim::Config config;
        config.time = sim::TimeMode::Manual;
        sim::ChipConfig& c = config.ports[0].chips[0];
        c.variant = variant;
        const std::array<const FanParams*, 2> given{&f1, &f2};
        for (std::size_t i = 0; i < given.size(); ++i) {
            const FanParams& p = *given[i];
            sim::FanConfig& fan = c.fans[i];
            fan.fullSpeedRpm = p.fullRpm;
            fan.startDutyPct = p.startPct;
            fan.stopDutyPct = p.stopPct;
            fan.spinUpS = p.tauS;
            fan.rpmNoisePct = p.noisePct;
            fan.stalled = p.stalled;
            fan.pulsesPerRev = p.pulses;
        }
        sim::board().configure(config);
        holdBoardLines();
        session.emplace(Session::open(Medium::PrinterPort, 0, 0x2E));
        // A user's settings the measurement must leave as it found them.
        session->write(0x00, 0x19);  // PWM Invert, fan fault enable
        session->write(0x20, 0x6B);
        session->write(0x22, 0x37);
        session->write(0x23, 0x53);
        for (std::uint8_t r : kTouched)
            before[r] = chip().peek(r);
    }

    RegisterAccess access() { return sessionAccess(*session); }

    static CharacterizationOptions manualClock()
    {
        CharacterizationOptions o;
        o.now = [] { return sim::board().nowMs() / 1000.0; };
        o.sleep = [](double s) { sim::board().advanceMs(s * 1000.0); };
        return o;
    }

    void expectRestored()
    {
        for (std::uint8_t r : kTouched)
            EXPECT_EQ(chip().peek(r), before[r]) << registerLabel(r);
    }

    std::array<std::uint8_t, 256> before{};
    std::optional<Session> session;
};

struct Case {
    sim::ChipVariant variant;
    int fan;
    FanParams fanParams;
};

class SweepTest : public FanCharacterizationTest, public ::testing::WithParamInterface<Case> { };

// Start and stall within one duty step (6.7 %), full speed within 5 %,
// spin-up (2.3 time constants to 90 %) within 20 %.
TEST_P(SweepTest, FindsTheFansThresholdsAndRestoresTheRegisters)
{
    const Case& c = GetParam();
    if (c.fan == 1)
        board(c.variant, c.fanParams);
    else
        board(c.variant, {}, c.fanParams);
    const CharacterizationRun run = characterizeFans(access(), {c.fan}, manualClock());
    ASSERT_EQ(run.outcome, CharacterizationOutcome::Done) << run.error;
    ASSERT_EQ(run.fans.size(), 1u);
    const FanCharacterization& f = run.fans[0];
    EXPECT_EQ(f.fan, c.fan);
    ASSERT_EQ(f.points.size(), 32u);
    EXPECT_TRUE(f.turns);
    ASSERT_TRUE(f.startDutyPercent);
    ASSERT_TRUE(f.stopDutyPercent);
    EXPECT_NEAR(*f.startDutyPercent, std::max(c.fanParams.startPct, 7.0), 100.0 / 15 + 0.5);
    EXPECT_GE(*f.startDutyPercent + 0.5, c.fanParams.startPct);
    EXPECT_NEAR(*f.stopDutyPercent, std::max(c.fanParams.stopPct, 7.0), 100.0 / 15 + 0.5);
    EXPECT_NEAR(f.fullSpeedRpm, c.fanParams.fullRpm, c.fanParams.fullRpm * 0.05);
    ASSERT_TRUE(f.spinUpS);
    EXPECT_NEAR(*f.spinUpS, c.fanParams.tauS * std::log(10.0), c.fanParams.tauS * std::log(10.0) * 0.2);
    EXPECT_TRUE(f.pulsesOk);
    for (const CharacterizationPoint& p : f.points)
        EXPECT_TRUE(p.settled) << p.dutyCode;
    EXPECT_TRUE(run.restore.ok()) << run.restore.reason;
    expectRestored();
}

INSTANTIATE_TEST_SUITE_P(Fans, SweepTest,
                         ::testing::Values(Case{sim::ChipVariant::Tfm4411, 1, {4800, 40, 27}},
                                           Case{sim::ChipVariant::Tfm4411, 2, {2400, 20, 14, 2.5}},
                                           Case{sim::ChipVariant::Tfm4410, 1, {7000, 53, 33, 0.5}},
                                           Case{sim::ChipVariant::Tfm4411, 1, {3000, 30, 20, 1.0, 1.0}},
                                           Case{sim::ChipVariant::Tfm4410, 1, {4800, 0, 0}}));

TEST_F(FanCharacterizationTest, StalledFanIsReportedWithoutTheDownSweep)
{
    FanParams dead;
    dead.stalled = true;
    board(sim::ChipVariant::Tfm4411, dead);
    const double t0 = sim::board().nowMs();
    const CharacterizationRun run = characterizeFans(access(), {1}, manualClock());
    ASSERT_EQ(run.outcome, CharacterizationOutcome::Done) << run.error;
    const FanCharacterization& f = run.fans.at(0);
    EXPECT_FALSE(f.turns);
    EXPECT_FALSE(f.startDutyPercent);
    EXPECT_FALSE(f.stopDutyPercent);
    EXPECT_FALSE(f.spinUpS);
    EXPECT_EQ(f.fullSpeedRpm, 0);
    EXPECT_FALSE(f.pulsesOk);
    EXPECT_EQ(f.points.size(), 16u);
    // Each stopped step costs the hold, not the step limit.
    EXPECT_LT(sim::board().nowMs() - t0, 17 * 2.5 * 1000);
    expectRestored();
}

TEST_F(FanCharacterizationTest, FourPulseFanIsFlaggedAndInvertedPwmIsFound)
{
    FanParams fourPulse;
    fourPulse.fullRpm = 6000;
    fourPulse.pulses = 4;  // reads 12000 RPM with the two-pulse reckoning
    board(sim::ChipVariant::Tfm4411, fourPulse);
    session->write(0x00, 0x11);  // PWM Invert clear: the board's stage runs the fan at 1 - duty
    before[0x00] = 0x11;
    const CharacterizationRun run = characterizeFans(access(), {1}, manualClock());
    ASSERT_EQ(run.outcome, CharacterizationOutcome::Done) << run.error;
    const FanCharacterization& f = run.fans.at(0);
    EXPECT_TRUE(f.pwmInverted);
    EXPECT_NEAR(f.fullSpeedRpm, 12000, 600);
    EXPECT_FALSE(f.pulsesOk);
    expectRestored();
}

// The PWM sense is both fans': measuring one with it flipped must not move
// the other, which runs at 33 % in software control throughout.
class OtherFanTest : public FanCharacterizationTest, public ::testing::WithParamInterface<int> { };

TEST_P(OtherFanTest, KeepsItsSpeedWhileTheSenseFlipsAndAfterwards)
{
    const int measured = GetParam();
    const int other = 3 - measured;
    board(sim::ChipVariant::Tfm4411, {4800, 40, 27}, {3200, 20, 14});
    session->write(0x00, 0x11);  // PWM Invert clear: the measurement must flip it
    session->write(0x22, other == 2 ? 0x50 : 0x05);
    for (std::uint8_t r : kTouched)
        before[r] = chip().peek(r);
    sim::board().advanceMs(10000);
    const double held = chip().fanRpm(other - 1);
    ASSERT_GT(held, 1000);  // the user's sense drives it at 67 %

    CharacterizationOptions o = manualClock();
    double lowest = held;
    double highest = held;
    o.sleep = [&](double seconds) {
        sim::board().advanceMs(seconds * 1000.0);
        lowest = std::min(lowest, chip().fanRpm(other - 1));
        highest = std::max(highest, chip().fanRpm(other - 1));
    };
    std::vector<std::string> told;
    CharacterizationCallbacks cb;
    cb.notice = [&](const std::string& n) { told.push_back(n); };
    const CharacterizationRun run = characterizeFans(access(), {measured}, o, cb);
    ASSERT_EQ(run.outcome, CharacterizationOutcome::Done) << run.error;
    EXPECT_TRUE(run.fans.at(0).pwmInverted);
    EXPECT_GE(lowest, held * 0.97);
    EXPECT_LE(highest, held * 1.03);
    EXPECT_TRUE(told.empty()) << told.front();
    expectRestored();
    sim::board().advanceMs(5000);
    EXPECT_NEAR(chip().fanRpm(other - 1), held, held * 0.03);
}

INSTANTIATE_TEST_SUITE_P(EitherFan, OtherFanTest, ::testing::Values(1, 2));

// Under automatic control the other fan cannot keep following the
// temperature while software control measures: said before anything is
// written, and the mode comes back.
TEST_F(FanCharacterizationTest, OtherFanUnderAutomaticControlIsToldBeforeTheSweep)
{
    board(sim::ChipVariant::Tfm4411, {}, {});
    session->write(0x00, 0x99);
    session->write(0x22, 0x57);
    for (std::uint8_t r : kTouched)
        before[r] = chip().peek(r);
    std::uint8_t users = 0x99;
    std::vector<std::string> told;
    CharacterizationCallbacks cb;
    cb.notice = [&](const std::string& n) {
        EXPECT_EQ(chip().peek(0x00), users) << "told after the mode changed";
        told.push_back(n);
    };
    cb.cancelled = [] { return true; };
    const CharacterizationRun run = characterizeFans(access(), {1}, manualClock(), cb);
    EXPECT_EQ(run.outcome, CharacterizationOutcome::Cancelled);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0], "fan 2 leaves automatic control while fan 1 is measured: it runs at its duty code's 33 % "
                       "until the measurement ends");
    EXPECT_EQ(run.notices, told);
    expectRestored();

    // RPM feedback, both fans measured: each is told about the other.
    users = 0x61;
    session->write(0x00, users);
    session->write(0x22, 0x0A);
    told.clear();
    (void)characterizeFans(access(), {1, 2}, manualClock(), cb);
    ASSERT_EQ(told.size(), 2u);
    EXPECT_NE(told[0].find("fan 2 leaves RPM feedback while fan 1 is measured"), std::string::npos) << told[0];
    EXPECT_NE(told[0].find("Off (stopped)"), std::string::npos) << told[0];
    EXPECT_NE(told[1].find("fan 1 leaves RPM feedback while fan 2 is measured: it runs at its duty code's 67 %"),
              std::string::npos)
        << told[1];
}

TEST_F(FanCharacterizationTest, CancelMidSweepRestoresEverything)
{
    board(sim::ChipVariant::Tfm4411, {}, {});
    int points = 0;
    CharacterizationCallbacks cb;
    cb.progress = [&](const CharacterizationProgress& p) {
        if (p.point)
            ++points;
        EXPECT_EQ(p.steps, kCharacterizationSteps);
    };
    cb.cancelled = [&] { return points >= 20; };
    const CharacterizationRun run = characterizeFans(access(), {1, 2}, manualClock(), cb);
    EXPECT_EQ(run.outcome, CharacterizationOutcome::Cancelled);
    EXPECT_TRUE(run.fans.empty());
    EXPECT_EQ(points, 20);
    EXPECT_TRUE(run.restore.ok());
    expectRestored();
}

TEST_F(FanCharacterizationTest, ChipGoneMidSweepNamesWhatCouldNotBeRestored)
{
    board(sim::ChipVariant::Tfm4411, {});
    int points = 0;
    CharacterizationCallbacks cb;
    cb.progress = [&](const CharacterizationProgress& p) {
        if (p.point && ++points == 10)
            chip().setPresent(false);
    };
    const CharacterizationRun run = characterizeFans(access(), {1}, manualClock(), cb);
    EXPECT_EQ(run.outcome, CharacterizationOutcome::Failed);
    EXPECT_NE(run.error.find("no longer answers"), std::string::npos) << run.error;
    EXPECT_FALSE(run.restore.ok());
    EXPECT_NE(run.restore.reason.find("no longer answers"), std::string::npos) << run.restore.reason;
    EXPECT_EQ(run.restore.notRestored.size(), 5u);  // Fan2 Characteristics was never touched
}

TEST_F(FanCharacterizationTest, SecondFanOnTheSingleChannelChipIsRefusedUntouched)
{
    board(sim::ChipVariant::Tfm4410, {});
    const CharacterizationRun run = characterizeFans(access(), {2}, manualClock());
    EXPECT_EQ(run.outcome, CharacterizationOutcome::Failed);
    EXPECT_NE(run.error.find("one fan"), std::string::npos);
    EXPECT_TRUE(run.restore.touched.empty());
}

TEST(FanCharacterizationFormatTest, JsonAndCsvCarryTheDocumentedKeys)
{
    FanCharacterization f;
    f.fan = 2;
    f.startDutyPercent = 40;
    f.fullSpeedRpm = 4800;
    f.spinUpS = 2.3;
    f.pulsesOk = true;
    f.points.push_back({6, 40, 1920, 12, SweepDirection::Up, 3.0, true});
    f.points.push_back({6, 40, 1915, 8, SweepDirection::Down, 3.0, false});
    EXPECT_EQ(characterizationJson({f}),
              "[{\"fan\": 2, \"start_duty_percent\": 40, \"stop_duty_percent\": null, \"full_speed_rpm\": 4800, "
              "\"spin_up_s\": 2.300, \"pulses_ok\": true, \"points\": [{\"duty_percent\": 40, \"rpm\": 1920, "
              "\"spread_rpm\": 12, \"direction\": \"up\"}, {\"duty_percent\": 40, \"rpm\": 1915, \"spread_rpm\": 8, "
              "\"direction\": \"down\"}]}]");
    EXPECT_EQ(characterizationCsv({f}), "fan,direction,duty_code,duty_percent,rpm,spread_rpm,settled\r\n"
                                        "2,up,6,40,1920,12,true\r\n2,down,6,40,1915,8,false\r\n");
    EXPECT_EQ(registerLabel(0x22), "Fan Speed Configuration (22h)");
}

}  // namespace
}  // namespace device
