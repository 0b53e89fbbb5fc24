// Raw transfers against the simulated board, through the real library, on the
// printer port and on the kernel adapter that shares its bus: what reaches the
// chip, in which byte order, what is refused before anything is sent, and a
// block damaged on the wire.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include <sim/sim.h>

#include "device/raw_transfer.h"
#include "device/register_map.h"
#include "support/board_environment.h"

namespace device {
namespace {

// Printer port 0 with the TFM4411 at 0x5C (0x2E); i2c-1 on the same bus.
const auto* const g_env =
    ::testing::AddGlobalTestEnvironment(new testsupport::BoardEnvironment(testsupport::printerAndChipsetBoard(), 0xC0));

constexpr std::uint8_t Chip7 = 0x2E;

sim::Chip& chip() { return *sim::board().chip(0x5C); }

ChipLocation printerPort() { return Session::open(Medium::PrinterPort, 0, Chip7).location(); }
ChipLocation kernelAdapter() { return Session::open(Medium::KernelAdapter, 1, Chip7).location(); }

RawTransfer transfer(RawOp op, std::uint8_t command, std::vector<std::uint8_t> block = {}, bool pec = false)
{
    RawTransfer t;
    t.op = op;
    t.address = Chip7;
    t.command = command;
    t.block = std::move(block);
    t.pec = pec;
    return t;
}

// Pulls SDA low for the first data bit after the count of a block read from
// the chip, so that a 1 sent there reads as 0: a byte damaged on the wire.
// It counts clocks from each start and decodes the address byte that follows.
class DataGlitch : public sim::BusDevice {
public:
    explicit DataGlitch(sim::Bus& bus) : m_bus(bus), m_driver(bus.addDriver("glitch")) { m_bus.attach(this); }
    ~DataGlitch() override
    {
        m_bus.driveSda(m_driver, false);
        m_bus.detach(this);
    }
    DataGlitch(const DataGlitch&) = delete;
    DataGlitch& operator=(const DataGlitch&) = delete;

