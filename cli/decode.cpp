#include "decode.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "device/conversions.h"
#include "device/numbers.h"

namespace cli {

std::string hexByte(unsigned value) { return device::hexByte(value); }

bool looksNumeric(const std::string& text) { return !text.empty() && text[0] >= '0' && text[0] <= '9'; }

// The command line's rule on top of the one parser: a number begins with a
// digit, so "FFh" stays a malformed number rather than a register name.
std::optional<unsigned> parseNumber(const std::string& text, unsigned max)
{
    return looksNumeric(text) ? device::parseNumber(text, max) : std::nullopt;
}

std::string numberProblem(const std::string& text, unsigned max)
{
    return device::numberProblem(looksNumeric(text) ? std::string_view(text) : std::string_view("?"), max);
}

std::string temperatureText(float celsius) { return device::temperatureText(celsius); }

std::vector<std::string> alarmNames(std::uint8_t status1, std::uint8_t status2, int deviceId)
{
    return device::alarmNames(status1, status2, deviceId);
}

}  // namespace cli
