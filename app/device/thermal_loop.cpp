// What identification, tuning and verification share (thermal_parts.h), the
// model's files, and the heater of the evaluation board.
#include "device/thermal_loop.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>

#include <nlohmann/json.hpp>
#include <vexlink06/smbus_protocall.h>

#include "device/bus_route.h"
#include "device/conversions.h"
#include "device/register_map.h"
#include "device/session_support.h"
#include "device/thermal_parts.h"

namespace device {

namespace thermal {

namespace {

// The heater's software PWM period (board seconds): short against any
// diode's time constant, long against a bus transfer.
constexpr double kHeaterPeriodS = 1.0;
// A step whose reading has not moved this far from where it began may still
// be inside the loop's delay; it counts as settled only after kQuietS.
constexpr double kMovedC = 0.3;
constexpr double kQuietS = 40.0;

std::uint8_t tempRegister(int channel) { return channel == 2 ? reg::Remote2Temp : reg::Remote1Temp; }

}  // namespace

double readTemperature(const RegisterAccess& chip, int channel)
{
    const int extra = chip.read(reg::ExtraResolution);
    const int high = chip.read(tempRegister(channel));
    return decodeTemperature(high, extra, channel == 2 ? TempChannel::Remote2 : TempChannel::Remote1);
}

int controlOperation(int channel, int fan, bool dual)
{
    if (!dual || channel == fan)
        return 0;
    return channel == 1 ? 1 : 2;
}

HeatedWait::HeatedWait(const BoardClock& clock, const HeaterAccess& heater, double share)
    : m_clock(clock), m_heater(heater), m_share(std::clamp(share, 0.0, 1.0)), m_start(clock.now())
{ }

void HeatedWait::wait(double boardS, const std::function<bool()>& cancelled)
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

void HeatedWait::drive(bool on)
{
    if (!m_heater.set || (m_known && on == m_on))
        return;
    m_heater.set(on);
    m_on = on;
    m_known = true;
}

StepResult Sampler::settle(std::vector<TracePoint>* trace, double dutyPercent)
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
        if (trace) {
            trace->push_back({m_clock.boardSince(m_t0), c, dutyPercent});
            if (m_cb.sample)
                m_cb.sample(trace->back());
        }
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

void LoopKeeper::remember(const std::vector<std::uint8_t>& regs, RestoreReport& report)
{
    m_registers.remember(regs, report);
    if (m_heater.get)
        m_heaterWas = m_heater.get();
}

bool LoopKeeper::putHeater(RestoreReport& report)
{
    if (!m_heaterWas)
        return true;
    try {
        m_heater.set(*m_heaterWas);
        return true;
    } catch (const std::exception& e) {
        if (report.reason.empty())
            report.reason = std::string("the heater: ") + e.what();
        return false;
    }
}

bool LoopKeeper::putBack(const std::vector<std::uint8_t>& order, RestoreReport& report, double boardWaitS,
                         const std::function<bool()>& cancelled)
{
    RestoreReport heaterFirst;
    const bool heater = putHeater(heaterFirst);
    m_registers.restore(order, report, boardWaitS, cancelled);
    if (heater)
        return true;
    // The registers' restore waited for the board: the heater may answer now.
    RestoreReport again;
    if (putHeater(again))
        return true;
    if (report.reason.empty())
        report.reason = again.reason;
    return false;
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

}  // namespace thermal

using thermal::codeAtLeast;
using thermal::number;
using thermal::traceJson;

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
