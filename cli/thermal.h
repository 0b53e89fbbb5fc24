#pragma once
// `fanscope-cli identify` and `fanscope-cli tune`: a remote channel's
// thermal loop measured through the bus, and automatic-control settings
// chosen, applied and checked for a temperature target.

#include <functional>

namespace CLI {
class App;
}

namespace cli {

struct TargetOptions;

// Adds both commands to `parent`, with their options only where the line
// names them, like the characterisation.
void addThermalCommands(CLI::App& parent, TargetOptions& target, std::function<void()>& action, bool identifyOptions,
                        bool tuneOptions);

}  // namespace cli
