#include "chip_model.h"

#include <algorithm>
#include <cmath>

#include <chiplaw/auto_control.h>
#include <chiplaw/registers.h>

namespace sim {

namespace {

namespace reg = chiplaw::reg;

constexpr std::array<double, 8> kSpinUpMs{200, 400, 600, 800, 1000, 2000, 4000, 8000};
constexpr std::array<double, 4> kIncRate{1, 2, 4, 8};

int8_t asSigned(uint8_t b) { return static_cast<int8_t>(b); }

// High byte and extra-resolution field of a reading, in the layout the
// program decodes: for a negative reading the high byte holds the whole
// degrees and the field the fraction of its magnitude.
void encode(double v, double step, uint8_t& high, uint8_t& field)
{
    const double q = std::round(v / step) * step;
    const double mag = std::min(std::fabs(q), 127.0 + (1.0 - step));
    const int whole = static_cast<int>(std::floor(mag));
    field = static_cast<uint8_t>(std::lround((mag - whole) / step));
    if (q >= 0) {
        high = static_cast<uint8_t>(whole);
    } else if (whole == 0) {
        // Between -1 and 0 the layout has no sign for a fraction alone.
        high = q <= -0.5 ? 0xFF : 0x00;
        field = 0;
    } else {
        high = static_cast<uint8_t>(256 - whole);
    }
}

}  // namespace

ChipModel::ChipModel(std::array<uint8_t, 256>& regs, const ChipConfig& config, double ambientC)
    : m_r(regs), m_config(config), m_dual(config.variant == ChipVariant::Tfm4411), m_ambient(ambientC)
{
    m_temp.fill(ambientC);
    m_thermal = {config.thermalOf(1), config.thermalOf(2)};
}

void ChipModel::advanceTo(double nowMs)
{
    if (!(nowMs > m_nowMs))
        return;
    while (m_nextConversionMs <= nowMs) {
        integrate(m_nextConversionMs - m_nowMs);
        m_nowMs = m_nextConversionMs;
        m_nextConversionMs += model::kConversionMs;
        if (m_r[reg::Configuration1] & 0x01)  // Monitor: conversions run
            convert();
    }
    integrate(nowMs - m_nowMs);
    m_nowMs = nowMs;
}

bool ChipModel::channelEnabled(int channel) const
{
    if (channel == 2 && !m_dual)
        return false;
    return (m_r[reg::Configuration2] >> (4 + channel)) & 1;
}

bool ChipModel::diodeOpen(int channel) const
{
    return (channel == 1 && m_config.remote1Open) || (channel == 2 && m_config.remote2Open);
}

double ChipModel::reading(int channel) const
{
    const uint8_t off = m_r[static_cast<size_t>(reg::LocalOffset + channel)];
    const double offset = (off & 0x0F) * ((off & 0x80) ? -1.0 : 1.0);
    return m_temp[static_cast<size_t>(channel)] + offset;
}

double ChipModel::autoDuty(int channel, int fan) const
{
    if (diodeOpen(channel))
        return chiplaw::OpenDiodeDuty;
    const uint8_t tr = m_r[static_cast<size_t>(reg::LocalTminTrange + channel)];
    const int code = fan == 0 ? (m_r[reg::FanSpeedConfiguration] & 0x0F) : (m_r[reg::FanSpeedConfiguration] >> 4);
    return chiplaw::channelDuty(reading(channel), chiplaw::tminDegrees(tr), chiplaw::trangeDegrees(tr),
                                chiplaw::minimumDuty(code));
}

double ChipModel::controlDuty(int fan) const
{
    const uint8_t c1 = m_r[reg::Configuration1];
    const int code = fan == 0 ? (m_r[reg::FanSpeedConfiguration] & 0x0F) : (m_r[reg::FanSpeedConfiguration] >> 4);
    if (c1 & 0x80) {
        // The fan follows the largest duty of the channels that drive it.
        const unsigned channels = chiplaw::drivingChannels(c1, fan, m_dual);
        double d = 0.0;
        for (int c = 0; c < 3; ++c)
            if ((channels >> c) & 1u)
                d = std::max(d, autoDuty(c, fan));
        return d;
    }
    if ((c1 & 0x60) == 0x60) {
        // RPM feedback: run at the duty that holds the speed whose count is
        // the tach high limit.
        const uint8_t limit = m_r[static_cast<size_t>(reg::Fan1TachLimit + fan)];
        if (limit == 0 || limit == 0xFF)
            return 0.0;
        const int n = 1 << (m_r[static_cast<size_t>(reg::Fan1Characteristics + fan)] >> 6);
        const double counted = (c1 & 0x04) ? 4.0 : 2.0;
        const FanConfig& f = m_config.fans[fan];
        const double target = model::kTachClockHz * 60.0 * counted / (f.pulsesPerRev * n * limit);
        return std::clamp(target / f.fullSpeedRpm, 0.0, 1.0);
    }
    return code / 15.0;
}

void ChipModel::integrate(double dtMs)
{
    if (dtMs <= 0)
        return;
    const double dt = dtMs / 1000.0;
    const double kLocal = 1.0 - std::exp(-dt / model::kLocalTauS);

    m_temp[0] += (m_ambient + model::kSelfHeatC - m_temp[0]) * kLocal;
    for (int i = 0; i < 2; ++i)
        heatRemote(i, dtMs);

    const uint8_t c1 = m_r[reg::Configuration1];
    const uint8_t filter = m_r[reg::FanFilterControl];
    for (int i = 0; i < fans(); ++i) {
        Fan& f = m_fan[static_cast<size_t>(i)];
        const FanConfig& cfg = m_config.fans[i];
        const double wanted = controlDuty(i);
        const bool wasDriven = f.commanded > 0;
        f.commanded = wanted;
        if ((filter >> i) & 1) {
            const double step = kIncRate[(filter >> 5) & 3] / 15.0 * dt;
            f.applied += std::clamp(wanted - f.applied, -step, step);
        } else {
            f.applied = wanted;
        }
        if (!wasDriven && wanted > 0 && f.rpm < model::kStillRpm && !(filter & 0x80))
            f.spinUpLeftMs = kSpinUpMs[m_r[static_cast<size_t>(reg::Fan1Characteristics + i)] & 7];
        if (wanted <= 0)
            f.spinUpLeftMs = 0;
        double out = f.spinUpLeftMs > 0 ? 1.0 : f.applied;
        f.spinUpLeftMs = std::max(0.0, f.spinUpLeftMs - dtMs);
        if (c1 & 0x08)
            out = 1.0 - out;  // PWM Invert
        if (cfg.invertingDriver)
            out = 1.0 - out;  // the board's fan stage
        if (!((m_r[reg::Configuration2] >> i) & 1))
            out = 0.0;  // PWM output disabled
        // A motor at rest needs the start duty to break away; once turning
        // it keeps going down to the stop duty (hysteresis).
        const bool turning = f.rpm >= model::kStillRpm;
        const double threshold = (turning ? cfg.stopDutyPct : cfg.startDutyPct) / 100.0;
        const bool driven = !cfg.stalled && out > 0 && out >= threshold - 1e-9;
        const double target = driven ? out * cfg.fullSpeedRpm : 0.0;
        f.rpm += (target - f.rpm) * (1.0 - std::exp(-dt / cfg.spinUpS));
    }
}

void ChipModel::heatRemote(int index, double dtMs)
{
    const auto i = static_cast<size_t>(index);
    const ThermalConfig& t = m_thermal[i];
    const auto fan = static_cast<size_t>(std::clamp(t.fan, 1, 2) - 1);
    const double share = m_fan[fan].rpm / m_config.fans[fan].fullSpeedRpm;
    const double rise = m_heater[i] ? airflowRiseC(t, share) : 0.0;
    double& temp = m_temp[i + 1];
    if (t.lagS <= 0) {
        temp += (m_ambient + rise - temp) * (1.0 - std::exp(-(dtMs / 1000.0) / t.tauS));
        return;
    }
    // The diode now answers the heat of lagS ago: walk the recorded steps
    // that cover the delayed interval. Before the first step the board was
    // cold.
    std::deque<HeatStep>& steps = m_heat[i];
    if (steps.empty() || steps.back().riseC != rise)
        steps.push_back({m_nowMs, rise});
    double from = m_nowMs - t.lagS * 1000.0;
    const double to = from + dtMs;
    while (steps.size() > 1 && steps[1].atMs <= from)
        steps.pop_front();
    size_t k = 0;
    while (from < to) {
        double value = 0.0;
        double end = to;
        if (from < steps.front().atMs) {
            end = std::min(to, steps.front().atMs);
        } else {
            while (k + 1 < steps.size() && steps[k + 1].atMs <= from)
                ++k;
            value = steps[k].riseC;
            if (k + 1 < steps.size())
                end = std::min(to, steps[k + 1].atMs);
        }
        temp += (m_ambient + value - temp) * (1.0 - std::exp(-((end - from) / 1000.0) / t.tauS));
        from = end;
    }
}

double ChipModel::jittered(int fan, double rpm)
{
    const double pct = m_config.fans[fan].rpmNoisePct;
    if (pct <= 0)
        return rpm;
    std::uniform_real_distribution<double> u(-pct / 100.0, pct / 100.0);
    return rpm * (1.0 + u(m_noise));
}

uint8_t ChipModel::tachCount(int fan, double rpm) const
{
    if (rpm < model::kStillRpm)
        return 0xFF;
    const int n = 1 << (m_r[static_cast<size_t>(reg::Fan1Characteristics + fan)] >> 6);
    // The counter spans one revolution of a two-pulse tach fan, or of a
    // four-pulse commutation signal in analog (two-wire) mode.
    const double counted = (m_r[reg::Configuration1] & 0x04) ? 4.0 : 2.0;
    const double count = model::kTachClockHz * 60.0 * counted / (m_config.fans[fan].pulsesPerRev * n * rpm);
    if (count >= 254.5)
        return 0xFF;
    return static_cast<uint8_t>(std::max(1L, std::lround(count)));
}

void ChipModel::convert()
{
    uint8_t s1 = 0, s2 = 0;
    uint8_t extra = m_r[reg::ExtraResolution];
    for (int c = 0; c < (m_dual ? 3 : 2); ++c) {
        if (!channelEnabled(c))
            continue;
        uint8_t high = 0x80, field = 0;
        const bool open = diodeOpen(c);
        double v = -128.0;
        if (!open) {
            v = reading(c);
            encode(v, c == 0 ? 0.25 : 0.125, high, field);
        }
        m_r[static_cast<size_t>(reg::LocalTemp + c)] = high;
        if (c == 0)
            extra = static_cast<uint8_t>((extra & 0x3F) | (field << 6));
        else if (c == 1)
            extra = static_cast<uint8_t>((extra & 0xF8) | field);
        else
            extra = static_cast<uint8_t>((extra & 0xC7) | (field << 3));

        const uint8_t base = c == 0 ? reg::LocalHighLimit : (c == 1 ? reg::Remote1HighLimit : reg::Remote2HighLimit);
        const bool hi = !open && v > asSigned(m_r[base]);
        const bool lo = !open && v < asSigned(m_r[base + 1]);
        const bool th = !open && v > asSigned(m_r[base + 2]);
        if (c == 0) {
            s1 |= (hi ? 0x40 : 0) | (lo ? 0x80 : 0);
            s2 |= th ? 0x40 : 0;
        } else {
            uint8_t& s = c == 1 ? s1 : s2;
            s |= (hi ? 0x04 : 0) | (lo ? 0x08 : 0) | (th ? 0x10 : 0) | (open ? 0x20 : 0);
        }
        if (th)
            s2 |= 0x80;  // THERM: any channel over its therm limit
    }
    m_r[reg::ExtraResolution] = extra;

    for (int i = 0; i < fans(); ++i) {
        if (!((m_r[reg::Configuration2] >> (2 + i)) & 1))
            continue;
        const uint8_t count = tachCount(i, jittered(i, m_fan[static_cast<size_t>(i)].rpm));
        m_r[static_cast<size_t>(reg::Fan1Tach + i)] = count;
        uint8_t& s = i == 0 ? s1 : s2;
        if (count > m_r[static_cast<size_t>(reg::Fan1TachLimit + i)])
            s |= 0x01;
        const Fan& f = m_fan[static_cast<size_t>(i)];
        const bool driven = f.commanded > 0 && f.spinUpLeftMs <= 0;
        if ((m_r[reg::Configuration1] & 0x10) && driven && count == 0xFF)
            s |= 0x02;
    }
    // Status bits stay set until read.
    m_r[reg::InterruptStatus1] |= s1;
    m_r[reg::InterruptStatus2] |= s2;
}

}  // namespace sim
