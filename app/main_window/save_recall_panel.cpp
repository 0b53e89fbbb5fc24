#include "main_window/save_recall_panel.h"

#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <exception>

#include "device/register_diff.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "device/write_log.h"
#include "main_window/frm_save_reg.h"
#include "main_window/frm_setup_code.h"
#include "main_window/undo_controls.h"
#include "shell/ui_services.h"

namespace mainwindow {

SaveRecallPanel::SaveRecallPanel(QWidget* parent) : QGroupBox(QStringLiteral("Save/Recall"), parent)
{
    setObjectName(QStringLiteral("SaveRecallPanel"));
    m_saveButton = new QPushButton(QStringLiteral("Save Register Values"));
    m_saveButton->setObjectName(QStringLiteral("cmdSaveRegisters"));
    m_recallButton = new QPushButton(QStringLiteral("Recall Previous Setup"));
    m_recallButton->setObjectName(QStringLiteral("cmdRecall"));
    // The same registers as code for the user's own product.
    auto* generate = new QPushButton(QStringLiteral("Generate Set-up Code..."));
    generate->setObjectName(QStringLiteral("cmdGenerateSetup"));
    generate->setAccessibleName(QStringLiteral("Generate Set-up Code"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_saveButton);
    layout->addWidget(m_recallButton);
    layout->addWidget(generate);
    // A recall is one undo step; the way back sits beside it.
    layout->addWidget(new UndoBar(QStringLiteral("cmdUndoWriteControl")));
    connect(m_saveButton, &QPushButton::clicked, this, &SaveRecallPanel::cmdSaveRegisters_Click);
    connect(m_recallButton, &QPushButton::clicked, this, &SaveRecallPanel::cmdRecall_Click);
    connect(generate, &QPushButton::clicked, this, [this] { openSetupCode(window()); });
}

SaveRecallPanel::~SaveRecallPanel() { unloadSaveWindow(); }

void SaveRecallPanel::cmdSaveRegisters_Click()
{
    if (!m_saveWindow)
        m_saveWindow = new frmSaveReg(this);
    m_saveWindow->show();
    m_saveWindow->raise();
    m_saveWindow->activateWindow();
}

void SaveRecallPanel::unloadSaveWindow() { delete m_saveWindow.data(); }

void SaveRecallPanel::cmdRecall_Click()
{
    const QString name = shell::ui().chooseFile(
        this, shell::FileRequest{QStringLiteral("Recall Previous Setup"), QStringLiteral("Text Files (*.txt)|*.txt"),
                                 QFileInfo(frmSaveReg::proposedFileName(device::RegisterLink.DeviceId)).path(), false});
    if (name.isEmpty())
        return;

    const device::RegisterFileResult result = device::readRegisterFile(QFile::encodeName(name).toStdString());
    if (!result) {
        // The reader says which line failed and why; the box keeps its
        // fixed text and carries the reason as its details.
        shell::msgBox(this, QStringLiteral("Invalid File Selected"), shell::MsgButtons::Ok, QString(),
                      shell::MsgIcon::Critical, QString::fromStdString(result.error));
        return;
    }

    const std::vector<device::RegisterValue> writes = device::recallWrites(*result.file, device::RegisterLink.DeviceId);
    if (!previewAccepted(writes))
        return;

    device::WriteAction action(device::WriteSource::Recall, "Recall Previous Setup");
    int failed = 0;
    for (const device::RegisterValue& w : writes) {
        try {
            device::RegisterLink.RegisterPointer = w.address;
            device::RegisterLink.DataByte = w.value;
            device::WriteRegister();
        } catch (const std::exception&) {
            ++failed;
        }
    }
    if (failed > 0)
        shell::msgBox(
            this,
            QStringLiteral("%1 of the %2 registers could not be written to the chip.").arg(failed).arg(writes.size()),
            shell::MsgButtons::Ok, QStringLiteral("Recall Previous Setup"), shell::MsgIcon::Exclamation);
}

bool SaveRecallPanel::previewAccepted(const std::vector<device::RegisterValue>& writes)
{
    const QString title = QStringLiteral("Recall Previous Setup");
    const int deviceId = device::RegisterLink.DeviceId;
    std::vector<device::RegisterDifference> differences;
    try {
        differences =
            device::registerDifferences(writes, [](std::uint8_t address) { return device::readRegister(address); });
    } catch (const std::exception& e) {
        // Without the chip's values there is nothing to compare; a bus that
        // cannot read would not take the writes either.
        shell::msgBox(this,
                      QStringLiteral("The chip could not be read (%1). Nothing was written.")
                          .arg(QString::fromStdString(e.what())),
                      shell::MsgButtons::Ok, title, shell::MsgIcon::Exclamation);
        return false;
    }
    if (differences.empty()) {
        shell::msgBox(this, QStringLiteral("The chip already holds every value in this file. Nothing was written."),
                      shell::MsgButtons::Ok, title, shell::MsgIcon::Information);
        return false;
    }

    shell::ChangesRequest request;
    request.title = title;
    request.text = QStringLiteral("Recalling this file changes %1 of its %2 registers on the %3:")
                       .arg(differences.size())
                       .arg(writes.size())
                       .arg(QString::fromUtf8(device::chipName(deviceId)));
    request.headers = {QStringLiteral("Register"), QStringLiteral("Address"),        QStringLiteral("Current"),
                       QStringLiteral("New"),      QStringLiteral("Current fields"), QStringLiteral("New fields")};
    for (const device::RegisterDifference& d : differences) {
        const device::RegisterEntry* e = device::registerEntryByAddress(d.reg);
        request.rows.push_back({e ? QString::fromUtf8(e->name) : QString(),
                                QString::fromStdString(device::addressText(d.reg)),
                                QString::fromStdString(device::addressText(d.current)),
                                QString::fromStdString(device::addressText(d.wanted)),
                                QString::fromStdString(device::fieldsText(d.reg, d.current, deviceId)),
                                QString::fromStdString(device::fieldsText(d.reg, d.wanted, deviceId))});
    }
    return shell::ui().confirmChanges(this, request);
}

}  // namespace mainwindow
