// The parallel port and its three registers. Every PrinterPort in a process
// shares one record of port selection and bus settings, so two objects always
// talk to the same port with the same settings.
#pragma once

#include <cstdint>
#include <memory>

#include "vexlink06/types.h"

namespace vexlink06 {

class SMBusProtocall;
class EEPROM;
class DataPort;
class StatusPort;
class ControlPort;

class VEXLINK06_API PrinterPort {
public:
    // Scans the ports (once per process), then creates SMBusProtocall,
    // DataPort, StatusPort, ControlPort and EEPROM in that order. Throws
    // ComError when the scan fails.
    static std::shared_ptr<PrinterPort> create();
    ~PrinterPort();

    PrinterPort(const PrinterPort&) = delete;
    PrinterPort& operator=(const PrinterPort&) = delete;

    // True claims the port and keeps it until something releases it; reads
    // back True only when the claim succeeded. False releases it.
    VBool LockPortOpen() const;
    void setLockPortOpen(VBool lock);

    // Asks the port driver afresh on every call.
    std::uint8_t PrinterPortsDetected() const;

    std::uint8_t PortAddressIndex() const;
    void setPortAddressIndex(std::uint8_t index);

    // Re-created on get when it has been set to nothing.
    std::shared_ptr<vexlink06::EEPROM> EEPROM();
    void setEEPROM(std::shared_ptr<vexlink06::EEPROM> eeprom);

    std::uint8_t DeviceAddress() const;
    void setDeviceAddress(std::uint8_t address);

    // -1 loads the inverting adapter's line codes, 0 the non-inverting ones;
    // any other value is stored and changes nothing else.
    VBool DataInverted() const;
    void setDataInverted(VBool inverted);

    std::int32_t PortAddress() const;
    void setPortAddress(std::int32_t address);

    std::shared_ptr<vexlink06::SMBusProtocall> SMBusProtocall() const;
    void setSMBusProtocall(std::shared_ptr<vexlink06::SMBusProtocall> protocall);
    std::shared_ptr<vexlink06::DataPort> DataPort() const;
    void setDataPort(std::shared_ptr<vexlink06::DataPort> port);
    std::shared_ptr<vexlink06::StatusPort> StatusPort() const;
    void setStatusPort(std::shared_ptr<vexlink06::StatusPort> port);
    std::shared_ptr<vexlink06::ControlPort> ControlPort() const;
    void setControlPort(std::shared_ptr<vexlink06::ControlPort> port);

private:
    PrinterPort() = default;

    std::shared_ptr<vexlink06::EEPROM> m_eeprom;
    std::shared_ptr<vexlink06::SMBusProtocall> m_protocall;
    std::shared_ptr<vexlink06::DataPort> m_dataPort;
    std::shared_ptr<vexlink06::StatusPort> m_statusPort;
    std::shared_ptr<vexlink06::ControlPort> m_controlPort;
};

// Raw access to one register of the selected port (base + 0, + 1, + 2): the
// byte goes out exactly as given, claiming the port around the access unless
// it is locked open. A failed claim writes nothing and reads 0.
class VEXLINK06_API DataPort {
public:
    static std::shared_ptr<DataPort> create();
    std::uint8_t Value() const;
    void setValue(std::uint8_t value);
};

class VEXLINK06_API StatusPort {
public:
    static std::shared_ptr<StatusPort> create();
    std::uint8_t Value() const;
    void setValue(std::uint8_t value);
};

class VEXLINK06_API ControlPort {
public:
    static std::shared_ptr<ControlPort> create();
    std::uint8_t Value() const;
    void setValue(std::uint8_t value);
};

}  // namespace vexlink06
