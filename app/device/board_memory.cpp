#include "device/board_memory.h"

#include <mutex>

#include <vexlink06/vexlink06.h>

#include "device/adapters.h"
#include "device/bus_route.h"
#include "device/register_link.h"
#include "device/session_support.h"

namespace device {

namespace {

// The memory's address byte on the printer port's bus.
constexpr std::uint8_t MemoryAddressByte = 0xA0;

std::uint8_t high(unsigned address) { return static_cast<std::uint8_t>(address >> 8); }
std::uint8_t low(unsigned address) { return static_cast<std::uint8_t>(address); }

}  // namespace

BoardMemory::BoardMemory(const ChipLocation& chip) : m_chipByte(addressByte(chip.address))
{
    std::lock_guard lock(busMutex());
    try {
        m_port = detail::printerPort();
        m_memory = required(m_port->EEPROM());
        m_memory->setDeviceAddress(MemoryAddressByte);
    } catch (const vexlink06::ComError& e) {
        throw busFailure(e);
    }
}

BoardMemory::~BoardMemory()
{
    try {
        std::lock_guard lock(busMutex());
        m_port->setDeviceAddress(m_chipByte);
    } catch (...) {
        // The next block transfer's caller sets the address it needs.
    }
}

std::uint8_t BoardMemory::read(unsigned address)
{
    std::lock_guard lock(busMutex());
    try {
        return m_memory->ReadByte(high(address), low(address));
    } catch (const vexlink06::ComError& e) {
        throw busFailure(e);
    }
}

void BoardMemory::write(unsigned address, std::uint8_t value)
{
    std::lock_guard lock(busMutex());
    try {
        m_memory->WriteByte(high(address), low(address), value);
    } catch (const vexlink06::ComError& e) {
        throw busFailure(e);
    }
}

}  // namespace device
