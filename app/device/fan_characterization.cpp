#include "device/fan_characterization.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <map>
#include <thread>

#include "device/back_end.h"
#include "device/board_clock.h"
#include "device/conversions.h"
#include "device/device_session.h"
#include "device/register_map.h"

namespace device {

namespace {

constexpr int kTopCode = 15;
constexpr int kMaxDivisor = 8;
constexpr double kSpinUpShare = 0.9;
// Aim the divisor at counts below this: room for the speed to rise by a
// step before the count would need a smaller divisor, and still fine
// resolution (one count is well under 1 % of the speed).
constexpr int kCountCeiling = 200;

struct Cancelled { };

class Clock : public BoardClock {
public:
    explicit Clock(const CharacterizationOptions& o) : BoardClock(o.now, o.sleep, o.timeScale) { }
};

int divisorOf(std::uint8_t characteristics) { return 1 << (characteristics >> 6); }

std::uint8_t withDivisor(std::uint8_t characteristics, int divisor)
{
    return static_cast<std::uint8_t>((characteristics & 0x3F) | (divisorCode(divisor).value_or(3) << 6));
}

class Measurement {
public:
    Measurement(const RegisterAccess& chip, const CharacterizationOptions& options,
                const CharacterizationCallbacks& callbacks)
        : m_chip(chip), m_o(options), m_cb(callbacks), m_clock(options), m_start(m_clock.now())
    {
        if (m_o.settleReadings < 2)
            m_o.settleReadings = 2;
        if (!(m_o.timeScale > 0))
            m_o.timeScale = boardTimeScale();
    }

    // Remembers every register the fans' measurement may write.
    void remember(const std::vector<int>& fans, RestoreReport& report)
    {
        std::vector<std::uint8_t> regs{reg::Configuration1, reg::Configuration2, reg::FanSpeedConfiguration,
                                       reg::FanFilterControl};
        for (int fan : fans)
            regs.push_back(fan == 2 ? reg::Fan2Characteristics : reg::Fan1Characteristics);
        m_keep.remember(regs, report);
    }

    // The other fan runs at its duty code while one is measured: under
    // automatic control or RPM feedback (both fans' mode) it cannot keep
    // its speed, and the user hears so before anything changes.
    std::vector<std::string> notices(const std::vector<int>& fans) const
    {
        std::vector<std::string> out;
        if (!m_chip.dualChannel)
            return out;
        const std::uint8_t c1 = m_keep.saved(reg::Configuration1);
        const char* mode = (c1 & bits::Config1AutoControl) != 0                  ? "automatic control"
                           : (c1 & bits::Config1PwmMode) == bits::Config1PwmMode ? "RPM feedback"
                                                                                 : nullptr;
        if (!mode)
            return out;
        for (const int fan : fans) {
            const int other = fan == 2 ? 1 : 2;
            const int percent =
                DutyPercent[static_cast<std::size_t>(dutyCode(m_keep.saved(reg::FanSpeedConfiguration), other))];
            out.push_back("fan " + std::to_string(other) + " leaves " + mode + " while fan " + std::to_string(fan) +
                          " is measured: it runs at its duty code's " +
                          (percent == 0 ? std::string("Off (stopped)") : std::to_string(percent) + " %") +
                          " until the measurement ends");
        }
        return out;
    }

    void restore(RestoreReport& report)
    {
        // The ramps last: restored before the PWM sense, a ramp would carry
        // the fan not measured through the other sense's duty on its way back.
        m_keep.restore({reg::Fan1Characteristics, reg::Fan2Characteristics, reg::FanSpeedConfiguration,
                        reg::Configuration2, reg::Configuration1, reg::FanFilterControl},
                       report, m_o.boardWaitS, m_cb.cancelled);
    }

