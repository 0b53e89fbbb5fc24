// A kernel I2C/SMBus adapter of the simulated PC (/dev/i2c-N). It carries
// out each SMBus transfer at bit level with a host master of its own on the
// bus it is wired to, so the chips there answer exactly as they do to the
// printer port or a chipset host controller.
#pragma once
#include <cstdint>
#include <span>
#include <string>

#include "sim/config.h"
#include "sim/smbus.h"

namespace sim {

class I2cAdapter {
public:
    I2cAdapter(const I2cAdapterConfig& config, Bus& bus);
    I2cAdapter(const I2cAdapter&) = delete;
    I2cAdapter& operator=(const I2cAdapter&) = delete;

    const I2cAdapterConfig& config() const { return m_config; }
    int number() const { return m_config.number; }
    Bus& bus() { return m_bus; }
    // The kernel's I2C_FUNC_* bits: the SMBus protocols, PEC when offered.
    uint32_t functionality() const;
    bool driverOwns(uint8_t address7) const;

    // Gone after `vanishAfter` transfers or unplug(), until replug().
    bool present() const { return !m_gone; }
    void unplug() { m_gone = true; }
    // Plugged in again, as i2c-`number` (a USB bridge often comes back under
    // another number); what was open on it stays gone, as a dead node does.
    void replug(int number)
    {
        m_config.number = number;
        m_config.vanishAfter = 0;
        m_gone = false;
        ++m_plugs;
    }
    // How often it was plugged in again: a handle opened before is dead.
    uint64_t plugs() const { return m_plugs; }
    long transfers() const { return m_transfers; }

    // One SMBus transfer; `pec` is ignored when the adapter offers none.
    // False from begin() means the adapter has just gone.
    Outcome quick(uint8_t address7, bool read);
    Outcome transfer(uint8_t address7, std::span<const uint8_t> out, int readCount, uint8_t* in, int& received,
                     bool pec);

private:
    bool begin();

    I2cAdapterConfig m_config;
    Bus& m_bus;
    BusMaster m_master;
    long m_transfers = 0;
    bool m_gone = false;
    uint64_t m_plugs = 0;
};

}  // namespace sim
