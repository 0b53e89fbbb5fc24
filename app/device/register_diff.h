#pragma once
// What a register file would change on the chip, and register values split
// into their bit fields by the panel's bit names. Shared by the program's
// recall preview and the CLI's dry run and diff.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "device/register_file.h"
#include "device/register_map.h"

namespace device {

struct FieldValue {
    std::string name;  // "SpinUp", "Monitor", "Offset Bit"
    unsigned value = 0;
    bool flag = false;  // a single bit named by itself ("Monitor"), not a numbered field
};

// Fields by the scheme's bit names, unused bits skipped: consecutive bits
// with one stem and rising numbers form one field ("Tmin 0".."Tmin 4").
std::vector<FieldValue> bitFieldValues(BitScheme scheme, std::uint8_t value, int deviceId);

// The fields of a register as the bit descriptions name them; Remote2
// Tmin/Trange, listed with plain names, still splits into Tmin and Trange.
// Plain registers (limits, counts) give none: the value is the field.
std::vector<FieldValue> registerFieldValues(std::uint8_t reg, std::uint8_t value, int deviceId);

// "SpinUp=5, PWM=3, Divisor(N)=1"; empty for a plain register.
std::string fieldsText(std::uint8_t reg, std::uint8_t value, int deviceId);

struct RegisterDifference {
    std::uint8_t reg = 0;
    std::uint8_t current = 0;  // what the chip holds
    std::uint8_t wanted = 0;   // what the file would write
};

// Bits a write can change: only the top bit of the revision register.
constexpr std::uint8_t writableBits(std::uint8_t reg) { return reg == reg::Revision ? 0x80 : 0xFF; }

// The registers of `writes` whose value differs from the chip's in a bit a
// write changes, in the order of `writes`. `readCurrent` is called once per
// register, in that order.
std::vector<RegisterDifference> registerDifferences(std::span<const RegisterValue> writes,
                                                    const std::function<std::uint8_t(std::uint8_t)>& readCurrent);

// One line per difference for a terminal:
// "22h  Fan Speed Configuration  55h -> 3Ch  (Normal/Min=5 -> Normal/Min=12)"
std::string differenceLine(const RegisterDifference& d, int deviceId);

}  // namespace device
