#include "sim/chip.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <string>

#include <chiplaw/registers.h>

#include "chip_model.h"
#include "slave_link.h"

namespace sim {

namespace {

namespace reg = chiplaw::reg;
using chiplaw::Access;

// Per-address access for a variant, looked up on every bus access.
constexpr std::array<Access, 256> accessMap(bool dual)
{
    std::array<Access, 256> map{};
    for (std::size_t a = 0; a < map.size(); ++a)
        map[a] = chiplaw::accessOn(static_cast<uint8_t>(a), dual);
    return map;
}
constexpr auto kAccess4410 = accessMap(false);
constexpr auto kAccess4411 = accessMap(true);

constexpr uint8_t kBlockWrite = chiplaw::command::BlockWrite;
constexpr uint8_t kBlockRead = chiplaw::command::BlockRead;
constexpr int kBlockSize = chiplaw::command::BlockSize;

std::string driverName(uint8_t address)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "chip@%02X", address);
    return buf;
}

}  // namespace

Chip::Chip(Bus& bus, const Clock& clock, const ChipConfig& config, double ambientC)
    : m_bus(bus), m_clock(clock), m_driver(bus.addDriver(driverName(config.address))), m_config(config),
      m_model(std::make_unique<ChipModel>(m_regs, config, ambientC))
{
    for (int i = 0; i < kBlockSize; ++i)
        m_blockMem[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    powerOn();
}

Chip::~Chip() = default;

void Chip::powerOn()
{
    const bool dual = m_config.variant == ChipVariant::Tfm4411;
    m_regs.fill(0);
    for (const chiplaw::Register& r : chiplaw::Registers) {
        if (chiplaw::accessOn(r.address, dual) != Access::None)
            m_regs[r.address] = chiplaw::powerOnValue(r, dual);
    }
    m_pointer = 0;
    m_model->convert();
}

void Chip::sync() { m_model->advanceTo(m_clock.nowMs()); }

uint8_t Chip::peek(uint8_t reg)
{
    sync();
    return m_regs[reg];
}

void Chip::poke(uint8_t reg, uint8_t value) { m_regs[reg] = value; }

void Chip::setHeaters(bool heater1, bool heater2) { m_model->setHeaters(heater1, heater2); }

double Chip::trueTemperature(int channel)
{
    sync();
    return m_model->temperature(channel);
}

double Chip::fanRpm(int fan)
{
    sync();
    return m_model->rpm(fan);
}

double Chip::fanDuty(int fan)
{
    sync();
    return m_model->duty(fan);
}

uint8_t Chip::busRead(uint8_t r)
{
    const auto& access = m_config.variant == ChipVariant::Tfm4411 ? kAccess4411 : kAccess4410;
    if (access[r] == Access::None)
        return 0x00;
    const uint8_t v = m_regs[r];
    if (chiplaw::registerAt(r)->kind == chiplaw::RegisterKind::Status)
        m_regs[r] = 0;  // clear on read; the next conversion sets what still holds
    return v;
}

void Chip::busWrite(uint8_t r, uint8_t value)
{
    const auto& access = m_config.variant == ChipVariant::Tfm4411 ? kAccess4411 : kAccess4410;
    if (access[r] != Access::ReadWrite)
        return;
    const chiplaw::Register& info = *chiplaw::registerAt(r);
    if (r == reg::Configuration2 && (value & info.selfClearing)) {
        powerOn();  // software reset; the bit itself reads back 0
        return;
    }
    m_regs[r] = static_cast<uint8_t>((m_regs[r] & ~info.writable) | (value & info.writable));
}

uint8_t Chip::pec(const uint8_t* data, int n) const { return smbusPec(data, n); }

void Chip::reset()
{
    m_state = State::Idle;
    m_lines.reset(m_bus.scl(), m_bus.sda());
    m_inFrame = false;
    m_block = Block::None;
    m_msgLen = 0;
    m_bus.driveSda(m_driver, false);
}

void Chip::onStart()
{
    if (!m_inFrame) {
        m_msgLen = 0;
        m_block = Block::None;
    }
    m_inFrame = true;
}

void Chip::onStop()
{
    if (m_block == Block::Write && m_bytesInWrite == m_blockCount + 2 && m_blockCount > 0) {
        // Complete block without a PEC byte.
        std::copy_n(m_blockBuf.begin(), m_blockCount, m_blockMem.begin());
    }
    m_block = Block::None;
    m_inFrame = false;
    m_msgLen = 0;
}

void Chip::byteReceived(uint8_t value)
{
    if (m_msgLen < static_cast<int>(m_msg.size()))
        m_msg[static_cast<size_t>(m_msgLen++)] = value;
    const int index = m_bytesInWrite++;
    m_acked = true;
    if (index == 0) {
        if (value == kBlockWrite) {
            m_block = Block::Write;
        } else if (value == kBlockRead) {
            m_block = Block::Read;
        } else {
            m_block = Block::None;
            m_pointer = value;
            m_cursor = value;
        }
        return;
    }
    switch (m_block) {
    case Block::None: busWrite(m_cursor++, value); break;
    case Block::Read:
        m_acked = false;  // a block read takes no data bytes
        break;
    case Block::Write:
        if (index == 1) {
            m_blockCount = value;
            m_acked = value <= kBlockSize;
        } else if (index - 2 < m_blockCount) {
            m_blockBuf[static_cast<size_t>(index - 2)] = value;
        } else if (index - 2 == m_blockCount) {
            // The PEC byte: the message so far without this byte.
            m_acked = pec(m_msg.data(), m_msgLen - 1) == value;
            if (m_acked)
                std::copy_n(m_blockBuf.begin(), m_blockCount, m_blockMem.begin());
            m_block = Block::None;  // nothing more is taken
            m_bytesInWrite = -1000;
        } else {
            m_acked = false;
        }
        if (!m_acked)
            m_block = Block::None;
        break;
    }
}

uint8_t Chip::nextTransmitByte()
{
    uint8_t v = 0xFF;
    if (m_block == Block::Read) {
        if (m_txIndex == 0)
            v = kBlockSize;
        else if (m_txIndex <= kBlockSize)
            v = m_blockMem[static_cast<size_t>(m_txIndex - 1)];
        else if (m_txIndex == kBlockSize + 1)
            v = pec(m_msg.data(), m_msgLen);
        ++m_txIndex;
        if (m_msgLen < static_cast<int>(m_msg.size()))
            m_msg[static_cast<size_t>(m_msgLen++)] = v;
        return v;
    }
    return busRead(m_cursor++);
}

void Chip::setPresent(bool present)
{
    if (present == m_present)
        return;
    m_present = present;
    // Back in: in step with the lines as they are now. Out: let go of SDA.
    reset();
}

void Chip::onLines(bool scl, bool sda)
{
    if (!m_present)
        return;
    struct Bytes {
        Chip& chip;
        void started() { chip.onStart(); }
        void stopped() { chip.onStop(); }
        bool addressed(uint8_t byte)
        {
            if ((byte & 0xFE) != chip.m_config.address)
                return false;
            chip.sync();
            ++chip.m_answered;
            if (chip.m_msgLen < static_cast<int>(chip.m_msg.size()))
                chip.m_msg[static_cast<size_t>(chip.m_msgLen++)] = byte;
            if (!(byte & 1)) {
                chip.m_bytesInWrite = 0;
            } else {
                chip.m_txIndex = 0;
                if (chip.m_block == Block::None)
                    chip.m_cursor = chip.m_pointer;
            }
            return true;
        }
        bool received(uint8_t byte)
        {
            if (chip.m_bytesInWrite < 0)
                return false;  // refused earlier in this message
            chip.byteReceived(byte);
            return chip.m_acked;
        }
        uint8_t transmit() { return chip.nextTransmitByte(); }
    } bytes{*this};
    SlaveLink<State>{m_bus, m_driver, m_state, m_lines, m_rose, m_bitCount, m_shift, m_read, m_acked, m_txByte}.onLines(
        scl, sda, bytes);
}

DeviceOutlook Chip::outlook() const
{
    // An absent chip sees nothing and drives nothing.
    if (!m_present)
        return {DeviceOutlook::Kind::Quiet};
    return SlaveLink<State>::outlook(m_state, m_txByte, m_bitCount, m_rose);
}

}  // namespace sim
