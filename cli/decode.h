#pragma once
// Register values in words: the fields of each register by its bit names,
// and temperatures, speeds and duties where the register holds one.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/register_decode.h"
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

// Fields of a register value, as dump shows them (device/register_decode.h).
using device::decodeRegister;
using device::Field;
using device::RegisterReader;

// Names of the alarm bits set in the two interrupt status registers.
std::vector<std::string> alarmNames(std::uint8_t status1, std::uint8_t status2, int deviceId);

// Temperature text with its fraction: "25.75", "-1.25", "40".
std::string temperatureText(float celsius);

}  // namespace cli
