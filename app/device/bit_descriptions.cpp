#include "device/bit_descriptions.h"

#include <cstdio>

#include "device/register_link.h"
#include "device/register_map.h"

namespace device {

std::int16_t SelectedRegisterIndex = 0;

std::string pointerText(std::uint8_t pointer)
{
    char text[3];
    (void)std::snprintf(text, sizeof text, "%X", pointer);
    return text;
}

void ShowRegisterBits(RegisterPanelView& view)
{
    const int value = RegisterLink.ShowDataByte != 0 ? RegisterLink.DataByte : RegisterLink.ReadResult & 0xFF;
    for (int bit = 7; bit >= 0; --bit)
        view.setBitValue(bit, (value >> bit) & 1 ? "1" : "0");
    view.setAddressText(pointerText(RegisterLink.RegisterPointer));
}

void ReadAndShowRegister(RegisterPanelView& view)
{
    ReadRegister();
    view.setAddressText(pointerText(RegisterLink.RegisterPointer));
}

void PointAtSelectedRegister(const RegisterPanelView& view)
{
    for (const RegisterEntry& e : RegisterList) {
        if (isSelectionColour(view.listEntryColour(e.index))) {
            RegisterLink.RegisterPointer = e.address;
            return;
        }
    }
}

void ShowRegisterDescription(RegisterPanelView& view)
{
    if (const RegisterEntry* e = registerEntry(SelectedRegisterIndex)) {
        const auto names = bitNames(e->scheme, RegisterLink.DeviceId);
        for (int bit = 0; bit < 8; ++bit)
            view.setBitName(bit, names[static_cast<std::size_t>(bit)]);
        view.setEntryEnabled(e->panelWrites);
        view.setRegisterName(e->name);
        RegisterLink.RegisterPointer = e->address;
    }
    ReadAndShowRegister(view);
    ShowRegisterBits(view);
}

}  // namespace device
