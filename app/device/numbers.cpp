#include "device/numbers.h"

#include <cstdio>

namespace device {

ParsedNumber readNumber(std::string_view text, unsigned max)
{
    std::string_view digits = text;
    unsigned base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    } else if (digits.size() > 1 && (digits.back() == 'h' || digits.back() == 'H')) {
        base = 16;
        digits.remove_suffix(1);
    }
    if (digits.empty())
        return {};
    unsigned long long v = 0;
    bool tooLarge = false;
    for (const char c : digits) {
        const int digit = hexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            return {};
        // Keep reading once too large: a later bad character still makes it malformed.
        if (!tooLarge)
            v = v * base + static_cast<unsigned>(digit);
        tooLarge = tooLarge || v > max;
    }
    if (tooLarge)
        return {NumberForm::TooLarge, 0};
    return {NumberForm::Good, static_cast<unsigned>(v)};
}

std::optional<unsigned> parseNumber(std::string_view text, unsigned max)
{
    const ParsedNumber n = readNumber(text, max);
    if (n.form != NumberForm::Good)
        return std::nullopt;
    return n.value;
}

std::string numberProblem(std::string_view text, unsigned max)
{
    switch (readNumber(text, max).form) {
    case NumberForm::Good: return {};
    case NumberForm::TooLarge: {
        char limit[16];
        (void)std::snprintf(limit, sizeof limit, max > 0xFF ? "0x%04x" : "0x%02x", max);
        return "is more than " + std::string(limit);
    }
    case NumberForm::Malformed: break;
    }
    return "is not a number (give 0x1a, 26 or 1Ah)";
}

std::string hexByte(unsigned value)
{
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%02x", value & 0xFFU);
    return text;
}

}  // namespace device
