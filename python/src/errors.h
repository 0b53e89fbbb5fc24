#pragma once
// How the module reports failures to Python: the device session's typed
// errors, and the library's, become the exceptions a script written for the
// kernel's I2C tools expects (OSError with the kernel's errno), so that one
// `except OSError` serves every medium.
//
// Code that runs with the GIL released throws the C++ types below; the
// translator registered on the module turns them into Python exceptions
// once the GIL is back.
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

namespace fanscope_py {

// OSError(errnum, sentence); Python picks the subclass (PermissionError for
// EACCES, FileNotFoundError for ENOENT).
class OsFailure : public std::runtime_error {
public:
    OsFailure(int errnum, const std::string& sentence) : std::runtime_error(sentence), m_errno(errnum) { }
    int errnum() const noexcept { return m_errno; }

private:
    int m_errno;
};

// The PermissionError for a kernel adapter this user may not open: the
// command line's sentence, naming the group to join.
[[noreturn]] void throwAdapterRefused(const std::string& busName, const std::string& group);

// Registers fanscope.ChipGoneError (an OSError) and the translator for
// OsFailure, device::SessionError and the library's errors.
void registerErrors(pybind11::module_& m);

// ValueError with the sentence: the module's own argument checks.
[[noreturn]] inline void throwValueError(const std::string& sentence) { throw pybind11::value_error(sentence); }

}  // namespace fanscope_py
