#include "dialogs/control_curve_plot.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace dialogs {

namespace {

constexpr double HandleRadius = 9.0;  // pixels a press may miss a handle by

QColor channelColour(device::TempChannel channel)
{
    switch (channel) {
    case device::TempChannel::Local: return {0x2E, 0x7D, 0x32};
    case device::TempChannel::Remote1: return {0x15, 0x65, 0xC0};
    case device::TempChannel::Remote2: return {0xC6, 0x28, 0x28};
    }
    return Qt::black;
}

QString shortName(device::TempChannel channel, bool dual)
{
    switch (channel) {
    case device::TempChannel::Local: return QStringLiteral("L");
    case device::TempChannel::Remote1: return dual ? QStringLiteral("R1") : QStringLiteral("R");
    case device::TempChannel::Remote2: return QStringLiteral("R2");
    }
    return {};
}

QPolygonF polyline(const device::ChannelCurve& curve, const device::PlotFrame& f)
{
    QPolygonF line;
    for (const auto& p : device::curvePoints(curve, f.fromC, f.toC))
        line << QPointF(f.x(p.degrees), f.y(p.duty));
    return line;
}

double tickStep(double span)
{
    for (double step : {5.0, 10.0, 20.0, 40.0})
        if (span / step <= 12)
            return step;
    return 50.0;
}

}  // namespace

