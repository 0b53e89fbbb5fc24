// The thermal loop's identification and tuning against simulated boards
// whose remote diode is cooled by a fan, through a device session on the
// printer port, the board's manual clock moved by the measurement's waits.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <optional>
#include <string>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/thermal_loop.h"

namespace device {
namespace {

sim::Chip& chip() { return *sim::board().chip(0x5C); }

struct Loop {
    double still = 45, full = 12, tau = 30, lag = 3;
};

class ThermalLoopTest : public ::testing::Test {
protected:
    void board(const Loop& l, sim::ChipVariant variant = sim::ChipVariant::Tfm4411)
    {
        sim::Config config;
        config.time = sim::TimeMode::Manual;
        sim::ChipConfig& c = config.ports[0].chips[0];
        c.variant = variant;
        c.fans[0].startDutyPct = 20;
        c.fans[0].stopDutyPct = 12;
        sim::ThermalConfig t;
        t.channel = 1;
        t.fan = 1;
        t.stillAirRiseC = l.still;
        t.fullAirflowRiseC = l.full;
        t.tauS = l.tau;
        t.lagS = l.lag;
        c.thermal = {t};
        sim::board().configure(config);
        holdBoardLines();
        session.emplace(Session::open(Medium::PrinterPort, 0, 0x2E));
        session->write(0x00, 0x19);  // the user's: software control, PWM Invert, fan fault enable
        session->write(0x22, 0x37);
        if (variant == sim::ChipVariant::Tfm4411)
            session->write(0x23, 0x53);
        before = snapshot();
    }
    static std::array<std::uint8_t, 0x30> snapshot()
    {
        std::array<std::uint8_t, 0x30> r{};
        for (std::size_t i = 0x1F; i < r.size(); ++i)  // the writable control registers
            r[i] = chip().peek(static_cast<std::uint8_t>(i));
        r[0] = chip().peek(0x00);
        r[1] = chip().peek(0x01);
        return r;
    }
    static ThermalOptions manualClock()
    {
        ThermalOptions o;
        o.now = [] { return sim::board().nowMs() / 1000.0; };
        o.sleep = [](double s) { sim::board().advanceMs(s * 1000.0); };
        return o;
    }
    RegisterAccess access() { return sessionAccess(*session); }
    void applyChoice(const TuneChoice& c)
    {
        session->write(0x25, c.tminTrange);
        session->write(0x22, static_cast<std::uint8_t>((chip().peek(0x22) & 0xF0) | c.minDutyCode));
    }
    ThermalModel identify()
    {
        const ThermalRun run = identifyThermal(access(), boardHeater(1), manualClock());
        EXPECT_EQ(run.outcome, CharacterizationOutcome::Done) << run.error;
        EXPECT_TRUE(run.restore.ok()) << run.restore.reason;
        EXPECT_EQ(snapshot(), before);
        EXPECT_FALSE(boardHeater(1).get());
        return run.model;
    }

