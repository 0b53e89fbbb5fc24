// "Register Contents": previews the saved register set read from the chip,
// lets the user choose the file and writes it.
#pragma once

#include <QDateTime>
#include <QString>
#include <QWidget>
#include <functional>

class QLabel;
class QListWidget;
class QPushButton;

namespace mainwindow {

class frmSaveReg : public QWidget {
    Q_OBJECT

public:
    // Form_Load: fills the preview from the chip.
    explicit frmSaveReg(QWidget* parent = nullptr);
    ~frmSaveReg() override;

    void cmdSetPath_Click();
    // Writes the file (through a temporary file, so a failure leaves any old
    // file as it was) and closes the window; on failure it says why and
    // stays open.
    void cmdSave_Click();

    QString fileName() const { return m_fileName; }
    // Tests fix the time written on the date line.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // TFM4410_Registers.txt or TFM4411_Registers.txt in the documents folder
    // (the home folder when there is none).
    static QString proposedFileName(int deviceId);

private:
    void fillPreview();

    QLabel* m_heading = nullptr;       // txtHeading
    QListWidget* m_list = nullptr;     // lstRegisters
    QPushButton* m_setPath = nullptr;  // cmdSetPath
    QPushButton* m_save = nullptr;     // cmdSave
    QString m_fileName;
    std::function<QDateTime()> m_clock;
};

}  // namespace mainwindow
