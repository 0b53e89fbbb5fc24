#include "device/register_link.h"

#include <chrono>
#include <thread>

#include <vexlink06/vexlink06.h>

#include "device/back_end.h"
#include "device/bus_route.h"
#include "device/device_session.h"
#include "device/register_map.h"
#include "device/write_log.h"

namespace device {

RegisterLinkRecord RegisterLink;

namespace {

// Never destroyed: the object lives until the process ends, and tearing it
// down among static destructors would run after the platform libraries it
// calls into are gone.
std::shared_ptr<vexlink06::TvxComPort>& comPortHolder()
{
    static auto* holder = new std::shared_ptr<vexlink06::TvxComPort>;
    return *holder;
}

// The kernel adapters' object made before the root (kernelAdapter()), until
// the root takes it over.
std::shared_ptr<vexlink06::KernelAdapter>& earlyAdapterHolder()
{
    static auto* holder = new std::shared_ptr<vexlink06::KernelAdapter>;
    return *holder;
}

}  // namespace

void throwObjectNotSet() { throw vexlink06::ComError(91, "Object variable or With block variable not set"); }

const std::shared_ptr<vexlink06::TvxComPort>& ComPort()
{
    // Locked: a session on another thread may be the first to ask.
    const std::lock_guard lock(busMutex());
    auto& comPort = comPortHolder();
    if (!comPort) {
        comPort = vexlink06::TvxComPort::create();
        // One adapter object either way: its bus and open handle carry over.
        if (auto& early = earlyAdapterHolder()) {
            comPort->setKernelAdapter(early);
            early.reset();
        }
    }
    return comPort;
}

bool ComPortCreated() { return comPortHolder() != nullptr; }

std::shared_ptr<vexlink06::KernelAdapter> kernelAdapter()
{
    const std::lock_guard lock(busMutex());
    if (ComPortCreated())
        return ComPort()->KernelAdapter();
    auto& adapter = earlyAdapterHolder();
    if (!adapter)
        adapter = vexlink06::KernelAdapter::create();
    return adapter;
}

void ReadRegister()
{
    const std::uint8_t medium = RegisterLink.Medium;
    const std::uint8_t address = RegisterLink.DeviceAddress;
    const std::uint8_t pointer = RegisterLink.RegisterPointer;
    const std::uint8_t value = routeRead(medium, address, pointer);
    RegisterLink.ReadResult = value & 0xFF;
    writeLog().noteRead(medium, address, pointer, value);
}

void WriteRegister()
{
    const std::uint8_t medium = RegisterLink.Medium;
    const std::uint8_t address = RegisterLink.DeviceAddress;
    const std::uint8_t pointer = RegisterLink.RegisterPointer;
    const std::uint8_t data = RegisterLink.DataByte;
    routeWrite(medium, address, pointer, data);
    // Only a write the library completed is logged.
    writeLog().noteWrite(medium, address, pointer, data);
}

std::uint8_t readRegister(std::uint8_t address)
{
    RegisterLink.RegisterPointer = address;
    ReadRegister();
    return static_cast<std::uint8_t>(RegisterLink.ReadResult);
}

void writeRegister(std::uint8_t address, std::uint8_t value)
{
    RegisterLink.RegisterPointer = address;
    RegisterLink.DataByte = value;
    WriteRegister();
}

void WaitSeconds(std::int16_t seconds)
{
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
    while (Clock::now() < end) {
        vexlink06::yieldEventLoop();
        // The hook may return at once; a short sleep keeps the wait off the CPU.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

ChipLocation programChipLocation()
{
    ChipLocation chip;
    const auto& com = ComPort();
    if (RegisterLink.Medium == MediumPrinterPort) {
        chip.medium = Medium::PrinterPort;
        const auto printer = required(com->PrinterPort());
        chip.port = printer->PortAddressIndex();
        chip.portBase = static_cast<std::uint32_t>(printer->PortAddress());
        chip.dataInverted = required(printer->SMBusProtocall())->DataInverted() != vexlink06::False;
        chip.address = sevenBitAddress(RegisterLink.DeviceAddress);
    } else if (RegisterLink.Medium == MediumKernelAdapter) {
        chip.medium = Medium::KernelAdapter;
        chip.port = required(com->KernelAdapter())->Bus();
        chip.address = RegisterLink.DeviceAddress;
    } else {
        chip.medium = Medium::ChipsetSmbus;
        chip.address = RegisterLink.DeviceAddress;
    }
    chip.variant = variantFromDeviceId(RegisterLink.DeviceId).value_or(Variant::Tfm4411);
    chip.simulated = simulatedBoardConfiguration().has_value();
    return chip;
}

}  // namespace device
