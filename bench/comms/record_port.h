// Control of the recording port platform used by the benchmark.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct VxRecAccess {
    enum Kind : std::uint8_t { Out, In, Claim, Release } kind;
    std::uint8_t value;
    std::int32_t argument;  // address, or port number for claim/release
};

void vxrecSetRecording(bool on);
const VxRecAccess* vxrecLog(std::size_t* count);
void vxrecClear();
// The simulated driver behind the recorder, for replaying without the library.
void* vxrecTarget(const char* symbol);
}
