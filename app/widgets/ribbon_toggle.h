// A two-state toggle drawn as a switch with its state written on it.
// Clicking or Space flips it; `value()` is the state, `toggled` reports it.
#pragma once

#include <QAbstractButton>

namespace widgets {

class RibbonToggle : public QAbstractButton {
    Q_OBJECT

public:
    explicit RibbonToggle(QWidget* parent = nullptr);

    bool value() const { return isChecked(); }
    // Sets the state without emitting clicked (toggled still fires).
    void setValue(bool on) { setChecked(on); }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace widgets
