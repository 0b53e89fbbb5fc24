#include "sim/eeprom.h"

#include "slave_link.h"

namespace sim {

namespace {
constexpr size_t kMessageLimit = 4096;
}

Eeprom::Eeprom(Bus& bus) : m_bus(bus), m_driver(bus.addDriver("eeprom")) { m_pending.reserve(64); }

void Eeprom::reset()
{
    m_state = State::Idle;
    m_lines.reset(m_bus.scl(), m_bus.sda());
    m_pending.clear();
    m_inWrite = false;
    m_bus.driveSda(m_driver, false);
}

// A write message ends at the next start or stop: two bytes set the address,
// a third and further bytes are data written from that address on.
void Eeprom::endMessage()
{
    if (!m_inWrite)
        return;
    m_inWrite = false;
    if (m_pending.empty())
        return;
    if (m_messages.size() >= kMessageLimit)  // a long session must not grow without end
        m_messages.erase(m_messages.begin(), m_messages.begin() + kMessageLimit / 2);
    m_messages.push_back(m_pending);
    if (m_pending.size() >= 2) {
        uint16_t a = static_cast<uint16_t>((m_pending[0] << 8) | m_pending[1]);
        for (size_t i = 2; i < m_pending.size(); ++i)
            m_mem[a++] = m_pending[i];
        m_current = a;
    }
    m_pending.clear();
}

void Eeprom::onLines(bool scl, bool sda)
{
    struct Bytes {
        Eeprom& eeprom;
        void started() { eeprom.endMessage(); }
        void stopped() { eeprom.endMessage(); }
        bool addressed(uint8_t byte)
        {
            if ((byte & 0xFE) != kAddress)
                return false;
            eeprom.m_inWrite = !(byte & 1);
            return true;
        }
        bool received(uint8_t byte)
        {
            if (eeprom.m_pending.size() < 2 + 128)  // one page of data at most
                eeprom.m_pending.push_back(byte);
            return true;
        }
        uint8_t transmit() { return eeprom.m_mem[eeprom.m_current++]; }
    } bytes{*this};
    SlaveLink<State>{m_bus, m_driver, m_state, m_lines, m_rose, m_bitCount, m_shift, m_read, m_acked, m_txByte}.onLines(
        scl, sda, bytes);
}

DeviceOutlook Eeprom::outlook() const { return SlaveLink<State>::outlook(m_state, m_txByte, m_bitCount, m_rose); }

}  // namespace sim
