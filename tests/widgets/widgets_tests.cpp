// The project's own widgets: what they keep, how values map to pixels, and
// what the gauge reports while a user drags or keys its markers.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QScreen>
#include <QTest>
#include <cmath>

#include "widgets/indicators.h"
#include "widgets/limits_gauge.h"
#include "widgets/ribbon_toggle.h"
#include "widgets/strip_chart.h"

namespace {

using widgets::GaugeTrack;
using widgets::LimitsGauge;
using widgets::SampleRing;
using widgets::StripChart;

TEST(SampleRing, KeepsTheNewestSamplesOldestFirst)
{
    SampleRing ring(3);
    for (float v : {1.f, 2.f, 3.f, 4.f, 5.f})
        ring.push(v);
    ASSERT_EQ(ring.size(), 3);
    EXPECT_EQ(ring.at(0), 3.f);
    EXPECT_EQ(ring.at(2), 5.f);

    // Growing keeps what is there; shrinking keeps the newest.
    ring.setCapacity(5);
    ring.push(6.f);
    EXPECT_EQ(ring.size(), 4);
    EXPECT_EQ(ring.at(0), 3.f);
    ring.setCapacity(2);
    EXPECT_EQ(ring.size(), 2);
    EXPECT_EQ(ring.at(0), 5.f);
    EXPECT_EQ(ring.at(1), 6.f);
}

TEST(StripChart, HistoryStaysBoundedAndChannelsStaySeparate)
{
    StripChart chart;
    chart.setTimeSpan(100);
    chart.setHistoryCapacity(500);
    for (int i = 0; i < 10000; ++i)
        chart.addPoint(i, i % 2 == 0 ? 0 : 4);
    chart.addPoint(1, 5);  // no such channel: ignored
    chart.addPoint(1, -1);
    EXPECT_EQ(chart.pointCount(0), 500);
    EXPECT_EQ(chart.pointCount(4), 500);
    EXPECT_EQ(chart.pointCount(1), 0);
    EXPECT_EQ(chart.lastValue(0), 9998.0);
    EXPECT_EQ(chart.lastValue(4), 9999.0);
    EXPECT_FALSE(chart.lastValue(2).has_value());

    // History can never be shorter than what the plot shows.
    chart.setHistoryCapacity(10);
    EXPECT_EQ(chart.historyCapacity(), 100);

    chart.clear();
    EXPECT_EQ(chart.pointCount(0), 0);
}

TEST(StripChart, PaintsAtAnySizeWithoutData)
{
    StripChart chart;
    for (QSize size : {QSize(1, 1), QSize(30, 20), QSize(800, 400)}) {
        chart.resize(size);
        EXPECT_FALSE(chart.grab().isNull());
    }
    chart.setScale(120, -20);
    chart.addPoint(500, 1);  // far outside the scale: clipped, not a crash
    chart.setExpanded(true);
    EXPECT_FALSE(chart.grab().isNull());
}

// The expanded legend adds each latest value; where five entries do not fit
// across the plot they wrap, and the plot moves down rather than being
// written over.
TEST(StripChart, ExpandedLegendWrapsAndThePlotMakesRoom)
{
    StripChart chart;
    chart.resize(520, 300);
    for (int c = 0; c < StripChart::kChannels; ++c) {
        chart.setCaption(c, QStringLiteral("Fan%1").arg(c));
        chart.addPoint(-55.5, c);
    }
    const int oneRowTop = chart.plotRect().top();
    chart.setExpanded(true);
    EXPECT_GT(chart.plotRect().top(), oneRowTop);
    for (int c = 1; c < StripChart::kChannels; ++c)
        chart.setCaption(c, QStringLiteral(" "));
    EXPECT_EQ(chart.plotRect().top(), oneRowTop);  // blank captions take no room
}

// A flat trace is one pixel thick in the normal view and two in the
// expanded one, drawn in the channel's colour.
TEST(StripChart, TraceThicknessFollowsTheLayout)
{
    StripChart chart;
    chart.resize(400, 240);
    chart.setTimeSpan(50);
    chart.setChannelColour(0, QColor(255, 0, 255));
    for (int i = 0; i < 50; ++i)
        chart.addPoint(50, 0);
    auto thickness = [&] {
        const QImage image = chart.grab().toImage();
        const int x = chart.plotRect().center().x();
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            count += image.pixelColor(x, y) == QColor(255, 0, 255) ? 1 : 0;
        return count;
    };
    EXPECT_EQ(thickness(), 1);
    chart.setExpanded(true);
    EXPECT_EQ(thickness(), 2);
}

// Samples that were not taken break the trace: nothing is drawn across the
// gap (not a line to 0, nor one bridging it), the legend has no value, and
// the incremental drawing agrees with a redraw.
TEST(StripChart, AGapBreaksTheTrace)
{
    StripChart chart;
    chart.resize(400, 240);
    chart.setTimeSpan(60);
    chart.setChannelColour(0, QColor(255, 0, 255));
    // Whether any pixel of the trace lies between `fromAge` and `toAge`
    // samples back from the newest (the right edge).
    const auto traced = [&](double fromAge, double toAge) {
        const QImage image = chart.grab().toImage();
        const QRect plot = chart.plotRect();
        const double perSample = plot.width() / 60.0;
        for (int x = int(plot.right() - toAge * perSample); x <= int(plot.right() - fromAge * perSample); ++x)
            for (int y = plot.top(); y <= plot.bottom(); ++y)
                if (image.pixelColor(x, y) == QColor(255, 0, 255))
                    return true;
        return false;
    };
    const auto feed = [&](bool gap) {
        for (int i = 0; i < 20; ++i) {
            if (gap)
                chart.addGap(0);
            else
                chart.addPoint(50, 0);
            (void)chart.grab();
        }
    };
    feed(false);
    feed(true);
    EXPECT_EQ(chart.pointCount(0), 40);
    EXPECT_TRUE(std::isnan(chart.pointAt(0, 39)));
    EXPECT_FALSE(chart.lastValue(0).has_value());
    EXPECT_FALSE(traced(1, 18)) << "the gap was drawn";
    EXPECT_TRUE(traced(22, 38));
    feed(false);
    EXPECT_EQ(chart.lastValue(0), 50.0);
    EXPECT_TRUE(traced(1, 18));
    EXPECT_FALSE(traced(21, 38)) << "a line across the gap";
    const QImage incremental = chart.grab().toImage();
    chart.redrawTraces();
    EXPECT_EQ(incremental, chart.grab().toImage());
}

// A new sample scrolls what is drawn and adds a strip; the pixels must be
// those a redraw from scratch gives, over many samples, traces leaving the
// scale, a scale change and the expanded layout.
TEST(StripChart, IncrementalTracesMatchAFullRedraw)
{
    StripChart chart;
    chart.resize(430, 260);
    chart.setTimeSpan(120);
    chart.setRightScale(4000, 0);
    chart.setChannelAxis(3, StripChart::Axis::Right);
    int tick = 0;
    const auto feed = [&](int count) {
        for (const int end = tick + count; tick < end; ++tick) {
            // The window feeds one channel per timer tick, a paint between.
            chart.addPoint(40 + 100 * std::sin(tick * 0.21), 0);
            (void)chart.grab();
            chart.addPoint(tick % 17 * 9.0 - 30, 1);
            (void)chart.grab();
            chart.addPoint(3000 + 2500 * std::sin(tick * 0.05), 3);
            (void)chart.grab();
        }
    };
    const auto matchesRedraw = [&] {
        const QImage incremental = chart.grab().toImage();
        chart.redrawTraces();
        return incremental == chart.grab().toImage();
    };
    feed(400);
    EXPECT_TRUE(matchesRedraw());
    chart.setScale(100, 0);
    feed(60);
    EXPECT_TRUE(matchesRedraw());
    chart.setExpanded(true);
    feed(200);
    EXPECT_TRUE(matchesRedraw());
}

// On the screen the plot is scrolled and only the new strip and the moved
// grid lines are painted: the window must still show what a full paint does.
TEST(StripChart, ScrolledScreenMatchesAFullPaint)
{
    StripChart chart;
    chart.resize(430, 260);
    chart.setTimeSpan(90);
    for (int c = 0; c < StripChart::kChannels; ++c)
        chart.setCaption(c, QStringLiteral("T%1").arg(c));
    chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chart));
    int tick = 0;
    const auto feed = [&](int count) {
        for (const int end = tick + count; tick < end; ++tick) {
            chart.addPoint(50 + 60 * std::sin(tick * 0.3), 0);
            chart.addPoint(20 + tick % 40, 2);
            QCoreApplication::processEvents();
            chart.addPoint(6000 * std::abs(std::cos(tick * 0.07)), 4);
            QCoreApplication::processEvents();
        }
    };
    const auto screenMatches = [&] {
        QCoreApplication::processEvents();
        const QImage shown = chart.screen()->grabWindow(chart.winId()).toImage().convertToFormat(QImage::Format_RGB32);
        chart.redrawTraces();
        return shown == chart.grab().toImage().convertToFormat(QImage::Format_RGB32);
    };
    feed(300);
    EXPECT_TRUE(screenMatches());
    chart.setExpanded(true);
    feed(150);
    EXPECT_TRUE(screenMatches());
}

