#pragma once
// The commands of fanscope-cli. Each writes its result on stdout and throws
// Failure (exit 1) or UsageError (exit 2).

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "target.h"

namespace cli {

void runDetect(const TargetOptions& options, bool portGiven);
void runGet(const TargetOptions& options, const std::string& reg);
// Asks on stderr; true only for an answer of y or yes.
bool confirm(const std::string& question);
// "TFM4411 at 0x2e on printer port 0 (0x378)"
std::string chipLine(const FoundChip& chip);

// A number argument up to max in any form parseNumber takes; UsageError
// naming `what` ("value '0x1FF' is more than 0xff") otherwise.
unsigned numberArgument(const std::string& what, const std::string& text, unsigned max);

// --address: a 7-bit address (0x03..0x77). The chip's 8-bit forms (0x58..0x5d)
// are refused with the 7-bit address they stand for.
std::uint8_t sevenBitAddressArgument(const std::string& text);

// With a mask, only the mask's bits change: the others keep the chip's value.
void runSet(const TargetOptions& options, const std::string& reg, const std::string& value, bool assumeYes,
            bool readBack, const std::string& mask = {});
// raw: the 16 x 16 byte grid of a bus dump instead of the decoded list.
void runDump(const TargetOptions& options, bool raw = false);

// A day: longer waits are typing slips, and a huge one would sleep for good.
inline constexpr double MaxMonitorInterval = 86400.0;

struct MonitorOptions {
    double interval = 1.0;  // seconds
    int count = 0;          // 0 = until interrupted
    bool csv = false;
    bool json = false;
    bool line = false;  // the one-line-per-sample form
    // Sensors style: degree sign when the terminal takes UTF-8, " C" otherwise.
    bool utf8 = true;
};
void runMonitor(const TargetOptions& options, const MonitorOptions& monitor);

// The board memory (the EEPROM at 0xA0 on the printer port's bus).
// Without a path (or with "-") read prints a hex dump; with one it writes the raw bytes.
void runEepromRead(const TargetOptions& options, unsigned offset, unsigned length, const std::string& path);
// Writes the file's bytes from offset on, then reads them back.
void runEepromWrite(const TargetOptions& options, unsigned offset, const std::string& path, bool assumeYes);

// Raw SMBus transactions with the chip: word and block reads and writes.
enum class TransferKind { ReadWord, WriteWord, ReadBlock, WriteBlock };
struct TransferOptions {
    TransferKind kind = TransferKind::ReadWord;
    std::string reg;
    std::vector<std::string> data;  // word value, or the block's bytes
    bool pec = false;
    bool assumeYes = false;
};
void runTransfer(const TargetOptions& options, const TransferOptions& transfer);

void runSave(const TargetOptions& options, const std::string& path);
// With dryRun the differences are printed and nothing is written.
void runRecall(const TargetOptions& options, const std::string& path, bool dryRun = false);

// Thrown by runDiff when file and chip differ: exit status 1 with nothing
// on stderr, as diff does.
struct Differences { };
// Prints the registers whose file value differs from the chip's.
void runDiff(const TargetOptions& options, const std::string& path);

// Where a set-up from a file addresses the chip when no --address is given:
// the kit board's chip.
inline constexpr std::uint8_t DefaultSetupAddress = 0x2E;

struct GenerateOptions {
    std::string format;      // c, sh, python, json
    std::string from;        // a register file or JSON set-up; empty = the connected chip
    std::optional<int> bus;  // the scripts' default adapter number
    std::string out;         // empty or "-" = stdout
};
// The chip's configuration as code (device/setup_code.h). A source that
// cannot be expressed faithfully fails with nothing written.
void runGenerate(const TargetOptions& options, const GenerateOptions& generate);

// Runs a JSON recording or set-up on the chip and prints each read that
// differs; throws Differences when one does.
void runReplay(const TargetOptions& options, const std::string& path);

// Runs a command on the simulated board and prints the decoded trace of
// its bus transfers after the command's own output. The search for the chip
// that a command begins with stays out of the trace.
// With `vcdPath`, also writes the wires of the connected chip's bus (SCL,
// SDA and, on a printer port, the port's data and status registers) as a
// Value Change Dump, from the connection to the end of the command.
void runTraced(const std::function<void()>& command, const std::string& vcdPath = {});

}  // namespace cli
