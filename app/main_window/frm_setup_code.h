// "Generate Set-up Code": the connected chip's configuration as a C header,
// a shell script, a Python script or JSON for the user's own product, shown
// before it is saved or copied.
#pragma once

#include <QDialog>
#include <QString>
#include <optional>

#include "device/setup_code.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace mainwindow {

class FrmSetupCode : public QDialog {
    Q_OBJECT

public:
    // Reads the chip once; the format is chosen afterwards without a read.
    explicit FrmSetupCode(QWidget* parent = nullptr);

    device::SetupFormat format() const;
    void setFormat(device::SetupFormat format);
    QString text() const;
    // Reads the saved register set from the chip again.
    void readChip();
    // Asks for a file and writes the text; says why when it cannot.
    void saveText();
    void copyText();

private:
    void showText();

    QComboBox* m_format = nullptr;
    QLabel* m_source = nullptr;
    QPlainTextEdit* m_preview = nullptr;
    QPushButton* m_save = nullptr;
    QPushButton* m_copy = nullptr;
    std::optional<device::SetupPlan> m_plan;
    device::SetupHeader m_header;
    QString m_error;
};

// The header of code made from the connected chip: this program, now, the
// chip's 7-bit address, and the adapter it answers on as the scripts' bus
// (1 on the other media).
device::SetupHeader connectedChipHeader();

// Opens the window over `parent`, or raises the one already open.
void openSetupCode(QWidget* parent);

}  // namespace mainwindow
