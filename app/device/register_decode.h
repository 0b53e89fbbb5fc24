#pragma once
// Register values in words, as `fanscope-cli dump` and the Python module's
// Chip.decode show them: the fields of each register by its bit names, and
// temperatures, speeds and duties where the register holds one.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/register_map.h"

namespace device {

// One decoded field: "Divisor(N)" = "8", "Temperature" = "25.75 °C".
struct Field {
    std::string name;
    std::string value;
};

// The registers a decoding needs besides the register itself (Extra
// Resolution for temperatures, Fan Characteristics for speeds).
using RegisterReader = std::function<std::uint8_t(std::uint8_t address)>;

// Fields of a register value for the connected chip.
std::vector<Field> decodeRegister(const RegisterEntry& entry, std::uint8_t value, int deviceId,
                                  const RegisterReader& read);

}  // namespace device
