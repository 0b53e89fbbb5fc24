// "Save/Recall": opens the register-contents window that saves the chip's
// configuration registers, and writes them back from such a file.
#pragma once

#include <QGroupBox>
#include <QPointer>

namespace mainwindow {

class frmSaveReg;

class SaveRecallPanel : public QGroupBox {
    Q_OBJECT

public:
    explicit SaveRecallPanel(QWidget* parent = nullptr);
    ~SaveRecallPanel() override;

    // Closes the register-contents window if it is open (main window unload).
    void unloadSaveWindow();
    // The open register-contents window, or nullptr.
    frmSaveReg* saveWindow() const { return m_saveWindow; }

private:
    QPointer<frmSaveReg> m_saveWindow;
};

}  // namespace mainwindow
