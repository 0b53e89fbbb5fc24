#include "errors.h"

#include <cerrno>

#include "device/adapters.h"

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
int adapterErrno(device::AdapterFault fault)
{
    using device::AdapterFault;
    switch (fault) {
    case AdapterFault::NoAck: return ENXIO;
    case AdapterFault::BadPec: return EBADMSG;
    case AdapterFault::Timeout: return ETIMEDOUT;
    case AdapterFault::Gone: return ENODEV;
    case AdapterFault::DriverOwned: return EBUSY;
    case AdapterFault::NoPermission: return EACCES;
    case AdapterFault::NoDeviceFiles:
    case AdapterFault::NoAdapter: return ENOENT;
    case AdapterFault::Unsupported: return EOPNOTSUPP;
    case AdapterFault::Protocol: return EPROTO;
    case AdapterFault::Argument: return EINVAL;
    case AdapterFault::None:
    case AdapterFault::Io: break;
    }
    return EIO;
}

// In the words the adapter (or the printer port's protocol) gave.
void raiseBusFailure(const device::BusFailure& e) { raise(PyExc_OSError, adapterErrno(e.fault()), e.description()); }

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
        } catch (const device::BusFailure& e) {
            raiseBusFailure(e);
        } catch (const device::SessionError& e) {
            raiseSessionError(e);
        } catch (...) {
            const std::optional<device::BusFailure> library = device::libraryFailure(std::current_exception());
            if (!library)
                throw;
            raiseBusFailure(*library);
        }
    });
}

}  // namespace fanscope_py
