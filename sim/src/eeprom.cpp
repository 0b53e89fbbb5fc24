#include "sim/eeprom.h"

namespace sim {

namespace {
constexpr size_t kMessageLimit = 4096;
}

Eeprom::Eeprom(Bus& bus) : m_bus(bus), m_driver(bus.addDriver("eeprom"))
{
    m_pending.reserve(64);
}

void Eeprom::reset()
{
    m_state = State::Idle;
    m_scl = m_bus.scl();
    m_sda = m_bus.sda();
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
    if (m_messages.size() >= kMessageLimit)   // a long session must not grow without end
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
    const bool sclRose = !m_scl && scl;
    const bool sclFell = m_scl && !scl;
    const bool start = scl && m_scl && m_sda && !sda;
    const bool stop = scl && m_scl && !m_sda && sda;
    m_scl = scl;
    m_sda = sda;

    if (start || stop) {
        m_bus.driveSda(m_driver, false);
        endMessage();
        m_state = start ? State::Address : State::Idle;
        m_bitCount = 0;
        m_shift = 0;
        m_rose = false;
        return;
    }
    if (sclRose) {
        m_rose = true;
        if ((m_state == State::Address || m_state == State::Receive) && m_bitCount < 8) {
            m_shift = static_cast<uint8_t>((m_shift << 1) | (sda ? 1 : 0));
            ++m_bitCount;
        } else if (m_state == State::AckIn) {
            m_acked = !sda;
        }
        return;
    }
    if (!sclFell || !m_rose)
        return;
    m_rose = false;
    switch (m_state) {
    case State::Address:
        if (m_bitCount < 8)
            break;
        if ((m_shift & 0xFE) != kAddress) {
            m_state = State::Ignore;
            break;
        }
        m_read = m_shift & 1;
        m_inWrite = !m_read;
        m_bus.driveSda(m_driver, true);
        m_state = State::AckOut;
        break;
    case State::Receive:
        if (m_bitCount < 8)
            break;
        if (m_pending.size() < 2 + 128)   // one page of data at most
            m_pending.push_back(m_shift);
        m_bus.driveSda(m_driver, true);
        m_state = State::AckOut;
        break;
    case State::AckOut:
        m_bus.driveSda(m_driver, false);
        m_bitCount = 0;
        m_shift = 0;
        if (m_read) {
            m_txByte = m_mem[m_current++];
            m_bus.driveSda(m_driver, !(m_txByte & 0x80));
            m_state = State::Transmit;
        } else {
            m_state = State::Receive;
        }
        break;
    case State::Transmit:
        ++m_bitCount;
        if (m_bitCount < 8) {
            m_bus.driveSda(m_driver, !((m_txByte >> (7 - m_bitCount)) & 1));
        } else {
            m_bus.driveSda(m_driver, false);
            m_state = State::AckIn;
        }
        break;
    case State::AckIn:
        if (m_acked) {
            m_txByte = m_mem[m_current++];
            m_bitCount = 0;
            m_bus.driveSda(m_driver, !(m_txByte & 0x80));
            m_state = State::Transmit;
        } else {
            m_state = State::Ignore;
        }
        break;
    case State::Idle:
    case State::Ignore:
        break;
    }
}

} // namespace sim
