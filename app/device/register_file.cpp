#include "device/register_file.h"

#include "device/numbers.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace device {

namespace {

constexpr std::array<std::size_t, 17> SingleChannelSet = [] {
    std::array<std::size_t, 17> out{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < SavedRegisters.size(); ++i)
        if (!SavedRegisters[i].tfm4411Only)
            out[n++] = i;
    return out;
}();

constexpr std::array<std::size_t, 24> DualChannelSet = [] {
    std::array<std::size_t, 24> out{};
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = i;
    return out;
}();

std::span<const std::size_t> savedSet(int deviceId)
{
    if (deviceId == DeviceIdTFM4410)
        return SingleChannelSet;
    return DualChannelSet;
}

const SavedRegister* savedRegister(std::uint8_t address)
{
    for (const SavedRegister& r : SavedRegisters)
        if (r.address == address)
            return &r;
    return nullptr;
}

std::string_view trimRight(std::string_view s)
{
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

// "<hex digits>h" with optional trailing blanks, value 0..255. Leading zeros
// are allowed ("0Dh"); the saved files never write more than two digits, but
// a hand-edited "00Ah" still means 0x0A.
std::optional<std::uint8_t> parseHexField(std::string_view field)
{
    field = trimRight(field);
    if (field.size() < 2 || field.back() != 'h')
        return std::nullopt;
    const std::optional<unsigned> value = parseNumber(field, 0xFF);
    if (!value)
        return std::nullopt;
    return static_cast<std::uint8_t>(*value);
}

std::string lineError(std::size_t line, std::string_view what)
{
    return "line " + std::to_string(line) + ": " + std::string(what);
}

}  // namespace

std::string savedLine(const std::tm& localTime)
{
    char buffer[64];
    std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d at %H:%M:%S", &localTime);
    return std::string(FileSavedPrefix) + std::string(buffer, n);
}

std::string valueText(std::uint8_t value)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    if (value >= 0x10)
        out += digits[value >> 4];
    out += digits[value & 0x0F];
    out += 'h';
    return out;
}

std::vector<std::string> registerFileLines(int deviceId, const std::tm& localTime,
                                           const std::function<std::uint8_t(std::uint8_t)>& readValue)
{
    std::vector<std::string> lines;
    lines.reserve(5 + 24);
    lines.emplace_back(fileTitle(deviceId));
    lines.push_back(savedLine(localTime));
    lines.emplace_back();
    lines.emplace_back(FileColumnHeading);
    lines.emplace_back();
    for (std::size_t i : savedSet(deviceId)) {
        const SavedRegister& r = SavedRegisters[i];
        std::string line(r.fileName);
        line += '\t';
        line += r.fileAddress;
        line += '\t';
        line += valueText(readValue(r.address));
        lines.push_back(std::move(line));
    }
    return lines;
}

std::vector<std::string> registerFileLines(int deviceId, const std::tm& localTime,
                                           std::span<const RegisterValue> values)
{
    return registerFileLines(deviceId, localTime, [values](std::uint8_t address) -> std::uint8_t {
        for (const RegisterValue& v : values)
            if (v.address == address)
                return v.value;
        return 0;
    });
}

std::string registerPreviewLine(const SavedRegister& reg, std::uint8_t value)
{
    // Names shorter than one tab column get a second TAB so the address
    // column lines up under the heading.
    std::string_view name = reg.name();
    std::string line(name);
    line += name.size() < 16 ? "\t\t" : "\t";
    line += reg.addressLabel();
    line += "\t\t";
    line += valueText(value);
    return line;
}

std::string registerFileText(std::span<const std::string> lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += FileLineEnd;
    }
    text += FileLineEnd;
    return text;
}

