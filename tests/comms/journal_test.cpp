// The transaction journal on the printer-port medium: one record per
// transfer, checked against what the simulated bus saw.
#include <numeric>

#include <vexlink06/journal.h>

#include "fixture.h"
#include "transactions.h"

namespace commstest {
namespace {

using vexlink06::ByteAck;
using vexlink06::False;
using vexlink06::TransferDirection;
using vexlink06::TransferProtocol;
using vexlink06::TransferRecord;
using vexlink06::True;

class Journal : public CommsTest {
protected:
    void SetUp() override
    {
        CommsTest::SetUp();
        vexlink06::setTransferObserver([this](const TransferRecord& r) { records.push_back(r); });
    }
    void TearDown() override
    {
        vexlink06::setTransferObserver({});
        CommsTest::TearDown();
    }

    // Bytes the bus decoder saw, whole or cut short.
    static std::size_t bytesOnTheWire()
    {
        std::size_t n = 0;
        for (const sim::TraceEvent& e : port().bus().trace())
            n += e.kind == sim::TraceEvent::Kind::Byte ? 1 : 0;
        return n;
    }

    std::vector<TransferRecord> records;
};

struct TransferCase {
    const char* name;
    void (*run)(vexlink06::SMBusProtocall&, vexlink06::EEPROM&);
    TransferProtocol protocol;
    TransferDirection direction;
    std::uint8_t address;
    int command;  // -1: none
    std::vector<std::uint8_t> data;
};

class JournalPerTransfer : public Journal, public ::testing::WithParamInterface<TransferCase> { };

TEST_P(JournalPerTransfer, OneRecordMatchingTheWire)
{
    const TransferCase& c = GetParam();
    chip().poke(0x14, 0x12);
    chip().poke(0x15, 0x34);
    chip().poke(chip().pointer(), 0x12);  // what a receive byte reads
    port().eeprom()->poke(0x0102, 0x9A);
    auto eeprom = printer->EEPROM();
    proto->setUsePEC(False);
    proto->setDeviceAddress(0x5C);  // shared with the EEPROM object; its cases set their own
    c.run(*proto, *eeprom);

    ASSERT_EQ(records.size(), 1U);
    const TransferRecord& r = records[0];
    EXPECT_EQ(r.medium, vexlink06::TransferMedium::PrinterPort);
    EXPECT_EQ(r.port, 0x378);
    EXPECT_EQ(r.protocol, c.protocol);
    EXPECT_EQ(r.direction, c.direction);
    EXPECT_EQ(r.address, c.address);
    if (c.command < 0)
        EXPECT_FALSE(r.command.has_value());
    else
        EXPECT_EQ(r.command, std::optional<std::uint8_t>(static_cast<std::uint8_t>(c.command)));
    EXPECT_EQ(r.data, c.data);
    EXPECT_EQ(r.acks.size(), bytesOnTheWire()) << trace();
    EXPECT_FALSE(r.failed()) << r.error;
    EXPECT_EQ(r.arbitrationRetries, 0);
    EXPECT_GT(r.duration.count(), 0);
}

std::vector<std::uint8_t> iotaBytes(std::uint8_t first, std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

INSTANTIATE_TEST_SUITE_P(Transfers, JournalPerTransfer,
                         ::testing::Values(TransferCase{"ByteWrite",
                                                        [](auto& p, auto&) { p.PortWrite(0x5C, 0x14, 0x7F); },
                                                        TransferProtocol::WriteByte,
                                                        TransferDirection::Write,
                                                        0x2E,
                                                        0x14,
                                                        {0x7F}},
                                           TransferCase{"ByteRead",
                                                        [](auto& p, auto&) { p.PortRead(0x5C, 0x3D); },
                                                        TransferProtocol::ReadByte,
                                                        TransferDirection::Read,
                                                        0x2E,
                                                        0x3D,
                                                        {0x31}},
                                           TransferCase{"ByteReadRepeatedStart",
                                                        [](auto& p, auto&) {
                                                            p.setRepeatedStart(True);
                                                            p.PortRead(0x5C, 0x3D);
                                                            p.setRepeatedStart(False);
                                                        },
                                                        TransferProtocol::ReadByte,
                                                        TransferDirection::Read,
                                                        0x2E,
                                                        0x3D,
                                                        {0x31}},
                                           TransferCase{"WordWrite",
                                                        [](auto& p, auto&) { p.WriteWord(0x5C, 0x14, 4660.0F); },
                                                        TransferProtocol::WriteWord,
                                                        TransferDirection::Write,
                                                        0x2E,
                                                        0x14,
                                                        {0x12, 0x34}},
                                           TransferCase{"WordRead",
                                                        [](auto& p, auto&) { p.ReadWord(0x5C, 0x14); },
                                                        TransferProtocol::ReadWord,
                                                        TransferDirection::Read,
                                                        0x2E,
                                                        0x14,
                                                        {0x12, 0x34}},
                                           TransferCase{"SendByte",
                                                        [](auto& p, auto&) { p.ShortWrite(0x5C, 0x3D); },
                                                        TransferProtocol::SendByte,
                                                        TransferDirection::Write,
                                                        0x2E,
                                                        -1,
                                                        {0x3D}},
                                           TransferCase{"ReceiveByte",
                                                        [](auto& p, auto&) { p.ShortRead(0x5C); },
                                                        TransferProtocol::ReceiveByte,
                                                        TransferDirection::Read,
                                                        0x2E,
                                                        -1,
                                                        {0x12}},
                                           TransferCase{"BlockRead", [](auto& p, auto&) { p.BlockRead(0, 0); },
                                                        TransferProtocol::BlockRead, TransferDirection::Read, 0x2E,
                                                        0xA1, iotaBytes(0, 32)},
                                           TransferCase{"AbsentDevice",
                                                        [](auto& p, auto&) { p.PortRead(0x58, 0x3D); },
                                                        TransferProtocol::ReadByte,
                                                        TransferDirection::Read,
                                                        0x2C,
                                                        0x3D,
                                                        {0xFF}},
                                           TransferCase{"MemoryRead",
                                                        [](auto&, auto& e) {
                                                            e.setDeviceAddress(0xA0);
                                                            e.ReadByte(0x01, 0x02);
                                                        },
                                                        TransferProtocol::MemoryRead,
                                                        TransferDirection::Read,
                                                        0x50,
                                                        -1,
                                                        {0x01, 0x02, 0x9A}},
                                           TransferCase{"MemoryWrite",
                                                        [](auto&, auto& e) {
                                                            e.setDeviceAddress(0xA0);
                                                            e.WriteByte(0x12, 0x34, 0x56);
                                                        },
                                                        TransferProtocol::MemoryWrite,
                                                        TransferDirection::Write,
                                                        0x50,
                                                        -1,
                                                        {0x12, 0x34, 0x56}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Journal, PrinterPortAcknowledgesAreUnknownExceptThePecByte)
{
    proto->PortWrite(0x5C, 0x14, 0x7F);
    std::vector<std::int16_t> data{0, 0, 0, 0x11, 0x22};
    proto->setDeviceAddress(0x5C);
    proto->setUsePEC(True);
    proto->BlockWrite(2, data);
    proto->setUsePEC(False);

    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0].acks, std::vector<ByteAck>(3, ByteAck::Unknown));
    const TransferRecord& block = records[1];
    EXPECT_EQ(block.protocol, TransferProtocol::BlockWrite);
    EXPECT_EQ(block.command, std::optional<std::uint8_t>(0xA0));
    EXPECT_EQ(block.data, (std::vector<std::uint8_t>{0x11, 0x22}));
    EXPECT_EQ(block.pecSent, std::optional<std::uint8_t>(static_cast<std::uint8_t>(proto->FinalPEC())));
    EXPECT_EQ(block.pecMatch, std::optional<bool>(true));
    ASSERT_EQ(block.acks.size(), bytesOnTheWire() - 3);  // the word write's three went first
    EXPECT_EQ(block.acks.back(), ByteAck::Ack);
}

TEST_F(Journal, BlockReadWithPecRecordsTheReceivedCode)
{
    proto->setDeviceAddress(0x5C);
    proto->setUsePEC(True);
    proto->BlockRead(0, 0);
    proto->setUsePEC(False);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].pecReceived, std::optional<std::uint8_t>(static_cast<std::uint8_t>(proto->FinalPEC())));
    EXPECT_EQ(records[0].pecMatch, std::optional<bool>(true));
    EXPECT_EQ(records[0].acks.size(), bytesOnTheWire());
}

// ---- failures ----

TEST_F(Journal, LostArbitrationCountsTheRetriesOfTheOneTransfer)
{
    configure(configWithOtherMaster(sim::OtherMasterConfig::Mode::WinArbitration, 1, 1));
    proto->setArbitrationOn(True);
    proto->PortWrite(0x5C, 0x14, 0x66);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].arbitrationRetries, 1);
    EXPECT_FALSE(records[0].failed());

    proto->PortWrite(0x5C, 0x14, 0x67);
    EXPECT_EQ(records[1].arbitrationRetries, 0);
}

