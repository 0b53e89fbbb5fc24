// The SMBus class: a thin face on the HardwareSMBus module, which holds the
// state every SMBus object shares.
#include "vexlink06/smbus.h"

#include "chipset_hardware_smbus.h"
#include "comms_state.h"
#include "timing.h"

namespace vexlink06 {

namespace hw = hardware_smbus;

std::shared_ptr<SMBus> SMBus::create()
{
    std::shared_ptr<SMBus> smbus(new SMBus());
    hw::ClassInit();
    return smbus;
}

SMBus::~SMBus() { hw::ClassTerminate(); }

std::string SMBus::GetChipsetINFO() const { return hw::state().description; }

double SMBus::ReadPCI(std::uint8_t Bus, std::uint8_t Device, std::uint8_t Fn, std::uint8_t Register)
{
    return hw::mvarReadPCI(Bus, Device, Fn, Register);
}

void SMBus::WritePCI(std::uint8_t Bus, std::uint8_t Device, std::uint8_t Fn, std::uint8_t Register, double Value)
{
    hw::mvarWritePCI(Bus, Device, Fn, Register, Value);
}

std::int32_t SMBus::ReadBase(double BaseAddr) { return hw::mvarReadByBase(hw::toInt32(BaseAddr)); }

void SMBus::WriteBase(std::int32_t BaseAddr, std::int32_t Value)
{
    if (Value < -32768 || Value > 32767)
        throw ComError::overflow();
    hw::mvarWriteByBase(BaseAddr, static_cast<std::int16_t>(Value));
}

VBool SMBus::WaitForOK() const { return hw::state().WaitForOK; }
void SMBus::setWaitForOK(VBool wait) { hw::state().WaitForOK = wait; }

std::int32_t SMBus::DeviceID() const { return hw::toInt32(hw::state().DeviceID); }
void SMBus::setDeviceID(std::int32_t id) { hw::state().DeviceID = id; }

double SMBus::SMBusBaseAddress() const { return hw::state().SMBusBaseAddress; }
void SMBus::setSMBusBaseAddress(double base) { hw::OpenBaseAdressPorts(base); }

VBool SMBus::DevicePresent(std::uint8_t DeviceAddress) { return hw::SMBusDevicePresent(DeviceAddress); }

void SMBus::PortWrite(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, std::uint8_t Data)
{
    hw::SMBusByteWrite(DeviceAddress, AddressPointer, Data);
}

std::uint8_t SMBus::PortRead(std::uint8_t DeviceAddress, std::uint8_t AddressPointer)
{
    return hw::SMBusByteRead(DeviceAddress, AddressPointer);
}

float SMBus::FrameDelay() const { return commsState().frameDelay; }
void SMBus::setFrameDelay(float delay) { commsState().frameDelay = limitFrameDelay(delay); }

std::uint8_t SMBus::DeviceAddress() const { return hw::state().DeviceAddress; }
void SMBus::setDeviceAddress(std::uint8_t address) { hw::state().DeviceAddress = address; }

} // namespace vexlink06
