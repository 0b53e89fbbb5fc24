// Register models of the two chipset SMBus host-controller families. Each
// owns a bit-level master on the motherboard SMBus and runs the protocol its
// control registers select when software starts it, so every device on that
// bus sees the real traffic. A started controller then reports busy for a
// few status reads, as real silicon does while it clocks the bus.
#pragma once
#include <cstdint>

#include "sim/smbus.h"

namespace sim {

// The register file both families share; a family differs only in where its
// registers sit and what its bits are, which its Layout says.
class HostController {
public:
    struct Layout {
        uint16_t status, command, address, data0, data1;
        uint8_t busy;  // what status reads, alone, while a transfer runs
        uint8_t idle;  // added to every other status read
        // Set at a transfer's end, each cleared by writing it to status.
        uint8_t done, deviceError, collision, failed;
        // The register whose 3-bit field at `protocolShift` selects the
        // protocol (0 quick, 1 byte, 2 byte data, 3 word data; others fail),
        // with a bit that kills a running transfer.
        uint16_t protocolRegister;
        unsigned protocolShift;
        uint8_t kill;
        uint8_t writeOnly;  // bits of that register that read back 0
        // A write to `startRegister` starts a transfer: any write when
        // `startBit` is 0, else one with that bit set.
        uint16_t startRegister;
        uint8_t startBit;
    };

    HostController(Bus& bus, const char* name, const Layout& layout) : m_master(bus, name), m_layout(layout) { }
    virtual ~HostController() = default;
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    // Register access at `offset` from the controller's I/O base.
    uint8_t read(uint16_t offset);
    void write(uint16_t offset, uint8_t value);

    void setBusyStatusReads(int reads) { m_busyReads = reads < 0 ? 0 : reads; }

private:
    enum class Protocol { Quick, Byte, ByteData, WordData, Unsupported };
    enum class Outcome { Ok, NoAck, Collision, Unsupported };

    void start();
    // Ends a running transfer as failed; an idle controller stays as it is.
    void kill();
    // One transfer to m_address, which carries the read bit. Reads land in
    // data0 (and data1 for words).
    Outcome run(Protocol protocol);
    // The register at `offset` that only holds a byte, if it is one.
    uint8_t* plainRegister(uint16_t offset);

    BusMaster m_master;
    Layout m_layout;
    int m_busyReads = 2;
    int m_busyLeft = 0;      // status reads still showing busy
    uint8_t m_status = 0;    // end-of-transfer bits; busy and idle come from m_busyLeft
    uint8_t m_protocol = 0;  // the protocol register without its write-only bits
    uint8_t m_command = 0;
    uint8_t m_address = 0;
    uint8_t m_data0 = 0;
    uint8_t m_data1 = 0;
};

// PIIX4 type: +0 status, +2 control, +3 command, +4 address, +5/+6 data.
class Piix4Host final : public HostController {
public:
    explicit Piix4Host(Bus& bus);
};

// ALi type: +0 status, +1 protocol type, +2 start, +3 address, +4/+5 data,
// +7 command.
class AliHost final : public HostController {
public:
    explicit AliHost(Bus& bus);
};

}  // namespace sim
