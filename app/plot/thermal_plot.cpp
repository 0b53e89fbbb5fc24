#include "plot/thermal_plot.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

#include "plot/plot_file.h"

namespace plot {

void paintThermal(QPainter& painter, const QRectF& area, const ThermalPlot& data, const FanPlotColours& colours)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(area, colours.background);
    const QFontMetricsF fm(painter.font());
    const double lh = fm.height();

    double tMax = 10, cLo = 1e9, cHi = -1e9;
    for (const auto* path : {&data.trace, &data.predicted})
        for (const device::TracePoint& p : *path) {
            tMax = std::max(tMax, p.t);
            cLo = std::min(cLo, p.temperatureC);
            cHi = std::max(cHi, p.temperatureC);
        }
    for (double level : data.levelsC) {
        cLo = std::min(cLo, level);
        cHi = std::max(cHi, level);
    }
    if (cLo > cHi)
        cLo = 20, cHi = 60;
    const double cStep = niceStep(std::max(2.0, cHi - cLo));
    const double yLo = std::floor(cLo / cStep) * cStep;
    const double yHi = std::max(yLo + cStep, std::ceil(cHi / cStep) * cStep);
    const double tStep = niceStep(tMax);
    const double xHi = std::ceil(tMax / tStep) * tStep;

    const double titleH = (data.title.isEmpty() ? 0 : lh * 1.3) + (data.summary.isEmpty() ? 0 : lh * 1.2);
    const double left = area.left() + fm.horizontalAdvance(QStringLiteral("000.0")) + lh;
    const double right = area.right() - fm.horizontalAdvance(QStringLiteral("100 %")) - lh;
    const double top = area.top() + titleH + lh * 2.4;  // the legend and the units above the frame
    const double bottom = area.bottom() - 2.4 * lh;
    const QRectF frame(QPointF(left, top), QPointF(right, bottom));
    if (frame.width() < 40 || frame.height() < 40) {
        painter.restore();
        return;
    }
    const auto x = [&](double t) { return frame.left() + t / xHi * frame.width(); };
    const auto yT = [&](double c) { return frame.bottom() - (c - yLo) / (yHi - yLo) * frame.height(); };
    const auto yD = [&](double pct) { return frame.bottom() - pct / 100.0 * frame.height(); };

    double row = area.top() + lh * 0.2;
    painter.setPen(colours.text);
    if (!data.title.isEmpty()) {
        painter.drawText(QRectF(area.left(), row, area.width(), lh), Qt::AlignHCenter, data.title);
        row += lh * 1.3;
    }
    if (!data.summary.isEmpty()) {
        painter.drawText(QRectF(area.left(), row, area.width(), lh), Qt::AlignHCenter, data.summary);
        row += lh * 1.2;
    }

    painter.setPen(QPen(colours.grid, 1));
    for (double t = 0; t <= xHi + 1e-9; t += tStep)
        painter.drawLine(QPointF(x(t), frame.top()), QPointF(x(t), frame.bottom()));
    for (double c = yLo; c <= yHi + 1e-9; c += cStep)
        painter.drawLine(QPointF(frame.left(), yT(c)), QPointF(frame.right(), yT(c)));
    painter.setPen(QPen(colours.text, 1));
    painter.drawRect(frame);
    for (double t = 0; t <= xHi + 1e-9; t += tStep)
        painter.drawText(QRectF(x(t) - 40, frame.bottom() + 2, 80, lh), Qt::AlignHCenter, QString::number(t));
    for (double c = yLo; c <= yHi + 1e-9; c += cStep)
        painter.drawText(QRectF(area.left(), yT(c) - lh / 2, left - area.left() - lh / 3, lh),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(c));
    for (int d = 0; d <= 100; d += 25)
        painter.drawText(QRectF(right + lh / 3, yD(d) - lh / 2, area.right() - right, lh),
                         Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("%1 %").arg(d));
    painter.drawText(QRectF(frame.left(), frame.bottom() + lh * 1.2, frame.width(), lh), Qt::AlignHCenter,
                     QStringLiteral("Board seconds since the heat went on"));
    painter.drawText(QRectF(area.left() + lh / 3, frame.top() - lh * 1.6, left, lh), Qt::AlignLeft,
                     QStringLiteral("°C"));
    painter.drawText(QRectF(right + lh / 3, frame.top() - lh * 1.6, area.right() - right, lh), Qt::AlignLeft,
                     QStringLiteral("Duty"));

