// Finds the platform libraries at their first use: lib<kind>_<impl>.so beside
// libvexlink06.so first, then on the system search path; impl is
// VEXLINK06_PLATFORM (`sim` when unset).
#pragma once

namespace vexlink06::platform {

enum class Kind { Port, Motherboard, I2cAdapter };  // libvxport_*, libvxmb_*, libvxi2c_*

// The address of `name` in that library. Throws ComError(48, "Error in
// loading DLL") when the library or the symbol is missing; the next call
// tries again.
void* resolve(Kind kind, const char* name);

template <class Fn>
Fn* resolveAs(Kind kind, const char* name)
{
    return reinterpret_cast<Fn*>(resolve(kind, name));
}

} // namespace vexlink06::platform