TEST(AxisMath, ValuesMapLinearlyAndTicksAreRound)
{
    EXPECT_DOUBLE_EQ(widgets::axisY(120, 120, -20, 10, 150), 10);
    EXPECT_DOUBLE_EQ(widgets::axisY(-20, 120, -20, 10, 150), 150);
    EXPECT_DOUBLE_EQ(widgets::axisY(50, 120, -20, 10, 150), 80);

    const auto ticks = widgets::niceTicks(-20, 120, 8);
    ASSERT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.front(), -20);
    EXPECT_EQ(ticks.back(), 120);
    EXPECT_LE(ticks.size(), 8u);
    EXPECT_TRUE(widgets::niceTicks(5, 5, 8).empty());
}

TEST(GaugeTrack, MapsBothWaysAndClamps)
{
    const GaugeTrack t{-55, 127, 20, 202};
    EXPECT_DOUBLE_EQ(t.xOf(-55), 20);
    EXPECT_DOUBLE_EQ(t.xOf(127), 202);
    EXPECT_DOUBLE_EQ(t.xOf(0), 75);
    EXPECT_DOUBLE_EQ(t.valueAt(75), 0);
    EXPECT_DOUBLE_EQ(t.valueAt(-500), -55);
    EXPECT_DOUBLE_EQ(t.valueAt(5000), 127);
}

