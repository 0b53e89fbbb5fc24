// Finds the platform libraries at their first use: lib<kind>_<impl>.so in
// the folder of libvexlink06.so itself, never through the loader's search
// path; impl is VEXLINK06_PLATFORM, `sim` (when unset) or `linux`.
#pragma once

namespace vexlink06::platform {

enum class Kind { Port, Motherboard, I2cAdapter };  // libvxport_*, libvxmb_*, libvxi2c_*

// The address of `name` in that library. Throws ComError(48, "Error in
// loading DLL") when the platform name is unknown or the library or the
// symbol is missing; the next call tries again.
void* resolve(Kind kind, const char* name);

// The same without the error: null when anything is missing. For the
// helper's optional additions, which older helpers do not export.
void* resolveOptional(Kind kind, const char* name) noexcept;

template <class Fn> Fn* resolveAs(Kind kind, const char* name) { return reinterpret_cast<Fn*>(resolve(kind, name)); }

}  // namespace vexlink06::platform
