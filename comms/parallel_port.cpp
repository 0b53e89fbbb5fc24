#include "parallel_port.h"

#include <sys/utsname.h>

#include <algorithm>
#include <array>
#include <cstdlib>

#include "comms_state.h"
#include "parport_abi.h"
#include "platform_loader.h"

namespace vexlink06 {
namespace {

// The port driver's entry points, in the order of their names.
using PortDriver = platform::Abi<platform::Kind::Port, decltype(::GetParallelPortCount),
                                 decltype(::GetParallelPortInfo), decltype(::ClaimParallelPort),
                                 decltype(::ReleaseParallelPort), decltype(::OutByte), decltype(::InByte)>;
enum PortEntry : std::size_t { Count, Info, Claim, Release, Out, In };

constinit PortDriver g_driver{
    {"GetParallelPortCount", "GetParallelPortInfo", "ClaimParallelPort", "ReleaseParallelPort", "OutByte", "InByte"}};

const PortDriver& driver()
{
    g_driver.bind();
    return g_driver;
}

constexpr std::array<long, 5> kNineXBuilds{950, 1111, 1998, 2222, 3000};

std::string g_lastOSBuild;

}  // namespace

std::int32_t driverPortCount() { return driver().get<Count>()(); }

bool driverPortBase(std::int32_t portNumber, std::int32_t& base)
{
    PortInfoRecord record{12, 0, 0};
    if (driver().get<Info>()(portNumber, &record) == 0)
        return false;
    base = record.base;
    return true;
}

std::int32_t portRegister(std::int32_t base, std::int32_t offset)
{
    std::int32_t result = 0;
    if (__builtin_add_overflow(base, offset, &result))
        throw ComError::overflow();
    return result;
}

// Linux has no 9x-family builds: the kernel release folded into one number
// (major * 10000 + minor * 100 + patch) is never in that list.
std::string GetOSBuild()
{
    utsname name{};
    if (uname(&name) != 0)
        return g_lastOSBuild;
    int major = 0, minor = 0, patch = 0;
    char* rest = name.release;
    major = static_cast<int>(std::strtol(rest, &rest, 10));
    if (*rest == '.')
        minor = static_cast<int>(std::strtol(rest + 1, &rest, 10));
    if (*rest == '.')
        patch = static_cast<int>(std::strtol(rest + 1, &rest, 10));
    g_lastOSBuild = std::to_string(major * 10000 + minor * 100 + std::min(patch, 99));
    return g_lastOSBuild;
}

void FindAvailablePrinterports()
{
    CommsState& s = commsState();
    if (s.portsScanned != False)
        return;
    const std::string build = GetOSBuild();
    char* end = nullptr;
    const long number = std::strtol(build.c_str(), &end, 10);
    if (build.empty() || *end != '\0')
        throw ComError::typeMismatch();
    s.noClaimNeeded = std::find(kNineXBuilds.begin(), kNineXBuilds.end(), number) != kNineXBuilds.end() ? True : False;

    const std::int32_t count = driverPortCount();
    if (count < 0 || count > 255)
        throw ComError::overflow();
    s.detectedPortCount = static_cast<std::uint8_t>(count);
    if (s.detectedPortCount > 0) {
        std::int32_t base = 0;
        if (driverPortBase(1, base))
            s.portAddress = base;
    }
    fillDetectedPortAddresses();
    s.portsScanned = True;
}

void fillDetectedPortAddresses()
{
    CommsState& s = commsState();
    s.detectedPortAddresses.assign(s.detectedPortCount, 0);
    std::int32_t base = 0;
    for (std::int32_t n = 1; n <= s.detectedPortCount; ++n) {
        if (driverPortBase(n, base))
            s.detectedPortAddresses[static_cast<std::size_t>(n - 1)] = base;
    }
}

std::int16_t ParPort(std::int32_t portNumber)
{
    if (commsState().portClaimed != False)
        StopCom();
    try {
        return driver().get<Claim>()(portNumber, -1) != 0 ? 1 : 0;
    } catch (const ComError&) {
        return 0;
    }
}

bool OKtoStartCom()
{
    CommsState& s = commsState();
    if (s.detectedPortCount == 0) {
        s.portClaimed = False;
        return false;
    }
    if (s.noClaimNeeded != False) {
        s.portClaimed = True;
        return true;
    }
    const bool claimed = ParPort(s.portAddressIndex + 1) != 0;
    s.portClaimed = claimed ? True : False;
    return claimed;
}

void StopCom()
{
    CommsState& s = commsState();
    if (s.portClaimed != False && s.noClaimNeeded == False) {
        try {
            driver().get<Release>()(s.portAddressIndex + 1);
        } catch (const ComError&) { }
    }
    s.portClaimed = False;
    s.lockPortOpen = False;
}

void LetPortAddress(std::int32_t address)
{
    CommsState& s = commsState();
    if (s.detectedPortCount == 0) {
        s.portClaimed = False;
        return;
    }
    for (std::int32_t n = 1; n <= s.detectedPortCount; ++n) {
        std::int32_t base = 0;
        if (driverPortBase(n, base) && base == address) {
            s.portAddressIndex = static_cast<std::uint8_t>(n - 1);
            s.portAddress = address;
            return;
        }
    }
}

void Portout(std::int32_t address, std::uint8_t value)
{
    if (commsState().portClaimed != False)
        driver().get<Out>()(address, value);
}

std::uint8_t Portin(std::int32_t address)
{
    return commsState().portClaimed != False ? driver().get<In>()(address) : 0;
}

void GPortout(std::int32_t address, std::uint8_t value)
{
    CommsState& s = commsState();
    if (s.portClaimed != False || s.lockPortOpen != False) {
        driver().get<Out>()(address, value);
        return;
    }
    if (OKtoStartCom())
        driver().get<Out>()(address, value);
    if (s.lockPortOpen == False)
        StopCom();
}

std::uint8_t GPortin(std::int32_t address)
{
    const CommsState& s = commsState();
    if (s.portClaimed != False || s.lockPortOpen != False)
        return driver().get<In>()(address);
    return 0;
}

void registerWrite(std::int32_t offset, std::uint8_t value)
{
    CommsState& s = commsState();
    const std::int32_t address = portRegister(s.portAddress, offset);
    if (s.lockPortOpen != False) {
        driver().get<Out>()(address, value);
        return;
    }
    if (OKtoStartCom())
        driver().get<Out>()(address, value);
    StopCom();
}

std::uint8_t registerRead(std::int32_t offset)
{
    CommsState& s = commsState();
    const std::int32_t address = portRegister(s.portAddress, offset);
    if (s.lockPortOpen != False)
        return driver().get<In>()(address);
    std::uint8_t value = 0;
    if (OKtoStartCom())
        value = driver().get<In>()(address);
    StopCom();
    return value;
}

}  // namespace vexlink06
