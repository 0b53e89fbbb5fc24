// Time bases and pauses of the bit-banged bus. Every wait spins on the
// client's thread and yields to its event loop once per pass.
#pragma once

#include <cstdint>

namespace vexlink06 {

// Seconds on a monotonic clock from an arbitrary origin.
double Timer();

// The millisecond clock of the arbitration back-off; wraps like a 32-bit
// tick count.
std::uint32_t millisecondClock();

// One pass of the client's event loop (the hook of setEventLoopYield).
void yieldEventLoop();

// Waits Delay / FrameDelay: seconds, or event-loop passes in relative mode.
// Zero and negative pauses return at once.
void InternalDelay();
void InternalFrameDelay();

// The FrameDelay limits: below 0 (or NaN) gives 0, above 1e10 gives 1e10.
float limitFrameDelay(float value);

}  // namespace vexlink06
