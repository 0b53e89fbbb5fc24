#include "main_window/frm_save_reg.h"

namespace mainwindow {

frmSaveReg::frmSaveReg(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setObjectName(QStringLiteral("frmSaveReg"));
    setWindowTitle(QStringLiteral("Register Contents"));
}

frmSaveReg::~frmSaveReg() = default;

}  // namespace mainwindow
