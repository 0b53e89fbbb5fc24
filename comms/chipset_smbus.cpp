// The SMBus class: a thin face on the HardwareSMBus module, which holds the
// state every SMBus object shares.
#include "vexlink06/smbus.h"

#include "chipset_hardware_smbus.h"
#include "comms_state.h"
#include "journal.h"
#include "timing.h"

namespace vexlink06 {

namespace hw = hardware_smbus;

namespace {

journal::Scope chipsetTransfer(std::uint8_t address7, TransferDirection direction, TransferProtocol protocol)
{
    return {TransferMedium::ChipsetSMBus, static_cast<std::int32_t>(hw::state().SMBusBaseAddress), address7, direction,
            protocol};
}

}  // namespace

std::shared_ptr<SMBus> SMBus::create()
{
    std::shared_ptr<SMBus> smbus(new SMBus());
    hw::ClassInit();
    return smbus;
}

SMBus::~SMBus() { hw::ClassTerminate(); }

std::string SMBus::GetChipsetINFO() const { return hw::state().description; }

std::string SMBus::UnavailableReason() const { return hw::refusalReason(); }

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

VBool SMBus::DevicePresent(std::uint8_t DeviceAddress)
{
    journal::Scope scope = chipsetTransfer(DeviceAddress, TransferDirection::Write, TransferProtocol::Quick);
    const VBool present = hw::SMBusDevicePresent(DeviceAddress);
    // The controller's status tells whether the address was acknowledged.
    scope.wire(1, present != False ? ByteAck::Ack : ByteAck::Nack);
    return present;
}

void SMBus::PortWrite(std::uint8_t DeviceAddress, std::uint8_t AddressPointer, std::uint8_t Data)
{
    // The controller reports no acknowledge per byte to this path.
    journal::Scope scope = chipsetTransfer(DeviceAddress, TransferDirection::Write, TransferProtocol::WriteByte);
    scope.command(AddressPointer);
    scope.data({Data});
    scope.wire(3, ByteAck::Unknown);
    hw::SMBusByteWrite(DeviceAddress, AddressPointer, Data);
}

std::uint8_t SMBus::PortRead(std::uint8_t DeviceAddress, std::uint8_t AddressPointer)
{
    journal::Scope scope = chipsetTransfer(DeviceAddress, TransferDirection::Read, TransferProtocol::ReadByte);
    scope.command(AddressPointer);
    scope.wire(4, ByteAck::Unknown);
    const std::uint8_t value = hw::SMBusByteRead(DeviceAddress, AddressPointer);
    scope.data({value});
    return value;
}

float SMBus::FrameDelay() const { return commsState().frameDelay; }
void SMBus::setFrameDelay(float delay) { commsState().frameDelay = limitFrameDelay(delay); }

std::uint8_t SMBus::DeviceAddress() const { return hw::state().DeviceAddress; }
void SMBus::setDeviceAddress(std::uint8_t address) { hw::state().DeviceAddress = address; }

}  // namespace vexlink06
