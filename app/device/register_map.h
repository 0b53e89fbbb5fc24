#pragma once
// The chip as the program knows it: bus addresses, variants, the register
// list of the read/write panel, the bit names, and the register set kept in
// register files. Every window and the command-line tool read these tables;
// nothing else repeats them.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <chiplaw/registers.h>

namespace device {

// Device ID register values.
inline constexpr std::int16_t DeviceIdTFM4410 = chiplaw::DeviceIdTfm4410;  // single channel
inline constexpr std::int16_t DeviceIdTFM4411 = chiplaw::DeviceIdTfm4411;  // dual channel

constexpr bool isKnownDeviceId(int id) { return id == DeviceIdTFM4410 || id == DeviceIdTFM4411; }
constexpr bool isDualChannel(int id) { return id == DeviceIdTFM4411; }
// "TFM4410" / "TFM4411"; anything but 0x30 counts as the dual-channel chip,
// as the variant tests of the program do.
constexpr std::string_view chipName(int id) { return id == DeviceIdTFM4410 ? "TFM4410" : "TFM4411"; }

// Candidate addresses as 8-bit address bytes (read/write bit clear), in the
// order the search tries them. The chipset path takes the 7-bit form.
inline constexpr std::array<std::uint8_t, 3> CandidateAddresses{0x58, 0x5C, 0x5A};
constexpr std::uint8_t sevenBitAddress(std::uint8_t addressByte) { return addressByte >> 1; }
constexpr std::uint8_t addressByte(std::uint8_t sevenBit) { return static_cast<std::uint8_t>(sevenBit << 1); }

// Register addresses: the chip's own, shared with the simulated chip.
namespace reg = chiplaw::reg;

// What a register holds, for the code that decodes values (the command
// line, the bus journal): temperatures and their limits, fan counts and so
// on. `unit` is the temperature channel (0 local, 1 remote 1, 2 remote 2) or
// the fan (1, 2); 0 where neither applies.
enum class RegisterClass : std::uint8_t {
    Other,
    Temperature,       // a channel's high byte
    TemperatureLimit,  // high, low or therm limit in whole degrees
    TemperatureOffset,
    TachCount,
    TachLimit,
    FanCharacteristics,
    FanSpeedConfiguration,
    DeviceId,
};

struct RegisterRole {
    RegisterClass kind = RegisterClass::Other;
    std::uint8_t unit = 0;
};

namespace detail {
struct RoleEntry {
    std::uint8_t address;
    RegisterRole role;
};
// clang-format off
inline constexpr std::array<RoleEntry, 23> RegisterRoles{{
  {reg::LocalTemp, {RegisterClass::Temperature, 0}},
  {reg::Remote1Temp, {RegisterClass::Temperature, 1}},
  {reg::Remote2Temp, {RegisterClass::Temperature, 2}},
  {reg::LocalHighLimit, {RegisterClass::TemperatureLimit, 0}},
  {reg::LocalLowLimit, {RegisterClass::TemperatureLimit, 0}},
  {reg::LocalThermLimit, {RegisterClass::TemperatureLimit, 0}},
  {reg::Remote1HighLimit, {RegisterClass::TemperatureLimit, 1}},
  {reg::Remote1LowLimit, {RegisterClass::TemperatureLimit, 1}},
  {reg::Remote1ThermLimit, {RegisterClass::TemperatureLimit, 1}},
  {reg::Remote2HighLimit, {RegisterClass::TemperatureLimit, 2}},
  {reg::Remote2LowLimit, {RegisterClass::TemperatureLimit, 2}},
  {reg::Remote2ThermLimit, {RegisterClass::TemperatureLimit, 2}},
  {reg::LocalOffset, {RegisterClass::TemperatureOffset, 0}},
  {reg::Remote1Offset, {RegisterClass::TemperatureOffset, 1}},
  {reg::Remote2Offset, {RegisterClass::TemperatureOffset, 2}},
  {reg::Fan1Tach, {RegisterClass::TachCount, 1}},
  {reg::Fan2Tach, {RegisterClass::TachCount, 2}},
  {reg::Fan1TachLimit, {RegisterClass::TachLimit, 1}},
  {reg::Fan2TachLimit, {RegisterClass::TachLimit, 2}},
  {reg::Fan1Characteristics, {RegisterClass::FanCharacteristics, 1}},
  {reg::Fan2Characteristics, {RegisterClass::FanCharacteristics, 2}},
  {reg::FanSpeedConfiguration, {RegisterClass::FanSpeedConfiguration, 0}},
  {reg::DeviceId, {RegisterClass::DeviceId, 0}},
}};
// clang-format on
}  // namespace detail

constexpr RegisterRole registerRole(std::uint8_t address)
{
    for (const detail::RoleEntry& e : detail::RegisterRoles)
        if (e.address == address)
            return e.role;
    return {};
}

// A reading or a limit in degrees (two's complement whole degrees).
constexpr bool holdsTemperature(std::uint8_t address)
{
    const RegisterClass kind = registerRole(address).kind;
    return kind == RegisterClass::Temperature || kind == RegisterClass::TemperatureLimit;
}

// Bit fields the program uses (masks in place).
namespace bits {
inline constexpr std::uint8_t Config1TachAin = 0x04;      // 1 = analog input (two-wire fan)
inline constexpr std::uint8_t Config1AutoControl = 0x80;  // automatic fan control
inline constexpr std::uint8_t Config1PwmInvert = 0x08;    // both fans' PWM outputs inverted
inline constexpr std::uint8_t Config1PwmMode = 0x60;      // both set: RPM feedback
inline constexpr std::uint8_t FanCharSpinUp = 0x07;
inline constexpr std::uint8_t FanCharPwmFrequency = 0x38;
inline constexpr std::uint8_t FanCharDivisor = 0xC0;
inline constexpr std::uint8_t Fan1Duty = 0x0F;
inline constexpr std::uint8_t Fan2Duty = 0xF0;
inline constexpr std::uint8_t ExtraLocal = 0xC0;
inline constexpr std::uint8_t ExtraRemote1 = 0x07;
inline constexpr std::uint8_t ExtraRemote2 = 0x38;
}  // namespace bits

// How the eight bits of a register are named in the read/write panel.
enum class BitScheme {
    Plain,
    Configuration1,
    Configuration2,
    InterruptStatus1,
    InterruptStatus2,
    Revision,
    FanCharacteristics,
    TminTrange,
    FanSpeedConfiguration,
    ExtraResolution,
    RemoteHighByte,
    FanFilter,
    Offset,
};

struct BitSchemeNames {
    std::array<std::string_view, 8> names;  // bit 0 .. bit 7
    std::uint8_t unusedOnTFM4410 = 0;       // bits renamed "Unused" on the single-channel chip
};

inline constexpr std::string_view UnusedBitName = "Unused";

constexpr BitSchemeNames bitSchemeNames(BitScheme scheme)
{
    switch (scheme) {
    case BitScheme::Plain: return {{"Bit 0", "Bit 1", "Bit 2", "Bit 3", "Bit 4", "Bit 5", "Bit 6", "Bit 7"}, 0};
    case BitScheme::Configuration1:
        return {{"Monitor", "INT Enable", "Tach/Ain", "PWM Invert", "Fan Fault Enable", "PWM Mode 0", "PWM Mode 1",
                 "Auto/SW Ctrl"},
                0};
    case BitScheme::Configuration2:
        return {{"PWM1 Enable", "PWM2 Enable", "Tach1 Enable", "Tach2 Enable", "Int Temp Enable", "Ext Temp1 Enable",
                 "Ext Temp2 Enable", "SW reset"},
                0x4A};
    case BitScheme::InterruptStatus1:
        return {{"Alarm1 Speed", "Fan 1 Fault", "Ext1 High", "Ext1 Low", "Ext1 Therm", "Ext1 Diode Error",
                 "Internal High", "Internal Low"},
                0};
    case BitScheme::InterruptStatus2:
        return {{"Alarm2 Speed", "Fan 2 Fault", "Ext2 High", "Ext2 Low", "Ext2 Therm", "Ext2 Diode Error", "Int Therm",
                 "THERM"},
                0x3F};
    case BitScheme::Revision:
        return {{"Minor Rev 0", "Minor Rev 1", "Minor Rev 2", "Minor Rev 3", "Major Rev 0", "Major Rev 1",
                 "Major Rev 2", "Therm to Fan"},
                0};
    case BitScheme::FanCharacteristics:
        return {{"SpinUp 0", "SpinUp 1", "SpinUp 2", "PWM 0", "PWM 1", "PWM 2", "Divisor(N) 0", "Divisor(N) 1"}, 0};
    case BitScheme::TminTrange:
        return {{"Trange 0", "Trange 1", "Trange 2", "Tmin 0", "Tmin 1", "Tmin 2", "Tmin 3", "Tmin 4"}, 0};
    case BitScheme::FanSpeedConfiguration:
        return {{"Normal/Min 0", "Normal/Min 1", "Normal/Min 2", "Normal/Min 3", "Normal/Min 0", "Normal/Min 1",
                 "Normal/Min 2", "Normal/Min 3"},
                0xF0};
    case BitScheme::ExtraResolution:
        return {{"Ext1 Bit 0", "Ext1 Bit 1", "Ext1 Bit 2", "Ext2 Bit 0", "Ext2 Bit 1", "Ext2 Bit 2", "Int Bit 0",
                 "Int Bit 1"},
                0x38};
    case BitScheme::RemoteHighByte:
        return {
            {"Ext Bit 3", "Ext Bit 4", "Ext Bit 5", "Ext Bit 6", "Ext Bit 7", "Ext Bit 8", "Ext Bit 9", "Ext Bit 10"},
            0};
    case BitScheme::FanFilter:
        return {{"Fan1 Filter En", "Fan2 Filter En", "ADC Rate 0", "ADC Rate 1", "ADC Rate 2", "Inc Rate 0",
                 "Inc Rate 1", "Unused"},
                0};
    case BitScheme::Offset:
        return {{"Offset Bit0", "Offset Bit1", "Offset Bit2", "Offset Bit3", "Unused", "Unused", "Unused", "Sign Bit"},
                0};
    }
    return {};
}

// The eight names as shown for the given chip (TFM4410 replacements applied
// when deviceId is 0x30).
constexpr std::array<std::string_view, 8> bitNames(BitScheme scheme, int deviceId)
{
    BitSchemeNames s = bitSchemeNames(scheme);
    if (deviceId == DeviceIdTFM4410) {
        for (int k = 0; k < 8; ++k)
            if (s.unusedOnTFM4410 & (1u << k))
                s.names[static_cast<std::size_t>(k)] = UnusedBitName;
    }
    return s.names;
}

// One entry of the read/write panel's register list. The index (1..35) is how
// the panel, the bit descriptions and the register selection refer to it.
struct RegisterEntry {
    int index;
    std::uint8_t address;
    std::string_view name;  // as the panel shows it, quirks included
    bool panelWrites;       // the data entry boxes are enabled
    bool tfm4411Only;       // hidden on the single-channel chip
    BitScheme scheme;
};

inline constexpr int RegisterListSize = 35;

// clang-format off
inline constexpr std::array<RegisterEntry, RegisterListSize> RegisterList{{
  { 1, 0x3E, "Company ID",                  false, false, BitScheme::Plain},
  { 2, 0x3F, "Revision",                    true,  false, BitScheme::Revision},
  { 3, 0x00, "Configuration 1",             true,  false, BitScheme::Configuration1},
  { 4, 0x02, "Interrupt Status 1",          false, false, BitScheme::InterruptStatus1},
  { 5, 0x01, "Configuration 2",             true,  false, BitScheme::Configuration2},
  { 6, 0x03, "Interrupt Status 2",          false, false, BitScheme::InterruptStatus2},
  { 7, 0x20, "Fan1 Characteristics",        true,  false, BitScheme::FanCharacteristics},
  { 8, 0x22, "Fan Speed Configuration",     true,  false, BitScheme::FanSpeedConfiguration},
  { 9, 0x24, "Local Temp Tmin/Trange",      true,  false, BitScheme::TminTrange},
  {10, 0x25, "Remote1 Temp Tmin/Trange",    true,  false, BitScheme::TminTrange},
  {11, 0x21, "Fan2 Characteristics",        true,  true,  BitScheme::FanCharacteristics},
  {12, 0x08, "Fan1 Tach Value",             true,  false, BitScheme::Plain},
  {13, 0x0B, "Remote1 Temp. High Byte",     false, false, BitScheme::RemoteHighByte},
  {14, 0x0A, "Local Temp. High Byte",       false, false, BitScheme::Plain},
  {15, 0x0D, "Local Temp Offset",           true,  false, BitScheme::Offset},
  {16, 0x0E, "Remote1 Temp Offset",         true,  false, BitScheme::Offset},
  {17, 0x18, "Remote1 Temp. High Limit",    true,  false, BitScheme::Plain},
  {18, 0x19, "Remote1 Temp. Low Limit",     true,  false, BitScheme::Plain},
  {19, 0x14, "Local Temp. High Limit",      true,  false, BitScheme::Plain},
  {20, 0x15, "Local Temp. Low Limit",       true,  false, BitScheme::Plain},
  {21, 0x3D, "Device ID",                   false, false, BitScheme::Plain},
  {22, 0x10, "Fan1 Tach High Limit",        true,  false, BitScheme::Plain},
  {23, 0x16, "Local Temp Therm Limit",      true,  false, BitScheme::Plain},
  {24, 0x1A, "Remote1 Temp Therm Limit",    true,  false, BitScheme::Plain},
  {25, 0x06, "Extra Resolution",            false, false, BitScheme::ExtraResolution},
  {26, 0x23, "Fan Filter Control",          true,  false, BitScheme::FanFilter},
  {27, 0x07, "Manufacturers Test Register", true,  false, BitScheme::Plain},
  {28, 0x26, "Remote2 Temp Tmin/Trange",    true,  true,  BitScheme::Plain},
  {29, 0x09, "Fan2 Tach Value",             true,  true,  BitScheme::Plain},
  {30, 0x0F, "Remote2 Temp. Offset",        true,  true,  BitScheme::Offset},
  {31, 0x11, "Fan2 Tach High Limit",        true,  true,  BitScheme::Plain},
  {32, 0x1C, "Remote2 Temp. High Limit",    true,  true,  BitScheme::Plain},
  {33, 0x1D, "Remote2 Temp. Low Limit",     true,  true,  BitScheme::Plain},
  {34, 0x1E, "Remote2 Temp. Therm Limit",   true,  true,  BitScheme::Plain},
  {35, 0x0C, "Remote2 Temp. High Byte",     false, true,  BitScheme::Plain},
}};
// clang-format on

// Entry by list index 1..35; nullptr outside.
constexpr const RegisterEntry* registerEntry(int index)
{
    return index >= 1 && index <= RegisterListSize ? &RegisterList[static_cast<std::size_t>(index - 1)] : nullptr;
}

// Entry by register address; nullptr for an address not in the list.
constexpr const RegisterEntry* registerEntryByAddress(std::uint8_t address)
{
    for (const RegisterEntry& e : RegisterList)
        if (e.address == address)
            return &e;
    return nullptr;
}

// The chip variant has this register (TFM4411-only entries are absent on the TFM4410).
constexpr bool presentOn(const RegisterEntry& e, int deviceId) { return !e.tfm4411Only || deviceId != DeviceIdTFM4410; }

// Entry by list name, exact or ignoring case and blanks ("fan1 tach value",
// "Fan1TachValue"); nullptr when no name matches.
const RegisterEntry* registerEntryByName(std::string_view name);

// A register as a user names it, for every client that takes one by text
// (the command line, the Python module): an address ("0x14", "20", "14h"),
// a register-list name or a register file label ("Local Temp. High Limit",
// "Local High Limit"), case, blanks and punctuation ignored, or a prefix
// that only one register's names begin with. `error` says why nothing was
// found: a malformed number, an address the chip lacks, a name that is
// unknown or that several registers share (the candidates listed).
struct RegisterLookup {
    const RegisterEntry* entry = nullptr;
    std::string error;
    explicit operator bool() const { return entry != nullptr; }
};
RegisterLookup lookUpRegister(std::string_view text);

// Names of the alarm bits set in the two interrupt status registers, as the
// read/write panel names the bits ("Unused" bits of the TFM4410 left out).
std::vector<std::string> alarmNames(std::uint8_t status1, std::uint8_t status2, int deviceId);

// Register address in the program's notation: two upper-case hex digits and "h" ("0Dh").
std::string addressText(std::uint8_t address);

// One row of a register file: the texts exactly as stored, trailing blanks
// included. The names are not padded to one width; older files rely on it.
struct SavedRegister {
    std::uint8_t address;
    std::string_view fileName;     // name column as written
    std::string_view fileAddress;  // address column as written
    bool tfm4411Only;

