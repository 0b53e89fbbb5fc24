#include "device/thermal_loop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>

#include <chiplaw/auto_control.h>
#include <nlohmann/json.hpp>
#include <vexlink06/smbus_protocall.h>

#include "device/board_clock.h"
#include "device/bus_route.h"
#include "device/conversions.h"
#include "device/register_map.h"
#include "device/session_support.h"

namespace device {

namespace {

struct Cancelled { };

// The heater's software PWM period (board seconds): short against any
// diode's time constant, long against a bus transfer.
constexpr double kHeaterPeriodS = 1.0;
// A step whose reading has not moved this far from where it began may still
// be inside the loop's delay; it counts as settled only after kQuietS.
constexpr double kMovedC = 0.3;
constexpr double kQuietS = 40.0;
constexpr double kPredictStepS = 0.125;  // the chip's conversion period
constexpr double kReadingStepC = 0.125;  // a remote reading's resolution

std::uint8_t tempRegister(int channel) { return channel == 2 ? reg::Remote2Temp : reg::Remote1Temp; }

double readTemperature(const RegisterAccess& chip, int channel)
{
    const int extra = chip.read(reg::ExtraResolution);
    const int high = chip.read(tempRegister(channel));
    return decodeTemperature(high, extra, channel == 2 ? TempChannel::Remote2 : TempChannel::Remote1);
}

// Configuration 1 control-operation code that lets `channel` drive `fan`.
int controlOperation(int channel, int fan, bool dual)
{
    if (!dual || channel == fan)
        return 0;
    return channel == 1 ? 1 : 2;
}

// Sleeps in board time while running the heater's software PWM.
class HeatedWait {
public:
    HeatedWait(const BoardClock& clock, const HeaterAccess& heater, double share)
        : m_clock(clock), m_heater(heater), m_share(std::clamp(share, 0.0, 1.0)), m_start(clock.now())
    { }
    void setHeat(bool on) { m_heat = on; }
    void wait(double boardS, const std::function<bool()>& cancelled)
    {
        double left = boardS;
        while (left > 1e-9) {
            if (cancelled && cancelled())
                throw Cancelled{};
            bool want = m_heat && m_share > 0;
            double slice = left;
            if (m_heat && m_share > 0 && m_share < 1) {
                const double phase = std::fmod(m_clock.boardSince(m_start), kHeaterPeriodS);
                const double onFor = m_share * kHeaterPeriodS;
                want = phase < onFor;
                slice = std::min(left, std::max(1e-3, (want ? onFor : kHeaterPeriodS) - phase));
            }
            drive(want);
            m_clock.sleepBoard(slice);
            left -= slice;
        }
    }
    void drive(bool on)
    {
        if (!m_heater.set || (m_known && on == m_on))
            return;
        m_heater.set(on);
        m_on = on;
        m_known = true;
    }

private:
    const BoardClock& m_clock;
    const HeaterAccess& m_heater;
    double m_share;
    double m_start;
    bool m_heat = false;
    bool m_on = false;
    bool m_known = false;
};

// Waits until the reading settles: the mean of the last quarter of the
// step's readings agrees with the quarter before within the tolerance. The
// quarters grow with the step, so a slow loop is waited out as long as it
// needs without knowing its time constant.
struct StepResult {
    double endC = 0;
    double seconds = 0;
    bool settled = true;
};

class Sampler {
public:
    Sampler(const RegisterAccess& chip, const ThermalOptions& o, const ThermalCallbacks& cb, const BoardClock& clock,
            HeatedWait& heat, double t0)
        : m_chip(chip), m_o(o), m_cb(cb), m_clock(clock), m_heat(heat), m_t0(t0)
    { }

