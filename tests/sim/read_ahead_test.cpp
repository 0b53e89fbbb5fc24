// A client that answers status reads from the board's read-ahead must see
// exactly what the port reads: every status read below is made on the
// port and compared with the prediction when there is one.
#include <gtest/gtest.h>

#include <sim/read_ahead.h>

#include "line_master.h"

using namespace simtest;

namespace {

constexpr uint8_t kChip = 0x5C;
constexpr int kBase = 0x378;

struct Followed {
    sim::ReadAheadFollower follower;
    int predicted = 0;
    int live = 0;
};

// The port driver ABI with a follower beside it, as the shared board's
// client has: writes go to both, a status read is predicted when it can be
// and takes the board's next read-ahead when it cannot.
struct FollowingAccess {
    Followed* f;
    void out(int address, uint8_t value)
    {
        f->follower.onWrite(static_cast<uint32_t>(address), value);
        OutByte(address, value);
    }
    uint8_t in(int address)
    {
        const auto predicted = f->follower.status(static_cast<uint32_t>(address));
        const uint8_t real = InByte(address);
        if (predicted) {
            ++f->predicted;
            EXPECT_EQ(*predicted, real) << "status read " << f->predicted << " answered ahead";
            return real;
        }
        ++f->live;
        if (const auto ahead = sim::board().portAt(static_cast<uint32_t>(address))->readAhead())
            f->follower.start(*ahead);
        else
            f->follower.stop();
        return real;
    }
};
using FollowingMaster = BasicLineMaster<FollowingAccess>;

struct Case {
    bool inverting;
    uint8_t heaters;
};

class ReadAheadTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override
    {
        sim::Config c;
        c.ports[0].inverting = GetParam().inverting;
        freshBoard(c);
        m.setHighBits(GetParam().heaters);
    }
    Followed f;
    FollowingMaster m{kBase, GetParam().inverting, FollowingAccess{&f}};
};

}  // namespace

// Every byte value, read back: only the first bit of each byte asks the
// port; the other seven are answered ahead, and right.
TEST_P(ReadAheadTest, EveryByteValueReadsTheSameAnsweredAhead)
{
    for (int v = 0; v < 256; ++v) {
        ASSERT_TRUE(m.writeReg(kChip, 0x14, static_cast<uint8_t>(v)));
        const int predictedBefore = f.predicted;
        ASSERT_EQ(m.readReg(kChip, 0x14), v);
        EXPECT_EQ(f.predicted - predictedBefore, 7) << "value " << v;
    }
}

// A block read: the master's acknowledge after each byte ends the
// prediction, and the next byte's first bit takes a new one.
TEST_P(ReadAheadTest, ABlockReadAcrossAcknowledgesMatchesTheBlock)
{
    const auto& block = sim::board().chip(kChip)->block();
    m.start();
    ASSERT_TRUE(m.write(kChip));
    ASSERT_TRUE(m.write(0xA1));
    m.repeatedStart();
    ASSERT_TRUE(m.write(kChip | 1));
    const int count = m.read(true);
    ASSERT_EQ(count, 32);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(m.read(true), block[static_cast<size_t>(i)]) << "byte " << i;
    // The packet error code by hand, looking at the lines in both clock
    // phases and at the not-acknowledge, where the chip has let SDA go.
    m.lines(false, true);
    for (int i = 0; i < 8; ++i) {
        m.sdaHigh();
        m.lines(true, true);
        m.sdaHigh();
        m.lines(false, true);
    }
    m.lines(true, true);
    EXPECT_TRUE(m.sdaHigh()) << "nobody holds SDA at the not-acknowledge";
    m.lines(false, true);
    m.stop();
    EXPECT_EQ(f.predicted, 7 * 33 + 15);
}

INSTANTIATE_TEST_SUITE_P(Adapters, ReadAheadTest,
                         ::testing::Values(Case{true, 0}, Case{false, 0}, Case{true, 0x30}, Case{false, 0x30}),
                         [](const auto& info) {
                             return std::string(info.param.inverting ? "Inverting" : "Plain") +
                                    (info.param.heaters ? "HeatersOn" : "");
                         });

