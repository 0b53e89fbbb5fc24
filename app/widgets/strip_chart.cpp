#include "widgets/strip_chart.h"

#include <QEvent>
#include <QMetaObject>
#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace widgets {

namespace {

constexpr int kDefaultCapacity = 2048;
const QColor kPlotBackground(0x1d, 0x21, 0x28);
const QColor kGridColour(0x3a, 0x40, 0x4a);
const QColor kAxisColour(0x8a, 0x93, 0xa0);

// Distinct on the dark plot and still apart for the common colour-vision
// deficiencies (the legend names each trace as well).
const std::array<QColor, StripChart::kChannels> kDefaultColours{QColor(0xff, 0x6b, 0x6b), QColor(0x4d, 0xab, 0xf7),
                                                                QColor(0x69, 0xdb, 0x7c), QColor(0xda, 0x77, 0xf2),
                                                                QColor(0xff, 0xc0, 0x4d)};

QString formatTick(double value) { return QString::number(value, 'g', 6); }

}  // namespace

void SampleRing::setCapacity(int capacity)
{
    capacity = std::max(capacity, 1);
    std::vector<float> kept;
    const int keep = std::min(m_size, capacity);
    kept.reserve(std::size_t(capacity));
    for (int i = m_size - keep; i < m_size; ++i)
        kept.push_back(at(i));
    kept.resize(std::size_t(capacity));
    m_data = std::move(kept);
    m_size = keep;
    m_head = keep % capacity;
}

void SampleRing::push(float value)
{
    m_data[std::size_t(m_head)] = value;
    m_head = (m_head + 1) % capacity();
    m_size = std::min(m_size + 1, capacity());
}

float SampleRing::at(int index) const
{
    const int start = (m_head - m_size + capacity()) % capacity();
    return m_data[std::size_t((start + index) % capacity())];
}

std::vector<double> niceTicks(double low, double high, int maxTicks)
{
    std::vector<double> ticks;
    if (!(high > low) || maxTicks < 2)
        return ticks;
    const double rough = (high - low) / (maxTicks - 1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
    double step = magnitude * 10;
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (magnitude * m >= rough) {
            step = magnitude * m;
            break;
        }
    }
    for (double v = std::ceil(low / step) * step; v <= high + step * 1e-9; v += step)
        ticks.push_back(std::abs(v) < step * 1e-9 ? 0.0 : v);
    return ticks;
}

QColor StripChart::plotBackground() { return kPlotBackground; }

