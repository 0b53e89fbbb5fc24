// Whole transactions, checked on the wires (decoded trace) and in the device.
#include <numeric>

#include "comms_state.h"
#include "fixture.h"
#include "transactions.h"

namespace commstest {
namespace {

using vexlink06::False;
using vexlink06::True;

using Transactions = CommsTest;

TEST_F(Transactions, PortWriteFramesTheByteAndLandsInTheRegister)
{
    proto->PortWrite(0x5C, 0x14, 0x7F);
    EXPECT_EQ(trace(), "S 5C+ 14+ 7F+ P");
    EXPECT_EQ(chip().peek(0x14), 0x7F);
    EXPECT_FALSE(port().claimed());
    EXPECT_TRUE(events.empty());
}

TEST_F(Transactions, PortReadWithStopOrRepeatedStart)
{
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
    EXPECT_EQ(trace(), "S 5C+ 3D+ P S 5D+ 31- P");

    clearLogs();
    proto->setRepeatedStart(True);
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
    EXPECT_EQ(trace(), "S 5C+ 3D+ Sr 5D+ 31- P");
}

TEST_F(Transactions, OddAddressGoesOutUnchangedInTheWritePhase)
{
    // 0x5D is the chip's read address: it answers and starts sending.
    proto->PortRead(0x5D, 0x3D);
    EXPECT_EQ(trace().substr(0, 6), "S 5D+ ");
}

TEST_F(Transactions, AbsentDeviceReadsIdleBusAndWritesSilently)
{
    proto->PortWrite(0x58, 0x14, 0x11);
    EXPECT_EQ(proto->PortRead(0x58, 0x14), 255);
    EXPECT_EQ(trace(), "S 58- 14- 11- P S 58- 14- P S 59- FF- P");
    EXPECT_TRUE(events.empty());
}

TEST_F(Transactions, WordsGoHighByteFirst)
{
    proto->WriteWord(0x5C, 0x14, 4660.4F);
    EXPECT_EQ(trace(), "S 5C+ 14+ 12+ 34+ P");
    EXPECT_EQ(chip().peek(0x14), 0x12);
    EXPECT_EQ(chip().peek(0x15), 0x34);

    chip().poke(0x14, 0x01);
    chip().poke(0x15, 0x02);
    clearLogs();
    EXPECT_EQ(proto->ReadWord(0x5C, 0x14), 258.0F);
    EXPECT_EQ(trace(), "S 5C+ 14+ P S 5D+ 01+ 02- P");
}

TEST_F(Transactions, WordOfTheMostNegativeIntegerIsSent)
{
    // 0x80000000: the two bytes below the top one are both zero.
    proto->WriteWord(0x5C, 0x14, -2147483648.0F);
    EXPECT_EQ(trace(), "S 5C+ 14+ 00+ 00+ P");
    proto->WriteWord(0x5C, 0x14, -2147483520.0F);  // 0x80000080
    EXPECT_EQ(chip().peek(0x15), 0x80);
    clearLogs();
    try {
        proto->WriteWord(0x5C, 0x14, 2147483648.0F);
        ADD_FAILURE() << "no overflow";
    } catch (const vexlink06::ComError& e) {
        EXPECT_EQ(e.number(), 6);
    }
    EXPECT_EQ(trace(), "");
}

TEST_F(Transactions, SendAndReceiveByteUseThePointer)
{
    proto->ShortWrite(0x5C, 0x3D);
    EXPECT_EQ(chip().pointer(), 0x3D);
    EXPECT_EQ(proto->ShortRead(0x5C), 0x31);
    EXPECT_EQ(trace(), "S 5C+ 3D+ P S 5D+ 31- P");
}

TEST_F(Transactions, LockedPortStaysClaimedAcrossTransactions)
{
    printer->setLockPortOpen(True);
    ASSERT_EQ(printer->LockPortOpen(), True);
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
    EXPECT_TRUE(port().claimed());
    EXPECT_EQ(printer->LockPortOpen(), True);
    printer->setLockPortOpen(False);
    EXPECT_FALSE(port().claimed());
}

TEST(Pec, CheckStringAndRunningValues)
{
    const std::string text = "123456789";
    const std::vector<std::int16_t> bytes(text.begin(), text.end());
    EXPECT_EQ(vexlink06::computePEC(bytes), 0xF4);
    EXPECT_EQ(vexlink06::commsState().pecData[8], 0xF4);

    EXPECT_THROW(vexlink06::computePEC(std::vector<std::int16_t>(39)), vexlink06::ComError);
    const std::vector<std::int16_t> notAByte{1, -1};
    EXPECT_THROW(vexlink06::computePEC(notAByte), vexlink06::ComError);
}

TEST_F(Transactions, BlockWritePecSequenceOfTheDocumentedCase)
{
    proto->setDeviceAddress(0x5A);
    proto->setUsePEC(True);
    const std::vector<std::int16_t> data{0, 0, 0, 0x11, 0x22};
    proto->BlockWrite(2, data);
    const auto pecData = proto->GetPECData();
    ASSERT_EQ(pecData.size(), 38U);
    EXPECT_EQ(std::vector<std::int16_t>(pecData.begin(), pecData.begin() + 5),
              (std::vector<std::int16_t>{0x81, 0xE7, 0xB5, 0x75, 0xA2}));
    EXPECT_EQ(proto->FinalPEC(), 0xA2);
    EXPECT_EQ(trace(), "S 5A- A0- 02- 11- 22- A2- P");
    EXPECT_EQ(proto->PECOK(), False);  // nobody at 0x5A acknowledged
    EXPECT_EQ(data[0], 0);             // the caller's array is left alone
}

TEST_F(Transactions, BlockWriteWithPecLandsInTheChipEvenFromAnOddAddress)
{
    std::vector<std::int16_t> data(3 + 32);
    std::iota(data.begin() + 3, data.end(), std::int16_t{0x40});
    for (std::uint8_t address : {0x5C, 0x5D}) {
        SCOPED_TRACE(address);
        proto->setDeviceAddress(address);
        proto->setUsePEC(True);
        proto->BlockWrite(32, data);
        EXPECT_EQ(proto->PECOK(), True);
        EXPECT_EQ(chip().block()[0], data[3]);
        EXPECT_EQ(chip().block()[31], 0x5F);
        data[3] = 0x77;  // the second pass must store anew
    }
}

TEST_F(Transactions, BlockReadVerifiesThePecOverTheWholeMessage)
{
    proto->setDeviceAddress(0x5C);
    proto->setUsePEC(True);
    proto->BlockRead(0, 0);
    EXPECT_TRUE(events.empty());
    const auto block = proto->GetBlockReadData();
    ASSERT_EQ(block.size(), 38U);
    EXPECT_EQ(block[0], 0x5D);
    EXPECT_EQ(block[1], 32);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(block[static_cast<std::size_t>(i + 2)], chip().block()[static_cast<std::size_t>(i)]);
    EXPECT_EQ(proto->PECOK(), True);
    // The running PEC starts with the write-phase address and the command.
    const auto pecData = proto->GetPECData();
    EXPECT_EQ(pecData[0], 0x93);  // CRC-8 of 0x5C
    EXPECT_EQ(pecData[35], proto->FinalPEC());
    EXPECT_FALSE(port().claimed());
}

TEST_F(Transactions, WrongByteCountRaisesErrorOneAndLeavesTheBusIdle)
{
    proto->setDeviceAddress(0x50);  // nobody: the count reads 255
    proto->BlockRead(0, 0);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].number, 1);
    EXPECT_EQ(events[0].description, "The byte count read did not equal 32");
    EXPECT_EQ(trace().substr(trace().size() - 1), "P");
    EXPECT_FALSE(port().claimed());
    EXPECT_TRUE(port().bus().scl());
    EXPECT_TRUE(port().bus().sda());

