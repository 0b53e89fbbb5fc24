// The motherboard's own SMBus, reached through the chipset's host
// controller instead of the parallel port. Every SMBus object shares one
// controller state: creating one searches PCI configuration space for a
// known south bridge, enables its controller and opens its ports, and
// overwrites what an earlier object found.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vexlink06/types.h"

namespace vexlink06 {

class VEXLINK06_API SMBus {
public:
    // Runs the south-bridge search. A failure is shown through the message
    // hook ("SMBus ClassInit") and the object exists all the same.
    static std::shared_ptr<SMBus> create();
    // Closes the controller's ports (at the base current then) and the two
    // configuration ports.
    ~SMBus();

    SMBus(const SMBus&) = delete;
    SMBus& operator=(const SMBus&) = delete;

    // What the search recognised, e.g. "ICH 5     , Bus:0,Dev:0,Fn:FB,Reg:0".
    std::string GetChipsetINFO() const;

    // Why the motherboard helper refused to touch the SMBus controller (no
    // root, kernel lockdown, a kernel driver owns it, not an SMBus
    // controller, configuration unreadable), as one sentence for the user;
    // empty when nothing was refused. Never throws.
    std::string UnavailableReason() const;

    // Configuration dwords as unsigned values (0..4294967295). The location
    // parts are not masked: a function above 7 reaches higher devices. A
    // value outside 0..4294967295 is written as 0x80000000.
    double ReadPCI(std::uint8_t Bus, std::uint8_t Device, std::uint8_t Fn, std::uint8_t Register);
    void WritePCI(std::uint8_t Bus, std::uint8_t Device, std::uint8_t Fn, std::uint8_t Register, double Value);

    // One I/O port byte: 0 when the port cannot be opened. WriteBase throws
    // an overflow error, writing nothing, for a value outside the 16-bit range.
    std::int32_t ReadBase(double BaseAddr);
    void WriteBase(std::int32_t BaseAddr, std::int32_t Value);

    // Stored only.
    VBool WaitForOK() const;
    void setWaitForOK(VBool wait);

    // The recognised configuration identifier (0 none, 1 generic Intel
    // controller). Setting it switches later transfers to its family.
    std::int32_t DeviceID() const;
    void setDeviceID(std::int32_t id);

    // Setting the base also opens its ports.
    double SMBusBaseAddress() const;
    void setSMBusBaseAddress(double base);

    // 7-bit addresses. On an unsupported controller a probe gives False, a
    // read 0 and a write does nothing; an absent device reads 0xFF.
    VBool DevicePresent(std::uint8_t DeviceAddress);
    void PortWrite(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, std::uint8_t Data);
    std::uint8_t PortRead(std::uint8_t DeviceAddress, std::uint8_t AddressPointer);

    // The library-wide frame delay (limited to 0..1e10); the chipset
    // transfers themselves do not use it.
    float FrameDelay() const;
    void setFrameDelay(float delay);

    // Stored only: transfers take the address as their argument.
    std::uint8_t DeviceAddress() const;
    void setDeviceAddress(std::uint8_t address);

private:
    SMBus() = default;
};

}  // namespace vexlink06
