// "Save/Recall": opens the register-contents window that saves the chip's
// configuration registers, and writes them back from such a file.
#pragma once

#include <QGroupBox>
#include <QPointer>

class QPushButton;

namespace mainwindow {

class frmSaveReg;

class SaveRecallPanel : public QGroupBox {
    Q_OBJECT

public:
    explicit SaveRecallPanel(QWidget* parent = nullptr);
    ~SaveRecallPanel() override;

    // "Save Register Values": opens the register-contents window (or raises
    // the one already open).
    void cmdSaveRegisters_Click();
    // "Recall Previous Setup": validates the whole chosen file, then writes
    // each of its registers once, in file order, skipping those the
    // connected chip does not have. A file that does not validate writes
    // nothing and says "Invalid File Selected".
    void cmdRecall_Click();

    // Closes the register-contents window if it is open (main window unload).
    void unloadSaveWindow();
    // The open register-contents window, or nullptr.
    frmSaveReg* saveWindow() const { return m_saveWindow; }

private:
    QPushButton* m_saveButton = nullptr;
    QPushButton* m_recallButton = nullptr;
    QPointer<frmSaveReg> m_saveWindow;
};

}  // namespace mainwindow
