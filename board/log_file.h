// fanscope-board's log file when it runs in the background. It writes two
// lines per client, and a board kept busy runs for weeks, so the file is
// kept small: before a line that would take it past the limit it becomes
// FILE.1 (replacing the older one) and a new FILE starts with that line. At
// most twice the limit stays on disk, and the newest line is always in FILE.
#pragma once
#include <cstddef>
#include <optional>
#include <string>

namespace board {

inline constexpr std::size_t DefaultLogLimit = 256 * 1024;

// Sends stdout and stderr to `path` (appended, mode 0600) from now on and
// keeps it under `limitBytes` as above; the reason when it cannot be opened.
// Lines written to stdout are checked as they are written; stderr, written
// to only for a failure, follows the same file.
std::optional<std::string> logTo(const std::string& path, std::size_t limitBytes);

}  // namespace board
