#include <gtest/gtest.h>

#include <sim/bus_events.h>

#include "line_master.h"

using namespace simtest;

namespace {

constexpr uint8_t kChip = 0x5C;

class BusTest : public ::testing::Test {
protected:
    void SetUp() override { freshBoard(); }
    sim::Chip& chip() { return *sim::board().chip(kChip); }
    sim::Port& port() { return *sim::board().port(0); }
    LineMaster m;
};

}  // namespace

// The one reading of the lines every watcher of the bus shares: a data
// change counts as a start or stop only while the clock stays high, and a
// clock edge is never one.
TEST(LineWatch, ConditionsAndEdges)
{
    struct Step {
        bool scl, sda;
        bool rose, fell, start, stop;
    };
    const Step steps[] = {
        {true, true, false, false, false, false},   // idle: no change
        {true, false, false, false, true, false},   // start
        {false, false, false, true, false, false},  // clock low
        {false, true, false, false, false, false},  // data changes under a low clock
        {true, true, true, false, false, false},    // clock high: a bit
        {true, false, false, false, true, false},   // repeated start
        {false, true, false, true, false, false},   // both at once: an edge only
        {true, true, true, false, false, false},   {false, false, false, true, false, false},
        {true, false, true, false, false, false},  {true, true, false, false, false, true},  // stop
    };
    sim::LineWatch w;
    int i = 0;
    for (const Step& s : steps) {
        const sim::LineEvents e = w.next(s.scl, s.sda);
        EXPECT_EQ(e.sclRose, s.rose) << i;
        EXPECT_EQ(e.sclFell, s.fell) << i;
        EXPECT_EQ(e.start, s.start) << i;
        EXPECT_EQ(e.stop, s.stop) << i;
        ++i;
    }
    // Attached to a bus held low, the first release of SDA is no stop.
    w.reset(false, false);
    EXPECT_FALSE(w.next(false, true).stop);
}

// Both adapters: idle lines read high, and a register read works end to end.
class AdapterTest : public ::testing::TestWithParam<bool> { };

TEST_P(AdapterTest, IdleHighAndRegisterRead)
{
    const bool inverting = GetParam();
    sim::Config c;
    c.ports[0].inverting = inverting;
    freshBoard(c);
    LineMaster m(0x378, inverting);
    EXPECT_EQ(InByte(0x379), inverting ? 0x00 : 0x38);
    EXPECT_TRUE(m.sclHigh());
    EXPECT_TRUE(m.sdaHigh());
    EXPECT_EQ(m.readReg(kChip, 0x3D), 0x31);
    m.lines(false, false);
    EXPECT_EQ(InByte(0x379), inverting ? 0x38 : 0x00);
}

INSTANTIATE_TEST_SUITE_P(Both, AdapterTest, ::testing::Bool());

TEST_F(BusTest, PortDriverAbi)
{
    sim::Config c;
    c.ports.push_back(sim::PortConfig{});
    c.ports[1].base = 0x278;
    c.ports[1].heldByOtherProcess = true;
    sim::board().configure(c);
    EXPECT_EQ(GetParallelPortCount(), 2);
    PortInfoRecord info{12, 0, 0};
    ASSERT_NE(GetParallelPortInfo(2, &info), 0);
    EXPECT_EQ(info.base, 0x278);
    EXPECT_EQ(GetParallelPortInfo(3, &info), 0);
    EXPECT_EQ(ClaimParallelPort(2, -1), 0);  // held elsewhere
    EXPECT_EQ(ClaimParallelPort(3, -1), 0);

    // Unclaimed: writes are dropped and reads give 0.
    OutByte(0x378, 0x03);
    EXPECT_EQ(port().dataWriteLog().size(), 0u);
    EXPECT_EQ(InByte(0x378), 0);
    ASSERT_NE(ClaimParallelPort(1, -1), 0);
    OutByte(0x378, 0xF1);
    OutByte(0x37A, 0x04);
    EXPECT_EQ(InByte(0x378), 0xF1);
    EXPECT_EQ(InByte(0x37A), 0x04);
    EXPECT_EQ(port().dataWriteLog(), std::vector<uint8_t>{0xF1});
    port().clearDataWriteLog();
    EXPECT_TRUE(port().dataWriteLog().empty());
    EXPECT_EQ(InByte(0x37B), 0);  // not a port register
    ReleaseParallelPort(1);
    EXPECT_FALSE(port().claimed());
}

