// The control-curve model without a display: curves per fan for register
// settings, the polyline, snapping, the bits a drag writes and hit testing.
#include <gtest/gtest.h>

#include <chiplaw/auto_control.h>
#include "device/control_curves.h"

#include <cmath>

namespace {

using device::CurveHandle;
using device::TempChannel;

device::CurveRegisters dualChip(std::uint8_t config1, std::uint8_t fanSpeed)
{
    device::CurveRegisters r;
    r.deviceId = 0x31;
    r.configuration1 = config1;
    r.fanSpeedConfiguration = fanSpeed;
    r.tminTrange = {0x61, 0x61, 0x61};
    r.temperature = {30.0, 30.0, 30.0};
    r.highLimit = {70, 70, 70};
    r.thermLimit = {85, 85, 85};
    return r;
}

// --- which channels drive which fan --------------------------------------

struct Driving {
    int config1;
    bool dual;
    unsigned fan1;
    unsigned fan2;
};

class DrivingChannels : public ::testing::TestWithParam<Driving> { };

TEST_P(DrivingChannels, FollowControlOperationBits)
{
    const auto& c = GetParam();
    EXPECT_EQ(chiplaw::drivingChannels(c.config1, 0, c.dual), c.fan1);
    if (c.dual) {
        EXPECT_EQ(chiplaw::drivingChannels(c.config1, 1, c.dual), c.fan2);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DrivingChannels,
                         ::testing::Values(Driving{0x80, true, 0b010, 0b100}, Driving{0xA0, true, 0b010, 0b010},
                                           Driving{0xC0, true, 0b100, 0b100}, Driving{0xE0, true, 0b111, 0b111},
                                           Driving{0x80, false, 0b010, 0}, Driving{0xA0, false, 0b010, 0},
                                           Driving{0xE0, false, 0b011, 0},
                                           // Bits outside 6..5 do not matter.
                                           Driving{0x1F, true, 0b010, 0b100}));

// --- curves for register settings -----------------------------------------

TEST(ControlCurves, OneChannelPerFanWithEachFansMinimum)
{
    auto r = dualChip(0x80, 0x53);  // fan 1 minimum 3/15, fan 2 5/15
    r.tminTrange[1] = 0x61;         // remote 1: Tmin 48, Trange 10
    r.tminTrange[2] = 0x3A;         // remote 2: Tmin 28, Trange 20
    r.temperature[1] = 53.0;
    r.temperature[2] = 38.0;
    r.fanRpm = {1800, 2400};
    const auto fans = device::buildFanCurves(r);
    ASSERT_EQ(fans.size(), 2u);
    ASSERT_EQ(fans[0].curves.size(), 1u);
    ASSERT_EQ(fans[1].curves.size(), 1u);
    const auto& c1 = fans[0].curves[0];
    EXPECT_EQ(c1.channel, TempChannel::Remote1);
    EXPECT_EQ(c1.tminC, 48);
    EXPECT_EQ(c1.trangeC, 10);
    EXPECT_DOUBLE_EQ(c1.minDuty, 0.2);
    EXPECT_NEAR(fans[0].duty, 0.2 + 0.8 * 5 / 10, 1e-12);  // halfway up the ramp
    EXPECT_EQ(fans[0].rpm, 1800);
    const auto& c2 = fans[1].curves[0];
    EXPECT_EQ(c2.channel, TempChannel::Remote2);
    EXPECT_EQ(c2.tminC, 28);
    EXPECT_EQ(c2.trangeC, 20);
    EXPECT_NEAR(fans[1].duty, 1.0 / 3 + 2.0 / 3 * 10 / 20, 1e-12);
}

TEST(ControlCurves, HighestSpeedModeDrawsEveryChannelAndLeadsWithTheLargest)
{
    auto r = dualChip(0xE0, 0x00);
    r.temperature = {52.0, 30.0, 56.0};  // local 4 degrees up its ramp, remote 2 eight
    const auto fans = device::buildFanCurves(r);
    ASSERT_EQ(fans.size(), 2u);
    for (const auto& fan : fans) {
        ASSERT_EQ(fan.curves.size(), 3u);
        EXPECT_EQ(fan.curves[fan.leading].channel, TempChannel::Remote2);
        EXPECT_NEAR(fan.duty, 0.8, 1e-12);
        EXPECT_DOUBLE_EQ(fan.curves[1].duty, 0.0);  // remote 1 below Tmin, minimum 0: off
    }
    // Equal duties: the first channel leads.
    r.temperature = {20.0, 20.0, 20.0};
    EXPECT_EQ(device::buildFanCurves(r)[0].leading, 0u);
}

TEST(ControlCurves, SingleChannelChipHasOneFanAndNoRemote2)
{
    device::CurveRegisters r = dualChip(0x80, 0x05);
    r.deviceId = 0x30;
    auto fans = device::buildFanCurves(r);
    ASSERT_EQ(fans.size(), 1u);
    ASSERT_EQ(fans[0].curves.size(), 1u);
    EXPECT_EQ(fans[0].curves[0].channel, TempChannel::Remote1);
    EXPECT_STREQ(device::channelName(TempChannel::Remote1, false), "Remote");

    r.configuration1 = 0xE0;
    fans = device::buildFanCurves(r);
    ASSERT_EQ(fans[0].curves.size(), 2u);
    EXPECT_EQ(fans[0].curves[0].channel, TempChannel::Local);
    EXPECT_EQ(fans[0].curves[1].channel, TempChannel::Remote1);
}

TEST(ControlCurves, RangeCodesBeyondTheListAreTheWidestAndAnOpenDiodeAsksFullDuty)
{
    auto r = dualChip(0x80, 0x00);
    r.tminTrange[1] = 0x67;  // Tmin 48, range code 7
    r.temperature[1] = std::nullopt;
    const auto fans = device::buildFanCurves(r);
    EXPECT_EQ(fans[0].curves[0].trangeC, 80);
    EXPECT_DOUBLE_EQ(fans[0].duty, 1.0);
}

TEST(ControlCurves, PolylineHasItsCornersAtTminAndTheTopAndIsCutAtTheSpan)
{
    device::ChannelCurve c;
    c.tminC = 48;
    c.trangeC = 20;
    c.minDuty = 0.2;
    auto p = device::curvePoints(c, 0, 100);
    ASSERT_EQ(p.size(), 4u);
    EXPECT_DOUBLE_EQ(p[0].degrees, 0);
    EXPECT_DOUBLE_EQ(p[0].duty, 0.2);
    EXPECT_DOUBLE_EQ(p[1].degrees, 48);
    EXPECT_DOUBLE_EQ(p[1].duty, 0.2);
    EXPECT_DOUBLE_EQ(p[2].degrees, 68);
    EXPECT_DOUBLE_EQ(p[2].duty, 1.0);
    EXPECT_DOUBLE_EQ(p[3].degrees, 100);
    EXPECT_DOUBLE_EQ(p[3].duty, 1.0);

    // A span that ends on the ramp ends at the duty there.
    p = device::curvePoints(c, 50, 58);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_NEAR(p[0].duty, 0.2 + 0.8 * 2 / 20, 1e-12);
    EXPECT_NEAR(p[1].duty, 0.2 + 0.8 * 10 / 20, 1e-12);
}

// --- dragging --------------------------------------------------------------

TEST(ControlCurves, TminSnapsToFourDegreeCodesWithinTheField)
{
    const std::pair<double, int> cases[] = {{49.0, 12}, {51.0, 13}, {-10.0, 0}, {124.0, 31}, {200.0, 31}};
    for (auto [degrees, code] : cases)
        EXPECT_EQ(device::snapTminCode(degrees), code) << degrees;
}

TEST(ControlCurves, TrangeSnapsToTheNearestListedWidthTiesToTheNarrower)
{
    const std::pair<double, int> cases[] = {{7.0, 0},  {7.5, 0},  {8.0, 1},   {15.0, 1}, {16.0, 2},
                                            {60.0, 3}, {61.0, 4}, {200.0, 4}, {-5.0, 0}};
    for (auto [ramp, code] : cases)
        EXPECT_EQ(device::snapTrangeCode(ramp), code) << ramp;
}

TEST(ControlCurves, DragWritesOnlyItsFieldOfTheChannelsRegister)
{
    const auto tmin = device::tminWrite(TempChannel::Remote1, 13);
    EXPECT_EQ(tmin.reg, 0x25);
    EXPECT_EQ(tmin.keep, 0x07);
    EXPECT_EQ(tmin.applyTo(0x61), 0x69);
    EXPECT_EQ(tmin.applyTo(0x07), 0x6F);  // the range bits survive

    const auto range = device::trangeWrite(TempChannel::Local, 2);
    EXPECT_EQ(range.reg, 0x24);
    EXPECT_EQ(range.keep, 0xF8);
    EXPECT_EQ(range.applyTo(0x61), 0x62);
    EXPECT_EQ(device::trangeWrite(TempChannel::Remote2, 0).reg, 0x26);

    // Codes the field cannot hold, or that the list does not offer, are
    // never written.
    EXPECT_EQ(device::tminWrite(TempChannel::Local, 40).insert, 31 << 3);
    EXPECT_EQ(device::trangeWrite(TempChannel::Local, 7).insert, 4);
}

TEST(ControlCurves, HitTestFindsTheNearestHandleWithinTheRadius)
{
    device::FanCurves fan;
    device::ChannelCurve a;
    a.channel = TempChannel::Remote1;
    a.tminC = 40;
    a.trangeC = 20;
    a.minDuty = 0.0;
    device::ChannelCurve b = a;
    b.channel = TempChannel::Local;
    b.tminC = 44;
    fan.curves = {a, b};
    fan.leading = 1;
    // One pixel per degree and per duty percent.
    const device::PlotFrame frame{10, 5, 100, 100, 0, 100};

    auto hit = device::hitTest(fan, frame, 10 + 41, 105, 5);  // between the two Tmin corners, nearer a's
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->curve, 0u);
    EXPECT_EQ(hit->handle, CurveHandle::Tmin);

    hit = device::hitTest(fan, frame, 10 + 63, 5 + 2, 5);  // near b's top (64, 100 %)
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->curve, 1u);
    EXPECT_EQ(hit->handle, CurveHandle::Top);

