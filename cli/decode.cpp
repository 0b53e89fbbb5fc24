#include "decode.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "device/conversions.h"
#include "device/numbers.h"
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

std::string hexByte(unsigned value) { return device::hexByte(value); }

bool looksNumeric(const std::string& text) { return !text.empty() && text[0] >= '0' && text[0] <= '9'; }

// The command line's rule on top of the one parser: a number begins with a
// digit, so "FFh" stays a malformed number rather than a register name.
std::optional<unsigned> parseNumber(const std::string& text, unsigned max)
{
    return looksNumeric(text) ? device::parseNumber(text, max) : std::nullopt;
}

std::string numberProblem(const std::string& text, unsigned max)
{
    return device::numberProblem(looksNumeric(text) ? std::string_view(text) : std::string_view("?"), max);
}

const device::RegisterEntry* parseRegister(const std::string& text)
{
    if (looksNumeric(text)) {
        const auto n = parseNumber(text, 0xFF);
        return n ? device::registerEntryByAddress(static_cast<std::uint8_t>(*n)) : nullptr;
    }
    return device::registerEntryByName(text);
}

std::string temperatureText(float celsius) { return device::temperatureText(celsius); }

std::vector<Field> decodeRegister(const device::RegisterEntry& entry, std::uint8_t value, int deviceId,
                                  const RegisterReader& read)
{
    const bool dual = device::isDualChannel(deviceId);
    const device::RegisterRole role = device::registerRole(entry.address);
    switch (role.kind) {
    case device::RegisterClass::Temperature: {
        const auto channel = static_cast<device::TempChannel>(role.unit);
        const float t = device::decodeTemperature(value, read(device::reg::ExtraResolution), channel);
        return {{"Temperature", temperatureText(t) + " °C"}};
    }
    case device::RegisterClass::TemperatureLimit:
        return {{"Limit", std::to_string(device::codeToLimit(value)) + " °C"}};
    case device::RegisterClass::TachCount:
        // A full count is a stopped fan.
        if (value == device::TachCountStopped)
            return {{"Speed", "0 RPM (stopped)"}};
        return {{"Speed", rpmText(device::tachToRpm(value, divisorOf(role.unit, read), 1))}};
    case device::RegisterClass::TachLimit:
        return {{"Minimum speed", rpmText(device::tachToRpm(value, divisorOf(role.unit, read), 1))}};
    case device::RegisterClass::FanCharacteristics:
        return {
            {"SpinUp", std::to_string(value & device::bits::FanCharSpinUp)},
            {"PWM",
             std::string(device::PwmFrequencyTexts[static_cast<std::size_t>(device::pwmFrequencyCode(value))]) + " Hz"},
            {"Divisor(N)", std::to_string(device::divisorFromCharacteristics(value))}};
    case device::RegisterClass::FanSpeedConfiguration: {
        std::vector<Field> f{{"Fan1 duty", dutyText(device::dutyCode(value, 1))}};
        if (dual)
            f.push_back({"Fan2 duty", dutyText(device::dutyCode(value, 2))});
        return f;
    }
    case device::RegisterClass::DeviceId:
        return {{"Chip", device::isKnownDeviceId(value) ? std::string(device::chipName(value)) : "unknown"}};
    case device::RegisterClass::TemperatureOffset:
        return {{"Offset", std::string(value & 0x80 ? "-" : "+") + std::to_string(value & 0x0F)}};
    case device::RegisterClass::Other: break;
    }
    if (entry.address == device::reg::Remote2TminTrange) {
        // The panel shows plain bit names here; the fields are those of the other channels.
        return bitFields(BitScheme::TminTrange, value, deviceId);
    }
    if (entry.scheme == BitScheme::Plain)
        return {};
    return bitFields(entry.scheme, value, deviceId);
}

std::vector<std::string> alarmNames(std::uint8_t status1, std::uint8_t status2, int deviceId)
{
    return device::alarmNames(status1, status2, deviceId);
}

}  // namespace cli
