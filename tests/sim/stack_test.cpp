// The live board through the whole library stack, on a hand-driven clock.
#include <gtest/gtest.h>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

namespace {

constexpr uint8_t kChip = 0x5C;

class StackTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexlink06::setMessageHook([](const std::string&, const std::string&) {});
        sim::Config c;
        c.time = sim::TimeMode::Manual;
        sim::board().configure(c);
        proto = vexlink06::PrinterPort::create()->SMBusProtocall();
        proto->setBitsToStayHigh(0);
    }
    void TearDown() override { vexlink06::setMessageHook({}); }
    uint8_t read(uint8_t reg) { return proto->PortRead(kChip, reg); }
    void write(uint8_t reg, uint8_t v) { proto->PortWrite(kChip, reg, v); }
    static void advance(double s) { sim::board().advanceMs(s * 1000); }

    std::shared_ptr<vexlink06::SMBusProtocall> proto;
};

TEST_F(StackTest, HeaterThroughBitsToStayHigh)
{
    const int before = static_cast<int8_t>(read(0x0B));
    proto->setBitsToStayHigh(0xF0);  // heaters on with the held-high bits
    advance(60);
    const int hot = static_cast<int8_t>(read(0x0B));
    EXPECT_GE(hot - before, 10);
    proto->setBitsToStayHigh(0xC0);  // both heaters off
    advance(180);
    EXPECT_LE(static_cast<int8_t>(read(0x0B)), before + 1);
}

TEST_F(StackTest, DutyZeroStopsFanAndLimitStatusCycles)
{
    write(0x00, 0x09);  // PWM Invert, which the board's fan stage needs
    write(0x22, 0x00);
    advance(10);
    EXPECT_EQ(read(0x08), 0xFF);

    write(0x14, 10);  // local high limit below the room
    advance(0.2);
    EXPECT_EQ(read(0x02) & 0x40, 0x40);
    EXPECT_EQ(read(0x02) & 0x40, 0x00);
    advance(0.2);
    EXPECT_EQ(read(0x02) & 0x40, 0x40);
}

TEST_F(StackTest, SoftwareResetAndWordWrite)
{
    proto->WriteWord(kChip, 0x14, 4660.4f);
    EXPECT_EQ(sim::board().chip()->peek(0x14), 0x12);
    EXPECT_EQ(sim::board().chip()->peek(0x15), 0x34);
    EXPECT_EQ(proto->ReadWord(kChip, 0x14), 0x1234);
    write(0x01, 0x80);
    EXPECT_EQ(read(0x14), 0x46);
    EXPECT_EQ(read(0x01), 0x7F);
}

}  // namespace
