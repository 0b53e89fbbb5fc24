#include "motherboard_hosts.h"

namespace sim {

uint8_t* HostController::plainRegister(uint16_t offset)
{
    if (offset == m_layout.command)
        return &m_command;
    if (offset == m_layout.address)
        return &m_address;
    if (offset == m_layout.data0)
        return &m_data0;
    if (offset == m_layout.data1)
        return &m_data1;
    return nullptr;
}

uint8_t HostController::read(uint16_t offset)
{
    if (offset == m_layout.status) {
        if (m_busyLeft > 0) {
            --m_busyLeft;
            return m_layout.busy;
        }
        return m_status | m_layout.idle;
    }
    if (offset == m_layout.protocolRegister)
        return m_protocol;
    if (const uint8_t* reg = plainRegister(offset))
        return *reg;
    return 0;
}

void HostController::write(uint16_t offset, uint8_t value)
{
    if (offset == m_layout.status) {
        m_status &= ~(value & (m_layout.done | m_layout.deviceError | m_layout.collision | m_layout.failed));
        return;
    }
    if (uint8_t* reg = plainRegister(offset)) {
        *reg = value;
        return;
    }
    if (offset == m_layout.protocolRegister) {
        m_protocol = value & ~m_layout.writeOnly;
        if (value & m_layout.kill) {
            kill();  // and never a start in the same write
            return;
        }
    }
    if (offset == m_layout.startRegister && (m_layout.startBit == 0 || (value & m_layout.startBit)))
        start();
}

void HostController::kill()
{
    if (m_busyLeft > 0)
        m_status |= m_layout.failed;
    m_busyLeft = 0;
}

void HostController::start()
{
    if (m_busyLeft > 0)
        return;
    constexpr Protocol byCode[] = {Protocol::Quick, Protocol::Byte, Protocol::ByteData, Protocol::WordData};
    const unsigned code = (m_protocol >> m_layout.protocolShift) & 7;
    switch (run(code < 4 ? byCode[code] : Protocol::Unsupported)) {
    case Outcome::Ok: m_status |= m_layout.done; break;
    case Outcome::NoAck: m_status |= m_layout.deviceError; break;
    case Outcome::Collision: m_status |= m_layout.collision; break;
    case Outcome::Unsupported: m_status |= m_layout.failed; break;
    }
    m_busyLeft = m_busyReads;
}

HostController::Outcome HostController::run(Protocol protocol)
{
    if (protocol == Protocol::Unsupported)
        return Outcome::Unsupported;
    const bool read = (m_address & 1) != 0;
    auto failed = [this] {
        m_master.stop();
        return m_master.arbitrationLost() ? Outcome::Collision : Outcome::NoAck;
    };
    if (!m_master.start())
        return Outcome::Collision;

    switch (protocol) {
    case Protocol::Quick:
        if (!m_master.writeByte(m_address))
            return failed();
        break;
    case Protocol::Byte:
        if (!m_master.writeByte(m_address))
            return failed();
        if (read)
            m_data0 = m_master.readByte(false);
        else if (!m_master.writeByte(m_command))
            return failed();
        break;
    case Protocol::ByteData:
    case Protocol::WordData:
        if (!m_master.writeByte(m_address & 0xFE) || !m_master.writeByte(m_command))
            return failed();
        if (read) {
            if (!m_master.repeatedStart())
                return Outcome::Collision;
            if (!m_master.writeByte(m_address))
                return failed();
            if (protocol == Protocol::WordData) {
                m_data0 = m_master.readByte(true);
                m_data1 = m_master.readByte(false);
            } else {
                m_data0 = m_master.readByte(false);
            }
        } else {
            if (!m_master.writeByte(m_data0))
                return failed();
            if (protocol == Protocol::WordData && !m_master.writeByte(m_data1))
                return failed();
        }
        break;
    case Protocol::Unsupported: break;
    }
    m_master.stop();
    return Outcome::Ok;
}

// PIIX4 type: the start bit sits in the control register beside the
// protocol field and the kill bit, and reads back 0.
Piix4Host::Piix4Host(Bus& bus)
    : HostController(bus, "piix4-host",
                     {.status = 0,
                      .command = 3,
                      .address = 4,
                      .data0 = 5,
                      .data1 = 6,
                      .busy = 0x01,
                      .idle = 0x00,
                      .done = 0x02,  // done: the interrupt bit
                      .deviceError = 0x04,
                      .collision = 0x08,
                      .failed = 0x10,
                      .protocolRegister = 2,
                      .protocolShift = 2,
                      .kill = 0x02,
                      .writeOnly = 0x40,
                      .startRegister = 2,
                      .startBit = 0x40})
{ }

// ALi type: any write to the start register starts; the kill bit of the
// protocol type register reads back 0.
AliHost::AliHost(Bus& bus)
    : HostController(bus, "ali-host",
                     {.status = 0,
                      .command = 7,
                      .address = 3,
                      .data0 = 4,
                      .data1 = 5,
                      .busy = 0x08,
                      .idle = 0x04,
                      .done = 0x10,
                      .deviceError = 0x20,
                      .collision = 0x40,
                      .failed = 0x80,  // collision: bus error
                      .protocolRegister = 1,
                      .protocolShift = 4,
                      .kill = 0x04,
                      .writeOnly = 0x04,
                      .startRegister = 2,
                      .startBit = 0})
{ }

}  // namespace sim
