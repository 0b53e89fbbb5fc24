#include <chrono>
#include <random>

#include "comms_state.h"
#include "message_hook.h"
#include "parallel_port.h"
#include "vexlink06/eeprom.h"
#include "vexlink06/line_sense.h"
#include "vexlink06/printer_port.h"
#include "vexlink06/smbus.h"
#include "vexlink06/smbus_protocall.h"
#include "vexlink06/tvx_com_port.h"
#include "vexlink06/usb.h"

namespace vexlink06 {

namespace detail {
CommsState g_commsState;
}

namespace {

bool g_initialised = false;
std::minstd_rand g_random;

}  // namespace

void InitialiseGlobalComponents()
{
    if (g_initialised)
        return;
    g_random.seed(
        static_cast<std::minstd_rand::result_type>(std::chrono::system_clock::now().time_since_epoch().count()));
    g_initialised = true;
}

double randomUnit() { return std::uniform_real_distribution<double>(0.0, 1.0)(g_random); }

void applyDataInverted(VBool inverted)
{
    CommsState& s = commsState();
    s.dataInverted = inverted;
    if (inverted == True) {
        s.codes = kInvertedCodes;
        s.patterns = kInvertedPatterns;
    } else if (inverted == False) {
        s.codes = kPlainCodes;
        s.patterns = kPlainPatterns;
    }
}

// The code and pattern sets are only ever one of the two pairs above, so
// their idle entries tell which.
LineSense lineSense()
{
    const CommsState& s = commsState();
    return {s.dataInverted, s.codes.clockHighDataHigh == kInvertedCodes.clockHighDataHigh,
            s.patterns.clockHighDataHigh == kInvertedPatterns.clockHighDataHigh};
}

void setLineSense(const LineSense& sense)
{
    CommsState& s = commsState();
    s.dataInverted = sense.dataInverted;
    s.codes = sense.invertingCodes ? kInvertedCodes : kPlainCodes;
    s.patterns = sense.invertingPatterns ? kInvertedPatterns : kPlainPatterns;
}

// ---- TvxComPort ----

std::shared_ptr<TvxComPort> TvxComPort::create()
{
    std::shared_ptr<TvxComPort> root(new TvxComPort());
    try {
        InitialiseGlobalComponents();
        root->m_smbus = vexlink06::SMBus::create();
        root->m_usb = vexlink06::USB::create();
        root->m_printerPort = vexlink06::PrinterPort::create();
    } catch (const ComError& error) {
        showErrorBox("ComportClassInit Error", error);
    }
    return root;
}

TvxComPort::~TvxComPort()
{
    m_usb.reset();
    m_smbus.reset();
    m_printerPort.reset();
}

std::shared_ptr<PrinterPort> TvxComPort::PrinterPort() const { return m_printerPort; }
void TvxComPort::setPrinterPort(std::shared_ptr<vexlink06::PrinterPort> port) { m_printerPort = std::move(port); }
std::shared_ptr<USB> TvxComPort::USB() const { return m_usb; }
void TvxComPort::setUSB(std::shared_ptr<vexlink06::USB> usb) { m_usb = std::move(usb); }
std::shared_ptr<SMBus> TvxComPort::SMBus() const { return m_smbus; }
void TvxComPort::setSMBus(std::shared_ptr<vexlink06::SMBus> smbus) { m_smbus = std::move(smbus); }

// ---- PrinterPort ----

std::shared_ptr<PrinterPort> PrinterPort::create()
{
    FindAvailablePrinterports();
    InitialiseGlobalComponents();
    std::shared_ptr<PrinterPort> port(new PrinterPort());
    port->m_protocall = vexlink06::SMBusProtocall::create();
    port->m_dataPort = vexlink06::DataPort::create();
    port->m_statusPort = vexlink06::StatusPort::create();
    port->m_controlPort = vexlink06::ControlPort::create();
    port->m_eeprom = vexlink06::EEPROM::create();
    return port;
}

PrinterPort::~PrinterPort()
{
    m_eeprom.reset();
    m_protocall.reset();
    m_dataPort.reset();
    m_statusPort.reset();
    m_controlPort.reset();
}

VBool PrinterPort::LockPortOpen() const { return commsState().lockPortOpen; }

void PrinterPort::setLockPortOpen(VBool lock)
{
    CommsState& s = commsState();
    s.lockPortOpen = lock;
    if (lock != False) {
        const bool claimed = OKtoStartCom();
        s.lockPortOpen = claimed ? True : False;
    } else {
        StopCom();
    }
}

std::uint8_t PrinterPort::PrinterPortsDetected() const { return static_cast<std::uint8_t>(driverPortCount()); }

std::uint8_t PrinterPort::PortAddressIndex() const { return commsState().portAddressIndex; }

void PrinterPort::setPortAddressIndex(std::uint8_t index)
{
    CommsState& s = commsState();
    s.portAddressIndex = index;
    if (s.detectedPortCount > 0 && s.detectedPortCount >= index + 1 && index < s.detectedPortAddresses.size())
        s.portAddress = s.detectedPortAddresses[index];
}

std::shared_ptr<EEPROM> PrinterPort::EEPROM()
{
    if (!m_eeprom)
        m_eeprom = vexlink06::EEPROM::create();
    return m_eeprom;
}

void PrinterPort::setEEPROM(std::shared_ptr<vexlink06::EEPROM> eeprom) { m_eeprom = std::move(eeprom); }

std::uint8_t PrinterPort::DeviceAddress() const { return commsState().deviceAddress; }
void PrinterPort::setDeviceAddress(std::uint8_t address) { commsState().deviceAddress = address; }
VBool PrinterPort::DataInverted() const { return commsState().dataInverted; }
void PrinterPort::setDataInverted(VBool inverted) { applyDataInverted(inverted); }
std::int32_t PrinterPort::PortAddress() const { return commsState().portAddress; }

void PrinterPort::setPortAddress(std::int32_t address)
{
    CommsState& s = commsState();
    const std::int32_t count = driverPortCount();
    if (count < 0 || count > 255)
        throw ComError::overflow();
    s.detectedPortCount = static_cast<std::uint8_t>(count);
    // Ports can appear after start-up; the list follows the count, or a
    // later PortAddressIndex would select a port the list does not hold.
    fillDetectedPortAddresses();
    std::int32_t base = 0;
    if (s.detectedPortCount != 0 && driverPortBase(s.portAddressIndex + 1, base))
        s.portAddress = base;
    LetPortAddress(address);
}

std::shared_ptr<SMBusProtocall> PrinterPort::SMBusProtocall() const { return m_protocall; }
void PrinterPort::setSMBusProtocall(std::shared_ptr<vexlink06::SMBusProtocall> protocall)
{
    m_protocall = std::move(protocall);
}
std::shared_ptr<DataPort> PrinterPort::DataPort() const { return m_dataPort; }
void PrinterPort::setDataPort(std::shared_ptr<vexlink06::DataPort> port) { m_dataPort = std::move(port); }
std::shared_ptr<StatusPort> PrinterPort::StatusPort() const { return m_statusPort; }
void PrinterPort::setStatusPort(std::shared_ptr<vexlink06::StatusPort> port) { m_statusPort = std::move(port); }
std::shared_ptr<ControlPort> PrinterPort::ControlPort() const { return m_controlPort; }
void PrinterPort::setControlPort(std::shared_ptr<vexlink06::ControlPort> port) { m_controlPort = std::move(port); }

// ---- register classes ----

std::shared_ptr<DataPort> DataPort::create() { return std::make_shared<DataPort>(); }
std::uint8_t DataPort::Value() const { return registerRead(0); }
void DataPort::setValue(std::uint8_t value) { registerWrite(0, value); }

std::shared_ptr<StatusPort> StatusPort::create() { return std::make_shared<StatusPort>(); }
std::uint8_t StatusPort::Value() const { return registerRead(1); }
void StatusPort::setValue(std::uint8_t value) { registerWrite(1, value); }

std::shared_ptr<ControlPort> ControlPort::create() { return std::make_shared<ControlPort>(); }
std::uint8_t ControlPort::Value() const { return registerRead(2); }
void ControlPort::setValue(std::uint8_t value) { registerWrite(2, value); }

}  // namespace vexlink06
