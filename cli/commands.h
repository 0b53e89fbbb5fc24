#pragma once
// The commands of fanscope-cli. Each writes its result on stdout and throws
// Failure (exit 1) or UsageError (exit 2).

#include <functional>
#include <string>

#include "target.h"

namespace cli {

void runDetect(const TargetOptions& options, bool portGiven);
void runGet(const TargetOptions& options, const std::string& reg);
void runSet(const TargetOptions& options, const std::string& reg, const std::string& value, bool assumeYes,
            bool readBack);
void runDump(const TargetOptions& options);

struct MonitorOptions {
    double interval = 1.0;  // seconds
    int count = 0;          // 0 = until interrupted
    bool csv = false;
};
void runMonitor(const TargetOptions& options, const MonitorOptions& monitor);

void runSave(const TargetOptions& options, const std::string& path);
// With dryRun the differences are printed and nothing is written.
void runRecall(const TargetOptions& options, const std::string& path, bool dryRun = false);

// Thrown by runDiff when file and chip differ: exit status 1 with nothing
// on stderr, as diff does.
struct Differences { };
// Prints the registers whose file value differs from the chip's.
void runDiff(const TargetOptions& options, const std::string& path);

// Runs a command on the simulated board and prints the decoded trace of
// its bus transfers after the command's own output. The search for the chip
// that a command begins with stays out of the trace.
// With `vcdPath`, also writes the wires of the connected chip's bus (SCL,
// SDA and, on a printer port, the port's data and status registers) as a
// Value Change Dump, from the connection to the end of the command.
void runTraced(const std::function<void()>& command, const std::string& vcdPath = {});

}  // namespace cli
