#include "device/chipset_check.h"

#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/register_link.h"

namespace device {

std::string chipsetSMBusProblem(const std::string& chipsetInfo, const std::string& refusal)
{
    if (!refusal.empty())
        return refusal;
    // The library's description of a search that recognised nothing.
    if (chipsetInfo.starts_with("Unsupported and unrecognised"))
        return UnsupportedChipsetText;
    return {};
}

std::string chipsetSMBusProblem()
{
    const auto smbus = ComPort()->SMBus();
    if (!smbus)
        throw SessionError(ErrorKind::Unavailable, "the chipset SMBus could not be opened");
    return chipsetSMBusProblem(smbus->GetChipsetINFO(), smbus->UnavailableReason());
}

}  // namespace device
