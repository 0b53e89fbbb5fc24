#include "commands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include <vexlink06/back_end.h>

#include "decode.h"
#include "output.h"
#include "kernel_target.h"
#include "device/chip_presence.h"
#include "device/conversions.h"
#include "device/register_diff.h"
#include "device/register_file.h"
#include "device/register_map.h"
#include "device/setup_code.h"
#include "device/write_log.h"

namespace cli {
namespace {

namespace reg = device::reg;

const device::RegisterEntry& namedRegister(const std::string& text)
{
    const device::RegisterLookup found = device::lookUpRegister(text);
    if (!found)
        throw UsageError(found.error);
    return *found.entry;
}

void requirePresent(const device::RegisterEntry& e, int deviceId)
{
    if (!device::presentOn(e, deviceId))
        throw Failure("register " + hexByte(e.address) + " (" + std::string(e.name) + ") does not exist on the " +
                      std::string(device::chipName(deviceId)));
}

std::uint8_t parseValue(const std::string& text, const std::string& what = "value")
{
    return static_cast<std::uint8_t>(numberArgument(what, text, 0xFF));
}

void requireWritable(const device::RegisterEntry& e)
{
    if (!e.panelWrites)
        throw Failure("register " + hexByte(e.address) + " (" + std::string(e.name) + ") is read-only");
}

// Bits that need not read back as written: the self-clearing software reset,
// the fixed revision number, the counts the chip measures.
std::uint8_t readBackMask(std::uint8_t address)
{
    switch (address) {
    case reg::Configuration2: return 0x7F;
    case reg::Revision: return 0x80;
    case reg::Fan1Tach:
    case reg::Fan2Tach: return 0x00;
    default: return 0xFF;
    }
}

}  // namespace

bool confirm(const std::string& question)
{
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

std::string chipLine(const FoundChip& chip)
{
    return std::string(device::chipName(chip.deviceId)) + " at " + hexByte(chip.address) + " on " + describe(chip);
}

namespace {

// ---- monitor --------------------------------------------------------------

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) { g_interrupted = true; }

// Ctrl-C ends the loop after the line in progress.
class InterruptGuard {
public:
    InterruptGuard()
    {
        struct sigaction sa { };
        sa.sa_handler = onInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &m_oldInt);
        sigaction(SIGTERM, &sa, &m_oldTerm);
    }
    ~InterruptGuard()
    {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction m_oldInt { };
    struct sigaction m_oldTerm { };
};

void sleepInterruptibly(double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_interrupted && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// ---- dump -----------------------------------------------------------------

// The register list in address order, as a bus tool lists a chip.
std::vector<const device::RegisterEntry*> registersByAddress()
{
    std::vector<const device::RegisterEntry*> out;
    for (const device::RegisterEntry& e : device::RegisterList)
        out.push_back(&e);
    std::sort(out.begin(), out.end(), [](const auto* a, const auto* b) { return a->address < b->address; });
    return out;
}

// ---- trace ----------------------------------------------------------------

std::string traceLine(const vexlink06::backend::TraceEvent& e, bool firstAfterStart)
{
    using Kind = vexlink06::backend::TraceEvent::Kind;
    switch (e.kind) {
    case Kind::Start: return "start";
    case Kind::RepeatedStart: return "repeated start";
    case Kind::Stop: return "stop";
    case Kind::Partial: return "partial byte (" + std::to_string(e.bits) + (e.bits == 1 ? " bit)" : " bits)");
    case Kind::Byte: break;
    }
    std::string line = hexByte(e.value) + (e.ack ? " ACK" : " NACK");
    const char* gap = e.ack ? "   " : "  ";
    if (firstAfterStart)
        line += gap + std::string("address ") + hexByte(e.value >> 1) + (e.value & 1 ? " read" : " write");
    else if (e.by.find("chip") != std::string::npos)
        line += gap + std::string("from the chip");
    else if (e.by.find("eeprom") != std::string::npos)
        line += gap + std::string("from the EEPROM");
    return line;
}

}  // namespace

unsigned numberArgument(const std::string& what, const std::string& text, unsigned max)
{
    if (const auto value = parseNumber(text, max))
        return *value;
    throw UsageError(what + " '" + text + "' " + numberProblem(text, max));
}

std::uint8_t sevenBitAddressArgument(const std::string& text)
{
    const unsigned value = numberArgument("address", text, 0xFF);
    for (const std::uint8_t byte : device::CandidateAddresses) {
        if (value == byte || value == (byte | 1u)) {
            char hint[96];
            std::snprintf(hint, sizeof hint, "0x%02X is the 8-bit %sform of 0x%02X; give the 7-bit address", value,
                          value & 1u ? "read " : "", device::sevenBitAddress(byte));
            throw UsageError(hint);
        }
    }
    if (value < 0x03 || value > 0x77)
        throw UsageError("address '" + text + "' is not a 7-bit address (0x03..0x77)");
    return static_cast<std::uint8_t>(value);
}

void runDetect(const TargetOptions& options, bool portGiven)
{
    if (options.medium == Medium::KernelAdapter)
        printAdapters(options);
    const auto found = detectChips(options, portGiven);
    printDetectTable(found, onSimulatedBoard());
    // The board searched, whichever it was: shared, private or hardware.
    std::cout << "# " << backEndText() << "\n";
    if (found.empty())
        throw Failure(std::string("no TFM4410 or TFM4411 found on the ") + (options.medium == Medium::Smbus ? "SMBus"
                                                                            : options.medium == Medium::KernelAdapter
                                                                                ? "I2C adapters"
                                                                                : "printer port"));
}

void runGet(const TargetOptions& options, const std::string& regText)
{
    const device::RegisterEntry& e = namedRegister(regText);
    const FoundChip chip = connect(options);
    requirePresent(e, chip.deviceId);
    // Printed only once the chip is known to have given it.
    device::AnswerWatch read = answerWatch();
    const std::uint8_t value = read(e.address);
    read.confirm();
    std::cout << hexByte(value) << "\n";
}

void runSet(const TargetOptions& options, const std::string& regText, const std::string& valueText, bool assumeYes,
            bool readBack, const std::string& maskText)
{
    const device::RegisterEntry& e = namedRegister(regText);
    const std::uint8_t value = parseValue(valueText);
    const bool masked = !maskText.empty();
    const std::uint8_t mask = masked ? parseValue(maskText, "mask") : std::uint8_t{0xFF};
    requireWritable(e);
    const FoundChip chip = connect(options);
    requirePresent(e, chip.deviceId);
    const std::string what = masked ? hexByte(value) + " under mask " + hexByte(mask) : hexByte(value);
    if (!assumeYes && !confirm("Write " + what + " to register " + hexByte(e.address) + " (" + std::string(e.name) +
                               ") of the " + chipLine(chip) + "?"))
        throw Failure("not written");
    // Read first so the user sees what the write replaced; a masked write
    // keeps the other bits of this value.
    device::Session& chipSession = session();
    std::uint8_t old = 0;
    std::uint8_t byte = value;
    {
        device::WriteAction action(device::WriteSource::Cli, "set");
        if (masked) {
            old = chipSession.writeMasked(e.address, value, mask);
            byte = static_cast<std::uint8_t>((old & ~mask) | (value & mask));
        } else {
            old = chipSession.read(e.address);
            chipSession.write(e.address, byte);
        }
    }
    // Writes are not acknowledged on the printer port: a chip that is gone
    // would take this one without a word.
    chipSession.requirePresent();
    if (readBack) {
        const std::uint8_t got = chipSession.read(e.address);
        const std::uint8_t check = readBackMask(e.address);
        if ((got & check) != (byte & check))
            throw Failure("register " + hexByte(e.address) + " reads back " + hexByte(got) + ", not " + hexByte(byte));
    }
    std::cout << hexByte(old) << " -> " << hexByte(byte) << "\n";
}

void runDump(const TargetOptions& options, bool raw)
{
    const FoundChip chip = connect(options);
    // Held back until the chip is confirmed: no line of values it did not give.
    std::ostringstream out;
    out << "# " << chipLine(chip) << ", " << backEndText() << "\n";
    device::AnswerWatch read = answerWatch();
    if (raw) {
        out << rawGrid(chip.deviceId, read);
    } else {
        for (const device::RegisterEntry* e : registersByAddress()) {
            if (!device::presentOn(*e, chip.deviceId))
                continue;
            const std::uint8_t value = read(e->address);
            out << dumpLine(*e, value, decodeRegister(*e, value, chip.deviceId, std::ref(read))) << "\n";
        }
    }
    read.confirm();
    std::cout << out.str();
}

void runMonitor(const TargetOptions& options, const MonitorOptions& monitor)
{
    if (!(monitor.interval >= 0.0 && monitor.interval <= MaxMonitorInterval))
        throw UsageError("the interval must be 0 to 86400 seconds");
    if (monitor.count < 0)
        throw UsageError("the count must be 0 or more");
    if (int(monitor.csv) + int(monitor.json) + int(monitor.line) > 1)
        throw UsageError("give one of --csv, --json and --line");
    const FoundChip chip = connect(options);
    const bool dual = device::isDualChannel(chip.deviceId);
    InterruptGuard guard;
    g_interrupted = false;
    if (monitor.csv)
        printCsvRow(monitorCsvHeader(dual));
    else if (!monitor.json)
        std::cout << "# " << chipLine(chip) << ", " << backEndText() << "\n" << std::flush;
    device::Session& chipSession = session();
    // While the shared board is away the samples are skipped (no row, no
    // block: nothing the chip did not say), and stderr says so once, and
    // once more when the chip answers again.
    std::string away;
    for (int n = 0; !g_interrupted && (monitor.count == 0 || n < monitor.count); ++n) {
        if (n > 0) {
            sleepInterruptibly(monitor.interval);
            if (g_interrupted)
                break;
        }
        try {
            // Each sample ends with the check that the chip still answers.
            if (monitor.csv) {
                printCsvRow(monitorCsvRow(chipSession.readings()));
            } else if (monitor.line) {
                std::cout << monitorLine(chipSession.readings()) << "\n" << std::flush;
            } else if (monitor.json) {
                printJson(chipSession.sample());
            } else {
                printSensors(chipSession.sample(), monitor.utf8);
            }
        } catch (const device::SessionError& e) {
            if (e.kind() != device::ErrorKind::BoardLost)
                throw;
            if (away != e.what())
                std::cerr << "fanscope-cli: " << e.what() << "\n" << std::flush;
            away = e.what();
            setLossSaid(true);
            continue;
        }
        if (!away.empty()) {
            std::cerr << "fanscope-cli: the " << device::chipLine(chipSession.location()) << " answers again\n"
                      << std::flush;
            away.clear();
            setLossSaid(false);
        }
    }
}

void runSave(const TargetOptions& options, const std::string& path)
{
    const FoundChip chip = connect(options);
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    device::AnswerWatch read = answerWatch();
    const auto lines = device::registerFileLines(chip.deviceId, local, std::ref(read));
    // An all-FFh file from a chip that is gone would, recalled, reset the chip.
    read.confirm();
    const std::string error = device::writeFileReplacing(path, device::registerFileText(lines));
    if (!error.empty())
        throw Failure(error);
    std::cout << "saved " << device::savedRegisterCount(chip.deviceId) << " registers of the " << chipLine(chip)
              << " to " << path << "\n";
}

namespace {

// What a recall of the file would change on the chip, printed one register a
// line; true when anything differs. Reads only.
bool printDifferences(const FoundChip& chip, const std::string& path, const std::vector<device::RegisterValue>& writes)
{
    device::Session& chipSession = session();
    const auto differences =
        device::registerDifferences(writes, [&chipSession](std::uint8_t reg) { return chipSession.read(reg); });
    chipSession.requirePresent();
    if (differences.empty()) {
        std::cout << "the " << chipLine(chip) << " holds every value of " << path << "\n";
        return false;
    }
    std::cout << "# " << differences.size() << " of the " << writes.size() << " registers of " << path
              << " differ on the " << chipLine(chip) << " (chip -> file)\n";
    for (const device::RegisterDifference& d : differences)
        std::cout << device::differenceLine(d, chip.deviceId) << "\n";
    return true;
}

}  // namespace

void runDiff(const TargetOptions& options, const std::string& path)
{
    const device::RegisterFileResult result = device::readRegisterSet(path);
    if (!result)
        throw Failure(path + ": " + result.error);
    const FoundChip chip = connect(options);
    if (printDifferences(chip, path, device::recallWrites(*result.file, chip.deviceId)))
        throw Differences{};
}

void runRecall(const TargetOptions& options, const std::string& path, bool dryRun)
{
    // Validate the whole file before the bus is touched: nothing of a bad file is written.
    const device::RegisterFileResult result = device::readRegisterSet(path);
    if (!result)
        throw Failure(path + ": " + result.error);
    const FoundChip chip = connect(options);
    if (result.file->setup && result.file->titleDeviceId != chip.deviceId)
        throw Failure(path + " is a set-up for the " + std::string(device::chipName(result.file->titleDeviceId)) +
                      "; the " + chipLine(chip) + " is not one, and nothing was written");
    const auto writes = device::recallWrites(*result.file, chip.deviceId);
    if (dryRun) {
        printDifferences(chip, path, writes);
        std::cout << "nothing written (dry run)\n";
        return;
    }
    device::Session& chipSession = session();
    device::WriteAction action(device::WriteSource::Cli, "recall");
    for (const device::RegisterValue& w : writes)
        chipSession.write(w.address, w.value);
    chipSession.requirePresent();
    std::cout << "recalled " << writes.size() << " registers from " << path << " to the " << chipLine(chip) << "\n";
}

void runTraced(const std::function<void()>& command, const std::string& vcdPath)
{
    namespace backend = vexlink06::backend;
    if (!backend::beginTrace())
        throw Failure("trace needs the simulated board (run without --hardware)");
    // The capture starts once the chip is found, as the trace does, on the bus
    // that carries it.
    bool capturing = false;
    // The transfers on the chip's bus are the adapter's: that bus is named
    // after the chip, not the port or SMBus it is wired to.
    std::pair<int, std::string> chipBusName{-1, {}};
    std::string noCapture = "no wire capture was made: the chip is on a kernel I2C adapter";
    bool connected = false;
    setConnectedHook([&](const FoundChip& chip) {
        connected = true;
        backend::clearTrace();
        if (chip.medium == Medium::KernelAdapter)
            chipBusName = {chip.port, describe(chip)};
        // The simulated kernel adapters are not captured: their transfers are
        // whole messages, not line changes.
        if (vcdPath.empty() || chip.medium == Medium::KernelAdapter)
            return;
        capturing = backend::beginCapture(chip.medium == Medium::Printer ? chip.portBase : 0U);
        if (!capturing)
            noCapture = "no wire capture was made: the simulated board has no capture for the bus in use";
    });
    std::string vcdError;
    bool wrote = false;
    // A command that failed before any chip answered shows no trace: what
    // there is belongs to the search, which a trace leaves out.
    const auto print = [&](bool failed) {
        setConnectedHook(nullptr);
        if (capturing) {
            capturing = false;
            if (const auto capture = backend::endCapture()) {
                vcdError = device::writeFileReplacing(vcdPath, capture->vcd);
                wrote = vcdError.empty();
            }
        }
        const std::vector<backend::BusTrace> traces = backend::endTrace();
        for (const backend::BusTrace& t : traces) {
            if (t.events.empty() || (failed && !connected))
                continue;
            char name[48] = "SMBus";
            if (t.port >= 0)
                std::snprintf(name, sizeof name, "printer port %d (0x%x)", t.port, t.portBase);
            else if (t.adapter >= 0)
                std::snprintf(name, sizeof name, "i2c-%d", t.adapter);
            const bool chipBus = t.adapter >= 0 && t.adapter == chipBusName.first;
            std::cout << "# bus trace, " << (chipBus ? chipBusName.second : std::string(name)) << "\n";
            bool afterStart = false;
            for (const backend::TraceEvent& ev : t.events) {
                std::cout << "  " << traceLine(ev, afterStart) << "\n";
                afterStart =
                    ev.kind == backend::TraceEvent::Kind::Start || ev.kind == backend::TraceEvent::Kind::RepeatedStart;
            }
        }
        std::cout << std::flush;
    };
    try {
        command();
    } catch (...) {
        print(true);
        if (!vcdError.empty())
            std::cerr << "fanscope-cli: " << vcdError << "\n";
        throw;
    }
    print(false);
    if (!vcdError.empty())
        throw Failure(vcdError);
    if (!vcdPath.empty() && !wrote)
        throw Failure(noCapture);
}

}  // namespace cli
