// A bit-level SMBus master for in-sim parties (chipset host controllers,
// the other master, kernel adapters) on a Bus, and the SMBus packet error
// code.
#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "sim/smbus.h"

namespace sim {

// SMBus packet error code: CRC-8, polynomial x^8 + x^2 + x + 1, over every
// byte of the message as it went over the wire (addresses included).
uint8_t smbusPec(const uint8_t* data, int n);

// How a whole transaction of the SMBus protocols ended.
enum class Outcome {
    Ok,
    NoAck,     // address or a byte not acknowledged
    Busy,      // the bus was not idle at the start
    Lost,      // arbitration lost
    BadPec,    // the received packet error code did not match
    BadCount,  // a block count of 0 or over 32
};

// A bit-level master for in-sim parties (chipset host controllers, the other
// master). It clocks the bus itself, one line change per step, without
// delays. Results are what the wires showed.
class BusMaster {
public:
    BusMaster(Bus& bus, std::string name);
    Bus::DriverId id() const { return m_id; }

    // False when the bus was not idle (a line already low) or arbitration
    // was lost during the start.
    bool start();
    bool repeatedStart();
    void stop();
    // True when the receiver acknowledged. Sets arbitrationLost() when SDA
    // read low while this master released it.
    bool writeByte(uint8_t value);
    uint8_t readByte(bool ack);
    bool arbitrationLost() const { return m_lost; }

    // Whole transactions; address is the 7-bit address. Return false on a
    // missing acknowledge or a busy bus (the bus is left idle).
    bool quick(uint8_t address7, bool read);
    bool writeByteData(uint8_t address7, uint8_t command, uint8_t data);
    bool readByteData(uint8_t address7, uint8_t command, uint8_t& data);

    // The SMBus protocols as a kernel adapter runs them, with an optional
    // PEC byte: sent after the last byte of a write, read (and checked)
    // after the last byte of a read. `readCount` -1 reads a block: a count
    // byte first, then that many bytes into `in` (room for 32).
    Outcome sendByte(uint8_t address7, uint8_t value, bool pec);
    Outcome receiveByte(uint8_t address7, uint8_t& value, bool pec);
    Outcome transfer(uint8_t address7, std::span<const uint8_t> out, int readCount, uint8_t* in, int& received,
                     bool pec);

private:
    void clockHigh();
    void clockLow();
    Bus& m_bus;
    Bus::DriverId m_id;
    bool m_lost = false;
};

}  // namespace sim
