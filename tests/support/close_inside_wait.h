#pragma once
// A user's close that lands while a handler's transfer waits in the event
// loop (the library's yield hook): the handler runs from the top of the
// event loop, as a button's or a timer's does, and makes two passes of a
// library wait; the close arrives in the first. Qt deletes a window closed
// with WA_DeleteOnClose in one pass at the next, under the handler.
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include "shell/application.h"

namespace testsupport {

struct CloseInsideWait {
    bool aliveAfterWait = false;  // the window outlived the handler's waits
    bool closedAfter = false;     // and went once they were over
};

inline CloseInsideWait closeInsideLibraryWait(QWidget* window)
{
    CloseInsideWait result;
    QPointer<QWidget> w = window;
    bool handled = false;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(0, w, [&] { w->close(); });
        shell::yieldToEventLoop();
        shell::yieldToEventLoop();
        result.aliveAfterWait = !w.isNull();
        handled = true;
    });
    result.closedAfter = QTest::qWaitFor([&] { return handled && (w.isNull() || !w->isVisible()); }, 5000);
    return result;
}

}  // namespace testsupport
