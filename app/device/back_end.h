#pragma once
// Which back-end serves the bus, as results name it, so that a simulated
// board never passes for hardware. Shared by the program and the CLI; the
// library answers (vexlink06/back_end.h) from the environment the options
// have set.

#include <optional>
#include <string>

namespace device {

// "default configuration" or the configuration file while the process's own
// simulated board serves the bus, "shared, SOCKET" while the shared board
// does; nothing on a real back-end.
std::optional<std::string> simulatedBoardConfiguration();

// Why the shared simulated board no longer serves this process (it went
// away or stopped answering), one sentence; "" while it serves or while the
// process has a board of its own.
std::string sharedBoardProblem();

}  // namespace device
