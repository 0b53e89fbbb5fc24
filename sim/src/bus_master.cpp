// The bit-level master of in-sim parties (BusMaster in smbus.h): start,
// bytes, stop, and the whole SMBus transactions built from them, clocked on
// a Bus; and the SMBus packet error code.
#include "sim/smbus.h"

#include <span>
#include <string>
#include <utility>

namespace sim {

BusMaster::BusMaster(Bus& bus, std::string name) : m_bus(bus), m_id(bus.addDriver(std::move(name))) { }

void BusMaster::clockHigh()
{
    m_bus.driveScl(m_id, false);
    if (!m_bus.scl())
        m_lost = true;  // someone else holds the clock
}

void BusMaster::clockLow() { m_bus.driveScl(m_id, true); }

bool BusMaster::start()
{
    m_lost = false;
    if (!m_bus.scl() || !m_bus.sda())
        return false;
    m_bus.driveSda(m_id, true);
    m_bus.driveScl(m_id, true);
    return true;
}

bool BusMaster::repeatedStart()
{
    m_bus.driveSda(m_id, false);
    clockHigh();
    if (m_lost || !m_bus.sda()) {
        m_lost = true;
        return false;
    }
    m_bus.driveSda(m_id, true);
    clockLow();
    return true;
}

void BusMaster::stop()
{
    m_bus.driveSda(m_id, true);
    m_bus.driveScl(m_id, false);
    m_bus.driveSda(m_id, false);
}

bool BusMaster::writeByte(uint8_t value)
{
    for (int i = 7; i >= 0; --i) {
        const bool one = (value >> i) & 1;
        m_bus.driveSda(m_id, !one);
        clockHigh();
        if (m_lost || (one && !m_bus.sda())) {
            m_lost = true;
            m_bus.drive(m_id, false, false);
            return false;
        }
        clockLow();
    }
    m_bus.driveSda(m_id, false);
    clockHigh();
    const bool ack = !m_bus.sda();
    clockLow();
    return ack && !m_lost;
}

uint8_t BusMaster::readByte(bool ack)
{
    m_bus.driveSda(m_id, false);
    uint8_t v = 0;
    for (int i = 0; i < 8; ++i) {
        clockHigh();
        v = static_cast<uint8_t>((v << 1) | (m_bus.sda() ? 1 : 0));
        clockLow();
    }
    m_bus.driveSda(m_id, ack);
    clockHigh();
    clockLow();
    m_bus.driveSda(m_id, false);
    return v;
}

bool BusMaster::quick(uint8_t address7, bool read)
{
    if (!start())
        return false;
    const bool ack = writeByte(static_cast<uint8_t>((address7 << 1) | (read ? 1 : 0)));
    if (m_lost)
        return false;
    if (ack && read)
        readByte(false);  // let the slave finish its byte so the stop can be seen
    stop();
    return ack;
}

bool BusMaster::writeByteData(uint8_t address7, uint8_t command, uint8_t data)
{
    if (!start())
        return false;
    bool ok = writeByte(static_cast<uint8_t>(address7 << 1)) && writeByte(command) && writeByte(data);
    if (m_lost)
        return false;
    stop();
    return ok;
}

bool BusMaster::readByteData(uint8_t address7, uint8_t command, uint8_t& data)
{
    if (!start())
        return false;
    bool ok = writeByte(static_cast<uint8_t>(address7 << 1)) && writeByte(command);
    if (ok)
        ok = repeatedStart() && writeByte(static_cast<uint8_t>((address7 << 1) | 1));
    if (m_lost)
        return false;
    if (ok)
        data = readByte(false);
    stop();
    return ok;
}

uint8_t smbusPec(const uint8_t* data, int n)
{
    uint8_t crc = 0;
    for (int i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

Outcome BusMaster::sendByte(uint8_t address7, uint8_t value, bool pec)
{
    int received = 0;
    return transfer(address7, std::span<const uint8_t>(&value, 1), 0, nullptr, received, pec);
}

Outcome BusMaster::receiveByte(uint8_t address7, uint8_t& value, bool pec)
{
    int received = 0;
    return transfer(address7, {}, 1, &value, received, pec);
}

Outcome BusMaster::transfer(uint8_t address7, std::span<const uint8_t> out, int readCount, uint8_t* in, int& received,
                            bool pec)
{
    received = 0;
    // The whole message as the wire carries it, for the PEC: at most the
    // write address, 33 bytes out, the read address, a count and 32 bytes in.
    uint8_t message[72];
    int length = 0;
    auto put = [&](uint8_t b) {
        if (length < static_cast<int>(sizeof message))
            message[length++] = b;
    };
    auto fail = [&](Outcome why) {
        if (m_lost)
            return Outcome::Lost;
        stop();
        return why;
    };

    if (!start())
        return Outcome::Busy;
    if (!out.empty()) {
        const auto write = static_cast<uint8_t>(address7 << 1);
        put(write);
        if (!writeByte(write))
            return fail(Outcome::NoAck);
        for (uint8_t b : out) {
            put(b);
            if (!writeByte(b))
                return fail(Outcome::NoAck);
        }
        if (readCount == 0) {
            if (pec && !writeByte(smbusPec(message, length)))
                return fail(Outcome::NoAck);
            stop();
            return Outcome::Ok;
        }
        if (!repeatedStart())
            return fail(Outcome::Lost);
    }
    const auto read = static_cast<uint8_t>((address7 << 1) | 1);
    put(read);
    if (!writeByte(read))
        return fail(Outcome::NoAck);
    int count = readCount;
    if (readCount < 0) {
        const uint8_t n = readByte(true);
        put(n);
        if (n == 0 || n > 32) {
            readByte(false);  // end the slave's send so the stop is seen
            stop();
            return Outcome::BadCount;
        }
        count = n;
    }
    for (int i = 0; i < count; ++i) {
        const bool last = i == count - 1;
        in[i] = readByte(!last || pec);
        put(in[i]);
    }
    received = count;
    Outcome result = Outcome::Ok;
    if (pec && readByte(false) != smbusPec(message, length))
        result = Outcome::BadPec;
    stop();
    return result;
}

}  // namespace sim
