// The program's application object and the process-wide glue between the
// window system and the communications library.
#pragma once

#include <QApplication>
#include <QString>
#include <exception>

class QCloseEvent;
class QWidget;

namespace shell {

// The application and desktop name.
inline constexpr const char* kProgramName = "Fanscope";
// What the user sees as the program's title: the About box, and message
// boxes that have no title of their own.
inline constexpr const char* kProgramTitle = "TFM4410 Evaluation Software";
// The window icon, the installed icon compiled into the program.
inline constexpr const char* kProgramIcon = ":/icons/fanscope.svg";

// "Error:" + number + ", " + description: the program's one form of an
// error report.
QString errorText(long number, const QString& description);
// The report for any exception that reached an event handler's caller.
QString errorText(const std::exception& error);

// Shows an error that no handler trapped: a critical box titled with the
// program's title.
void reportUnhandledError(const std::exception& error);

// An error escaping an event handler would end the process; catching it here,
// where events are dispatched, shows it and keeps the program running.
class Application : public QApplication {
    Q_OBJECT
public:
    Application(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// Library waits yield to the Qt event loop; library messages become modal
// critical boxes through the ui() service, shown once the bus is free.
void installLibraryHooks();

// One pass of the event loop for a library wait: the yield hook above. It
// passes nothing while the calling thread holds the bus mutex (inside a
// transfer) or off the user-interface thread, so no handler runs inside a
// transfer; the program's own waits between transfers do pass.
void yieldToEventLoop();
// True while the calling thread is inside such a pass: a handler below it
// is in the middle of a wait. A window must not go away from here: Qt
// deletes a window closed in one pass at the next, under the handler still
// running.
bool insideLibraryWait();
// SIGINT, SIGTERM and SIGHUP close every window as the user would, so the
// main window's unload runs (no heater stays on; on a real port the data
// lines keep their state after the process). A second such signal ends the
// program at once; one the program was started ignoring stays ignored.
void closeWindowsOnTerminationSignals();
// The signal that closed the windows, or 0; main() exits with 128 + it.
int terminationSignal();

// For a window's closeEvent: closed inside such a pass, the close is ignored
// and made again shortly from the event loop, so the window outlives the
// handler below. True when it was put off; the caller then returns.
bool putOffCloseInsideLibraryWait(QWidget* window, QCloseEvent* event);

}  // namespace shell
