// The evaluation board's serial memory on the parallel-port bus: 16-bit
// memory addresses, high byte first, at the shared DeviceAddress (an 8-bit
// address byte; bit 0 is forced per phase). Lost arbitration is retried and
// finally abandoned without an event.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vexlink06/types.h"

namespace vexlink06 {

class VEXLINK06_API EEPROM {
public:
    // Declared for clients; the library never raises it.
    using ErrorHandler = std::function<void(std::int16_t number, const std::string& description)>;

    // Writes the inverted line codes (not the status patterns) into the
    // shared settings.
    static std::shared_ptr<EEPROM> create();
    ~EEPROM();

    EEPROM(const EEPROM&) = delete;
    EEPROM& operator=(const EEPROM&) = delete;

    void setEEPROMErrorHandler(ErrorHandler handler) { m_errorHandler = std::move(handler); }

    // The library-wide frame delay, stored here without limits.
    float FrameDelay() const;
    void setFrameDelay(float delay);
    // Stored only.
    std::int16_t Delay() const { return m_delay; }
    void setDelay(std::int16_t delay) { m_delay = delay; }
    VBool RelativeDelayOn() const;
    void setRelativeDelayOn(VBool on);

    void SetAddress(std::uint8_t HighByte, std::uint8_t LowByte);
    std::uint8_t ReadByte(std::uint8_t HighByte, std::uint8_t LowByte);
    void WriteByte(std::uint8_t HighByte, std::uint8_t LowByte, std::uint8_t Data);
    // Always False.
    VBool PageErase(std::uint8_t CommandByte, std::uint8_t HighByte, std::uint8_t LowByte);
    std::uint8_t DeviceAddress() const;
    void setDeviceAddress(std::uint8_t address);
    void SetEEPROMAddress(std::uint8_t HighByte, std::uint8_t LowByte);
    // The DeviceAddress argument is not used: the command goes to the shared
    // DeviceAddress.
    void SingleCommand(std::uint8_t DeviceAddress, std::uint8_t CommandByte);

private:
    EEPROM() = default;

    ErrorHandler m_errorHandler;
    std::int16_t m_delay = 0;
};

}  // namespace vexlink06
