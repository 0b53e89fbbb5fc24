#include "device/bus_route.h"

#include <vexlink06/vexlink06.h>

#include "device/register_link.h"

namespace device {

namespace {

std::shared_ptr<vexlink06::SMBusProtocall> printerProtocol()
{
    const auto port = required(required(ComPort())->PrinterPort());
    return required(port->SMBusProtocall());
}

std::shared_ptr<vexlink06::SMBus> chipsetBus() { return required(required(ComPort())->SMBus()); }

}  // namespace

std::recursive_mutex& busMutex()
{
    // Never destroyed: a session in a thread that outlives main's return
    // must still find it.
    static auto* mutex = new std::recursive_mutex;
    return *mutex;
}

std::uint8_t routeRead(std::uint8_t medium, std::uint8_t address, std::uint8_t reg)
{
    const std::lock_guard lock(busMutex());
    if (medium == MediumPrinterPort)
        return printerProtocol()->PortRead(address, reg);
    if (medium == MediumKernelAdapter)
        return kernelAdapter()->PortRead(address, reg);
    return chipsetBus()->PortRead(address, reg);
}

void routeWrite(std::uint8_t medium, std::uint8_t address, std::uint8_t reg, std::uint8_t value)
{
    const std::lock_guard lock(busMutex());
    if (medium == MediumPrinterPort)
        printerProtocol()->PortWrite(address, reg, value);
    else if (medium == MediumKernelAdapter)
        kernelAdapter()->PortWrite(address, reg, value);
    else
        chipsetBus()->PortWrite(address, reg, value);
}

}  // namespace device