    // The texts without their trailing blanks, for previews.
    constexpr std::string_view name() const { return trimRight(fileName); }
    constexpr std::string_view addressLabel() const { return trimRight(fileAddress); }

private:
    static constexpr std::string_view trimRight(std::string_view s)
    {
        while (!s.empty() && s.back() == ' ')
            s.remove_suffix(1);
        return s;
    }
};

// clang-format off
inline constexpr std::array<SavedRegister, 24> SavedRegisters{{
  {0x00, "Configuration1        ", "0h        ",  false},
  {0x01, "Configuration2        ", "1h        ",  false},
  {0x0D, "Local Temp Offset",      "0Dh        ", false},
  {0x0E, "Remote1 Temp Offset",    "0Eh        ", false},
  {0x0F, "Remote2 Temp Offset",    "0Fh        ", true},
  {0x10, "Fan1 Tach Limit        ", "10h        ", false},
  {0x11, "Fan2 Tach Limit        ", "11h        ", true},
  {0x14, "Local High Limit",       "14h        ", false},
  {0x15, "Local Low Limit        ", "15h        ", false},
  {0x16, "Local Therm Limit",      "16h        ", false},
  {0x18, "Remote1 High Limit",     "18h        ", false},
  {0x19, "Remote1 Low Limit",      "19h        ", false},
  {0x1A, "Remote1 Therm Limit",    "1Ah        ", false},
  {0x1C, "Remote2 High Limit",     "1Ch        ", true},
  {0x1D, "Remote2 Low Limit",      "1Dh        ", true},
  {0x1E, "Remote2 Therm Limit",    "1Eh        ", true},
  {0x20, "Fan1 Characteristics",   "20h        ", false},
  {0x21, "Fan2 Characteristics",   "21h        ", true},
  {0x22, "Fan Speed Config.",      "22h       ",  false},
  {0x23, "Fan Filter        ",     "23h        ", false},
  {0x24, "Local Tmin/Trange ",     "24h        ", false},
  {0x25, "Remote1 Tmin/Trange ",   "25h        ", false},
  {0x26, "Remote2 Tmin/Trange ",   "26h        ", true},
  {0x3F, "THERM/Revision        ", "3Fh        ", false},
}};
// clang-format on

// Bits of a saved register that a write sets and the chip then keeps, for
// set-up code that must leave a chip equal to its source: no bit the
// variant lacks ("Unused" in the register's bit names), not the self-clearing
// software reset, not the revision number. Fan Filter bit 7 is named
// "Unused" in the register list but the filter dialog uses it to disable the
// spin-up, so it is kept.
namespace bits {
using chiplaw::bits::Config2SoftwareReset;
inline constexpr std::uint8_t FilterSpinUpDisable = 0x80;
using chiplaw::bits::RevisionThermToFan;
}  // namespace bits

constexpr std::uint8_t keptBits(std::uint8_t address, int deviceId)
{
    if (address == reg::Revision)
        return bits::RevisionThermToFan;
    const RegisterEntry* e = registerEntryByAddress(address);
    if (e == nullptr || !e->panelWrites)
        return 0;
    const std::array<std::string_view, 8> names = bitNames(e->scheme, deviceId);
    std::uint8_t kept = 0xFF;
    for (int k = 0; k < 8; ++k)
        if (names[static_cast<std::size_t>(k)] == UnusedBitName)
            kept = static_cast<std::uint8_t>(kept & ~(1u << k));
    if (address == reg::Configuration2)
        kept &= static_cast<std::uint8_t>(~bits::Config2SoftwareReset);
    if (address == reg::FanFilterControl)
        kept |= bits::FilterSpinUpDisable;
    return kept;
}

// Bits the chip sets itself and a write leaves alone (the revision number):
// a saved value may hold anything there.
constexpr std::uint8_t fixedBits(std::uint8_t address)
{
    const chiplaw::Register* r = chiplaw::registerAt(address);
    return r != nullptr && r->access == chiplaw::Access::ReadWrite ? static_cast<std::uint8_t>(~r->writable) : 0x00;
}

// Number of saved registers for a chip: 17 on the TFM4410, 24 on the TFM4411.
constexpr int savedRegisterCount(int deviceId) { return deviceId == DeviceIdTFM4410 ? 17 : 24; }

// Register file texts.
inline constexpr std::string_view FileTitleTFM4410 = "TFM4410 Evaluation Software v1.04";
inline constexpr std::string_view FileTitleTFM4411 = "TFM4411 Evaluation Software v1.04";
constexpr std::string_view fileTitle(int deviceId)
{
    return deviceId == DeviceIdTFM4410 ? FileTitleTFM4410 : FileTitleTFM4411;
}
inline constexpr std::string_view FileSavedPrefix = "Saved : ";
inline constexpr std::string_view FileSavedAt = " at ";
inline constexpr std::string_view FileColumnHeading = "Register   \t\tAddress\t\tValue";
inline constexpr std::string_view FileLineEnd = "\r\n";

}  // namespace device
