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

// Parses a number as the bus tools take it ("0x1a", "0X1A", "26") and as
// the register file writes it ("1Ah", "0dh"); nullopt for anything else or
// beyond max.
std::optional<unsigned> parseNumber(const std::string& text, unsigned max);

// Why `text` is no number up to max, as one clause for a message: "is not a
// number (give 0x1a, 26 or 1Ah)" or "is more than 0xff"; empty when it is one.
std::string numberProblem(const std::string& text, unsigned max);

// Whether the text is meant as a number: it begins with a digit. Register
// names never do.
bool looksNumeric(const std::string& text);

// A register named by address (0x22, 34, 22h) or by its name in the register list.
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