    EXPECT_FALSE(device::hitTest(fan, frame, 10 + 52, 55, 5));  // on the ramp, away from handles

    // Handles on top of each other: the leading curve's.
    fan.curves[1].tminC = 40;
    hit = device::hitTest(fan, frame, 10 + 40, 105, 5);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->curve, 1u);

    // The drag code from a pixel column.
    EXPECT_EQ(device::dragCode(a, CurveHandle::Tmin, frame, 10 + 53), 13);
    EXPECT_EQ(device::dragCode(a, CurveHandle::Top, frame, 10 + 78), 3);  // ramp of 38: 40 is nearest
}

TEST(ControlCurves, SpanCoversRampsLimitsAndReadingsInTenDegreeSteps)
{
    auto r = dualChip(0x80, 0x00);
    auto span = device::temperatureSpan(device::buildFanCurves(r));
    EXPECT_EQ(span, (std::pair<double, double>{0, 90}));  // THERM 85 + 5
    r.thermLimit = {40, 40, 40};
    r.highLimit = {40, 40, 40};
    r.tminTrange[1] = 0xF4;  // Tmin 120, Trange 80
    r.temperature[1] = -12.0;
    span = device::temperatureSpan(device::buildFanCurves(r));
    EXPECT_EQ(span, (std::pair<double, double>{-20, 210}));
}

}  // namespace
