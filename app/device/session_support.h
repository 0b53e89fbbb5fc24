#pragma once
// What the probe and the device session share inside the device layer; no
// client includes this.

#include <cstdint>
#include <memory>
#include <string>

#include "device/device_session.h"

namespace vexlink06 {
enum class AdapterError : std::int32_t;
class ComError;
class PrinterPort;
class SMBusProtocall;
}  // namespace vexlink06

namespace device::detail {

// "Error: <number>, <description>"
std::string libraryText(const vexlink06::ComError& e);

// The printer-port data bits the evaluation board needs: bits 6 and 7 high
// as the program holds them, the heater bits 4 and 5 off.
inline constexpr std::uint8_t BoardLinesHeld = 0xC0;

// The session's kind of a kernel adapter's failure.
ErrorKind kindOf(vexlink06::AdapterError code);

// The library's failure as the session's error; `bus` names the kernel
// adapter whose group a refused open names.
SessionError mapped(const vexlink06::ComError& e, int bus);

std::shared_ptr<vexlink06::PrinterPort> printerPort();
std::shared_ptr<vexlink06::SMBusProtocall> protocol();

// Whether the simulated board serves this process.
bool onSimulatedBoard();

}  // namespace device::detail
