// The strip chart's traces: drawn into an image wider than the plot, which a
// new sample scrolls by a few columns, so a tick repaints a narrow strip and
// the grid lines the scroll moved rather than the whole plot.
#include "widgets/strip_chart.h"

#include <QPainter>
#include <algorithm>
#include <cmath>
#include <limits>

namespace widgets {

namespace {
// Spare columns right of the traces image's view: a new sample moves the
// view into them, and only when they run out is the image shifted back, so
// a sample costs a narrow strip instead of a copy of the whole plot.
constexpr int kSpareColumns = 256;
}  // namespace

StripChart::TraceGeometry StripChart::traceGeometry() const
{
    TraceGeometry g;
    const QRect plot = plotRect();
    g.inner = plot.adjusted(1, 1, -1, -1);
    g.dpr = devicePixelRatioF();
    g.dx = (plot.right() - plot.left()) * g.dpr / (m_span - 1);
    const int passes = std::max(1, int(std::lround(std::max<qreal>(1.0, g.dpr) * (m_expanded ? 1.5 : 1.0))));
    // Wide enough that a segment cut by the left edge never reaches the inside.
    g.margin = int(std::ceil(g.dx)) + passes + 12;
    g.edge = g.margin + int(std::lround(g.inner.width() * g.dpr));
    const int originY = int(std::lround(g.inner.top() * g.dpr)) - 4;
    g.top = int(std::lround(plot.top() * g.dpr)) - originY;
    g.bottom = int(std::lround(plot.bottom() * g.dpr)) - originY;
    return g;
}

int64_t StripChart::column(uint64_t clock) const { return int64_t(std::floor(double(clock) * m_traceGeometry.dx)); }

uint64_t StripChart::clock() const { return *std::max_element(m_pushed.begin(), m_pushed.end()); }

namespace {

// x on whole 1/64 pixels, the rasteriser's own grid, so a segment moved by
// whole pixels rasterises to the same pixels moved.
double onGrid(double x) { return std::round(x * 64) / 64; }

// Cuts a segment to the rows 0..last itself: the painter's own cut would
// depend on where the segment sits. False when nothing is left.
bool clipRows(QPointF& a, QPointF& b, double last)
{
    if ((a.y() < 0 && b.y() < 0) || (a.y() > last && b.y() > last))
        return false;
    const auto cut = [&](QPointF& p, const QPointF& q, double row) {
        const double t = (row - p.y()) / (q.y() - p.y());
        p = QPointF(p.x() + onGrid((q.x() - p.x()) * t), row);
    };
    const QPointF a0 = a;
    if (a.y() < 0)
        cut(a, b, 0);
    else if (a.y() > last)
        cut(a, b, last);
    if (b.y() < 0)
        cut(b, a0, 0);
    else if (b.y() > last)
        cut(b, a0, last);
    return true;
}

}  // namespace

// Draws every segment that reaches column `fromColumn` or beyond and lies
// wholly in the image, whose column 0 is the traces image's column `offset`.
void StripChart::drawSegments(QImage& image, int fromColumn, int offset) const
{
    const TraceGeometry& g = m_traceGeometry;
    const int passes = std::max(1, int(std::lround(std::max<qreal>(1.0, g.dpr) * (m_expanded ? 1.5 : 1.0))));
    const int slack = passes + 4;
    const uint64_t now = clock();
    const int64_t nowColumn = column(now);
    const double lastRow = image.height() - 1;
    QPainter p(&image);
    // One-pixel cosmetic unsmoothed lines take the raster engine's fast
    // path; a wider pen would run the general stroker and its joins. So a
    // wider trace is that thin line drawn again a device pixel further right
    // and down for each extra pixel: flat stretches thicken downwards, steep
    // ones sideways.
    for (int c = 0; c < kChannels; ++c) {
        const SampleRing& ring = m_rings[std::size_t(c)];
        const int n = ring.size();
        if (n == 0)
            continue;
        const AxisScale& scale = m_axes[std::size_t(c)] == Axis::Left ? m_left : m_right;
        QPen pen(m_colours[std::size_t(c)], 1);
        pen.setCosmetic(true);
        p.setPen(pen);
        const uint64_t newest = m_pushed[std::size_t(c)];
        const auto x = [&](int age) { return double(g.edge - (nowColumn - column(newest - uint64_t(age))) - offset); };
        const auto y = [&](int age) { return axisY(ring.at(n - 1 - age), scale.top, scale.bottom, g.top, g.bottom); };
        if (n == 1) {
            if (std::isnan(ring.at(0)))
                continue;
            for (int pass = 0; pass < passes; ++pass) {
                const QPointF point(x(0) + pass, y(0) + pass);
                if (point.y() >= 0 && point.y() <= lastRow)
                    p.drawPoint(point);
            }
            continue;
        }
        for (int age = 0; age + 1 < n; ++age) {
            const double end = x(age);
            const double start = x(age + 1);
            if (end + offset + slack < fromColumn || start < 2)
                break;
            // A gap breaks the trace on both its sides.
            if (std::isnan(ring.at(n - 1 - age)) || std::isnan(ring.at(n - 2 - age)))
                continue;
            for (int pass = 0; pass < passes; ++pass) {
                QPointF a(start + pass, y(age + 1) + pass);
                QPointF b(end + pass, y(age) + pass);
                if (clipRows(a, b, lastRow))
                    p.drawLine(a, b);
            }
        }
    }
}

void StripChart::renderTraces()
{
    m_traceGeometry = traceGeometry();
    const TraceGeometry& g = m_traceGeometry;
    const QSize size(g.edge + 12 + kSpareColumns, int(std::lround(g.inner.height() * g.dpr)) + 8);
    if (m_traces.size() != size)
        m_traces = QImage(size, QImage::Format_ARGB32_Premultiplied);
    m_traces.fill(Qt::transparent);
    m_viewLeft = 0;
    drawSegments(m_traces, std::numeric_limits<int>::min(), 0);
    m_drawn = m_pushed;
    m_tracesValid = true;
}

// Brings the traces image up to the samples added since it was drawn: scrolls
// it and draws only the newest strip. False when it has to be drawn afresh.
bool StripChart::advanceTraces()
{
    if (!m_tracesValid || m_traces.isNull() || traceGeometry() != m_traceGeometry)
        return false;
    if (m_drawn == m_pushed)
        return true;
    const uint64_t drawnClock = *std::max_element(m_drawn.begin(), m_drawn.end());
    const uint64_t now = clock();
    if (now < drawnClock)
        return false;
    const TraceGeometry& g = m_traceGeometry;
    const auto xOf = [&](uint64_t at) { return int64_t(g.edge) - (column(now) - column(at)); };
    const int64_t shift = column(now) - column(drawnClock);
    int64_t changedFrom = g.edge - shift;
    for (int c = 0; c < kChannels; ++c) {
        const SampleRing& ring = m_rings[std::size_t(c)];
        const std::size_t i = std::size_t(c);
        if (ring.size() == 0)
            continue;
        const uint64_t oldest = m_pushed[i] - uint64_t(ring.size() - 1);
        // Segments the ring has dropped must lie clear of the inside.
        if (ring.size() == ring.capacity() && xOf(oldest) >= 2)
            return false;
        if (m_pushed[i] != m_drawn[i])
            changedFrom = std::min(changedFrom, xOf(m_drawn[i] == 0 || m_drawn[i] < oldest ? oldest : m_drawn[i]));
    }
    const int width = m_traces.width() - kSpareColumns;  // the view's
    const int passes = std::max(1, int(std::lround(std::max<qreal>(1.0, g.dpr) * (m_expanded ? 1.5 : 1.0))));
    const int64_t stripLeft = changedFrom - passes - 8;
    const int64_t offset = stripLeft - int64_t(std::ceil(g.dx)) - passes - 12;
    if (offset < 0 || shift >= width)
        return false;
    const int s = int(shift);
    const int left = int(stripLeft);
    // Columns right of the view are always clear: nothing is drawn beyond
    // it, and a shift back clears what it leaves behind.
    if (m_viewLeft + s > kSpareColumns) {
        const int from = m_viewLeft + s;
        for (int row = 0; row < m_traces.height(); ++row) {
            auto* line = reinterpret_cast<uint32_t*>(m_traces.scanLine(row));
            std::memmove(line, line + from, sizeof(uint32_t) * std::size_t(width - s));
            std::fill(line + (width - s), line + m_traces.width(), 0U);
        }
        m_viewLeft = 0;
    } else {
        m_viewLeft += s;
    }
    QImage strip(width - int(offset), m_traces.height(), QImage::Format_ARGB32_Premultiplied);
    strip.fill(Qt::transparent);
    drawSegments(strip, left, int(offset));
    QPainter p(&m_traces);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.drawImage(QPoint(m_viewLeft + left, 0), strip, QRect(left - int(offset), 0, width - left, strip.height()));
    m_drawn = m_pushed;
    return true;
}

void StripChart::redrawTraces() { m_tracesValid = false; }

// Columns (widget coordinates) of the time grid's vertical lines.
std::vector<int> StripChart::gridColumns() const
{
    std::vector<int> columns;
    const QRect plot = plotRect();
    const double spanSeconds = (m_span - 1) * m_interval;
    for (double s : niceTicks(0, spanSeconds, m_expanded ? 13 : 7))
        columns.push_back(int(std::floor(plot.right() - s / spanSeconds * (plot.right() - plot.left()))));
    return columns;
}

// After a tick's samples: scrolls what the screen shows of the traces and
// asks for only what that leaves wrong, the new strip and the grid lines the
// scroll moved.
void StripChart::scheduleTraceRepaint()
{
    m_repaintQueued = false;
    const TraceGeometry g = traceGeometry();
    const auto screenClock = *std::max_element(m_screen.begin(), m_screen.end());
    const uint64_t now = clock();
    if (m_expanded) {
        for (int c = 0; c < kChannels; ++c) {
            QString text = legendText(c, false);
            if (text != m_legendShown[std::size_t(c)]) {
                m_legendShown[std::size_t(c)] = std::move(text);
                for (const LegendSlot& slot : legendLayout()) {
                    if (slot.channel == c)
                        update(legendEntryRect(slot));
                }
            }
        }
    }
    const auto columnAt = [&](uint64_t at) { return int64_t(std::floor(double(at) * g.dx)); };
    const int64_t shift = columnAt(now) - columnAt(screenClock);
    // Device columns left of the right edge that the new samples changed.
    int64_t changed = shift;
    for (int c = 0; c < kChannels; ++c) {
        const std::size_t i = std::size_t(c);
        if (m_pushed[i] != m_screen[i] && m_screen[i] != 0)
            changed = std::max(changed, columnAt(now) - columnAt(m_screen[i]));
    }
    const bool newChannel = std::any_of(m_pushed.begin(), m_pushed.end(), [&](uint64_t k) { return k != 0; }) && [&] {
        for (std::size_t i = 0; i < m_pushed.size(); ++i) {
            if (m_pushed[i] != 0 && m_screen[i] == 0)
                return true;
        }
        return false;
    }();
    const int dpr = int(g.dpr);
    const QRect inner = g.inner;
    const bool incremental = screenClock > 0 && now >= screenClock && g == m_screenGeometry &&
                             g.dpr == std::round(g.dpr) && !newChannel && shift % dpr == 0 &&
                             changed < inner.width() * dpr / 2;
    m_screen = m_pushed;
    m_screenGeometry = g;
    if (!incremental) {
        update(screenClock == 0 ? rect() : inner);
        return;
    }
    const int s = int(shift / dpr);
    if (s > 0)
        scroll(-s, 0, inner);
    const int passes = std::max(1, int(std::lround(std::max(1, dpr) * (m_expanded ? 1.5 : 1.0))));
    const int stripWidth = int(changed / dpr) + (passes + 10) / dpr + 2;
    update(QRect(inner.right() + 1 - stripWidth, inner.top(), stripWidth, inner.height()) & inner);
    if (s > 0) {
        for (int x : gridColumns())
            update(QRect(x - s - 1, inner.top(), s + 3, inner.height()) & inner);
    }
}

}  // namespace widgets
