#pragma once
// Which back-end serves the bus, as results name it, so that a simulated
// board never passes for hardware. Shared by the program and the CLI; read
// from the environment the options have set.

#include <optional>
#include <string>

namespace device {

// "default configuration" or the configuration file while the simulated
// board serves the bus; nothing on a real back-end.
std::optional<std::string> simulatedBoardConfiguration();

}  // namespace device
