#include "widgets/limits_gauge.h"

#include "widgets/strip_chart.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace widgets {

namespace {
const QColor kTrackColour(0x2b, 0x30, 0x38);
const QColor kBandColour(0x3f, 0xa3, 0x5b);
const QColor kReadingColour(0x4d, 0xab, 0xf7);
const QColor kLowColour(0x1c, 0x7e, 0xd6);
const QColor kHighColour(0xe0, 0x3e, 0x3e);
constexpr int kGrabRadius = 9;
}  // namespace

double GaugeTrack::clamp(double value) const
{
    return std::clamp(value, std::min(minimum, maximum), std::max(minimum, maximum));
}

double GaugeTrack::xOf(double value) const
{
    if (maximum == minimum)
        return x0;
    return x0 + (clamp(value) - minimum) * (x1 - x0) / (maximum - minimum);
}

double GaugeTrack::valueAt(double x) const
{
    if (x1 == x0)
        return minimum;
    return clamp(minimum + (x - x0) * (maximum - minimum) / (x1 - x0));
}

LimitsGauge::LimitsGauge(QWidget* parent) : QWidget(parent)
{
    m_pointers[kLowPointer].movable = true;
    m_pointers[kHighPointer].movable = true;
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LimitsGauge::setScale(double minimum, double maximum)
{
    // The window restates the scale, units and bands every display cycle;
    // only a change is worth a repaint.
    if (minimum == m_min && maximum == m_max)
        return;
    m_min = minimum;
    m_max = maximum;
    const GaugeTrack t = track();
    for (auto& p : m_pointers) {
        p.value = t.clamp(p.value);
        p.lower = t.clamp(p.lower);
        p.upper = t.clamp(p.upper);
    }
    update();
}

void LimitsGauge::setPointerValue(int pointer, double value)
{
    if (!valid(pointer))
        return;
    const GaugeTrack t = track();
    double& shown = m_pointers[std::size_t(pointer)].value;
    const double placed = t.clamp(value);
    if (placed == shown)
        return;
    // The reading changes every display cycle: repaint only the stretch of
    // the track its bar moved over, so the panels beneath repaint no more.
    if (pointer == kReadingPointer) {
        const double a = std::min(t.xOf(shown), t.xOf(placed));
        const double b = std::max(t.xOf(shown), t.xOf(placed));
        const QRect r = trackRect();
        update(QRect(int(std::floor(a)) - 3, r.top(), int(std::ceil(b - a)) + 7, r.height()));
    } else {
        update();
    }
    shown = placed;
}

double LimitsGauge::pointerValue(int pointer) const
{
    return valid(pointer) ? m_pointers[std::size_t(pointer)].value : 0;
}

void LimitsGauge::setBandLower(int pointer, double value)
{
    if (pointer != 0 && pointer != 1)
        return;
    const double placed = track().clamp(value);
    if (placed == m_pointers[std::size_t(pointer)].lower)
        return;
    m_pointers[std::size_t(pointer)].lower = placed;
    update();
}

void LimitsGauge::setBandUpper(int pointer, double value)
{
    if (pointer != 0 && pointer != 1)
        return;
    const double placed = track().clamp(value);
    if (placed == m_pointers[std::size_t(pointer)].upper)
        return;
    m_pointers[std::size_t(pointer)].upper = placed;
    update();
}

double LimitsGauge::bandLower(int pointer) const
{
    return pointer == 0 || pointer == 1 ? m_pointers[std::size_t(pointer)].lower : 0;
}

double LimitsGauge::bandUpper(int pointer) const
{
    return pointer == 0 || pointer == 1 ? m_pointers[std::size_t(pointer)].upper : 0;
}

void LimitsGauge::setStep(double step)
{
    if (step > 0)
        m_step = step;
}

void LimitsGauge::setUnits(const QString& units)
{
    if (units == m_units)
        return;
    m_units = units;
    update();
}

void LimitsGauge::setPointerMovable(int pointer, bool movable)
{
    if (isMarker(pointer))
        m_pointers[std::size_t(pointer)].movable = movable;
}

bool LimitsGauge::isPointerMovable(int pointer) const
{
    return isMarker(pointer) && m_pointers[std::size_t(pointer)].movable;
}

void LimitsGauge::setActivePointer(int pointer)
{
    if (isMarker(pointer)) {
        m_active = pointer;
        update();
    }
}

QRect LimitsGauge::trackRect() const
{
    // Measuring shapes text, and every reading asks for the track.
    if (!m_margins) {
        const QFontMetrics fm = fontMetrics();
        m_margins = {fm.horizontalAdvance(QStringLiteral("-0000")) / 2 + 8, fm.height() + 14};
    }
    const auto [side, top] = *m_margins;  // top leaves room for the marker labels
    return {side, top, std::max(1, width() - 2 * side), 16};
}

GaugeTrack LimitsGauge::track() const
{
    const QRect r = trackRect();
    return {m_min, m_max, double(r.left()), double(r.right())};
}

QPoint LimitsGauge::pointerHandle(int pointer) const
{
    const QRect r = trackRect();
    return {int(std::lround(track().xOf(pointerValue(pointer)))), r.center().y()};
}

QSize LimitsGauge::sizeHint() const { return {420, minimumSizeHint().height()}; }

QSize LimitsGauge::minimumSizeHint() const
{
    const QFontMetrics fm = fontMetrics();
    return {200, trackRect().bottom() + 10 + fm.height() + 6};
}

double LimitsGauge::snap(double value) const { return track().clamp(std::round(value / m_step) * m_step); }

QString LimitsGauge::formatValue(double value) const
{
    const QString number = QString::number(value, 'f', m_step < 1 ? 1 : 0);
    return m_units.isEmpty() ? number : number + QLatin1Char(' ') + m_units;
}

int LimitsGauge::markerAt(const QPoint& pos) const
{
    // The active marker wins when both sit on the same spot, so two limits
    // pushed together can still be pulled apart.
    int best = -1;
    double bestDistance = kGrabRadius + 1;
    for (int p : {m_active, m_active == kLowPointer ? kHighPointer : kLowPointer}) {
        if (!isPointerMovable(p))
            continue;
        const double d = std::abs(pos.x() - pointerHandle(p).x());
        if (d < bestDistance) {
            best = p;
            bestDistance = d;
        }
    }
    return best;
}

void LimitsGauge::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    const int marker = markerAt(event->position().toPoint());
    if (marker < 0)
        return;
    m_dragging = marker;
    m_active = marker;
    update();
}

