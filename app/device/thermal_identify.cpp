// Identification: the fan's floor from its characterisation, then the heat
// on and the fan stepped down from full, each step waited out by settling;
// a first-order model with one delay fitted to the whole path.
#include "device/thermal_loop.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "device/board_clock.h"
#include "device/conversions.h"
#include "device/register_map.h"
#include "device/thermal_parts.h"

namespace device {

using thermal::Cancelled;
using thermal::codeAtLeast;
using thermal::HeatedWait;
using thermal::Sampler;
using thermal::StepResult;

namespace {

// Small dense least squares by the normal equations (a handful of unknowns).
bool solve(std::vector<std::vector<double>>& a, std::vector<double>& b)
{
    const std::size_t n = b.size();
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c]))
                pivot = r;
        if (std::fabs(a[pivot][c]) < 1e-12)
            return false;
        std::swap(a[c], a[pivot]);
        std::swap(b[c], b[pivot]);
        for (std::size_t r = 0; r < n; ++r) {
            if (r == c)
                continue;
            const double f = a[r][c] / a[c][c];
            for (std::size_t k = c; k < n; ++k)
                a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    for (std::size_t c = 0; c < n; ++c)
        b[c] /= a[c][c];
    return true;
}

struct Fit {
    double tauS = 0;
    double lagS = 0;
    double rms = 1e9;
    std::vector<double> levels;  // the steady temperature of each step
    double startC = 0;
};

// The path as a first-order response, `lag` late, to steps of the steady
// temperature at `steps` (board seconds): linear in the start and the step
// sizes for a given time constant and delay, which a grid then searches.
Fit fitAt(const std::vector<TracePoint>& trace, const std::vector<double>& steps, double tau, double lag)
{
    const std::size_t n = steps.size() + 1;
    std::vector<std::vector<double>> a(n, std::vector<double>(n, 0.0));
    std::vector<double> b(n, 0.0);
    std::vector<double> row(n);
    const auto basis = [&](double t) {
        row[0] = 1.0;
        for (std::size_t k = 0; k < steps.size(); ++k) {
            const double x = t - steps[k] - lag;
            row[k + 1] = x > 0 ? 1.0 - std::exp(-x / tau) : 0.0;
        }
    };
    for (const TracePoint& p : trace) {
        basis(p.t);
        for (std::size_t i = 0; i < n; ++i) {
            b[i] += row[i] * p.temperatureC;
            for (std::size_t j = i; j < n; ++j)
                a[i][j] += row[i] * row[j];
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < i; ++j)
            a[i][j] = a[j][i];
    Fit f;
    f.tauS = tau;
    f.lagS = lag;
    if (!solve(a, b))
        return f;
    double sq = 0;
    for (const TracePoint& p : trace) {
        basis(p.t);
        double v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v += row[i] * b[i];
        sq += (v - p.temperatureC) * (v - p.temperatureC);
    }
    f.rms = trace.empty() ? 0 : std::sqrt(sq / static_cast<double>(trace.size()));
    f.startC = b[0];
    double level = b[0];
    for (std::size_t k = 1; k < n; ++k) {
        level += b[k];
        f.levels.push_back(level);
    }
    return f;
}

Fit fitModel(const std::vector<TracePoint>& trace, const std::vector<double>& steps, double longestStepS)
{
    // Every other reading is plenty for the coarse grid.
    std::vector<TracePoint> coarse;
    for (std::size_t i = 0; i < trace.size(); i += 2)
        coarse.push_back(trace[i]);
    Fit best;
    const double maxLag = std::min(60.0, longestStepS / 3);
    for (double tau = 0.5; tau <= std::max(1.0, longestStepS); tau *= 1.15)
        for (double lag = 0; lag <= maxLag; lag += 0.5) {
            const Fit f = fitAt(coarse, steps, tau, lag);
            if (f.rms < best.rms)
                best = f;
        }
    // Then finely around the best.
    const Fit around = best;
    for (double tau = around.tauS / 1.15; tau <= around.tauS * 1.15; tau *= 1.01)
        for (double lag = std::max(0.0, around.lagS - 0.5); lag <= around.lagS + 0.5; lag += 0.05) {
            const Fit f = fitAt(trace, steps, tau, lag);
            if (f.rms < best.rms || best.levels.empty())
                best = f;
        }
    return fitAt(trace, steps, best.tauS, best.lagS);
}

}  // namespace

