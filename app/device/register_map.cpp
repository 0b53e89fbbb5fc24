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

}  // namespace device