TEST_F(BusTest, ByteWordSendReceive)
{
    EXPECT_TRUE(m.writeReg(kChip, 0x14, 0x55));
    EXPECT_EQ(chip().peek(0x14), 0x55);
    EXPECT_EQ(m.readReg(kChip, 0x14), 0x55);

    // Read-only registers keep their value; the write is still acknowledged.
    EXPECT_TRUE(m.writeReg(kChip, 0x3D, 0x00));
    EXPECT_EQ(chip().peek(0x3D), 0x31);

    // Word write: high byte at p, low byte at p + 1; word read in that order.
    m.start();
    EXPECT_TRUE(m.write(kChip));
    EXPECT_TRUE(m.write(0x14));
    EXPECT_TRUE(m.write(0x12));
    EXPECT_TRUE(m.write(0x34));
    m.stop();
    EXPECT_EQ(chip().peek(0x14), 0x12);
    EXPECT_EQ(chip().peek(0x15), 0x34);
    m.start();
    m.write(kChip);
    m.write(0x14);
    m.repeatedStart();
    m.write(kChip | 1);
    EXPECT_EQ(m.read(true), 0x12);
    EXPECT_EQ(m.read(false), 0x34);
    m.stop();

    // Send byte sets the pointer; receive byte reads there, each time.
    m.start();
    m.write(kChip);
    m.write(0x3E);
    m.stop();
    for (int i = 0; i < 2; ++i) {
        m.start();
        EXPECT_TRUE(m.write(kChip | 1));
        EXPECT_EQ(m.read(false), 0x46);
        m.stop();
    }
    EXPECT_EQ(chip().pointer(), 0x3E);
}

TEST_F(BusTest, AbsentAddressIsNotAcknowledgedAndReadsAllOnes)
{
    m.start();
    EXPECT_FALSE(m.write(0x58));
    m.stop();
    EXPECT_EQ(m.readReg(0x58, 0x3D), 0xFF);
    EXPECT_TRUE(m.sdaHigh());
}

TEST_F(BusTest, SingleChannelPartLacksSecondChannelRegisters)
{
    sim::Config c;
    c.ports[0].chips[0].variant = sim::ChipVariant::Tfm4410;
    freshBoard(c);
    EXPECT_EQ(m.readReg(kChip, 0x3D), 0x30);
    m.writeReg(kChip, 0x1C, 0x20);
    EXPECT_EQ(m.readReg(kChip, 0x1C), 0x00);
    EXPECT_EQ(m.readReg(kChip, 0x22) & 0xF0, 0x00);
}

TEST_F(BusTest, StatusClearsOnBusReadOnly)
{
    chip().poke(0x02, 0x44);
    EXPECT_EQ(chip().peek(0x02), 0x44);  // peek has no side effect
    EXPECT_EQ(m.readReg(kChip, 0x02), 0x44);
    EXPECT_EQ(chip().peek(0x02), 0x00);
}

TEST_F(BusTest, BlockWriteChecksPecOverWholeMessage)
{
    const std::vector<uint8_t> data{0x11, 0x22, 0x33};
    std::vector<uint8_t> msg{kChip, 0xA0, 3};
    msg.insert(msg.end(), data.begin(), data.end());

    // Wrong PEC: not acknowledged, block unchanged.
    m.start();
    for (uint8_t b : msg)
        EXPECT_TRUE(m.write(b));
    EXPECT_FALSE(m.write(static_cast<uint8_t>(pec(msg) ^ 1)));
    m.stop();
    EXPECT_EQ(chip().block()[0], 0x00);

    m.start();
    for (uint8_t b : msg)
        m.write(b);
    EXPECT_TRUE(m.write(pec(msg)));
    m.stop();
    EXPECT_EQ(chip().block()[0], 0x11);
    EXPECT_EQ(chip().block()[2], 0x33);
    EXPECT_EQ(chip().block()[3], 0x03);  // untouched power-on pattern
}

TEST_F(BusTest, BlockReadAppendsPec)
{
    m.start();
    m.write(kChip);
    m.write(0xA1);
    m.repeatedStart();
    m.write(kChip | 1);
    std::vector<uint8_t> msg{kChip, 0xA1, kChip | 1};
    const uint8_t count = m.read(true);
    EXPECT_EQ(count, 32);
    msg.push_back(count);
    for (int i = 0; i < 32; ++i) {
        const uint8_t v = m.read(true);
        EXPECT_EQ(v, i);
        msg.push_back(v);
    }
    EXPECT_EQ(m.read(false), pec(msg));
    m.stop();
    EXPECT_TRUE(m.sdaHigh());
}

