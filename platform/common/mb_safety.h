// Checks the Linux helper makes before it touches a chipset controller:
// which PCI functions it may configure, which I/O ranges belong to them,
// whether a kernel driver or anyone else already owns a range, and whether
// the kernel is locked down. Pure text parsing, so it is testable anywhere.
#pragma once
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace mbhelper {

// The selected mode of /sys/kernel/security/lockdown ("none [integrity]
// confidentiality"), or empty when the text names none.
inline std::string lockdownMode(const std::string& text)
{
    const auto open = text.find('[');
    const auto close = text.find(']', open);
    if (open == std::string::npos || close == std::string::npos)
        return {};
    return text.substr(open + 1, close - open - 1);
}

// ---- Which PCI functions the helper may configure --------------------------

inline constexpr uint32_t Piix4PowerManagementId = 0x71138086;
inline constexpr uint32_t AliPowerManagementId = 0x710110B9;
inline constexpr uint32_t SmbusClass = 0x0C05;  // serial bus controller, SMBus
inline constexpr uint16_t IntelVendor = 0x8086;
// Where an Intel chipset of the ICH generations keeps its SMBus function.
inline constexpr std::string_view GenericIchFunction = "0000:00:1f.3";

// The ICH SMBus functions the library's search knows by identifier.
inline constexpr std::array<uint32_t, 9> KnownIchSmbusIds{0x24188086, 0x24288086, 0x24138086, 0x24238086, 0x24438086,
                                                          0x24458086, 0x24838086, 0x24C38086, 0x24D38086};

enum class FunctionRole {
    Other,            // not the helper's to touch
    SmbusController,  // an SMBus-class function the search recognises
    FamilyFunction,   // PIIX4 / ALi power management: SMBus in vendor registers
};

// `id` is configuration dword 0, `classDword` dword 8 (class, subclass,
// programming interface, revision). The PIIX4 and ALi functions carry no
// SMBus class code, so their identity alone decides; any other function must
// be an SMBus controller the search knows, or an Intel one at the generic
// ICH location the search falls back to.
inline FunctionRole roleOf(uint32_t id, uint32_t classDword, std::string_view function)
{
    if (id == Piix4PowerManagementId || id == AliPowerManagementId)
        return FunctionRole::FamilyFunction;
    if ((classDword >> 16) != SmbusClass)
        return FunctionRole::Other;
    const bool known = std::find(KnownIchSmbusIds.begin(), KnownIchSmbusIds.end(), id) != KnownIchSmbusIds.end();
    const bool generic = (id & 0xFFFF) == IntelVendor && function == GenericIchFunction;
    return known || generic ? FunctionRole::SmbusController : FunctionRole::Other;
}

// ---- I/O ranges -------------------------------------------------------------

struct IoRange {
    uint32_t first = 0;
    uint32_t last = 0;
    bool contains(uint32_t lo, uint32_t hi) const { return first <= lo && hi <= last; }
    bool overlaps(uint32_t lo, uint32_t hi) const { return lo <= last && first <= hi; }
};

// The I/O port resources in the text of a function's sysfs `resource` file
// ("start end flags" in hexadecimal, one line per resource).
inline std::vector<IoRange> ioResources(const std::string& text)
{
    constexpr unsigned long long IoResourceFlag = 0x100;
    std::vector<IoRange> ranges;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        unsigned long long start = 0, end = 0, flags = 0;
        if (!(fields >> std::hex >> start >> end >> flags))
            continue;
        if ((flags & IoResourceFlag) && end >= start && end <= 0xFFFF && end > 0)
            ranges.push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(end)});
    }
    return ranges;
}

struct IoRegion : IoRange {
    std::string name;
    std::string parent;  // the region it is nested in; empty at the top
};

// Every region of /proc/ioports text with the region it is nested in (two
// blanks of indentation per level).
inline std::vector<IoRegion> ioRegions(const std::string& ioports)
{
    std::vector<IoRegion> regions;
    std::vector<std::pair<std::size_t, std::string>> open;  // indentation, name
    std::istringstream in(ioports);
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t indent = line.find_first_not_of(' ');
        const auto dash = line.find('-', indent);
        const auto colon = line.find(" : ", indent);
        if (indent == std::string::npos || dash == std::string::npos || colon == std::string::npos || dash > colon)
            continue;
        IoRegion r;
        try {
            r.first = static_cast<uint32_t>(std::stoul(line.substr(indent, dash - indent), nullptr, 16));
            r.last = static_cast<uint32_t>(std::stoul(line.substr(dash + 1, colon - dash - 1), nullptr, 16));
        } catch (const std::exception&) {
            continue;  // a line we do not understand owns nothing we know of
        }
        r.name = line.substr(colon + 3);
        while (!r.name.empty() && std::isspace(static_cast<unsigned char>(r.name.back())))
            r.name.pop_back();
        while (!open.empty() && open.back().first >= indent)
            open.pop_back();
        r.parent = open.empty() ? std::string{} : open.back().second;
        open.emplace_back(indent, r.name);
        regions.push_back(std::move(r));
    }
    return regions;
}

// The first region overlapping [first, last] that someone other than PCI
// function `function` (such as "0000:00:1f.3") claims. Bridge windows pass
// ranges on to what sits behind them and claim nothing themselves; the
// function's own entry is its own. A region nested in the function's entry
// is a kernel driver's, and counts.
inline std::optional<IoRegion> otherClaimant(const std::vector<IoRegion>& regions, uint32_t first, uint32_t last,
                                             std::string_view function)
{
    for (const IoRegion& r : regions) {
        if (!r.overlaps(first, last) || r.name == function || r.name.starts_with("PCI Bus"))
            continue;
        return r;
    }
    return std::nullopt;
}

}  // namespace mbhelper
