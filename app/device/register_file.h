#pragma once
// Register set files: the text the save writes, and the reader that checks a
// whole file before anything of it reaches the chip. Plain C++, shared by the
// program and the command-line tool.
//
// A file is CR LF text: title line, "Saved : <date> at <time>", an empty line,
// the column heading, an empty line, one line per saved register
// (name TAB address TAB value), and one more CR LF after the last line.

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/register_map.h"
#include "fileio/safe_file.h"

namespace device {

struct RegisterValue {
    std::uint8_t address = 0;
    std::uint8_t value = 0;
    friend bool operator==(const RegisterValue&, const RegisterValue&) = default;
};

// ---- writing ---------------------------------------------------------------

// "Saved : 2026-12-08 at 16:21:05" for the given local time.
std::string savedLine(const std::tm& localTime);

// Value column: upper-case hex without leading zeros and "h" (0x05 -> "5h",
// 0x00 -> "0h", 0xA5 -> "A5h").
std::string valueText(std::uint8_t value);

// The file's lines without line ends: the 5 heading lines and one line per
// register of the chip's saved set (17 or 24), in the set's order.
// `readValue(address)` is called once per register, in file order, so the
// chip can be read as the lines are made.
std::vector<std::string> registerFileLines(int deviceId, const std::tm& localTime,
                                           const std::function<std::uint8_t(std::uint8_t)>& readValue);

// The same from address/value pairs; a register missing from `values` is 0h.
std::vector<std::string> registerFileLines(int deviceId, const std::tm& localTime,
                                           std::span<const RegisterValue> values);

// One line of the save window's preview: the name and address without their
// trailing blanks, TAB-aligned under the window's column heading.
std::string registerPreviewLine(const SavedRegister& reg, std::uint8_t value);

// Lines joined by CR LF, with the one further CR LF after the last line.
std::string registerFileText(std::span<const std::string> lines);

// Replaces a file whole, or says why it did not (fileio/safe_file.h).
using fileio::writeFileReplacing;

// ---- reading ---------------------------------------------------------------

// Files larger than this are refused unread: a register file is under 1 KiB.
inline constexpr std::uintmax_t MaxRegisterFileSize = std::uintmax_t{64} * 1024;

struct RegisterFile {
    int titleDeviceId = 0;                 // 0x30 or 0x31, from the title line
    std::vector<RegisterValue> registers;  // in file order, each address once
    bool setup = false;                    // read from a JSON set-up, whose masks fit its variant only
};

struct RegisterFileResult {
    std::optional<RegisterFile> file;  // set when the whole file validated
    std::string error;                 // why not, with the line number (1-based)
    explicit operator bool() const { return file.has_value(); }
};

// Validates the whole text: exact title (either chip), the date line, the two
// empty lines and the column heading, then exactly the title chip's saved set,
// one register per line (name TAB address TAB value, the name and address
// those of the set, the value 0h to FFh), every line ended by CR LF, and
// nothing but empty lines after the last register.
RegisterFileResult parseRegisterFile(std::string_view text);

struct RegisterFileText {
    std::string text;
    std::string error;  // set when the file was refused or could not be read
};

// The text of a file with the checks below, unparsed: for the other formats
// that stand where a register file may (a JSON set-up).
RegisterFileText readRegisterFileText(const std::filesystem::path& path);

// Reads and validates a file, refusing unreadable and oversized ones and
// anything but a regular file (checked on the opened file; a named pipe is
// refused without waiting for a writer).
RegisterFileResult readRegisterFile(const std::filesystem::path& path);

// The writes a recall makes for the connected chip: the file's registers in
// file order, without those the connected chip does not have.
std::vector<RegisterValue> recallWrites(const RegisterFile& file, int connectedDeviceId);

}  // namespace device
