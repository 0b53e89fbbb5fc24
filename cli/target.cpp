#include "target.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include <vexlink06/back_end.h>
#include <vexlink06/vexlink06.h>

#include "device/back_end.h"
#include "device/port_check.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "kernel_target.h"

namespace cli {
namespace {

using device::RegisterLink;

// Bits 6 and 7 of the port's data register held high as the program holds
// them, the two heater bits 4 and 5 off: a shell command never heats.
constexpr std::uint8_t HeldBits = 0xC0;

std::shared_ptr<vexlink06::PrinterPort> printerPort()
{
    auto port = device::ComPort()->PrinterPort();
    if (!port)
        throw Failure("the printer port could not be opened");
    return port;
}

std::shared_ptr<vexlink06::SMBusProtocall> protocol()
{
    auto proto = printerPort()->SMBusProtocall();
    if (!proto)
        throw Failure("the printer port protocol could not be opened");
    return proto;
}

bool g_prepared = false;
std::function<void(const FoundChip&)> g_connectedHook;

void prepareBus()
{
    if (g_prepared)
        return;
    g_prepared = true;
    protocol()->setBitsToStayHigh(HeldBits);
}

int portCount() { return printerPort()->PrinterPortsDetected(); }

void selectPort(int index, bool inverted)
{
    auto port = printerPort();
    port->setPortAddressIndex(static_cast<std::uint8_t>(index));
    protocol()->setDataInverted(inverted ? vexlink06::True : vexlink06::False);
}

// The sentence the wizard shows on its medium panel when the motherboard
// helper refused the controller.
void requireUsableSMBus()
{
    const auto smbus = device::ComPort()->SMBus();
    const std::string reason = smbus ? smbus->UnavailableReason() : std::string{};
    if (!reason.empty())
        throw Failure(reason);
}

// Why the port selected now cannot answer, or "" when nothing is in the way.
std::string portObstacle() { return device::portProblemText(device::checkPrinterPort(), printerPort()->PortAddress()); }

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

}  // namespace

std::optional<int> probe(std::uint8_t linkAddress)
{
    RegisterLink.DeviceAddress = linkAddress;
    RegisterLink.RegisterPointer = device::reg::DeviceId;
    device::ReadRegister();
    const int first = RegisterLink.ReadResult;
    device::ReadRegister();
    const int second = RegisterLink.ReadResult;
    if (first == device::DeviceIdTFM4410)
        return first;
    if (second == device::DeviceIdTFM4411)
        return second;
    return std::nullopt;
}

std::vector<std::uint8_t> candidates(const TargetOptions& options)
{
    if (options.address)
        return {*options.address};
    std::vector<std::uint8_t> list;
    for (std::uint8_t a : device::CandidateAddresses)
        list.push_back(device::sevenBitAddress(a));
    return list;
}

void preparePlatform(const TargetOptions& options)
{
    // The variable stays for the library's own clients, but a real back-end
    // the user did not ask for here must never go unnoticed.
    const char* chosen = std::getenv("VEXLINK06_PLATFORM");
    if (!options.hardware && chosen != nullptr && *chosen != '\0' && std::strcmp(chosen, "sim") != 0) {
        if (!options.simConfig.empty())
            throw UsageError(std::string("--sim-config needs the simulated board, but VEXLINK06_PLATFORM=") + chosen +
                             " selects another back-end");
        std::cerr << "fanscope-cli: using the back-end \"" << chosen << "\" that VEXLINK06_PLATFORM selects\n";
    }
    if (options.hardware) {
        ::setenv("VEXLINK06_PLATFORM", "linux", 1);
    } else {
        if (!options.simConfig.empty())
            ::setenv("FANSCOPE_SIM_CONFIG", options.simConfig.c_str(), 1);
        // Check the file here, given by option or by variable: the board would
        // end the process on a bad one with a message of its own.
        const char* config = std::getenv("FANSCOPE_SIM_CONFIG");
        if (config != nullptr && *config != '\0' && onSimulatedBoard()) {
            if (const std::string problem = vexlink06::backend::configurationProblem(config); !problem.empty())
                throw ConfigurationError(problem);
        }
    }
}

bool onSimulatedBoard() { return vexlink06::backend::simulated(); }

std::string backEndText()
{
    const auto board = device::simulatedBoardConfiguration();
    return board ? "simulated board (" + *board + ")" : "hardware";
}

std::vector<FoundChip> detectChips(const TargetOptions& options, bool portGiven)
{
    prepareBus();
    if (options.medium == Medium::KernelAdapter)
        return detectKernelChips(options);
    std::vector<FoundChip> found;
    if (options.medium == Medium::Smbus) {
        requireUsableSMBus();
        RegisterLink.Medium = device::MediumChipsetSMBus;
        for (std::uint8_t a7 : candidates(options)) {
            if (auto id = probe(a7))
                found.push_back({Medium::Smbus, -1, 0, false, a7, *id});
        }
        return found;
    }
    RegisterLink.Medium = device::MediumPrinterPort;
    const int count = portCount();
    if (count == 0)
        throw Failure("no printer port detected");
    if (portGiven && options.port >= count)
        throw Failure("there is no printer port " + std::to_string(options.port) + " (" + std::to_string(count) +
                      " detected)");
    std::string obstacles;
    for (int p = portGiven ? options.port : 0; p < (portGiven ? options.port + 1 : count); ++p) {
        selectPort(p, true);
        if (const std::string why = portObstacle(); !why.empty())
            obstacles += (obstacles.empty() ? "" : "; ") + why;
        // The wizard's order: the non-inverting sense first, then the standard one.
        for (bool inverted : {false, true}) {
            selectPort(p, inverted);
            const auto base = static_cast<std::uint32_t>(printerPort()->PortAddress());
            for (std::uint8_t a7 : candidates(options)) {
                if (auto id = probe(device::addressByte(a7)))
                    found.push_back({Medium::Printer, p, base, inverted, a7, *id});
            }
        }
    }
    if (!obstacles.empty()) {
        if (found.empty())
            throw Failure("no TFM4410 or TFM4411 found on the printer port: " + obstacles);
        std::cerr << "fanscope-cli: " << obstacles << "\n";
    }
    return found;
}

FoundChip connect(const TargetOptions& options)
{
    prepareBus();
    if (options.medium == Medium::KernelAdapter) {
        const FoundChip found = connectKernel(options);
        RegisterLink.DeviceId = static_cast<std::int16_t>(found.deviceId);
        if (g_connectedHook)
            g_connectedHook(found);
        return found;
    }
    FoundChip chip;
    bool ok = false;
    std::string obstacle;
    if (options.medium == Medium::Smbus) {
        requireUsableSMBus();
        RegisterLink.Medium = device::MediumChipsetSMBus;
        for (std::uint8_t a7 : candidates(options)) {
            if (auto id = probe(a7)) {
                chip = {Medium::Smbus, -1, 0, false, a7, *id};
                ok = true;
                break;
            }
        }
    } else {
        RegisterLink.Medium = device::MediumPrinterPort;
        const int count = portCount();
        if (count == 0)
            throw Failure("no printer port detected");
        if (options.port >= count)
            throw Failure("there is no printer port " + std::to_string(options.port) + " (" + std::to_string(count) +
                          " detected)");
        selectPort(options.port, true);
        obstacle = portObstacle();
        // The standard board first: a probe in the wrong sense is a wasted transfer.
        for (bool inverted : {true, false}) {
            selectPort(options.port, inverted);
            for (std::uint8_t a7 : candidates(options)) {
                if (auto id = probe(device::addressByte(a7))) {
                    chip = {Medium::Printer, options.port, static_cast<std::uint32_t>(printerPort()->PortAddress()),
                            inverted,        a7,           *id};
                    ok = true;
                    break;
                }
            }
            if (ok)
                break;
        }
    }
    if (!ok) {
        std::string where =
            options.medium == Medium::Smbus ? "the SMBus" : "printer port " + std::to_string(options.port);
        std::string at = options.address ? " at " + hex(*options.address) : "";
        throw Failure("no TFM4410 or TFM4411 found" + at + " on " + where + (obstacle.empty() ? "" : ": " + obstacle));
    }
    if (chip.medium == Medium::Printer) {
        protocol()->setDeviceAddress(device::addressByte(chip.address));
        RegisterLink.PrinterMedium = 1;
        RegisterLink.DeviceAddress = device::addressByte(chip.address);
        // Keep the port claimed for the whole command rather than per transfer.
        printerPort()->setLockPortOpen(vexlink06::True);
    } else {
        RegisterLink.PrinterMedium = 0;
        RegisterLink.DeviceAddress = chip.address;
    }
    RegisterLink.DeviceId = static_cast<std::int16_t>(chip.deviceId);
    if (g_connectedHook)
        g_connectedHook(chip);
    return chip;
}

void setConnectedHook(std::function<void(const FoundChip&)> hook) { g_connectedHook = std::move(hook); }

void disconnect()
{
    if (!device::ComPortCreated())
        return;
    if (auto port = device::ComPort()->PrinterPort(); port && port->LockPortOpen() != vexlink06::False)
        port->setLockPortOpen(vexlink06::False);
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