    FanCharacterization measure(int fan, int fanIndex, int fanCount)
    {
        m_fan = fan;
        m_fanIndex = fanIndex;
        m_fanCount = fanCount;
        m_step = 0;
        const double fanStart = m_clock.now();
        FanCharacterization result;
        result.fan = fan;

        // Software control at the duty code, conversions running, the fan's
        // PWM output and tach on; the chip's own spin-up and the filter ramp
        // off, so each duty acts at once and the start duty is the fan's own.
        const std::uint8_t c1 = m_keep.saved(reg::Configuration1);
        setConfiguration1(static_cast<std::uint8_t>((c1 & ~0xE0) | 0x01));
        put(reg::Configuration2, static_cast<std::uint8_t>(current(reg::Configuration2) | (fan == 2 ? 0x0A : 0x05)));
        // Both fans' ramps off: the other fan's duty code changes with the
        // PWM sense, and a ramp would let it sag in between.
        put(reg::FanFilterControl, static_cast<std::uint8_t>((current(reg::FanFilterControl) & ~0x03) | 0x80));
        m_charReg = fan == 2 ? reg::Fan2Characteristics : reg::Fan1Characteristics;
        put(m_charReg, withDivisor(current(m_charReg), kMaxDivisor));

        // At duty 0 the fan should stop. If it runs instead, the PWM output
        // is inverted relative to the fan stage (PWM Invert clear on the
        // evaluation board): flip it and measure with the sense that works.
        double polaritySettle = 0;
        Reading rest = settle(0, polaritySettle);
        if (rest.rpm > 0) {
            setConfiguration1(m_config1 ^ bits::Config1PwmInvert);
            double more = 0;
            const Reading flipped = settle(0, more);
            polaritySettle += more;
            if (flipped.rpm < rest.rpm)
                result.pwmInverted = true;
            else {
                setConfiguration1(m_config1 ^ bits::Config1PwmInvert);  // neither stops it: keep the user's sense
                double back = 0;
                settle(0, back);
                polaritySettle += back;
            }
        }
        result.settleS += polaritySettle;

        bool wasTurning = false;
        for (int code = 0; code <= kTopCode; ++code) {
            const CharacterizationPoint p = point(code, SweepDirection::Up);
            result.points.push_back(p);
            result.settleS += p.settleS;
            if (p.rpm > 0 && !wasTurning && !result.startDutyPercent)
                result.startDutyPercent = p.dutyPercent;
            wasTurning = p.rpm > 0;
            report(result, "up", p);
        }
        result.turns = std::any_of(result.points.begin(), result.points.end(),
                                   [](const CharacterizationPoint& p) { return p.rpm > 0; });
        result.fullSpeedRpm = result.points.back().rpm;
        m_fullSpeedDivisor = divisorOf(current(m_charReg));
        if (!result.turns) {
            // Nothing to sweep down or time: the fan did not turn at full duty.
            m_step = kCharacterizationSteps;
            result.durationS = m_clock.boardSince(fanStart);
            report(result, "spin-up", std::nullopt);
            return result;
        }

        for (int code = kTopCode; code >= 0; --code) {
            const CharacterizationPoint p = point(code, SweepDirection::Down);
            result.points.push_back(p);
            result.settleS += p.settleS;
            if (p.rpm > 0)
                result.stopDutyPercent = p.dutyPercent;
            report(result, "down", p);
        }

        const bool atRest = result.points.back().rpm == 0;
        if (atRest && result.fullSpeedRpm > 0) {
            double spinSettle = 0;
            result.spinUpS = spinUp(result.fullSpeedRpm, spinSettle);
            result.settleS += spinSettle;
        }
        m_step = kCharacterizationSteps;
        report(result, "spin-up", std::nullopt);
        result.pulsesOk = result.fullSpeedRpm >= kPlausibleRpmLow && result.fullSpeedRpm <= kPlausibleRpmHigh;
        result.durationS = m_clock.boardSince(fanStart);
        return result;
    }

private:
    struct Reading {
        int rpm = 0;
        int spread = 0;
        int count = TachCountStopped;
        bool settled = true;
    };

    std::uint8_t current(std::uint8_t r) const { return m_keep.current(r); }
    void put(std::uint8_t r, std::uint8_t value) { m_keep.put(r, value); }

    // Configuration 1 is both fans': the fan not measured keeps being driven
    // as the user left it. Where the PWM sense differs from the user's, its
    // duty code is inverted (code n drives n/15, so inverted it is 15 - n).
    void setConfiguration1(std::uint8_t value)
    {
        m_config1 = value;
        put(reg::Configuration1, m_config1);
        if (!m_chip.dualChannel)
            return;
        const int other = m_fan == 2 ? 1 : 2;
        const int users = dutyCode(m_keep.saved(reg::FanSpeedConfiguration), other);
        const bool flipped = ((m_config1 ^ m_keep.saved(reg::Configuration1)) & bits::Config1PwmInvert) != 0;
        const int code = flipped ? kTopCode - users : users;
        const std::uint8_t speed = current(reg::FanSpeedConfiguration);
        const std::uint8_t wanted = other == 2 ? static_cast<std::uint8_t>((speed & 0x0F) | (code << 4))
                                               : static_cast<std::uint8_t>((speed & 0xF0) | code);
        if (wanted != speed || !m_keep.wrote(reg::FanSpeedConfiguration))
            put(reg::FanSpeedConfiguration, wanted);
    }

