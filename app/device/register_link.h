#pragma once
// The one path from the program to the chip. Callers fill RegisterLink,
// call ReadRegister or WriteRegister, and take a read's value from
// RegisterLink.ReadResult. Errors from the library propagate as
// vexlink06::ComError; a failed read leaves ReadResult as it was.

#include <cstdint>
#include <memory>

namespace vexlink06 {
class TvxComPort;
class KernelAdapter;
}  // namespace vexlink06

namespace device {

struct ChipLocation;

inline constexpr std::uint8_t MediumChipsetSMBus = 0;
inline constexpr std::uint8_t MediumPrinterPort = 1;
// The kernel's I2C/SMBus adapters (/dev/i2c-N): 7-bit addresses, the bus
// chosen on kernelAdapter(). Every other value still means the
// chipset SMBus.
inline constexpr std::uint8_t MediumKernelAdapter = 3;

struct RegisterLinkRecord {
    // 1 = printer port; any other value = chipset SMBus (the wizard stores 0).
    std::uint8_t Medium = MediumChipsetSMBus;
    // 1 after a printer-port connection, 0 after a chipset one.
    std::uint8_t PrinterMedium = 0;
    // Printer port: 8-bit address byte (0x58, 0x5A, 0x5C); chipset: 7-bit (0x2C, 0x2D, 0x2E).
    std::uint8_t DeviceAddress = 0;
    std::uint8_t RegisterPointer = 0;
    std::uint8_t DataByte = 0;
    // Last successful read, 0..255. Callers also use it as scratch.
    std::int32_t ReadResult = 0;
    // 0x30 TFM4410, 0x31 TFM4411 (0 before identification).
    std::int16_t DeviceId = 0;
    // Non-zero: ShowRegisterBits shows DataByte instead of ReadResult.
    std::int16_t ShowDataByte = 0;
};

// The process-wide record. No locking: only the user-interface thread
// touches it, and waits that yield may let other handlers change it, so set
// the fields immediately before each call.
extern RegisterLinkRecord RegisterLink;

// A child the library failed to create is "nothing"; using it is error 91
// for the caller, never a call through a null object.
[[noreturn]] void throwObjectNotSet();
template <class T> std::shared_ptr<T> required(std::shared_ptr<T> object)
{
    if (!object)
        throwObjectNotSet();
    return object;
}

// The program's one root object, created on first use and kept until the
// process ends. Creation errors propagate; a later call tries again.
const std::shared_ptr<vexlink06::TvxComPort>& ComPort();

// True once ComPort() has created the object (for code that must not be the
// first to load the library, such as the command line's platform choice).
bool ComPortCreated();

// The kernel adapters: ComPort()->KernelAdapter() once the root exists, and
// before that an object of their own, which a root made later takes over.
// Creating the root searches for the chipset controller and the printer
// ports (loading both platform libraries); a client on the kernel adapters
// alone, such as `fanscope-cli --medium i2c`, needs neither.
std::shared_ptr<vexlink06::KernelAdapter> kernelAdapter();

// One byte read from the chip at RegisterLink.DeviceAddress /
// RegisterPointer into ReadResult, by the path Medium names.
void ReadRegister();

// One byte write of DataByte. Neither procedure reads back.
void WriteRegister();

// Convenience for code that does not share the record's fields: sets
// RegisterPointer (and DataByte) and calls the procedures above.
std::uint8_t readRegister(std::uint8_t address);
void writeRegister(std::uint8_t address, std::uint8_t value);

// Waits the given whole seconds on a monotonic clock, yielding to the event
// loop (the library's yield hook) on every pass, so timers and button
// presses run meanwhile. 0 or less returns after at most one pass.
void WaitSeconds(std::int16_t seconds);

// Where the register link now points, as a session of its own (a window
// that measures off the user-interface thread) takes it.
ChipLocation programChipLocation();

}  // namespace device
