#include "device/register_map.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "device/numbers.h"

namespace device {
namespace {

// Lower-case letters and digits only, so "Local Temp. High Byte",
// "local temp high byte" and "LocalTempHighByte" compare equal.
std::string nameKey(std::string_view name)
{
    std::string key;
    key.reserve(name.size());
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u))
            key.push_back(static_cast<char>(std::tolower(u)));
    }
    return key;
}

// The lookup hands on the list entry of every file label.
constexpr bool everySavedRegisterListed()
{
    // By address, not by pointer: a pointer compared with null is no constant
    // expression once the sanitizers instrument it.
    for (const SavedRegister& r : SavedRegisters)
        if (std::none_of(RegisterList.begin(), RegisterList.end(),
                         [&](const RegisterEntry& e) { return e.address == r.address; }))
            return false;
    return true;
}
static_assert(everySavedRegisterListed());

}  // namespace

const RegisterEntry* registerEntryByName(std::string_view name)
{
    for (const RegisterEntry& e : RegisterList)
        if (e.name == name)
            return &e;
    const std::string key = nameKey(name);
    if (key.empty())
        return nullptr;
    for (const RegisterEntry& e : RegisterList)
        if (nameKey(e.name) == key)
            return &e;
    return nullptr;
}

RegisterLookup lookUpRegister(std::string_view text)
{
    // Register names never begin with a digit, so such a text is an address.
    if (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        const std::optional<unsigned> address = parseNumber(text, 0xFF);
        if (!address)
            return {nullptr, "register '" + std::string(text) + "' " + numberProblem(text, 0xFF)};
        if (const RegisterEntry* e = registerEntryByAddress(static_cast<std::uint8_t>(*address)))
            return {e, {}};
        return {nullptr, "the chip has no register " + hexByte(*address) + " (dump lists them)"};
    }
    const std::string key = nameKey(text);
    const std::string unknown =
        "unknown register '" + std::string(text) + "' (give an address such as 0x22 or a name from dump)";
    if (key.empty())
        return {nullptr, unknown};
    // Each register under both its names: the list's and the file's.
    std::vector<std::pair<std::string, const RegisterEntry*>> names;
    names.reserve(RegisterList.size() + SavedRegisters.size());
    for (const RegisterEntry& e : RegisterList)
        names.emplace_back(nameKey(e.name), &e);
    for (const SavedRegister& r : SavedRegisters)
        names.emplace_back(nameKey(r.name()), registerEntryByAddress(r.address));
    for (const auto& [name, entry] : names)
        if (name == key)
            return {entry, {}};
    std::vector<const RegisterEntry*> candidates;
    for (const auto& [name, entry] : names)
        if (name.starts_with(key) && std::find(candidates.begin(), candidates.end(), entry) == candidates.end())
            candidates.push_back(entry);
    if (candidates.empty())
        return {nullptr, unknown};
    if (candidates.size() == 1)
        return {candidates.front(), {}};
    std::sort(candidates.begin(), candidates.end(), [](const auto* a, const auto* b) { return a->index < b->index; });
    std::string list;
    for (const RegisterEntry* e : candidates)
        list += (list.empty() ? "" : ", ") + std::string(e->name);
    return {nullptr, "register '" + std::string(text) + "' is ambiguous: " + list};
}

std::string addressText(std::uint8_t address)
{
    char text[4];
    (void)std::snprintf(text, sizeof text, "%02X", address);
    return std::string(text) + "h";
}

std::vector<std::string> alarmNames(std::uint8_t status1, std::uint8_t status2, int deviceId)
{
    std::vector<std::string> names;
    const auto n1 = bitNames(BitScheme::InterruptStatus1, deviceId);
    const auto n2 = bitNames(BitScheme::InterruptStatus2, deviceId);
    for (std::size_t bit = 0; bit < 8; ++bit)
        if (status1 & (1U << bit))
            names.emplace_back(n1[bit]);
    for (std::size_t bit = 0; bit < 8; ++bit) {
        const auto name = n2[bit];
        if ((status2 & (1U << bit)) && name != UnusedBitName)
            names.emplace_back(name);
    }
    return names;
}

}  // namespace device
