// The register link against the simulated board, through the real library,
// on both media: what the link writes must arrive in the chip's registers.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <map>
#include <string>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/bit_descriptions.h"
#include "device/conversions.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "support/board_environment.h"

namespace device {
namespace {

const auto* const g_env =
    ::testing::AddGlobalTestEnvironment(new testsupport::BoardEnvironment(testsupport::printerAndChipsetBoard()));

sim::Chip& printerChip() { return *sim::board().chip(0x5C); }
sim::Chip& chipsetChip() { return *sim::board().motherboardChips().front(); }

void usePrinterPort()
{
    RegisterLink.Medium = MediumPrinterPort;
    RegisterLink.DeviceAddress = 0x5C;
}

void useChipset(std::uint8_t medium = MediumChipsetSMBus)
{
    RegisterLink.Medium = medium;
    RegisterLink.DeviceAddress = 0x2D;
}

TEST(RegisterLinkTest, ComPortIsCreatedOnceAndKept)
{
    const auto first = ComPort();
    EXPECT_TRUE(ComPortCreated());
    EXPECT_EQ(ComPort().get(), first.get());
}

TEST(RegisterLinkTest, PrinterPortWriteLandsInChipAndReadsBack)
{
    usePrinterPort();
    writeRegister(reg::LocalHighLimit, 0x4B);
    EXPECT_EQ(printerChip().peek(reg::LocalHighLimit), 0x4B);
    printerChip().poke(reg::Remote1LowLimit, 0xF6);
    RegisterLink.RegisterPointer = reg::Remote1LowLimit;
    ReadRegister();
    EXPECT_EQ(RegisterLink.ReadResult, 0xF6);
    EXPECT_EQ(readRegister(reg::DeviceId), DeviceIdTFM4411);
}

// 0 is what the search stores; every value but 1 means the chipset bus.
class ChipsetMedium : public ::testing::TestWithParam<int> { };

TEST_P(ChipsetMedium, UsesMotherboardBus)
{
    useChipset(static_cast<std::uint8_t>(GetParam()));
    EXPECT_EQ(readRegister(reg::DeviceId), DeviceIdTFM4410);
    const std::uint8_t value = static_cast<std::uint8_t>(0x30 + GetParam());
    writeRegister(reg::LocalHighLimit, value);
    EXPECT_EQ(chipsetChip().peek(reg::LocalHighLimit), value);
    EXPECT_EQ(readRegister(reg::LocalHighLimit), value);
}

INSTANTIATE_TEST_SUITE_P(Media, ChipsetMedium, ::testing::Values(0, 2, 7, 255));

TEST(RegisterLinkTest, FailedReadKeepsPreviousResultAndThrows)
{
    usePrinterPort();
    printerChip().poke(reg::LocalLowLimit, 0x12);
    readRegister(reg::LocalLowLimit);
    const auto port = ComPort()->PrinterPort();
    ComPort()->setPrinterPort(nullptr);
    RegisterLink.RegisterPointer = reg::DeviceId;
    EXPECT_THROW(ReadRegister(), vexlink06::ComError);
    EXPECT_THROW(WriteRegister(), vexlink06::ComError);
    ComPort()->setPrinterPort(port);
    EXPECT_EQ(RegisterLink.ReadResult, 0x12);
}

TEST(RegisterLinkTest, FanDivisorsFollowTheVariant)
{
    usePrinterPort();
    RegisterLink.DeviceId = DeviceIdTFM4411;
    printerChip().poke(reg::Fan1Characteristics, 0xC0);
    printerChip().poke(reg::Fan2Characteristics, 0x40);
    ReadFanDivisors();
    EXPECT_EQ(Fan1Divisor, 8);
    EXPECT_EQ(Fan2Divisor, 2);
    EXPECT_EQ(RegisterLink.ReadResult, 1);

    printerChip().poke(reg::Fan1Characteristics, 0x80);
    printerChip().poke(reg::Fan2Characteristics, 0x00);
    RegisterLink.DeviceId = DeviceIdTFM4410;
    ReadFanDivisors();
    EXPECT_EQ(Fan1Divisor, 4);
    EXPECT_EQ(Fan2Divisor, 2);  // untouched on the single-channel chip
}

TEST(RegisterLinkTest, WaitSecondsRunsPendingEvents)
{
    int passes = 0;
    bool timerRan = false;
    vexlink06::setEventLoopYield([&] {
        if (++passes == 3)
            timerRan = true;
    });
    WaitSeconds(0);
    EXPECT_EQ(passes, 0);
    const auto start = std::chrono::steady_clock::now();
    WaitSeconds(1);
    const auto waited = std::chrono::steady_clock::now() - start;
    vexlink06::setEventLoopYield(nullptr);
    EXPECT_TRUE(timerRan);
    EXPECT_GE(waited, std::chrono::seconds(1));
}

// Plain values in place of the main window's register panel.
class FakePanel : public RegisterPanelView {
public:
    std::array<std::string, 8> bits, names;
    std::string address, name;
    bool entryEnabled = false;
    std::map<int, std::uint32_t> colours;