RegisterFileResult parseRegisterFile(std::string_view text)
{
    RegisterFileResult result;
    if (text.size() > MaxRegisterFileSize) {
        result.error = "the file is too large to be a register file";
        return result;
    }

    // Split into CR LF lines; a lone CR or LF anywhere is not a register file.
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find("\r\n", pos);
        if (end == std::string_view::npos) {
            result.error = lineError(lines.size() + 1, "the line does not end with CR LF");
            return result;
        }
        std::string_view line = text.substr(pos, end - pos);
        if (line.find_first_of("\r\n") != std::string_view::npos) {
            result.error = lineError(lines.size() + 1, "stray CR or LF inside the line");
            return result;
        }
        lines.push_back(line);
        pos = end + 2;
    }

    if (lines.empty()) {
        result.error = "the file is empty";
        return result;
    }
    RegisterFile file;
    if (lines[0] == FileTitleTFM4410)
        file.titleDeviceId = DeviceIdTFM4410;
    else if (lines[0] == FileTitleTFM4411)
        file.titleDeviceId = DeviceIdTFM4411;
    else {
        result.error = lineError(1, "not a register file title");
        return result;
    }
    if (lines.size() < 5 || !lines[1].starts_with(FileSavedPrefix) || !lines[2].empty() ||
        lines[3] != FileColumnHeading || !lines[4].empty()) {
        result.error = "lines 2 to 5: the date line, column heading and empty lines are not as saved";
        return result;
    }

    const std::span<const std::size_t> expected = savedSet(file.titleDeviceId);
    std::vector<bool> seen(SavedRegisters.size(), false);
    std::size_t n = 5;
    for (; n < lines.size() && !lines[n].empty(); ++n) {
        const std::size_t lineNo = n + 1;
        std::string_view line = lines[n];
        std::size_t tab1 = line.find('\t');
        std::size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos || line.find('\t', tab2 + 1) != std::string_view::npos) {
            result.error = lineError(lineNo, "expected name, address and value separated by single TABs");
            return result;
        }
        std::optional<std::uint8_t> address = parseHexField(line.substr(tab1 + 1, tab2 - tab1 - 1));
        const SavedRegister* reg = address ? savedRegister(*address) : nullptr;
        if (!reg) {
            result.error = lineError(lineNo, "the address is not one of the saved registers");
            return result;
        }
        const std::size_t index = static_cast<std::size_t>(reg - SavedRegisters.data());
        if (reg->tfm4411Only && file.titleDeviceId == DeviceIdTFM4410) {
            result.error = lineError(lineNo, "the register does not belong to the title's chip");
            return result;
        }
        if (trimRight(line.substr(0, tab1)) != reg->name()) {
            result.error = lineError(lineNo, "the name does not match the address");
            return result;
        }
        if (seen[index]) {
            result.error = lineError(lineNo, "the register appears twice");
            return result;
        }
        std::optional<std::uint8_t> value = parseHexField(line.substr(tab2 + 1));
        if (!value) {
            result.error = lineError(lineNo, "the value is not 0h to FFh");
            return result;
        }
        seen[index] = true;
        file.registers.push_back({*address, *value});
    }
    for (; n < lines.size(); ++n) {
        if (!lines[n].empty()) {
            result.error = lineError(n + 1, "text after the register lines");
            return result;
        }
    }
    if (file.registers.size() != expected.size()) {
        result.error = "the file holds " + std::to_string(file.registers.size()) + " of the " +
                       std::to_string(expected.size()) + " registers its title names";
        return result;
    }
    result.file = std::move(file);
    return result;
}

RegisterFileText readRegisterFileText(const std::filesystem::path& path)
{
    fileio::ReadOutcome read = fileio::readRegularFile(path, MaxRegisterFileSize);
    RegisterFileText result;
    switch (read.failure) {
    case fileio::ReadFailure::None: result.text = std::move(read.text); break;
    case fileio::ReadFailure::NotRegular:
        result.error = "the file is " + std::string(fileio::fileKind(read.mode)) + ", not a register file";
        break;
    case fileio::ReadFailure::CannotOpen:
        result.error = "cannot open " + path.string() + ": " + std::strerror(read.error);
        break;
    case fileio::ReadFailure::CannotRead:
        result.error = "cannot read " + path.string() + ": " + std::strerror(read.error);
        break;
    case fileio::ReadFailure::TooLarge: result.error = "the file is too large to be a register file"; break;
    }
    return result;
}

RegisterFileResult readRegisterFile(const std::filesystem::path& path)
{
    RegisterFileText text = readRegisterFileText(path);
    if (!text.error.empty()) {
        RegisterFileResult result;
        result.error = std::move(text.error);
        return result;
    }
    return parseRegisterFile(text.text);
}

std::vector<RegisterValue> recallWrites(const RegisterFile& file, int connectedDeviceId)
{
    std::vector<RegisterValue> writes;
    for (const RegisterValue& v : file.registers) {
        const SavedRegister* reg = savedRegister(v.address);
        if (reg && (!reg->tfm4411Only || connectedDeviceId != DeviceIdTFM4410))
            writes.push_back(v);
    }
    return writes;
}

}  // namespace device
