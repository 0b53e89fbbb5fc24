// The "faults" list of a port in the configuration file, read and written
// apart from the rest of the reader.
#pragma once
#include <nlohmann/json.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/faults.h"

namespace sim {

// A chip address as the file gives it: the 7-bit form (0x2C, 0x2D, 0x2E), as
// the command line takes it, or the 8-bit form older files use (0x58, 0x5A,
// 0x5C). Returns the 8-bit form the board keeps; 0 for anything else.
constexpr std::uint8_t chipAddressByte(long long a)
{
    if (a == 0x2C || a == 0x2D || a == 0x2E)
        return static_cast<std::uint8_t>(a << 1);
    return a == 0x58 || a == 0x5A || a == 0x5C ? static_cast<std::uint8_t>(a) : 0;
}
inline constexpr const char* ChipAddressForms =
    "is not one of 0x2C, 0x2D, 0x2E (or their 8-bit forms 0x58, 0x5A, 0x5C)";

// Throws ConfigError naming the field (path as in the file, "ports[0].faults[1].toMs").
std::vector<FaultConfig> parseFaults(const nlohmann::json& list, const std::string& path);
nlohmann::json faultsJson(const std::vector<FaultConfig>& faults);

}  // namespace sim
