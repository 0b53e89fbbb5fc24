#pragma once
// A chip's configuration as code for the user's own product: a C header, a
// POSIX shell script of i2c-tools calls, an smbus2 script and JSON. What goes
// in is the register file's set (the registers that configure the chip and
// keep their value), each value masked to the bits the chip keeps
// (keptBits), in an order that is safe on a running chip. Shared by the
// command line, the Python module and the window.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "device/bus_journal.h"
#include "device/register_file.h"

namespace device {

enum class SetupFormat { C, Shell, Python, Json };

// "c", "sh", "python", "json"; nullopt for any other name.
std::optional<SetupFormat> setupFormat(std::string_view name);
std::string_view setupFormatName(SetupFormat format);
// The usual file name ending: ".h", ".sh", ".py", ".json".
std::string_view setupFileSuffix(SetupFormat format);

struct SetupWrite {
    std::uint8_t reg = 0;
    std::uint8_t value = 0;  // already masked
    std::uint8_t mask = 0;   // the bits a read-back compares
    friend bool operator==(const SetupWrite&, const SetupWrite&) = default;
};

struct SetupPlan {
    int deviceId = 0;
    std::vector<SetupWrite> writes;  // in the safe order
    std::string error;               // one sentence when the source cannot be expressed
    explicit operator bool() const { return error.empty(); }
};

// Orders and masks a register set: exactly the saved set of the variant,
// each register once. Refused (error set, no writes) for another set, and
// for a value with bits the chip cannot hold, since code from it would leave
// a chip that differs from its source.
//
// The order: the channel, PWM and tach enables first; the offsets before
// the limits that compare corrected readings; each fan's divisor before the
// tach limit counted in it; the limits before the Tmin/Trange, filter and
// duty settings, and before the therm-to-fan bit that acts on the therm
// limits; Configuration 1, which enables the alarms and starts automatic
// control, last.
SetupPlan planSetup(int deviceId, std::span<const RegisterValue> values);

struct SetupHeader {
    std::string program;     // "fanscope-cli 1.4.0": named in every output
    std::string source;      // "file tuned.reg", "the TFM4411 at 0x2e"
    std::uint8_t address{};  // 7-bit
    int defaultBus = 1;      // the scripts' bus when none is given
    std::string time;        // JSON only: ISO 8601, UTC
};

// The saved set of the variant as read from a chip, `read` called once per
// register in the set's order.
std::vector<RegisterValue> readSetupSource(int deviceId, const std::function<std::uint8_t(std::uint8_t)>& read);

// The header's source for a chip: "the TFM4411 at 0x2e".
std::string chipSourceText(int deviceId, std::uint8_t address);

// The text of one output. The plan must be valid.
std::string setupText(SetupFormat format, const SetupPlan& plan, const SetupHeader& header);

// "2026-12-10T18:40:00Z" for the given time.
std::string isoTime(std::time_t time);

// ---- reading the JSON back -------------------------------------------------

struct SetupFile {
    int deviceId = 0;
    std::uint8_t address = 0;
    std::vector<SetupWrite> writes;  // in the file's order, checked against the plan
};

struct SetupFileResult {
    std::optional<SetupFile> file;
    std::string error;
    explicit operator bool() const { return file.has_value(); }
};

// Validates a JSON set-up: the header's variant, and exactly the writes the
// plan of its values gives (registers, masks, values within their masks).
SetupFileResult parseSetupJson(std::string_view text);

// A register file or a JSON set-up, told apart by the first character that
// is not white space. A JSON set-up is given as a register file of its
// variant with the writes in the set-up's order.
RegisterFileResult readRegisterSet(const std::filesystem::path& path);

// ---- replays ---------------------------------------------------------------

// One step of a replay: a write, or a read whose value is compared in `mask`.
struct ReplayStep {
    bool write = false;
    std::uint8_t reg = 0;
    std::uint8_t value = 0;
    std::uint8_t mask = 0xFF;
};

struct Replay {
    int deviceId = 0;
    std::vector<ReplayStep> steps;
};

struct ReplayResult {
    std::optional<Replay> replay;
    std::string error;
    explicit operator bool() const { return replay.has_value(); }
};

// A recording ({"header": {"variant": ...}, "steps": [{"op": "write" or
// "read", "register", "value", "mask" (reads, optional)}, ...]}) or a JSON
// set-up, whose writes are each followed by their read-back. Writes go only
// to registers the register panel writes, on the header's variant.
ReplayResult parseReplayJson(std::string_view text);

// What a bench session recorded in the bus journal, as a replay: the
// successful byte writes to the chip at `address` (7-bit) in their order, and
// a read as a check where it tells something new: the first read of a
// register, and the first after a write to it, compared in the bits the chip
// keeps (keptBits). Reads of measured and status registers, which a replay
// cannot expect to match, other transfers and other addresses are left out.
Replay replayFromJournal(const std::deque<JournalEntry>& entries, int deviceId, std::uint8_t address);

// The recording as a file in the given format (sh, python, json): the writes
// in order, each read a check that stops the script (json: listed) when the
// chip reads otherwise.
std::string replayText(SetupFormat format, const Replay& replay, const SetupHeader& header);

}  // namespace device
