#pragma once
// The one place that routes a register transfer by medium. The register
// link (the windows' way) and the device session (everything else) both go
// through here, under the one process-wide bus mutex.

#include <cstdint>
#include <mutex>

namespace device {

// Held for every transfer below, and by a device session for each whole
// operation. Recursive: a session operation and the transfers it makes, or
// an event-loop pass inside a library wait that reaches the register link
// again, run on the thread that already holds it.
std::recursive_mutex& busMutex();

// One register byte by the path `medium` names (the register link's
// numbering: 1 printer port, 3 kernel adapter, any other value the chipset
// SMBus). `address` is the 8-bit address byte on the printer port and the
// 7-bit address elsewhere. The library's children are fetched afresh for
// every call: a client may have replaced them. Library errors propagate.
std::uint8_t routeRead(std::uint8_t medium, std::uint8_t address, std::uint8_t reg);
void routeWrite(std::uint8_t medium, std::uint8_t address, std::uint8_t reg, std::uint8_t value);

}  // namespace device
