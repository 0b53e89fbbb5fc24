#include "device/register_map.h"

#include <cctype>
#include <cstdio>

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