    void setBitValue(int bit, std::string_view caption) override { bits.at(static_cast<std::size_t>(bit)) = caption; }
    void setAddressText(std::string_view text) override { address = text; }
    void setRegisterName(std::string_view text) override { name = text; }
    void setBitName(int bit, std::string_view n) override { names.at(static_cast<std::size_t>(bit)) = n; }
    void setEntryEnabled(bool enabled) override { entryEnabled = enabled; }
    std::uint32_t listEntryColour(int index) const override
    {
        const auto it = colours.find(index);
        return it == colours.end() ? 0x808080 : it->second;
    }
    std::string bitString() const
    {
        std::string s;
        for (int k = 7; k >= 0; --k)
            s += bits[static_cast<std::size_t>(k)];
        return s;
    }
};

TEST(BitDescriptions, ShowBitsOfReadOrOfPendingWrite)
{
    FakePanel panel;
    RegisterLink.ReadResult = 0xA5;
    RegisterLink.DataByte = 0x0F;
    RegisterLink.RegisterPointer = 0x06;
    RegisterLink.ShowDataByte = 0;
    ShowRegisterBits(panel);
    EXPECT_EQ(panel.bitString(), "10100101");
    EXPECT_EQ(panel.address, "6");
    RegisterLink.ShowDataByte = -1;
    RegisterLink.RegisterPointer = 0x3D;
    ShowRegisterBits(panel);
    RegisterLink.ShowDataByte = 0;
    EXPECT_EQ(panel.bitString(), "00001111");
    EXPECT_EQ(panel.address, "3D");
}

TEST(BitDescriptions, PointAtSelectedRegister)
{
    FakePanel panel;
    RegisterLink.RegisterPointer = 0x77;
    panel.colours[3] = ColourHover;  // under the mouse, not selected
    PointAtSelectedRegister(panel);
    EXPECT_EQ(RegisterLink.RegisterPointer, 0x77);
    panel.colours[22] = ColourCurrentHover;
    panel.colours[30] = ColourCurrent;
    PointAtSelectedRegister(panel);
    EXPECT_EQ(RegisterLink.RegisterPointer, 0x10);  // the first in index order
}

struct DescriptionCase {
    int index;
    std::int16_t deviceId;
    std::array<const char*, 8> names;
    bool writable;
};

class RegisterDescription : public ::testing::TestWithParam<DescriptionCase> { };

TEST_P(RegisterDescription, NamesEntryBoxesAndFreshRead)
{
    const DescriptionCase& c = GetParam();
    usePrinterPort();
    RegisterLink.DeviceId = c.deviceId;
    const RegisterEntry& e = *registerEntry(c.index);
    // Read-only registers are set behind the bus; the read must still see them.
    printerChip().poke(e.address, 0x5A);
    FakePanel panel;
    SelectedRegisterIndex = static_cast<std::int16_t>(c.index);
    ShowRegisterDescription(panel);
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(panel.names[static_cast<std::size_t>(k)], c.names[static_cast<std::size_t>(k)]) << "bit " << k;
    EXPECT_EQ(panel.entryEnabled, c.writable);
    EXPECT_EQ(panel.name, e.name);
    EXPECT_EQ(RegisterLink.RegisterPointer, e.address);
    EXPECT_EQ(panel.address, pointerText(e.address));
    EXPECT_EQ(panel.bitString(), "01011010");
}

constexpr std::array<const char*, 8> Plain{"Bit 0", "Bit 1", "Bit 2", "Bit 3", "Bit 4", "Bit 5", "Bit 6", "Bit 7"};

INSTANTIATE_TEST_SUITE_P(
    Entries, RegisterDescription,
    ::testing::Values(
        DescriptionCase{5,
                        DeviceIdTFM4410,
                        {"PWM1 Enable", "Unused", "Tach1 Enable", "Unused", "Int Temp Enable", "Ext Temp1 Enable",
                         "Unused", "SW reset"},
                        true},
        DescriptionCase{5,
                        DeviceIdTFM4411,
                        {"PWM1 Enable", "PWM2 Enable", "Tach1 Enable", "Tach2 Enable", "Int Temp Enable",
                         "Ext Temp1 Enable", "Ext Temp2 Enable", "SW reset"},
                        true},
        DescriptionCase{
            25,
            DeviceIdTFM4410,
            {"Ext1 Bit 0", "Ext1 Bit 1", "Ext1 Bit 2", "Unused", "Unused", "Unused", "Int Bit 0", "Int Bit 1"},
            false},
        DescriptionCase{
            13,
            DeviceIdTFM4411,
            {"Ext Bit 3", "Ext Bit 4", "Ext Bit 5", "Ext Bit 6", "Ext Bit 7", "Ext Bit 8", "Ext Bit 9", "Ext Bit 10"},
            false},
        DescriptionCase{35, DeviceIdTFM4411, Plain, false}, DescriptionCase{28, DeviceIdTFM4411, Plain, true},
        DescriptionCase{9,
                        DeviceIdTFM4411,
                        {"Trange 0", "Trange 1", "Trange 2", "Tmin 0", "Tmin 1", "Tmin 2", "Tmin 3", "Tmin 4"},
                        true}));

TEST(BitDescriptions, IndexOutsideListOnlyRereadsCurrentPointer)
{
    usePrinterPort();
    FakePanel panel;
    panel.name = "unchanged";
    printerChip().poke(reg::LocalHighLimit, 0x33);
    RegisterLink.RegisterPointer = reg::LocalHighLimit;
    SelectedRegisterIndex = 0;
    ShowRegisterDescription(panel);
    EXPECT_EQ(panel.name, "unchanged");
    EXPECT_EQ(panel.address, "14");
    EXPECT_EQ(panel.bitString(), "00110011");
}

TEST(Temperatures, ReadThroughTheLink)
{
    usePrinterPort();
    // The chip model keeps its temperatures live; read what it reports and
    // decode the same registers by hand.
    printerChip().sync();
    const float t = ReadTemperature(TempChannel::Remote1);
    const int extra = printerChip().peek(reg::ExtraResolution);
    const int high = printerChip().peek(reg::Remote1Temp);
    EXPECT_NEAR(t, decodeTemperature(high, extra, TempChannel::Remote1), 1.0f);
    EXPECT_GT(t, 0.0f);
    EXPECT_LT(t, 80.0f);
}

}  // namespace
}  // namespace device