struct PaintCount : QObject {
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

class GaugeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gauge.resize(400, gauge.minimumSizeHint().height());
        gauge.setScale(-55, 127);
        gauge.setPointerValue(LimitsGauge::kLowPointer, 0);
        gauge.setPointerValue(LimitsGauge::kHighPointer, 90);
        gauge.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&gauge));
    }
    QPoint at(double value) const { return {int(std::lround(gauge.track().xOf(value))), gauge.pointerHandle(2).y()}; }
    LimitsGauge gauge;
};

TEST_F(GaugeTest, DragReportsWhileMovingAndOnceOnRelease)
{
    QSignalSpy moving(&gauge, &LimitsGauge::pointerMoving);
    QSignalSpy released(&gauge, &LimitsGauge::pointerReleased);
    QTest::mousePress(&gauge, Qt::LeftButton, {}, gauge.pointerHandle(LimitsGauge::kLowPointer));
    QTest::mouseMove(&gauge, at(-10));
    QTest::mouseMove(&gauge, at(-20));
    EXPECT_EQ(gauge.draggedPointer(), LimitsGauge::kLowPointer);
    QTest::mouseRelease(&gauge, Qt::LeftButton, {}, at(-20));

    EXPECT_GE(moving.count(), 2);
    ASSERT_EQ(released.count(), 1);
    EXPECT_EQ(released.at(0).at(0).toInt(), LimitsGauge::kLowPointer);
    // Values snap to whole steps.
    const double v = gauge.pointerValue(LimitsGauge::kLowPointer);
    EXPECT_EQ(v, std::round(v));
    EXPECT_NEAR(v, -20, 1);
    EXPECT_EQ(gauge.pointerValue(LimitsGauge::kHighPointer), 90);
    EXPECT_EQ(gauge.draggedPointer(), -1);
}

TEST_F(GaugeTest, DragBeyondTheScaleStopsAtItsEnd)
{
    QTest::mousePress(&gauge, Qt::LeftButton, {}, gauge.pointerHandle(LimitsGauge::kHighPointer));
    QTest::mouseMove(&gauge, QPoint(gauge.width() - 1, gauge.pointerHandle(3).y()));
    QTest::mouseRelease(&gauge, Qt::LeftButton, {}, QPoint(gauge.width() - 1, gauge.pointerHandle(3).y()));
    EXPECT_EQ(gauge.pointerValue(LimitsGauge::kHighPointer), 127);
}

