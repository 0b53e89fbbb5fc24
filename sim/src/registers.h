// Register addresses and the power-on table of the chip.
#pragma once
#include <array>
#include <cstdint>

#include "sim/config.h"

namespace sim::reg {

enum : uint8_t {
    Config1 = 0x00,
    Config2 = 0x01,
    Status1 = 0x02,
    Status2 = 0x03,
    ExtraRes = 0x06,
    TestReg = 0x07,
    Tach1 = 0x08,
    Tach2 = 0x09,
    LocalTemp = 0x0A,
    Remote1Temp = 0x0B,
    Remote2Temp = 0x0C,
    LocalOffset = 0x0D,
    Remote1Offset = 0x0E,
    Remote2Offset = 0x0F,
    Tach1Limit = 0x10,
    Tach2Limit = 0x11,
    LocalHigh = 0x14,
    LocalLow = 0x15,
    LocalTherm = 0x16,
    Remote1High = 0x18,
    Remote1Low = 0x19,
    Remote1Therm = 0x1A,
    Remote2High = 0x1C,
    Remote2Low = 0x1D,
    Remote2Therm = 0x1E,
    Fan1Char = 0x20,
    Fan2Char = 0x21,
    FanSpeed = 0x22,
    FanFilter = 0x23,
    LocalTmin = 0x24,
    Remote1Tmin = 0x25,
    Remote2Tmin = 0x26,
    DeviceId = 0x3D,
    CompanyId = 0x3E,
    Revision = 0x3F,
};

enum class Access : uint8_t { None, ReadOnly, ReadWrite };

struct Entry {
    uint8_t address;
    uint8_t powerOn;
    Access access;
    bool dualOnly;  // exists on the TFM4411 only
};

// Device ID is filled in per variant.
inline constexpr std::array<Entry, 35> kTable{{
    {Config1, 0x01, Access::ReadWrite, false},       {Config2, 0x7F, Access::ReadWrite, false},
    {Status1, 0x00, Access::ReadOnly, false},        {Status2, 0x00, Access::ReadOnly, false},
    {ExtraRes, 0x00, Access::ReadOnly, false},       {TestReg, 0x00, Access::ReadWrite, false},
    {Tach1, 0xFF, Access::ReadWrite, false},         {Tach2, 0xFF, Access::ReadWrite, true},
    {LocalTemp, 0x00, Access::ReadOnly, false},      {Remote1Temp, 0x00, Access::ReadOnly, false},
    {Remote2Temp, 0x00, Access::ReadOnly, true},     {LocalOffset, 0x00, Access::ReadWrite, false},
    {Remote1Offset, 0x00, Access::ReadWrite, false}, {Remote2Offset, 0x00, Access::ReadWrite, true},
    {Tach1Limit, 0xFF, Access::ReadWrite, false},    {Tach2Limit, 0xFF, Access::ReadWrite, true},
    {LocalHigh, 0x46, Access::ReadWrite, false},     {LocalLow, 0x00, Access::ReadWrite, false},
    {LocalTherm, 0x55, Access::ReadWrite, false},    {Remote1High, 0x3C, Access::ReadWrite, false},
    {Remote1Low, 0x00, Access::ReadWrite, false},    {Remote1Therm, 0x41, Access::ReadWrite, false},
    {Remote2High, 0x3C, Access::ReadWrite, true},    {Remote2Low, 0x00, Access::ReadWrite, true},
    {Remote2Therm, 0x41, Access::ReadWrite, true},   {Fan1Char, 0x5D, Access::ReadWrite, false},
    {Fan2Char, 0x5D, Access::ReadWrite, true},       {FanSpeed, 0x55, Access::ReadWrite, false},
    {FanFilter, 0x50, Access::ReadWrite, false},     {LocalTmin, 0x61, Access::ReadWrite, false},
    {Remote1Tmin, 0x61, Access::ReadWrite, false},   {Remote2Tmin, 0x61, Access::ReadWrite, true},
    {DeviceId, 0x31, Access::ReadOnly, false},       {CompanyId, 0x46, Access::ReadOnly, false},
    {Revision, 0x12, Access::ReadWrite, false},  // only bit 7 is writable
}};

// Per-address access for a variant: None for registers the part lacks.
constexpr std::array<Access, 256> accessMap(ChipVariant v)
{
    std::array<Access, 256> map{};
    for (const Entry& e : kTable)
        map[e.address] = (e.dualOnly && v == ChipVariant::Tfm4410) ? Access::None : e.access;
    return map;
}

inline constexpr uint8_t kDeviceIdTfm4410 = 0x30;
inline constexpr uint8_t kDeviceIdTfm4411 = 0x31;

}  // namespace sim::reg
