#include "device/register_diff.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

namespace device {
namespace {

// The field a bit name belongs to: "Tmin 3" -> "Tmin", "Offset Bit0" ->
// "Offset Bit", "Monitor" -> "Monitor". The trailing number is the bit's
// place within the field.
struct BitPlace {
    std::string field;
    int place = -1;  // -1: a one-bit field
};

BitPlace placeOf(std::string_view name)
{
    std::size_t end = name.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1])))
        --end;
    if (end == name.size() || end == 0)
        return {std::string(name), -1};
    const int place = std::atoi(std::string(name.substr(end)).c_str());
    std::string_view stem = name.substr(0, end);
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    return {std::string(stem), place};
}

}  // namespace

std::vector<FieldValue> bitFieldValues(BitScheme scheme, std::uint8_t value, int deviceId)
{
    const auto names = bitNames(scheme, deviceId);
    std::vector<FieldValue> fields;
    std::string current;
    int lowBit = 0, width = 0;
    auto flush = [&] {
        if (width == 0)
            return;
        fields.push_back({current, (value >> lowBit) & ((1u << width) - 1u)});
        width = 0;
    };
    for (int bit = 0; bit < 8; ++bit) {
        const std::string_view name = names[static_cast<std::size_t>(bit)];
        if (name == UnusedBitName) {
            flush();
            continue;
        }
        const BitPlace p = placeOf(name);
        if (p.place < 0) {
            flush();
            fields.push_back({p.field, (value >> bit) & 1u, true});
            continue;
        }
        // A place of 0 starts a new field: the two duty nibbles share their names.
        if (width > 0 && (p.field != current || p.place == 0))
            flush();
        if (width == 0) {
            current = p.field;
            lowBit = bit;
        }
        ++width;
    }
    flush();
    return fields;
}

std::vector<FieldValue> registerFieldValues(std::uint8_t reg, std::uint8_t value, int deviceId)
{
    if (reg == reg::Remote2TminTrange)
        return bitFieldValues(BitScheme::TminTrange, value, deviceId);
    const RegisterEntry* e = registerEntryByAddress(reg);
    if (!e || e->scheme == BitScheme::Plain)
        return {};
    return bitFieldValues(e->scheme, value, deviceId);
}

std::string fieldsText(std::uint8_t reg, std::uint8_t value, int deviceId)
{
    std::string text;
    for (const FieldValue& f : registerFieldValues(reg, value, deviceId))
        text += (text.empty() ? "" : ", ") + f.name + "=" + std::to_string(f.value);
    return text;
}

std::vector<RegisterDifference> registerDifferences(std::span<const RegisterValue> writes,
                                                    const std::function<std::uint8_t(std::uint8_t)>& readCurrent)
{
    std::vector<RegisterDifference> differences;
    for (const RegisterValue& w : writes) {
        const std::uint8_t current = readCurrent(w.address);
        if ((current ^ w.value) & writableBits(w.address))
            differences.push_back({w.address, current, w.value});
    }
    return differences;
}

std::string differenceLine(const RegisterDifference& d, int deviceId)
{
    const RegisterEntry* e = registerEntryByAddress(d.reg);
    std::string name = e ? std::string(e->name) : std::string();
    if (name.size() < 26)
        name.append(26 - name.size(), ' ');
    std::string line =
        addressText(d.reg) + "  " + name + "  " + addressText(d.current) + " -> " + addressText(d.wanted);
    const std::string was = fieldsText(d.reg, d.current, deviceId);
    if (!was.empty())
        line += "  (" + was + " -> " + fieldsText(d.reg, d.wanted, deviceId) + ")";
    return line;
}

}  // namespace device
