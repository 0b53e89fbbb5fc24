// The program's journal: bounded history, the texts of a record, CSV and
// filters.
#include <gtest/gtest.h>

#include "device/bus_journal.h"
#include "device/register_map.h"

namespace {

using vexlink06::ByteAck;
using vexlink06::TransferDirection;
using vexlink06::TransferProtocol;
using vexlink06::TransferRecord;

TransferRecord byteTransfer(TransferDirection direction, std::uint8_t reg, std::uint8_t value)
{
    TransferRecord r;
    r.address = 0x2E;
    r.direction = direction;
    r.protocol = direction == TransferDirection::Write ? TransferProtocol::WriteByte : TransferProtocol::ReadByte;
    r.command = reg;
    r.data = {value};
    r.acks.assign(direction == TransferDirection::Write ? 3 : 4, ByteAck::Unknown);
    return r;
}

TEST(BusJournal, KeepsTheNewestAndNumbersOnAcrossDrops)
{
    device::BusJournal journal(3);
    for (int i = 0; i < 5; ++i)
        journal.add(byteTransfer(TransferDirection::Read, static_cast<std::uint8_t>(i), 0), "");
    ASSERT_EQ(journal.entries().size(), 3U);
    EXPECT_EQ(journal.entries().front().sequence, 3U);
    EXPECT_EQ(journal.entries().back().sequence, 5U);
    EXPECT_EQ(journal.total(), 5U);
    journal.dropOldest(10);
    EXPECT_TRUE(journal.entries().empty());
    journal.add(byteTransfer(TransferDirection::Read, 0, 0), "");
    EXPECT_EQ(journal.entries().front().sequence, 6U);
}

struct MeaningCase {
    TransferDirection direction;
    std::uint8_t reg;
    std::uint8_t value;
    int deviceId;
    const char* text;
};

class Meaning : public ::testing::TestWithParam<MeaningCase> { };

TEST_P(Meaning, NamesTheRegisterAndItsFields)
{
    const MeaningCase& c = GetParam();
    EXPECT_EQ(device::transferMeaning(byteTransfer(c.direction, c.reg, c.value), c.deviceId), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, Meaning,
    ::testing::Values(
        MeaningCase{TransferDirection::Write, 0x22, 0x55, device::DeviceIdTFM4411,
                    "22h Fan Speed Configuration ← 0x55: Fan1 duty 33 %, Fan2 duty 33 %"},
        MeaningCase{TransferDirection::Write, 0x22, 0x5F, device::DeviceIdTFM4410,
                    "22h Fan Speed Configuration ← 0x5F: Fan1 duty 100 %"},
        // Two's complement, as the chip stores below zero.
        MeaningCase{TransferDirection::Read, 0x0B, 0xF6, device::DeviceIdTFM4411,
                    "0Bh Remote1 Temp. High Byte → 0xF6: -10 °C"},
        // Multi-bit fields by value (zero too), one-bit fields by name when set.
        MeaningCase{TransferDirection::Read, 0x24, 0x62, device::DeviceIdTFM4411,
                    "24h Local Temp Tmin/Trange → 0x62: Trange=2, Tmin=12"},
        MeaningCase{TransferDirection::Write, 0x00, 0x09, device::DeviceIdTFM4411,
                    "00h Configuration 1 ← 0x09: Monitor, PWM Invert, PWM Mode=0"},
        // Nothing set: nothing to name.
        MeaningCase{TransferDirection::Read, 0x02, 0x00, device::DeviceIdTFM4411, "02h Interrupt Status 1 → 0x00"},
        // A plain register has no fields beyond its value.
        MeaningCase{TransferDirection::Read, 0x3D, 0x31, device::DeviceIdTFM4411, "3Dh Device ID → 0x31"}));

TEST(BusJournal, TransfersOtherThanRegisterBytesShowProtocolAndBytes)
{
    TransferRecord block;
    block.protocol = TransferProtocol::BlockWrite;
    block.command = 0xA0;
    block.data = {0x11, 0x22};
    block.pecSent = 0xA2;
    block.pecMatch = false;
    EXPECT_EQ(device::transferMeaning(block, device::DeviceIdTFM4411), "block write 0xA0 ← 11 22");
    EXPECT_EQ(device::pecText(block), "sent A2, did not match");

    TransferRecord unknownRegister = byteTransfer(TransferDirection::Read, 0x30, 0x00);
    EXPECT_EQ(device::transferMeaning(unknownRegister, device::DeviceIdTFM4411), "byte read 0x30 → 00");
}

TEST(BusJournal, FailureIsSaidInWords)
{
    TransferRecord r = byteTransfer(TransferDirection::Read, 0x3D, 0);
    EXPECT_EQ(device::resultText(r), "OK");
    r.errorNumber = 2;
    r.error = "Arbitration Error, another device is using the SMBus.";
    EXPECT_EQ(device::resultText(r), "Failed: Arbitration Error, another device is using the SMBus.");
    r.error.clear();
    EXPECT_EQ(device::resultText(r), "Failed: error 2");
    EXPECT_EQ(device::acksText({ByteAck::Ack, ByteAck::Nack, ByteAck::Unknown}), "ACK NACK ?");
}

TEST(BusJournal, CsvQuotesOnlyWhatNeedsIt)
{
    EXPECT_EQ(device::csvRow({"a", "b,c", "say \"hi\"", "two\r\nlines", ""}),
              "a,\"b,c\",\"say \"\"hi\"\"\",\"two\r\nlines\",\r\n");
    device::JournalEntry e{7, byteTransfer(TransferDirection::Write, 0x22, 0x55), "Easy Setup"};
    const auto columns = device::journalColumns(e, device::DeviceIdTFM4411);
    ASSERT_EQ(columns.size(), device::journalColumnNames().size());
    EXPECT_EQ(columns[0], "7");
    EXPECT_EQ(columns[2], "Easy Setup");
    EXPECT_EQ(columns[5], "0x2e");
    // The meaning has a comma: quoted in a row.
    EXPECT_NE(device::csvRow(columns).find("\"22h Fan Speed Configuration ← 0x55: Fan1 duty 33 %, Fan2 duty 33 %\""),
              std::string::npos);
}

TEST(BusJournal, FiltersCombine)
{
    const TransferRecord write22 = byteTransfer(TransferDirection::Write, 0x22, 0x55);
    TransferRecord failedRead = byteTransfer(TransferDirection::Read, 0x3D, 0);
    failedRead.errorNumber = 2;
    TransferRecord other = write22;
    other.address = 0x2C;

    device::JournalFilter none;
    EXPECT_TRUE(none.matches(write22) && none.matches(failedRead) && none.matches(other));
    device::JournalFilter f;
    f.address = 0x2E;
    f.command = 0x22;
    EXPECT_TRUE(f.matches(write22));
    EXPECT_FALSE(f.matches(other));
    EXPECT_FALSE(f.matches(failedRead));
    device::JournalFilter writes;
    writes.writesOnly = true;
    EXPECT_FALSE(writes.matches(failedRead));
    device::JournalFilter errors;
    errors.errorsOnly = true;
    EXPECT_TRUE(errors.matches(failedRead));
    EXPECT_FALSE(errors.matches(write22));
}

}  // namespace