    clearLogs();
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
    EXPECT_EQ(trace(), "S 5C+ 3D+ P S 5D+ 31- P");
}

TEST_F(Transactions, BlockWriteRejectsBadArgumentsBeforeTouchingTheBus)
{
    struct Case {
        std::uint8_t count;
        std::vector<std::int16_t> data;
        bool pec;
        std::int32_t error;
    };
    const std::vector<Case> cases{
        {254, std::vector<std::int16_t>(300), false, 6},  // n + 2 beyond a byte
        {4, std::vector<std::int16_t>(6), false, 9},      // array too short
        {36, std::vector<std::int16_t>(39), true, 9},     // PEC over more than 38 bytes
        {1, {0, 0, 0, 300}, true, 6},                     // not a byte
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        proto->setUsePEC(c.pec ? True : False);
        try {
            proto->BlockWrite(c.count, c.data);
            ADD_FAILURE() << "no error";
        } catch (const vexlink06::ComError& e) {
            EXPECT_EQ(e.number(), c.error);
        }
        EXPECT_TRUE(dataWrites().empty());
        EXPECT_FALSE(port().claimed());
    }
}

TEST_F(Transactions, BlockReadWithoutPecLeavesTheBusFree)
{
    // Choose block contents whose PEC starts with a 0 bit: a device asked
    // for that PEC would hold SDA low and block the stop.
    proto->setDeviceAddress(0x5C);
    std::vector<std::int16_t> data(3 + 32, 0);
    std::vector<std::int16_t> message{0x5C, 0xA1, 0x5D, 32};
    for (std::int16_t first = 0; first < 256; ++first) {
        message.resize(4);
        message.push_back(first);
        message.insert(message.end(), 31, 0);
        if (vexlink06::computePEC(message) < 0x80) {
            data[3] = first;
            break;
        }
    }
    proto->BlockWrite(32, data);
    ASSERT_EQ(chip().block()[0], data[3]);

    clearLogs();
    proto->setUsePEC(False);
    proto->BlockRead(0, 0);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(trace().substr(trace().size() - 6), " 00- P");
    EXPECT_TRUE(port().bus().sda());

    proto->setArbitrationOn(True);
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
    EXPECT_TRUE(events.empty());
}

