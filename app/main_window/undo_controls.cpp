#include "main_window/undo_controls.h"

#include <QAction>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <algorithm>
#include <vector>

#include "device/bit_descriptions.h"
#include "device/write_log.h"
#include "main_window/main_form.h"
#include "main_window/register_panel.h"
#include "shell/ui_services.h"

namespace mainwindow {
namespace {

std::vector<QPointer<UndoBar>>& bars()
{
    static std::vector<QPointer<UndoBar>> list;
    return list;
}

void refreshBars(const QString* result)
{
    auto& list = bars();
    std::erase_if(list, [](const QPointer<UndoBar>& b) { return b.isNull(); });
    for (const auto& bar : list) {
        bar->refresh();
        if (result)
            bar->showResult(*result);
    }
}

// The register panel shows bits it read before; read its register again so
// it shows what the undo left in the chip.
void refreshRegisterPanel()
{
    MainForm* form = mainForm();
    RegisterPanel* panel = form ? form->registerPanel() : nullptr;
    if (!panel || !panel->isVisible())
        return;
    try {
        device::PointAtSelectedRegister(*panel);
        device::ReadAndShowRegister(*panel);
        device::ShowRegisterBits(*panel);
    } catch (const std::exception&) {
        // The next read of the panel shows what the chip holds.
    }
}

bool replay(QWidget* parent, bool undoing)
{
    const device::UndoResult r = undoing ? device::writeLog().undo() : device::writeLog().redo();
    const QString text = QString::fromStdString(r.message);
    refreshBars(&text);
    if (r.done)
        refreshRegisterPanel();
    else if (!r.nothingToDo)
        shell::msgBox(parent, text, shell::MsgButtons::Ok,
                      undoing ? QStringLiteral("Undo last write") : QStringLiteral("Redo last write"),
                      shell::MsgIcon::Exclamation);
    return r.done;
}

}  // namespace

UndoBar::UndoBar(const QString& buttonName, QWidget* parent) : QWidget(parent)
{
    setObjectName(buttonName + QStringLiteral("Bar"));
    m_button = new QPushButton(QStringLiteral("Undo last write"), this);
    m_button->setObjectName(buttonName);
    m_result = new QLabel(this);
    m_result->setObjectName(buttonName + QStringLiteral("Result"));
    m_result->setWordWrap(true);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_button);
    layout->addWidget(m_result, 1);
    connect(m_button, &QPushButton::clicked, this, [this] { undoLastWrite(window()); });
    bars().push_back(this);
    // Writes are made everywhere; the log tells the bars when the history moved.
    device::writeLog().setHistoryListener([] { refreshBars(nullptr); });
    refresh();
}

UndoBar::~UndoBar()
{
    std::erase_if(bars(), [this](const QPointer<UndoBar>& b) { return b.isNull() || b.data() == this; });
    if (bars().empty())
        device::writeLog().setHistoryListener(nullptr);
}

void UndoBar::refresh()
{
    const std::string what = device::writeLog().undoText();
    m_button->setEnabled(!what.empty());
    m_button->setToolTip(what.empty() ? QStringLiteral("No register write to undo")
                                      : QString::fromStdString(what) + QStringLiteral(" (Ctrl+Z)"));
}

void UndoBar::showResult(const QString& text)
{
    m_result->setText(text);
    m_result->setToolTip(text);
}

bool undoLastWrite(QWidget* parent) { return replay(parent, true); }

bool redoLastWrite(QWidget* parent) { return replay(parent, false); }

void installUndoShortcuts(QWidget* window)
{
    auto* undo = new QAction(QStringLiteral("Undo last write"), window);
    undo->setObjectName(QStringLiteral("actUndoWrite"));
    undo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Z));
    undo->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(undo, &QAction::triggered, window, [window] { undoLastWrite(window); });
    auto* redo = new QAction(QStringLiteral("Redo last write"), window);
    redo->setObjectName(QStringLiteral("actRedoWrite"));
    redo->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    redo->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(redo, &QAction::triggered, window, [window] { redoLastWrite(window); });
    window->addAction(undo);
    window->addAction(redo);
}

}  // namespace mainwindow