    void checkCancel() const
    {
        if (m_cb.cancelled && m_cb.cancelled())
            throw Cancelled{};
    }

    int readCount() { return m_chip.read(m_fan == 2 ? reg::Fan2Tach : reg::Fan1Tach); }

    int rpmOf(int count) const
    {
        if (count >= TachCountStopped)
            return 0;
        return tachToRpm(count, divisorOf(current(m_charReg)), 1).value_or(0);
    }

    // Waits until the readings at the present divisor settle; adds the board
    // time it took to `spent`.
    Reading settleOnce(double& spent)
    {
        const double t0 = m_clock.now();
        std::vector<int> counts;
        Reading r;
        for (;;) {
            checkCancel();
            m_clock.sleepBoard(m_o.sampleIntervalS);
            counts.push_back(readCount());
            const double elapsed = m_clock.boardSince(t0);
            const auto n = static_cast<std::size_t>(m_o.settleReadings);
            if (counts.size() >= n) {
                std::vector<int> rpms;
                for (std::size_t i = counts.size() - n; i < counts.size(); ++i)
                    rpms.push_back(rpmOf(counts[i]));
                const auto [lo, hi] = std::minmax_element(rpms.begin(), rpms.end());
                double mean = 0;
                for (int v : rpms)
                    mean += v;
                mean /= static_cast<double>(rpms.size());
                const bool stopped = *hi == 0;
                const int lastCount = counts.back();
                // One count of the tach at this speed: readings cannot agree
                // more closely than that.
                const double quantum = lastCount < TachCountStopped && lastCount > 1 ? mean / (lastCount - 1) : 0;
                const double allowed = std::max(mean * m_o.tolerancePercent / 100.0, quantum);
                // Readings that still climb (or fall) all the way through the
                // window are a fan still on its way, however close they lie:
                // a small step would otherwise pass as settled early.
                const bool rising = std::is_sorted(rpms.begin(), rpms.end()) && rpms.back() > rpms.front();
                const bool falling = std::is_sorted(rpms.rbegin(), rpms.rend()) && rpms.back() < rpms.front();
                // And the window must agree with the one before it: a slow
                // approach within the tolerance moves the mean from window
                // to window, while noise alone does not.
                bool steady = counts.size() >= 2 * n;
                if (steady) {
                    double previous = 0;
                    for (std::size_t i = counts.size() - 2 * n; i < counts.size() - n; ++i)
                        previous += rpmOf(counts[i]);
                    previous /= static_cast<double>(n);
                    steady = std::fabs(mean - previous) <= allowed / 2;
                }
                bool done = false;
                if (stopped)
                    done = elapsed >= m_o.stoppedHoldS;
                else
                    done = *lo > 0 && (*hi - *lo) <= allowed && !rising && !falling && steady;
                const bool late = elapsed >= m_o.stepLimitS;
                if (done || late) {
                    r.rpm = static_cast<int>(std::lround(mean));
                    r.spread = *hi - *lo;
                    r.count = lastCount;
                    r.settled = done;
                    spent += elapsed;
                    return r;
                }
            }
        }
    }

    // Settles at a duty code, then moves the tach divisor to where the count
    // is both measurable and fine, settling again after a change.
    Reading settle(int code, double& spent)
    {
        const std::uint8_t speed = current(reg::FanSpeedConfiguration);
        const std::uint8_t wanted = m_fan == 2 ? static_cast<std::uint8_t>((speed & 0x0F) | (code << 4))
                                               : static_cast<std::uint8_t>((speed & 0xF0) | code);
        if (!m_keep.wrote(reg::FanSpeedConfiguration) || wanted != speed)
            put(reg::FanSpeedConfiguration, wanted);
        Reading r = settleOnce(spent);
        for (int tries = 0; tries < 3; ++tries) {
            const int divisor = divisorOf(current(m_charReg));
            int better = divisor;
            if (r.count >= TachCountStopped) {
                better = kMaxDivisor;  // the slowest speeds show only at the largest divisor
            } else {
                while (better > 1 && r.count * divisor / (better / 2) <= kCountCeiling)
                    better /= 2;
                while (better < kMaxDivisor && r.count * divisor / better > kCountCeiling + 40)
                    better *= 2;
            }
            if (better == divisor)
                break;
            put(m_charReg, withDivisor(current(m_charReg), better));
            r = settleOnce(spent);
        }
        return r;
    }

    CharacterizationPoint point(int code, SweepDirection direction)
    {
        CharacterizationPoint p;
        p.dutyCode = code;
        p.dutyPercent = DutyPercent[static_cast<std::size_t>(code)];
        p.direction = direction;
        double spent = 0;
        const Reading r = settle(code, spent);
        p.rpm = r.rpm;
        p.spreadRpm = r.spread;
        p.settled = r.settled;
        p.settleS = spent;
        ++m_step;
        return p;
    }