// ---- arbitration ----

TEST_F(Transactions, HeldClockGivesUpAfterTheRetryLimit)
{
    configure(configWithOtherMaster(sim::OtherMasterConfig::Mode::HoldSclLow, 1000));
    proto->setArbitrationOn(True);
    proto->PortWrite(0x5C, 0x14, 0x7F);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].number, 2);
    EXPECT_EQ(events[0].description,
              "Arbitration Error, another device is using the SMBus. 20 communication attempts were interrupted");
    // 21 starts that found SCL low, 20 back-offs each releasing the lines,
    // and the release after the give-up: nothing but idle writes.
    EXPECT_EQ(dataWrites(), std::vector<std::uint8_t>(42, 0x00));
    EXPECT_FALSE(port().claimed());
}

TEST_F(Transactions, RetryLimitFollowsMaxArbitrationDenials)
{
    configure(configWithOtherMaster(sim::OtherMasterConfig::Mode::HoldSclLow, 1000));
    proto->setArbitrationOn(True);
    proto->setMaxArbitrationDenials(3);
    EXPECT_EQ(proto->ReadWord(0x5C, 0x14), 0.0F);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_NE(events[0].description.find(". 3 communication"), std::string::npos);
}

TEST_F(Transactions, LostArbitrationIsRetriedAndTheWriteLands)
{
    // The other master pulls SDA at the second address bit, a 1 in 0x5C.
    configure(configWithOtherMaster(sim::OtherMasterConfig::Mode::WinArbitration, 1, 1));
    proto->setArbitrationOn(True);
    proto->PortWrite(0x5C, 0x14, 0x66);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(chip().peek(0x14), 0x66);
    EXPECT_EQ(proto->PortRead(0x5C, 0x14), 0x66);
}

TEST_F(Transactions, BlockReadGivesUpWithErrorOne)
{
    configure(configWithOtherMaster(sim::OtherMasterConfig::Mode::HoldSclLow, 1000));
    proto->setArbitrationOn(True);
    proto->setMaxArbitrationDenials(2);
    proto->setDeviceAddress(0x5C);
    proto->BlockRead(0, 0);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].number, 1);
}

TEST_F(Transactions, ClaimFailureMakesTransactionsNoOps)
{
    sim::Config config;
    config.ports[0].heldByOtherProcess = true;
    configure(config);
    const std::uint8_t before = chip().peek(0x14);
    proto->PortWrite(0x5C, 0x14, static_cast<std::uint8_t>(before + 1));
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0);
    EXPECT_EQ(chip().peek(0x14), before);
    EXPECT_TRUE(dataWrites().empty());
    printer->setLockPortOpen(True);
    EXPECT_EQ(printer->LockPortOpen(), False);
}

TEST_F(Transactions, FixedResultsOfTheStoredOnlyMembers)
{
    proto->setTotalSpeed(99);
    EXPECT_EQ(proto->TotalSpeed(), 0);
    EXPECT_EQ(proto->Detect(3), 0);
}

}  // namespace
}  // namespace commstest
