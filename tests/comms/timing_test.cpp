// Pauses between line changes and after transactions.
#include <chrono>
#include <cmath>
#include <limits>

#include "fixture.h"

namespace commstest {
namespace {

using vexlink06::False;
using vexlink06::True;

using Timing = CommsTest;

TEST_F(Timing, FrameDelayIsLimitedDelayIsNot)
{
    struct Case {
        float set;
        float read;
    };
    for (const Case c :
         {Case{-1, 0}, Case{2e10F, 1e10F}, Case{0.5F, 0.5F}, Case{std::numeric_limits<float>::quiet_NaN(), 0}}) {
        proto->setFrameDelay(c.set);
        EXPECT_EQ(proto->FrameDelay(), c.read) << c.set;
    }
    proto->setFrameDelay(0);
    proto->setDelay(-0.5F);
    EXPECT_EQ(proto->Delay(), -0.5F);
    int yields = 0;
    vexlink06::setEventLoopYield([&] { ++yields; });
    proto->StopBit();
    EXPECT_EQ(yields, 0);
}

TEST_F(Timing, RelativeModeYieldsOncePerPassOfEachPause)
{
    proto->setRelativeDelayOn(True);
    proto->setDelay(3);
    int yields = 0;
    vexlink06::setEventLoopYield([&] { ++yields; });
    proto->StopBit();  // two pauses
    EXPECT_EQ(yields, 6);

    yields = 0;
    proto->setDelay(0);
    proto->setFrameDelay(2);
    proto->PortWrite(0x5C, 0x14, 1);  // only the frame delay
    EXPECT_EQ(yields, 2);
    EXPECT_EQ(chip().peek(0x14), 1);
}

TEST_F(Timing, AbsolutePauseLastsAtLeastItsLength)
{
    proto->setDelay(0.001F);
    const auto start = std::chrono::steady_clock::now();
    proto->StopBit();  // two pauses
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::microseconds(2000));
}

TEST_F(Timing, PausesKeepTheBusWorking)
{
    proto->setDelay(0.00002F);
    proto->setFrameDelay(0.0001F);
    proto->PortWrite(0x5C, 0x15, 0x3C);
    EXPECT_EQ(proto->PortRead(0x5C, 0x15), 0x3C);
}

}  // namespace
}  // namespace commstest
