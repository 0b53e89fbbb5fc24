// The one number parser and the register classes of the register map.
#include <gtest/gtest.h>

#include "device/numbers.h"
#include "device/register_map.h"

namespace device {
namespace {

TEST(NumberParserTest, TakesEveryFormTheToolsWrite)
{
    EXPECT_EQ(parseNumber("0x1a", 0xFF), 0x1AU);
    EXPECT_EQ(parseNumber("0X1A", 0xFF), 0x1AU);
    EXPECT_EQ(parseNumber("26", 0xFF), 26U);
    EXPECT_EQ(parseNumber("1Ah", 0xFF), 0x1AU);
    EXPECT_EQ(parseNumber("0dh", 0xFF), 0x0DU);
    EXPECT_EQ(parseNumber("FFh", 0xFF), 0xFFU);  // the register file writes values so
    EXPECT_EQ(parseNumber("00Ah", 0xFF), 0x0AU);
}

TEST(NumberParserTest, RefusesWhatIsNoNumberAndSaysWhy)
{
    for (const char* bad : {"", "h", "0x", "1a", "0x1Ah", "-1", " 5", "5 ", "0x1g", "12h3"})
        EXPECT_EQ(readNumber(bad, 0xFF).form, NumberForm::Malformed) << bad;
    EXPECT_EQ(readNumber("0x100", 0xFF).form, NumberForm::TooLarge);
    EXPECT_EQ(readNumber("256", 0xFF).form, NumberForm::TooLarge);
    EXPECT_EQ(readNumber("99999999999999999999999", 0xFF).form, NumberForm::TooLarge);
    // Too large and then a bad character is malformed, not too large.
    EXPECT_EQ(readNumber("999z", 0xFF).form, NumberForm::Malformed);
    EXPECT_EQ(numberProblem("0x100", 0xFF), "is more than 0xff");
    EXPECT_EQ(numberProblem("0x10000", 0xFFFF), "is more than 0xffff");
    EXPECT_EQ(numberProblem("abc", 0xFF), "is not a number (give 0x1a, 26 or 1Ah)");
    EXPECT_EQ(numberProblem("7", 0xFF), "");
    EXPECT_EQ(hexByte(0x1A), "0x1a");
}

TEST(RegisterRoleTest, ClassesTemperaturesLimitsAndFans)
{
    EXPECT_EQ(registerRole(reg::Remote2Temp).kind, RegisterClass::Temperature);
    EXPECT_EQ(registerRole(reg::Remote2Temp).unit, 2);
    EXPECT_EQ(registerRole(reg::Remote1ThermLimit).kind, RegisterClass::TemperatureLimit);
    EXPECT_EQ(registerRole(reg::Fan2TachLimit).kind, RegisterClass::TachLimit);
    EXPECT_EQ(registerRole(reg::Fan2TachLimit).unit, 2);
    EXPECT_EQ(registerRole(reg::Configuration1).kind, RegisterClass::Other);
    int temperatures = 0;
    for (int address = 0; address < 256; ++address)
        temperatures += holdsTemperature(static_cast<std::uint8_t>(address)) ? 1 : 0;
    EXPECT_EQ(temperatures, 12);  // three readings, nine limits; offsets are no temperatures
    EXPECT_FALSE(holdsTemperature(reg::LocalOffset));
}

}  // namespace
}  // namespace device