    StepResult settle(std::vector<TracePoint>* trace, double dutyPercent)
    {
        const double start = m_clock.now();
        std::vector<double> readings;
        double first = 0;
        for (;;) {
            m_heat.wait(m_o.sampleIntervalS, m_cb.cancelled);
            const double c = readTemperature(m_chip, m_o.channel);
            if (readings.empty())
                first = c;
            readings.push_back(c);
            if (trace)
                trace->push_back({m_clock.boardSince(m_t0), c, dutyPercent});
            const double elapsed = m_clock.boardSince(start);
            const std::size_t q = readings.size() / 4;
            if (elapsed >= m_o.minStepS && q >= 2) {
                double last = 0, before = 0;
                for (std::size_t i = 0; i < q; ++i) {
                    last += readings[readings.size() - 1 - i];
                    before += readings[readings.size() - 1 - q - i];
                }
                last /= static_cast<double>(q);
                before /= static_cast<double>(q);
                const bool moved = std::fabs(last - first) >= kMovedC;
                const bool agree = std::fabs(last - before) <= m_o.settleToleranceC;
                if (agree && (moved || elapsed >= kQuietS))
                    return {last, elapsed, true};
            }
            if (elapsed >= m_o.stepLimitS)
                return {readings.back(), elapsed, false};
        }
    }

private:
    const RegisterAccess& m_chip;
    const ThermalOptions& m_o;
    const ThermalCallbacks& m_cb;
    const BoardClock& m_clock;
    HeatedWait& m_heat;
    double m_t0;
};

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

std::string number(double v, int decimals)
{
    if (!std::isfinite(v))
        return "null";
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string traceJson(const std::vector<TracePoint>& trace)
{
    std::string out = "[";
    for (std::size_t i = 0; i < trace.size(); ++i) {
        out += i ? ", " : "";
        out += "{\"t_s\": " + number(trace[i].t, 2) + ", \"temperature_c\": " + number(trace[i].temperatureC, 3) +
               ", \"duty_percent\": " + number(trace[i].dutyPercent, 1) + "}";
    }
    return out + "]";
}

int codeAtLeast(double percent)
{
    for (int code = 0; code < 16; ++code)
        if (DutyPercent[static_cast<std::size_t>(code)] >= percent - 1e-9)
            return code;
    return 15;
}

}  // namespace

HeaterAccess boardHeater(int channel)
{
    const std::uint8_t bit = channel == 2 ? 0x20 : 0x10;
    HeaterAccess h;
    h.get = [bit] {
        const std::lock_guard lock(busMutex());
        return (detail::protocol()->BitsToStayHigh() & bit) != 0;
    };
    h.set = [bit](bool on) {
        const std::lock_guard lock(busMutex());
        const auto p = detail::protocol();
        const std::uint8_t bits = p->BitsToStayHigh();
        p->setBitsToStayHigh(static_cast<std::uint8_t>(on ? (bits | bit) : (bits & ~bit)));
    };
    return h;
}

double ThermalModel::riseAt(double duty) const
{
    if (points.empty())
        return 0;
    const double pct = duty * 100.0;
    if (pct <= points.front().dutyPercent)
        return points.front().steadyRiseC;
    for (std::size_t i = 1; i < points.size(); ++i) {
        const ThermalPoint& a = points[i - 1];
        const ThermalPoint& b = points[i];
        if (pct <= b.dutyPercent) {
            const double span = b.dutyPercent - a.dutyPercent;
            const double w = span > 0 ? (pct - a.dutyPercent) / span : 1.0;
            return a.steadyRiseC + w * (b.steadyRiseC - a.steadyRiseC);
        }
    }
    return points.back().steadyRiseC;
}

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
    m.startDutyPercent = fc.startDutyPercent;
    const int floorCode = codeAtLeast(*fc.stopDutyPercent);

