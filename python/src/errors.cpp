#include "errors.h"

#include <cerrno>

#include <vexlink06/vexlink06.h>

#include "device/device_session.h"

namespace py = pybind11;

namespace fanscope_py {
namespace {

// Owned by the module object; set once at import.
PyObject* g_chipGone = nullptr;

void raise(PyObject* type, int errnum, const std::string& sentence)
{
    py::object args = py::make_tuple(errnum, sentence);
    PyErr_SetObject(type, args.ptr());
}

// The errno a kernel adapter gives for each failure the library tells apart.
int adapterErrno(vexlink06::AdapterError code)
{
    using vexlink06::AdapterError;
    switch (code) {
    case AdapterError::NoAck: return ENXIO;
    case AdapterError::BadPec: return EBADMSG;
    case AdapterError::Timeout: return ETIMEDOUT;
    case AdapterError::Gone: return ENODEV;
    case AdapterError::DriverOwned: return EBUSY;
    case AdapterError::NoPermission: return EACCES;
    case AdapterError::NoDeviceFiles:
    case AdapterError::NoAdapter: return ENOENT;
    case AdapterError::Unsupported: return EOPNOTSUPP;
    case AdapterError::Protocol: return EPROTO;
    case AdapterError::Argument: return EINVAL;
    case AdapterError::None:
    case AdapterError::Io: break;
    }
    return EIO;
}

void raiseSessionError(const device::SessionError& e)
{
    using device::ErrorKind;
    switch (e.kind()) {
    case ErrorKind::NoAcknowledge:
    case ErrorKind::NotFound: raise(PyExc_OSError, ENXIO, e.what()); return;
    case ErrorKind::ChipGone:
    case ErrorKind::BoardLost: raise(g_chipGone, ENXIO, e.what()); return;
    case ErrorKind::InvalidArgument: PyErr_SetString(PyExc_ValueError, e.what()); return;
    case ErrorKind::PermissionDenied: {
        std::string sentence = e.what();
        if (!e.group().empty() && sentence.find(e.group()) == std::string::npos)
            sentence += " (join the group " + e.group() + " and log in again)";
        raise(PyExc_OSError, EACCES, sentence);
        return;
    }
    case ErrorKind::DriverOwned: raise(PyExc_OSError, EBUSY, e.what()); return;
    case ErrorKind::Unavailable: raise(PyExc_OSError, ENODEV, e.what()); return;
    case ErrorKind::Bus: break;
    }
    raise(PyExc_OSError, EIO, e.what());
}

}  // namespace

void throwAdapterRefused(const std::string& busName, const std::string& group)
{
    throw OsFailure(EACCES, "no permission on /dev/" + busName + ": join the group " +
                                (group.empty() ? std::string("that owns it") : group) + " and log in again");
}

void registerErrors(py::module_& m)
{
    g_chipGone = PyErr_NewExceptionWithDoc(
        "fanscope.ChipGoneError",
        "The connected chip no longer answers (unplugged, powered off, or the bus is held), or the shared\n"
        "simulated board went away (the same object works again once the board and the chip are back).\n\n"
        "An OSError with errno ENXIO, as a kernel adapter reports a missing acknowledge;\n"
        "raised instead of handing on the 0xFF a chip that is gone reads as.",
        PyExc_OSError, nullptr);
    m.add_object("ChipGoneError", py::reinterpret_borrow<py::object>(g_chipGone));
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const OsFailure& e) {
            raise(PyExc_OSError, e.errnum(), e.what());
        } catch (const device::SessionError& e) {
            raiseSessionError(e);
        } catch (const vexlink06::AdapterFailure& e) {
            raise(PyExc_OSError, adapterErrno(e.code()), e.description());
        } catch (const vexlink06::ComError& e) {
            raise(PyExc_OSError, EIO, "Error: " + std::to_string(e.number()) + ", " + e.description());
        }
    });
}

}  // namespace fanscope_py
