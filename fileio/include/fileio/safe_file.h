#pragma once
// Files the user names, read and written so that nothing is lost and no
// special file is touched: a reader that never opens a device or waits on a
// pipe and stops at a size limit, and a writer that replaces a file whole.
// Shared by the simulator's configuration and the program's files.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace fileio {

// "a folder", "a named pipe", "a character device", ... for what is not a
// regular file.
std::string_view fileKind(mode_t mode);

enum class ReadFailure { None, NotRegular, CannotOpen, CannotRead, TooLarge };

struct ReadOutcome {
    std::string text;
    ReadFailure failure = ReadFailure::None;
    mode_t mode = 0;  // NotRegular: what the file is (for fileKind)
    int error = 0;    // CannotOpen, CannotRead: the errno
    explicit operator bool() const { return failure == ReadFailure::None; }
};

// The whole of a regular file of at most `maxSize` bytes. Callers word the
// failure in their own terms.
ReadOutcome readRegularFile(const std::filesystem::path& path, std::size_t maxSize);

// Replaces the file at `path` (through a symbolic link, its target) with
// `content` as a whole: a temporary file beside it, synced, then renamed over
// it, keeping an existing file's owner and mode. Refuses special files and
// files with several names. Returns "" or one sentence saying why nothing
// was written; the old contents are then as they were.
std::string writeFileReplacing(const std::filesystem::path& path, std::string_view content);

}  // namespace fileio
