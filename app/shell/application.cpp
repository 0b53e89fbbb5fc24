#include "shell/application.h"

#include "shell/ui_services.h"

#include "device/bus_route.h"

#include <QCloseEvent>
#include <QIcon>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <vexlink06/vexlink06.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

// The resources live in a static library: nothing else would pull them in.
static void initProgramResources() { Q_INIT_RESOURCE(fanscope); }

namespace {

bool g_setNoSharedMemory = false;

// A signal handler may only write: it wakes the event loop through this pair.
int g_signalPair[2] = {-1, -1};
volatile std::sig_atomic_t g_signal = 0;

void onTerminationSignal(int number)
{
    g_signal = number;
    const int saved = errno;
    const char byte = 1;
    (void)!::write(g_signalPair[1], &byte, 1);
    errno = saved;
}

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

bool onUserInterfaceThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app != nullptr && QThread::currentThread() == app->thread();
}
}  // namespace

void yieldToEventLoop()
{
    // A wait inside a transfer holds the bus mutex. Handlers run from here
    // could wait for a thread that needs the bus (a fan measurement ending,
    // a window joining its worker) and would start transfers of their own in
    // the middle of this one; so only waits outside the bus (the program's
    // seconds wait) pass the event loop. Other threads have none to pass.
    if (device::BusMutex::heldHere() || !onUserInterfaceThread())
        return;
    struct Depth {
        Depth() { ++t_libraryWaits; }
        ~Depth() { --t_libraryWaits; }
        Depth(const Depth&) = delete;
        Depth& operator=(const Depth&) = delete;
    } depth;
    QCoreApplication::processEvents();
}

bool insideLibraryWait() { return t_libraryWaits > 0; }

namespace {

// From the top of the event loop: inside a library wait every window would
// put its close off, and closeAllWindows stops at the first that does.
void closeAllWindowsOnSignal()
{
    if (insideLibraryWait()) {
        QTimer::singleShot(20, qApp, closeAllWindowsOnSignal);
        return;
    }
    QApplication::closeAllWindows();
}

}  // namespace

void closeWindowsOnTerminationSignals()
{
    if (g_signalPair[0] < 0) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_signalPair) != 0)
            return;
        auto* notifier = new QSocketNotifier(g_signalPair[0], QSocketNotifier::Read, qApp);
        QObject::connect(notifier, &QSocketNotifier::activated, qApp, [] {
            char drained[16];
            while (::read(g_signalPair[0], drained, sizeof drained) > 0) { }
            closeAllWindowsOnSignal();
        });
    }
    struct sigaction action { };
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the program was started ignoring (nohup, a background
        // job of a script) stays ignored.
        struct sigaction before { };
        if (::sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        (void)::sigaction(number, &action, nullptr);
    }
}

int terminationSignal() { return g_signal; }

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
        const auto show = [title = QString::fromStdString(title), text = QString::fromStdString(text)] {
            msgBox(QApplication::activeWindow(), text, MsgButtons::Ok, title, MsgIcon::Critical);
        };
        // A modal box runs an event loop: never with the bus held (the
        // library reports from inside its transfers), never off the
        // user-interface thread.
        if (!onUserInterfaceThread()) {
            if (QCoreApplication* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(app, show, Qt::QueuedConnection);
            return;
        }
        device::BusMutex::whenReleased(show);
    });
}

}  // namespace shell
