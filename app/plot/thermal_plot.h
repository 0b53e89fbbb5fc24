#pragma once
// The thermal loop plot: a remote channel's temperature against board time
// with the fan's duty beneath it, as identify steps it or as the chip's
// control drives it, and a predicted path to compare. One painter for the
// tuning window (live, palette colours) and the files `identify --plot`
// writes.

#include <QRectF>
#include <QString>

#include <vector>

#include "device/thermal_loop.h"
#include "plot/fan_curve_plot.h"

class QPainter;

namespace plot {

struct ThermalPlot {
    std::vector<device::TracePoint> trace;      // measured: temperature and duty
    std::vector<device::TracePoint> predicted;  // a path to compare with, dashed; may be empty
    QString title;
    QString summary;  // a line under the title: the fit, the settings
    // Steady levels to mark, one per step (identify's fit); may be empty.
    std::vector<double> levelsC;
};

// Paints into `area`, the temperature scale on the left, duty 0..100 % on
// the right. Draws nothing but the frame while there are no points.
void paintThermal(QPainter& painter, const QRectF& area, const ThermalPlot& data, const FanPlotColours& colours);

// identify's picture of a finished model: its trace, the fitted steady
// level of each step, the fit in the summary line.
ThermalPlot identifyPlot(const device::ThermalModel& model, const QString& title);

// Writes it to `path` as plot_file.h does; an empty text on success.
QString saveThermalPlot(const QString& path, const ThermalPlot& data);

}  // namespace plot
