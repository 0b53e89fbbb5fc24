#include "motherboard_hosts.h"

namespace sim {

HostController::Outcome HostController::run(Protocol protocol, uint8_t address8, uint8_t command,
                                            uint8_t& data0, uint8_t& data1) {
    if (protocol == Protocol::Unsupported)
        return Outcome::Unsupported;
    const bool read = (address8 & 1) != 0;
    auto failed = [this] {
        m_master.stop();
        return m_master.arbitrationLost() ? Outcome::Collision : Outcome::NoAck;
    };
    if (!m_master.start())
        return Outcome::Collision;

    switch (protocol) {
    case Protocol::Quick:
        if (!m_master.writeByte(address8))
            return failed();
        break;
    case Protocol::Byte:
        if (!m_master.writeByte(address8))
            return failed();
        if (read)
            data0 = m_master.readByte(false);
        else if (!m_master.writeByte(command))
            return failed();
        break;
    case Protocol::ByteData:
    case Protocol::WordData:
        if (!m_master.writeByte(address8 & 0xFE) || !m_master.writeByte(command))
            return failed();
        if (read) {
            if (!m_master.repeatedStart())
                return Outcome::Collision;
            if (!m_master.writeByte(address8))
                return failed();
            if (protocol == Protocol::WordData) {
                data0 = m_master.readByte(true);
                data1 = m_master.readByte(false);
            } else {
                data0 = m_master.readByte(false);
            }
        } else {
            if (!m_master.writeByte(data0))
                return failed();
            if (protocol == Protocol::WordData && !m_master.writeByte(data1))
                return failed();
        }
        break;
    case Protocol::Unsupported:
        break;
    }
    m_master.stop();
    return Outcome::Ok;
}

// ---- PIIX4 type -------------------------------------------------------------

namespace {
namespace piix4 {
constexpr uint8_t HostBusy = 0x01, Interrupt = 0x02, DeviceError = 0x04, BusCollision = 0x08,
                  Failed = 0x10;
constexpr uint8_t Clearable = Interrupt | DeviceError | BusCollision | Failed;
constexpr uint8_t Kill = 0x02, Start = 0x40;
} // namespace piix4
} // namespace

uint8_t Piix4Host::read(uint16_t offset) {
    switch (offset) {
    case 0:
        if (m_busyLeft > 0) {
            --m_busyLeft;
            return piix4::HostBusy;
        }
        return m_status;
    case 2: return m_control & ~piix4::Start; // start reads back 0
    case 3: return m_command;
    case 4: return m_address;
    case 5: return m_data0;
    case 6: return m_data1;
    default: return 0;
    }
}

void Piix4Host::write(uint16_t offset, uint8_t value) {
    switch (offset) {
    case 0: m_status &= ~(value & piix4::Clearable); break;
    case 2:
        m_control = value & ~piix4::Start;
        if (value & piix4::Kill) {
            if (m_busyLeft > 0)
                m_status |= piix4::Failed;
            m_busyLeft = 0;
        } else if ((value & piix4::Start) && m_busyLeft == 0) {
            start();
        }
        break;
    case 3: m_command = value; break;
    case 4: m_address = value; break;
    case 5: m_data0 = value; break;
    case 6: m_data1 = value; break;
    default: break;
    }
}

void Piix4Host::start() {
    Protocol protocol = Protocol::Unsupported;
    switch ((m_control >> 2) & 7) {
    case 0: protocol = Protocol::Quick; break;
    case 1: protocol = Protocol::Byte; break;
    case 2: protocol = Protocol::ByteData; break;
    case 3: protocol = Protocol::WordData; break;
    default: break;
    }
    switch (run(protocol, m_address, m_command, m_data0, m_data1)) {
    case Outcome::Ok: m_status |= piix4::Interrupt; break;
    case Outcome::NoAck: m_status |= piix4::DeviceError; break;
    case Outcome::Collision: m_status |= piix4::BusCollision; break;
    case Outcome::Unsupported: m_status |= piix4::Failed; break;
    }
    m_busyLeft = m_busyReads;
}

// ---- ALi type ---------------------------------------------------------------

namespace {
namespace ali {
constexpr uint8_t Idle = 0x04, HostBusy = 0x08, Done = 0x10, DeviceError = 0x20, BusError = 0x40,
                  Failed = 0x80;
constexpr uint8_t Clearable = Done | DeviceError | BusError | Failed;
constexpr uint8_t Kill = 0x04;
} // namespace ali
} // namespace

uint8_t AliHost::read(uint16_t offset) {
    switch (offset) {
    case 0:
        if (m_busyLeft > 0) {
            --m_busyLeft;
            return ali::HostBusy;
        }
        return m_status | ali::Idle;
    case 1: return m_type;
    case 3: return m_address;
    case 4: return m_data0;
    case 5: return m_data1;
    case 7: return m_command;
    default: return 0;
    }
}

void AliHost::write(uint16_t offset, uint8_t value) {
    switch (offset) {
    case 0: m_status &= ~(value & ali::Clearable); break;
    case 1:
        m_type = value & ~ali::Kill;
        if (value & ali::Kill) {
            if (m_busyLeft > 0)
                m_status |= ali::Failed;
            m_busyLeft = 0;
        }
        break;
    case 2:
        if (m_busyLeft == 0)
            start();
        break;
    case 3: m_address = value; break;
    case 4: m_data0 = value; break;
    case 5: m_data1 = value; break;
    case 7: m_command = value; break;
    default: break;
    }
}

void AliHost::start() {
    Protocol protocol = Protocol::Unsupported;
    switch ((m_type >> 4) & 7) {
    case 0: protocol = Protocol::Quick; break;
    case 1: protocol = Protocol::Byte; break;
    case 2: protocol = Protocol::ByteData; break;
    case 3: protocol = Protocol::WordData; break;
    default: break;
    }
    switch (run(protocol, m_address, m_command, m_data0, m_data1)) {
    case Outcome::Ok: m_status |= ali::Done; break;
    case Outcome::NoAck: m_status |= ali::DeviceError; break;
    case Outcome::Collision: m_status |= ali::BusError; break;
    case Outcome::Unsupported: m_status |= ali::Failed; break;
    }
    m_busyLeft = m_busyReads;
}

} // namespace sim
