#include "plot/fan_curve_plot.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "plot/plot_file.h"

namespace plot {

namespace {

bool isDark(const QColor& c) { return c.lightnessF() < 0.5; }

QString fanLabel(const device::FanCharacterization& f, bool several)
{
    return several ? QStringLiteral("Fan%1 ").arg(f.fan) : QString();
}

}  // namespace

FanPlotColours FanPlotColours::fromPalette(const QPalette& palette)
{
    FanPlotColours c;
    c.background = palette.color(QPalette::Base);
    c.text = palette.color(QPalette::Text);
    const bool dark = isDark(c.background);
    c.grid = dark ? QColor(0x55, 0x5a, 0x60) : QColor(0xd0, 0xd4, 0xd8);
    // Blue and orange stay apart for the common colour-vision deficiencies;
    // the sweeps also differ by line style and marker, and are named.
    c.up = dark ? QColor(0x6c, 0xb4, 0xff) : QColor(0x1f, 0x5f, 0xb4);
    c.down = dark ? QColor(0xff, 0xb0, 0x5c) : QColor(0xc0, 0x5a, 0x00);
    c.marker = dark ? QColor(0xe0, 0xe0, 0xe0) : QColor(0x30, 0x30, 0x30);
    return c;
}

FanPlotColours FanPlotColours::light()
{
    QPalette p;
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::Text, Qt::black);
    return fromPalette(p);
}

