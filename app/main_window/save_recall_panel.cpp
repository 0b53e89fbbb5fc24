#include "main_window/save_recall_panel.h"

#include "main_window/frm_save_reg.h"

namespace mainwindow {

SaveRecallPanel::SaveRecallPanel(QWidget* parent) : QGroupBox(QStringLiteral("Save/Recall"), parent)
{
    setObjectName(QStringLiteral("SaveRecallPanel"));
}

SaveRecallPanel::~SaveRecallPanel() { unloadSaveWindow(); }

void SaveRecallPanel::unloadSaveWindow()
{
    delete m_saveWindow.data();
}

}  // namespace mainwindow
