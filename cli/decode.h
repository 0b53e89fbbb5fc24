#pragma once
// Register values in words: the fields of each register by its bit names,
// and temperatures, speeds and duties where the register holds one.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/register_map.h"

namespace cli {

// "0x1a"
std::string hexByte(unsigned value);

// Parses "0x1a", "26" (and "0X1A"); nullopt for anything else or beyond max.
std::optional<unsigned> parseNumber(const std::string& text, unsigned max);

// A register named by address (0x22, 34) or by its name in the register list.
const device::RegisterEntry* parseRegister(const std::string& text);

// One decoded field: "Divisor(N)" = "8", "Local" = "25.75 °C".
struct Field {
    std::string name;
    std::string value;
};

// The registers a decoding needs besides the register itself (Extra
// Resolution for temperatures, Fan Characteristics for speeds).
using RegisterReader = std::function<std::uint8_t(std::uint8_t address)>;

// Fields of a register value for the connected chip.
std::vector<Field> decodeRegister(const device::RegisterEntry& entry, std::uint8_t value, int deviceId,
                                  const RegisterReader& read);

// Names of the alarm bits set in the two interrupt status registers.
std::vector<std::string> alarmNames(std::uint8_t status1, std::uint8_t status2, int deviceId);

// Temperature text with its fraction: "25.75", "-1.25", "40".
std::string temperatureText(float celsius);

}  // namespace cli
