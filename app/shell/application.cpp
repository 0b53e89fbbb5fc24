#include "shell/application.h"

#include "shell/ui_services.h"

#include <QCloseEvent>
#include <QIcon>
#include <QTimer>
#include <QWidget>

#include <vexlink06/vexlink06.h>

// The resources live in a static library: nothing else would pull them in.
static void initProgramResources() { Q_INIT_RESOURCE(fanscope); }

namespace {

bool g_setNoSharedMemory = false;

// Qt's X11 backing store in shared memory makes an X round trip before every
// paint, so the server has done reading the image it may overwrite. The
// Visual Display repaints a thin strip of its chart about 23 times a second:
// sending that strip in the request costs the program and the X server less
// than the wait does (measured), and whole-window repaints are rare. A user's
// own setting of the variable stands.
int& beforeWindowSystem(int& argc)
{
    if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) {
        qputenv("QT_XCB_NO_MITSHM", "1");
        g_setNoSharedMemory = true;
    }
    return argc;
}

}  // namespace

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

Application::Application(int& argc, char** argv) : QApplication(beforeWindowSystem(argc), argv)
{
    // Read once by the platform plugin; programs started from here get the
    // environment the user gave.
    if (g_setNoSharedMemory)
        qunsetenv("QT_XCB_NO_MITSHM");
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

bool putOffCloseInsideLibraryWait(QWidget* window, QCloseEvent* event)
{
    if (!insideLibraryWait())
        return false;
    event->ignore();
    QTimer::singleShot(20, window, [window] { window->close(); });
    return true;
}

void installLibraryHooks()
{
    vexlink06::setEventLoopYield(yieldToEventLoop);
    vexlink06::setMessageHook([](const std::string& title, const std::string& text) {
        msgBox(QApplication::activeWindow(), QString::fromStdString(text), MsgButtons::Ok,
               QString::fromStdString(title), MsgIcon::Critical);
    });
}

}  // namespace shell
