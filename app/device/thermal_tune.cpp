// Prediction and tuning: the chip's control law run against the model, and
// the search over Tmin, Trange and the minimum duty for the quietest
// setting that holds the target.
#include "device/thermal_loop.h"

#include <algorithm>
#include <cmath>
#include <deque>

#include <chiplaw/auto_control.h>

#include "device/conversions.h"
#include "device/thermal_parts.h"

namespace device {

using thermal::codeAtLeast;
using thermal::kPredictStepS;
using thermal::kReadingStepC;
using thermal::number;
using thermal::PathSummary;
using thermal::summarize;

std::vector<TracePoint> predictPath(const ThermalModel& m, int tminC, int trangeC, double minDuty, double startC,
                                    double horizonS)
{
    std::vector<TracePoint> trace;
    const auto delaySteps = static_cast<std::size_t>(std::lround(m.lagS / kPredictStepS));
    // Until the heat goes on the diode holds `startC`: the delayed input is
    // what keeps it there.
    std::deque<double> delayed(delaySteps, startC - m.ambientC);
    double t = 0;
    double temp = startC;
    const double k = 1.0 - std::exp(-kPredictStepS / m.tauS);
    double nextTrace = 0;
    while (t <= horizonS + 1e-9) {
        // The chip acts on its reading: rounded to its resolution.
        const double reading = std::round(temp / kReadingStepC) * kReadingStepC;
        const double duty = chiplaw::channelDuty(reading, tminC, trangeC, minDuty);
        if (t >= nextTrace - 1e-9) {
            trace.push_back({t, temp, duty * 100.0});
            nextTrace += 1.0;
        }
        delayed.push_back(m.riseAt(duty));
        const double rise = delayed.front();
        delayed.pop_front();
        temp += (m.ambientC + rise - temp) * k;
        t += kPredictStepS;
    }
    return trace;
}

namespace {

// Where the loop comes to rest: the temperature at which the law's duty
// gives exactly that temperature's rise. The rise falls as the reading (and
// so the duty) grows, hence one crossing, found by halving.
double steadyTemperature(const ThermalModel& m, int tminC, int trangeC, double minDuty)
{
    double lo = m.ambientC, hi = m.ambientC + m.riseAt(0) + 1;
    for (int i = 0; i < 60; ++i) {
        const double mid = (lo + hi) / 2;
        const double gap = m.ambientC + m.riseAt(chiplaw::channelDuty(mid, tminC, trangeC, minDuty)) - mid;
        (gap > 0 ? lo : hi) = mid;
    }
    return (lo + hi) / 2;
}

}  // namespace

TuneResult tuneFor(const ThermalModel& m, double targetC, double horizonS)
{
    TuneResult result;
    if (m.points.empty() || !(m.tauS > 0)) {
        result.error = "the model has no points";
        return result;
    }
    const double fullC = m.ambientC + m.riseAt(1.0);
    if (fullC > targetC) {
        result.error = "a target of " + number(targetC, 1) + " °C cannot be met: with the fan at full speed remote " +
                       std::to_string(m.channel) + " settles at " + number(fullC, 1) + " °C";
        return result;
    }
    const int stall = m.stallDutyPercent.value_or(m.points.front().dutyPercent);
    const int floorCode = std::max(codeAtLeast(stall + kStallMarginPercent), codeAtLeast(m.points.front().dutyPercent));

    struct Candidate {
        int tminCode, trangeCode, dutyCode;
        double steadyC, steadyDuty;
    };
    std::vector<Candidate> candidates;
    for (int rc = 0; rc < chiplaw::TrangeOfferedCodes; ++rc)
        for (int tc = 0; tc < chiplaw::TminCodeCount; ++tc)
            for (int dc = floorCode; dc <= 15; ++dc) {
                const int tmin = tc * chiplaw::TminStepDegrees;
                const int trange = chiplaw::TrangeDegrees[static_cast<std::size_t>(rc)];
                const double minDuty = chiplaw::minimumDuty(dc);
                const double steady = steadyTemperature(m, tmin, trange, minDuty);
                if (steady > targetC)
                    continue;
                candidates.push_back({tc, rc, dc, steady, chiplaw::channelDuty(steady, tmin, trange, minDuty)});
            }
    // The quietest first; among equals the gentler slope (a wide range
    // swings least), then the warmer rest (closest to the target).
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if (std::fabs(a.steadyDuty - b.steadyDuty) > 1e-3)
            return a.steadyDuty < b.steadyDuty;
        if (a.trangeCode != b.trangeCode)
            return a.trangeCode > b.trangeCode;
        return a.steadyC > b.steadyC;
    });
    for (const Candidate& c : candidates) {
        const int tmin = c.tminCode * chiplaw::TminStepDegrees;
        const int trange = chiplaw::TrangeDegrees[static_cast<std::size_t>(c.trangeCode)];
        const double minDuty = chiplaw::minimumDuty(c.dutyCode);
        std::vector<TracePoint> path = predictPath(m, tmin, trange, minDuty, m.ambientC, horizonS);
        const PathSummary s = summarize(path);
        // What is reported is the path's settling, so that is what must hold the target.
        if (s.swingC > 1.0 || s.steadyC > targetC)
            continue;
        TuneChoice choice;
        choice.tminC = tmin;
        choice.trangeC = trange;
        choice.tminTrange = static_cast<std::uint8_t>((c.tminCode << 3) | c.trangeCode);
        choice.minDutyCode = c.dutyCode;
        choice.minDutyPercent = DutyPercent[static_cast<std::size_t>(c.dutyCode)];
        choice.predictedSteadyC = s.steadyC;
        choice.predictedSteadyDutyPercent = s.steadyDuty;
        choice.predictedSettleS = s.settleS;
        choice.predictedSwingC = s.swingC;
        choice.predictedTrace = std::move(path);
        result.choice = std::move(choice);
        return result;
    }
    result.error = "no setting holds remote " + std::to_string(m.channel) + " at or below " + number(targetC, 1) +
                   " °C without swinging; at full speed it settles at " + number(fullC, 1) + " °C";
    return result;
}

}  // namespace device
