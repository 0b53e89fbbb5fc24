#pragma once
// `fanscope-cli export`: the registration of the command; the exporter
// itself lives in cli/exporter/.

#include <functional>

#include <CLI/CLI.hpp>

#include "target.h"

namespace cli {

// Adds `export` to `parent`; once the line has parsed it sets `action` to run
// the exporter on the chips `target` (and the command's own --address) name.
// Without `withOptions` (a line that does not name it) only its name and
// description.
void addExportCommand(CLI::App& parent, TargetOptions& target, const bool& portGiven, std::function<void()>& action,
                      bool withOptions);

}  // namespace cli
