// Command-line options, read before the window system starts so that
// --help and --version work without a display and --hardware takes effect
// before the library is first touched.
#pragma once

#include <string>
#include <vector>

namespace shell {

struct Options {
    bool hardware = false;
    bool help = false;
    bool version = false;
    std::string simConfig;
    std::string error;                // non-empty: the options were not understood
    std::vector<std::string> passOn;  // arguments left for the window system
};

Options parseOptions(int argc, const char* const* argv);
std::string usageText();
std::string versionText();

// What to say when there is no display. `programDir` is the folder of the
// running program; in a build tree the advice names the build's own commands,
// otherwise the installed programs.
std::string noDisplayText(const std::string& programDir);
bool inBuildTree(const std::string& programDir);

// Exports the platform choices the library and the simulated board read at
// their first use.
void applyEnvironment(const Options& options);

// "Simulated board (default configuration)" or "Simulated board (FILE)" while
// the simulated board serves the bus, "" on a real back-end: what the windows
// show so that a simulated board never passes for hardware. Valid after
// applyEnvironment.
std::string simulatedBoardText();

}  // namespace shell
