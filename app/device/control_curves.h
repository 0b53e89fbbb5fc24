#pragma once
// The control curves view without a display: which curves each fan has,
// their points, the operating point, the plot's scales, what a drag snaps
// to, and which register bits the drag writes. The window only paints what
// these functions return and writes what they say.

#include <chiplaw/auto_control.h>
#include "device/conversions.h"

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace device {

// The registers the curves are drawn from, as read from the chip.
struct CurveRegisters {
    std::int16_t deviceId = 0x31;
    std::uint8_t configuration1 = 0;
    std::uint8_t fanSpeedConfiguration = 0;
    std::array<std::uint8_t, 3> tminTrange{};  // 24h, 25h, 26h
    std::array<int, 3> highLimit{};            // degrees, local / remote 1 / remote 2
    std::array<int, 3> thermLimit{};
    // Measured temperatures; nullopt for a channel with no reading (an open
    // diode reads -128).
    std::array<std::optional<double>, 3> temperature{};
    std::array<std::optional<int>, 2> fanRpm{};  // measured speed, nullopt before a reading
    // The divisor of a count at its maximum (fanRpm then 0: the fan stands
    // or turns slower than the divisor measures); 0 for a count that measured.
    std::array<int, 2> fanOverflowDivisor{};
};

struct ChannelCurve {
    TempChannel channel = TempChannel::Remote1;
    int tminC = 0;
    int trangeC = 0;
    double minDuty = 0;  // 0..1
    std::optional<double> temperature;
    double duty = 0;  // what the channel asks for now, 0..1
    int highC = 0;
    int thermC = 0;
};

struct FanCurves {
    int fan = 1;                       // 1 or 2
    std::vector<ChannelCurve> curves;  // the channels that drive this fan
    std::size_t leading = 0;           // the curve whose duty the chip follows (the largest)
    double duty = 0;                   // the duty the curves ask for, 0..1
    std::optional<int> rpm;
    int overflowDivisor = 0;  // as CurveRegisters::fanOverflowDivisor
};

int channelIndex(TempChannel channel);
TempChannel channelAt(int index);
// "Local", "Remote1", "Remote2"; the single-channel chip's remote is "Remote".
const char* channelName(TempChannel channel, bool dual);

// Tmin/Trange register of a channel (24h, 25h, 26h).
std::uint8_t tminTrangeRegister(TempChannel channel);

// One curve per driving channel and fan: a single fan on the TFM4410, two
// on the TFM4411. Ties for the largest duty go to the first channel.
std::vector<FanCurves> buildFanCurves(const CurveRegisters& regs);

struct CurvePoint {
    double degrees;
    double duty;  // 0..1
};

// The polyline of a curve across [fromC, toC]: flat at the minimum, the
// ramp from Tmin to Tmin + Trange, flat at full duty; corners outside the
// span are cut at its edges.
std::vector<CurvePoint> curvePoints(const ChannelCurve& curve, double fromC, double toC);

// --- dragging --------------------------------------------------------------

// Tmin code (0..31) nearest to a temperature.
int snapTminCode(double degrees);
// Range code (0..4) whose width is nearest to `rampDegrees` (ties to the
// narrower one).
int snapTrangeCode(double rampDegrees);

// A read-modify-write of one field: new value = (old AND keep) OR insert.
struct FieldWrite {
    std::uint8_t reg = 0;
    std::uint8_t keep = 0;
    std::uint8_t insert = 0;
    constexpr std::uint8_t applyTo(std::uint8_t old) const { return static_cast<std::uint8_t>((old & keep) | insert); }
};
FieldWrite tminWrite(TempChannel channel, int code);    // keep 07h
FieldWrite trangeWrite(TempChannel channel, int code);  // keep F8h

enum class CurveHandle { Tmin, Top };

// The plot area in pixels and the temperature span it shows; duty 0..100 %
// runs bottom to top.
struct PlotFrame {
    double left = 0, top = 0, width = 1, height = 1;
    double fromC = 0, toC = 100;
    double x(double degrees) const { return left + (degrees - fromC) / (toC - fromC) * width; }
    double y(double duty) const { return top + (1.0 - duty) * height; }
    double degreesAt(double px) const { return fromC + (px - left) / width * (toC - fromC); }
};

// Where a curve's handles sit: the Tmin corner and the top of the ramp.
CurvePoint handlePoint(const ChannelCurve& curve, CurveHandle handle);

struct CurveHit {
    std::size_t curve = 0;  // index into FanCurves::curves
    CurveHandle handle = CurveHandle::Tmin;
};
// The handle within `radius` pixels of (px, py), the nearest one if several;
// the leading curve wins a tie, since it is drawn on top.
std::optional<CurveHit> hitTest(const FanCurves& fan, const PlotFrame& frame, double px, double py, double radius);

// The code a drag of `handle` to pixel column `px` snaps to.
int dragCode(const ChannelCurve& curve, CurveHandle handle, const PlotFrame& frame, double px);

// Temperature span for every fan's plot: from 0 (or below the coldest
// reading) to past the highest ramp top, limit and reading, in 10-degree
// steps.
std::pair<double, double> temperatureSpan(const std::vector<FanCurves>& fans);

// Reads every register the curves need through the register link.
CurveRegisters ReadCurveRegisters();

}  // namespace device
