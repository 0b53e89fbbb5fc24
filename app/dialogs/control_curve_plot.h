// One fan's control curves: duty against temperature for every channel that
// drives the fan, the live operating points, the channels' high and THERM
// limits, and handles to drag Tmin and the top of a ramp. Geometry, snapping
// and hit testing are the device layer's; this widget only paints them and
// turns mouse moves into the codes a drag would write.
#pragma once

#include "device/control_curves.h"

#include <QWidget>

#include <optional>
#include <vector>

namespace dialogs {

class ControlCurvePlot : public QWidget {
    Q_OBJECT

public:
    explicit ControlCurvePlot(QWidget* parent = nullptr);

    void setFan(const device::FanCurves& fan, bool dual);
    // The temperature span; kept while a drag is in progress, so the curve
    // does not slide away under the mouse.
    void setSpan(double fromC, double toC);
    bool dragging() const { return m_drag.has_value(); }
    // Handles that cannot be dragged: the curve shows settings not in the
    // chip (a proposal), whose owner writes them itself.
    void setEditable(bool editable);

    // Paths of the operating point over a run, drawn over the curves:
    // predicted dashed, measured solid on top, each named in a legend.
    struct Path {
        std::vector<device::CurvePoint> points;
        bool measured = false;
    };
    void setPaths(std::vector<Path> paths);
    const std::vector<Path>& paths() const { return m_paths; }
    const device::FanCurves& fan() const { return m_fan; }

    // The plot area inside the axes, in widget pixels.
    device::PlotFrame frame() const;

    QSize sizeHint() const override { return {460, 230}; }
    QSize minimumSizeHint() const override { return {300, 160}; }

signals:
    // A drag moved to a new code (not yet written).
    void dragPreview(device::TempChannel channel, device::CurveHandle handle, int code);
    // A drag ended on `code`, which differs from the register's.
    void dragFinished(device::TempChannel channel, device::CurveHandle handle, int code);
    // A drag ended where it began, or was cancelled.
    void dragCancelled();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Drag {
        device::CurveHit hit;
        int startCode = 0;
        int code = 0;
    };
    int currentCode(const device::CurveHit& hit) const;
    // Rows of limit labels above the plot: more when several channels share it.
    int labelRows() const { return m_fan.curves.size() > 1 ? 3 : 2; }
    device::ChannelCurve draggedCurve() const;

    device::FanCurves m_fan;
    bool m_dual = true;
    double m_fromC = 0;
    double m_toC = 100;
    std::optional<Drag> m_drag;
    bool m_editable = true;
    std::vector<Path> m_paths;
};

}  // namespace dialogs
