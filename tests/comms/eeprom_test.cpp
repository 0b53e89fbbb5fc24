// The board memory's transactions and its silent claim-and-retry frame.
#include "fixture.h"

namespace commstest {
namespace {

using vexlink06::False;
using vexlink06::True;

class Eeprom : public CommsTest {
protected:
    void SetUp() override
    {
        CommsTest::SetUp();
        eeprom = printer->EEPROM();
        eeprom->setDeviceAddress(0xA1);  // bit 0 is forced per phase
    }
    static sim::Eeprom& memory() { return *port().eeprom(); }

    std::shared_ptr<vexlink06::EEPROM> eeprom;
};

TEST_F(Eeprom, WriteAndReadOneByte)
{
    eeprom->WriteByte(0x12, 0x34, 0x56);
    EXPECT_EQ(trace(), "S A0+ 12+ 34+ 56+ P");
    EXPECT_EQ(memory().peek(0x1234), 0x56);

    memory().poke(0x0102, 0x9A);
    clearLogs();
    EXPECT_EQ(eeprom->ReadByte(0x01, 0x02), 0x9A);
    EXPECT_EQ(trace(), "S A0+ 01+ 02+ P S A1+ 9A- P");
    EXPECT_FALSE(port().claimed());
}

TEST_F(Eeprom, BothAddressSetsPutTheSameBitsOnTheBus)
{
    eeprom->SetAddress(0x0A, 0x0B);
    const auto first = dataWrites();
    EXPECT_EQ(memory().currentAddress(), 0x0A0B);
    clearLogs();
    eeprom->SetEEPROMAddress(0x0A, 0x0B);
    EXPECT_EQ(dataWrites(), first);
}

TEST_F(Eeprom, CommandsGoToTheSharedAddress)
{
    memory().clearWriteMessages();
    eeprom->SingleCommand(0x50, 0x30);
    EXPECT_EQ(trace(), "S A0+ 30+ P");
    EXPECT_EQ(eeprom->PageErase(0x80, 0x01, 0x00), False);
    ASSERT_EQ(memory().writeMessages().size(), 2U);
    EXPECT_EQ(memory().writeMessages()[0], (std::vector<std::uint8_t>{0x30}));
    EXPECT_EQ(memory().writeMessages()[1], (std::vector<std::uint8_t>{0x80, 0x01, 0x00}));
}

TEST_F(Eeprom, FrameDelayIsStoredUnlimitedAndShared)
{
    eeprom->setFrameDelay(-1);
    EXPECT_EQ(proto->FrameDelay(), -1.0F);
    eeprom->setFrameDelay(0);
    eeprom->setRelativeDelayOn(True);
    EXPECT_EQ(proto->RelativeDelayOn(), True);
}

TEST_F(Eeprom, GivesUpWithoutAnEventAndTheNextGivesUpAtOnce)
{
    configure(configWithOtherMaster(sim::OtherMasterConfig::Mode::HoldSclLow, 1000));
    proto->setArbitrationOn(True);
    eeprom->WriteByte(0x00, 0x10, 0x77);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(dataWrites().size(), 21U);  // one start per attempt
    EXPECT_FALSE(port().claimed());

    clearLogs();
    EXPECT_EQ(eeprom->ReadByte(0x00, 0x10), 0);
    EXPECT_EQ(dataWrites().size(), 1U);
    EXPECT_EQ(memory().peek(0x0010), 0xFF);
}

}  // namespace
}  // namespace commstest
