#include "sim/read_ahead.h"

namespace sim {

namespace {
constexpr size_t kEncoded = 9;
}  // namespace

std::vector<uint8_t> ReadAhead::encode() const
{
    std::vector<uint8_t> out;
    boardwire::put32(out, base);
    out.insert(out.end(), {static_cast<uint8_t>(inverting ? 1 : 0), data, byte, static_cast<uint8_t>(bit),
                           static_cast<uint8_t>(rose ? 1 : 0)});
    return out;
}

std::optional<ReadAhead> ReadAhead::decode(std::span<const uint8_t> bytes)
{
    if (bytes.size() != kEncoded || bytes[7] > 7)
        return std::nullopt;
    ReadAhead a;
    a.base = boardwire::get32(bytes.data());
    a.inverting = bytes[4] != 0;
    a.data = bytes[5];
    a.byte = bytes[6];
    a.bit = bytes[7];
    a.rose = bytes[8] != 0;
    return a;
}

void ReadAheadFollower::onWrite(uint32_t address, uint8_t value)
{
    if (!m_ahead || address != m_ahead->base)
        return;  // the control register and other ports leave the lines alone
    ReadAhead& a = *m_ahead;
    const AdapterPulls after = adapterPulls(a.inverting, value);
    // SDA from the PC could make a start, stop or acknowledge; the heater
    // bits move the chip's physics. Either way the board answers again.
    if (after.sda || ((value ^ a.data) & ~0x03u) != 0) {
        stop();
        return;
    }
    const bool wasLow = adapterPulls(a.inverting, a.data).scl;
    const bool isLow = after.scl;
    a.data = value;
    // As the sending device counts edges: a fall ends a bit only after a rise.
    if (wasLow && !isLow) {
        a.rose = true;
    } else if (!wasLow && isLow && a.rose) {
        a.rose = false;
        if (++a.bit >= 8)
            stop();  // the device lets SDA go for the acknowledge
    }
}

std::optional<uint8_t> ReadAheadFollower::status(uint32_t address) const
{
    if (!m_ahead || address != m_ahead->base + 1)
        return std::nullopt;
    const ReadAhead& a = *m_ahead;
    const bool scl = !adapterPulls(a.inverting, a.data).scl;
    const bool deviceSda = ((a.byte >> (7 - a.bit)) & 1) != 0;
    return adapterStatus(a.inverting, scl, deviceSda);
}

TransferEdges::Send TransferEdges::onWrite(uint8_t value)
{
    const std::optional<uint8_t> before = m_data;
    m_data = value;
    if (!before)
        return Send::Late;
    // The same value again changes nothing on the wires (a transfer begins
    // by restating the idle lines): the next request takes it.
    if (*before == value)
        return Send::WithNext;
    const AdapterPulls was = adapterPulls(m_inverting, *before);
    const AdapterPulls is = adapterPulls(m_inverting, value);
    const bool start = !was.scl && !is.scl && !was.sda && is.sda;
    const bool stop = !was.scl && !is.scl && was.sda && !is.sda;
    // Both lines let go in one write ends whatever the client had on the
    // bus too (it makes no stop on the wires, see Bus::drive).
    const bool letGo = was.scl && was.sda && !is.scl && !is.sda;
    if (start)
        m_inMessage = true;
    if (m_inMessage && (stop || letGo)) {
        m_inMessage = false;
        return Send::Now;
    }
    return m_inMessage ? Send::WithNext : Send::Late;
}

}  // namespace sim