    RegisterKeeper keep(chip);
    bool heaterWas = false;
    bool heaterKnown = false;
    try {
        keep.remember({reg::Configuration1, reg::Configuration2, reg::FanSpeedConfiguration, reg::FanFilterControl},
                      run.restore);
        if (heater.get) {
            heaterWas = heater.get();
            heaterKnown = true;
        }
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
    try {
        if (heaterKnown)
            heater.set(heaterWas);
    } catch (const std::exception& e) {
        run.heaterRestored = false;
        if (run.restore.reason.empty())
            run.restore.reason = std::string("the heater: ") + e.what();
    }
    keep.restore({reg::FanFilterControl, reg::FanSpeedConfiguration, reg::Configuration2, reg::Configuration1},
                 run.restore);
    m.durationS = clock.boardSince(begin);
    return run;
}

std::string thermalJson(const ThermalModel& m)
{
    const auto optInt = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("null"); };
    std::string out =
        "{\"channel\": \"remote" + std::to_string(m.channel) + "\", \"fan\": " + std::to_string(m.fan) +
        ", \"ambient_c\": " + number(m.ambientC, 3) + ", \"heat_percent\": " + number(m.heatShare * 100, 1) +
        ", \"tau_s\": " + number(m.tauS, 3) + ", \"lag_s\": " + number(m.lagS, 3) +
        ", \"rms_error_c\": " + number(m.rmsErrorC, 3) + ", \"stall_duty_percent\": " + optInt(m.stallDutyPercent) +
        ", \"start_duty_percent\": " + optInt(m.startDutyPercent) +
        ", \"pwm_invert\": " + (m.pwmInvert ? "true" : "false") + ", \"settle_s\": " + number(m.settleS, 1) +
        ", \"duration_s\": " + number(m.durationS, 1) + ", \"points\": [";
    for (std::size_t i = 0; i < m.points.size(); ++i) {
        const ThermalPoint& p = m.points[i];
        out += i ? ", " : "";
        out += "{\"duty_percent\": " + std::to_string(p.dutyPercent) +
               ", \"steady_rise_c\": " + number(p.steadyRiseC, 3) + ", \"settle_s\": " + number(p.settleS, 1) +
               ", \"settled\": " + (p.settled ? "true" : "false") + "}";
    }
    return out + "], \"trace\": " + traceJson(m.trace) + "}";
}

std::string thermalCsv(const ThermalModel& m)
{
    std::string out = "t_s,temperature_c,duty_percent\r\n";
    for (const TracePoint& p : m.trace)
        out += number(p.t, 2) + "," + number(p.temperatureC, 3) + "," + number(p.dutyPercent, 0) + "\r\n";
    return out;
}

std::optional<ThermalModel> thermalFromJson(const std::string& text, std::string& error)
{
    try {
        const nlohmann::json j = nlohmann::json::parse(text);
        ThermalModel m;
        const std::string channel = j.at("channel").get<std::string>();
        if (channel != "remote1" && channel != "remote2")
            throw std::runtime_error("channel \"" + channel + "\" is not remote1 or remote2");
        m.channel = channel == "remote2" ? 2 : 1;
        m.fan = j.at("fan").get<int>();
        if (m.fan != 1 && m.fan != 2)
            throw std::runtime_error("fan " + std::to_string(m.fan) + " is not 1 or 2");
        m.ambientC = j.at("ambient_c").get<double>();
        m.tauS = j.at("tau_s").get<double>();
        m.lagS = j.at("lag_s").get<double>();
        if (!(m.tauS > 0) || !(m.lagS >= 0) || m.tauS > 1e5 || m.lagS > 1e4)
            throw std::runtime_error("tau_s or lag_s is out of range");
        m.rmsErrorC = j.value("rms_error_c", 0.0);
        m.pwmInvert = j.value("pwm_invert", true);
        if (j.contains("stall_duty_percent") && !j["stall_duty_percent"].is_null())
            m.stallDutyPercent = j["stall_duty_percent"].get<int>();
        for (const auto& p : j.at("points")) {
            ThermalPoint tp;
            tp.dutyPercent = p.at("duty_percent").get<int>();
            tp.steadyRiseC = p.at("steady_rise_c").get<double>();
            if (tp.dutyPercent < 0 || tp.dutyPercent > 100 || !std::isfinite(tp.steadyRiseC))
                throw std::runtime_error("a point is out of range");
            tp.dutyCode = codeAtLeast(tp.dutyPercent);
            m.points.push_back(tp);
        }
        if (m.points.empty())
            throw std::runtime_error("no points");
        std::sort(m.points.begin(), m.points.end(),
                  [](const ThermalPoint& a, const ThermalPoint& b) { return a.dutyPercent < b.dutyPercent; });
        return m;
    } catch (const std::exception& e) {
        error = std::string("not a model from identify --json: ") + e.what();
        return std::nullopt;
    }
}

// ---- prediction and tuning ---------------------------------------------------

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

struct PathSummary {
    double steadyC = 0;
    double steadyDuty = 0;
    double swingC = 0;
    double settleS = 0;
};

PathSummary summarize(const std::vector<TracePoint>& trace)
{
    PathSummary s;
    if (trace.empty())
        return s;
    const std::size_t tail = std::max<std::size_t>(1, trace.size() / 5);
    double lo = 1e9, hi = -1e9, sum = 0, duty = 0;
    for (std::size_t i = trace.size() - tail; i < trace.size(); ++i) {
        lo = std::min(lo, trace[i].temperatureC);
        hi = std::max(hi, trace[i].temperatureC);
        sum += trace[i].temperatureC;
        duty += trace[i].dutyPercent;
    }
    s.steadyC = sum / static_cast<double>(tail);
    s.steadyDuty = duty / static_cast<double>(tail);
    s.swingC = hi - lo;
    s.settleS = 0;
    for (std::size_t i = trace.size(); i-- > 0;)
        if (std::fabs(trace[i].temperatureC - s.steadyC) > 0.5) {
            s.settleS = i + 1 < trace.size() ? trace[i + 1].t : trace[i].t;
            break;
        }
    return s;
}

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
        if (s.swingC > 1.0 || s.steadyC > targetC + 0.25)
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

VerifyResult verifyThermal(const RegisterAccess& chip, const HeaterAccess& heater, const ThermalModel& model,
                           const TuneChoice& choice, double seconds, const ThermalOptions& options,
                           const ThermalCallbacks& callbacks)
{
    VerifyResult v;
    const BoardClock clock(options.now, options.sleep, options.timeScale);
    RegisterKeeper keep(chip);
    bool heaterWas = false;
    bool heaterKnown = false;
    ThermalOptions o = options;
    o.channel = model.channel;
    o.fan = model.fan;
    try {
        keep.remember({reg::Configuration1, reg::Configuration2}, v.restore);
        if (heater.get) {
            heaterWas = heater.get();
            heaterKnown = true;
        }
        // Automatic control with the channel driving its fan, in the PWM
        // sense that runs the fan at the duty.
        const std::uint8_t c1 = keep.saved(reg::Configuration1);
        const int op = controlOperation(model.channel, model.fan, chip.dualChannel);
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
            const double c = readTemperature(chip, model.channel);
            const double t = clock.boardSince(t0);
            v.measuredTrace.push_back({t, c, chiplaw::channelDuty(c, choice.tminC, choice.trangeC, minDuty) * 100});
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
    try {
        if (heaterKnown)
            heater.set(heaterWas);
    } catch (const std::exception& e) {
        v.heaterRestored = false;
        if (v.restore.reason.empty())
            v.restore.reason = std::string("the heater: ") + e.what();
    }
    keep.restore({reg::Configuration2, reg::Configuration1}, v.restore);
    return v;
}

std::string tuneJson(const TuneChoice& c, const VerifyResult* verify)
{
    std::string out = "{\"tmin_c\": " + std::to_string(c.tminC) + ", \"trange_c\": " + std::to_string(c.trangeC) +
                      ", \"min_duty_percent\": " + std::to_string(c.minDutyPercent) +
                      ", \"predicted_steady_c\": " + number(c.predictedSteadyC, 3) +
                      ", \"predicted_steady_duty_percent\": " + number(c.predictedSteadyDutyPercent, 1) +
                      ", \"predicted_settle_s\": " + number(c.predictedSettleS, 1) +
                      ", \"predicted_swing_c\": " + number(c.predictedSwingC, 3) +
                      ", \"predicted_trace\": " + traceJson(verify ? verify->predictedTrace : c.predictedTrace);
    if (verify)
        out += ", \"measured_steady_c\": " + number(verify->measuredSteadyC, 3) +
               ", \"measured_steady_duty_percent\": " + number(verify->measuredSteadyDutyPercent, 1) +
               ", \"rms_error_c\": " + number(verify->rmsErrorC, 3) +
               ", \"measured_trace\": " + traceJson(verify->measuredTrace);
    return out + "}";
}

}  // namespace device
