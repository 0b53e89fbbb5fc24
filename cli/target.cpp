#include "target.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "device/back_end.h"
#include "device/back_end_choice.h"
#include "device/chipset_check.h"
#include "device/port_check.h"
#include "device/register_map.h"
#include "kernel_target.h"

namespace cli {
namespace {

bool g_prepared = false;
std::function<void(const FoundChip&)> g_connectedHook;

void prepareBus()
{
    if (g_prepared)
        return;
    g_prepared = true;
    // A shell command never heats.
    device::holdBoardLinesForCommand();
}

int portCount() { return device::printerPortsDetected(); }

// The sentence the wizard shows on its medium panel when the controller is
// unsupported or the motherboard helper refused it.
void requireUsableSMBus()
{
    const std::string reason = device::chipsetSMBusProblem();
    if (!reason.empty())
        throw Failure(reason);
}

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

}  // namespace

void preparePlatform(const TargetOptions& options)
{
    if (const std::string conflict = device::backEndConflict(options.hardware, options.simConfig); !conflict.empty())
        throw UsageError(conflict);
    if (const std::string warning = device::applyBackEndChoice(options.hardware, options.simConfig); !warning.empty())
        std::cerr << "fanscope-cli: " << warning << "\n";
    if (!options.hardware) {
        // Check the file here, given by option or by variable: the board would
        // end the process on a bad one with a message of its own.
        const char* config = std::getenv("FANSCOPE_SIM_CONFIG");
        if (config != nullptr && *config != '\0' && onSimulatedBoard()) {
            if (const std::string problem = device::boardConfigurationProblem(config); !problem.empty())
                throw ConfigurationError(problem);
        }
    }
}

bool onSimulatedBoard() { return device::simulatedPlatform(); }

std::string backEndText()
{
    const auto board = device::simulatedBoardConfiguration();
    return board ? "simulated board (" + *board + ")" : "hardware";
}

FoundChip foundChip(const device::ChipLocation& chip)
{
    FoundChip found;
    found.medium = chip.medium == device::Medium::PrinterPort     ? Medium::Printer
                   : chip.medium == device::Medium::KernelAdapter ? Medium::KernelAdapter
                                                                  : Medium::Smbus;
    found.port = chip.port;
    found.portBase = chip.portBase;
    found.inverted = chip.dataInverted;
    found.address = chip.address;
    found.deviceId = device::deviceId(chip.variant);
    return found;
}

device::Medium deviceMedium(Medium medium)
{
    switch (medium) {
    case Medium::Printer: return device::Medium::PrinterPort;
    case Medium::Smbus: return device::Medium::ChipsetSmbus;
    case Medium::KernelAdapter: return device::Medium::KernelAdapter;
    }
    return device::Medium::PrinterPort;
}

namespace {

// The search on the printer port or the chipset SMBus; the kernel adapters
// have their own (kernel_target.cpp). A library failure ends it.
device::ProbeReport probeMedium(const TargetOptions& options, std::optional<int> port, bool stopAtFirst)
{
    device::ProbeRequest request;
    request.media = {deviceMedium(options.medium)};
    request.printerPort = port;
    request.address = options.address;
    request.stopAtFirst = stopAtFirst;
    request.stopOnError = true;
    return device::probe(request);
}

// Printer port: that there is one, and the port asked for.
void requirePort(const TargetOptions& options, bool portGiven)
{
    const int count = portCount();
    if (count == 0)
        throw Failure("no printer port detected");
    if (portGiven && options.port >= count)
        throw Failure("there is no printer port " + std::to_string(options.port) + " (" + std::to_string(count) +
                      " detected)");
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : "; ") + p;
    return out;
}

std::optional<device::Session> g_session;

}  // namespace

std::vector<FoundChip> detectChips(const TargetOptions& options, bool portGiven)
{
    if (options.medium == Medium::KernelAdapter)
        return detectKernelChips(options);
    std::vector<FoundChip> found;
    if (options.medium == Medium::Smbus) {
        requireUsableSMBus();
        for (const device::ChipLocation& chip : probeMedium(options, std::nullopt, false).chips)
            found.push_back(foundChip(chip));
        return found;
    }
    prepareBus();
    requirePort(options, portGiven);
    const device::ProbeReport report =
        probeMedium(options, portGiven ? std::optional<int>(options.port) : std::nullopt, false);
    for (const device::ChipLocation& chip : report.chips)
        found.push_back(foundChip(chip));
    if (const std::string obstacles = joined(report.portProblems); !obstacles.empty()) {
        if (found.empty())
            throw Failure("no TFM4410 or TFM4411 found on the printer port: " + obstacles);
        std::cerr << "fanscope-cli: " << obstacles << "\n";
    }
    return found;
}

FoundChip connect(const TargetOptions& options)
{
    // What the commands need besides register access: the session reads
    // and writes byte by byte, and so may any later transfer of the command.
    device::Session::Options use;
    use.confirmAllOnes = false;  // the commands confirm their batches themselves
    use.processWriteLog = true;  // the command's writes are one undo group
    std::optional<device::ChipLocation> chip;
    if (options.medium == Medium::KernelAdapter) {
        chip = connectKernel(options);
    } else {
        std::string obstacle;
        if (options.medium == Medium::Smbus) {
            requireUsableSMBus();
        } else {
            prepareBus();
            requirePort(options, true);
        }
        // The standard board first: a probe in the wrong sense is a wasted transfer.
        device::ProbeReport report = probeMedium(
            options, options.medium == Medium::Printer ? std::optional<int>(options.port) : std::nullopt, true);
        obstacle = joined(report.portProblems);
        if (report.chips.empty()) {
            std::string where =
                options.medium == Medium::Smbus ? "the SMBus" : "printer port " + std::to_string(options.port);
            std::string at = options.address ? " at " + hex(*options.address) : "";
            throw Failure("no TFM4410 or TFM4411 found" + at + " on " + where +
                          (obstacle.empty() ? "" : ": " + obstacle));
        }
        chip = report.chips.front();
        if (chip->medium == device::Medium::PrinterPort)
            device::keepPrinterPortClaimed(true);
    }
    g_session.emplace(*chip, use);
    const FoundChip found = foundChip(*chip);
    if (g_connectedHook)
        g_connectedHook(found);
    return found;
}

device::Session& session()
{
    if (!g_session)
        throw Failure("no chip is connected");
    return *g_session;
}

device::AnswerWatch answerWatch()
{
    device::Session& s = session();
    // A kernel adapter samples every acknowledge: each read that came back
    // was the chip's answer, so the batch needs no Device ID read at its end
    // (a value the register can never hold still ends it).
    const bool acknowledged = s.medium() == device::Medium::KernelAdapter;
    return device::AnswerWatch([&s](std::uint8_t reg) { return s.read(reg); },
                               [&s, acknowledged] { return acknowledged || s.present(); },
                               [&s] { return device::noLongerAnswersText(s.address()); });
}

void setConnectedHook(std::function<void(const FoundChip&)> hook) { g_connectedHook = std::move(hook); }

namespace {
bool g_lossSaid = false;
}  // namespace

void setLossSaid(bool said) { g_lossSaid = said; }
bool lossSaid() { return g_lossSaid; }

void disconnect()
{
    g_session.reset();
    device::keepPrinterPortClaimed(false);
}

std::string describe(const FoundChip& chip)
{
    if (chip.medium == Medium::KernelAdapter)
        return adapterLabel(chip.port);
    if (chip.medium == Medium::Smbus)
        return "SMBus";
    return "printer port " + std::to_string(chip.port) + " (" + hex(chip.portBase) + ")";
}

}  // namespace cli
