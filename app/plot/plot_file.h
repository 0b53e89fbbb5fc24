#pragma once
// What the program's plots share: the tick step of an axis and the one
// writer of plot files, so every plot saves the same way.

#include <QRectF>
#include <QSize>
#include <QString>

#include <functional>

class QPainter;

namespace plot {

// Tick step for a span: 1, 2 or 5 times a power of ten, about five ticks.
double niceStep(double span);

inline constexpr QSize kFilePlotSize{800, 500};

// Writes what `paint` draws into an area of kFilePlotSize to `path`: SVG for
// a name ending in .svg, PNG for .png (case ignored), on white. Nothing is
// left at `path` unless the whole file was written. Returns an empty text
// on success, else why not. `documentTitle` names the SVG document. Needs a
// QGuiApplication (the command-line tool runs one offscreen).
QString savePlot(const QString& path, const QString& documentTitle,
                 const std::function<void(QPainter&, const QRectF&)>& paint);

}  // namespace plot
