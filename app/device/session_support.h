#pragma once
// What the probe and the device session share inside the device layer; no
// client includes this.

#include <memory>
#include <string>

#include "device/device_session.h"

namespace vexlink06 {
class ComError;
class PrinterPort;
class SMBusProtocall;
}  // namespace vexlink06

namespace device::detail {

// "Error: <number>, <description>"
std::string libraryText(const vexlink06::ComError& e);

// The library's failure as the session's error; `bus` names the kernel
// adapter whose group a refused open names.
SessionError mapped(const vexlink06::ComError& e, int bus);

std::shared_ptr<vexlink06::PrinterPort> printerPort();
std::shared_ptr<vexlink06::SMBusProtocall> protocol();

// Whether the simulated board serves this process.
bool onSimulatedBoard();

}  // namespace device::detail
