#pragma once
// A device session: one chip on one medium, handed to a client that keeps
// it. The command-line tool, the Python module, the metrics exporter and the
// fan measurement all reach the chip through it; the specified windows keep
// the register link (register_link.h), and both route by medium through the
// same primitives (bus_route.h), so that choice exists once.
//
// Threads: the library underneath keeps process-wide state (the selected
// printer port, its data sense, the kernel adapter's bus and force) and is
// not reentrant. Every operation below, the probe included, holds the one
// process-wide bus mutex (busMutex()) for its whole length: two sessions used
// from two threads never interleave a transaction, and one session used from
// two threads is serialised. A multi-transfer operation (a masked write, a
// sample) is one unit under that mutex. The mutex is recursive, so a
// callback the probe calls may itself use a session on the same thread.
// The library's event-loop yield hook (vexlink06::setEventLoopYield) runs on
// whatever thread waits; a client that installs one must make it safe there.
//
// Errors: every failure is a SessionError whose kind() a client can map
// (Python exceptions, HTTP status, exit codes). A read never hands back a
// silent 0xFF from a chip that is gone (see Session::Options::confirmAllOnes).

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "device/bus_route.h"
#include "device/conversions.h"
#include "device/fan_speed_tracker.h"
#include "device/register_map.h"

