// The board's serial EEPROM at 8-bit address 0xA0: two address bytes (high
// first), byte write, random and sequential read. Every write message is
// also kept whole, so commands that are not plain writes (page erase, single
// command) can be inspected.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "sim/bus_events.h"
#include "sim/smbus.h"

namespace sim {

class Eeprom : public BusDevice {
public:
    static constexpr uint8_t kAddress = 0xA0;
    static constexpr size_t kSize = 65536;

    explicit Eeprom(Bus& bus);

    uint8_t peek(uint16_t address) const { return m_mem[address]; }
    void poke(uint16_t address, uint8_t value) { m_mem[address] = value; }
    uint16_t currentAddress() const { return m_current; }
    // The bytes after the address byte of each write message, in order (the
    // last few thousand).
    const std::vector<std::vector<uint8_t>>& writeMessages() const { return m_messages; }
    void clearWriteMessages() { m_messages.clear(); }

    void reset() override;
    void onLines(bool scl, bool sda) override;
    DeviceOutlook outlook() const override;

private:
    enum class State { Idle, Address, AckOut, Receive, Transmit, AckIn, Ignore };
    // A write message ends at the next start or stop: two bytes set the
    // address, further bytes are written from that address on.
    void endMessage();

    Bus& m_bus;
    Bus::DriverId m_driver;
    std::vector<uint8_t> m_mem = std::vector<uint8_t>(kSize, 0xFF);
    State m_state = State::Idle;
    LineWatch m_lines;
    int m_bitCount = 0;
    uint8_t m_shift = 0;
    bool m_read = false;
    bool m_rose = false;
    bool m_acked = false;
    uint8_t m_txByte = 0;
    uint16_t m_current = 0;
    std::vector<uint8_t> m_pending;  // bytes of the write message in progress
    bool m_inWrite = false;
    std::vector<std::vector<uint8_t>> m_messages;
};

}  // namespace sim
