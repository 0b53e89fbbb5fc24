// Bit primitives, line codes and the input sense, on the data-register log.
#include "fixture.h"

namespace commstest {
namespace {

using vexlink06::False;
using vexlink06::True;

using Signalling = CommsTest;

TEST_F(Signalling, WriteDataLineSequenceWithHeldHighBits)
{
    proto->setBitsToStayHigh(240);
    printer->setLockPortOpen(True);
    clearLogs();
    proto->WriteData(165);  // 1010 0101
    const std::vector<std::uint8_t> firstTwoBits{0xF1, 0xF0, 0xF1, 0xF3, 0xF3, 0xF2, 0xF3, 0xF3};
    ASSERT_GE(dataWrites().size(), 8U);
    EXPECT_EQ(std::vector<std::uint8_t>(dataWrites().begin(), dataWrites().begin() + 8), firstTwoBits);
    EXPECT_EQ(dataWrites().size(), 8U * 4);  // four writes per bit
    EXPECT_EQ(dataWrites().back(), 0xF3);    // ends with both lines low
}

// The byte a value puts on the bus, decoded by the bus itself.
struct Rounding {
    float value;
    const char* byte;
};

class WriteDataRounding : public CommsTest, public ::testing::WithParamInterface<Rounding> { };

TEST_P(WriteDataRounding, SendsTheRoundedLowByte)
{
    printer->setLockPortOpen(True);
    proto->StartBit();
    proto->WriteData(GetParam().value);
    proto->Ack();
    proto->StopBit();
    EXPECT_EQ(trace(), std::string("S ") + GetParam().byte + "- P");
}

INSTANTIATE_TEST_SUITE_P(Values, WriteDataRounding,
                         ::testing::Values(Rounding{300, "2C"}, Rounding{2.5F, "02"}, Rounding{3.5F, "04"},
                                           Rounding{-1, "FF"}, Rounding{255.4F, "FF"}));

TEST_F(Signalling, ValuesBeyondThirtyTwoBitsAreAnOverflow)
{
    EXPECT_THROW(proto->WriteData(3e9F), vexlink06::ComError);
    EXPECT_TRUE(dataWrites().empty());
    EXPECT_FALSE(port().claimed());
}

// Both ends of the two's-complement range are values; one step beyond either is not.
TEST_F(Signalling, WriteDataTakesTheWholeThirtyTwoBitRange)
{
    printer->setLockPortOpen(True);
    proto->StartBit();
    proto->WriteData(-2147483648.0F);
    proto->Ack();
    proto->WriteData(2147483520.0F);  // the largest float below 2^31: 0x7FFFFF80
    proto->Ack();
    proto->StopBit();
    EXPECT_EQ(trace(), "S 00- 80- P");
    clearLogs();
    EXPECT_THROW(proto->WriteData(2147483648.0F), vexlink06::ComError);
    EXPECT_THROW(proto->WriteData(-2147483904.0F), vexlink06::ComError);  // next float below -2^31
    EXPECT_TRUE(dataWrites().empty());
}

TEST_F(Signalling, ReadDataOfAFloatingLineIs255)
{
    EXPECT_EQ(proto->ReadData(), 255.0F);
    EXPECT_FALSE(port().claimed());
}

TEST_F(Signalling, DataInvertedOnlyLoadsTablesForMinusOneAndZero)
{
    proto->setDataInverted(False);
    proto->setDataInverted(1);
    EXPECT_EQ(proto->DataInverted(), 1);
    proto->StopBit();
    EXPECT_EQ(dataWrites().back(), 0x03);  // still the plain idle code

    proto->setDataInverted(True);
    clearLogs();
    proto->StopBit();
    EXPECT_EQ(dataWrites(), (std::vector<std::uint8_t>{0x03, 0x02, 0x00}));
}

TEST_F(Signalling, OrBitsSetsBitsToStayHighAndForcesTheDriveBits)
{
    proto->setOrBits(0x0F);
    EXPECT_EQ(proto->OrBits(), 0x0F);
    EXPECT_EQ(proto->BitsToStayHigh(), 0x0F);
    proto->StartBit();
    for (std::uint8_t w : dataWrites())
        EXPECT_EQ(w & 0x03, 0x03);
}

TEST_F(Signalling, NonInvertingAdapterReadsTrueBytes)
{
    sim::Config config;
    config.ports[0].inverting = false;
    configure(config);
    proto->setDataInverted(False);
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
    EXPECT_EQ(trace(), "S 5C+ 3D+ P S 5D+ 31- P");
    proto->PortWrite(0x5C, 0x14, 0x21);
    EXPECT_EQ(chip().peek(0x14), 0x21);
}

TEST_F(Signalling, VideoSoftwareSensesDataOnStatusBitThree)
{
    proto->setVideoSoftware(True);
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
}

TEST_F(Signalling, WaitAckTimesOutOnAnIdleLineAndSeesAnAcknowledge)
{
    EXPECT_EQ(proto->WaitAck(0), False);

    // The chip pulls SDA for the ninth clock after its address.
    printer->setLockPortOpen(True);
    proto->StartBit();
    proto->WriteData(0x5C);
    EXPECT_EQ(proto->WaitAck(1), True);
    proto->StopBit();
}

}  // namespace
}  // namespace commstest
