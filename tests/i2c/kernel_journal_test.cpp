// The kernel-adapter medium reports to the transaction journal like the
// others: what the kernel completed was acknowledged, what it refused names
// its sentence.
#include <gtest/gtest.h>

#include <sim/sim.h>
#include <vexlink06/journal.h>
#include <vexlink06/vexlink06.h>

namespace {

using vexlink06::ByteAck;
using vexlink06::TransferMedium;
using vexlink06::TransferProtocol;
using vexlink06::TransferRecord;

class KernelJournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::board().reset();
        adapter = vexlink06::KernelAdapter::create();
        adapter->setBus(1);
        vexlink06::setTransferObserver([this](const TransferRecord& r) { records.push_back(r); });
    }
    void TearDown() override
    {
        vexlink06::setTransferObserver({});
        adapter.reset();
        sim::board().reset();
    }

    std::shared_ptr<vexlink06::KernelAdapter> adapter;
    std::vector<TransferRecord> records;
};

TEST_F(KernelJournalTest, CompletedTransfersAreAcknowledgedThroughout)
{
    adapter->PortWrite(0x2E, 0x22, 0x9A);
    EXPECT_EQ(adapter->PortRead(0x2E, 0x22), 0x9A);
    adapter->WriteWord(0x2E, 0x14, 0x1234);
    ASSERT_EQ(records.size(), 3U);
    for (const TransferRecord& r : records) {
        EXPECT_EQ(r.medium, TransferMedium::KernelAdapter);
        EXPECT_EQ(r.port, 1);
        EXPECT_EQ(r.address, 0x2E);
        EXPECT_FALSE(r.failed()) << r.error;
        EXPECT_EQ(r.acks, std::vector<ByteAck>(r.acks.size(), ByteAck::Ack));
    }
    EXPECT_EQ(records[0].protocol, TransferProtocol::WriteByte);
    EXPECT_EQ(records[0].acks.size(), 3U);
    EXPECT_EQ(records[1].data, std::vector<std::uint8_t>{0x9A});
    EXPECT_EQ(records[1].acks.size(), 4U);
    // Low byte first, as on the wire.
    EXPECT_EQ(records[2].data, (std::vector<std::uint8_t>{0x34, 0x12}));
}

TEST_F(KernelJournalTest, RefusedTransferCarriesTheSentenceAndTheNack)
{
    std::string sentence;
    try {
        adapter->PortRead(0x2C, 0x3D);
    } catch (const vexlink06::AdapterFailure& e) {
        sentence = e.description();
    }
    ASSERT_FALSE(sentence.empty());
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].error, sentence);
    EXPECT_EQ(records[0].errorNumber, 57);
    EXPECT_EQ(records[0].acks, std::vector<ByteAck>{ByteAck::Nack});
    EXPECT_TRUE(records[0].data.empty());
}

}  // namespace