namespace device {

// ---- identity ---------------------------------------------------------------

// How the PC reaches the chip. The values are those the register link's
// Medium field takes (register_link.h), so a session and the windows name a
// medium alike.
enum class Medium : std::uint8_t {
    ChipsetSmbus = 0,   // the motherboard's SMBus through the chipset's host controller
    PrinterPort = 1,    // the evaluation board on a parallel port
    KernelAdapter = 3,  // /dev/i2c-N
};

// "printer port", "chipset SMBus", "kernel adapter"
std::string_view mediumName(Medium medium);

// The two chips of the family, by their Device ID register value.
enum class Variant : std::uint8_t {
    Tfm4410 = static_cast<std::uint8_t>(DeviceIdTFM4410),  // single channel
    Tfm4411 = static_cast<std::uint8_t>(DeviceIdTFM4411),  // dual channel
};

// "TFM4410" / "TFM4411"
std::string_view variantName(Variant variant);
constexpr int deviceId(Variant variant) { return static_cast<int>(variant); }
// nullopt for a value that is no chip of the family.
std::optional<Variant> variantFromDeviceId(int id);

// Where a chip is and what it is. Returned by probe(), taken by Session.
struct ChipLocation {
    Medium medium = Medium::PrinterPort;
    // Printer port: the port index (PortAddressIndex). Kernel adapter: the
    // adapter number N of /dev/i2c-N. Chipset SMBus: -1.
    int port = -1;
    // Printer port: the port's base I/O address (0x378). Otherwise 0.
    std::uint32_t portBase = 0;
    // Printer port: the data sense that answered (true = the standard
    // evaluation board). Otherwise false.
    bool dataInverted = false;
    std::uint8_t address = 0;  // 7-bit (0x2C, 0x2D, 0x2E)
    Variant variant = Variant::Tfm4411;
    // True when the process's own or the shared simulated board answered.
    bool simulated = false;
    // Kernel adapter: the kernel's name of the adapter ("SMBus I801 adapter
    // at efa0"); empty otherwise or when unknown.
    std::string adapterName;
    // Kernel adapter: the address is owned by a kernel driver and is used
    // with force.
    bool forced = false;
};

// "printer port 0 (0x378)", "SMBus", "i2c-1 (SMBus I801 adapter at efa0)"
std::string describeLocation(const ChipLocation& chip);
// "TFM4411 at 0x2e on printer port 0 (0x378)"
std::string chipLine(const ChipLocation& chip);

// ---- errors -----------------------------------------------------------------

enum class ErrorKind {
    NoAcknowledge,     // nobody acknowledged the address or a byte (media that sample it)
    ChipGone,          // the chip no longer reads as the one connected
    NotFound,          // the probe or open found no chip of the family there
    InvalidArgument,   // a register, value, mask, port or address out of range
    PermissionDenied,  // the device node or port refuses this user; group() says whom to join
    DriverOwned,       // a kernel driver owns the address; open with force to use it anyway
    Unavailable,       // the medium cannot be used (no port, controller refused, adapter gone, library missing)
    Bus,               // any other failure the library reported
    // The shared simulated board went away, or came back without the chip
    // (what() names what answers instead), or the kernel adapter went (a USB
    // bridge unplugged). Nothing was sent; the session looks for the board,
    // or the adapter by its name whatever its number, again at its next use
    // and goes on when the same chip answers there.
    BoardLost,
};

// what(): a sentence for the user. For failures the library reported it is
// "Error: <number>, <description>", the form the tools have always printed.
class SessionError : public std::runtime_error {
public:
    SessionError(ErrorKind kind, const std::string& what, std::int32_t number = 0, std::string description = {},
                 std::string group = {})
        : std::runtime_error(what), m_kind(kind), m_number(number), m_description(std::move(description)),
          m_group(std::move(group))
    { }
    ErrorKind kind() const noexcept { return m_kind; }
    // The library's error number; 0 for errors the session raised itself.
    std::int32_t number() const noexcept { return m_number; }
    // The library's description; what() when the session raised it itself.
    const std::string& description() const noexcept { return m_description; }
    // PermissionDenied: the group that owns the device node ("i2c"); may be empty.
    const std::string& group() const noexcept { return m_group; }

private:
    ErrorKind m_kind;
    std::int32_t m_number;
    std::string m_description;
    std::string m_group;
};

// ---- the shared board ----------------------------------------------------------

// Before a transfer: the connection to the shared simulated board that
// serves, after looking for a lost board again (at most once per the link's
// backoff, at most 1 s). Throws BoardLost with the reason it was lost while
// none answers. 1, and never a throw, without a shared board.
std::uint64_t requireBoard();
// After a transfer begun on `connection`: throws BoardLost unless that
// connection still serves, so nothing read from a board that went, or half
// from the next one, is handed on.
void requireSameBoard(std::uint64_t connection);
// "the board answers again, but not with the TFM4411 at 0x2e: a TFM4410
// answers there": what a board reached again has at the chip's 7-bit
// address, from the Device ID read there (none: nobody acknowledged).
std::string returnedWithoutText(Variant expected, std::uint8_t address7, std::optional<std::uint8_t> deviceId);

// ---- the probe ---------------------------------------------------------------

// What to search. Per address the medium's own test is used, as the search
// wizard does it: on the printer port two reads of the Device ID (present if
// the first gave 0x30 or the second 0x31), in both data senses; on the
// chipset SMBus and the kernel adapters one read (0x30 or 0x31).
struct ProbeRequest {
    // The media to search, in this order.
    std::vector<Medium> media{Medium::PrinterPort};
    // Printer port: only this port index (none = every detected port).
    std::optional<int> printerPort;
    // Kernel adapters to search, by number (empty = every adapter this user
    // can open).
    std::vector<int> adapters;
    // With `adapters`: their names (number to name) from a listing the
    // caller made just now. The probe then lists nothing itself: a listing
    // opens every adapter's node.
    std::optional<std::map<int, std::string>> adapterNames;
    // 7-bit address to test (none = the three candidates in search order).
    std::optional<std::uint8_t> address;
    // Stop at the first chip found. The printer port then tries the
    // standard data sense first (a probe in the wrong sense is a wasted
    // transfer); a full search tries the non-inverting sense first, as the
    // wizard does.
    bool stopAtFirst = false;
    // A library failure ends the probe with its SessionError. Otherwise the
    // failed step is skipped, the search goes on and the last failure of
    // each medium is reported in ProbeReport::errors (the wizard's way).
    bool stopOnError = false;
    // Kernel adapters: called for an address a kernel driver owns; true
    // uses it anyway (with force), false skips it. Without a callback such
    // addresses are skipped. Runs under the bus mutex; may throw to end the probe.
    std::function<bool(int adapter, std::uint8_t address, const SessionError& why)> onDriverOwned;
    // Progress: called before each printer port is searched, and before
    // each address on the other media. Runs under the bus mutex.
    std::function<void(Medium medium)> onStep;
};

struct ProbeReport {
    std::vector<ChipLocation> chips;  // in the order found
    // Why a printer port cannot answer (claimed by another program, lines
    // held low), one sentence per port.
    std::vector<std::string> portProblems;
    // The last library failure per medium when !stopOnError.
    struct MediumError {
        Medium medium = Medium::PrinterPort;
        std::int32_t number = 0;
        std::string description;
        int failedReads = 0;  // chipset SMBus: reads that failed
        int reads = 0;        // chipset SMBus: reads made
    };
    std::vector<MediumError> errors;
    // Kernel adapters: addresses skipped because a kernel driver owns them.
    int skippedDriverOwned = 0;
};

// Searches for chips of the family. Leaves the library's printer port and
// kernel adapter selected as the search last left them (a session selects
// its own again before every transfer). Throws SessionError only with
// stopOnError; what the request's callbacks throw passes through.
ProbeReport probe(const ProbeRequest& request);

// The printer-port lines the evaluation board needs held high (bits 6 and
// 7), heaters off. Call once before the first printer-port probe when the
// program's own start-up has not set them; the command-line tool does.
void holdBoardLines();

// ---- transfer counts ---------------------------------------------------------

// Bus transfers by result: one count per register read or write on the wire.
struct TransferCounts {
    std::uint64_t ok = 0;
    std::uint64_t noAck = 0;  // NoAcknowledge and ChipGone
    std::uint64_t error = 0;  // every other failure
};

// Every session's transfers since the process started.
TransferCounts totalTransferCounts();

// ---- readings ----------------------------------------------------------------

// One temperature channel with its limits, as `fanscope-cli monitor` shows it.
struct TemperatureReading {
    TempChannel channel = TempChannel::Local;
    std::string_view key;   // "local", "remote1", "remote2"
    std::string_view name;  // "Local", "Remote1" ("Remote" on the TFM4410), "Remote2"
    // nullopt when `fault`: an open (or shorted) remote diode.
    std::optional<float> celsius;
    int low = 0, high = 0, crit = 0;  // whole degrees
    bool alarm = false;               // a limit bit of the channel is set
    bool fault = false;               // open diode, or the diode error bit
};

// The duty a fan is driven at. Under automatic control the chip has no
// register for it: it is the control law's (chiplaw/) for the temperatures
// read and the settings, and `computed` says so. Otherwise it is Fan Speed
// Configuration's.
struct FanDuty {
    double ratio = 0;  // 0..1
    int percent = 0;   // 0..100
    bool computed = false;
};

struct FanReading {
    int fan = 1;            // 1 or 2
    std::string_view key;   // "fan1", "fan2"
    std::string_view name;  // "Fan1"/"Fan2" ("Fan" on the TFM4410)
    int rpm = 0;            // 0 for a stopped fan or no speed
    TachReading tach;       // the count and its divisor: tach.overflow() for a count at its maximum
    int minRpm = 0;         // the tach limit as a speed
    int dutyPercent = 0;    // duty.percent
    FanDuty duty;
    bool alarm = false;
};

// Exactly what one line of `fanscope-cli monitor --json` holds.
struct Sample {
    std::string time;  // local time, "2026-12-09T16:32:27"
    Variant variant = Variant::Tfm4411;
    std::uint8_t address = 0;                      // 7-bit
    std::string board;                             // "hardware", "simulated board (default configuration)", ...
    std::vector<TemperatureReading> temperatures;  // local, remote1[, remote2]
    std::vector<FanReading> fans;                  // fan1[, fan2]
    std::uint8_t status1 = 0, status2 = 0;         // Interrupt Status 1 and 2 (read last: they clear)
    std::vector<std::string> alarms;               // names of the alarm bits set
};

// The JSON line `fanscope-cli monitor --json` prints, without the line end.
std::string sampleJson(const Sample& sample);

// The quick pass `fanscope-cli monitor --csv` and `--line` print:
// temperatures, fan speeds, duties and status, without limits.
struct Readings {
    std::string time;
    // local, remote1[, remote2]; the decoded value even for an open diode
    // (-128 and the fraction), with openDiode telling.
    struct Temperature {
        TempChannel channel = TempChannel::Local;
        float celsius = 0;
        bool openDiode = false;
        std::optional<float> value() const { return openDiode ? std::nullopt : std::optional<float>(celsius); }
    };
    std::vector<Temperature> temperatures;
    std::vector<int> fanRpm;  // fan1[, fan2]
    std::vector<TachReading> fanTach;
    std::vector<int> dutyPercent;  // pwm1[, pwm2], as FanDuty::percent
    std::uint8_t status1 = 0, status2 = 0;
    std::vector<std::string> alarms;
};

// ---- the write log -----------------------------------------------------------

// One completed register write through a session.
struct WriteEvent {
    ChipLocation chip;
    std::uint8_t reg = 0;
    std::optional<std::uint8_t> before;  // the value the session last read or wrote there, if any
    std::uint8_t after = 0;
};
using WriteObserver = std::function<void(const WriteEvent&)>;

// ---- the session -------------------------------------------------------------

class Session {
public:
    struct Options {
        // On a medium that does not sample acknowledges (the printer port,
        // the chipset SMBus), a read that gives 0xFF is followed by a read of
        // the Device ID; when that no longer reads as the connected chip's,
        // the read throws ChipGone instead of handing the 0xFF on. A value
        // the register can never hold throws ChipGone at once. Off: every
        // read is exactly one transfer (the command-line tool confirms its
        // batches itself).
        bool confirmAllOnes = true;
        // Report reads and writes to the process-wide write log
        // (write_log.h): the command-line tool's undo groups. That log is
        // not locked; only a client that uses sessions from one thread may
        // turn this on.
        bool processWriteLog = false;
        // Printer port: keep the port claimed between transfers (one claim
        // for the whole session, released by the destructor) rather than
        // per transfer.
        bool holdPort = false;
    };

