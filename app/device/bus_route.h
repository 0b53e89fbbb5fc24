#pragma once
// The one place that routes a register transfer by medium. The register
// link (the windows' way) and the device session (everything else) both go
// through here, under the one process-wide bus mutex.

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace vexlink06 {
class ComError;
}

namespace device {

// A recursive mutex that knows whether the calling thread holds it: the
// program's event-loop hook must not run handlers (which may wait for a
// thread that needs the bus) while a transfer holds it.
class BusMutex {
public:
    void lock();
    bool try_lock();
    void unlock();
    // True while the calling thread holds it (at any depth).
    static bool heldHere();
    // Runs `work` on the calling thread as soon as that thread no longer
    // holds the mutex: at once when it does not hold it now.
    static void whenReleased(std::function<void()> work);

private:
    std::recursive_mutex m_mutex;
};

// Held for every transfer below, and by a device session for each whole
// operation. Recursive: a session operation and the transfers it makes run
// on the thread that already holds it.
BusMutex& busMutex();

// One register byte by the path `medium` names (the register link's
// numbering: 1 printer port, 3 kernel adapter, any other value the chipset
// SMBus). `address` is the 8-bit address byte on the printer port and the
// 7-bit address elsewhere. The library's children are fetched afresh for
// every call: a client may have replaced them. Library errors propagate.
std::uint8_t routeRead(std::uint8_t medium, std::uint8_t address, std::uint8_t reg);
void routeWrite(std::uint8_t medium, std::uint8_t address, std::uint8_t reg, std::uint8_t value);

// The windows' watch over the shared simulated board, opened for one timer
// tick. Opening it looks for a lost board again and, on a board that
// answers again, reads the Device ID of the chip RegisterLink names (at its
// address, by its medium) before anything else of the tick happens. While it
// is open on this thread a transfer that would reach another board than the
// one it opened on, or none, is not made: a read gives FFh, a write nothing,
// and broken() says so, so that the window keeps what it showed rather than
// values nobody read. Without a shared board it is always serving.
// The same for the window's kernel adapter (RegisterLink's medium): once a
// transfer finds it gone, the watch is broken and later ones are not
// serving until an adapter of the same name is present again, under any
// number, and the chip answers there.
class BoardWatch {
public:
    BoardWatch();
    ~BoardWatch();
    BoardWatch(const BoardWatch&) = delete;
    BoardWatch& operator=(const BoardWatch&) = delete;

    // A board serves and the chip answers there.
    bool serving() const { return m_serving; }
    // Serving, for the first time since the board was lost.
    bool returned() const { return m_returned; }
    // Not serving, or the board went during the tick.
    bool broken() const;
    // Why not serving: the lost board's reason, or what answers instead of the chip.
    const std::string& why() const { return m_why; }

private:
    friend bool watchAllows();
    friend bool boardAway();
    friend void noteAdapterFailure(const vexlink06::ComError& e);
    void findAdapter();
    std::uint64_t m_connection = 0;
    bool m_serving = false;
    bool m_returned = false;
    mutable bool m_broken = false;
    std::string m_why;
    BoardWatch* m_outer = nullptr;
};

// A kernel adapter's failure: one that says the adapter went marks the
// window's adapter away (see BoardWatch).
void noteAdapterFailure(const vexlink06::ComError& e);
// The window's kernel adapter went and has not been found again.
bool windowAdapterAway();

// Whether what was read since the open watch began (or, with none open,
// now) came from no board: a window applies none of it.
bool boardAway();

}  // namespace device
