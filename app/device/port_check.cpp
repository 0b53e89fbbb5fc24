#include "device/port_check.h"

#include <cstdio>

#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/register_link.h"
#include "device/session_support.h"

namespace device {

namespace {

// Data bits 0 (SCL) and 1 (SDA): letting go of both in the standard
// adapter's sense, then in the non-inverting one.
constexpr std::uint8_t kReleaseInverting = 0x00;
constexpr std::uint8_t kReleasePlain = 0x03;
constexpr std::uint8_t kSclStatus = 0x20;

std::shared_ptr<vexlink06::PrinterPort> portObject()
{
    auto port = ComPort()->PrinterPort();
    if (!port)
        throw SessionError(ErrorKind::Unavailable, "the printer port could not be opened");
    return port;
}

}  // namespace

PortProblem checkPrinterPort()
{
    const auto port = ComPort()->PrinterPort();
    if (!port || port->PrinterPortsDetected() == 0)
        return PortProblem::None;
    const auto proto = port->SMBusProtocall();
    if (!proto)
        return PortProblem::None;

    const bool wasLocked = port->LockPortOpen() != vexlink06::False;
    if (!wasLocked) {
        port->setLockPortOpen(vexlink06::True);
        if (port->LockPortOpen() == vexlink06::False)
            return PortProblem::InUse;
    }
    const std::uint8_t held = proto->BitsToStayHigh() & 0xFC;
    const std::uint8_t sdaStatus = proto->VideoSoftware() != vexlink06::False ? 0x08 : 0x10;
    const auto statusAfter = [&](std::uint8_t lines) {
        port->DataPort()->setValue(static_cast<std::uint8_t>(held | lines));
        return port->StatusPort()->Value();
    };
    // In one of the two senses the PC lets go, in the other it pulls; a line
    // that follows shows two different status bits.
    const std::uint8_t a = statusAfter(kReleaseInverting);
    const std::uint8_t b = statusAfter(kReleasePlain);
    // A lock the process keeps for another of its ports leaves this one
    // unclaimed, and an unclaimed port reads 0 throughout: that says nothing.
    if (wasLocked && a == 0 && b == 0)
        return PortProblem::None;
    const bool stuck = ((a ^ b) & kSclStatus) == 0 || ((a ^ b) & sdaStatus) == 0;
    // Back to resting high in the sense the library uses now.
    port->DataPort()->setValue(static_cast<std::uint8_t>(
        held | (proto->DataInverted() != vexlink06::False ? kReleaseInverting : kReleasePlain)));
    if (!wasLocked)
        port->setLockPortOpen(vexlink06::False);
    return stuck ? PortProblem::LinesLow : PortProblem::None;
}

std::string portProblemText(PortProblem problem, std::int32_t portBase)
{
    char base[16];
    (void)std::snprintf(base, sizeof base, "%X", static_cast<unsigned>(portBase));
    switch (problem) {
    case PortProblem::InUse: return std::string("printer port ") + base + "h is in use by another program";
    case PortProblem::LinesLow: return std::string("the SMBus lines on printer port ") + base + "h are held low";
    case PortProblem::None: break;
    }
    return {};
}

int printerPortsDetected() { return portObject()->PrinterPortsDetected(); }

void holdBoardLinesForCommand()
{
    const auto proto = portObject()->SMBusProtocall();
    if (!proto)
        throw SessionError(ErrorKind::Unavailable, "the printer port protocol could not be opened");
    proto->setBitsToStayHigh(detail::BoardLinesHeld);
}

void keepPrinterPortClaimed(bool keep)
{
    if (!keep && !ComPortCreated())
        return;
    const auto port = keep ? portObject() : ComPort()->PrinterPort();
    if (port && (port->LockPortOpen() != vexlink06::False) != keep)
        port->setLockPortOpen(keep ? vexlink06::True : vexlink06::False);
}

}  // namespace device
