#include "device/control_curves.h"

#include "device/conversions.h"
#include "device/register_link.h"
#include "device/register_map.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace device {

namespace {

constexpr std::array<TempChannel, 3> Channels{TempChannel::Local, TempChannel::Remote1, TempChannel::Remote2};

std::uint8_t readByte(std::uint8_t address)
{
    RegisterLink.RegisterPointer = address;
    ReadRegister();
    return static_cast<std::uint8_t>(RegisterLink.ReadResult & 0xFF);
}

}  // namespace

int channelIndex(TempChannel channel) { return static_cast<int>(channel); }
TempChannel channelAt(int index) { return Channels[static_cast<std::size_t>(std::clamp(index, 0, 2))]; }

const char* channelName(TempChannel channel, bool dual)
{
    switch (channel) {
    case TempChannel::Local: return "Local";
    case TempChannel::Remote1: return dual ? "Remote1" : "Remote";
    case TempChannel::Remote2: return "Remote2";
    }
    return "";
}

std::uint8_t tminTrangeRegister(TempChannel channel)
{
    return static_cast<std::uint8_t>(reg::LocalTminTrange + channelIndex(channel));
}

std::vector<FanCurves> buildFanCurves(const CurveRegisters& regs)
{
    const bool dual = isDualChannel(regs.deviceId);
    std::vector<FanCurves> fans;
    for (int fan = 0; fan < (dual ? 2 : 1); ++fan) {
        FanCurves f;
        f.fan = fan + 1;
        f.rpm = regs.fanRpm[static_cast<std::size_t>(fan)];
        f.overflowDivisor = regs.fanOverflowDivisor[static_cast<std::size_t>(fan)];
        const double minDuty = chiplaw::minimumDuty(dutyCode(regs.fanSpeedConfiguration, fan + 1));
        const unsigned channels = chiplaw::drivingChannels(regs.configuration1, fan, dual);
        for (int c = 0; c < 3; ++c) {
            if (!((channels >> c) & 1u))
                continue;
            const auto i = static_cast<std::size_t>(c);
            ChannelCurve curve;
            curve.channel = channelAt(c);
            curve.tminC = chiplaw::tminDegrees(regs.tminTrange[i]);
            curve.trangeC = chiplaw::trangeDegrees(regs.tminTrange[i]);
            curve.minDuty = minDuty;
            curve.temperature = regs.temperature[i];
            curve.duty = curve.temperature
                             ? chiplaw::channelDuty(*curve.temperature, curve.tminC, curve.trangeC, minDuty)
                             : chiplaw::OpenDiodeDuty;
            curve.highC = regs.highLimit[i];
            curve.thermC = regs.thermLimit[i];
            if (f.curves.empty() || curve.duty > f.duty) {
                f.leading = f.curves.size();
                f.duty = curve.duty;
            }
            f.curves.push_back(curve);
        }
        fans.push_back(std::move(f));
    }
    return fans;
}

std::vector<CurvePoint> curvePoints(const ChannelCurve& curve, double fromC, double toC)
{
    const double topC = curve.tminC + curve.trangeC;
    auto dutyAt = [&](double t) { return chiplaw::channelDuty(t, curve.tminC, curve.trangeC, curve.minDuty); };
    std::vector<CurvePoint> points{{fromC, dutyAt(fromC)}};
    for (double corner : {static_cast<double>(curve.tminC), topC})
        if (corner > fromC && corner < toC)
            points.push_back({corner, dutyAt(corner)});
    points.push_back({toC, dutyAt(toC)});
    return points;
}

int snapTminCode(double degrees)
{
    return std::clamp(static_cast<int>(std::lround(degrees / chiplaw::TminStepDegrees)), 0, chiplaw::TminCodeCount - 1);
}

int snapTrangeCode(double rampDegrees)
{
    int best = 0;
    for (int code = 1; code < chiplaw::TrangeOfferedCodes; ++code) {
        const auto i = static_cast<std::size_t>(code);
        if (std::abs(chiplaw::TrangeDegrees[i] - rampDegrees) <
            std::abs(chiplaw::TrangeDegrees[static_cast<std::size_t>(best)] - rampDegrees))
            best = code;
    }
    return best;
}

FieldWrite tminWrite(TempChannel channel, int code)
{
    return {tminTrangeRegister(channel), chiplaw::TrangeMask,
            static_cast<std::uint8_t>((std::clamp(code, 0, chiplaw::TminCodeCount - 1) << 3) & chiplaw::TminMask)};
}

