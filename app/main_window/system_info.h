// The program's own system-information window, shown by the About box when
// the desktop has no system-information tool: what a bug report about the
// evaluation kit needs (system, Qt, the library and the bus it reaches).
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

namespace mainwindow {

struct SystemFact {
    QString name;
    QString value;
};

// Parsers of the system's own files, given their text; empty when the text
// does not hold what is asked.
QString distributionName(const QString& osRelease);  // /etc/os-release
QString cpuModel(const QString& cpuinfo);            // /proc/cpuinfo
QString memoryTotal(const QString& meminfo);         // /proc/meminfo, as "15.5 GiB"

// Every fact that could be gathered, in display order; facts that could
// not be found are left out. Touches the library only if the program has
// already created its object (it never loads it).
std::vector<SystemFact> gatherSystemFacts();

class FrmSysInfo : public QDialog {
    Q_OBJECT

public:
    explicit FrmSysInfo(std::vector<SystemFact> facts, QWidget* parent = nullptr);

    // The facts as "name: value" lines, as "Copy" puts them on the clipboard.
    QString reportText() const;

private:
    std::vector<SystemFact> m_facts;
};

}  // namespace mainwindow
