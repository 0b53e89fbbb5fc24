#pragma once
// `fanscope-cli characterize`: the fan measurement of the device layer with
// a progress bar, JSON/CSV output and a plot file.

#include <csignal>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/device_session.h"

namespace CLI {
class App;
}

namespace cli {

struct TargetOptions;
struct FoundChip;

// A measurement that SIGINT or SIGTERM ended (after restoring the chip):
// the process exits with 128 + the signal, as a shell expects.
struct Interrupted {
    int signal = 0;
};

// SIGINT and SIGTERM end a measurement between two readings rather than
// the process, so the chip gets its registers back; the previous handlers
// return afterwards.
class SignalGuard {
public:
    SignalGuard();
    ~SignalGuard();
    SignalGuard(const SignalGuard&) = delete;
    SignalGuard& operator=(const SignalGuard&) = delete;

private:
    struct sigaction m_int { };
    struct sigaction m_term { };
};
// The signal caught since the last guard began; 0 for none.
int caughtSignal();

// The session's view of a chip the command line found.
device::ChipLocation locationOf(const FoundChip& found);
// "Configuration 1 (00h), Fan Speed Configuration (22h)"
std::string registerList(const std::vector<std::uint8_t>& regs);
// --plot FILE: a usage error unless FILE names .svg or .png, or when this
// build draws no plots.
void checkPlotName(const std::string& path);
// Runs `draw` inside a Qt application on the offscreen platform (the tool
// opens no window and needs no display); a text it returns fails the
// command. Does nothing in a build without the plots (checkPlotName has
// refused the option there).
void drawPlot(const std::function<std::string()>& draw);
// Board seconds per real second: `given` when above 0, else the process's
// own simulated board's, else 1.
double boardTimeScale(double given);

// Adds the command to `parent`; its run goes into `action` once the line has
// parsed, like the other commands. Without `withOptions` (a line that does
// not name it) only its name and description.
void addCharacterizeCommand(CLI::App& parent, TargetOptions& target, std::function<void()>& action, bool withOptions);

}  // namespace cli