    // A session on a chip the probe found; no transfer.
    explicit Session(ChipLocation chip);
    Session(ChipLocation chip, Options options);

    // Probes exactly that place and returns a session on the chip there.
    // port: printer-port index or kernel adapter number (ignored on the
    // chipset SMBus). address: 7-bit. force: kernel adapters, use an address
    // a kernel driver owns. Throws NotFound, DriverOwned, PermissionDenied,
    // Unavailable, InvalidArgument.
    static Session open(Medium medium, int port, std::uint8_t address, bool force = false);
    static Session open(Medium medium, int port, std::uint8_t address, bool force, Options options);

    ~Session();
    Session(Session&& other) noexcept;
    Session& operator=(Session&& other) noexcept;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // ---- identity (no transfer) ----
    const ChipLocation& location() const;
    Medium medium() const { return location().medium; }
    int port() const { return location().port; }
    std::uint8_t address() const { return location().address; }
    Variant variant() const { return location().variant; }
    bool dualChannel() const { return variant() == Variant::Tfm4411; }
    bool simulated() const { return location().simulated; }
    // "hardware", "simulated board (default configuration)", "simulated
    // board (FILE)", "simulated board (shared, SOCKET)"
    std::string backEnd() const;
    const Options& options() const;

    // ---- registers ----
    // One byte from register `reg`. Throws NoAcknowledge, ChipGone, Bus...
    std::uint8_t read(std::uint8_t reg);
    // One byte write; no read-back. Reported to the write observer once done.
    void write(std::uint8_t reg, std::uint8_t value);
    // Reads the register, writes (old & ~mask) | (value & mask) and returns
    // the old value, as one unit under the bus mutex. The Device ID is read
    // between the two (the chip must still be the one connected, or the
    // other bits written back would be a gone chip's 0xFF): ChipGone.
    std::uint8_t writeMasked(std::uint8_t reg, std::uint8_t value, std::uint8_t mask);

