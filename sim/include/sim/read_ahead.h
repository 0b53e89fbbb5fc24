// The rest of a byte that a device is sending on a printer port's bus, as
// the shared board tells the client reading it. The client clocks the byte
// itself and would otherwise ask the board for the lines at every bit (one
// round trip each); with this it answers those status reads itself for as
// long as its own writes only clock the byte, and the board checks every
// answer when the writes reach it.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "sim/board_link.h"

namespace sim {

// The printer-port adapter between the registers and the lines. Inverting:
// data bit 0/1 = 1 pulls SCL/SDA low; status bit 5 = SCL low, bits 4 and 3
// both SDA low (two wirings of the same adapter). Non-inverting: the
// complement on both sides.
struct AdapterPulls {
    bool scl = false;
    bool sda = false;
};
constexpr AdapterPulls adapterPulls(bool inverting, uint8_t data)
{
    const bool b0 = (data & 1) != 0;
    const bool b1 = (data & 2) != 0;
    return inverting ? AdapterPulls{b0, b1} : AdapterPulls{!b0, !b1};
}
constexpr uint8_t adapterStatus(bool inverting, bool scl, bool sda)
{
    const bool s5 = inverting ? !scl : scl;
    const bool s4 = inverting ? !sda : sda;
    return static_cast<uint8_t>((s5 ? 0x20 : 0) | (s4 ? 0x18 : 0));
}

struct ReadAhead {
    uint32_t base = 0;  // the port's data register
    bool inverting = false;
    uint8_t data = 0;   // the data register now
    uint8_t byte = 0;   // the byte being sent, most significant bit first
    int bit = 0;        // bits already finished (0..7)
    bool rose = false;  // SCL rose since the current bit went out

    std::vector<uint8_t> encode() const;
    // Nothing for any other length or a bit outside 0..7.
    static std::optional<ReadAhead> decode(std::span<const uint8_t> bytes);
};

// The client's side: what the status register reads while the client's
// writes only clock the byte (SCL up and down, SDA released, the other data
// bits unchanged). Any other write, or the byte's end, ends the prediction;
// the writes themselves go to the board as always.
class ReadAheadFollower {
public:
    void start(const ReadAhead& ahead) { m_ahead = ahead; }
    void stop() { m_ahead.reset(); }
    bool active() const { return m_ahead.has_value(); }
    void onWrite(uint32_t address, uint8_t value);
    // The status register's value when `address` is the followed port's
    // status register and the prediction still holds.
    std::optional<uint8_t> status(uint32_t address) const;

private:
    std::optional<ReadAhead> m_ahead;
};

// Where a client's own transfers on a port begin and end, from its writes
// alone: a start or stop is SDA moving while it keeps SCL released. Inside
// a transfer a status read always follows soon, and that request carries the
// queued writes, so they need not wake the link's flusher; a stop should go
// out at once, so the board sees the transfer end (and may give the port to
// another process) while the program pauses.
class TransferEdges {
public:
    using Send = BoardLink::Send;
    TransferEdges(uint32_t base, bool inverting) : m_base(base), m_inverting(inverting) { }
    uint32_t base() const { return m_base; }
    // How soon the board needs this write of the data register.
    Send onWrite(uint8_t value);
    // A board reached again knows nothing of this one's lines.
    void reset()
    {
        m_data.reset();
        m_inMessage = false;
    }

private:
    uint32_t m_base;
    bool m_inverting;
    std::optional<uint8_t> m_data;  // unknown until the first write
    bool m_inMessage = false;
};

}  // namespace sim