    // From rest: full duty, then the time until the speed passes 90 % of
    // the full speed, sampled as often as the tach converts.
    std::optional<double> spinUp(int fullRpm, double& spent)
    {
        // The divisor that measured the full speed resolves the speeds near
        // it finely; the slower start reads as stopped, which is fine.
        put(m_charReg, withDivisor(current(m_charReg), m_fullSpeedDivisor));
        const double t0 = m_clock.now();
        const std::uint8_t speed = current(reg::FanSpeedConfiguration);
        put(reg::FanSpeedConfiguration,
            m_fan == 2 ? static_cast<std::uint8_t>(speed | 0xF0) : static_cast<std::uint8_t>(speed | 0x0F));
        const double limit = std::max(m_o.stepLimitS, 3.0 * m_o.stoppedHoldS);
        const double interval = m_o.sampleIntervalS / 4;
        for (;;) {
            checkCancel();
            m_clock.sleepBoard(interval);
            const double elapsed = m_clock.boardSince(t0);
            if (rpmOf(readCount()) >= kSpinUpShare * fullRpm) {
                spent += elapsed;
                return elapsed;
            }
            if (elapsed >= limit) {
                spent += elapsed;
                return std::nullopt;
            }
        }
    }

    void report(const FanCharacterization& result, std::string_view phase,
                const std::optional<CharacterizationPoint>& p)
    {
        (void)result;
        if (!m_cb.progress)
            return;
        CharacterizationProgress pr;
        pr.fan = m_fan;
        pr.fanIndex = m_fanIndex;
        pr.fanCount = m_fanCount;
        pr.step = m_step;
        pr.steps = kCharacterizationSteps;
        pr.phase = phase;
        pr.elapsedS = m_clock.now() - m_start;
        const int done = m_fanIndex * kCharacterizationSteps + m_step;
        const int total = m_fanCount * kCharacterizationSteps;
        if (done > 0)
            pr.etaS = pr.elapsedS / done * (total - done);
        pr.point = p;
        m_cb.progress(pr);
    }