StripChart::StripChart(QWidget* parent) : QWidget(parent)
{
    for (int c = 0; c < kChannels; ++c) {
        m_rings[std::size_t(c)].setCapacity(kDefaultCapacity);
        m_colours[std::size_t(c)] = kDefaultColours[std::size_t(c)];
    }
    m_left.units = QStringLiteral("°C");
    m_right.units = QStringLiteral("RPM");
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void StripChart::addPoint(double value, int channel)
{
    if (channel < 0 || channel >= kChannels)
        return;
    SampleRing& ring = m_rings[std::size_t(channel)];
    uint64_t& newest = m_pushed[std::size_t(channel)];
    // A channel's first sample joins the others' newest column; each later
    // one takes the next column. Channels fed one after another stand at
    // most one sample apart until the last of them is fed.
    newest = ring.size() == 0 ? std::max<uint64_t>(1, clock()) : newest + 1;
    ring.push(float(value));
    // One scroll for all the channels a tick feeds.
    if (!m_repaintQueued) {
        m_repaintQueued = true;
        QMetaObject::invokeMethod(this, &StripChart::scheduleTraceRepaint, Qt::QueuedConnection);
    }
}

void StripChart::addGap(int channel) { addPoint(std::numeric_limits<double>::quiet_NaN(), channel); }

void StripChart::clear()
{
    for (auto& ring : m_rings)
        ring.clear();
    m_pushed = {};
    m_tracesValid = false;
    update();
}

int StripChart::pointCount(int channel) const
{
    return channel >= 0 && channel < kChannels ? m_rings[std::size_t(channel)].size() : 0;
}

double StripChart::pointAt(int channel, int index) const
{
    if (index < 0 || index >= pointCount(channel))
        return 0;
    return m_rings[std::size_t(channel)].at(index);
}

std::optional<double> StripChart::lastValue(int channel) const
{
    const int n = pointCount(channel);
    if (n == 0 || std::isnan(pointAt(channel, n - 1)))
        return std::nullopt;
    return pointAt(channel, n - 1);
}

void StripChart::setCaption(int channel, const QString& caption)
{
    if (channel < 0 || channel >= kChannels)
        return;
    m_captions[std::size_t(channel)] = caption;
    invalidateFrame();  // the legend may now need another row
}

QString StripChart::caption(int channel) const
{
    return channel >= 0 && channel < kChannels ? m_captions[std::size_t(channel)] : QString();
}

void StripChart::setChannelColour(int channel, const QColor& colour)
{
    if (channel < 0 || channel >= kChannels)
        return;
    m_colours[std::size_t(channel)] = colour;
    m_tracesValid = false;
    update();
}

QColor StripChart::channelColour(int channel) const
{
    return channel >= 0 && channel < kChannels ? m_colours[std::size_t(channel)] : QColor();
}

void StripChart::setChannelAxis(int channel, Axis axis)
{
    if (channel < 0 || channel >= kChannels)
        return;
    m_axes[std::size_t(channel)] = axis;
    invalidateFrame();  // the expanded legend shows this axis's units
}

StripChart::Axis StripChart::channelAxis(int channel) const
{
    return channel >= 0 && channel < kChannels ? m_axes[std::size_t(channel)] : Axis::Left;
}

void StripChart::setScale(double top, double bottom)
{
    m_left.top = top;
    m_left.bottom = bottom;
    invalidateFrame();
}

void StripChart::setRightScale(double top, double bottom)
{
    m_right.top = top;
    m_right.bottom = bottom;
    invalidateFrame();
}

void StripChart::setAxisUnits(const QString& left, const QString& right)
{
    m_left.units = left;
    m_right.units = right;
    invalidateFrame();
}

void StripChart::setTimeSpan(int samples)
{
    m_span = std::max(samples, 2);
    if (historyCapacity() < m_span)
        setHistoryCapacity(m_span);
    invalidateFrame();
}

void StripChart::setSampleInterval(double seconds)
{
    if (seconds > 0) {
        m_interval = seconds;
        invalidateFrame();
    }
}

void StripChart::setHistoryCapacity(int samples)
{
    samples = std::max(samples, m_span);
    for (auto& ring : m_rings)
        ring.setCapacity(samples);
    m_tracesValid = false;
    update();
}

void StripChart::setExpanded(bool expanded)
{
    m_expanded = expanded;
    invalidateFrame();
}

QSize StripChart::sizeHint() const { return {560, 300}; }
QSize StripChart::minimumSizeHint() const { return {240, 140}; }

std::pair<int, int> StripChart::plotColumns() const
{
    // Measuring shapes text, and every sample asks for the plot area.
    if (!m_axisWidths) {
        const QFontMetrics fm = fontMetrics();
        m_axisWidths = {fm.horizontalAdvance(QStringLiteral("-000 °C")) + 10,
                        fm.horizontalAdvance(QStringLiteral("00000")) + 10};
    }
    return {m_axisWidths->first, width() - m_axisWidths->second};
}

int StripChart::legendRowHeight() const { return fontMetrics().height() + 8; }

QString StripChart::legendText(int channel, bool widest) const
{
    QString text = m_captions[std::size_t(channel)].trimmed();
    if (!m_expanded)
        return text;
    const bool left = m_axes[std::size_t(channel)] == Axis::Left;
    const QString& units = left ? m_left.units : m_right.units;
    // The widest value a channel can show keeps the layout still while values change.
    if (widest)
        return text + (left ? QStringLiteral(": -000.00 ") : QStringLiteral(": 00000 ")) + units;
    if (auto v = lastValue(channel))
        text += QStringLiteral(": %1 %2").arg(QString::number(*v, 'f', left ? 2 : 0), units);
    return text;
}

const std::vector<StripChart::LegendSlot>& StripChart::legendLayout() const
{
    if (m_legendValid)
        return m_legend;
    const QFontMetrics fm = fontMetrics();
    const auto [plotLeft, plotRight] = plotColumns();
    const int swatch = fm.height() - 4;
    std::vector<LegendSlot>& entries = m_legend;
    entries.clear();
    int x = plotLeft;
    int row = 0;
    for (int c = 0; c < kChannels; ++c) {
        if (m_captions[std::size_t(c)].trimmed().isEmpty())
            continue;
        const int w = swatch * 2 + 4 + fm.horizontalAdvance(legendText(c, true));
        if (x > plotLeft && x + w > plotRight) {
            ++row;
            x = plotLeft;
        }
        entries.push_back({c, row, x, w});
        x += w + 16;
    }
    // Each entry owns the room up to the next one in its row (or the plot's
    // edge), so a value drawn there never reaches a neighbour.
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const bool lastInRow = i + 1 == entries.size() || entries[i + 1].row != entries[i].row;
        entries[i].width = (lastInRow ? plotRight + 1 : entries[i + 1].x) - entries[i].x;
    }
    m_legendValid = true;
    return entries;
}

