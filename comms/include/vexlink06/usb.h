// Reserved interface for a USB-attached board. No transport exists in this
// version: reads give 0 or False and writes have no effect.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "vexlink06/types.h"

namespace vexlink06 {

class VEXLINK06_API USBSMBus {
public:
    static std::shared_ptr<USBSMBus> create();

    void ByteWriteSAP(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, std::uint8_t Data);
    void ByteWriteDAP(std::uint8_t DeviceAddress, std::int32_t AddressPointer, std::uint8_t Data);
    std::uint8_t ByteReadDAP(std::uint8_t DeviceAddress, std::int32_t AddressPointer);
    std::uint8_t ByteReadSAP(std::uint8_t DeviceAddress, std::uint8_t AddressPointer);
};

class VEXLINK06_API USB {
public:
    // Declared for clients; the library never raises it.
    using ErrorHandler = std::function<void(std::int32_t number, const std::string& description)>;

    static std::shared_ptr<USB> create();
    ~USB();

    USB(const USB&) = delete;
    USB& operator=(const USB&) = delete;

    void setUSBErrorHandler(ErrorHandler handler) { m_errorHandler = std::move(handler); }

    void OpenUSBPort();
    void CloseUSBPort();
    std::int32_t BoardControlPort() const { return m_boardControlPort; }
    void setBoardControlPort(std::int32_t port) { m_boardControlPort = port; }
    std::uint8_t EvalBoardID() const;
    // Loads nothing and touches no file.
    VBool LoadFirmware(const std::string& Filename);
    VBool CommsAvailable(std::uint8_t ProtocallType) const;

    std::shared_ptr<vexlink06::USBSMBus> USBSMBus() const { return m_usbSMBus; }
    void setUSBSMBus(std::shared_ptr<vexlink06::USBSMBus> child) { m_usbSMBus = std::move(child); }

private:
    USB() = default;

    ErrorHandler m_errorHandler;
    std::int32_t m_boardControlPort = 0;
    std::shared_ptr<vexlink06::USBSMBus> m_usbSMBus;
};

}  // namespace vexlink06
