// Value types, the error type and the two client hooks of the library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <stdexcept>

#include "vexlink06/export.h"

namespace vexlink06 {

// 16-bit boolean of the automation interface: True = -1, False = 0. Other
// values are stored as given where a member says so.
using VBool = std::int16_t;
inline constexpr VBool True = -1;
inline constexpr VBool False = 0;

// A failed member call. Numbers follow the classic automation runtime:
// 6 "Overflow", 9 "Subscript out of range", 13 "Type mismatch",
// 48 "Error in loading DLL".
class VEXLINK06_API ComError : public std::runtime_error {
public:
    ComError(std::int32_t number, std::string description);

    std::int32_t number() const noexcept { return m_number; }
    const std::string& description() const noexcept { return m_description; }

    static ComError overflow();
    static ComError subscriptOutOfRange();
    static ComError typeMismatch();

private:
    std::int32_t m_number = 0;
    std::string m_description;
};

// Called once per polling pass of every wait inside the library (delays,
// acknowledge waits, arbitration back-off). Default: nothing.
VEXLINK06_API void setEventLoopYield(std::function<void()> yield);

// One pass of that hook, for client waits that should yield the same way.
VEXLINK06_API void yieldEventLoop();

// Shows the library's modal messages (errors during object creation).
// Default: one line on stderr. An empty function restores the default.
VEXLINK06_API void setMessageHook(std::function<void(const std::string& title, const std::string& text)> hook);

}  // namespace vexlink06
