// The chipset SMBus path's discovery: the south-bridge search over PCI
// configuration space, the controller table, enabling the host controller and
// opening its ports. The transfers on it are in chipset_transfers.cpp.
#include "chipset_hardware_smbus.h"

#include <cmath>
#include <cstdio>
#include <optional>

#include "comms_state.h"
#include "message_hook.h"
#include "motherboard_helper.h"
#include "timing.h"

namespace vexlink06::hardware_smbus {
namespace {

constexpr std::int32_t kConfigAddressPort = 0xCF8;
constexpr std::int32_t kConfigDataPort = 0xCFC;
constexpr std::uint32_t kRetainedAddressBits = 0x7F000003;
constexpr std::uint32_t kOutOfRange = 0x80000000;

struct Controller {
    std::uint32_t id;
    const char* label;
    Family family;
};

// The one ICH part its table left without a family (0x24838086) takes the
// PIIX4-type routines of its generation's other ICH parts.
constexpr Controller kControllers[] = {
    {0x71138086, "PIIX4 Type, ", Family::Piix4}, {0x24188086, "ICH Type  , ", Family::Piix4},
    {0x24288086, "ICH 0     , ", Family::Piix4}, {0x24138086, "ICH Type  , ", Family::Piix4},
    {0x24238086, "ICH 0     , ", Family::Piix4}, {0x24438086, "ICH 2     , ", Family::Piix4},
    {0x24458086, "ICH Type  , ", Family::Piix4}, {0x24838086, "ICH 3     , ", Family::Piix4},
    {0x24C38086, "ICH 4     , ", Family::Piix4}, {0x24D38086, "ICH 5     , ", Family::Piix4},
    {0x710110B9, "ALi M1535+, ", Family::Ali},
};

constexpr std::uint32_t kPiix4 = 0x71138086;
constexpr std::uint32_t kAli = 0x710110B9;

const Controller* controllerOf(double id)
{
    for (const Controller& c : kControllers)
        if (id == static_cast<double>(c.id))
            return &c;
    return nullptr;
}

bool isIch(double id)
{
    const Controller* c = controllerOf(id);
    return c != nullptr && c->id != kPiix4 && c->id != kAli;
}

std::string upperHex(unsigned value)
{
    char text[16];
    (void)std::snprintf(text, sizeof text, "%X", value);
    return text;
}

// Configuration dword 8: class, subclass, programming interface, revision.
constexpr std::uint8_t kClassRegister = 0x08;
constexpr std::uint32_t kSMBusClass = 0x0C05;
// The largest base whose 21 ports still lie in the I/O space.
constexpr double kHighestBase = 0xFFFF - static_cast<double>(kBasePortCount - 1);

bool isIntelSMBusController(const PciLocation& at)
{
    const std::uint32_t id = toUnsigned32(mvarReadPCI(at.bus, at.device, at.function, 0));
    const std::uint32_t classCode = toUnsigned32(mvarReadPCI(at.bus, at.device, at.function, kClassRegister));
    return id != 0xFFFFFFFFu && (id & 0xFFFF) == 0x8086 && (classCode >> 16) == kSMBusClass;
}

// Reads a host configuration dword at the recognised location, sets `bits`
// and writes it to `target`.
void setConfigurationBits(const PciLocation& from, std::uint8_t reg, std::uint32_t bits, const PciLocation& target)
{
    const std::uint32_t read = toUnsigned32(mvarReadPCI(from.bus, from.device, from.function, reg));
    if (read == 0xFFFFFFFFu)
        return;  // the read failed: writing it back would set every bit
    const std::uint32_t value = read | bits;
    mvarWritePCI(target.bus, target.device, target.function, reg, toUnsignedDouble(value));
}

}  // namespace

State& state()
{
    static State s;
    return s;
}

Family familyOf(double deviceId)
{
    if (deviceId == kGenericIch)
        return Family::Piix4;
    const Controller* c = controllerOf(deviceId);
    return c != nullptr ? c->family : Family::None;
}

double toUnsignedDouble(std::uint32_t value) { return static_cast<double>(value); }

std::uint32_t toUnsigned32(double value)
{
    // The range holds for the value as given: -0.4 or 4294967295.4 is
    // outside it, although either would round into it.
    if (!(value >= 0 && value <= 4294967295.0))
        return kOutOfRange;
    return static_cast<std::uint32_t>(std::rint(value));
}

std::int32_t toInt32(double value)
{
    const double rounded = std::rint(value);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        throw ComError::overflow();
    return static_cast<std::int32_t>(rounded);
}

std::uint32_t configurationAddress(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg)
{
    return 0x80000000u + bus * 0x10000u + device * 0x800u + function * 0x100u + reg;
}

// ---- Configuration space ----------------------------------------------------

namespace {

void selectConfiguration(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg)
{
    const auto current = static_cast<std::uint32_t>(helper::CanInpd(kConfigAddressPort));
    const std::uint32_t address = (current & kRetainedAddressBits) | configurationAddress(bus, device, function, reg);
    helper::CanOutpd(kConfigAddressPort, static_cast<std::int32_t>(address));
}

}  // namespace

double mvarReadPCI(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg)
{
    try {
        selectConfiguration(bus, device, function, reg);
        return toUnsignedDouble(static_cast<std::uint32_t>(helper::CanInpd(kConfigDataPort)));
    } catch (const ComError& error) {
        showErrorBox("Hardware SMBus, mvarReadPCI", error);
        return 0;
    }
}

void mvarWritePCI(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg, double value)
{
    selectConfiguration(bus, device, function, reg);
    helper::CanOutpd(kConfigDataPort, static_cast<std::int32_t>(toUnsigned32(value)));
}

// ---- Raw ports --------------------------------------------------------------

std::int32_t mvarReadByBase(std::int32_t port)
{
    if (helper::AddMultiPort(port, 1) == 0)
        return 0;
    return helper::CanInp(port) & 0xFF;
}

void mvarWriteByBase(std::int32_t port, std::int16_t value)
{
    if (helper::AddMultiPort(port, 1) != 0)
        helper::CanOutp(port, value);
}

// ---- The south-bridge search ------------------------------------------------

bool RecognisedSouthBridge(double id, std::uint8_t device, std::uint8_t function)
{
    State& s = state();
    const Controller* c = controllerOf(id);
    if (c == nullptr) {
        s.description = "Unsupported and unrecognised";
        return false;
    }
    s.description = std::string(c->label) + (c->id == kAli ? "Bus:0, Dev:" : "Bus:0,Dev:") + upperHex(device) +
                    ",Fn:" + upperHex(function) + ",Reg:0";
    return true;
}

void SetupBasics()
{
    try {
        State& s = state();
        std::optional<PciLocation> found;
        if (RecognisedSouthBridge(mvarReadPCI(0, 7, 3, 0), 7, 3)) {
            found = PciLocation{0, 7, 3};
        } else {
            // Function numbers run past 7 on purpose: device 0 alone then
            // visits every device and function of bus 0.
            for (int device = 0; device <= 32 && !found; ++device) {
                for (int function = 0; function <= 255; ++function) {
                    const auto d = static_cast<std::uint8_t>(device);
                    const auto f = static_cast<std::uint8_t>(function);
                    if (RecognisedSouthBridge(mvarReadPCI(0, d, f, 0), d, f)) {
                        found = PciLocation{0, d, f};
                        break;
                    }
                }
                if (!found)
                    yieldEventLoop();
            }
        }

        if (found) {
            // A recognised controller always takes its own identifier, even
            // when an earlier search left the generic one behind.
            s.DeviceID = mvarReadPCI(found->bus, found->device, found->function, 0);
        } else {
            if ((toUnsigned32(mvarReadPCI(0, 0, 0, 0)) & 0xFFFF) != 0x8086)
                return;
            // An Intel board whose SMBus function no table knows: try the ICH
            // place of it, device 31 function 3, but only when an SMBus
            // controller is there. Since the 100 series that function is the
            // audio controller, and nothing there may be configured; with no
            // function at all, its all-ones base would be no port at all.
            if (!isIntelSMBusController(PciLocation{0, 0, 251}))
                return;
            found = PciLocation{0, 0, 251};
            s.DeviceID = kGenericIch;
            s.description = "ICH Type Undefined";
        }
        s.location = *found;
        ConfigureSouthBridge(found->bus, found->device, found->function);
    } catch (const ComError& error) {
        showErrorBox("Hardware SMBus SetupBasics", error);
    }
}

// A base register that reads back as no port (all ones where the
// configuration cannot be read, zero where the firmware left it unassigned)
// names no controller: enabling it or opening ports there would touch
// whatever else decodes them.
bool usableBase(double base) { return base >= 1 && base <= kHighestBase; }

void ConfigureSouthBridge(std::uint8_t bus, std::uint8_t device, std::uint8_t function)
{
    State& s = state();
    const PciLocation here{bus, device, function};
    const auto setBase = [&](double base) {
        if (!usableBase(base))
            return false;
        s.SMBusBaseAddress = base;
        return true;
    };
    if (s.DeviceID == kPiix4) {
        if (!setBase(mvarReadPCI(bus, device, function, 0x90) - 1))
            return;
        setConfigurationBits(here, 0xD2, 0x10000, here);
    } else if (isIch(s.DeviceID) || s.DeviceID == kGenericIch) {
        if (!setBase(mvarReadPCI(bus, device, function, 0x20) - 1))
            return;
        setConfigurationBits(here, 0x40, 0x10000, here);
    } else if (s.DeviceID == kAli) {
        if (!setBase((toUnsigned32(mvarReadPCI(bus, device, function, 0xE0)) & 0xFFFE0000u) >> 16))
            return;
        // The enabling writes go to the controller's usual place (device 3,
        // function 6), whatever location the values were read from.
        const PciLocation enabling{0, 0, 30};
        setConfigurationBits(here, 0xD0, 0x400, enabling);
        setConfigurationBits(here, 0xF0, 0x1, enabling);
    }
    OpenBaseAdressPorts(s.SMBusBaseAddress);
}

void OpenBaseAdressPorts(double base)
{
    State& s = state();
    s.SMBusBaseAddress = base;
    for (std::size_t i = 0; i < kBasePortCount; ++i) {
        const std::int32_t port = toInt32(base + static_cast<double>(i));
        helper::AddMultiPort(port, 1);
        s.portTable[i] = port;
    }
}

std::string refusalReason()
{
    const char* text = helper::refusalReason();
    return text != nullptr ? text : std::string{};
}

// ---- Object lifetime --------------------------------------------------------

void ClassInit()
{
    try {
        helper::AddMultiPort(kConfigAddressPort, 4);
        helper::AddMultiPort(kConfigDataPort, 4);
        state().WaitForOK = False;
        SetupBasics();
    } catch (const ComError& error) {
        showErrorBox("SMBus ClassInit", error);
    }
}

void ClassTerminate()
{
    // Nothing can be reported from here: a port that cannot be closed stays
    // open until the process ends.
    try {
        const double base = state().SMBusBaseAddress;
        for (std::size_t i = 0; i < kBasePortCount; ++i)
            helper::RemovePort(toInt32(base + static_cast<double>(i)));
    } catch (const ComError&) { }
    try {
        helper::RemovePort(kConfigAddressPort);
        helper::RemovePort(kConfigDataPort);
    } catch (const ComError&) { }
}

}  // namespace vexlink06::hardware_smbus
