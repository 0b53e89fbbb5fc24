// Shared pieces of the whole-transaction layer, used by the protocol and
// board-memory classes.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

namespace vexlink06 {

// 0 to 9 ms random back-off on the millisecond clock, yielding meanwhile;
// counts one more arbitration denial.
void RandomWait();

// SMBus packet error code (CRC-8, x^8 + x^2 + x + 1, initial 0) over the
// bytes; the running value after each byte goes to PECData. More than 38
// bytes fail with "Subscript out of range", a value outside 0..255 with
// "Overflow"; both are checked before anything is stored.
std::uint8_t computePEC(std::span<const std::int16_t> bytes);

// Runs the steps in order, skipping the rest once arbitration is lost.
template <class... Steps> void runSteps(Steps&&... steps);

// A sequence's first primitive runs whatever the flag says (its own line
// checks decide afresh); the test comes after every primitive.
template <class First, class... Rest> void runSequence(First&& first, Rest&&... rest)
{
    first();
    runSteps(std::forward<Rest>(rest)...);
}

bool arbitrationLost();
void clearArbitration();

template <class... Steps> void runSteps(Steps&&... steps)
{
    ((arbitrationLost() ? void() : static_cast<void>(steps())), ...);
}

}  // namespace vexlink06