FieldWrite trangeWrite(TempChannel channel, int code)
{
    return {tminTrangeRegister(channel), chiplaw::TminMask,
            static_cast<std::uint8_t>(std::clamp(code, 0, chiplaw::TrangeOfferedCodes - 1))};
}

CurvePoint handlePoint(const ChannelCurve& curve, CurveHandle handle)
{
    if (handle == CurveHandle::Tmin)
        return {static_cast<double>(curve.tminC), curve.minDuty};
    return {static_cast<double>(curve.tminC + curve.trangeC), 1.0};
}

std::optional<CurveHit> hitTest(const FanCurves& fan, const PlotFrame& frame, double px, double py, double radius)
{
    std::optional<CurveHit> best;
    double bestDistance = radius;
    // The leading curve first, so it keeps a tie with a curve drawn beneath it.
    std::vector<std::size_t> order{fan.leading};
    for (std::size_t i = 0; i < fan.curves.size(); ++i)
        if (i != fan.leading)
            order.push_back(i);
    for (std::size_t i : order) {
        if (i >= fan.curves.size())
            continue;
        for (auto handle : {CurveHandle::Tmin, CurveHandle::Top}) {
            const auto p = handlePoint(fan.curves[i], handle);
            // sqrt is an instruction; hypot would load the maths library into the command line.
            const double dx = frame.x(p.degrees) - px;
            const double dy = frame.y(p.duty) - py;
            const double d = std::sqrt(dx * dx + dy * dy);
            if (d <= bestDistance && (!best || d < bestDistance)) {
                best = CurveHit{i, handle};
                bestDistance = d;
            }
        }
    }
    return best;
}

int dragCode(const ChannelCurve& curve, CurveHandle handle, const PlotFrame& frame, double px)
{
    const double degrees = frame.degreesAt(px);
    if (handle == CurveHandle::Tmin)
        return snapTminCode(degrees);
    return snapTrangeCode(degrees - curve.tminC);
}

std::pair<double, double> temperatureSpan(const std::vector<FanCurves>& fans)
{
    double lo = 0, hi = 60;
    for (const auto& fan : fans)
        for (const auto& c : fan.curves) {
            hi = std::max({hi, c.tminC + c.trangeC + 10.0, c.highC + 5.0, c.thermC + 5.0});
            if (c.temperature) {
                hi = std::max(hi, *c.temperature + 5.0);
                lo = std::min(lo, *c.temperature - 5.0);
            }
        }
    return {std::floor(lo / 10.0) * 10.0, std::ceil(hi / 10.0) * 10.0};
}

CurveRegisters ReadCurveRegisters()
{
    CurveRegisters r;
    r.deviceId = RegisterLink.DeviceId;
    const bool dual = isDualChannel(r.deviceId);
    const int channels = dual ? 3 : 2;
    r.configuration1 = readByte(reg::Configuration1);
    r.fanSpeedConfiguration = readByte(reg::FanSpeedConfiguration);
    const int extra = readByte(reg::ExtraResolution);
    static constexpr std::array<std::uint8_t, 3> High{reg::LocalHighLimit, reg::Remote1HighLimit,
                                                      reg::Remote2HighLimit};
    static constexpr std::array<std::uint8_t, 3> Therm{reg::LocalThermLimit, reg::Remote1ThermLimit,
                                                       reg::Remote2ThermLimit};
    for (int c = 0; c < channels; ++c) {
        const auto i = static_cast<std::size_t>(c);
        const auto channel = channelAt(c);
        const int high = readByte(temperatureRegister(channel));
        // An open diode reads -128 with no fraction: no temperature to place.
        if (high != 0x80)
            r.temperature[i] = temperatureFrom(high, fractionText(extraResolutionField(extra, channel), channel));
        r.tminTrange[i] = readByte(tminTrangeRegister(channel));
        r.highLimit[i] = codeToLimit(readByte(High[i]));
        r.thermLimit[i] = codeToLimit(readByte(Therm[i]));
    }
    ReadFanDivisors();
    for (int fan = 1; fan <= (dual ? 2 : 1); ++fan) {
        const auto i = static_cast<std::size_t>(fan - 1);
        const int count = readByte(fan == 1 ? reg::Fan1Tach : reg::Fan2Tach);
        r.fanRpm[i] = tachOverflowed(count) ? 0 : TachToRpm(fan, count).value_or(0);
        // A count at its maximum bounds the speed only: the divisor says below what.
        if (tachOverflowed(count))
            r.fanOverflowDivisor[i] = fan == 1 ? Fan1Divisor : Fan2Divisor;
    }
    return r;
}

}  // namespace device