void paintFanCurves(QPainter& painter, const QRectF& area, const std::vector<device::FanCharacterization>& fans,
                    const FanPlotColours& colours, const QString& title, const std::vector<FanVerdicts>& verdicts)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(area, colours.background);
    const QFontMetricsF fm(painter.font());
    const double lh = fm.height();

    int top = 1000;
    for (const auto& f : fans)
        for (const auto& p : f.points)
            top = std::max(top, p.rpm + p.spreadRpm);
    const double yStep = niceStep(top * 1.05);
    const double yMax = std::ceil(top * 1.05 / yStep) * yStep;

    const double left = area.left() + fm.horizontalAdvance(QStringLiteral("00000")) + lh;
    const double right = area.right() - lh;
    const double titleH = title.isEmpty() ? 0 : lh * 1.4;
    const double plotTop = area.top() + lh + titleH + lh * 1.2 * static_cast<double>(fans.size());
    const double bottom = area.bottom() - 2.4 * lh;
    const QRectF frame(QPointF(left, plotTop), QPointF(right, bottom));
    if (frame.width() < 20 || frame.height() < 20) {
        painter.restore();
        return;
    }
    const auto x = [&](double duty) { return frame.left() + duty / 100.0 * frame.width(); };
    const auto y = [&](double rpm) { return frame.bottom() - rpm / yMax * frame.height(); };

    painter.setPen(colours.text);
    if (!title.isEmpty())
        painter.drawText(QRectF(area.left(), area.top() + lh * 0.3, area.width(), lh), Qt::AlignHCenter, title);

    // Grid and axes.
    painter.setPen(QPen(colours.grid, 1));
    for (int d = 0; d <= 100; d += 20)
        painter.drawLine(QPointF(x(d), frame.top()), QPointF(x(d), frame.bottom()));
    for (double r = 0; r <= yMax + 0.5; r += yStep)
        painter.drawLine(QPointF(frame.left(), y(r)), QPointF(frame.right(), y(r)));
    painter.setPen(QPen(colours.text, 1));
    painter.drawRect(frame);
    for (int d = 0; d <= 100; d += 20)
        painter.drawText(QRectF(x(d) - 30, frame.bottom() + 2, 60, lh), Qt::AlignHCenter, QString::number(d));
    for (double r = 0; r <= yMax + 0.5; r += yStep)
        painter.drawText(QRectF(area.left(), y(r) - lh / 2, left - area.left() - lh / 3, lh),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(static_cast<int>(r)));
    painter.drawText(QRectF(frame.left(), frame.bottom() + lh * 1.2, frame.width(), lh), Qt::AlignHCenter,
                     QStringLiteral("Duty (%)"));
    painter.drawText(QRectF(left + 4, frame.top() - lh * 1.05, left, lh), Qt::AlignLeft, QStringLiteral("RPM"));

    const bool several = fans.size() > 1;
    double legendY = area.top() + titleH + lh * 0.2;
    for (std::size_t i = 0; i < fans.size(); ++i) {
        const device::FanCharacterization& f = fans[i];
        const FanVerdicts v = i < verdicts.size() ? verdicts[i] : FanVerdicts{};
        const Qt::PenStyle style = i == 0 ? Qt::SolidLine : Qt::DashLine;
        for (const auto dir : {device::SweepDirection::Up, device::SweepDirection::Down}) {
            const QColor colour = dir == device::SweepDirection::Up ? colours.up : colours.down;
            QPainterPath path;
            bool first = true;
            for (const auto& p : f.points) {
                if (p.direction != dir)
                    continue;
                const QPointF pt(x(p.dutyPercent), y(p.rpm));
                if (first)
                    path.moveTo(pt);
                else
                    path.lineTo(pt);
                first = false;
            }
            painter.setPen(QPen(colour, 2, style));
            painter.setBrush(Qt::NoBrush);
            painter.drawPath(path);
            painter.setBrush(colour);
            painter.setPen(Qt::NoPen);
            for (const auto& p : f.points) {
                if (p.direction != dir)
                    continue;
                const QPointF pt(x(p.dutyPercent), y(p.rpm));
                if (dir == device::SweepDirection::Up)
                    painter.drawEllipse(pt, 3, 3);
                else
                    painter.drawRect(QRectF(pt.x() - 3, pt.y() - 3, 6, 6));
            }
        }
        // Start and stall duty: dotted verticals, named at the top.
        painter.setBrush(Qt::NoBrush);
        const auto mark = [&](const std::optional<int>& duty, const QString& name, double row) {
            if (!duty)
                return;
            painter.setPen(QPen(colours.marker, 1, Qt::DotLine));
            painter.drawLine(QPointF(x(*duty), frame.top()), QPointF(x(*duty), frame.bottom()));
            painter.setPen(colours.marker);
            const QString text = QStringLiteral("%1%2 %3 %").arg(fanLabel(f, several), name).arg(*duty);
            const double w = fm.horizontalAdvance(text) + 4;
            const double tx = std::min(x(*duty) + 3, frame.right() - w);
            painter.drawText(QRectF(tx, frame.top() + lh * row, w, lh), Qt::AlignLeft, text);
        };
        const double base = 0.2 + 2.0 * static_cast<double>(i);
        if (v.start == Verdict::Decided)
            mark(f.startDutyPercent, QStringLiteral("start"), base);
        if (v.stall == Verdict::Decided)
            mark(f.stopDutyPercent, QStringLiteral("stalls below"), base + 1.0);

        // Legend row per fan.
        QString summary = QStringLiteral("%1up (circles), down (squares)").arg(fanLabel(f, true));
        if (f.fullSpeedRpm > 0)
            summary += QStringLiteral(", full speed %1 RPM").arg(f.fullSpeedRpm);
        if (f.spinUpS)
            summary += QStringLiteral(", spin-up %1 s").arg(*f.spinUpS, 0, 'f', 2);
        if (v.start == Verdict::Measuring)
            summary += QStringLiteral(", start: measuring...");
        if (v.stall == Verdict::Measuring)
            summary += QStringLiteral(", stall: measuring...");
        if (!f.turns && v.turns == Verdict::Decided)
            summary += QStringLiteral(", does not turn");
        painter.setPen(QPen(colours.up, 2, style));
        painter.drawLine(QPointF(left, legendY + lh / 2), QPointF(left + 18, legendY + lh / 2));
        painter.setPen(QPen(colours.down, 2, style));
        painter.drawLine(QPointF(left + 20, legendY + lh / 2), QPointF(left + 38, legendY + lh / 2));
        painter.setPen(colours.text);
        painter.drawText(QRectF(left + 44, legendY, right - left - 44, lh), Qt::AlignLeft | Qt::AlignVCenter, summary);
        legendY += lh * 1.2;
    }
    painter.restore();
}

QString saveFanPlot(const QString& path, const std::vector<device::FanCharacterization>& fans, const QString& title)
{
    return savePlot(path, title.isEmpty() ? QStringLiteral("Fan characterisation") : title,
                    [&](QPainter& painter, const QRectF& area) {
                        paintFanCurves(painter, area, fans, FanPlotColours::light(), title);
                    });
}

}  // namespace plot
