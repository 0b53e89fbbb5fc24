#pragma once
// Register codes to engineering units and back. The pure functions take
// their inputs as arguments; the few that touch the chip go through the
// register link and keep the process-wide values below up to date, so every
// window computes the same numbers.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace device {

enum class TempChannel { Local, Remote1, Remote2 };

// Process-wide values (user-interface thread only).
extern std::int16_t Fan1Divisor;  // 1, 2, 4 or 8; 0 before the first ReadFanDivisors
extern std::int16_t Fan2Divisor;  // TFM4411 only; stays at its last value on the TFM4410
extern std::string FractionText;  // fraction of the last temperature decoded: " ", ".25", ...
extern std::int16_t PulseFactor;  // tach pulses per revolution used by the last speed conversion

// Tells the speed conversions whether the fan is a two-wire fan set to two
// commutation pulses per revolution. The main window installs it; without a
// source the factor is 1.
void setTwoPulsesSource(std::function<bool()> source);

// --- temperatures -------------------------------------------------------

// Sets FractionText from an extra-resolution field: local codes 0..3 in
// quarter degrees, remote codes 0..7 in eighths. A code outside the range
// leaves FractionText unchanged. Returns FractionText.
const std::string& DecodeFraction(int code, TempChannel channel);

// Fraction text for a field without touching FractionText; empty for a code
// outside the range.
std::string_view fractionText(int code, TempChannel channel);

// Numeric value of a fraction text (" " is 0).
float fractionValue(std::string_view text);

// ((NOT x) AND 0x7F) + 1, i.e. 128 - x for x in 0..127.
constexpr int NegateSevenBits(int x) { return ((~x) & 0x7F) + 1; }

// The channel's field of the Extra Resolution register.
constexpr int extraResolutionField(int extraResolution, TempChannel channel)
{
    switch (channel) {
    case TempChannel::Local: return (extraResolution & 0xFF) / 64;
    case TempChannel::Remote1: return extraResolution & 0x07;
    case TempChannel::Remote2: return (extraResolution & 0x38) / 8;
    }
    return 0;
}

// Temperature from a high byte (two's complement whole degrees) and a
// fraction text. The fraction is subtracted for negative readings, so 0xFF
// with ".25" gives -1.25.
float temperatureFrom(int highByte, std::string_view fraction);

// Temperature from the high byte and the Extra Resolution value; sets
// FractionText as the reading does.
float decodeTemperature(int highByte, int extraResolution, TempChannel channel);

// Temperature text with its fraction and no trailing zeros: "25.75",
// "-1.25", "40".
std::string temperatureText(float celsius);

// What an open (or shorted) remote diode reads in its high byte: -128 °C,
// which no connected diode gives. The diode error bit is set alongside.
inline constexpr std::uint8_t OpenDiodeReading = 0x80;

// High-byte register of a channel (0Ah, 0Bh, 0Ch).
std::uint8_t temperatureRegister(TempChannel channel);

// Reads Extra Resolution, then the channel's high byte, through the register
// link. Throws what the library throws.
float ReadTemperature(TempChannel channel);

// --- limits ---------------------------------------------------------------

// Whole-degree limit to register code: -1 -> 0xFF, -10 -> 0xF6, -128 -> 0x80.
// Values beyond -128..127 are clamped: the register cannot hold them and a
// wrapped code would flip the limit's sign.
std::uint8_t limitToCode(int degrees);

// Register code to whole degrees (the reading rule without a fraction).
int codeToLimit(int code);

// --- fans -----------------------------------------------------------------

// Divisor N for a Fan Characteristics value (bits 7..6: 0..3 -> 1, 2, 4, 8).
constexpr std::int16_t divisorFromCharacteristics(int value)
{
    return static_cast<std::int16_t>(1 << (((value & 0xFF) / 64) & 3));
}

// Field code for a divisor N (1, 2, 4, 8 -> 0..3); nullopt for any other N.
std::optional<int> divisorCode(int divisor);

// Reads Fan 1 Characteristics (and Fan 2 on the TFM4411) into Fan1Divisor
// and Fan2Divisor. Leaves RegisterLink.ReadResult holding the last code.
void ReadFanDivisors();

inline constexpr float TachClockHz = 11250.0f;
// A count the chip shows for a stopped (or too slow) fan.
inline constexpr int TachCountStopped = 255;

// RPM for a count, nullopt when count <= 2 or divisor is 0.
std::optional<int> tachToRpm(int count, int divisor, int pulseFactor);
// Count for a speed, at most 255 (a speed of 0 or less gives 255).
int speedToCount(int rpm, int divisor, int pulseFactor);

// The same with the process-wide divisor of fan 1 or 2 and the current
// pulse factor (updates PulseFactor).
std::optional<int> TachToRpm(int fan, int count);
int SpeedToCount(int fan, int rpm);

// Slowest measurable speed for a divisor (the speed at count 255):
// 1 -> 2647, 2 -> 1324, 4 -> 662, 8 -> 331. 0 for a divisor of 0 or less.
int speedRangeRpm(int divisor);

// A count at its maximum: the fan stands or turns slower than the divisor
// measures, so no speed follows from it (0 would pass for a stopped fan).
constexpr bool tachOverflowed(int count) { return count >= TachCountStopped; }
// What such a count says, for the user: "below 1324 RPM".
std::string overflowText(int divisor);

// --- duty cycle and PWM frequency -----------------------------------------

// Percent shown for duty codes 0..15 (0 is shown as "Off").
inline constexpr std::array<int, 16> DutyPercent{0, 7, 14, 20, 27, 33, 40, 47, 53, 60, 67, 73, 80, 87, 93, 100};

// Duty code of a fan from Fan Speed Configuration (low nibble fan 1, high nibble fan 2).
constexpr int dutyCode(int fanSpeedConfig, int fan)
{
    return fan == 2 ? (fanSpeedConfig >> 4) & 0x0F : fanSpeedConfig & 0x0F;
}

// PWM frequency texts (hertz) for codes 0..7 of Fan Characteristics bits 5..3.
inline constexpr std::array<std::string_view, 8> PwmFrequencyTexts{"11.7", "15.6", "23.4", "31.25",
                                                                   "37.5", "46.9", "62.5", "93.5"};

constexpr int pwmFrequencyCode(int fanCharacteristics) { return (fanCharacteristics >> 3) & 0x07; }

}  // namespace device