TEST_F(Journal, GiveUpRecordsTheErrorEventItRaised)
{
    configure(configWithOtherMaster(sim::OtherMasterConfig::Mode::HoldSclLow, 1000));
    proto->setArbitrationOn(True);
    proto->setMaxArbitrationDenials(3);
    proto->PortRead(0x5C, 0x3D);
    proto->setMaxArbitrationDenials(20);
    ASSERT_EQ(records.size(), 1U);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(records[0].errorNumber, 2);
    EXPECT_EQ(records[0].error, events[0].description);
    EXPECT_EQ(records[0].arbitrationRetries, 3);
}

TEST_F(Journal, RefusedClaimIsAFailureWithNothingOnTheWire)
{
    sim::Config config;
    config.ports[0].heldByOtherProcess = true;
    configure(config);
    proto->PortWrite(0x5C, 0x14, 0x01);
    ASSERT_EQ(records.size(), 1U);
    EXPECT_TRUE(records[0].acks.empty());
    EXPECT_TRUE(records[0].failed());
    EXPECT_TRUE(events.empty());  // the library's own behaviour stays silent
}

// ---- the observer ----

TEST_F(Journal, ReplacingAndRemovingTheObserver)
{
    std::vector<TransferRecord> other;
    auto previous = vexlink06::setTransferObserver([&](const TransferRecord& r) { other.push_back(r); });
    ASSERT_TRUE(previous);
    proto->PortRead(0x5C, 0x3D);
    vexlink06::setTransferObserver(std::move(previous));
    proto->PortRead(0x5C, 0x3D);
    vexlink06::setTransferObserver({});
    proto->PortRead(0x5C, 0x3D);
    EXPECT_EQ(other.size(), 1U);
    EXPECT_EQ(records.size(), 1U);
}

TEST_F(Journal, AThrowingObserverDoesNotBreakTheTransfer)
{
    vexlink06::setTransferObserver([](const TransferRecord&) { throw std::runtime_error("observer"); });
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
}

}  // namespace
}  // namespace commstest
