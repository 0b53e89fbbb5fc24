// The one simulated evaluation board of the process: parallel ports with
// their adapters and buses, the chips and EEPROMs on them, the motherboard
// SMBus, and the board clock.
//
// Not thread-safe: the process's one user-interface thread owns it.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/chip.h"
#include "sim/clock.h"
#include "sim/config.h"
#include "sim/eeprom.h"
#include "sim/i2c_adapter.h"
#include "sim/read_ahead.h"
#include "sim/smbus.h"

namespace sim {

class OtherMaster;
class FaultSchedule;

// One parallel port: data (base), status (base + 1), control (base + 2).
class Port {
public:
    Port(const PortConfig& config, class Board& board);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    uint32_t base() const { return m_config.base; }
    const PortConfig& config() const { return m_config; }
    Bus& bus() { return m_bus; }

    // Ownership: a claim fails while another process holds the port.
    bool claim();
    void release() { m_claimed = false; }
    bool claimed() const { return m_claimed; }
    void setHeldByOtherProcess(bool held) { m_heldElsewhere = held; }

    // Register access by offset 0..2, as the port driver performs it. An
    // unclaimed port ignores writes and reads 0.
    void write(uint32_t offset, uint8_t value);
    uint8_t read(uint32_t offset);

    uint8_t data() const { return m_data; }
    uint8_t control() const { return m_control; }
    uint8_t status() const;  // without side effects
    // The rest of the byte a device is sending, when the board can promise
    // the lines until that byte ends (see read_ahead.h).
    std::optional<ReadAhead> readAhead() const;

    // Every value written to the data register, oldest first. The log is
    // bounded (the oldest half is dropped when it fills) so a long session
    // does not grow without end.
    const std::vector<uint8_t>& dataWriteLog() const { return m_log; }
    void clearDataWriteLog() { m_log.clear(); }

    std::vector<std::unique_ptr<Chip>>& chips() { return m_chips; }
    Eeprom* eeprom() { return m_eeprom.get(); }
    // Schedules a fault during the run, as the configuration's faults are
    // (times are board time, transfer counts start now).
    void addFault(const FaultConfig& fault);
    // Heaters beside the remote diodes: data bits 4 and 5.
    bool heater1() const { return (m_data & 0x10) != 0; }
    bool heater2() const { return (m_data & 0x20) != 0; }

private:
    void applyData(uint8_t value);

    PortConfig m_config;
    Board& m_board;
    Bus m_bus;
    Bus::DriverId m_pc;
    bool m_claimed = false;
    bool m_heldElsewhere = false;
    uint8_t m_data = 0;
    uint8_t m_control = 0;
    std::vector<uint8_t> m_log;
    std::vector<std::unique_ptr<Chip>> m_chips;
    std::unique_ptr<Eeprom> m_eeprom;
    std::unique_ptr<OtherMaster> m_other;
    std::unique_ptr<FaultSchedule> m_faults;  // only once a fault is scheduled
};

class Board {
public:
    Board();
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // Rebuilds everything from `config` (ports, chips, motherboard bus,
    // clock mode) and bumps generation().
    void configure(const Config& config);
    // Back to the default Config{} (not the file from FANSCOPE_SIM_CONFIG).
    void reset();
    const Config& config() const { return m_config; }
    // Changes on every configure()/reset(); models built on the board (the
    // motherboard) compare it to know when to rebuild.
    uint64_t generation() const { return m_generation; }

    // Ports in configuration order (the driver's port n is ports()[n - 1]).
    int portCount() const { return static_cast<int>(m_ports.size()); }
    Port* port(int index);             // 0-based; nullptr if none
    Port* portAt(uint32_t ioAddress);  // the port whose base..base+2 holds it

    Bus& motherboardBus() { return *m_mbBus; }
    std::vector<std::unique_ptr<Chip>>& motherboardChips() { return m_mbChips; }

    // The kernel I2C adapters in configuration order; nullptr when no
    // adapter has that number. Chips on an adapter's own bus are listed by
    // i2cChips().
    const std::vector<std::unique_ptr<I2cAdapter>>& i2cAdapters() const { return m_i2cAdapters; }
    I2cAdapter* i2cAdapter(int number);
    std::vector<std::unique_ptr<Chip>>& i2cChips() { return m_i2cChips; }

    // The chip at `address8` on `bus` (a port's bus, the motherboard's or an adapter's own).
    Chip* findChip(Bus& bus, uint8_t address8);
    // The chip on the first port's bus, the usual case in tests.
    Chip* chip(uint8_t address8 = 0x5C);

    // Board clock in milliseconds since configure(). Real time unless the
    // clock is manual.
    double nowMs() const { return m_clock.nowMs(); }
    const Clock& clock() const { return m_clock; }
    // The clock mode of the configuration holds until this changes it.
    void setManualClock(bool manual) { m_clock.setManual(manual); }
    bool manualClock() const { return m_clock.manual(); }
    void advanceMs(double ms);  // manual clock only; advances the physics too
    // Brings every chip's physics up to nowMs().
    void sync();

private:
    Config m_config;
    uint64_t m_generation = 0;
    std::vector<std::unique_ptr<Port>> m_ports;
    std::unique_ptr<Bus> m_mbBus;
    std::vector<std::unique_ptr<Chip>> m_mbChips;
    std::vector<std::unique_ptr<Bus>> m_i2cBuses;  // "own" adapter buses
    std::vector<std::unique_ptr<Chip>> m_i2cChips;
    std::vector<std::unique_ptr<I2cAdapter>> m_i2cAdapters;
    Clock m_clock;
};

// The process's board, built at first use from the file named by
// FANSCOPE_SIM_CONFIG if set (a bad file prints its error and ends the
// process: half a configuration is never used), else from Config{}.
Board& board();

}  // namespace sim