    std::optional<Session> session;
    std::array<std::uint8_t, 0x30> before{};
};

TEST_F(ThermalLoopTest, IdentifiesRiseTimeConstantAndLag)
{
    for (const Loop& l : {Loop{}, Loop{40, 20, 12, 0}, Loop{45, 8, 60, 6}}) {
        board(l);
        const ThermalModel m = identify();
        ASSERT_GE(m.points.size(), 3u);
        EXPECT_NEAR(m.ambientC, 25, 0.2);
        EXPECT_NEAR(m.tauS, l.tau, 0.2 * l.tau);
        EXPECT_NEAR(m.lagS, l.lag, 1.5);
        EXPECT_NEAR(m.points.back().steadyRiseC, l.full, 1.5);
        EXPECT_EQ(m.points.back().dutyPercent, 100);
        EXPECT_LT(m.rmsErrorC, 0.5);
        for (std::size_t i = 1; i < m.points.size(); ++i)  // more air, less rise
            EXPECT_LT(m.points[i].steadyRiseC, m.points[i - 1].steadyRiseC + 0.2);
        std::string error;
        const auto back = thermalFromJson(thermalJson(m), error);
        ASSERT_TRUE(back) << error;
        EXPECT_NEAR(back->riseAt(0.5), m.riseAt(0.5), 0.01);
    }
}

TEST_F(ThermalLoopTest, TunedSettingsHoldTheTargetAsPredicted)
{
    board(Loop{});
    const ThermalModel m = identify();
    const TuneResult t = tuneFor(m, 55);
    ASSERT_TRUE(t.choice) << t.error;
    const TuneChoice& c = *t.choice;
    EXPECT_LE(c.predictedSteadyC, 55.0);
    EXPECT_GE(c.minDutyPercent, *m.stallDutyPercent + kStallMarginPercent);
    EXPECT_LE(c.predictedSwingC, 1.0);
    applyChoice(c);
    const auto applied = snapshot();
    const VerifyResult v = verifyThermal(access(), boardHeater(1), m, c, 600, manualClock());
    ASSERT_EQ(v.outcome, CharacterizationOutcome::Done) << v.error;
    EXPECT_TRUE(v.restore.ok());
    EXPECT_LE(v.measuredSteadyC, 56.0);
    EXPECT_LE(v.rmsErrorC, 1.5);
    EXPECT_EQ(snapshot(), applied);
    EXPECT_FALSE(boardHeater(1).get());

    // Colder than full airflow gives: refused, saying where it settles.
    const TuneResult cold = tuneFor(m, 30);
    EXPECT_FALSE(cold.choice);
    EXPECT_NE(cold.error.find("settles at 37"), std::string::npos) << cold.error;
}

TEST_F(ThermalLoopTest, CancelRestoresRegistersAndHeater)
{
    board(Loop{});
    int polls = 0;
    ThermalCallbacks cb;
    cb.cancelled = [&polls] { return ++polls > 3000; };
    const ThermalRun run = identifyThermal(access(), boardHeater(1), manualClock(), cb);
    EXPECT_EQ(run.outcome, CharacterizationOutcome::Cancelled);
    EXPECT_TRUE(run.restore.ok());
    EXPECT_EQ(snapshot(), before);
    EXPECT_FALSE(boardHeater(1).get());
}

TEST_F(ThermalLoopTest, ATargetNearFullAirflowTakesAFastFanAndStillHolds)
{
    board(Loop{});
    const ThermalModel m = identify();
    const double full = m.ambientC + m.riseAt(1.0);
    const TuneResult quiet = tuneFor(m, 55);
    const TuneResult tight = tuneFor(m, full + 1.0);
    ASSERT_TRUE(quiet.choice) << quiet.error;
    ASSERT_TRUE(tight.choice) << tight.error;
    EXPECT_LE(tight.choice->predictedSteadyC, full + 1.0);
    EXPECT_GE(tight.choice->predictedSteadyDutyPercent, 60.0);
    EXPECT_GT(tight.choice->predictedSteadyDutyPercent, quiet.choice->predictedSteadyDutyPercent + 20);
    applyChoice(*tight.choice);
    const VerifyResult v = verifyThermal(access(), boardHeater(1), m, *tight.choice, 600, manualClock());
    ASSERT_EQ(v.outcome, CharacterizationOutcome::Done) << v.error;
    EXPECT_LE(v.measuredSteadyC, full + 2.0);
    EXPECT_LE(v.rmsErrorC, 1.5);
}

TEST_F(ThermalLoopTest, TheSingleChannelChipIdentifiesAndTunesItsOneRemote)
{
    board(Loop{45, 15, 20, 2}, sim::ChipVariant::Tfm4410);
    ThermalOptions two = manualClock();
    two.channel = 2;
    ThermalRun refused = identifyThermal(access(), boardHeater(2), two);
    EXPECT_EQ(refused.outcome, CharacterizationOutcome::Failed);
    EXPECT_NE(refused.error.find("one remote channel"), std::string::npos) << refused.error;
    ThermalOptions fan2 = manualClock();
    fan2.fan = 2;
    refused = identifyThermal(access(), boardHeater(1), fan2);
    EXPECT_NE(refused.error.find("one fan"), std::string::npos) << refused.error;
    EXPECT_EQ(snapshot(), before);

    const ThermalModel m = identify();
    EXPECT_NEAR(m.tauS, 20, 4);
    EXPECT_NEAR(m.points.back().steadyRiseC, 15, 1.5);
    const TuneResult t = tuneFor(m, 55);
    ASSERT_TRUE(t.choice) << t.error;
    applyChoice(*t.choice);
    const auto applied = snapshot();
    const VerifyResult v = verifyThermal(access(), boardHeater(1), m, *t.choice, 600, manualClock());
    ASSERT_EQ(v.outcome, CharacterizationOutcome::Done) << v.error;
    EXPECT_LE(v.measuredSteadyC, 56.0);
    EXPECT_LE(v.rmsErrorC, 1.5);
    EXPECT_EQ(snapshot(), applied);
}

// The shared board goes away mid-run and answers again a few transfers
// later: the run fails, but its restore waits for the board and puts the
// registers back there.
TEST_F(ThermalLoopTest, ARunThatLosesTheBoardRestoresWhenItReturns)
{
    board(Loop{});
    const ThermalModel m = identify();
    const TuneResult t = tuneFor(m, 55);
    ASSERT_TRUE(t.choice) << t.error;
    applyChoice(*t.choice);
    const auto applied = snapshot();

    int reads = 0;
    int refusals = 0;
    bool lost = false;
    RegisterAccess flaky = access();
    const RegisterAccess real = access();
    const auto away = [&] {
        if (!lost)
            return;
        if (++refusals >= 8) {  // back after a few tries
            lost = false;
            return;
        }
        throw SessionError(ErrorKind::BoardLost, "the shared board went away");
    };
    flaky.read = [&](std::uint8_t r) {
        if (++reads == 200)
            lost = true;
        away();
        return real.read(r);
    };
    flaky.write = [&](std::uint8_t r, std::uint8_t v) {
        away();
        real.write(r, v);
    };
    const VerifyResult v = verifyThermal(flaky, boardHeater(1), m, *t.choice, 600, manualClock());
    EXPECT_EQ(v.outcome, CharacterizationOutcome::Failed);
    EXPECT_NE(v.error.find("went away"), std::string::npos) << v.error;
    EXPECT_TRUE(v.restore.ok()) << v.restore.reason;
    EXPECT_TRUE(v.heaterRestored);
    EXPECT_EQ(snapshot(), applied);
    EXPECT_FALSE(boardHeater(1).get());
}

}  // namespace
}  // namespace device