void LimitsGauge::mouseMoveEvent(QMouseEvent* event)
{
    emit hovered();
    if (m_dragging < 0) {
        setCursor(markerAt(event->position().toPoint()) >= 0 ? Qt::SizeHorCursor : Qt::ArrowCursor);
        return;
    }
    const double value = snap(track().valueAt(event->position().x()));
    if (value == m_pointers[std::size_t(m_dragging)].value)
        return;
    m_pointers[std::size_t(m_dragging)].value = value;
    update();
    emit pointerMoving(m_dragging, value);
}

void LimitsGauge::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || m_dragging < 0)
        return QWidget::mouseReleaseEvent(event);
    const int pointer = m_dragging;
    m_dragging = -1;
    emit pointerReleased(pointer, m_pointers[std::size_t(pointer)].value);
}

void LimitsGauge::keyPressEvent(QKeyEvent* event)
{
    double delta = 0;
    switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Down: delta = -m_step; break;
    case Qt::Key_Right:
    case Qt::Key_Up: delta = m_step; break;
    case Qt::Key_PageDown: delta = -10 * m_step; break;
    case Qt::Key_PageUp: delta = 10 * m_step; break;
    case Qt::Key_Space: setActivePointer(m_active == kLowPointer ? kHighPointer : kLowPointer); return;
    default: return QWidget::keyPressEvent(event);
    }
    if (!isPointerMovable(m_active))
        return;
    const double value = snap(m_pointers[std::size_t(m_active)].value + delta);
    if (value == m_pointers[std::size_t(m_active)].value)
        return;
    m_pointers[std::size_t(m_active)].value = value;
    update();
    emit pointerMoving(m_active, value);
    emit pointerReleased(m_active, value);
}