    // ---- presence ----
    // Reads the Device ID: true while it reads as the connected chip's.
    // Library failures propagate.
    bool present();
    // Throws ChipGone ("the chip at 0x2E no longer answers") unless present().
    void requirePresent();

    // ---- readings ----
    // nullopt for an open remote diode. Reads Extra Resolution, then the
    // channel's high byte. Remote2 on the TFM4410: InvalidArgument.
    std::optional<float> temperature(TempChannel channel);
    // RPM of fan 1 or 2 (0 when stopped or slower than its divisor
    // measures); reads its characteristics and tach.
    int fanRpm(int fan);
    // The count behind it, with the divisor in force for it.
    TachReading fanTach(int fan);
    // Duty in percent of fan 1 or 2 from Fan Speed Configuration (the
    // minimum duty under automatic control; sample() has the driven one).
    int dutyPercent(int fan);
    // Names of the alarm bits now set; reading clears them on the chip.
    std::vector<std::string> alarms();
    // The quick pass; confirms presence at its end (ChipGone).
    Readings readings();
    // The full sample of `monitor --json`; confirms presence at its end.
    Sample sample();

    // ---- the write log and counts ----
    // Called after every completed write of this session (under the bus
    // mutex, on the writing thread; it must not use the bus). An empty
    // function removes it.
    void setWriteObserver(WriteObserver observer);
    // This session's transfers.
    TransferCounts transferCounts() const;

    // For clients that need several operations as one unit (a read-modify-
    // write of their own): hold this lock around them.
    static BusMutex& busMutex();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace device