QRect StripChart::legendRect() const
{
    const auto& entries = legendLayout();
    const int rows = entries.empty() ? 1 : entries.back().row + 1;
    return {0, 0, width(), rows * legendRowHeight()};
}

QRect StripChart::plotRect() const
{
    const QFontMetrics fm = fontMetrics();
    const auto [left, right] = plotColumns();
    const int top = legendRect().bottom() + 4;
    const int bottom = height() - fm.height() - 8;
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

void StripChart::invalidateFrame()
{
    m_frameValid = false;
    m_tracesValid = false;
    m_legendValid = false;
    update();
}

void StripChart::resizeEvent(QResizeEvent* event)
{
    // The traces image notices a new size by its geometry.
    m_frameValid = false;
    m_legendValid = false;
    QWidget::resizeEvent(event);
}

void StripChart::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange ||
        event->type() == QEvent::StyleChange) {
        m_frameValid = false;
        m_tracesValid = false;
        m_axisWidths.reset();
    }
    m_legendValid = false;
    QWidget::changeEvent(event);
}

void StripChart::renderFrame()
{
    const qreal dpr = devicePixelRatioF();
    m_frame = QPixmap((size() * dpr).expandedTo(QSize(1, 1)));
    m_frame.setDevicePixelRatio(dpr);
    m_frame.fill(palette().color(QPalette::Window));

    QPainter p(&m_frame);
    const QRect plot = plotRect();
    p.fillRect(plot, kPlotBackground);
    const QFontMetrics fm = fontMetrics();

    // Left axis: grid lines at nice values with their labels.
    p.setPen(QPen(kGridColour, 0));
    const auto leftTicks = niceTicks(m_left.bottom, m_left.top, m_expanded ? 15 : 8);
    for (double v : leftTicks) {
        const int y = int(std::lround(axisY(v, m_left.top, m_left.bottom, plot.top(), plot.bottom())));
        p.setPen(QPen(v == 0 ? kAxisColour : kGridColour, 0));
        p.drawLine(plot.left(), y, plot.right(), y);
        p.setPen(palette().color(QPalette::WindowText));
        const QString text = formatTick(v);
        p.drawText(QRect(0, y - fm.height() / 2, plot.left() - 6, fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                   text);
    }
    p.setPen(palette().color(QPalette::WindowText));
    // Units sit in the legend's last row, clear of the top tick labels.
    const QRect legend = legendRect();
    const QRect unitsRow(0, legend.bottom() + 1 - legendRowHeight(), width(), legendRowHeight());
    p.drawText(QRect(0, unitsRow.top(), plot.left() - 6, unitsRow.height()), Qt::AlignRight | Qt::AlignVCenter,
               m_left.units);

    // Right axis: labels and short ticks only, so the grid stays one set of lines.
    const auto rightTicks = niceTicks(m_right.bottom, m_right.top, m_expanded ? 9 : 5);
    for (double v : rightTicks) {
        const int y = int(std::lround(axisY(v, m_right.top, m_right.bottom, plot.top(), plot.bottom())));
        p.setPen(QPen(kAxisColour, 0));
        p.drawLine(plot.right() - 4, y, plot.right(), y);
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(QRect(plot.right() + 6, y - fm.height() / 2, width() - plot.right() - 6, fm.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, formatTick(v));
    }
    p.drawText(QRect(plot.right() + 6, unitsRow.top(), width() - plot.right() - 6, unitsRow.height()),
               Qt::AlignLeft | Qt::AlignVCenter, m_right.units);

    // Time axis: seconds before the newest sample, which sits at the right edge.
    const double spanSeconds = (m_span - 1) * m_interval;
    const auto timeTicks = niceTicks(0, spanSeconds, m_expanded ? 13 : 7);
    for (double s : timeTicks) {
        const double x = plot.right() - s / spanSeconds * (plot.right() - plot.left());
        p.setPen(QPen(kGridColour, 0));
        p.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        p.setPen(palette().color(QPalette::WindowText));
        const QString text = s == 0 ? QStringLiteral("now") : QStringLiteral("-%1 s").arg(formatTick(s));
        const int w = fm.horizontalAdvance(text);
        p.drawText(QRectF(x - w / 2.0 - 2, plot.bottom() + 4, w + 4, fm.height()), Qt::AlignCenter, text);
    }
    p.setPen(QPen(kAxisColour, 0));
    p.drawRect(plot.adjusted(0, 0, -1, -1));
    m_frameValid = true;
}

QRect StripChart::legendEntryRect(const LegendSlot& slot) const
{
    const int rowHeight = legendRowHeight();
    return {slot.x, legendRect().top() + slot.row * rowHeight, slot.width, rowHeight};
}

void StripChart::drawLegend(QPainter& painter, const QRegion& region) const
{
    const QFontMetrics fm = fontMetrics();
    const QRect area = legendRect();
    // The legend stays over the plot; the axis columns keep their units.
    const auto [plotLeft, plotRight] = plotColumns();
    painter.fillRect(QRect(plotLeft, area.top(), plotRight - plotLeft + 1, area.height()),
                     palette().color(QPalette::Window));
    const int swatch = fm.height() - 4;
    const int rowHeight = legendRowHeight();
    painter.setPen(palette().color(QPalette::WindowText));
    for (const LegendSlot& slot : legendLayout()) {
        if (!region.intersects(legendEntryRect(slot)))
            continue;
        const int top = area.top() + slot.row * rowHeight;
        painter.fillRect(QRect(slot.x, top + (rowHeight - swatch) / 2, swatch * 2, swatch),
                         m_colours[std::size_t(slot.channel)]);
        const int textX = slot.x + swatch * 2 + 4;
        painter.drawText(QRect(textX, top, slot.x + slot.width - textX, rowHeight), Qt::AlignLeft | Qt::AlignVCenter,
                         legendText(slot.channel, false));
    }
}

void StripChart::paintEvent(QPaintEvent* event)
{
    if (!m_frameValid || m_frame.devicePixelRatio() != devicePixelRatioF())
        renderFrame();
    if (!advanceTraces())
        renderTraces();
    const TraceGeometry& g = m_traceGeometry;
    QPainter p(this);
    const QRect inner = g.inner;
    for (const QRect& r : event->region()) {
        p.setClipRect(r);
        p.drawPixmap(
            r, m_frame,
            QRectF(QPointF(r.topLeft()) * m_frame.devicePixelRatio(), QSizeF(r.size()) * m_frame.devicePixelRatio()));
        const QRect part = r & inner;
        if (part.isEmpty())
            continue;
        const QRectF source(m_viewLeft + g.margin + (part.left() - inner.left()) * g.dpr,
                            4 + (part.top() - inner.top()) * g.dpr, part.width() * g.dpr, part.height() * g.dpr);
        p.drawImage(QRectF(part), m_traces, source);
    }
    p.setClipping(false);
    if (event->region().intersects(legendRect()))
        drawLegend(p, event->region());
    const bool empty = std::all_of(m_rings.begin(), m_rings.end(), [](const SampleRing& r) { return r.size() == 0; });
    if (empty && !m_emptyText.isEmpty()) {
        p.setPen(kAxisColour);
        p.drawText(plotRect(), Qt::AlignCenter | Qt::TextWordWrap, m_emptyText);
    }
}

void StripChart::setEmptyText(const QString& text)
{
    m_emptyText = text;
    update();
}

}  // namespace widgets
