#pragma once
// Which chip the command talks to: the platform choice, the medium, the
// search for the chip (the device layer's probe, which the wizard's result
// list uses too) and the device session the commands then work through.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/chip_presence.h"
#include "device/device_session.h"

namespace cli {

// A command that ran and failed: exit status 1, message on stderr.
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A simulated board configuration that cannot be used: exit status 2, as
// the board itself ends a process that reads it.
class ConfigurationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An argument that makes no sense: exit status 2 with a usage line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// KernelAdapter: the kernel's I2C/SMBus adapters; FoundChip::port is then
// the adapter number.
enum class Medium { Printer, Smbus, KernelAdapter };

struct TargetOptions {
    Medium medium = Medium::Printer;
    std::string bus;                      // kernel adapter: number or name ("" = every adapter)
    bool force = false;                   // kernel adapter: use an address a driver owns
    bool assumeYes = false;               // do not ask before forcing
    int port = 0;                         // printer port index
    std::optional<std::uint8_t> address;  // 7-bit; none = first chip found
    bool hardware = false;
    std::string simConfig;
};

struct FoundChip {
    Medium medium = Medium::Printer;
    int port = -1;               // printer port index, -1 on the chipset bus
    std::uint32_t portBase = 0;  // printer port base address
    bool inverted = true;        // the adapter's data sense that answered
    std::uint8_t address = 0;    // 7-bit
    int deviceId = 0;
};

// Chooses the platform and the simulated board's configuration. Must run
// before anything touches the library or the simulator.
void preparePlatform(const TargetOptions& options);

// Whether the commands run against the in-process simulated board.
bool onSimulatedBoard();

// The back-end as results name it, so a simulated board never passes for
// hardware: "simulated board (default configuration)", "simulated board
// (FILE)" or "hardware". Valid once preparePlatform has run.
std::string backEndText();

// Probes the three candidate addresses on the chosen medium, in the search
// order: on the printer port every detected port (or only --port when given)
// with the standard and then the non-inverting data sense.
std::vector<FoundChip> detectChips(const TargetOptions& options, bool portGiven);

// Finds the chip the options name and opens the device session on it.
// Throws Failure when there is none.
FoundChip connect(const TargetOptions& options);

// The session connect() opened; Failure before.
device::Session& session();

// Reads through the session and confirms the batch at its end (the chip
// still answers, no value was impossible). On a kernel adapter the reads'
// own acknowledges say that the chip answered.
device::AnswerWatch answerWatch();

// The command line's chip as the device layer found it.
FoundChip foundChip(const device::ChipLocation& chip);
device::Medium deviceMedium(Medium medium);

// "printer port 0 (0x378)" / "SMBus"
std::string describe(const FoundChip& chip);

// Called when connect() has found its chip, before the command's own transfers.
void setConnectedHook(std::function<void(const FoundChip&)> hook);

// Ends what connect() began (the kept port claim, the session).
void disconnect();

// A command that has told the user the shared board is away (the monitor
// goes on through a loss) sets this, so the program's end does not say it
// again.
void setLossSaid(bool said);
bool lossSaid();

}  // namespace cli
