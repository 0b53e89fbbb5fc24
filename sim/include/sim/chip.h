// The temperature monitor and fan controller as a bus device: a bit-level
// slave state machine in front of a 256-byte register file that the chip's
// own model (temperatures, fans, limits) keeps live.
#pragma once
#include <array>
#include <cstdint>
#include <memory>

#include "sim/clock.h"
#include "sim/config.h"
#include "sim/bus_events.h"
#include "sim/smbus.h"

namespace sim {

class ChipModel;  // the physics, private to the simulator

class Chip : public BusDevice {
public:
    Chip(Bus& bus, const Clock& clock, const ChipConfig& config, double ambientC);
    ~Chip() override;
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    const ChipConfig& config() const { return m_config; }
    uint8_t address() const { return m_config.address; }  // 8-bit form
    ChipVariant variant() const { return m_config.variant; }
    const Bus& bus() const { return m_bus; }

    // Register access without bus side effects (no clear-on-read, no
    // read-only protection). Peek brings the physics up to the board's now.
    uint8_t peek(uint8_t reg);
    void poke(uint8_t reg, uint8_t value);
    // The register pointer the bus last set.
    uint8_t pointer() const { return m_pointer; }
    // The 32-byte block that block write (command 0xA0) fills and block
    // read (command 0xA1) returns; power-on 0x00, 0x01, .. 0x1F.
    const std::array<uint8_t, 32>& block() const { return m_blockMem; }

    // Heater drive from the board (data bits 4 and 5 of its port): true = on.
    void setHeaters(bool heater1, bool heater2);
    // Brings the model up to the clock's now; called lazily on bus access
    // and queries.
    void sync();
    // Physics read-outs for tests (true values, before quantisation).
    double trueTemperature(int channel);  // 0 local, 1 remote 1, 2 remote 2
    double fanRpm(int fan);               // 0 or 1
    double fanDuty(int fan);              // 0..1, what drives the fan now

    // Restores every register to its power-on value (also what a software
    // reset does).
    void powerOn();

    // An absent chip neither acknowledges nor drives SDA (its registers and
    // physics stay, so a test can still peek). Run-time faults use this.
    void setPresent(bool present);
    bool present() const { return m_present; }
    // Messages whose address byte this chip acknowledged.
    uint64_t answeredMessages() const { return m_answered; }

    void reset() override;
    void onLines(bool scl, bool sda) override;
    DeviceOutlook outlook() const override;

private:
    enum class State {
        Idle,      // waiting for a start
        Address,   // shifting in the address byte
        AckOut,    // we pull SDA for the ninth clock of a byte we received
        Receive,   // shifting in a byte from the master
        Transmit,  // shifting out a byte
        AckIn,     // the master's acknowledge of our byte
        Ignore,    // not us, or the master ended: wait for start/stop
    };
    void onStart();
    void onStop();
    void byteReceived(uint8_t value);
    uint8_t nextTransmitByte();
    uint8_t busRead(uint8_t reg);
    void busWrite(uint8_t reg, uint8_t value);
    uint8_t pec(const uint8_t* data, int n) const;

    Bus& m_bus;
    const Clock& m_clock;
    Bus::DriverId m_driver;
    ChipConfig m_config;
    std::array<uint8_t, 256> m_regs{};
    std::unique_ptr<ChipModel> m_model;

    State m_state = State::Idle;
    LineWatch m_lines;
    int m_bitCount = 0;
    uint8_t m_shift = 0;
    bool m_read = false;   // current transfer direction
    bool m_acked = false;  // what we answer at the ninth clock
    uint8_t m_pointer = 0;
    int m_bytesInWrite = 0;  // bytes after the address in this write
    uint8_t m_cursor = 0;    // register of the next data byte in this transfer
    bool m_inFrame = false;  // a start without its stop yet
    bool m_rose = false;     // a rising clock edge since the state began
    // Block transfers: command 0xA0 (write) and 0xA1 (read), with PEC over
    // the whole message including address bytes.
    enum class Block { None, Write, Read };
    Block m_block = Block::None;
    std::array<uint8_t, 40> m_msg{};  // bytes of the message so far, for the PEC
    int m_msgLen = 0;
    int m_blockCount = 0;
    std::array<uint8_t, 32> m_blockBuf{};  // block write in progress
    std::array<uint8_t, 32> m_blockMem{};
    int m_txIndex = 0;
    uint8_t m_txByte = 0;
    bool m_present = true;
    uint64_t m_answered = 0;
};

}  // namespace sim
