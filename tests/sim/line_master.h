// Drives the board through the port driver ABI exactly as a bit-banging PC
// master does (one data-register write per line change), so tests check
// the devices' reaction at the wire level.
#pragma once
#include <cstdint>
#include <vector>

#include "parport_abi.h"
#include <sim/sim.h>

namespace simtest {

// The port driver ABI itself; a test may put its own access in between.
struct AbiAccess {
    void out(int address, uint8_t value) { OutByte(address, value); }
    uint8_t in(int address) { return InByte(address); }
};

template <class Access> class BasicLineMaster {
public:
    explicit BasicLineMaster(int base = 0x378, bool inverting = true, Access access = {})
        : m_base(base), m_inverting(inverting), m_access(access)
    { }

    // Line states: SCL and SDA released (true = high).
    void lines(bool scl, bool sda)
    {
        uint8_t code = static_cast<uint8_t>((scl ? 0 : 1) | (sda ? 0 : 2));
        if (!m_inverting)
            code ^= 3;
        m_access.out(m_base, static_cast<uint8_t>(code | m_high));
    }
    bool sdaHigh() const
    {
        const bool bit = m_access.in(m_base + 1) & 0x10;
        return m_inverting ? !bit : bit;
    }
    bool sclHigh() const
    {
        const bool bit = m_access.in(m_base + 1) & 0x20;
        return m_inverting ? !bit : bit;
    }
    void setHighBits(uint8_t bits) { m_high = bits; }

    void start()
    {
        lines(true, true);
        lines(true, false);
        lines(false, false);
    }
    void stop()
    {
        lines(false, false);
        lines(true, false);
        lines(true, true);
    }
    void repeatedStart()
    {
        lines(false, true);
        lines(true, true);
        start();
    }
    // Sends a byte; returns the receiver's acknowledge.
    bool write(uint8_t v)
    {
        for (int i = 7; i >= 0; --i) {
            const bool bit = (v >> i) & 1;
            lines(false, bit);
            lines(true, bit);
            lines(false, bit);
        }
        lines(false, true);
        lines(true, true);
        const bool ack = !sdaHigh();
        lines(false, true);
        return ack;
    }
    uint8_t read(bool ack)
    {
        uint8_t v = 0;
        lines(false, true);
        for (int i = 0; i < 8; ++i) {
            lines(true, true);
            v = static_cast<uint8_t>((v << 1) | (sdaHigh() ? 1 : 0));
            lines(false, true);
        }
        lines(false, !ack);
        lines(true, !ack);
        lines(false, !ack);
        lines(false, true);
        return v;
    }

    // Byte-data transactions with the 8-bit address.
    bool writeReg(uint8_t addr, uint8_t reg, uint8_t value)
    {
        start();
        const bool ok = write(addr) && write(reg) && write(value);
        stop();
        return ok;
    }
    uint8_t readReg(uint8_t addr, uint8_t reg)
    {
        start();
        write(addr);
        write(reg);
        repeatedStart();
        write(static_cast<uint8_t>(addr | 1));
        const uint8_t v = read(false);
        stop();
        return v;
    }

private:
    int m_base;
    bool m_inverting;
    mutable Access m_access;  // a read of the lines changes nothing the master keeps
    uint8_t m_high = 0;
};

using LineMaster = BasicLineMaster<AbiAccess>;

// SMBus PEC (CRC-8, polynomial 0x07), as the tests' reference.
inline uint8_t pec(const std::vector<uint8_t>& bytes)
{
    uint8_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// Fresh board from `config`, manual clock, port 1 claimed.
inline void freshBoard(const sim::Config& config = {})
{
    sim::Config c = config;
    c.time = sim::TimeMode::Manual;
    sim::board().configure(c);
    for (int i = 1; i <= sim::board().portCount(); ++i)
        ClaimParallelPort(i, -1);
}

}  // namespace simtest
