#pragma once
// The choice of back-end from the command line, shared by the program and
// the command-line tool: --hardware selects the Linux back-end, --sim-config
// the simulated board's file, and VEXLINK06_PLATFORM stays for the
// library's own clients. Both tools refuse --hardware with --sim-config
// before they get here.

#include <string>

namespace device {

// A back-end other than the simulated board that VEXLINK06_PLATFORM
// selects; empty when it is unset, empty or "sim".
std::string environmentPlatform();

// Whether the simulated board serves the process: VEXLINK06_PLATFORM unset,
// empty or "sim".
bool simulatedBackEnd();

// The usage error when --sim-config asks for the simulated board while the
// variable selects another back-end; empty when nothing conflicts.
std::string backEndConflict(bool hardware, const std::string& simConfig);

// Sets the variables the options chose and returns the warning for a real
// back-end the user did not ask for here ('using the back-end "X" that
// VEXLINK06_PLATFORM selects'), empty when there is none. Must run before
// anything touches the library.
std::string applyBackEndChoice(bool hardware, const std::string& simConfig);

}  // namespace device
