#include "shell/application.h"

#include "shell/ui_services.h"

#include <QIcon>

#include <vexlink06/vexlink06.h>

// The resources live in a static library: nothing else would pull them in.
static void initProgramResources() { Q_INIT_RESOURCE(fanscope); }

namespace shell {

QString errorText(long number, const QString& description)
{
    return QStringLiteral("Error:") + QString::number(number) + QStringLiteral(", ") + description;
}

QString errorText(const std::exception& error)
{
    if (const auto* com = dynamic_cast<const vexlink06::ComError*>(&error))
        return errorText(com->number(), QString::fromStdString(com->description()));
    return QStringLiteral("Error:") + QString::fromLocal8Bit(error.what());
}

void reportUnhandledError(const std::exception& error)
{
    msgBox(QApplication::activeWindow(), errorText(error), MsgButtons::Ok, QString::fromLatin1(kProgramTitle),
           MsgIcon::Critical);
}

Application::Application(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QString::fromLatin1(kProgramName));
    setApplicationVersion(QStringLiteral(FANSCOPE_VERSION));
    initProgramResources();
    setWindowIcon(QIcon(QString::fromLatin1(kProgramIcon)));
}

bool Application::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        reportUnhandledError(error);
    } catch (...) {
        msgBox(QApplication::activeWindow(), QStringLiteral("Error: unknown failure"), MsgButtons::Ok,
               QString::fromLatin1(kProgramTitle), MsgIcon::Critical);
    }
    return false;
}

namespace {
thread_local int t_libraryWaits = 0;
}  // namespace

void yieldToEventLoop()
{
    struct Depth {
        Depth() { ++t_libraryWaits; }
        ~Depth() { --t_libraryWaits; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;
    } depth;
    QCoreApplication::processEvents();
}

bool insideLibraryWait() { return t_libraryWaits > 0; }

void installLibraryHooks()
{
    vexlink06::setEventLoopYield(yieldToEventLoop);
    vexlink06::setMessageHook([](const std::string& title, const std::string& text) {
        msgBox(QApplication::activeWindow(), QString::fromStdString(text), MsgButtons::Ok,
               QString::fromStdString(title), MsgIcon::Critical);
    });
}

}  // namespace shell