    const RegisterAccess& m_chip;
    CharacterizationOptions m_o;
    const CharacterizationCallbacks& m_cb;
    Clock m_clock;
    double m_start;
    RegisterKeeper m_keep{m_chip};
    std::uint8_t m_config1 = 0;
    std::uint8_t m_charReg = reg::Fan1Characteristics;
    int m_fan = 1;
    int m_fanIndex = 0;
    int m_fanCount = 1;
    int m_step = 0;
    int m_fullSpeedDivisor = kMaxDivisor;
};

std::string number(double v, int decimals)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

}  // namespace

void RegisterKeeper::remember(const std::vector<std::uint8_t>& regs, RestoreReport& report)
{
    for (std::uint8_t r : regs) {
        report.touched.push_back(r);
        m_saved[r] = m_chip.read(r);
    }
}

void RegisterKeeper::put(std::uint8_t reg, std::uint8_t value)
{
    m_chip.write(reg, value);
    m_written[reg] = value;
}

std::uint8_t RegisterKeeper::current(std::uint8_t reg) const
{
    const auto it = m_written.find(reg);
    return it != m_written.end() ? it->second : m_saved.at(reg);
}

void RegisterKeeper::restore(const std::vector<std::uint8_t>& order, RestoreReport& report, double boardWaitS,
                             const std::function<bool()>& cancelled)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(boardWaitS);
    for (;;) {
        RestoreReport attempt;
        attempt.touched = report.touched;
        const bool boardLost = restoreOnce(order, attempt);
        report = attempt;
        if (!boardLost || std::chrono::steady_clock::now() >= until || (cancelled && cancelled()))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool RegisterKeeper::restoreOnce(const std::vector<std::uint8_t>& order, RestoreReport& report)
{
    bool boardLost = false;
    std::vector<std::uint8_t> all;
    for (std::uint8_t r : order)
        if (m_saved.count(r))
            all.push_back(r);
    for (const auto& [r, value] : m_saved)
        if (std::find(all.begin(), all.end(), r) == all.end())
            all.push_back(r);
    for (std::uint8_t r : all) {
        const std::uint8_t value = m_saved.at(r);
        try {
            m_chip.write(r, value);
            const std::uint8_t back = m_chip.read(r);
            if (back != value) {
                report.notRestored.push_back(r);
                if (report.reason.empty()) {
                    char text[96];
                    (void)std::snprintf(text, sizeof text, "%s reads back 0x%02X, not 0x%02X", registerLabel(r).c_str(),
                                        back, value);
                    report.reason = text;
                }
            }
        } catch (const SessionError& e) {
            boardLost = boardLost || e.kind() == ErrorKind::BoardLost;
            report.notRestored.push_back(r);
            if (report.reason.empty())
                report.reason = e.what();
        } catch (const std::exception& e) {
            report.notRestored.push_back(r);
            if (report.reason.empty())
                report.reason = e.what();
        }
    }
    return boardLost;
}

RegisterAccess sessionAccess(Session& session)
{
    RegisterAccess a;
    a.read = [&session](std::uint8_t r) { return session.read(r); };
    a.write = [&session](std::uint8_t r, std::uint8_t v) { session.write(r, v); };
    a.dualChannel = session.dualChannel();
    return a;
}

std::string_view directionName(SweepDirection direction) { return direction == SweepDirection::Up ? "up" : "down"; }

std::string registerLabel(std::uint8_t reg)
{
    const RegisterEntry* e = registerEntryByAddress(reg);
    const std::string name = e ? std::string(e->name) : std::string("Register");
    return name + " (" + addressText(reg) + ")";
}

CharacterizationRun characterizeFans(const RegisterAccess& chip, const std::vector<int>& fans,
                                     const CharacterizationOptions& options, const CharacterizationCallbacks& callbacks)
{
    CharacterizationRun run;
    for (int fan : fans) {
        if (fan != 1 && (fan != 2 || !chip.dualChannel)) {
            run.outcome = CharacterizationOutcome::Failed;
            run.error = chip.dualChannel ? "there is no fan " + std::to_string(fan) + " (1 or 2)"
                                         : "the TFM4410 has one fan (fan 1)";
            return run;
        }
    }
    Measurement m(chip, options, callbacks);
    try {
        m.remember(fans, run.restore);
        run.notices = m.notices(fans);
        if (callbacks.notice)
            for (const std::string& n : run.notices)
                callbacks.notice(n);
        for (std::size_t i = 0; i < fans.size(); ++i)
            run.fans.push_back(m.measure(fans[i], static_cast<int>(i), static_cast<int>(fans.size())));
    } catch (const Cancelled&) {
        run.outcome = CharacterizationOutcome::Cancelled;
    } catch (const std::exception& e) {
        run.outcome = CharacterizationOutcome::Failed;
        run.error = e.what();
    }
    m.restore(run.restore);
    return run;
}

std::string characterizationCsv(const std::vector<FanCharacterization>& fans)
{
    std::string out = "fan,direction,duty_code,duty_percent,rpm,spread_rpm,settled\r\n";
    for (const FanCharacterization& f : fans)
        for (const CharacterizationPoint& p : f.points)
            out += std::to_string(f.fan) + "," + std::string(directionName(p.direction)) + "," +
                   std::to_string(p.dutyCode) + "," + std::to_string(p.dutyPercent) + "," + std::to_string(p.rpm) +
                   "," + std::to_string(p.spreadRpm) + "," + (p.settled ? "true" : "false") + "\r\n";
    return out;
}

std::string characterizationJson(const std::vector<FanCharacterization>& fans)
{
    const auto optInt = [](const std::optional<int>& v) { return v ? std::to_string(*v) : std::string("null"); };
    std::string out = "[";
    for (std::size_t i = 0; i < fans.size(); ++i) {
        const FanCharacterization& f = fans[i];
        out += i ? ",\n " : "";
        out += "{\"fan\": " + std::to_string(f.fan) + ", \"start_duty_percent\": " + optInt(f.startDutyPercent) +
               ", \"stop_duty_percent\": " + optInt(f.stopDutyPercent) +
               ", \"full_speed_rpm\": " + std::to_string(f.fullSpeedRpm) +
               ", \"spin_up_s\": " + (f.spinUpS ? number(*f.spinUpS, 3) : std::string("null")) +
               ", \"pulses_ok\": " + (f.pulsesOk ? "true" : "false") + ", \"points\": [";
        for (std::size_t k = 0; k < f.points.size(); ++k) {
            const CharacterizationPoint& p = f.points[k];
            out += k ? ", " : "";
            out += "{\"duty_percent\": " + std::to_string(p.dutyPercent) + ", \"rpm\": " + std::to_string(p.rpm) +
                   ", \"spread_rpm\": " + std::to_string(p.spreadRpm) + ", \"direction\": \"" +
                   std::string(directionName(p.direction)) + "\"}";
        }
        out += "]}";
    }
    out += "]";
    return out;
}

}  // namespace device
