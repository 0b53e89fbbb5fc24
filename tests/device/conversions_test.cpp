// Register codes to engineering units, and the tables everything else reads.
#include <gtest/gtest.h>

#include <set>

#include "device/conversions.h"
#include "device/register_map.h"

namespace device {
namespace {

struct TempCase {
    int highByte;
    int extra;
    TempChannel channel;
    float expected;
    const char* fraction;
};

class TemperatureDecode : public ::testing::TestWithParam<TempCase> { };

TEST_P(TemperatureDecode, HighByteAndFraction)
{
    const TempCase& c = GetParam();
    EXPECT_FLOAT_EQ(decodeTemperature(c.highByte, c.extra, c.channel), c.expected);
    EXPECT_EQ(FractionText, c.fraction);
}

INSTANTIATE_TEST_SUITE_P(Cases, TemperatureDecode,
                         ::testing::Values(TempCase{0x7F, 0x00, TempChannel::Local, 127.0f, " "},
                                           TempCase{0x80, 0x00, TempChannel::Local, -128.0f, " "},
                                           TempCase{0xFF, 0x00, TempChannel::Local, -1.0f, " "},
                                           TempCase{0xF6, 0x00, TempChannel::Remote1, -10.0f, " "},
                                           TempCase{0xFE, 0x00, TempChannel::Remote2, -2.0f, " "},
                                           // The fraction is subtracted below zero.
                                           TempCase{0xFF, 0x40, TempChannel::Local, -1.25f, ".25"},
                                           TempCase{25, 0xC0, TempChannel::Local, 25.75f, ".75"},
                                           TempCase{25, 0x01, TempChannel::Remote1, 25.125f, ".125"},
                                           TempCase{25, 0x07, TempChannel::Remote1, 25.875f, ".875"},
                                           // Each channel takes only its own field of 06h.
                                           TempCase{40, 0xC7, TempChannel::Remote2, 40.0f, " "},
                                           TempCase{40, 0x28, TempChannel::Remote2, 40.625f, ".625"}));

TEST(Fraction, OutOfRangeCodeKeepsPreviousText)
{
    DecodeFraction(3, TempChannel::Remote1);
    ASSERT_EQ(FractionText, ".375");
    DecodeFraction(4, TempChannel::Local);
    DecodeFraction(-1, TempChannel::Remote1);
    DecodeFraction(8, TempChannel::Remote2);
    EXPECT_EQ(FractionText, ".375");
    EXPECT_FLOAT_EQ(fractionValue(" "), 0.0f);
}

TEST(Limits, BothDirections)
{
    struct {
        int degrees;
        int code;
    } const cases[] = {{0, 0x00}, {-1, 0xFF}, {-10, 0xF6}, {-128, 0x80}, {127, 0x7F}, {85, 0x55}};
    for (const auto& c : cases) {
        EXPECT_EQ(limitToCode(c.degrees), c.code) << c.degrees;
        EXPECT_EQ(codeToLimit(c.code), c.degrees) << c.code;
    }
    // Out of range clamps instead of wrapping into the other sign.
    EXPECT_EQ(limitToCode(200), 0x7F);
    EXPECT_EQ(limitToCode(-300), 0x80);
    EXPECT_EQ(NegateSevenBits(0), 128);
    EXPECT_EQ(NegateSevenBits(127), 1);
}

TEST(FanSpeed, TachToRpmAndBack)
{
    EXPECT_EQ(divisorFromCharacteristics(0xC0), 8);
    EXPECT_EQ(divisorFromCharacteristics(0x00), 1);
    EXPECT_EQ(divisorFromCharacteristics(0x7F), 2);
    EXPECT_EQ(divisorCode(4), 2);
    EXPECT_FALSE(divisorCode(3));

    EXPECT_EQ(tachToRpm(100, 2, 1), 3375);
    EXPECT_EQ(tachToRpm(100, 2, 2), 6750);
    EXPECT_EQ(tachToRpm(3, 1, 1), 225000);
    EXPECT_FALSE(tachToRpm(2, 1, 1));
    EXPECT_FALSE(tachToRpm(0, 1, 1));
    EXPECT_FALSE(tachToRpm(100, 0, 1));  // no divisor read yet

    EXPECT_EQ(speedToCount(3375, 2, 1), 100);
    EXPECT_EQ(speedToCount(100, 1, 1), 255);  // too slow to count: clamped
    EXPECT_EQ(speedToCount(0, 1, 1), 255);
    EXPECT_EQ(speedToCount(1000, 0, 1), 255);
}

TEST(FanSpeed, ProcessWideDivisorsAndPulseSource)
{
    Fan1Divisor = 2;
    Fan2Divisor = 4;
    setTwoPulsesSource(nullptr);
    EXPECT_EQ(TachToRpm(1, 100), 3375);
    EXPECT_EQ(PulseFactor, 1);
    EXPECT_EQ(TachToRpm(2, 100), 1687);
    bool two = true;
    setTwoPulsesSource([&] { return two; });
    EXPECT_EQ(TachToRpm(1, 100), 6750);
    EXPECT_EQ(PulseFactor, 2);
    EXPECT_EQ(SpeedToCount(1, 6750), 100);
    two = false;
    EXPECT_EQ(SpeedToCount(1, 3375), 100);
    setTwoPulsesSource(nullptr);
}

TEST(FanSpeed, RangesPerDivisor)
{
    EXPECT_EQ(speedRangeRpm(1), 2647);
    EXPECT_EQ(speedRangeRpm(2), 1324);
    EXPECT_EQ(speedRangeRpm(4), 662);
    EXPECT_EQ(speedRangeRpm(8), 331);
    EXPECT_EQ(speedRangeRpm(0), 0);
    // A count at its maximum is a bound, never a speed of 0.
    EXPECT_TRUE(tachOverflowed(255));
    EXPECT_FALSE(tachOverflowed(254));
    EXPECT_EQ(overflowText(2), "below 1324 RPM");
    EXPECT_EQ(overflowText(8), "below 331 RPM");
}

TEST(DutyAndPwm, CodeTables)
{
    EXPECT_EQ(DutyPercent[0], 0);
    EXPECT_EQ(DutyPercent[1], 7);
    EXPECT_EQ(DutyPercent[8], 53);
    EXPECT_EQ(DutyPercent[15], 100);
    EXPECT_EQ(dutyCode(0xA5, 1), 5);
    EXPECT_EQ(dutyCode(0xA5, 2), 10);
    EXPECT_EQ(PwmFrequencyTexts[pwmFrequencyCode(0x38)], "93.5");
    EXPECT_EQ(PwmFrequencyTexts[pwmFrequencyCode(0x18)], "31.25");
}

TEST(RegisterMap, ListIsConsistent)
{
    std::set<int> addresses;
    int onTFM4410 = 0;
    for (std::size_t i = 0; i < RegisterList.size(); ++i) {
        EXPECT_EQ(RegisterList[i].index, static_cast<int>(i) + 1);
        addresses.insert(RegisterList[i].address);
        if (presentOn(RegisterList[i], DeviceIdTFM4410))
            ++onTFM4410;
    }
    EXPECT_EQ(addresses.size(), 35u);
    EXPECT_EQ(onTFM4410, 26);
    EXPECT_EQ(registerEntry(0), nullptr);
    EXPECT_EQ(registerEntry(36), nullptr);
    EXPECT_EQ(registerEntry(21)->address, reg::DeviceId);
    EXPECT_EQ(registerEntryByAddress(0x22)->index, 8);
    EXPECT_EQ(registerEntryByAddress(0x04), nullptr);
}

// The program's lists and the chip's own table (which the simulated chip
// runs on) describe the same registers: a register, variant or writable
// bit changed on one side only is caught here.
TEST(RegisterMap, AgreesWithTheChipsTable)
{
    EXPECT_EQ(RegisterList.size(), chiplaw::Registers.size());
    for (const RegisterEntry& e : RegisterList) {
        const chiplaw::Register* r = chiplaw::registerAt(e.address);
        ASSERT_NE(r, nullptr) << e.name;
        EXPECT_EQ(e.tfm4411Only, r->dualOnly) << e.name;
        EXPECT_EQ(presentOn(e, DeviceIdTFM4410), chiplaw::accessOn(e.address, false) != chiplaw::Access::None)
            << e.name;
        // The panel offers writes only where the chip takes them.
        if (e.panelWrites) {
            EXPECT_EQ(r->access, chiplaw::Access::ReadWrite) << e.name;
        }
        // What the program keeps of a written value, the chip can hold.
        EXPECT_EQ(keptBits(e.address, DeviceIdTFM4411) & ~(r->writable & ~r->selfClearing), 0) << e.name;
    }
    for (const SavedRegister& saved : SavedRegisters) {
        const chiplaw::Register* r = chiplaw::registerAt(saved.address);
        ASSERT_NE(r, nullptr) << saved.name();
        EXPECT_EQ(saved.tfm4411Only, r->dualOnly) << saved.name();
        EXPECT_EQ(r->access, chiplaw::Access::ReadWrite) << saved.name();
    }
    EXPECT_EQ(fixedBits(reg::Revision), 0x7F);
    EXPECT_EQ(fixedBits(reg::LocalHighLimit), 0x00);
    EXPECT_EQ(chiplaw::powerOnValue(*chiplaw::registerAt(reg::DeviceId), false), DeviceIdTFM4410);
}

TEST(RegisterMap, LookupByName)
{
    EXPECT_EQ(registerEntryByName("Fan Speed Configuration")->address, 0x22);
    EXPECT_EQ(registerEntryByName("local temp. high byte")->address, 0x0A);
    EXPECT_EQ(registerEntryByName("Remote2TempThermLimit")->address, 0x1E);
    EXPECT_EQ(registerEntryByName("Fan3"), nullptr);
    EXPECT_EQ(registerEntryByName(" . "), nullptr);
    EXPECT_EQ(addressText(0x0D), "0Dh");
    EXPECT_EQ(addressText(0x3F), "3Fh");
}

// What a user types for a register: either of its two names in any spelling,
// an address in any of the number forms, or a beginning only one name has.
TEST(RegisterLookupTest, EitherNameAnyCaseBlanksAndPunctuation)
{
    const auto address = [](std::string_view text) {
        const RegisterLookup found = lookUpRegister(text);
        EXPECT_TRUE(found) << text << ": " << found.error;
        return found ? found.entry->address : std::uint8_t{0xFF};
    };
    // The register file's labels and the register list's names.
    EXPECT_EQ(address("Local High Limit"), 0x14);
    EXPECT_EQ(address("Local Temp. High Limit"), 0x14);
    EXPECT_EQ(address("Fan Speed Config."), 0x22);
    EXPECT_EQ(address("THERM/Revision"), 0x3F);
    EXPECT_EQ(address("Configuration1"), 0x00);
    EXPECT_EQ(address("Fan1 Tach Limit"), 0x10);
    EXPECT_EQ(address("local-high_LIMIT"), 0x14);
    EXPECT_EQ(address("  remote2 temp. therm limit "), 0x1E);
    // Addresses: the bus tools' forms and the file's.
    EXPECT_EQ(address("0x14"), 0x14);
    EXPECT_EQ(address("20"), 0x14);
    EXPECT_EQ(address("14h"), 0x14);
    // A beginning one register alone has, under either name.
    EXPECT_EQ(address("Device"), 0x3D);
    EXPECT_EQ(address("LocalHigh"), 0x14);
    EXPECT_EQ(address("fan speed"), 0x22);
    // A whole name wins over the longer names it begins.
    EXPECT_EQ(address("Revision"), 0x3F);
}

TEST(RegisterLookupTest, AmbiguousUnknownAndMalformedSayWhy)
{
    RegisterLookup found = lookUpRegister("fan1 tach");
    EXPECT_FALSE(found);
    EXPECT_EQ(found.error, "register 'fan1 tach' is ambiguous: Fan1 Tach Value, Fan1 Tach High Limit");
    found = lookUpRegister("Local");
    EXPECT_FALSE(found);
    EXPECT_NE(found.error.find("ambiguous"), std::string::npos);
    EXPECT_NE(found.error.find("Local Temp. High Limit"), std::string::npos) << found.error;
    EXPECT_NE(found.error.find("Local Temp Therm Limit"), std::string::npos) << found.error;
    // Each register named once, though both its names begin so.
    EXPECT_EQ(found.error.find("Local Temp. High Limit"), found.error.rfind("Local Temp. High Limit"));

    EXPECT_EQ(lookUpRegister("Fan3").error,
              "unknown register 'Fan3' (give an address such as 0x22 or a name from dump)");
    EXPECT_FALSE(lookUpRegister(" . "));
    EXPECT_FALSE(lookUpRegister(""));
    EXPECT_EQ(lookUpRegister("12h3").error, "register '12h3' is not a number (give 0x1a, 26 or 1Ah)");
    EXPECT_EQ(lookUpRegister("0x1FF").error, "register '0x1FF' is more than 0xff");
    EXPECT_EQ(lookUpRegister("0x04").error, "the chip has no register 0x04 (dump lists them)");
}

TEST(RegisterMap, BitNamesWithSingleChannelReplacements)
{
    const auto config2 = bitNames(BitScheme::Configuration2, DeviceIdTFM4410);
    EXPECT_EQ(config2[0], "PWM1 Enable");
    EXPECT_EQ(config2[1], "Unused");
    EXPECT_EQ(config2[3], "Unused");
    EXPECT_EQ(config2[6], "Unused");
    EXPECT_EQ(config2[7], "SW reset");
    EXPECT_EQ(bitNames(BitScheme::Configuration2, DeviceIdTFM4411)[6], "Ext Temp2 Enable");

    const auto status2 = bitNames(BitScheme::InterruptStatus2, DeviceIdTFM4410);
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(status2[static_cast<std::size_t>(k)], "Unused") << k;
    EXPECT_EQ(status2[6], "Int Therm");
    EXPECT_EQ(status2[7], "THERM");
    EXPECT_EQ(bitNames(BitScheme::FanSpeedConfiguration, DeviceIdTFM4410)[4], "Unused");
    EXPECT_EQ(bitNames(BitScheme::FanSpeedConfiguration, DeviceIdTFM4410)[3], "Normal/Min 3");
}

TEST(RegisterMap, SavedSetTexts)
{
    EXPECT_EQ(savedRegisterCount(DeviceIdTFM4410), 17);
    EXPECT_EQ(savedRegisterCount(DeviceIdTFM4411), 24);
    int both = 0;
    for (const SavedRegister& r : SavedRegisters) {
        if (!r.tfm4411Only)
            ++both;
        ASSERT_NE(registerEntryByAddress(r.address), nullptr) << r.fileName;
        EXPECT_EQ(registerEntryByAddress(r.address)->tfm4411Only, r.tfm4411Only) << r.fileName;
    }
    EXPECT_EQ(both, 17);
    EXPECT_EQ(SavedRegisters[18].fileAddress, "22h       ");  // seven blanks, the others eight
    EXPECT_EQ(SavedRegisters[17].fileAddress, "21h        ");
    EXPECT_EQ(SavedRegisters[0].name(), "Configuration1");
    EXPECT_EQ(SavedRegisters[23].address, reg::Revision);
}

}  // namespace
}  // namespace device
