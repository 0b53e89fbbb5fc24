#include "device/register_decode.h"

#include "device/conversions.h"
#include "device/register_diff.h"

#include <optional>
#include <string>

namespace device {
namespace {

// Fields by the register's bit names, skipping unused bits.
std::vector<Field> bitFields(BitScheme scheme, std::uint8_t value, int deviceId)
{
    std::vector<Field> fields;
    for (const FieldValue& f : bitFieldValues(scheme, value, deviceId))
        fields.push_back({f.name, std::to_string(f.value)});
    return fields;
}

std::string rpmText(std::optional<int> rpm) { return rpm ? std::to_string(*rpm) + " RPM" : "no speed"; }

int divisorOf(int fan, const RegisterReader& read)
{
    return divisorFromCharacteristics(read(fan == 2 ? reg::Fan2Characteristics : reg::Fan1Characteristics));
}

std::string dutyText(int code)
{
    const int percent = DutyPercent[static_cast<std::size_t>(code & 0x0F)];
    return percent == 0 ? "Off" : std::to_string(percent) + " %";
}

}  // namespace

std::vector<Field> decodeRegister(const RegisterEntry& entry, std::uint8_t value, int deviceId,
                                  const RegisterReader& read)
{
    const bool dual = isDualChannel(deviceId);
    const RegisterRole role = registerRole(entry.address);
    switch (role.kind) {
    case RegisterClass::Temperature: {
        const auto channel = static_cast<TempChannel>(role.unit);
        const float t = decodeTemperature(value, read(reg::ExtraResolution), channel);
        return {{"Temperature", temperatureText(t) + " °C"}};
    }
    case RegisterClass::TemperatureLimit: return {{"Limit", std::to_string(codeToLimit(value)) + " °C"}};
    case RegisterClass::TachCount:
        // A full count is a bound, not a stop: the fan may turn, slower than the divisor measures.
        if (tachOverflowed(value))
            return {{"Speed", overflowText(divisorOf(role.unit, read))}};
        return {{"Speed", rpmText(tachToRpm(value, divisorOf(role.unit, read), 1))}};
    case RegisterClass::TachLimit: return {{"Minimum speed", rpmText(tachToRpm(value, divisorOf(role.unit, read), 1))}};
    case RegisterClass::FanCharacteristics:
        return {{"SpinUp", std::to_string(value & bits::FanCharSpinUp)},
                {"PWM", std::string(PwmFrequencyTexts[static_cast<std::size_t>(pwmFrequencyCode(value))]) + " Hz"},
                {"Divisor(N)", std::to_string(divisorFromCharacteristics(value))}};
    case RegisterClass::FanSpeedConfiguration: {
        std::vector<Field> f{{"Fan1 duty", dutyText(dutyCode(value, 1))}};
        if (dual)
            f.push_back({"Fan2 duty", dutyText(dutyCode(value, 2))});
        return f;
    }
    case RegisterClass::DeviceId: return {{"Chip", isKnownDeviceId(value) ? std::string(chipName(value)) : "unknown"}};
    case RegisterClass::TemperatureOffset:
        return {{"Offset", std::string(value & 0x80 ? "-" : "+") + std::to_string(value & 0x0F)}};
    case RegisterClass::Other: break;
    }
    if (entry.address == reg::Remote2TminTrange) {
        // The panel shows plain bit names here; the fields are those of the other channels.
        return bitFields(BitScheme::TminTrange, value, deviceId);
    }
    if (entry.scheme == BitScheme::Plain)
        return {};
    return bitFields(entry.scheme, value, deviceId);
}

}  // namespace device
