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

// Whether the platform is the simulated board's (the process's own or the
// shared one).
bool simulatedPlatform();

// Why the simulated board cannot start on the configuration file at `path`
// ("simulated board configuration: ..."), or "": checked before anything
// starts, as the board would end the process on it. "" on hardware.
std::string boardConfigurationProblem(const std::string& path);

// Why the shared simulated board no longer serves this process (it went
// away or stopped answering), one sentence; "" while it serves or while the
// process has a board of its own.
std::string sharedBoardProblem();

// Board seconds per real second: a simulated board's timeScale (the
// process's own, or the shared board's as it told this process when it
// connected), 1 on hardware and from a board that does not say.
double boardTimeScale();

// Why a measurement told that the board runs `given` board seconds per real
// second may not run on this board: it says it runs at another pace. ""
// when it does not say (hardware) or agrees.
std::string timeScaleMismatch(double given);

}  // namespace device
