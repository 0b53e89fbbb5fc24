#pragma once
// The evaluation board's serial memory on the printer port's bus: 64 KiB at
// address byte 0xA0, 16-bit memory addresses. It shares the protocol's device
// address with the chip's block transfers, so a BoardMemory points that
// address at the memory for its life and back at the chip afterwards.
// Library failures are BusFailure (adapters.h).

#include <cstdint>
#include <memory>

#include "device/device_session.h"

namespace vexlink06 {
class EEPROM;
class PrinterPort;
}  // namespace vexlink06

namespace device {

class BoardMemory {
public:
    static constexpr unsigned Size = 0x10000;

    // `chip`: the printer port's chip whose address is restored afterwards.
    explicit BoardMemory(const ChipLocation& chip);
    ~BoardMemory();
    BoardMemory(const BoardMemory&) = delete;
    BoardMemory& operator=(const BoardMemory&) = delete;

    // `address` below Size. A real memory takes a few milliseconds to store
    // a byte written and ignores the bus meanwhile: the caller waits.
    std::uint8_t read(unsigned address);
    void write(unsigned address, std::uint8_t value);

private:
    std::shared_ptr<vexlink06::PrinterPort> m_port;
    std::shared_ptr<vexlink06::EEPROM> m_memory;
    std::uint8_t m_chipByte = 0;
};

}  // namespace device
