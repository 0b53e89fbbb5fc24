#include "main_window/about_box.h"

#include "main_window/system_info.h"
#include "shell/ui_services.h"

#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QVBoxLayout>

namespace mainwindow {

QStringList systemInfoCandidates()
{
    return {QStringLiteral("hardinfo2"), QStringLiteral("hardinfo"), QStringLiteral("kinfocenter"),
            QStringLiteral("gnome-system-monitor"), QStringLiteral("xfce4-taskmanager")};
}

QString findSystemInfoTool(const QString& searchPath)
{
    const QStringList dirs = searchPath.split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString& name : systemInfoCandidates()) {
        for (const QString& dir : dirs) {
            const QFileInfo candidate(QDir(dir).filePath(name));
            if (candidate.isFile() && candidate.isExecutable())
                return candidate.absoluteFilePath();
        }
    }
    return {};
}

FrmAbout::FrmAbout(const QString& title, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About ") + title);

    auto* layout = new QVBoxLayout(this);
    auto* heading = new QLabel(title, this);
    heading->setObjectName(QStringLiteral("lblTitle"));
    QFont big = heading->font();
    big.setPointSizeF(big.pointSizeF() * 1.4);
    big.setBold(true);
    heading->setFont(big);
    layout->addWidget(heading);

    auto* version = new QLabel(QStringLiteral("Version ") + QStringLiteral(FANSCOPE_VERSION), this);
    version->setObjectName(QStringLiteral("lblVersion"));
    layout->addWidget(version);
    auto* blurb = new QLabel(QStringLiteral("Fanscope: temperature monitor and fan controller evaluation"), this);
    blurb->setWordWrap(true);
    layout->addWidget(blurb);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* sysInfo = new QPushButton(QStringLiteral("System Info..."), this);
    sysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("cmdOK"));
    ok->setDefault(true);
    buttons->addWidget(sysInfo);
    buttons->addWidget(ok);
    layout->addLayout(buttons);

    connect(sysInfo, &QPushButton::clicked, this, &FrmAbout::cmdSysInfo_Click);
    connect(ok, &QPushButton::clicked, this, &QDialog::close);
}

void FrmAbout::cmdSysInfo_Click()
{
    const QString tool = findSystemInfoTool(qEnvironmentVariable("PATH"));
    if (!tool.isEmpty() && QProcess::startDetached(tool, {}))
        return;
    if (!m_sysInfo) {
        std::vector<SystemFact> facts = gatherSystemFacts();
        if (facts.empty()) {
            shell::msgBox(this, QStringLiteral("System Information Is Unavailable At This Time"), shell::MsgButtons::Ok,
                          windowTitle(), shell::MsgIcon::Information);
            return;
        }
        m_sysInfo = new FrmSysInfo(std::move(facts), this);
        m_sysInfo->setAttribute(Qt::WA_DeleteOnClose);
        m_sysInfo->setWindowFlag(Qt::Window);
    }
    m_sysInfo->show();
    m_sysInfo->raise();
}

}  // namespace mainwindow
