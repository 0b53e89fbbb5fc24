// SMBus byte-data transfers through the two chipset host-controller
// families, written once over the helper's own byte port I/O so that the
// simulated motherboard runs exactly the register sequences real hardware
// sees. Header-only: both helper libraries compile it into themselves.
#pragma once
#include <chrono>
#include <cstdint>

namespace mbhelper {

// Byte port access of one helper implementation.
class PortIo {
public:
    virtual ~PortIo() = default;
    virtual uint8_t inb(uint16_t port) = 0;
    virtual void outb(uint16_t port, uint8_t value) = 0;
};

// The two host-controller families a transfer can go through.
enum class Family { Piix4, Ali };

// What an idle bus gives for a byte nobody drives.
inline constexpr uint8_t IdleBusByte = 0xFF;

// A byte-data transfer at 100 kHz takes well under 1 ms; 35 ms is the
// SMBus clock-low time-out, after which no device may still hold the bus.
inline constexpr std::chrono::milliseconds TransferTimeout{35};

namespace piix4 {
inline constexpr uint16_t Status = 0, Control = 2, Command = 3, Address = 4, Data0 = 5;
inline constexpr uint8_t HostBusy = 0x01, Interrupt = 0x02, DeviceError = 0x04, BusCollision = 0x08, Failed = 0x10;
inline constexpr uint8_t ErrorBits = DeviceError | BusCollision | Failed;
inline constexpr uint8_t ClearableBits = Interrupt | ErrorBits;
inline constexpr uint8_t ControlKill = 0x02, ControlStart = 0x40, ProtocolByteData = 0x08;
}  // namespace piix4

namespace ali {
inline constexpr uint16_t Status = 0, Type = 1, Start = 2, Address = 3, Data0 = 4, Command = 7;
inline constexpr uint8_t Idle = 0x04, HostBusy = 0x08, Done = 0x10, DeviceError = 0x20, BusError = 0x40, Failed = 0x80;
inline constexpr uint8_t ErrorBits = DeviceError | BusError | Failed;
inline constexpr uint8_t ClearAll = 0xFF;
inline constexpr uint8_t TypeByteData = 0x20, TypeKill = 0x04;
}  // namespace ali

namespace detail {

// Polls `port` until `done(status)` holds or the transfer time-out passes;
// returns the last status read and whether `done` was reached.
template <class Done> inline bool pollStatus(PortIo& io, uint16_t port, Done done, uint8_t& status)
{
    const auto deadline = std::chrono::steady_clock::now() + TransferTimeout;
    for (;;) {
        status = io.inb(port);
        if (done(status))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

inline int piix4Transfer(PortIo& io, uint16_t base, uint8_t command, uint8_t address, uint8_t data, bool write)
{
    using namespace piix4;
    const uint16_t status = base + Status;
    uint8_t st = io.inb(status);
    if (st != 0)
        io.outb(status, st);  // write-one-to-clear leftovers of an earlier transfer
    if (io.inb(status) & HostBusy)
        return -1;  // someone else's transfer is running: do not disturb it

    io.outb(base + Address, address);
    io.outb(base + Command, command);
    if (write)
        io.outb(base + Data0, data);
    io.outb(base + Control, ControlStart | ProtocolByteData);

    // The busy bit can lag the start write by a few clocks, so completion is
    // the interrupt or an error flag with busy clear, not busy clear alone.
    const bool finished = pollStatus(
        io, status, [](uint8_t s) { return !(s & HostBusy) && (s & ClearableBits); }, st);
    if (!finished) {
        io.outb(base + Control, ControlKill);
        pollStatus(
            io, status, [](uint8_t s) { return !(s & HostBusy); }, st);
        io.outb(base + Control, 0);
    }
    io.outb(status, ClearableBits);
    if (!finished || (st & ErrorBits))
        return -1;
    return write ? 0 : io.inb(base + Data0);
}

inline int aliTransfer(PortIo& io, uint16_t base, uint8_t command, uint8_t address, uint8_t data, bool write)
{
    using namespace ali;
    const uint16_t status = base + Status;
    uint8_t st = 0;
    if (!pollStatus(
            io, status, [](uint8_t s) { return (s & Idle) != 0; }, st))
        return -1;
    io.outb(status, ClearAll);

    io.outb(base + Type, TypeByteData);
    io.outb(base + Address, address);
    io.outb(base + Command, command);
    if (write)
        io.outb(base + Data0, data);
    io.outb(base + Start, 0xFF);  // any write starts the transfer

    const bool finished = pollStatus(
        io, status, [](uint8_t s) { return (s & (Done | ErrorBits)) != 0; }, st);
    if (!finished || (st & ErrorBits)) {
        if (!finished)
            io.outb(base + Type, TypeKill);
        io.outb(status, ClearAll);
        return -1;
    }
    // Done stays set: the caller waits for it and clears it itself.
    return write ? 0 : io.inb(base + Data0);
}

inline int transfer(Family family, PortIo& io, int32_t base, int32_t command, int32_t address, int32_t data, bool write)
{
    const auto run = family == Family::Piix4 ? piix4Transfer : aliTransfer;
    // The address byte carries the direction, whatever the caller's low bit.
    const int32_t address8 = write ? address & ~1 : address | 1;
    return run(io, static_cast<uint16_t>(base), static_cast<uint8_t>(command), static_cast<uint8_t>(address8),
               static_cast<uint8_t>(data), write);
}

}  // namespace detail

inline void byteWrite(Family family, PortIo& io, int32_t base, int32_t command, int32_t address, int32_t data)
{
    detail::transfer(family, io, base, command, address, data, true);
}

// The byte read, or IdleBusByte when the transfer failed.
inline int32_t byteRead(Family family, PortIo& io, int32_t base, int32_t command, int32_t address)
{
    const int r = detail::transfer(family, io, base, command, address, 0, false);
    return r < 0 ? IdleBusByte : r & 0xFF;
}

}  // namespace mbhelper
