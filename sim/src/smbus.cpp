#include "sim/smbus.h"
#include "sim/wire_capture.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace sim {

Bus::Bus(std::string name) : m_name(std::move(name)) { }

Bus::DriverId Bus::addDriver(std::string name)
{
    if (m_drivers.size() >= kMaxDrivers)
        throw std::length_error("too many drivers on bus " + m_name);
    m_drivers.push_back(std::move(name));
    return static_cast<DriverId>(m_drivers.size() - 1);
}

const std::string& Bus::driverName(DriverId id) const { return m_drivers.at(static_cast<size_t>(id)); }

void Bus::attach(BusDevice* device) { m_devices.push_back(device); }

void Bus::detach(BusDevice* device)
{
    m_devices.erase(std::remove(m_devices.begin(), m_devices.end(), device), m_devices.end());
}

void Bus::reset()
{
    m_sclPulls = 0;
    m_sdaPulls = 0;
    m_sclSeen = m_sdaSeen = true;
    m_inMessage = false;
    m_inFrame = false;
    m_bit = 0;
    for (BusDevice* d : m_devices)
        d->reset();
}

void Bus::drive(DriverId id, bool pullScl, bool pullSda)
{
    const uint32_t bit = 1u << id;
    const bool sclNow = (m_sclPulls & bit) != 0;
    if (pullScl && !sclNow) {
        apply(id, bit, true, true);
        apply(id, bit, false, pullSda);
    } else {
        apply(id, bit, false, pullSda);
        apply(id, bit, true, pullScl);
    }
}

void Bus::driveScl(DriverId id, bool pull) { apply(id, 1u << id, true, pull); }
void Bus::driveSda(DriverId id, bool pull) { apply(id, 1u << id, false, pull); }

void Bus::apply(DriverId, uint32_t bit, bool scl, bool pull)
{
    uint32_t& mask = scl ? m_sclPulls : m_sdaPulls;
    const uint32_t next = pull ? (mask | bit) : (mask & ~bit);
    if (next == mask)
        return;
    mask = next;
    settle();
}

// Delivers level changes to every device until the lines stop moving. Pulls
// made by devices during a round take effect in the next round.
void Bus::settle()
{
    if (m_settling)
        return;
    m_settling = true;
    for (int rounds = 0; rounds < 64; ++rounds) {
        const bool scl = m_sclPulls == 0;
        const bool sda = m_sdaPulls == 0;
        if (scl == m_sclSeen && sda == m_sdaSeen)
            break;
        // SDA moving while SCL stays high: a start (falling) or a stop.
        if (scl && m_sclSeen && sda != m_sdaSeen)
            m_inMessage = !sda;
        if (m_tracing)
            decode(scl, sda);
        if (m_capture)
            m_capture->lines(scl, sda);
        m_sclSeen = scl;
        m_sdaSeen = sda;
        for (BusDevice* d : m_devices)
            d->onLines(scl, sda);
    }
    m_settling = false;
}

void Bus::setTracing(bool on)
{
    m_tracing = on;
    m_inFrame = false;
    m_bit = 0;
}

void Bus::clearTrace() { m_trace.clear(); }

std::string Bus::namesOf(uint32_t mask) const
{
    std::string out;
    for (size_t i = 0; i < m_drivers.size(); ++i) {
        if (mask & (1u << i)) {
            if (!out.empty())
                out += ',';
            out += m_drivers[i];
        }
    }
    return out;
}

void Bus::decode(bool scl, bool sda)
{
    const bool sclChanged = scl != m_sclSeen;
    auto cutByte = [this] {
        // One clock rise before a start or stop is that condition's own
        // clock edge, not a data bit.
        if (m_bit > 1) {
            TraceEvent e;
            e.kind = TraceEvent::Kind::Partial;
            e.value = m_shift;
            e.bits = m_bit;
            e.by = namesOf(m_byMask);
            m_trace.push_back(std::move(e));
        }
        m_bit = 0;
        m_shift = 0;
        m_byMask = 0;
    };
    if (!sclChanged) {
        if (!scl)
            return;
        cutByte();
        TraceEvent e;
        if (!sda) {
            e.kind = m_inFrame ? TraceEvent::Kind::RepeatedStart : TraceEvent::Kind::Start;
            m_inFrame = true;
        } else {
            e.kind = TraceEvent::Kind::Stop;
            m_inFrame = false;
        }
        m_trace.push_back(std::move(e));
        return;
    }
    if (!scl || !m_inFrame)
        return;
    // Rising clock edge: the bit is valid now.
    if (m_bit < 8) {
        m_shift = static_cast<uint8_t>((m_shift << 1) | (sda ? 1 : 0));
        m_byMask |= m_sdaPulls;
        ++m_bit;
        return;
    }
    TraceEvent e;
    e.kind = TraceEvent::Kind::Byte;
    e.value = m_shift;
    e.bits = 8;
    e.ack = !sda;
    e.by = namesOf(m_byMask);
    e.ackBy = namesOf(m_sdaPulls);
    m_trace.push_back(std::move(e));
    m_bit = 0;
    m_shift = 0;
    m_byMask = 0;
}

std::string Bus::traceText() const
{
    std::string out;
    char buf[16];
    for (const TraceEvent& e : m_trace) {
        if (!out.empty())
            out += ' ';
        switch (e.kind) {
        case TraceEvent::Kind::Start: out += 'S'; break;
        case TraceEvent::Kind::RepeatedStart: out += "Sr"; break;
        case TraceEvent::Kind::Stop: out += 'P'; break;
        case TraceEvent::Kind::Byte:
            std::snprintf(buf, sizeof buf, "%02X%c", e.value, e.ack ? '+' : '-');
            out += buf;
            break;
        case TraceEvent::Kind::Partial:
            std::snprintf(buf, sizeof buf, "?%d", e.bits);
            out += buf;
            break;
        }
    }
    return out;
}

}  // namespace sim
