#pragma once
// The one reading of a number typed by a user or stored in a file: "0x1a"
// and "0X1A" (hexadecimal), "26" (decimal), "1Ah", "0dh" and "FFh" (the
// program's own hexadecimal notation with a trailing h). No sign, no blanks:
// callers trim what their input may carry. Each input keeps its own rules on
// top (the command line wants a leading digit, the register file a
// lower-case h, the read/write panel's entry boxes their specified
// behaviour).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace device {

enum class NumberForm { Malformed, TooLarge, Good };

struct ParsedNumber {
    NumberForm form = NumberForm::Malformed;
    unsigned value = 0;  // valid when form is Good
};

// 0..15 for a hex digit of either case, -1 otherwise.
constexpr int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads `text` as one of the forms above; TooLarge beyond max.
ParsedNumber readNumber(std::string_view text, unsigned max);

// The value, or nullopt for anything malformed or beyond max.
std::optional<unsigned> parseNumber(std::string_view text, unsigned max);

// Why `text` is no number up to max, as one clause for a message: "is not a
// number (give 0x1a, 26 or 1Ah)" or "is more than 0xff"; empty when it is one.
std::string numberProblem(std::string_view text, unsigned max);

// "0x1a": how the command line and the tools print a byte.
std::string hexByte(unsigned value);

}  // namespace device
