#pragma once
// The chip's registers as the part has them: addresses, which variant has
// each, what a write may change, the power-on values and what kind of value
// each holds. The simulated chip is built from this table and the program's
// register map refers to it, so a register added or corrected here reaches
// both. The program's own views (captions, list order, file labels, bit
// names) stay in its device layer. Header-only, standard library only.

#include <array>
#include <cstddef>
#include <cstdint>

namespace chiplaw {

// Device ID register values.
inline constexpr std::uint8_t DeviceIdTfm4410 = 0x30;  // single channel
inline constexpr std::uint8_t DeviceIdTfm4411 = 0x31;  // dual channel

namespace reg {
inline constexpr std::uint8_t Configuration1 = 0x00;
inline constexpr std::uint8_t Configuration2 = 0x01;
inline constexpr std::uint8_t InterruptStatus1 = 0x02;
inline constexpr std::uint8_t InterruptStatus2 = 0x03;
inline constexpr std::uint8_t ExtraResolution = 0x06;
inline constexpr std::uint8_t ManufacturersTest = 0x07;
inline constexpr std::uint8_t Fan1Tach = 0x08;
inline constexpr std::uint8_t Fan2Tach = 0x09;
inline constexpr std::uint8_t LocalTemp = 0x0A;
inline constexpr std::uint8_t Remote1Temp = 0x0B;
inline constexpr std::uint8_t Remote2Temp = 0x0C;
inline constexpr std::uint8_t LocalOffset = 0x0D;
inline constexpr std::uint8_t Remote1Offset = 0x0E;
inline constexpr std::uint8_t Remote2Offset = 0x0F;
inline constexpr std::uint8_t Fan1TachLimit = 0x10;
inline constexpr std::uint8_t Fan2TachLimit = 0x11;
inline constexpr std::uint8_t LocalHighLimit = 0x14;
inline constexpr std::uint8_t LocalLowLimit = 0x15;
inline constexpr std::uint8_t LocalThermLimit = 0x16;
inline constexpr std::uint8_t Remote1HighLimit = 0x18;
inline constexpr std::uint8_t Remote1LowLimit = 0x19;
inline constexpr std::uint8_t Remote1ThermLimit = 0x1A;
inline constexpr std::uint8_t Remote2HighLimit = 0x1C;
inline constexpr std::uint8_t Remote2LowLimit = 0x1D;
inline constexpr std::uint8_t Remote2ThermLimit = 0x1E;
inline constexpr std::uint8_t Fan1Characteristics = 0x20;
inline constexpr std::uint8_t Fan2Characteristics = 0x21;
inline constexpr std::uint8_t FanSpeedConfiguration = 0x22;
inline constexpr std::uint8_t FanFilterControl = 0x23;
inline constexpr std::uint8_t LocalTminTrange = 0x24;
inline constexpr std::uint8_t Remote1TminTrange = 0x25;
inline constexpr std::uint8_t Remote2TminTrange = 0x26;
inline constexpr std::uint8_t DeviceId = 0x3D;
inline constexpr std::uint8_t CompanyId = 0x3E;
inline constexpr std::uint8_t Revision = 0x3F;
}  // namespace reg

// Bits with a behaviour of their own.
namespace bits {
inline constexpr std::uint8_t Config2SoftwareReset = 0x80;  // self-clearing: a write resets the chip
inline constexpr std::uint8_t RevisionThermToFan = 0x80;    // the one writable bit of the revision
}  // namespace bits

// Command bytes that are not register pointers: the 32-byte block transfers.
namespace command {
inline constexpr std::uint8_t BlockWrite = 0xA0;
inline constexpr std::uint8_t BlockRead = 0xA1;
inline constexpr int BlockSize = 32;
}  // namespace command

enum class Access : std::uint8_t { None, ReadOnly, ReadWrite };

enum class RegisterKind : std::uint8_t {
    Configuration,   // settings the user chooses
    Limit,           // alarm thresholds
    Measured,        // conversions and tach counts the chip writes
    Status,          // alarm bits, cleared by reading
    Identification,  // device, company and revision
};

struct Register {
    std::uint8_t address;
    Access access;
    RegisterKind kind;
    bool dualOnly;              // the TFM4411 has it, the TFM4410 does not
    std::uint8_t powerOn;       // on the TFM4411 (see powerOnValue for the TFM4410)
    std::uint8_t writable;      // the bits a write changes
    std::uint8_t selfClearing;  // bits that act when written and read back 0
};

// clang-format off
inline constexpr std::array<Register, 35> Registers{{
  {reg::Configuration1,        Access::ReadWrite, RegisterKind::Configuration,  false, 0x01, 0xFF, 0x00},
  {reg::Configuration2,        Access::ReadWrite, RegisterKind::Configuration,  false, 0x7F, 0xFF, bits::Config2SoftwareReset},
  {reg::InterruptStatus1,      Access::ReadOnly,  RegisterKind::Status,         false, 0x00, 0x00, 0x00},
  {reg::InterruptStatus2,      Access::ReadOnly,  RegisterKind::Status,         false, 0x00, 0x00, 0x00},
  {reg::ExtraResolution,       Access::ReadOnly,  RegisterKind::Measured,       false, 0x00, 0x00, 0x00},
  {reg::ManufacturersTest,     Access::ReadWrite, RegisterKind::Configuration,  false, 0x00, 0xFF, 0x00},
  {reg::Fan1Tach,              Access::ReadWrite, RegisterKind::Measured,       false, 0xFF, 0xFF, 0x00},
  {reg::Fan2Tach,              Access::ReadWrite, RegisterKind::Measured,       true,  0xFF, 0xFF, 0x00},
  {reg::LocalTemp,             Access::ReadOnly,  RegisterKind::Measured,       false, 0x00, 0x00, 0x00},
  {reg::Remote1Temp,           Access::ReadOnly,  RegisterKind::Measured,       false, 0x00, 0x00, 0x00},
  {reg::Remote2Temp,           Access::ReadOnly,  RegisterKind::Measured,       true,  0x00, 0x00, 0x00},
  {reg::LocalOffset,           Access::ReadWrite, RegisterKind::Configuration,  false, 0x00, 0xFF, 0x00},
  {reg::Remote1Offset,         Access::ReadWrite, RegisterKind::Configuration,  false, 0x00, 0xFF, 0x00},
  {reg::Remote2Offset,         Access::ReadWrite, RegisterKind::Configuration,  true,  0x00, 0xFF, 0x00},
  {reg::Fan1TachLimit,         Access::ReadWrite, RegisterKind::Limit,          false, 0xFF, 0xFF, 0x00},
  {reg::Fan2TachLimit,         Access::ReadWrite, RegisterKind::Limit,          true,  0xFF, 0xFF, 0x00},
  {reg::LocalHighLimit,        Access::ReadWrite, RegisterKind::Limit,          false, 0x46, 0xFF, 0x00},
  {reg::LocalLowLimit,         Access::ReadWrite, RegisterKind::Limit,          false, 0x00, 0xFF, 0x00},
  {reg::LocalThermLimit,       Access::ReadWrite, RegisterKind::Limit,          false, 0x55, 0xFF, 0x00},
  {reg::Remote1HighLimit,      Access::ReadWrite, RegisterKind::Limit,          false, 0x3C, 0xFF, 0x00},
  {reg::Remote1LowLimit,       Access::ReadWrite, RegisterKind::Limit,          false, 0x00, 0xFF, 0x00},
  {reg::Remote1ThermLimit,     Access::ReadWrite, RegisterKind::Limit,          false, 0x41, 0xFF, 0x00},
  {reg::Remote2HighLimit,      Access::ReadWrite, RegisterKind::Limit,          true,  0x3C, 0xFF, 0x00},
  {reg::Remote2LowLimit,       Access::ReadWrite, RegisterKind::Limit,          true,  0x00, 0xFF, 0x00},
  {reg::Remote2ThermLimit,     Access::ReadWrite, RegisterKind::Limit,          true,  0x41, 0xFF, 0x00},
  {reg::Fan1Characteristics,   Access::ReadWrite, RegisterKind::Configuration,  false, 0x5D, 0xFF, 0x00},
  {reg::Fan2Characteristics,   Access::ReadWrite, RegisterKind::Configuration,  true,  0x5D, 0xFF, 0x00},
  {reg::FanSpeedConfiguration, Access::ReadWrite, RegisterKind::Configuration,  false, 0x55, 0xFF, 0x00},
  {reg::FanFilterControl,      Access::ReadWrite, RegisterKind::Configuration,  false, 0x50, 0xFF, 0x00},
  {reg::LocalTminTrange,       Access::ReadWrite, RegisterKind::Configuration,  false, 0x61, 0xFF, 0x00},
  {reg::Remote1TminTrange,     Access::ReadWrite, RegisterKind::Configuration,  false, 0x61, 0xFF, 0x00},
  {reg::Remote2TminTrange,     Access::ReadWrite, RegisterKind::Configuration,  true,  0x61, 0xFF, 0x00},
  {reg::DeviceId,              Access::ReadOnly,  RegisterKind::Identification, false, DeviceIdTfm4411, 0x00, 0x00},
  {reg::CompanyId,             Access::ReadOnly,  RegisterKind::Identification, false, 0x46, 0x00, 0x00},
  {reg::Revision,              Access::ReadWrite, RegisterKind::Identification, false, 0x12, bits::RevisionThermToFan, 0x00},
}};
// clang-format on

// The register at `address`, nullptr where the part has none on either variant.
constexpr const Register* registerAt(std::uint8_t address)
{
    for (const Register& r : Registers)
        if (r.address == address)
            return &r;
    return nullptr;
}

// What a bus access to `address` finds on the variant: None for registers it lacks.
constexpr Access accessOn(std::uint8_t address, bool dual)
{
    // By value, not through registerAt(): a pointer compared with null is no
    // constant expression once the sanitizers instrument it.
    for (const Register& r : Registers)
        if (r.address == address)
            return r.dualOnly && !dual ? Access::None : r.access;
    return Access::None;
}

// The single-channel part has no second PWM, tach or remote channel: its
// configuration 2 and fan speed registers power on with those bits clear.
constexpr std::uint8_t powerOnValue(const Register& r, bool dual)
{
    if (dual)
        return r.powerOn;
    switch (r.address) {
    case reg::DeviceId: return DeviceIdTfm4410;
    case reg::Configuration2: return static_cast<std::uint8_t>(r.powerOn & 0x35);
    case reg::FanSpeedConfiguration: return static_cast<std::uint8_t>(r.powerOn & 0x0F);
    default: return r.powerOn;
    }
}

}  // namespace chiplaw
