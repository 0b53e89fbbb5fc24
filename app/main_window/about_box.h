// The About window: the program's title and version, and a button that
// starts the desktop's system-information tool when one is installed.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "main_window/system_info.h"

namespace mainwindow {

// Tools tried in order; the first found on the search path is started.
QStringList systemInfoCandidates();
// The first candidate found in the directories of `searchPath` (a PATH
// value), or an empty string.
QString findSystemInfoTool(const QString& searchPath);

class FrmAbout : public QDialog {
    Q_OBJECT

public:
    explicit FrmAbout(const QString& title, QWidget* parent = nullptr);

    // Starts the tool found on PATH; without one (or when it does not
    // start) shows the program's own system-information window, and only
    // when neither can be shown says that no information is available.
    void cmdSysInfo_Click();

    // The program's own window while it is open.
    FrmSysInfo* sysInfoWindow() const { return m_sysInfo; }

private:
    QPointer<FrmSysInfo> m_sysInfo;
};

}  // namespace mainwindow
