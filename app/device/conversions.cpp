#include "device/conversions.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "device/register_link.h"
#include "device/register_map.h"

namespace device {

std::int16_t Fan1Divisor = 0;
std::int16_t Fan2Divisor = 0;
std::string FractionText = " ";
std::int16_t PulseFactor = 1;

namespace {

std::function<bool()> g_twoPulses;

constexpr std::array<std::string_view, 4> LocalFractions{" ", ".25", ".5", ".75"};
constexpr std::array<std::string_view, 8> RemoteFractions{" ", ".125", ".25", ".375", ".5", ".625", ".75", ".875"};
constexpr std::array<float, 8> RemoteFractionValues{0.0f, 0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f, 0.875f};

int currentPulseFactor() { return g_twoPulses && g_twoPulses() ? 2 : 1; }

}  // namespace

void setTwoPulsesSource(std::function<bool()> source) { g_twoPulses = std::move(source); }

std::string_view fractionText(int code, TempChannel channel)
{
    if (channel == TempChannel::Local)
        return code >= 0 && code < 4 ? LocalFractions[static_cast<std::size_t>(code)] : std::string_view{};
    return code >= 0 && code < 8 ? RemoteFractions[static_cast<std::size_t>(code)] : std::string_view{};
}

const std::string& DecodeFraction(int code, TempChannel channel)
{
    const std::string_view text = fractionText(code, channel);
    if (!text.empty())
        FractionText = text;
    return FractionText;
}

float fractionValue(std::string_view text)
{
    // Every local text is also a remote one, so one table serves both.
    for (std::size_t i = 0; i < RemoteFractions.size(); ++i)
        if (RemoteFractions[i] == text)
            return RemoteFractionValues[i];
    return 0.0f;
}

float temperatureFrom(int highByte, std::string_view fraction)
{
    const int b = highByte & 0xFF;
    const float f = fractionValue(fraction);
    if (b < 128)
        return static_cast<float>(b) + f;
    const int m = NegateSevenBits(b & 0x7F);
    return -static_cast<float>(m) - f;
}

float decodeTemperature(int highByte, int extraResolution, TempChannel channel)
{
    DecodeFraction(extraResolutionField(extraResolution, channel), channel);
    return temperatureFrom(highByte, FractionText);
}

std::uint8_t temperatureRegister(TempChannel channel)
{
    switch (channel) {
    case TempChannel::Local: return reg::LocalTemp;
    case TempChannel::Remote1: return reg::Remote1Temp;
    case TempChannel::Remote2: return reg::Remote2Temp;
    }
    return reg::LocalTemp;
}

float ReadTemperature(TempChannel channel)
{
    RegisterLink.RegisterPointer = reg::ExtraResolution;
    ReadRegister();
    DecodeFraction(extraResolutionField(RegisterLink.ReadResult, channel), channel);
    RegisterLink.RegisterPointer = temperatureRegister(channel);
    ReadRegister();
    return temperatureFrom(RegisterLink.ReadResult, FractionText);
}

std::uint8_t limitToCode(int degrees)
{
    const int t = degrees < -128 ? -128 : degrees > 127 ? 127 : degrees;
    if (t >= 0)
        return static_cast<std::uint8_t>(t);
    if (t == -128)
        return 0x80;
    return static_cast<std::uint8_t>(NegateSevenBits(-t) | 0x80);
}

int codeToLimit(int code)
{
    const int b = code & 0xFF;
    return b < 128 ? b : -NegateSevenBits(b & 0x7F);
}

std::optional<int> divisorCode(int divisor)
{
    switch (divisor) {
    case 1: return 0;
    case 2: return 1;
    case 4: return 2;
    case 8: return 3;
    default: return std::nullopt;
    }
}

void ReadFanDivisors()
{
    RegisterLink.RegisterPointer = reg::Fan1Characteristics;
    ReadRegister();
    RegisterLink.ReadResult /= 64;
    Fan1Divisor = static_cast<std::int16_t>(1 << (RegisterLink.ReadResult & 3));
    if (RegisterLink.DeviceId == DeviceIdTFM4411) {
        RegisterLink.RegisterPointer = reg::Fan2Characteristics;
        ReadRegister();
        RegisterLink.ReadResult /= 64;
        Fan2Divisor = static_cast<std::int16_t>(1 << (RegisterLink.ReadResult & 3));
    }
}

std::optional<int> tachToRpm(int count, int divisor, int pulseFactor)
{
    if (count <= 2 || divisor <= 0)
        return std::nullopt;
    // Single precision step by step, so the figures match the other windows.
    float rpm = TachClockHz / static_cast<float>(divisor * count);
    rpm *= 60.0f;
    rpm *= static_cast<float>(pulseFactor);
    return static_cast<int>(rpm);
}

int speedToCount(int rpm, int divisor, int pulseFactor)
{
    if (rpm <= 0 || divisor <= 0)
        return TachCountStopped;
    float count = TachClockHz / (static_cast<float>(divisor) * static_cast<float>(rpm));
    count *= 60.0f;
    count *= static_cast<float>(pulseFactor);
    return count >= static_cast<float>(TachCountStopped) ? TachCountStopped : static_cast<int>(count);
}

std::optional<int> TachToRpm(int fan, int count)
{
    PulseFactor = static_cast<std::int16_t>(currentPulseFactor());
    return tachToRpm(count, fan == 2 ? Fan2Divisor : Fan1Divisor, PulseFactor);
}

int SpeedToCount(int fan, int rpm)
{
    PulseFactor = static_cast<std::int16_t>(currentPulseFactor());
    return speedToCount(rpm, fan == 2 ? Fan2Divisor : Fan1Divisor, PulseFactor);
}

int speedRangeRpm(int divisor)
{
    if (divisor <= 0)
        return 0;
    return static_cast<int>(std::lround(675000.0 / (255.0 * divisor)));
}

std::string overflowText(int divisor) { return "below " + std::to_string(speedRangeRpm(divisor)) + " RPM"; }

std::string temperatureText(float celsius)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.3f", static_cast<double>(celsius));
    std::string s = text;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

}  // namespace device
