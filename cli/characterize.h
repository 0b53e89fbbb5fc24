#pragma once
// `fanscope-cli characterize`: the fan measurement of the device layer with
// a progress bar, JSON/CSV output and a plot file.

#include <functional>

namespace CLI {
class App;
}

namespace cli {

struct TargetOptions;

// A measurement that SIGINT or SIGTERM ended (after restoring the chip):
// the process exits with 128 + the signal, as a shell expects.
struct Interrupted {
    int signal = 0;
};

// Adds the command to `parent`; its run goes into `action` once the line has
// parsed, like the other commands. Without `withOptions` (a line that does
// not name it) only its name and description.
void addCharacterizeCommand(CLI::App& parent, TargetOptions& target, std::function<void()>& action, bool withOptions);

}  // namespace cli
