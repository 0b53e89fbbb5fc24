// The kernel's I2C/SMBus adapters (/dev/i2c-N): the motherboard SMBus through
// the kernel's own chipset driver and any USB-to-I2C bridge the kernel
// supports. A third way to the chip beside the printer port and the chipset
// host controller, with the same byte-data register transfers.
//
// Addresses are 7-bit, as on the chipset path. Every failure is an
// AdapterFailure (a ComError) whose description is a sentence for the user
// and whose code() says what the kernel answered.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vexlink06/types.h"

namespace vexlink06 {

enum class AdapterError : std::int32_t {
    None = 0,
    NoAck = -1,   // nobody acknowledged the address or a byte
    BadPec = -2,  // the packet error code did not match
    Timeout = -3,
    Gone = -4,           // the adapter went away (USB bridge unplugged)
    DriverOwned = -5,    // a kernel driver owns the address; Force takes it anyway
    NoPermission = -6,   // the device node refuses this user
    NoDeviceFiles = -7,  // the i2c-dev module is not loaded
    NoAdapter = -8,      // no adapter with that number
    Unsupported = -9,    // the adapter cannot do that transfer (or PEC)
    Protocol = -10,      // a malformed answer
    Io = -11,
    Argument = -12,
};

class VEXLINK06_API AdapterFailure : public ComError {
public:
    AdapterFailure(AdapterError code, std::int32_t number, std::string description)
        : ComError(number, std::move(description)), m_code(code)
    { }
    AdapterError code() const noexcept { return m_code; }

private:
    AdapterError m_code;
};

struct AdapterInfo {
    std::int32_t Number = 0;                   // N of /dev/i2c-N
    std::string Name;                          // the kernel's name, e.g. "SMBus I801 adapter at efa0"
    std::uint32_t Functionality = 0;           // the kernel's I2C_FUNC_* bits
    AdapterError Access = AdapterError::None;  // why the node cannot be opened, if so
    std::string Group;                         // the group that owns the node, when it refuses this user

    bool offers(std::uint32_t bits) const { return (Functionality & bits) == bits; }
    // "i2c-1"
    std::string busName() const { return "i2c-" + std::to_string(Number); }
};

// Functionality bits the library relies on (the kernel's values).
inline constexpr std::uint32_t FuncSMBusPEC = 0x00000008;
inline constexpr std::uint32_t FuncSMBusQuick = 0x00010000;
inline constexpr std::uint32_t FuncSMBusByte = 0x00060000;
inline constexpr std::uint32_t FuncSMBusByteData = 0x00180000;
inline constexpr std::uint32_t FuncSMBusWordData = 0x00600000;
inline constexpr std::uint32_t FuncSMBusBlockData = 0x03000000;

// "quick byte byte-data word-data block-data pec" for the bits offered.
VEXLINK06_API std::string functionalityText(std::uint32_t bits);

class VEXLINK06_API KernelAdapter {
public:
    // Touches nothing: the platform library is loaded at the first listing
    // or transfer.
    static std::shared_ptr<KernelAdapter> create();
    ~KernelAdapter();  // closes the open adapter

    KernelAdapter(const KernelAdapter&) = delete;
    KernelAdapter& operator=(const KernelAdapter&) = delete;

    // The adapters now present, in number order. Empty when there are none;
    // ListStatus() then tells NoDeviceFiles apart from "none present".
    // Throws ComError(48) when the platform library cannot be loaded.
    std::vector<AdapterInfo> Adapters();
    AdapterError ListStatus() const { return m_listStatus; }

    // The adapter the transfers go to (-1: none). Setting closes the one
    // open before; the new one is opened at its first transfer.
    std::int32_t Bus() const { return m_bus; }
    void setBus(std::int32_t number);
    // "1", "i2c-1" or an adapter's exact name, as the bus tools accept;
    // -1 when nothing matches.
    std::int32_t FindBus(const std::string& numberOrName);

    // True: an address a kernel driver owns is used anyway (dangerous: the
    // driver may be mid-transfer). Default False.
    VBool Force() const { return m_force; }
    void setForce(VBool force);
    // Packet error checking on block transfers. Byte and word transfers never
    // carry it: the chip would take a trailing PEC byte for the next
    // register's data. Refused (Unsupported) at the next block transfer on an
    // adapter that does not offer it.
    VBool UsePEC() const { return m_usePec; }
    void setUsePEC(VBool use) { m_usePec = use; }

    void Quick(std::uint8_t DeviceAddress, VBool ReadBit);
    std::uint8_t ReceiveByte(std::uint8_t DeviceAddress);
    void SendByte(std::uint8_t DeviceAddress, std::uint8_t Data);
    std::uint8_t PortRead(std::uint8_t DeviceAddress, std::uint8_t AddressPointer);
    void PortWrite(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, std::uint8_t Data);
    std::uint16_t ReadWord(std::uint8_t DeviceAddress, std::uint8_t Command);
    void WriteWord(std::uint8_t DeviceAddress, std::uint8_t Command, std::uint16_t Value);
    std::vector<std::uint8_t> BlockRead(std::uint8_t DeviceAddress, std::uint8_t Command);
    void BlockWrite(std::uint8_t DeviceAddress, std::uint8_t Command, const std::vector<std::uint8_t>& Data);

private:
    KernelAdapter() = default;
    // Opens the adapter and selects the address when they changed; returns
    // the handle.
    std::int32_t prepare(std::uint8_t address7, bool pec);
    // Throws the sentence for a negative result; returns it otherwise.
    std::int32_t check(std::int32_t result, std::int32_t address7);
    [[noreturn]] void fail(AdapterError code, std::int32_t address7);
    void closeHandle();

    AdapterError m_listStatus = AdapterError::None;
    std::int32_t m_bus = -1;
    std::int32_t m_handle = -1;
    std::int32_t m_address = -1;  // selected on m_handle
    bool m_pecOn = false;         // as set on m_handle
    bool m_opened = false;        // m_bus was open once: a vanished node means unplugged
    VBool m_force = False;
    VBool m_usePec = False;
};

}  // namespace vexlink06
