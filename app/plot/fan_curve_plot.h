#pragma once
// The fan characterisation plot: speed against duty, the upward and downward
// sweeps, the start and stall duty marked. One painter for the window, which
// draws it live on screen, and for the files the window and the command-line
// tool save (PNG, SVG), so both show the same picture.

#include <QColor>
#include <QPalette>
#include <QRectF>
#include <QString>

#include <cstdint>
#include <vector>

#include "device/fan_characterization.h"

class QPainter;

namespace plot {

struct FanPlotColours {
    QColor background;
    QColor text;
    QColor grid;
    QColor up;
    QColor down;
    QColor marker;
    // Colours that read on the palette's window colour, light or dark.
    static FanPlotColours fromPalette(const QPalette& palette);
    static FanPlotColours light();  // files: dark lines on white
};

// Whether a verdict of a fan (its start duty, its stall duty, whether it
// turns at all) stands in its FanCharacterization. A live plot draws a fan
// the sweep has not finished: a verdict not yet decided reads "measuring...",
// one the run ended before deciding is not stated.
enum class Verdict : std::uint8_t { Decided, Measuring, Unknown };
struct FanVerdicts {
    Verdict start = Verdict::Decided;
    Verdict stall = Verdict::Decided;
    Verdict turns = Verdict::Decided;
};

// Paints into `area`. Fans may be partly measured (the live plot): what is
// there is drawn, with `verdicts` per fan (none given: all decided). `title`
// goes above the plot when not empty.
void paintFanCurves(QPainter& painter, const QRectF& area, const std::vector<device::FanCharacterization>& fans,
                    const FanPlotColours& colours, const QString& title = {},
                    const std::vector<FanVerdicts>& verdicts = {});

// Writes the plot to `path` (plot_file.h: SVG or PNG by the name, nothing
// left behind on failure); an empty text on success, else why not.
QString saveFanPlot(const QString& path, const std::vector<device::FanCharacterization>& fans,
                    const QString& title = {});

}  // namespace plot
