// The root object: a client creates one and reaches everything through it.
#pragma once

#include <cstdint>
#include <memory>

#include "vexlink06/types.h"

namespace vexlink06 {

class PrinterPort;
class USB;
class SMBus;
class KernelAdapter;

class VEXLINK06_API TvxComPort {
public:
    // Creates the children in the order SMBus, USB, PrinterPort. An error on
    // the way is shown through the message hook ("ComportClassInit Error")
    // and swallowed: the root still exists, holding the children made before.
    static std::shared_ptr<TvxComPort> create();
    ~TvxComPort();

    TvxComPort(const TvxComPort&) = delete;
    TvxComPort& operator=(const TvxComPort&) = delete;

    std::shared_ptr<vexlink06::PrinterPort> PrinterPort() const;
    void setPrinterPort(std::shared_ptr<vexlink06::PrinterPort> port);
    std::shared_ptr<vexlink06::USB> USB() const;
    void setUSB(std::shared_ptr<vexlink06::USB> usb);
    std::shared_ptr<vexlink06::SMBus> SMBus() const;
    void setSMBus(std::shared_ptr<vexlink06::SMBus> smbus);

    // The kernel I2C/SMBus adapters. Made on the first get (it touches no
    // device until a transfer) and again after it was set to nothing.
    std::shared_ptr<vexlink06::KernelAdapter> KernelAdapter() const;
    void setKernelAdapter(std::shared_ptr<vexlink06::KernelAdapter> adapter);

    // Stored for the client only; nothing in the library reads it.
    std::int16_t PortType() const { return m_portType; }
    void setPortType(std::int16_t type) { m_portType = type; }

private:
    TvxComPort() = default;

    std::shared_ptr<vexlink06::PrinterPort> m_printerPort;
    std::shared_ptr<vexlink06::USB> m_usb;
    std::shared_ptr<vexlink06::SMBus> m_smbus;
    mutable std::shared_ptr<vexlink06::KernelAdapter> m_kernelAdapter;
    std::int16_t m_portType = 0;
};

}  // namespace vexlink06
