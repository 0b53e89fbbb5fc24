#pragma once
// Whether the chipset SMBus can be searched, in the words the wizard shows
// under its On-Board SMBus option, so the CLI says the same.

#include <string>

namespace device {

inline constexpr const char* UnsupportedChipsetText = "The available southbridge or ICH is currently unsupported.";

// Why the controller cannot be searched: the helper's refusal when it gave
// one, else the unsupported sentence when the search recognised no
// controller (`chipsetInfo` as SMBus.GetChipsetINFO gives it); empty when
// the search may go ahead.
std::string chipsetSMBusProblem(const std::string& chipsetInfo, const std::string& refusal);

// The same for the controller the library found: its refusal, the
// unsupported sentence or empty. Throws SessionError Unavailable ("the
// chipset SMBus could not be opened") without the library's object.
std::string chipsetSMBusProblem();

}  // namespace device
