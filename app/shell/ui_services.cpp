#include "shell/ui_services.h"

#include "shell/application.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdio>

namespace shell {
namespace {

QMessageBox::Icon toQt(MsgIcon icon)
{
    switch (icon) {
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::Exclamation: return QMessageBox::Warning;
    case MsgIcon::Critical: return QMessageBox::Critical;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons toQt(MsgButtons buttons)
{
    switch (buttons) {
    case MsgButtons::Ok: return QMessageBox::Ok;
    case MsgButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case MsgButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case MsgButtons::RetryCancel: return QMessageBox::Retry | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

MsgResult fromQt(int button)
{
    switch (button) {
    case QMessageBox::Cancel: return MsgResult::Cancel;
    case QMessageBox::Yes: return MsgResult::Yes;
    case QMessageBox::No: return MsgResult::No;
    case QMessageBox::Retry: return MsgResult::Retry;
    default: return MsgResult::Ok;
    }
}

MsgResult firstButton(MsgButtons buttons)
{
    switch (buttons) {
    case MsgButtons::YesNo:
    case MsgButtons::YesNoCancel: return MsgResult::Yes;
    case MsgButtons::RetryCancel: return MsgResult::Retry;
    default: return MsgResult::Ok;
    }
}

// "Excel Files (*.xls)|*.xls" -> "Excel Files (*.xls)"; pairs separated by '|'.
QString toQtFilter(const QString& classic)
{
    const QStringList parts = classic.split(u'|');
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i];
        if (!description.contains(u'('))
            description += QStringLiteral(" (%1)").arg(parts[i + 1]);
        filters << description;
    }
    if (filters.isEmpty() && !classic.isEmpty())
        filters << classic;
    return filters.join(QStringLiteral(";;"));
}

class QtUi : public UiServices {
public:
    MsgResult message(QWidget* parent, const MessageRequest& request) override
    {
        const QString title = request.title.isEmpty() ? QString::fromLatin1(kProgramTitle) : request.title;
        if (unattended()) {
            // Carriage returns in the fixed texts would overwrite the line.
            QString text = request.text;
            text.replace(u'\r', u'\n');
            std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
            if (!request.detail.isEmpty())
                std::fprintf(stderr, "%s\n", qPrintable(request.detail));
            std::fflush(stderr);
            return firstButton(request.buttons);
        }
        QMessageBox box(toQt(request.icon), title, request.text, toQt(request.buttons), parent);
        if (!request.detail.isEmpty())
            box.setDetailedText(request.detail);
        return fromQt(box.exec());
    }

    QString chooseFile(QWidget* parent, const FileRequest& request) override
    {
        if (unattended())
            return {};
        const QString filter = toQtFilter(request.filter);
        if (request.save)
            return QFileDialog::getSaveFileName(parent, request.title, request.proposedName, filter, nullptr,
                                                request.confirmReplace ? QFileDialog::Options()
                                                                       : QFileDialog::DontConfirmOverwrite);
        return QFileDialog::getOpenFileName(parent, request.title, request.proposedName, filter);
    }

    bool confirmChanges(QWidget* parent, const ChangesRequest& request) override
    {
        if (unattended()) {
            // Nobody looked at the list, so nothing is changed.
            std::fprintf(stderr, "%s: %s (%d changes, cancelled)\n", qPrintable(request.title),
                         qPrintable(request.text), int(request.rows.size()));
            std::fflush(stderr);
            return false;
        }
        QDialog dialog(parent);
        dialog.setObjectName(QStringLiteral("ChangesPreview"));
        dialog.setWindowTitle(request.title);
        auto* layout = new QVBoxLayout(&dialog);
        auto* text = new QLabel(request.text);
        text->setWordWrap(true);
        layout->addWidget(text);
        auto* table = new QTableWidget(int(request.rows.size()), int(request.headers.size()));
        table->setObjectName(QStringLiteral("tblChanges"));
        table->setHorizontalHeaderLabels(request.headers);
        table->verticalHeader()->hide();
        table->setEditTriggers(QAbstractItemView::NoEditTriggers);
        table->setSelectionMode(QAbstractItemView::NoSelection);
        for (int r = 0; r < int(request.rows.size()); ++r)
            for (int c = 0; c < int(request.rows[std::size_t(r)].size()) && c < table->columnCount(); ++c)
                table->setItem(r, c, new QTableWidgetItem(request.rows[std::size_t(r)][c]));
        table->resizeColumnsToContents();
        table->horizontalHeader()->setStretchLastSection(true);
        layout->addWidget(table);
        auto* buttons = new QDialogButtonBox;
        // Cancel is the default and has the focus: Enter alone must not
        // write to the chip. A focused auto-default button would win over it.
        buttons->addButton(request.acceptText, QDialogButtonBox::AcceptRole)->setAutoDefault(false);
        QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
        cancel->setDefault(true);
        cancel->setFocus();
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        layout->addWidget(buttons);
        // As wide as the columns (the decoded fields are the widest), as tall
        // as the rows, where the screen allows; the table scrolls beyond.
        const QMargins margins = layout->contentsMargins();
        const int frame = 2 * table->frameWidth();
        const int scrollBar = table->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, table);
        int width = table->horizontalHeader()->length() + frame + scrollBar + margins.left() + margins.right();
        int height = 150 + table->horizontalHeader()->sizeHint().height() + table->verticalHeader()->length() + frame;
        if (const QScreen* screen = dialog.screen()) {
            const QRect room = screen->availableGeometry();
            width = std::min(width, room.width() - 40);
            height = std::min(height, room.height() - 80);
        }
        dialog.resize(std::max(width, 480), std::max(height, 200));
        return dialog.exec() == QDialog::Accepted;
    }
};

std::unique_ptr<UiServices>& current()
{
    static std::unique_ptr<UiServices> services = std::make_unique<QtUi>();
    return services;
}

}  // namespace

UiServices& ui() { return *current(); }

std::unique_ptr<UiServices> setUi(std::unique_ptr<UiServices> services)
{
    auto previous = std::move(current());
    current() = services ? std::move(services) : std::make_unique<QtUi>();
    return previous;
}

MsgResult msgBox(QWidget* parent, const QString& text, MsgButtons buttons, const QString& title, MsgIcon icon,
                 const QString& detail)
{
    return ui().message(parent, MessageRequest{title.isEmpty() ? QString::fromLatin1(kProgramTitle) : title, text, icon,
                                               buttons, detail});
}

bool unattended() { return !qEnvironmentVariableIsEmpty("FANSCOPE_UNATTENDED"); }

MsgResult ScriptedUi::message(QWidget*, const MessageRequest& request)
{
    messages.push_back(request);
    if (messageAnswers.empty())
        return firstButton(request.buttons);
    const MsgResult answer = messageAnswers.front();
    messageAnswers.erase(messageAnswers.begin());
    return answer;
}

QString ScriptedUi::chooseFile(QWidget*, const FileRequest& request)
{
    fileRequests.push_back(request);
    return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
}

bool ScriptedUi::confirmChanges(QWidget*, const ChangesRequest& request)
{
    changeRequests.push_back(request);
    if (changeAnswers.empty())
        return true;
    const bool answer = changeAnswers.front();
    changeAnswers.erase(changeAnswers.begin());
    return answer;
}

ScopedScriptedUi::ScopedScriptedUi()
{
    auto scripted = std::make_unique<ScriptedUi>();
    m_ui = scripted.get();
    m_previous = setUi(std::move(scripted));
}

ScopedScriptedUi::~ScopedScriptedUi() { setUi(std::move(m_previous)); }

}  // namespace shell
