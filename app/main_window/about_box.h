// The About window: the program's title and version, and a button that
// starts the desktop's system-information tool when one is installed.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

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

    // Starts the tool found on PATH, or tells the user none is available.
    void cmdSysInfo_Click();
};

}  // namespace mainwindow
