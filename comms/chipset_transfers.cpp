// The chipset SMBus path's transfers: presence probes and byte-data
// transfers for the two host-controller families (PIIX4/ICH and ALi), on the
// controller that discovery (chipset_hardware_smbus.cpp) found.
#include <cstdint>
#include <limits>

#include "chipset_hardware_smbus.h"
#include "motherboard_helper.h"
#include "timing.h"

namespace vexlink06::hardware_smbus {
namespace {

// The read functions' protocol argument: byte data.
constexpr std::int32_t kByteDataProtocol = 2;
// The SMBus clock-low time-out: no transfer can still be running after it.
constexpr double kTransferTimeout = 0.035;

// A host-controller register: base plus offset, both as the 32-bit port
// numbers the helper takes.
std::int32_t hostPort(std::int32_t offset)
{
    const std::int64_t port = std::int64_t{toInt32(state().SMBusBaseAddress)} + offset;
    if (port > std::numeric_limits<std::int32_t>::max())
        throw ComError::overflow();
    return static_cast<std::int32_t>(port);
}

std::int32_t hostBase() { return toInt32(state().SMBusBaseAddress); }

std::uint8_t inHost(std::int32_t offset) { return static_cast<std::uint8_t>(helper::CanInp(hostPort(offset)) & 0xFF); }
void outHost(std::int32_t offset, std::int16_t value) { helper::CanOutp(hostPort(offset), value); }

std::int16_t readAddressByte(std::uint8_t address) { return static_cast<std::int16_t>(address * 2 + 1); }
std::int32_t writeAddressByte(std::uint8_t address) { return address * 2; }

std::uint8_t checkedByte(std::int32_t value)
{
    if (value < 0 || value > 255)
        throw ComError::overflow();
    return static_cast<std::uint8_t>(value);
}

// ---- Waits ------------------------------------------------------------------

// 10 ms without yielding: settles the controller before a probe.
void Delay()
{
    const double deadline = Timer() + 0.005;
    while (Timer() < deadline + 0.005) { }
}

// At least 1 ms, leaving the PIIX4-type status cleared. Bounded by the
// transfer time-out: a status that never clears (no controller decodes the
// base) would otherwise hold the caller for ever.
void Special71138086Delay()
{
    const double start = Timer();
    const double deadline = start + 0.001;
    for (;;) {
        const std::uint8_t status = inHost(0);
        const double now = Timer();
        if ((now >= deadline && (status & 0x02) == 0) || now >= start + kTransferTimeout)
            return;
        outHost(0, 0xBF);
    }
}

// Up to 5 ms for the ALi-type done bit; it does not say how it ended.
void WaitSMBus153310B9()
{
    const double deadline = Timer() + 0.005;
    for (;;) {
        const std::uint8_t status = inHost(0);
        if (Timer() >= deadline || (status & 0x10) != 0)
            return;
        yieldEventLoop();
    }
}

// Polls the status register until `finished` holds or the transfer time-out
// passes; false on time-out. `status` is the last value read.
template <class Finished> bool pollStatus(Finished finished, std::uint8_t& status)
{
    const double limit = Timer() + kTransferTimeout;
    for (;;) {
        status = inHost(0);
        if (finished(status))
            return true;
        if (Timer() >= limit)
            return false;
    }
}

// ---- Presence probes --------------------------------------------------------
//
// Both families clock the bus for a while after the start: the status read
// at once shows the host busy, not the answer. So the probe waits until the
// controller reports completion and judges presence from that final status.

VBool DevicePresent71138086(std::uint8_t address)
{
    Delay();
    outHost(3, 0x00);
    outHost(4, readAddressByte(address));
    outHost(0, 0x1F);
    outHost(2, 0x48);
    std::uint8_t status = 0;
    const bool finished = pollStatus([](std::uint8_t s) { return (s & 0x01) == 0 && (s & 0x1E) != 0; }, status);
    return finished && (status & 0xFD) == 0 ? True : False;
}

VBool DevicePresent153310B9(std::uint8_t address)
{
    Delay();
    outHost(0, 0xF0);
    outHost(7, 0x00);
    outHost(3, readAddressByte(address));
    outHost(1, 0x20);
    outHost(2, 0xFF);
    std::uint8_t status = 0;
    const bool finished = pollStatus([](std::uint8_t s) { return (s & 0xF0) != 0; }, status);
    return finished && (status & 0xE0) == 0 ? True : False;
}

// ---- Byte-data transfers ----------------------------------------------------

void ByteWrite71138086(std::uint8_t address, std::uint8_t pointer, std::uint8_t data)
{
    Special71138086Delay();
    helper::MBByteWrite71138086(hostBase(), pointer, writeAddressByte(address), data);
}

void ByteWrite153310B9(std::uint8_t address, std::uint8_t pointer, std::uint8_t data)
{
    WaitSMBus153310B9();
    helper::MBByteWrite153310B9(hostBase(), pointer, writeAddressByte(address), data);
    WaitSMBus153310B9();
    outHost(0, 0xF0);
}

std::uint8_t ByteRead71138086(std::uint8_t address, std::uint8_t pointer)
{
    Special71138086Delay();
    return checkedByte(helper::MBByteRead71138086(hostBase(), pointer, readAddressByte(address), kByteDataProtocol));
}

std::uint8_t ByteRead153310B9(std::uint8_t address, std::uint8_t pointer)
{
    WaitSMBus153310B9();
    const std::int32_t value =
        helper::MBByteRead153310B9(hostBase(), pointer, readAddressByte(address), kByteDataProtocol);
    outHost(0, 0xF0);
    return checkedByte(value);
}

}  // namespace

// ---- Probes and transfers by family -----------------------------------------

VBool SMBusDevicePresent(std::uint8_t address)
{
    switch (familyOf(state().DeviceID)) {
    case Family::Piix4: return DevicePresent71138086(address);
    case Family::Ali: return DevicePresent153310B9(address);
    case Family::None: break;
    }
    return False;
}

void SMBusByteWrite(std::uint8_t address, std::uint8_t pointer, std::uint8_t data)
{
    switch (familyOf(state().DeviceID)) {
    case Family::Piix4: return ByteWrite71138086(address, pointer, data);
    case Family::Ali: return ByteWrite153310B9(address, pointer, data);
    case Family::None: break;
    }
}

std::uint8_t SMBusByteRead(std::uint8_t address, std::uint8_t pointer)
{
    switch (familyOf(state().DeviceID)) {
    case Family::Piix4: return ByteRead71138086(address, pointer);
    case Family::Ali: return ByteRead153310B9(address, pointer);
    case Family::None: break;
    }
    return 0;
}

}  // namespace vexlink06::hardware_smbus
