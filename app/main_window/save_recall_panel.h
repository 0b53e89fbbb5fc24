// "Save/Recall": opens the register-contents window that saves the chip's
// configuration registers, and writes them back from such a file.
#pragma once

#include <QGroupBox>
#include <QPointer>
#include <vector>

#include "device/register_file.h"

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
    // "Recall Previous Setup": validates the whole chosen file, shows the
    // registers whose value would change and, if the user chooses Write,
    // writes each of its registers once, in file order (one undo step),
    // skipping those the connected chip does not have. A file that does not
    // validate writes nothing and says "Invalid File Selected"; a file the
    // chip already holds says so and writes nothing.
    void cmdRecall_Click();

    // Closes the register-contents window if it is open (main window unload).
    void unloadSaveWindow();
    // The open register-contents window, or nullptr.
    frmSaveReg* saveWindow() const { return m_saveWindow; }

private:
    // Reads the chip, lists what the file would change; true to go ahead.
    bool previewAccepted(const std::vector<device::RegisterValue>& writes);

    QPushButton* m_saveButton = nullptr;
    QPushButton* m_recallButton = nullptr;
    QPointer<frmSaveReg> m_saveWindow;
};

}  // namespace mainwindow
