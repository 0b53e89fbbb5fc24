#include "other_master.h"

namespace sim {

OtherMaster::OtherMaster(Bus& bus, const OtherMasterConfig& config)
    : m_bus(bus), m_id(bus.addDriver("other")), m_config(config)
{
    m_remaining = config.mode == OtherMasterConfig::Mode::None ? 0 : config.attempts;
}

void OtherMaster::reset()
{
    m_lines.reset(m_bus.scl(), m_bus.sda());
    m_inFrame = false;
    m_armed = false;
    m_falls = 0;
    const bool hold = m_config.mode == OtherMasterConfig::Mode::HoldSclLow && m_remaining > 0;
    m_bus.drive(m_id, hold, false);
}

void OtherMaster::onStatusRead(bool pcReleased)
{
    if (m_config.mode != OtherMasterConfig::Mode::HoldSclLow || m_remaining <= 0)
        return;
    if (!pcReleased || m_inFrame)
        return;
    if (--m_remaining == 0)
        m_bus.driveScl(m_id, false);
}

void OtherMaster::onLines(bool scl, bool sda)
{
    const auto [sclRose, sclFell, start, stop] = m_lines.next(scl, sda);

    if (stop) {
        m_inFrame = false;
        return;
    }
    if (start) {
        const bool fresh = !m_inFrame;
        m_inFrame = true;
        m_falls = 0;
        if (fresh && m_config.mode == OtherMasterConfig::Mode::WinArbitration && m_remaining > 0) {
            --m_remaining;
            m_armed = true;
        }
        return;
    }
    if (!m_armed)
        return;
    if (sclFell) {
        // Falling edge n ends bit n - 2 and opens bit n - 1 (the first
        // falling edge ends the start condition).
        ++m_falls;
        if (m_falls == m_config.bit + 1)
            m_bus.driveSda(m_id, true);
    } else if (sclRose && m_bus.pullsSda(m_id)) {
        // Our bit is on the wire; having won, this master finishes at once.
        m_armed = false;
        m_bus.driveSda(m_id, false);
    }
}

}  // namespace sim
