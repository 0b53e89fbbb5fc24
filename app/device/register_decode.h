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

// What a decoded field holds, for programs that use the value rather than
// show it.
enum class FieldKind {
    Integer,  // a count, code or whole unit: `number`
    Real,     // a measurement with a fraction (°C): `number`
    Flag,     // one bit: `number` is 0 or 1
    Choice,   // an entry of a fixed table: the code in `number`, its name in `choice`
    None,     // nothing measurable (a speed the count does not give)
};

// One decoded field: "Divisor(N)" = "8", "Temperature" = "25.75 °C".
struct Field {
    std::string name;
    std::string value;  // as dump shows it
    FieldKind kind = FieldKind::Integer;
    double number = 0;
    std::string choice;  // Choice: "23.4 Hz", "20 %", "TFM4411"
};

// The registers a decoding needs besides the register itself (Extra
// Resolution for temperatures, Fan Characteristics for speeds).
using RegisterReader = std::function<std::uint8_t(std::uint8_t address)>;

// Fields of a register value for the connected chip.
std::vector<Field> decodeRegister(const RegisterEntry& entry, std::uint8_t value, int deviceId,
                                  const RegisterReader& read);

}  // namespace device
