#include "sim/i2c_adapter.h"

#include <algorithm>

namespace sim {

I2cAdapter::I2cAdapter(const I2cAdapterConfig& config, Bus& bus)
    : m_config(config), m_bus(bus), m_master(bus, "i2c-" + std::to_string(config.number))
{ }

uint32_t I2cAdapter::functionality() const
{
    // I2C_FUNC_SMBUS_QUICK | BYTE | BYTE_DATA | WORD_DATA | BLOCK_DATA, both directions.
    constexpr uint32_t smbus = 0x00010000 | 0x00060000 | 0x00180000 | 0x00600000 | 0x03000000;
    constexpr uint32_t pec = 0x00000008;
    return smbus | (m_config.pec ? pec : 0);
}

bool I2cAdapter::driverOwns(uint8_t address7) const
{
    return std::find(m_config.driverOwned.begin(), m_config.driverOwned.end(), address7) != m_config.driverOwned.end();
}

bool I2cAdapter::begin()
{
    if (m_gone)
        return false;
    if (m_config.vanishAfter > 0 && m_transfers >= m_config.vanishAfter) {
        m_gone = true;
        return false;
    }
    ++m_transfers;
    return true;
}

Outcome I2cAdapter::quick(uint8_t address7, bool read)
{
    if (!begin())
        return Outcome::NoAck;
    return m_master.quick(address7, read) ? Outcome::Ok : Outcome::NoAck;
}

Outcome I2cAdapter::transfer(uint8_t address7, std::span<const uint8_t> out, int readCount, uint8_t* in, int& received,
                             bool pec)
{
    received = 0;
    if (!begin())
        return Outcome::NoAck;
    return m_master.transfer(address7, out, readCount, in, received, pec && m_config.pec);
}

}  // namespace sim
