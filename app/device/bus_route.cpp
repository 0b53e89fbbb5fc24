#include "device/bus_route.h"

#include <utility>
#include <vector>

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

namespace {
thread_local int t_busDepth = 0;
thread_local std::vector<std::function<void()>> t_afterRelease;
}  // namespace

void BusMutex::lock()
{
    m_mutex.lock();
    ++t_busDepth;
}

bool BusMutex::try_lock()
{
    if (!m_mutex.try_lock())
        return false;
    ++t_busDepth;
    return true;
}

void BusMutex::unlock()
{
    --t_busDepth;
    m_mutex.unlock();
    if (t_busDepth == 0 && !t_afterRelease.empty()) {
        const std::vector<std::function<void()>> work = std::exchange(t_afterRelease, {});
        for (const auto& w : work)
            w();
    }
}

bool BusMutex::heldHere() { return t_busDepth > 0; }

void BusMutex::whenReleased(std::function<void()> work)
{
    if (t_busDepth > 0)
        t_afterRelease.push_back(std::move(work));
    else
        work();
}

BusMutex& busMutex()
{
    // Never destroyed: a session in a thread that outlives main's return
    // must still find it.
    static auto* mutex = new BusMutex;
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
