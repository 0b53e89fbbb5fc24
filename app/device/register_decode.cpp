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
        fields.push_back({f.name,
                          std::to_string(f.value),
                          f.flag ? FieldKind::Flag : FieldKind::Integer,
                          static_cast<double>(f.value),
                          {}});
    return fields;
}

Field integer(std::string name, std::string text, int value)
{
    return {std::move(name), std::move(text), FieldKind::Integer, static_cast<double>(value), {}};
}

Field choice(std::string name, int code, const std::string& text)
{
    return {std::move(name), text, FieldKind::Choice, static_cast<double>(code), text};
}

Field speed(std::string name, std::optional<int> rpm)
{
    if (!rpm)
        return {std::move(name), "no speed", FieldKind::None, 0, {}};
    return integer(std::move(name), std::to_string(*rpm) + " RPM", *rpm);
}

int divisorOf(int fan, const RegisterReader& read)
{
    return divisorFromCharacteristics(read(fan == 2 ? reg::Fan2Characteristics : reg::Fan1Characteristics));
}

std::string dutyText(int code)
{
    const int percent = DutyPercent[static_cast<std::size_t>(code & 0x0F)];
    return percent == 0 ? "Off" : std::to_string(percent) + " %";
}

Field duty(std::string name, int code) { return choice(std::move(name), code, dutyText(code)); }

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
        return {{"Temperature", temperatureText(t) + " °C", FieldKind::Real, t, {}}};
    }
    case RegisterClass::TemperatureLimit: {
        const int limit = codeToLimit(value);
        return {integer("Limit", std::to_string(limit) + " °C", limit)};
    }
    case RegisterClass::TachCount:
        // A full count is a fan stopped or slower than the divisor measures:
        // a bound, never a speed of 0.
        if (tachOverflowed(value))
            return {choice("Speed", value, overflowText(divisorOf(role.unit, read)))};
        return {speed("Speed", tachToRpm(value, divisorOf(role.unit, read), 1))};
    case RegisterClass::TachLimit: return {speed("Minimum speed", tachToRpm(value, divisorOf(role.unit, read), 1))};
    case RegisterClass::FanCharacteristics: {
        const int spinUp = value & bits::FanCharSpinUp;
        const int pwm = pwmFrequencyCode(value);
        const int divisor = divisorFromCharacteristics(value);
        return {integer("SpinUp", std::to_string(spinUp), spinUp),
                choice("PWM", pwm, std::string(PwmFrequencyTexts[static_cast<std::size_t>(pwm)]) + " Hz"),
                integer("Divisor(N)", std::to_string(divisor), divisor)};
    }
    case RegisterClass::FanSpeedConfiguration: {
        std::vector<Field> f{duty("Fan1 duty", dutyCode(value, 1))};
        if (dual)
            f.push_back(duty("Fan2 duty", dutyCode(value, 2)));
        return f;
    }
    case RegisterClass::DeviceId:
        return {choice("Chip", value, isKnownDeviceId(value) ? std::string(chipName(value)) : "unknown")};
    case RegisterClass::TemperatureOffset: {
        const int magnitude = value & 0x0F;
        const bool negative = (value & 0x80) != 0;
        return {integer("Offset", std::string(negative ? "-" : "+") + std::to_string(magnitude),
                        negative ? -magnitude : magnitude)};
    }
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