void LimitsGauge::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        m_margins.reset();
    QWidget::changeEvent(event);
}

void LimitsGauge::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect r = trackRect();
    const GaugeTrack t = track();
    const QFontMetrics fm = fontMetrics();
    const QColor text = palette().color(QPalette::WindowText);

    p.setPen(Qt::NoPen);
    p.setBrush(kTrackColour);
    p.drawRoundedRect(r, 3, 3);

    // Bands: band 0 fills the track, band 1 is a thin strip beneath it.
    for (int b = 0; b < 2; ++b) {
        const auto& band = m_pointers[std::size_t(b)];
        const double xa = t.xOf(std::min(band.lower, band.upper));
        const double xb = t.xOf(std::max(band.lower, band.upper));
        QColor c = kBandColour;
        c.setAlpha(b == 0 ? 90 : 220);
        p.setBrush(c);
        if (b == 0)
            p.drawRect(QRectF(xa, r.top(), xb - xa, r.height()));
        else
            p.drawRect(QRectF(xa, r.bottom() + 2, xb - xa, 3));
    }

    // Reading: a bar from the scale's start.
    const double xr = t.xOf(pointerValue(kReadingPointer));
    p.setBrush(kReadingColour);
    p.drawRoundedRect(QRectF(r.left(), r.top() + 4, std::max(0.0, xr - r.left()), r.height() - 8), 2, 2);

    // Scale: ticks and labels below the track.
    p.setPen(QPen(text, 1));
    const auto ticks = niceTicks(m_min, m_max, std::max(3, r.width() / 60));
    for (double v : ticks) {
        const double x = t.xOf(v);
        p.drawLine(QPointF(x, r.bottom() + 6), QPointF(x, r.bottom() + 10));
        const QString label = QString::number(v, 'g', 6);
        const int w = fm.horizontalAdvance(label);
        p.drawText(QRectF(x - w / 2.0 - 2, r.bottom() + 11, w + 4, fm.height()), Qt::AlignCenter, label);
    }

    // Markers: a triangle pointing down at the track, with its value above.
    for (int m : {kLowPointer, kHighPointer}) {
        const double x = t.xOf(pointerValue(m));
        const QColor c = m == kLowPointer ? kLowColour : kHighColour;
        QPainterPath tri;
        tri.moveTo(x, r.top() + 2);
        tri.lineTo(x - 7, r.top() - 9);
        tri.lineTo(x + 7, r.top() - 9);
        tri.closeSubpath();
        p.setPen(QPen(m == m_active && hasFocus() ? text : c.darker(140), m == m_active && hasFocus() ? 2 : 1));
        p.setBrush(c);
        p.drawPath(tri);
        p.drawLine(QPointF(x, r.top()), QPointF(x, r.bottom()));
        const QString label =
            (m == kLowPointer ? QStringLiteral("Low ") : QStringLiteral("High ")) + formatValue(pointerValue(m));
        const int w = fm.horizontalAdvance(label);
        // Keep the two labels inside the widget and apart from each other.
        double lx = std::clamp(x - w / 2.0, 0.0, double(width() - w));
        if (m == kHighPointer) {
            const double lowX = t.xOf(pointerValue(kLowPointer));
            const int lowW = fm.horizontalAdvance(QStringLiteral("Low ") + formatValue(pointerValue(kLowPointer)));
            const double lowRight = std::clamp(lowX - lowW / 2.0, 0.0, double(width() - lowW)) + lowW + 6;
            lx = std::max(lx, lowRight);
        }
        p.setPen(text);
        p.drawText(QRectF(lx, r.top() - 11 - fm.height(), w + 2, fm.height()), Qt::AlignLeft | Qt::AlignVCenter, label);
    }
}

}  // namespace widgets
