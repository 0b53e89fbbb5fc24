// Modal message boxes and file choosers for every window, behind one small
// service so tests can see what would be shown and answer without a modal loop.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace shell {

enum class MsgIcon { None, Information, Exclamation, Critical, Question };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel, RetryCancel };
enum class MsgResult { Ok, Cancel, Yes, No, Retry };

struct MessageRequest {
    QString title;
    QString text;
    MsgIcon icon = MsgIcon::None;
    MsgButtons buttons = MsgButtons::Ok;
    // Shown behind the box's "Show Details..." button; title and text stay
    // the fixed texts users know.
    QString detail;
};

struct FileRequest {
    QString title;
    // Filter in the classic "Description (*.ext)|*.ext" form; the service
    // turns it into what the toolkit wants.
    QString filter;
    QString proposedName;  // may be a full path
    bool save = false;
    // A save chooser asks before a file that exists is chosen; a file the
    // caller appends to (a data log) is not replaced, so it does not ask.
    bool confirmReplace = true;
};

// A list of changes for the user to look at before they are made, with a
// button that makes them and Cancel.
struct ChangesRequest {
    QString title;
    QString text;  // above the table
    QStringList headers;
    std::vector<QStringList> rows;
    QString acceptText = QStringLiteral("Write");
};

class UiServices {
public:
    virtual ~UiServices() = default;
    virtual MsgResult message(QWidget* parent, const MessageRequest& request) = 0;
    // Returns the chosen path, or an empty string when the user cancelled.
    virtual QString chooseFile(QWidget* parent, const FileRequest& request) = 0;
    // True when the user chose the accept button.
    virtual bool confirmChanges(QWidget* parent, const ChangesRequest& request) = 0;
};

// The service in use (real Qt dialogs unless a test installed another).
UiServices& ui();
// Installs a replacement; returns the previous one so a test can restore it.
std::unique_ptr<UiServices> setUi(std::unique_ptr<UiServices> services);

// Shorthands for the common case. A box given no title is titled with the
// program's title.
MsgResult msgBox(QWidget* parent, const QString& text, MsgButtons buttons = MsgButtons::Ok, const QString& title = {},
                 MsgIcon icon = MsgIcon::None, const QString& detail = {});

// With FANSCOPE_UNATTENDED set (scripted runs, tests of the whole program)
// message boxes are written to standard error and answered with their first
// button, and file choosers answer "cancelled"; nothing waits for a user.
bool unattended();

// For tests: records every request and answers from queues (default answers:
// the first button, an empty file name, and accepting a list of changes).
class ScriptedUi : public UiServices {
public:
    std::vector<MessageRequest> messages;
    std::vector<FileRequest> fileRequests;
    std::vector<MsgResult> messageAnswers;  // consumed front first
    QStringList fileAnswers;                // consumed front first
    std::vector<ChangesRequest> changeRequests;
    std::vector<bool> changeAnswers;  // consumed front first

    MsgResult message(QWidget* parent, const MessageRequest& request) override;
    QString chooseFile(QWidget* parent, const FileRequest& request) override;
    bool confirmChanges(QWidget* parent, const ChangesRequest& request) override;
};

// Installs a ScriptedUi for the lifetime of the guard and restores the
// previous service afterwards.
class ScopedScriptedUi {
public:
    ScopedScriptedUi();
    ~ScopedScriptedUi();
    ScopedScriptedUi(const ScopedScriptedUi&) = delete;
    ScopedScriptedUi& operator=(const ScopedScriptedUi&) = delete;
    ScriptedUi& operator*() { return *m_ui; }
    ScriptedUi* operator->() { return m_ui; }

private:
    ScriptedUi* m_ui = nullptr;
    std::unique_ptr<UiServices> m_previous;
};

}  // namespace shell
