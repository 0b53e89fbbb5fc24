// "Undo last write": a small control for the Read/Write tab and the Control
// tab, and the main window's Ctrl+Z / Ctrl+Shift+Z, all over the one write
// log of the device layer. An undo goes through the register link like any
// other write; one the chip no longer allows is refused in a message box.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace mainwindow {

class UndoBar : public QWidget {
    Q_OBJECT

public:
    // `buttonName` is the button's objectName, one per place it is shown.
    explicit UndoBar(const QString& buttonName, QWidget* parent = nullptr);
    ~UndoBar() override;

    QPushButton* button() const { return m_button; }
    // The outcome of the last undo or redo, or empty.
    QLabel* resultLabel() const { return m_result; }
    // Enables the button by the history and names what it would undo.
    void refresh();
    void showResult(const QString& text);

private:
    QPushButton* m_button = nullptr;
    QLabel* m_result = nullptr;
};

// Undo or redo the last group of writes; `parent` owns any message box.
// Returns true when registers were written.
bool undoLastWrite(QWidget* parent);
bool redoLastWrite(QWidget* parent);

// Ctrl+Z and Ctrl+Shift+Z on the window (a focused text box keeps its own).
void installUndoShortcuts(QWidget* window);

}  // namespace mainwindow