ControlCurvePlot::ControlCurvePlot(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setFocusPolicy(Qt::ClickFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void ControlCurvePlot::setFan(const device::FanCurves& fan, bool dual)
{
    m_fan = fan;
    m_dual = dual;
    // A refresh may bring fewer curves (the control operation changed).
    if (m_drag && m_drag->hit.curve >= m_fan.curves.size())
        m_drag.reset();
    update();
}

void ControlCurvePlot::setEditable(bool editable)
{
    m_editable = editable;
    if (!editable && m_drag) {
        m_drag.reset();
        emit dragCancelled();
    }
    setCursor(Qt::ArrowCursor);
}

void ControlCurvePlot::setPaths(std::vector<Path> paths)
{
    m_paths = std::move(paths);
    update();
}

void ControlCurvePlot::setSpan(double fromC, double toC)
{
    if (m_drag || !(toC > fromC))
        return;
    m_fromC = fromC;
    m_toC = toC;
    update();
}

device::PlotFrame ControlCurvePlot::frame() const
{
    const QFontMetrics fm(font());
    device::PlotFrame f;
    f.left = fm.horizontalAdvance(QStringLiteral("100 %")) + 10;
    f.top = fm.height() * labelRows() + 6;  // room for the limit labels
    // The unit follows the last tick label on the right.
    f.width = std::max(10.0, width() - f.left - fm.horizontalAdvance(QStringLiteral("000")) / 2.0 -
                                 fm.horizontalAdvance(QStringLiteral("°C")) - 10);
    f.height = std::max(10.0, height() - f.top - fm.height() - 10);
    f.fromC = m_fromC;
    f.toC = m_toC;
    return f;
}

int ControlCurvePlot::currentCode(const device::CurveHit& hit) const
{
    const auto& c = m_fan.curves[hit.curve];
    if (hit.handle == device::CurveHandle::Tmin)
        return device::snapTminCode(c.tminC);
    return device::snapTrangeCode(c.trangeC);
}

device::ChannelCurve ControlCurvePlot::draggedCurve() const
{
    auto c = m_fan.curves[m_drag->hit.curve];
    if (m_drag->hit.handle == device::CurveHandle::Tmin)
        c.tminC = m_drag->code * chiplaw::TminStepDegrees;
    else
        c.trangeC = chiplaw::TrangeDegrees[static_cast<std::size_t>(m_drag->code)];
    return c;
}

void ControlCurvePlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().base());
    p.setRenderHint(QPainter::Antialiasing);
    const auto f = frame();
    const QRectF area(f.left, f.top, f.width, f.height);
    const QFontMetrics fm(font());
    const QColor text = palette().color(QPalette::Text);

    // Grid and scales.
    p.setPen(QPen(QColor(0xE0, 0xE0, 0xE0), 1));
    for (int duty = 0; duty <= 100; duty += 20) {
        const double y = f.y(duty / 100.0);
        p.drawLine(QPointF(area.left(), y), QPointF(area.right(), y));
    }
    const double step = tickStep(f.toC - f.fromC);
    for (double t = std::ceil(f.fromC / step) * step; t <= f.toC + 1e-9; t += step)
        p.drawLine(QPointF(f.x(t), area.top()), QPointF(f.x(t), area.bottom()));
    p.setPen(text);
    for (int duty = 0; duty <= 100; duty += 20) {
        const QString label = QStringLiteral("%1 %").arg(duty);
        p.drawText(QPointF(f.left - 6 - fm.horizontalAdvance(label), f.y(duty / 100.0) + fm.ascent() / 2.0 - 1), label);
    }
    for (double t = std::ceil(f.fromC / step) * step; t <= f.toC + 1e-9; t += step) {
        const QString label = QString::number(t, 'f', 0);
        p.drawText(QPointF(f.x(t) - fm.horizontalAdvance(label) / 2.0, area.bottom() + fm.ascent() + 4), label);
    }
    p.drawText(
        QPointF(area.right() + fm.horizontalAdvance(QStringLiteral("000")) / 2.0 + 4, area.bottom() + fm.ascent() + 4),
        QStringLiteral("°C"));
    p.setPen(QPen(text, 1));
    p.drawRect(area);

    // Limits: high dashed, THERM dash-dotted, each line in its channel's
    // colour. Labels of equal limits merge ("R1 R2 High 60"); the others go
    // to the first label row where they do not overlap a neighbour.
    struct LimitLabel {
        int degrees;
        const char* name;
        QString channels;
        QColor colour;
    };
    std::vector<LimitLabel> labels;
    const bool several = m_fan.curves.size() > 1;
    for (const auto& c : m_fan.curves) {
        const QColor colour = channelColour(c.channel);
        const struct {
            int degrees;
            Qt::PenStyle style;
            const char* name;
        } limits[] = {{c.highC, Qt::DashLine, "High"}, {c.thermC, Qt::DashDotLine, "THERM"}};
        for (const auto& limit : limits) {
            if (limit.degrees < f.fromC || limit.degrees > f.toC)
                continue;
            const double x = f.x(limit.degrees);
            p.setPen(QPen(colour, 1, limit.style));
            p.drawLine(QPointF(x, area.top()), QPointF(x, area.bottom()));
            auto same = std::find_if(labels.begin(), labels.end(), [&](const LimitLabel& l) {
                return l.degrees == limit.degrees && l.name == limit.name;
            });
            const QString name = several ? shortName(c.channel, m_dual) : QString();
            if (same == labels.end())
                labels.push_back({limit.degrees, limit.name, name, colour});
            else if (!name.isEmpty())
                same->channels += QLatin1Char(' ') + name;
        }
    }
    std::sort(labels.begin(), labels.end(), [](const auto& a, const auto& b) { return a.degrees < b.degrees; });
    std::vector<double> rowEnds(static_cast<std::size_t>(labelRows()), -1e9);
    for (const auto& l : labels) {
        const QString label = (l.channels.isEmpty() ? QString() : l.channels + QLatin1Char(' ')) +
                              QLatin1String(l.name) + QLatin1Char(' ') + QString::number(l.degrees);
        const double w = fm.horizontalAdvance(label);
        const double x = std::clamp(f.x(l.degrees) - w / 2, 0.0, width() - w);
        std::size_t row = 0;
        while (row + 1 < rowEnds.size() && rowEnds[row] > x - 6)
            ++row;
        rowEnds[row] = x + w;
        p.setPen(l.colour);
        p.drawText(QPointF(x, f.top - 4 - static_cast<double>(row) * fm.height()), label);
    }

    // Curves: the others thin, the one the fan follows thick and on top.
    p.setClipRect(area.adjusted(-1, -3, 1, 3));
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < m_fan.curves.size(); ++i)
        if (i != m_fan.leading)
            order.push_back(i);
    if (m_fan.leading < m_fan.curves.size())
        order.push_back(m_fan.leading);
    for (std::size_t i : order) {
        const auto& c = m_fan.curves[i];
        const bool leading = i == m_fan.leading;
        QColor colour = channelColour(c.channel);
        if (!leading)
            colour.setAlpha(150);
        p.setPen(QPen(colour, leading ? 3.0 : 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(polyline(c, f));
        for (auto handle : {device::CurveHandle::Tmin, device::CurveHandle::Top}) {
            const auto h = device::handlePoint(c, handle);
            p.setPen(QPen(colour, 1.5));
            p.setBrush(palette().base());
            p.drawRect(QRectF(f.x(h.degrees) - 4, f.y(h.duty) - 4, 8, 8));
        }
    }

    // The curve a drag would write, before it is written.
    if (m_drag) {
        const auto c = draggedCurve();
        const QColor colour = channelColour(c.channel);
        p.setPen(QPen(colour, 2.0, Qt::DashLine));
        p.setBrush(Qt::NoBrush);
        p.drawPolyline(polyline(c, f));
        const auto h = device::handlePoint(c, m_drag->hit.handle);
        p.setBrush(colour);
        p.drawRect(QRectF(f.x(h.degrees) - 5, f.y(h.duty) - 5, 10, 10));
        const QString label = m_drag->hit.handle == device::CurveHandle::Tmin
                                  ? QStringLiteral("Tmin %1 °C").arg(c.tminC)
                                  : QStringLiteral("Trange %1 °C").arg(c.trangeC);
        const double w = fm.horizontalAdvance(label);
        const double x = std::clamp(f.x(h.degrees) + 8, area.left() + 2, area.right() - w - 2);
        const double y = h.duty > 0.85 ? f.y(h.duty) + fm.height() + 6 : f.y(h.duty) - 8;
        p.setPen(colour);
        p.drawText(QPointF(x, y), label);
    }

    // Paths of a run: where the operating point went, predicted beneath
    // measured. The colour is one no channel has, the style tells them apart.
    const QColor pathColour(0xE6, 0x7E, 0x00);
    bool anyPredicted = false, anyMeasured = false;
    for (bool measured : {false, true})
        for (const Path& path : m_paths) {
            if (path.measured != measured || path.points.empty())
                continue;
            (measured ? anyMeasured : anyPredicted) = true;
            QPolygonF line;
            for (const auto& pt : path.points)
                line << QPointF(f.x(pt.degrees), f.y(pt.duty));
            p.setPen(
                QPen(measured ? pathColour : pathColour.darker(130), 2.0, measured ? Qt::SolidLine : Qt::DashLine));
            p.setBrush(Qt::NoBrush);
            p.drawPolyline(line);
            p.setPen(Qt::NoPen);
            p.setBrush(measured ? pathColour : pathColour.darker(130));
            p.drawEllipse(line.back(), 4, 4);
        }
    if (anyPredicted || anyMeasured) {
        p.setClipping(false);
        QString legend;
        if (anyPredicted)
            legend += QStringLiteral("- - predicted path");
        if (anyMeasured)
            legend += (legend.isEmpty() ? QString() : QStringLiteral("   ")) + QStringLiteral("\u2014 measured path");
        const double w = fm.horizontalAdvance(legend);
        p.setPen(pathColour.darker(130));
        p.drawText(QPointF(area.right() - w - 6, area.bottom() - 6), legend);
        p.setClipRect(area.adjusted(-1, -3, 1, 3));
    }

    // Operating points: where each channel's temperature sits on its curve.
    for (std::size_t i : order) {
        const auto& c = m_fan.curves[i];
        if (!c.temperature)
            continue;
        const bool leading = i == m_fan.leading;
        const QPointF at(f.x(*c.temperature), f.y(c.duty));
        const QColor colour = channelColour(c.channel);
        if (leading) {
            p.setPen(QPen(colour, 1, Qt::DotLine));
            p.drawLine(QPointF(area.left(), at.y()), at);
            p.drawLine(at, QPointF(at.x(), area.bottom()));
        }
        p.setPen(QPen(palette().color(QPalette::Base), 2));
        p.setBrush(colour);
        const double r = leading ? 7 : 5;
        p.drawEllipse(at, r, r);
    }
}

void ControlCurvePlot::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_editable)
        return QWidget::mousePressEvent(event);
    const auto pos = event->position();
    const auto hit = device::hitTest(m_fan, frame(), pos.x(), pos.y(), HandleRadius);
    if (!hit)
        return;
    const int code = currentCode(*hit);
    m_drag = Drag{*hit, code, code};
    emit dragPreview(m_fan.curves[hit->curve].channel, hit->handle, code);
    update();
}

void ControlCurvePlot::mouseMoveEvent(QMouseEvent* event)
{
    const auto pos = event->position();
    if (!m_drag) {
        if (!m_editable)
            return;
        const bool over = device::hitTest(m_fan, frame(), pos.x(), pos.y(), HandleRadius).has_value();
        setCursor(over ? Qt::SizeHorCursor : Qt::ArrowCursor);
        return;
    }
    const auto& c = m_fan.curves[m_drag->hit.curve];
    const int code = device::dragCode(c, m_drag->hit.handle, frame(), pos.x());
    if (code == m_drag->code)
        return;
    m_drag->code = code;
    emit dragPreview(c.channel, m_drag->hit.handle, code);
    update();
}

void ControlCurvePlot::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !m_drag)
        return QWidget::mouseReleaseEvent(event);
    const auto drag = *m_drag;
    m_drag.reset();
    update();
    if (drag.code == drag.startCode)
        emit dragCancelled();
    else
        emit dragFinished(m_fan.curves[drag.hit.curve].channel, drag.hit.handle, drag.code);
}

void ControlCurvePlot::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape && m_drag) {
        m_drag.reset();
        update();
        emit dragCancelled();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace dialogs
