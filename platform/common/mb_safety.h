// Checks the Linux helper makes before it touches a chipset controller:
// whether a kernel SMBus driver already owns an I/O region, and whether the
// kernel is locked down. Pure text parsing, so it is testable anywhere.
#pragma once
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

namespace mbhelper {

struct IoRegionOwner {
    uint32_t first = 0;
    uint32_t last = 0;
    std::string name;
};

inline std::string lowerCase(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Searches /proc/ioports text for a region overlapping [first, last] whose
// owner is a kernel SMBus driver (every such driver names its region
// "..._smbus" or similar). The PCI device entries above them are not owners.
inline std::optional<IoRegionOwner> findKernelSMBusOwner(const std::string& ioports, uint32_t first,
                                                         uint32_t last) {
    std::istringstream in(ioports);
    std::string line;
    while (std::getline(in, line)) {
        const auto dash = line.find('-');
        const auto colon = line.find(" : ");
        if (dash == std::string::npos || colon == std::string::npos || dash > colon)
            continue;
        try {
            const uint32_t lo = static_cast<uint32_t>(std::stoul(line.substr(0, dash), nullptr, 16));
            const uint32_t hi = static_cast<uint32_t>(std::stoul(line.substr(dash + 1, colon - dash - 1), nullptr, 16));
            std::string name = line.substr(colon + 3);
            while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back())))
                name.pop_back();
            if (lo <= last && first <= hi && lowerCase(name).find("smbus") != std::string::npos)
                return IoRegionOwner{lo, hi, name};
        } catch (const std::exception&) {
            continue; // a line we do not understand owns nothing we know of
        }
    }
    return std::nullopt;
}

// The selected mode of /sys/kernel/security/lockdown ("none [integrity]
// confidentiality"), or empty when the text names none.
inline std::string lockdownMode(const std::string& text) {
    const auto open = text.find('[');
    const auto close = text.find(']', open);
    if (open == std::string::npos || close == std::string::npos)
        return {};
    return text.substr(open + 1, close - open - 1);
}

} // namespace mbhelper
