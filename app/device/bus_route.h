#pragma once
// The one place that routes a register transfer by medium. The register
// link (the windows' way) and the device session (everything else) both go
// through here, under the one process-wide bus mutex.

#include <cstdint>
#include <functional>
#include <mutex>

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

}  // namespace device
