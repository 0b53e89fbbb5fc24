#pragma once
// Showing the current register in the read/write panel: its bits, address,
// name, bit names and whether the user may type a value. Written against a
// small view so it runs without a window; the main window's register panel
// implements the view, tests implement it with plain values.

#include <cstdint>
#include <string>
#include <string_view>

namespace device {

// Label text colours (0xBBGGRR) of the register list entries.
inline constexpr std::uint32_t ColourCurrent = 0x8000;       // green: the current entry
inline constexpr std::uint32_t ColourCurrentHover = 0xFFFF;  // yellow: current, mouse over it
inline constexpr std::uint32_t ColourHover = 0xFF00;         // bright green: mouse over another entry

constexpr bool isSelectionColour(std::uint32_t colour)
{
    return colour == ColourCurrent || colour == ColourCurrentHover;
}

class RegisterPanelView {
public:
    virtual ~RegisterPanelView() = default;
    // bit0..bit7: "1" or "0".
    virtual void setBitValue(int bit, std::string_view caption) = 0;
    // current_reg_address_label.
    virtual void setAddressText(std::string_view text) = 0;
    // current_reg_type_label.
    virtual void setRegisterName(std::string_view text) = 0;
    // bitname(0..7).
    virtual void setBitName(int bit, std::string_view name) = 0;
    // Text6 and Text7 together.
    virtual void setEntryEnabled(bool enabled) = 0;
    // Text colour of read_writedisplaytext(index), index 1..35.
    virtual std::uint32_t listEntryColour(int index) const = 0;
};

// The register list index last clicked (1..35), set by the list's click
// handler before it calls ShowRegisterDescription.
extern std::int16_t SelectedRegisterIndex;

// RegisterPointer in hex, upper case, no prefix or leading zero (0x06 -> "6").
std::string pointerText(std::uint8_t pointer);

// Bits of DataByte (ShowDataByte set) or ReadResult into bit7..bit0, then
// the pointer into the address label.
void ShowRegisterBits(RegisterPanelView& view);

// ReadRegister, then the pointer into the address label. Errors propagate
// before the label changes.
void ReadAndShowRegister(RegisterPanelView& view);

// RegisterPointer = address of the first list entry in a selection colour;
// unchanged when none is.
void PointAtSelectedRegister(const RegisterPanelView& view);

// For SelectedRegisterIndex in 1..35: bit names (TFM4410 replacements by
// RegisterLink.DeviceId), entry boxes, name, pointer. Then in every case
// ReadAndShowRegister and ShowRegisterBits.
void ShowRegisterDescription(RegisterPanelView& view);

}  // namespace device