    void reset() override { m_rises = -1; }
    void onLines(bool scl, bool sda) override
    {
        if (m_scl && scl && m_sda && !sda) {  // a start (or repeated start)
            m_rises = 0;
            m_address = 0;
        } else if (!m_scl && scl && m_rises >= 0) {
            ++m_rises;
            if (m_rises <= 8)
                m_address = static_cast<std::uint8_t>((m_address << 1) | (sda ? 1 : 0));
        } else if (m_scl && !scl && m_rises >= 0) {
            // The clock is low: SDA may change without making a start or stop.
            // Rise 18 is the count's acknowledge; rise 19 samples the first data bit.
            m_bus.driveSda(m_driver, m_address == 0x5D && m_rises == 18);
        }
        m_scl = scl;
        m_sda = sda;
    }

private:
    sim::Bus& m_bus;
    sim::Bus::DriverId m_driver;
    bool m_scl = true;
    bool m_sda = true;
    int m_rises = -1;
    std::uint8_t m_address = 0;
};

TEST(RawTransferTest, WordsGoInSmbusOrderOnBothMedia)
{
    for (const ChipLocation& where : {printerPort(), kernelAdapter()}) {
        SCOPED_TRACE(std::string(mediumName(where.medium)));
        RawTransfer write = transfer(RawOp::WriteWord, 0x14);
        write.value = 0x1234;
        (void)rawTransfer(where, write);
        // The first byte on the wire, register 0x14's, is the word's low byte.
        EXPECT_EQ(chip().peek(0x14), 0x34);
        EXPECT_EQ(chip().peek(0x15), 0x12);
        chip().poke(0x14, 0x4B);
        chip().poke(0x15, 0x05);
        EXPECT_EQ(rawTransfer(where, transfer(RawOp::ReadWord, 0x14)).value, 0x054B);
    }
}

TEST(RawTransferTest, BlocksWithPecRoundTripOnBothMedia)
{
    for (const ChipLocation& where : {printerPort(), kernelAdapter()}) {
        SCOPED_TRACE(std::string(mediumName(where.medium)));
        const std::vector<std::uint8_t> data{0x41, 0x42, 0x43};
        (void)rawTransfer(where, transfer(RawOp::WriteBlock, 0xA0, data, true));
        const RawResult read = rawTransfer(where, transfer(RawOp::ReadBlock, 0xA1, {}, true));
        ASSERT_GE(read.block.size(), 3U);
        EXPECT_EQ(std::vector<std::uint8_t>(read.block.begin(), read.block.begin() + 3), data);
    }
}

// A transfer that cannot be made is refused before anything reaches the bus.
TEST(RawTransferTest, WhatCannotBeMadeSendsNothing)
{
    const ChipLocation printer = printerPort();
    const ChipLocation kernel = kernelAdapter();
    ChipLocation chipset = printer;
    chipset.medium = Medium::ChipsetSmbus;
    struct Case {
        const ChipLocation& where;
        RawTransfer t;
        AdapterFault fault;
        const char* sentence;
    };
    const std::vector<Case> cases{
        {printer, transfer(RawOp::WriteBlock, 0xA0), AdapterFault::Argument, "a block write takes 1 to 32 bytes"},
        {kernel, transfer(RawOp::WriteBlock, 0xA0, std::vector<std::uint8_t>(33, 0x5A)), AdapterFault::Argument,
         "a block write takes 1 to 32 bytes"},
        {printer, transfer(RawOp::WriteBlock, 0x14, {1, 2}), AdapterFault::Unsupported,
         "on the printer port a block write sends command 0xa0, the chip's block command"},
        {printer, transfer(RawOp::ReadBlock, 0xA0), AdapterFault::Unsupported,
         "on the printer port a block read sends command 0xa1, the chip's block command"},
        {chipset, transfer(RawOp::ReadWord, 0x14), AdapterFault::Unsupported,
         "the chipset SMBus path makes byte transfers only"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sentence);
        EXPECT_EQ(rawTransferProblem(c.where.medium, c.t), c.sentence);
        const std::uint64_t before = chip().answeredMessages();
        try {
            (void)rawTransfer(c.where, c.t);
            ADD_FAILURE() << "made";
        } catch (const BusFailure& e) {
            EXPECT_EQ(e.fault(), c.fault);
            EXPECT_STREQ(e.what(), c.sentence);
        }
        EXPECT_EQ(chip().answeredMessages(), before);
    }
    // The kernel adapter sends the chip's registers' block commands and others alike.
    EXPECT_EQ(rawTransferProblem(Medium::KernelAdapter, transfer(RawOp::ReadBlock, 0x14)), "");
}

TEST(RawTransferTest, ABlockDamagedOnTheWireFailsItsPec)
{
    const std::vector<std::uint8_t> data{0x80, 0x01};
    for (const ChipLocation& where : {printerPort(), kernelAdapter()}) {
        SCOPED_TRACE(std::string(mediumName(where.medium)));
        (void)rawTransfer(where, transfer(RawOp::WriteBlock, 0xA0, data));
        DataGlitch glitch(sim::board().port(0)->bus());
        try {
            (void)rawTransfer(where, transfer(RawOp::ReadBlock, 0xA1, {}, true));
            ADD_FAILURE() << "a damaged block was handed on";
        } catch (const BusFailure& e) {
            EXPECT_EQ(e.fault(), AdapterFault::BadPec) << e.what();
            if (where.medium == Medium::PrinterPort) {
                EXPECT_STREQ(e.what(), "the block's PEC does not match: the data was damaged on the bus");
            }
        }
        // Without the check the damage passes: the glitch is real.
        const RawResult plain = rawTransfer(where, transfer(RawOp::ReadBlock, 0xA1));
        ASSERT_FALSE(plain.block.empty());
        EXPECT_EQ(plain.block[0], 0x00);
    }
}

// A chip that went: the printer port's short block is its error event, the
// kernel adapter's missing acknowledge its own; neither hands data on.
TEST(RawTransferTest, AChipThatWentFailsTheTransfer)
{
    const ChipLocation printer = printerPort();
    const ChipLocation kernel = kernelAdapter();
    chip().setPresent(false);
    struct Restore {
        ~Restore() { chip().setPresent(true); }
    } restore;
    try {
        (void)rawTransfer(printer, transfer(RawOp::ReadBlock, 0xA1, {}, true));
        ADD_FAILURE() << "no failure on the printer port";
    } catch (const BusFailure& e) {
        EXPECT_EQ(e.fault(), AdapterFault::Io);
        EXPECT_EQ(std::string(e.what()).rfind("Error: 1, ", 0), 0U) << e.what();
        EXPECT_EQ(e.description(), e.what());
    }
    try {
        (void)rawTransfer(kernel, transfer(RawOp::ReadWord, 0x14));
        ADD_FAILURE() << "no failure on the kernel adapter";
    } catch (const BusFailure& e) {
        EXPECT_EQ(e.fault(), AdapterFault::NoAck);
        EXPECT_EQ(e.kind(), ErrorKind::NoAcknowledge);
        // The adapter's own sentence, and the library's numbered form for the tools.
        EXPECT_EQ(std::string(e.what()), "Error: " + std::to_string(e.number()) + ", " + e.description());
    }
}

TEST(RawTransferTest, AnOwnAdapterHandleListsAndTransfersToAnyAddress)
{
    KernelBus bus = KernelBus::own();
    const std::vector<AdapterRecord> list = bus.adapters();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front().busName(), "i2c-1");
    EXPECT_EQ(list.front().access, AdapterFault::None);
    EXPECT_NE(list.front().functionalityText().find("block-data"), std::string::npos);
    EXPECT_EQ(bus.find("i2c-1"), 1);
    EXPECT_EQ(bus.find("no such adapter"), -1);
    bus.select(1);
    chip().poke(0x14, 0x4B);
    EXPECT_EQ(rawTransfer(bus, transfer(RawOp::ReadByteData, 0x14), false).value, 0x4B);
    RawTransfer nobody = transfer(RawOp::ReceiveByte, 0);
    nobody.address = 0x10;
    try {
        (void)rawTransfer(bus, nobody, false);
        ADD_FAILURE() << "an address nobody holds answered";
    } catch (const BusFailure& e) {
        EXPECT_EQ(e.fault(), AdapterFault::NoAck);
    }
}

}  // namespace
}  // namespace device
