#include "fault_schedule.h"

#include <algorithm>

namespace sim {

FaultSchedule::FaultSchedule(Bus& bus, const Clock& clock, std::vector<std::unique_ptr<Chip>>& chips)
    : m_bus(bus), m_clock(clock), m_chips(chips), m_stuck(bus.addDriver("stuck")), m_talker(bus.addDriver("talker"))
{ }

void FaultSchedule::add(const FaultConfig& fault)
{
    if (fault.kind != FaultConfig::Kind::ChipGone) {
        m_lines.push_back(fault);
        return;
    }
    for (auto& c : m_chips)
        if (fault.address == 0 || c->address() == fault.address)
            m_gone.push_back({fault, c.get(), c->answeredMessages()});
}

bool FaultSchedule::active(FaultConfig::Kind kind, double now) const
{
    return std::any_of(m_lines.begin(), m_lines.end(),
                       [&](const FaultConfig& f) { return f.kind == kind && now >= f.fromMs && now < f.toMs; });
}

void FaultSchedule::poll()
{
    if (m_lines.empty() && m_gone.empty())
        return;
    const double now = m_clock.nowMs();
    const bool scl = active(FaultConfig::Kind::SclLow, now);
    const bool sda = active(FaultConfig::Kind::SdaLow, now);
    if (scl != m_bus.pullsScl(m_stuck) || sda != m_bus.pullsSda(m_stuck))
        m_bus.drive(m_stuck, scl, sda);
    if (!m_inFrame)
        removeDueChips();
}

void FaultSchedule::removeDueChips()
{
    if (m_gone.empty())
        return;
    const double now = m_clock.nowMs();
    std::erase_if(m_gone, [&](const Pending& p) {
        const bool byCount = p.fault.afterTransfers >= 0 &&
                             p.chip->answeredMessages() - p.baseline >= static_cast<uint64_t>(p.fault.afterTransfers);
        const bool byTime = now >= p.fault.atMs;
        if (byCount || byTime)
            p.chip->setPresent(false);
        return byCount || byTime;
    });
}

void FaultSchedule::reset()
{
    m_watch.reset(m_bus.scl(), m_bus.sda());
    m_inFrame = false;
    m_armed = false;
    m_bus.drive(m_talker, false, false);
    m_bus.drive(m_stuck, false, false);
    poll();
}

void FaultSchedule::onLines(bool scl, bool sda)
{
    const auto [sclRose, sclFell, start, stop] = m_watch.next(scl, sda);

    if (start || stop) {
        m_inFrame = start;
        // Between two messages: a chip due to go goes before the next one.
        removeDueChips();
        m_armed = false;
        if (start && !m_lines.empty() && active(FaultConfig::Kind::OtherMaster, m_clock.nowMs())) {
            for (const FaultConfig& f : m_lines)
                if (f.kind == FaultConfig::Kind::OtherMaster)
                    m_bit = f.bit;
            m_armed = true;
            m_falls = 0;
        }
        return;
    }
    if (!m_armed)
        return;
    if (sclFell) {
        // Falling edge n ends bit n - 2 and opens bit n - 1 (the first ends
        // the start condition).
        ++m_falls;
        if (m_falls == m_bit + 1)
            m_bus.driveSda(m_talker, true);
    } else if (sclRose && m_bus.pullsSda(m_talker)) {
        // Its bit is on the wire; having won, it lets go, which the bus
        // shows as a stop.
        m_armed = false;
        m_bus.driveSda(m_talker, false);
    }
}

}  // namespace sim