ThermalRun identifyThermal(const RegisterAccess& chip, const HeaterAccess& heater, const ThermalOptions& options,
                           const ThermalCallbacks& callbacks)
{
    ThermalRun run;
    ThermalOptions o = options;
    const auto fail = [&run](std::string why) {
        run.outcome = CharacterizationOutcome::Failed;
        run.error = std::move(why);
        return run;
    };
    if (o.channel != 1 && (o.channel != 2 || !chip.dualChannel))
        return fail(chip.dualChannel ? "there is no remote channel " + std::to_string(o.channel)
                                     : "the TFM4410 has one remote channel (remote1)");
    if (o.fan != 1 && (o.fan != 2 || !chip.dualChannel))
        return fail(chip.dualChannel ? "there is no fan " + std::to_string(o.fan) : "the TFM4410 has one fan (fan 1)");
    ThermalModel& m = run.model;
    m.channel = o.channel;
    m.fan = o.fan;
    m.heatShare = o.heatShare;
    const BoardClock clock(o.now, o.sleep, o.timeScale);
    const double begin = clock.now();

    // The fan first: where it stalls (the floor of the sweep) and which PWM
    // sense runs it at the duty. It restores what it changed.
    CharacterizationOptions co;
    co.timeScale = o.timeScale;
    co.now = o.now;
    co.sleep = o.sleep;
    co.boardWaitS = o.boardWaitS;
    CharacterizationCallbacks ccb;
    ccb.cancelled = callbacks.cancelled;
    if (callbacks.progress)
        ccb.progress = [&callbacks](const CharacterizationProgress& p) {
            ThermalProgress tp;
            tp.phase = "fan";
            tp.step = p.step;
            tp.steps = p.steps;
            callbacks.progress(tp);
        };
    const CharacterizationRun fanRun = characterizeFans(chip, {o.fan}, co, ccb);
    run.restore = fanRun.restore;
    if (fanRun.outcome != CharacterizationOutcome::Done) {
        run.outcome = fanRun.outcome;
        run.error = fanRun.error;
        return run;
    }
    if (!fanRun.restore.ok())
        return fail("could not restore the fan's registers (" + fanRun.restore.reason + ")");
    const FanCharacterization& fc = fanRun.fans.front();
    if (!fc.turns || !fc.stopDutyPercent)
        return fail("fan " + std::to_string(o.fan) + " does not turn at any duty");
    m.stallDutyPercent = fc.stopDutyPercent;
    // The fan's measurement is part of this one and waits on the fan as the
    // steps wait on the diode: its settle times count with theirs.
    m.settleS += fc.settleS;
    m.startDutyPercent = fc.startDutyPercent;
    const int floorCode = codeAtLeast(*fc.stopDutyPercent);

    thermal::LoopKeeper keeper(chip, heater);
    RegisterKeeper& keep = keeper.registers();
    try {
        keeper.remember({reg::Configuration1, reg::Configuration2, reg::FanSpeedConfiguration, reg::FanFilterControl},
                        run.restore);
        const std::uint8_t c1 = keep.saved(reg::Configuration1);
        m.pwmInvert = (((c1 & 0x08) != 0) != fc.pwmInverted);
        // Software control at the duty code, conversions running, the fan's
        // PWM output, tach and the channel on; the filter ramp off so each
        // duty acts at once.
        keep.put(reg::Configuration1, static_cast<std::uint8_t>((c1 & ~0xE8) | 0x01 | (m.pwmInvert ? 0x08 : 0)));
        keep.put(reg::Configuration2, static_cast<std::uint8_t>(keep.current(reg::Configuration2) |
                                                                (o.fan == 2 ? 0x0A : 0x05) | (0x10 << o.channel)));
        keep.put(reg::FanFilterControl,
                 static_cast<std::uint8_t>(keep.current(reg::FanFilterControl) & ~(o.fan == 2 ? 0x02 : 0x01)));
        const auto setDuty = [&](int code) {
            const std::uint8_t speed = keep.current(reg::FanSpeedConfiguration);
            keep.put(reg::FanSpeedConfiguration, o.fan == 2 ? static_cast<std::uint8_t>((speed & 0x0F) | (code << 4))
                                                            : static_cast<std::uint8_t>((speed & 0xF0) | code));
        };

        HeatedWait heat(clock, heater, o.heatShare);
        std::vector<int> codes;
        for (int code = 15; code > floorCode; code -= 2)
            codes.push_back(code);
        codes.push_back(floorCode);
        const int steps = static_cast<int>(codes.size()) + 1;
        const auto progress = [&](const char* phase, int step, double c, int duty) {
            if (!callbacks.progress)
                return;
            ThermalProgress p;
            p.phase = phase;
            p.step = step;
            p.steps = steps;
            p.temperatureC = c;
            p.dutyPercent = duty;
            callbacks.progress(p);
        };

        // Ambient: the heat off and the fan at full, settled.
        setDuty(15);
        heat.setHeat(false);
        heat.drive(false);
        Sampler cold(chip, o, callbacks, clock, heat, clock.now());
        const StepResult ambient = cold.settle(nullptr, 100);
        m.ambientC = ambient.endC;
        m.settleS += ambient.seconds;
        progress("ambient", 1, ambient.endC, 100);

        // Then the heat on, the fan stepped down from full to its floor.
        heat.setHeat(true);
        const double t0 = clock.now();
        Sampler sampler(chip, o, callbacks, clock, heat, t0);
        std::vector<double> stepTimes;
        double longest = 0;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const int code = codes[i];
            if (i > 0)
                setDuty(code);
            stepTimes.push_back(clock.boardSince(t0));
            const int pct = DutyPercent[static_cast<std::size_t>(code)];
            const StepResult r = sampler.settle(&m.trace, pct);
            ThermalPoint p;
            p.dutyCode = code;
            p.dutyPercent = pct;
            p.settleS = r.seconds;
            p.settled = r.settled;
            m.points.push_back(p);
            m.settleS += r.seconds;
            longest = std::max(longest, r.seconds);
            progress("step", static_cast<int>(i) + 2, r.endC, pct);
        }

        const Fit fit = fitModel(m.trace, stepTimes, longest);
        m.tauS = fit.tauS;
        m.lagS = fit.lagS;
        m.rmsErrorC = fit.rms;
        const double share = o.heatShare > 0 ? o.heatShare : 1.0;
        for (std::size_t i = 0; i < m.points.size() && i < fit.levels.size(); ++i)
            m.points[i].steadyRiseC = (fit.levels[i] - m.ambientC) / share;
        std::sort(m.points.begin(), m.points.end(),
                  [](const ThermalPoint& a, const ThermalPoint& b) { return a.dutyPercent < b.dutyPercent; });
    } catch (const Cancelled&) {
        run.outcome = CharacterizationOutcome::Cancelled;
    } catch (const std::exception& e) {
        run.outcome = CharacterizationOutcome::Failed;
        run.error = e.what();
    }
    run.heaterRestored =
        keeper.putBack({reg::FanFilterControl, reg::FanSpeedConfiguration, reg::Configuration2, reg::Configuration1},
                       run.restore, o.boardWaitS, callbacks.cancelled);
    m.durationS = clock.boardSince(begin);
    return run;
}

}  // namespace device
