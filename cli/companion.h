#pragma once
// The parts only a few commands need, export's HTTP server (with the TLS
// and compression libraries it pulls in), characterize's Qt plot and the
// thermal loop's fit (the maths library), would cost every other command
// most of its start. fanscope-cli leaves them out and
// hands those command lines, before it touches anything, to its companion
// fanscope-cli-full: the same program with them linked in.

#include <string>

namespace cli {

// Marks the parsed line for the companion; `what` names the command for
// the message when the companion is missing.
void handToCompanion(const std::string& what);

bool handedToCompanion();

// Runs the companion on the same arguments in this process's place. Returns
// only when it cannot be run: exit status 1, with the message printed.
int runCompanion(char** argv);

}  // namespace cli
