#include "device/chipset_check.h"

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

}  // namespace device
