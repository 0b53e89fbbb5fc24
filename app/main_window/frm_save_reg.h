// "Register Contents": previews the saved register set read from the chip,
// lets the user choose the file and writes it.
#pragma once

#include <QWidget>

namespace mainwindow {

class frmSaveReg : public QWidget {
    Q_OBJECT

public:
    explicit frmSaveReg(QWidget* parent = nullptr);
    ~frmSaveReg() override;
};

}  // namespace mainwindow
