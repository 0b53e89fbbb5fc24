#include "decode.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "device/conversions.h"
#include "device/register_diff.h"

namespace cli {
namespace {

using device::BitScheme;

// Fields by the register's bit names, skipping unused bits.
std::vector<Field> bitFields(BitScheme scheme, std::uint8_t value, int deviceId)
{
    std::vector<Field> fields;
    for (const device::FieldValue& f : device::bitFieldValues(scheme, value, deviceId))
        fields.push_back({f.name, std::to_string(f.value)});
    return fields;
}

std::string rpmText(std::optional<int> rpm) { return rpm ? std::to_string(*rpm) + " RPM" : "no speed"; }

int divisorOf(int fan, const RegisterReader& read)
{
    return device::divisorFromCharacteristics(
        read(fan == 2 ? device::reg::Fan2Characteristics : device::reg::Fan1Characteristics));
}

std::string dutyText(int code)
{
    const int percent = device::DutyPercent[static_cast<std::size_t>(code & 0x0F)];
    return percent == 0 ? "Off" : std::to_string(percent) + " %";
}

}  // namespace

std::string hexByte(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value & 0xFFu);
    return text;
}

namespace {

enum class NumberForm { Malformed, TooLarge, Good };

struct ParsedNumber {
    NumberForm form = NumberForm::Malformed;
    unsigned value = 0;
};

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

ParsedNumber readNumber(const std::string& text, unsigned max)
{
    std::string_view digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    } else if (digits.size() > 1 && (digits.back() == 'h' || digits.back() == 'H') && looksNumeric(text)) {
        // The register file's "0Dh": hex digits with a trailing h, led by a digit.
        base = 16;
        digits.remove_suffix(1);
    }
    if (digits.empty())
        return {};
    unsigned long long v = 0;
    bool tooLarge = false;
    for (const char c : digits) {
        const int digit = hexDigit(c);
        if (digit < 0 || digit >= base)
            return {};
        if (!tooLarge)
            v = v * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        tooLarge = tooLarge || v > max;
    }
    if (tooLarge)
        return {NumberForm::TooLarge, 0};
    return {NumberForm::Good, static_cast<unsigned>(v)};
}

}  // namespace

bool looksNumeric(const std::string& text) { return !text.empty() && text[0] >= '0' && text[0] <= '9'; }

std::optional<unsigned> parseNumber(const std::string& text, unsigned max)
{
    const ParsedNumber n = readNumber(text, max);
    if (n.form != NumberForm::Good)
        return std::nullopt;
    return n.value;
}

std::string numberProblem(const std::string& text, unsigned max)
{
    switch (readNumber(text, max).form) {
    case NumberForm::Good: return {};
    case NumberForm::TooLarge: {
        char limit[16];
        std::snprintf(limit, sizeof limit, max > 0xFF ? "0x%04x" : "0x%02x", max);
        return "is more than " + std::string(limit);
    }
    case NumberForm::Malformed: break;
    }
    return "is not a number (give 0x1a, 26 or 1Ah)";
}

const device::RegisterEntry* parseRegister(const std::string& text)
{
    if (looksNumeric(text)) {
        const auto n = parseNumber(text, 0xFF);
        return n ? device::registerEntryByAddress(static_cast<std::uint8_t>(*n)) : nullptr;
    }
    return device::registerEntryByName(text);
}

std::string temperatureText(float celsius)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(celsius));
    std::string s = text;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

std::vector<Field> decodeRegister(const device::RegisterEntry& entry, std::uint8_t value, int deviceId,
                                  const RegisterReader& read)
{
    namespace reg = device::reg;
    const bool dual = device::isDualChannel(deviceId);
    switch (entry.address) {
    case reg::LocalTemp:
    case reg::Remote1Temp:
    case reg::Remote2Temp: {
        const auto channel = entry.address == reg::LocalTemp     ? device::TempChannel::Local
                             : entry.address == reg::Remote1Temp ? device::TempChannel::Remote1
                                                                 : device::TempChannel::Remote2;
        const float t = device::decodeTemperature(value, read(reg::ExtraResolution), channel);
        return {{"Temperature", temperatureText(t) + " °C"}};
    }
    case reg::LocalHighLimit:
    case reg::LocalLowLimit:
    case reg::LocalThermLimit:
    case reg::Remote1HighLimit:
    case reg::Remote1LowLimit:
    case reg::Remote1ThermLimit:
    case reg::Remote2HighLimit:
    case reg::Remote2LowLimit:
    case reg::Remote2ThermLimit: return {{"Limit", std::to_string(device::codeToLimit(value)) + " °C"}};
    case reg::Fan1Tach:
    case reg::Fan2Tach: {
        const int fan = entry.address == reg::Fan2Tach ? 2 : 1;
        // A full count is a stopped fan.
        if (value == device::TachCountStopped)
            return {{"Speed", "0 RPM (stopped)"}};
        return {{"Speed", rpmText(device::tachToRpm(value, divisorOf(fan, read), 1))}};
    }
    case reg::Fan1TachLimit:
    case reg::Fan2TachLimit: {
        const int fan = entry.address == reg::Fan2TachLimit ? 2 : 1;
        return {{"Minimum speed", rpmText(device::tachToRpm(value, divisorOf(fan, read), 1))}};
    }
    case reg::Fan1Characteristics:
    case reg::Fan2Characteristics:
        return {
            {"SpinUp", std::to_string(value & device::bits::FanCharSpinUp)},
            {"PWM",
             std::string(device::PwmFrequencyTexts[static_cast<std::size_t>(device::pwmFrequencyCode(value))]) + " Hz"},
            {"Divisor(N)", std::to_string(device::divisorFromCharacteristics(value))}};
    case reg::FanSpeedConfiguration: {
        std::vector<Field> f{{"Fan1 duty", dutyText(device::dutyCode(value, 1))}};
        if (dual)
            f.push_back({"Fan2 duty", dutyText(device::dutyCode(value, 2))});
        return f;
    }
    case reg::DeviceId:
        return {{"Chip", device::isKnownDeviceId(value) ? std::string(device::chipName(value)) : "unknown"}};
    case reg::LocalOffset:
    case reg::Remote1Offset:
    case reg::Remote2Offset: return {{"Offset", std::string(value & 0x80 ? "-" : "+") + std::to_string(value & 0x0F)}};
    case reg::Remote2TminTrange:
        // The panel shows plain bit names here; the fields are those of the other channels.
        return bitFields(BitScheme::TminTrange, value, deviceId);
    default: break;
    }
    if (entry.scheme == BitScheme::Plain)
        return {};
    return bitFields(entry.scheme, value, deviceId);
}

std::vector<std::string> alarmNames(std::uint8_t status1, std::uint8_t status2, int deviceId)
{
    std::vector<std::string> names;
    const auto n1 = device::bitNames(BitScheme::InterruptStatus1, deviceId);
    const auto n2 = device::bitNames(BitScheme::InterruptStatus2, deviceId);
    for (int bit = 0; bit < 8; ++bit)
        if (status1 & (1u << bit))
            names.emplace_back(n1[static_cast<std::size_t>(bit)]);
    for (int bit = 0; bit < 8; ++bit) {
        const auto name = n2[static_cast<std::size_t>(bit)];
        if ((status2 & (1u << bit)) && name != device::UnusedBitName)
            names.emplace_back(name);
    }
    return names;
}

}  // namespace cli
