// The HardwareSMBus module: the one process-wide state of the chipset SMBus
// path and the procedures that work on it: discovery in
// chipset_hardware_smbus.cpp, the two controller families' transfers in
// chipset_transfers.cpp. Every port access and transfer goes through the
// motherboard helper library (motherboard_helper.h), loaded at its first call.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "vexlink06/types.h"

namespace vexlink06::hardware_smbus {

struct PciLocation {
    std::uint8_t bus = 0;
    std::uint8_t device = 0;
    std::uint8_t function = 0;
};

enum class Family { None, Piix4, Ali };

inline constexpr double kGenericIch = 1;
inline constexpr std::size_t kBasePortCount = 21;

struct State {
    // Doubles because the interface carries them so; they hold integers.
    double SMBusBaseAddress = 0;
    double DeviceID = 0;
    std::string description;
    PciLocation location;
    std::array<std::int32_t, kBasePortCount> portTable{};
    VBool WaitForOK = False;
    std::uint8_t DeviceAddress = 0;
};

State& state();

// The controller family that transfers use for an identifier.
Family familyOf(double deviceId);

// Unsigned 32-bit values carried as doubles: the bit pattern is kept; a
// double outside 0..4294967295 (or NaN) becomes 0x80000000.
double toUnsignedDouble(std::uint32_t value);
std::uint32_t toUnsigned32(double value);
// A double as a signed 32-bit integer, rounded to nearest (ties to even);
// out of range is an overflow error.
std::int32_t toInt32(double value);

// Configuration mechanism 1; the parts are added unmasked.
std::uint32_t configurationAddress(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg);

// The helper's first refusal, one sentence; empty when there was none or
// the helper cannot say.
std::string refusalReason();

// Creation and end of an SMBus object.
void ClassInit();
void ClassTerminate();

void SetupBasics();
bool RecognisedSouthBridge(double id, std::uint8_t device, std::uint8_t function);
void ConfigureSouthBridge(std::uint8_t bus, std::uint8_t device, std::uint8_t function);
void OpenBaseAdressPorts(double base);

double mvarReadPCI(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg);
void mvarWritePCI(std::uint8_t bus, std::uint8_t device, std::uint8_t function, std::uint8_t reg, double value);
std::int32_t mvarReadByBase(std::int32_t port);
void mvarWriteByBase(std::int32_t port, std::int16_t value);

VBool SMBusDevicePresent(std::uint8_t address);
void SMBusByteWrite(std::uint8_t address, std::uint8_t pointer, std::uint8_t data);
std::uint8_t SMBusByteRead(std::uint8_t address, std::uint8_t pointer);

}  // namespace vexlink06::hardware_smbus