    // Legend: what each line is, named so the colours need not be told apart.
    struct Entry {
        QPen pen;
        QString name;
    };
    std::vector<Entry> legend{{QPen(colours.up, 2), QStringLiteral("temperature")},
                              {QPen(colours.down, 1.5, Qt::SolidLine), QStringLiteral("fan duty")}};
    if (!data.predicted.empty())
        legend.push_back({QPen(colours.marker, 2, Qt::DashLine), QStringLiteral("predicted")});
    if (!data.levelsC.empty())
        legend.push_back({QPen(colours.marker, 1, Qt::DotLine), QStringLiteral("fitted steady level")});
    double lx = frame.left();
    const double ly = frame.top() - lh * 2.2;
    for (const Entry& e : legend) {
        painter.setPen(e.pen);
        painter.drawLine(QPointF(lx, ly + lh / 2), QPointF(lx + 22, ly + lh / 2));
        painter.setPen(colours.text);
        const double w = fm.horizontalAdvance(e.name);
        painter.drawText(QRectF(lx + 26, ly, w + 4, lh), Qt::AlignLeft | Qt::AlignVCenter, e.name);
        lx += 26 + w + lh * 1.2;
    }

    painter.setClipRect(frame.adjusted(-1, -2, 1, 2));
    painter.setBrush(Qt::NoBrush);
    // The duty as steps: it changes at a reading and holds till the next.
    if (!data.trace.empty()) {
        QPainterPath duty;
        duty.moveTo(x(data.trace.front().t), yD(data.trace.front().dutyPercent));
        for (std::size_t i = 1; i < data.trace.size(); ++i) {
            duty.lineTo(x(data.trace[i].t), yD(data.trace[i - 1].dutyPercent));
            duty.lineTo(x(data.trace[i].t), yD(data.trace[i].dutyPercent));
        }
        painter.setPen(QPen(colours.down, 1.5));
        painter.drawPath(duty);
    }
    const auto line = [&](const std::vector<device::TracePoint>& path, const QPen& pen) {
        if (path.empty())
            return;
        QPainterPath p;
        p.moveTo(x(path.front().t), yT(path.front().temperatureC));
        for (std::size_t i = 1; i < path.size(); ++i)
            p.lineTo(x(path[i].t), yT(path[i].temperatureC));
        painter.setPen(pen);
        painter.drawPath(p);
    };
    painter.setPen(QPen(colours.marker, 1, Qt::DotLine));
    for (double level : data.levelsC)
        painter.drawLine(QPointF(frame.left(), yT(level)), QPointF(frame.right(), yT(level)));
    line(data.predicted, QPen(colours.marker, 2, Qt::DashLine));
    line(data.trace, QPen(colours.up, 2));
    painter.restore();
}

ThermalPlot identifyPlot(const device::ThermalModel& m, const QString& title)
{
    ThermalPlot p;
    p.trace = m.trace;
    p.title = title;
    p.summary = QStringLiteral("Remote %1 on fan %2: ambient %3 °C, time constant %4 s, delay %5 s, fit error %6 °C")
                    .arg(m.channel)
                    .arg(m.fan)
                    .arg(m.ambientC, 0, 'f', 1)
                    .arg(m.tauS, 0, 'f', 1)
                    .arg(m.lagS, 0, 'f', 1)
                    .arg(m.rmsErrorC, 0, 'f', 2);
    // The levels at the heat the measurement ran (the model's rises are at
    // full heat).
    const double share = m.heatShare > 0 ? m.heatShare : 1.0;
    for (const device::ThermalPoint& pt : m.points)
        p.levelsC.push_back(m.ambientC + pt.steadyRiseC * share);
    return p;
}

QString saveThermalPlot(const QString& path, const ThermalPlot& data)
{
    return savePlot(
        path, data.title.isEmpty() ? QStringLiteral("Thermal loop") : data.title,
        [&](QPainter& painter, const QRectF& area) { paintThermal(painter, area, data, FanPlotColours::light()); });
}

}  // namespace plot