// Whatever the PC does besides clocking the byte ends the prediction before
// it could be wrong: SDA pulled, a heater switched.
TEST(ReadAheadFollowerTest, EndsAtAnyWriteThatIsNotAClock)
{
    const sim::ReadAhead clocking{kBase, true, 0x00, 0xA5, 2, true};
    sim::ReadAheadFollower follower;
    follower.start(clocking);
    follower.onWrite(kBase + 2, 0x04);  // the control register moves no line
    EXPECT_TRUE(follower.status(kBase + 1));
    EXPECT_FALSE(follower.status(kBase)) << "only the status register is predicted";
    follower.onWrite(kBase, 0x02);  // SDA pulled
    EXPECT_FALSE(follower.active());
    follower.start(clocking);
    follower.onWrite(kBase, 0x10);  // heater 1
    EXPECT_FALSE(follower.active());
    follower.start(clocking);
    follower.onWrite(0x278, 0x03);  // another port
    EXPECT_TRUE(follower.active());
}

TEST(ReadAheadWireTest, RoundTripsAndRefusesWhatItCannotFollow)
{
    const sim::ReadAhead a{0x3BC, false, 0x32, 0x5A, 7, false};
    const auto back = sim::ReadAhead::decode(a.encode());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->base, 0x3BCu);
    EXPECT_EQ(back->data, 0x32);
    EXPECT_EQ(back->byte, 0x5A);
    EXPECT_EQ(back->bit, 7);
    EXPECT_FALSE(back->inverting);
    EXPECT_FALSE(sim::ReadAhead::decode({}));  // a board that sends none
    auto bad = a.encode();
    bad[7] = 8;
    EXPECT_FALSE(sim::ReadAhead::decode(bad));
}

// Parties that act on their own leave nothing to promise: with another
// master on the bus every status read asks the port.
TEST(ReadAheadBoardTest, NoneWhileAnotherMasterSharesTheBus)
{
    sim::Config c;
    c.ports[0].otherMaster = {sim::OtherMasterConfig::Mode::HoldSclLow, 0, 0};
    freshBoard(c);
    Followed f;
    FollowingMaster m{kBase, true, FollowingAccess{&f}};
    EXPECT_EQ(m.readReg(kChip, 0x3D), 0x31);
    EXPECT_EQ(f.predicted, 0);
}

// The board must see a transfer's stop without waiting for the client's
// next request; writes inside a transfer may wait for the next status read.
TEST(TransferEdgesTest, AStopGoesOutAtOnceAndATransfersInsideWaitsForItsNextRead)
{
    using Send = sim::TransferEdges::Send;
    for (const bool inverting : {true, false}) {
        SCOPED_TRACE(inverting ? "inverting" : "plain");
        // Line states as LineMaster writes them, with the heaters on.
        auto code = [inverting](bool scl, bool sda) {
            const uint8_t c = static_cast<uint8_t>((scl ? 0 : 1) | (sda ? 0 : 2));
            return static_cast<uint8_t>((inverting ? c : c ^ 3) | 0x30);
        };
        sim::TransferEdges edges(kBase, inverting);
        EXPECT_EQ(edges.onWrite(code(true, true)), Send::Late) << "nothing known yet";
        EXPECT_EQ(edges.onWrite(code(true, true)), Send::WithNext) << "the idle lines restated";
        EXPECT_EQ(edges.onWrite(code(true, false)), Send::WithNext) << "start";
        EXPECT_EQ(edges.onWrite(code(false, false)), Send::WithNext);
        EXPECT_EQ(edges.onWrite(code(false, true)), Send::WithNext);
        EXPECT_EQ(edges.onWrite(code(true, true)), Send::WithNext) << "a clock, or before a repeated start";
        EXPECT_EQ(edges.onWrite(code(true, false)), Send::WithNext) << "repeated start";
        EXPECT_EQ(edges.onWrite(code(false, false)), Send::WithNext);
        EXPECT_EQ(edges.onWrite(code(true, false)), Send::WithNext);
        EXPECT_EQ(edges.onWrite(code(true, true)), Send::Now) << "stop";
        EXPECT_EQ(edges.onWrite(code(true, true) & 0x0F), Send::Late) << "a heater between transfers";
        EXPECT_EQ(edges.onWrite(code(true, false) & 0x0F), Send::WithNext);
        EXPECT_EQ(edges.onWrite(code(false, false) & 0x0F), Send::WithNext);
        EXPECT_EQ(edges.onWrite(code(true, true) & 0x0F), Send::Now) << "both lines let go at once";
    }
}
