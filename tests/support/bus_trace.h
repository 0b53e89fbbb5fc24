// What a simulated bus's decoded trace says, counted for the tests that check
// how much traffic an operation made.
#pragma once

#include <vector>

#include <sim/sim.h>

namespace testsupport {

// Register writes: start, address with the write bit, pointer, data, stop
// (a read has a second start before its data byte).
inline int registerWrites(const std::vector<sim::TraceEvent>& trace)
{
    using Kind = sim::TraceEvent::Kind;
    int writes = 0, bytes = 0;
    bool writing = false;
    for (const sim::TraceEvent& e : trace) {
        if (e.kind == Kind::Start || e.kind == Kind::RepeatedStart) {
            bytes = 0;
            writing = false;
        } else if (e.kind == Kind::Byte) {
            if (bytes++ == 0)
                writing = (e.value & 1) == 0;
        } else if (e.kind == Kind::Stop) {
            if (writing && bytes == 3)
                ++writes;
            bytes = 0;
        }
    }
    return writes;
}

}  // namespace testsupport
