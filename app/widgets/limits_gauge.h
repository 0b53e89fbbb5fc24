// A horizontal linear gauge with five pointers: two bands (0, 1) drawn
// between their lower and upper bounds, the low and high limit markers
// (2, 3) that the user drags with the mouse or moves with the keyboard, and
// the reading bar (4). While a marker is dragged the gauge reports
// pointerMoving continuously; on release (or after each key step) it
// reports pointerReleased once.
#pragma once

#include <QString>
#include <QWidget>
#include <array>
#include <optional>
#include <utility>

namespace widgets {

// Value <-> position along the track, clamped to the scale. Plain
// arithmetic, shared by painting, hit-testing and tests.
struct GaugeTrack {
    double minimum = 0;
    double maximum = 100;
    double x0 = 0;  // pixel of the minimum
    double x1 = 1;  // pixel of the maximum

    double clamp(double value) const;
    double xOf(double value) const;
    double valueAt(double x) const;
};

class LimitsGauge : public QWidget {
    Q_OBJECT

public:
    static constexpr int kPointers = 5;
    static constexpr int kLowPointer = 2;
    static constexpr int kHighPointer = 3;
    static constexpr int kReadingPointer = 4;

    explicit LimitsGauge(QWidget* parent = nullptr);

    void setScale(double minimum, double maximum);
    double minimum() const { return m_min; }
    double maximum() const { return m_max; }

    // Values are clamped to the scale. Setting a value never notifies.
    void setPointerValue(int pointer, double value);
    double pointerValue(int pointer) const;
    // Bands only (0 and 1); for other pointers these do nothing.
    void setBandLower(int pointer, double value);
    void setBandUpper(int pointer, double value);
    double bandLower(int pointer) const;
    double bandUpper(int pointer) const;

    // Dragged and keyed values snap to multiples of the step.
    void setStep(double step);
    double step() const { return m_step; }
    // Unit shown after the scale and marker values ("°C", "RPM").
    void setUnits(const QString& units);
    QString units() const { return m_units; }
    // Whether a limit marker can be moved by the user (both by default).
    void setPointerMovable(int pointer, bool movable);
    bool isPointerMovable(int pointer) const;

    // The marker that keyboard steps move (low limit by default).
    int activePointer() const { return m_active; }
    void setActivePointer(int pointer);
    // Pointer being dragged, or -1.
    int draggedPointer() const { return m_dragging; }

    // Track geometry for the current size (widget coordinates).
    GaugeTrack track() const;
    // The point a user grabs a marker at (its tip, on the track).
    QPoint pointerHandle(int pointer) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // Continuous: the marker moved while being dragged, or by a key.
    void pointerMoving(int pointer, double value);
    // Final: the drag ended (mouse released), or after a key step.
    void pointerReleased(int pointer, double value);
    // The mouse moved over the gauge (the window shows its drag pointer).
    void hovered();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Pointer {
        double value = 0;
        double lower = 0;  // bands
        double upper = 0;  // bands
        bool movable = false;
    };
    bool isMarker(int pointer) const { return pointer == kLowPointer || pointer == kHighPointer; }
    bool valid(int pointer) const { return pointer >= 0 && pointer < kPointers; }
    int markerAt(const QPoint& pos) const;
    double snap(double value) const;
    QRect trackRect() const;
    QString formatValue(double value) const;

    std::array<Pointer, kPointers> m_pointers{};
    double m_min = 0;
    double m_max = 100;
    double m_step = 1;
    QString m_units;
    int m_active = kLowPointer;
    int m_dragging = -1;
    mutable std::optional<std::pair<int, int>> m_margins;  // track's side and top, from the font
};

}  // namespace widgets
