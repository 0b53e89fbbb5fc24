// Register models of the two chipset SMBus host-controller families. Each
// owns a bit-level master on the motherboard SMBus and runs the protocol its
// control registers select when software starts it, so every device on that
// bus sees the real traffic. A started controller then reports busy for a
// few status reads, as real silicon does while it clocks the bus.
#pragma once
#include <cstdint>

#include "sim/smbus.h"

namespace sim {

class HostController {
public:
    explicit HostController(Bus& bus, const char* name) : m_master(bus, name) {}
    virtual ~HostController() = default;
    HostController(const HostController&) = delete;
    HostController& operator=(const HostController&) = delete;

    virtual uint8_t read(uint16_t offset) = 0;
    virtual void write(uint16_t offset, uint8_t value) = 0;

    void setBusyStatusReads(int reads) { m_busyReads = reads < 0 ? 0 : reads; }

protected:
    enum class Protocol { Quick, Byte, ByteData, WordData, Unsupported };
    enum class Outcome { Ok, NoAck, Collision, Unsupported };

    // Runs one transfer; `address8` carries the read bit. Reads land in
    // data0 (and data1 for words).
    Outcome run(Protocol protocol, uint8_t address8, uint8_t command, uint8_t& data0, uint8_t& data1);

    BusMaster m_master;
    int m_busyReads = 2;
    int m_busyLeft = 0;     // status reads still showing busy
};

// PIIX4 type: +0 status, +2 control, +3 command, +4 address, +5/+6 data.
class Piix4Host final : public HostController {
public:
    explicit Piix4Host(Bus& bus) : HostController(bus, "piix4-host") {}
    uint8_t read(uint16_t offset) override;
    void write(uint16_t offset, uint8_t value) override;

private:
    void start();

    uint8_t m_status = 0;   // without the busy bit, which m_busyLeft gives
    uint8_t m_control = 0;
    uint8_t m_command = 0;
    uint8_t m_address = 0;
    uint8_t m_data0 = 0;
    uint8_t m_data1 = 0;
};

// ALi type: +0 status, +1 protocol type, +2 start, +3 address, +4/+5 data,
// +7 command.
class AliHost final : public HostController {
public:
    explicit AliHost(Bus& bus) : HostController(bus, "ali-host") {}
    uint8_t read(uint16_t offset) override;
    void write(uint16_t offset, uint8_t value) override;

private:
    void start();

    uint8_t m_status = 0;   // done and error bits; idle/busy come from m_busyLeft
    uint8_t m_type = 0;
    uint8_t m_address = 0;
    uint8_t m_data0 = 0;
    uint8_t m_data1 = 0;
    uint8_t m_command = 0;
};

} // namespace sim
