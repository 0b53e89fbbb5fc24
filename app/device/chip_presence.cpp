#include "device/chip_presence.h"

#include <array>
#include <cstdio>

#include "device/register_link.h"
#include "device/register_map.h"

namespace device {

namespace {

constexpr std::array<std::uint8_t, 4> kNeverFF{reg::Configuration2, reg::DeviceId, reg::CompanyId, reg::Revision};

}  // namespace

std::string noLongerAnswersText()
{
    const std::uint8_t a = RegisterLink.DeviceAddress;
    return noLongerAnswersText(RegisterLink.Medium == MediumPrinterPort ? sevenBitAddress(a) : a);
}

std::string noLongerAnswersText(std::uint8_t a7)
{
    char text[48];
    (void)std::snprintf(text, sizeof text, "the chip at 0x%02X no longer answers", a7);
    return text;
}

bool impossibleValue(std::uint8_t address, std::uint8_t value)
{
    if (value != 0xFF)
        return false;
    for (std::uint8_t r : kNeverFF)
        if (r == address)
            return true;
    return false;
}

bool chipAnswers()
{
    const std::uint8_t pointer = RegisterLink.RegisterPointer;
    const std::int32_t result = RegisterLink.ReadResult;
    RegisterLink.RegisterPointer = reg::DeviceId;
    // A failed read leaves ReadResult alone: start from a value no chip has.
    RegisterLink.ReadResult = -1;
    try {
        ReadRegister();
    } catch (...) {
        RegisterLink.RegisterPointer = pointer;
        RegisterLink.ReadResult = result;
        throw;
    }
    const bool same = RegisterLink.ReadResult == RegisterLink.DeviceId && isKnownDeviceId(RegisterLink.DeviceId);
    RegisterLink.RegisterPointer = pointer;
    RegisterLink.ReadResult = result;
    return same;
}

std::uint8_t AnswerWatch::operator()(std::uint8_t address)
{
    const std::uint8_t value = m_read(address);
    if (impossibleValue(address, value))
        m_impossible = true;
    return value;
}

void AnswerWatch::confirm() const
{
    if (m_impossible || !m_answers())
        throw ChipNotAnswering(m_goneText());
}

}  // namespace device
