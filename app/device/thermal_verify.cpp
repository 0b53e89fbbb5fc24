// Verification: the chosen settings run in automatic control with the heat
// on, the measured path against the predicted one.
#include "device/thermal_loop.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <chiplaw/auto_control.h>

#include "device/board_clock.h"
#include "device/register_map.h"
#include "device/thermal_parts.h"

namespace device {

using thermal::Cancelled;
using thermal::HeatedWait;
using thermal::PathSummary;
using thermal::Sampler;
using thermal::StepResult;
using thermal::summarize;

VerifyResult verifyThermal(const RegisterAccess& chip, const HeaterAccess& heater, const ThermalModel& model,
                           const TuneChoice& choice, double seconds, const ThermalOptions& options,
                           const ThermalCallbacks& callbacks)
{
    VerifyResult v;
    const BoardClock clock(options.now, options.sleep, options.timeScale);
    thermal::LoopKeeper keeper(chip, heater);
    RegisterKeeper& keep = keeper.registers();
    ThermalOptions o = options;
    o.channel = model.channel;
    o.fan = model.fan;
    try {
        keeper.remember({reg::Configuration1, reg::Configuration2}, v.restore);
        // Automatic control with the channel driving its fan, in the PWM
        // sense that runs the fan at the duty.
        const std::uint8_t c1 = keep.saved(reg::Configuration1);
        const int op = thermal::controlOperation(model.channel, model.fan, chip.dualChannel);
        keep.put(reg::Configuration1,
                 static_cast<std::uint8_t>((c1 & ~0xE8) | 0x80 | (op << 5) | 0x01 | (model.pwmInvert ? 0x08 : 0)));
        keep.put(reg::Configuration2,
                 static_cast<std::uint8_t>(keep.current(reg::Configuration2) | (model.fan == 2 ? 0x0A : 0x05) |
                                           (0x10 << model.channel)));
        HeatedWait heat(clock, heater, 1.0);
        // From rest: the heat off until the diode has settled.
        heat.setHeat(false);
        heat.drive(false);
        Sampler cold(chip, o, callbacks, clock, heat, clock.now());
        const StepResult start = cold.settle(nullptr, 0);

        heat.setHeat(true);
        const double t0 = clock.now();
        const double minDuty = chiplaw::minimumDuty(choice.minDutyCode);
        for (;;) {
            heat.wait(o.sampleIntervalS, callbacks.cancelled);
            const double c = thermal::readTemperature(chip, model.channel);
            const double t = clock.boardSince(t0);
            v.measuredTrace.push_back({t, c, chiplaw::channelDuty(c, choice.tminC, choice.trangeC, minDuty) * 100});
            if (callbacks.sample)
                callbacks.sample(v.measuredTrace.back());
            if (callbacks.progress) {
                ThermalProgress p;
                p.phase = "verify";
                p.step = static_cast<int>(t);
                p.steps = static_cast<int>(seconds);
                p.temperatureC = c;
                callbacks.progress(p);
            }
            if (t >= seconds)
                break;
        }
        v.predictedTrace = predictPath(model, choice.tminC, choice.trangeC, minDuty, start.endC, seconds);
        const PathSummary measured = summarize(v.measuredTrace);
        v.measuredSteadyC = measured.steadyC;
        v.measuredSteadyDutyPercent = measured.steadyDuty;
        double sq = 0;
        for (const TracePoint& p : v.measuredTrace) {
            const auto i = std::min(v.predictedTrace.size() - 1, static_cast<std::size_t>(std::max(0.0, p.t)));
            double predicted = v.predictedTrace[i].temperatureC;
            if (i + 1 < v.predictedTrace.size()) {
                const double w = p.t - v.predictedTrace[i].t;
                predicted += w * (v.predictedTrace[i + 1].temperatureC - predicted);
            }
            sq += (p.temperatureC - predicted) * (p.temperatureC - predicted);
        }
        v.rmsErrorC = v.measuredTrace.empty() ? 0 : std::sqrt(sq / static_cast<double>(v.measuredTrace.size()));
    } catch (const Cancelled&) {
        v.outcome = CharacterizationOutcome::Cancelled;
    } catch (const std::exception& e) {
        v.outcome = CharacterizationOutcome::Failed;
        v.error = e.what();
    }
    v.heaterRestored =
        keeper.putBack({reg::Configuration2, reg::Configuration1}, v.restore, o.boardWaitS, callbacks.cancelled);
    return v;
}

}  // namespace device
