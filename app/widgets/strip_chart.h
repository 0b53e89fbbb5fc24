// A five-channel strip chart: each channel takes values one at a time and
// the newest sample sits at the right edge, older ones scroll left. History
// is a fixed ring per channel, so memory stays flat however long it runs.
// Temperature-like channels use the left axis, speed-like ones the right.
#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace widgets {

// Fixed-capacity ring of samples, oldest first.
class SampleRing {
public:
    explicit SampleRing(int capacity = 0) { setCapacity(capacity); }

    void setCapacity(int capacity);
    int capacity() const { return int(m_data.size()); }
    int size() const { return m_size; }
    void push(float value);
    void clear() { m_size = 0, m_head = 0; }
    // index 0 is the oldest sample kept.
    float at(int index) const;

private:
    std::vector<float> m_data;
    int m_head = 0;  // next slot to write
    int m_size = 0;
};

// Where a value lands on a vertical axis spanning `top`..`bottom` over the
// pixel rows y0 (top) to y1 (bottom). Plain arithmetic, shared by painting
// and tests.
constexpr double axisY(double value, double top, double bottom, double y0, double y1)
{
    return top == bottom ? y1 : y0 + (top - value) * (y1 - y0) / (top - bottom);
}

// Tick values for an axis: a "nice" step (1, 2 or 5 times a power of ten)
// giving at most `maxTicks` ticks between low and high, inclusive.
std::vector<double> niceTicks(double low, double high, int maxTicks);

class StripChart : public QWidget {
    Q_OBJECT

public:
    static constexpr int kChannels = 5;
    enum class Axis { Left, Right };

    explicit StripChart(QWidget* parent = nullptr);

    // The plot area's colour, for panels beside the chart that show bright
    // label colours and should read like it.
    static QColor plotBackground();

    // Adds one sample to a channel; a channel outside 0..4 is ignored.
    void addPoint(double value, int channel);
    // A sample that was not taken: the trace breaks there (pointAt gives NaN).
    void addGap(int channel);
    void clear();

    int pointCount(int channel) const;
    // index 0 is the oldest sample kept.
    double pointAt(int channel, int index) const;
    // Nothing after a gap.
    std::optional<double> lastValue(int channel) const;

    // A caption of blanks hides the channel from the legend.
    void setCaption(int channel, const QString& caption);
    QString caption(int channel) const;
    void setChannelColour(int channel, const QColor& colour);
    QColor channelColour(int channel) const;
    void setChannelAxis(int channel, Axis axis);
    Axis channelAxis(int channel) const;

    // Left (primary) axis, top value first as the callers state scales.
    void setScale(double top, double bottom);
    double scaleTop() const { return m_left.top; }
    double scaleBottom() const { return m_left.bottom; }
    void setRightScale(double top, double bottom);
    double rightScaleTop() const { return m_right.top; }
    double rightScaleBottom() const { return m_right.bottom; }
    void setAxisUnits(const QString& left, const QString& right);

    // Samples shown across the plot, and the time one sample stands for
    // (labels the time axis in seconds).
    void setTimeSpan(int samples);
    int timeSpan() const { return m_span; }
    void setSampleInterval(double seconds);
    double sampleInterval() const { return m_interval; }

    // Shown across the plot while no channel has a sample.
    void setEmptyText(const QString& text);
    QString emptyText() const { return m_emptyText; }

    // Samples kept per channel; at least the time span.
    void setHistoryCapacity(int samples);
    int historyCapacity() const { return m_rings[0].capacity(); }

    // The expanded layout adds the latest value of each channel to the
    // legend and a finer grid.
    void setExpanded(bool expanded);
    bool isExpanded() const { return m_expanded; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The area the traces are drawn in (widget coordinates).
    QRect plotRect() const;

    // Draws the traces afresh on the next paint instead of adding to what
    // is drawn; the pixels come out the same either way.
    void redrawTraces();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct AxisScale {
        double top = 120;
        double bottom = -20;
        QString units;
    };
    void invalidateFrame();
    void renderFrame();
    // Legend entries flow over the plot's width and wrap onto more rows
    // when they do not fit (the expanded layout adds each latest value).
    struct LegendSlot {
        int channel;
        int row;
        int x;
        int width;  // up to the next entry in the row, or the plot's edge
    };
    std::pair<int, int> plotColumns() const;
    int legendRowHeight() const;
    // Cached: it shapes texts, and every sample asks for the plot area.
    const std::vector<LegendSlot>& legendLayout() const;
    QString legendText(int channel, bool widest) const;
    QRect legendRect() const;
    QRect legendEntryRect(const LegendSlot& slot) const;
    // Draws the entries the region reaches: a changed value repaints its own.
    void drawLegend(QPainter& painter, const QRegion& region) const;

    std::array<SampleRing, kChannels> m_rings;
    std::array<QString, kChannels> m_captions;
    std::array<QColor, kChannels> m_colours;
    std::array<Axis, kChannels> m_axes{};
    AxisScale m_left;
    AxisScale m_right{8000, 0, {}};
    int m_span = 300;
    double m_interval = 0.21;
    bool m_expanded = false;
    QString m_emptyText;
    QPixmap m_frame;  // background, grid and axes; redrawn only when they change
    bool m_frameValid = false;
    mutable std::vector<LegendSlot> m_legend;
    mutable bool m_legendValid = false;
    mutable std::optional<std::pair<int, int>> m_axisWidths;  // left, right
    // The traces are kept drawn in an image of the plot (device pixels, with
    // margins so no segment is ever cut by its edges). A new sample scrolls
    // the image and draws only the newest segments; on the screen the plot
    // is scrolled too and only the new strip and the moved grid columns are
    // painted. Sample x positions sit on whole device pixels, counted from a
    // chart-wide sample clock, so scrolled pixels equal redrawn ones.
    struct TraceGeometry {
        QRect inner;  // widget coordinates of the visible inside of the plot
        double dpr = 1;
        double dx = 1;   // device pixels per sample
        int margin = 0;  // device columns left of the inside
        int edge = 0;    // image column of the newest sample
        int top = 0;     // image row of the plot's top border
        int bottom = 0;  // image row of the plot's bottom border
        bool operator==(const TraceGeometry&) const = default;
    };
    TraceGeometry traceGeometry() const;
    int64_t column(uint64_t clock) const;
    uint64_t clock() const;
    void drawSegments(QImage& image, int fromColumn, int offset) const;
    bool advanceTraces();
    void renderTraces();
    void scheduleTraceRepaint();
    std::vector<int> gridColumns() const;

    std::array<uint64_t, kChannels> m_pushed{};  // samples ever added per channel
    std::array<uint64_t, kChannels> m_drawn{};   // as the traces image shows them
    QImage m_traces;
    int m_viewLeft = 0;  // image column where the view of the traces starts
    TraceGeometry m_traceGeometry;
    bool m_tracesValid = false;
    std::array<uint64_t, kChannels> m_screen{};  // as the screen was last scrolled to
    TraceGeometry m_screenGeometry;
    bool m_repaintQueued = false;
    std::array<QString, kChannels> m_legendShown;
};

}  // namespace widgets