TEST_F(GaugeTest, KeysMoveTheActiveMarkerAndReportBothNotifications)
{
    QSignalSpy moving(&gauge, &LimitsGauge::pointerMoving);
    QSignalSpy released(&gauge, &LimitsGauge::pointerReleased);
    gauge.setFocus();
    QTest::keyClick(&gauge, Qt::Key_Left);
    EXPECT_EQ(gauge.pointerValue(LimitsGauge::kLowPointer), -1);
    QTest::keyClick(&gauge, Qt::Key_Space);  // switch to the high marker
    QTest::keyClick(&gauge, Qt::Key_PageUp);
    EXPECT_EQ(gauge.pointerValue(LimitsGauge::kHighPointer), 100);
    EXPECT_EQ(moving.count(), 2);
    EXPECT_EQ(released.count(), 2);

    // A marker that is not movable ignores mouse and keys.
    gauge.setPointerMovable(LimitsGauge::kHighPointer, false);
    QTest::keyClick(&gauge, Qt::Key_Right);
    EXPECT_EQ(gauge.pointerValue(LimitsGauge::kHighPointer), 100);
    EXPECT_EQ(released.count(), 2);
}

TEST_F(GaugeTest, MarkersOnOneSpotCanBePulledApart)
{
    gauge.setPointerValue(LimitsGauge::kHighPointer, 0);
    gauge.setActivePointer(LimitsGauge::kHighPointer);
    QTest::mousePress(&gauge, Qt::LeftButton, {}, gauge.pointerHandle(LimitsGauge::kLowPointer));
    QTest::mouseMove(&gauge, at(40));
    QTest::mouseRelease(&gauge, Qt::LeftButton, {}, at(40));
    EXPECT_NEAR(gauge.pointerValue(LimitsGauge::kHighPointer), 40, 1);
    EXPECT_EQ(gauge.pointerValue(LimitsGauge::kLowPointer), 0);
}

// The window restates the gauge every display cycle: only a change may
// repaint, and the reading's partial repaint must leave what a full paint
// shows.
TEST_F(GaugeTest, RepaintsOnlyForChangesAndThenShowsWhatAFullPaintDoes)
{
    const auto settle = [] {
        for (int i = 0; i < 3; ++i)
            QCoreApplication::processEvents();
    };
    gauge.setUnits(QStringLiteral("°C"));
    gauge.setBandLower(0, 0);
    gauge.setBandUpper(0, 90);
    gauge.setPointerValue(LimitsGauge::kReadingPointer, 20);
    settle();
    PaintCount paints;
    gauge.installEventFilter(&paints);
    gauge.setScale(-55, 127);
    gauge.setUnits(QStringLiteral("°C"));
    gauge.setBandLower(0, 0);
    gauge.setBandUpper(0, 90);
    gauge.setPointerValue(LimitsGauge::kLowPointer, 0);
    gauge.setPointerValue(LimitsGauge::kReadingPointer, 20);
    settle();
    EXPECT_EQ(paints.count, 0);

    for (double reading : {20.5, 64.25, 63.0, -60.0, 140.0, 31.75}) {
        gauge.setPointerValue(LimitsGauge::kReadingPointer, reading);
        settle();
    }
    EXPECT_GT(paints.count, 0);
    const QImage shown = gauge.screen()->grabWindow(gauge.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(shown, gauge.grab().toImage().convertToFormat(QImage::Format_RGB32));
}

TEST(SmallWidgets, StateIsReadableAsTextToo)
{
    widgets::ToggleIndicator lamp;
    EXPECT_EQ(lamp.colourBgr(), 0x00FF00u);
    EXPECT_EQ(lamp.stateText(), QStringLiteral("OK"));
    lamp.setBad(true);
    EXPECT_EQ(lamp.colourBgr(), 0x0000FFu);
    EXPECT_EQ(lamp.stateText(), QStringLiteral("Alarm"));

    widgets::RibbonToggle toggle;
    QSignalSpy toggled(&toggle, &widgets::RibbonToggle::toggled);
    toggle.resize(toggle.sizeHint());
    QTest::mouseClick(&toggle, Qt::LeftButton);
    EXPECT_TRUE(toggle.value());
    toggle.setValue(false);
    EXPECT_EQ(toggled.count(), 2);
}

}  // namespace
