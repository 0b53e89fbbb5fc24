#include "timing.h"

#include <chrono>
#include <functional>
#include <utility>

#include "comms_state.h"

namespace vexlink06 {
namespace {

std::function<void()> g_yield;

// Relative mode counts event-loop passes; absolute mode compares seconds in
// double precision from the wait's own start, so a positive pause always
// lasts at least its length.
void pause(float length)
{
    if (length == 0)
        return;
    CommsState& s = commsState();
    if (s.relativeDelayOn != False) {
        s.timerMark = 0;
        if (length > 0) {
            do {
                s.timerMark += 1;
                yieldEventLoop();
            } while (s.timerMark < length);
        }
        return;
    }
    if (!(length > 0))
        return;
    s.timerMark = Timer();
    const double end = s.timerMark + static_cast<double>(length);
    while (end > Timer())
        yieldEventLoop();
}

}  // namespace

void setEventLoopYield(std::function<void()> yield) { g_yield = std::move(yield); }

void yieldEventLoop()
{
    if (g_yield)
        g_yield();
}

double Timer()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::uint32_t millisecondClock()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void InternalDelay() { pause(commsState().delay); }
void InternalFrameDelay() { pause(commsState().frameDelay); }

float limitFrameDelay(float value)
{
    if (!(value >= 0))
        return 0;
    return value > 1e10F ? 1e10F : value;
}

}  // namespace vexlink06