TEST_F(BusTest, EepromTwoByteAddresses)
{
    sim::Eeprom& e = *port().eeprom();
    m.start();
    EXPECT_TRUE(m.write(0xA0));
    m.write(0x01);
    m.write(0x23);
    m.write(0x5A);
    m.stop();
    EXPECT_EQ(e.peek(0x0123), 0x5A);

    // Address set, stop, then a read from that address.
    m.start();
    m.write(0xA0);
    m.write(0x01);
    m.write(0x23);
    m.stop();
    m.start();
    m.write(0xA1);
    EXPECT_EQ(m.read(false), 0x5A);
    m.stop();
    EXPECT_EQ(e.currentAddress(), 0x0124);

    // A one-byte command is kept for inspection and writes nothing.
    m.start();
    m.write(0xA0);
    m.write(0xC7);
    m.stop();
    ASSERT_EQ(e.writeMessages().size(), 3u);
    EXPECT_EQ(e.writeMessages().back(), std::vector<uint8_t>{0xC7});
}

TEST_F(BusTest, TraceDecodesConditionsBytesAndDrivers)
{
    sim::Bus& bus = port().bus();
    m.writeReg(kChip, 0x20, 0x7F);
    EXPECT_TRUE(bus.trace().empty());  // off by default
    bus.setTracing(true);
    m.writeReg(kChip, 0x20, 0x7F);
    EXPECT_EQ(bus.traceText(), "S 5C+ 20+ 7F+ P");
    bus.clearTrace();
    m.readReg(kChip, 0x3D);
    EXPECT_EQ(bus.traceText(), "S 5C+ 3D+ Sr 5D+ 31- P");
    const auto& t = bus.trace();
    EXPECT_EQ(t[1].by, "pc");
    EXPECT_EQ(t[1].ackBy, "chip@5C");
    EXPECT_EQ(t[5].by, "chip@5C");
}

TEST_F(BusTest, CombinedWriteNeverMakesAConditionOfItsOwn)
{
    sim::Bus& bus = port().bus();
    bus.setTracing(true);
    m.start();
    m.write(kChip);  // ends with SCL low, SDA released
    m.lines(false, false);
    m.lines(true, true);    // both released at once: SDA first, no stop
    m.lines(false, false);  // both pulled at once: SCL first, no start
    EXPECT_EQ(bus.traceText(), "S 5C+");
}

TEST_F(BusTest, OtherMasterHoldsClockForChosenAttempts)
{
    sim::Config c;
    c.ports[0].otherMaster = {sim::OtherMasterConfig::Mode::HoldSclLow, 0, 3};
    freshBoard(c);
    for (int attempt = 0; attempt < 3; ++attempt) {
        m.lines(true, true);
        EXPECT_FALSE(m.sclHigh()) << attempt;
    }
    m.lines(true, true);
    EXPECT_TRUE(m.sclHigh());
    EXPECT_EQ(m.readReg(kChip, 0x3D), 0x31);
}

TEST_F(BusTest, OtherMasterWinsArbitrationAtChosenBit)
{
    sim::Config c;
    c.ports[0].otherMaster = {sim::OtherMasterConfig::Mode::WinArbitration, 1, 1};
    freshBoard(c);
    port().bus().setTracing(true);
    // 0x5C = 0101 1100: bit 1 (second sent) is a 1 the PC must lose.
    m.start();
    m.lines(false, false);
    m.lines(true, false);
    m.lines(false, false);
    m.lines(false, true);
    EXPECT_FALSE(m.sdaHigh());
    m.lines(true, true);  // back off: the winner lets go
    EXPECT_TRUE(m.sdaHigh());
    EXPECT_EQ(port().bus().traceText(), "S ?2 P");  // two bits clocked, then the winner stops
    EXPECT_EQ(m.readReg(kChip, 0x3D), 0x31);        // the retry is clean
}

TEST(BusMasterTest, InSimMasterTransactions)
{
    sim::Config c;
    c.motherboard.chips.push_back(sim::ChipConfig{});
    freshBoard(c);
    sim::Bus& bus = sim::board().motherboardBus();
    sim::BusMaster host(bus, "host");
    uint8_t v = 0;
    EXPECT_TRUE(host.quick(0x2E, false));
    EXPECT_FALSE(host.quick(0x2C, false));
    EXPECT_TRUE(host.quick(0x2E, true));
    EXPECT_TRUE(host.writeByteData(0x2E, 0x14, 0x42));
    ASSERT_TRUE(host.readByteData(0x2E, 0x14, v));
    EXPECT_EQ(v, 0x42);
    EXPECT_FALSE(host.readByteData(0x2D, 0x14, v));
    EXPECT_TRUE(bus.scl() && bus.sda());
}
