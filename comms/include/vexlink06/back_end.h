// Which back-end answers the library's calls, and what a client may ask of
// the simulated board: its description, why a shared board was lost, the
// check of a configuration file, a wire capture and a bus trace. Programs
// ask here instead of linking or loading the simulator; the library loads
// it, from its own folder, only with the `sim` platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vexlink06/export.h"

namespace vexlink06::backend {

// The platform implementation VEXLINK06_PLATFORM selects ("sim" when unset
// or empty, "linux"), or "" for a name the library refuses (every load then
// fails with error 48).
VEXLINK06_API std::string platformName();

// Whether the simulated board serves: the platform is `sim`.
VEXLINK06_API bool simulated();

// What serves the bus as results name it, so a simulated board never passes
// for hardware: the configuration file or "default configuration" while the
// process's own simulated board serves, "shared, SOCKET" while the shared
// board does; nothing on a real back-end.
VEXLINK06_API std::optional<std::string> simulatedBoard();

// Whether the shared simulated board (fanscope-board) serves this process
// rather than a board of its own.
VEXLINK06_API bool sharedBoard();

// Simulated seconds per real second of the simulated board that serves (its
// `timeScale`): the process's own, or the shared board's as it told this
// process when it connected; nothing on a real back-end or from a shared
// board that does not say.
VEXLINK06_API std::optional<double> boardTimeScale();

// Why the shared simulated board no longer serves this process (it went
// away or stopped answering), one sentence; "" while it serves, on the
// process's own board and on a real back-end.
VEXLINK06_API std::string lostBoardReason();

// The number of the shared board's connection that serves now, 0 while the
// board is lost: a transfer made between two equal numbers reached one board
// whole. With `reconnect` a lost board is first looked for again (at most
// once per the link's backoff, itself at most 1 s). Always 1 on the
// process's own board and on a real back-end, which have no such link.
VEXLINK06_API std::uint64_t boardConnection(bool reconnect);

// Why the simulated board cannot start on the configuration file at `path`
// ("simulated board configuration: ..."), or "" when it can. The board
// would end the process on such a file; checking first lets a program say
// so before anything starts. "" on a real back-end.
VEXLINK06_API std::string configurationProblem(const std::string& path);

// ---- Wire capture: SCL and SDA of one bus as a Value Change Dump ----------

// Whether captures can be made: the process's simulator is loaded.
VEXLINK06_API bool captureAvailable();

// Starts capturing the bus of the printer port at `portBase`, or of the
// motherboard SMBus when `portBase` is 0, dropping any capture running.
// False when there is no such bus, or the wires are in another process
// (the shared board).
VEXLINK06_API bool beginCapture(std::uint32_t portBase);

struct Capture {
    std::string vcd;
    bool truncated = false;  // the size limit was reached: it holds the beginning
};

// Ends the capture; nothing when none was running.
VEXLINK06_API std::optional<Capture> endCapture();

// ---- Bus trace: the decoded events of every bus of the process's board ----

struct TraceEvent {
    enum class Kind { Start, RepeatedStart, Stop, Byte, Partial };
    Kind kind = Kind::Byte;
    std::uint8_t value = 0;  // Byte
    bool ack = false;        // Byte: SDA low at the ninth clock
    int bits = 0;            // Partial: clocks seen before a start or stop cut the byte
    std::string by;          // the drivers that pulled SDA low for the data bits
};

struct BusTrace {
    int port = -1;               // printer port index; -1 the motherboard SMBus or an adapter's own bus
    std::uint32_t portBase = 0;  // printer port address
    int adapter = -1;            // the kernel adapter on this bus (i2c-N), -1 for none
    std::vector<TraceEvent> events;
};

// Clears and starts the trace of every bus of the process's own simulated
// board. False when there is none to trace (a real back-end, or the shared
// board, whose wires are in another process).
VEXLINK06_API bool beginTrace();
// Forgets what was traced so far; the trace goes on.
VEXLINK06_API void clearTrace();
// Stops the trace: every bus, the printer ports first, then the SMBus, then
// the kernel adapters' own buses.
VEXLINK06_API std::vector<BusTrace> endTrace();

}  // namespace vexlink06::backend
