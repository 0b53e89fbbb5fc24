// fanscope.detect and fanscope.open: the probe of the device layer with
// Python's arguments, and what a search that finds nothing says.
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "back_end.h"
#include "chip.h"
#include "device/adapters.h"
#include "device/numbers.h"
#include "device/register_link.h"
#include "errors.h"

namespace py = pybind11;

namespace fanscope_py {
namespace {

device::Medium mediumArgument(const SearchArguments& args)
{
    if (!args.medium)
        return args.bus ? device::Medium::KernelAdapter : device::Medium::PrinterPort;
    if (*args.medium == "printer")
        return device::Medium::PrinterPort;
    if (*args.medium == "smbus")
        return device::Medium::ChipsetSmbus;
    if (*args.medium == "i2c")
        return device::Medium::KernelAdapter;
    throwValueError("unknown medium '" + *args.medium + "' (give printer, smbus or i2c)");
}

// The adapter number a bus argument names: a number, or "i2c-1" or an
// adapter's name as the bus tools take them.
int adapterArgument(const py::object& bus)
{
    if (py::isinstance<py::int_>(bus)) {
        const auto n = bus.cast<long long>();
        if (n < 0 || n > 255)
            throwValueError("bus " + std::to_string(n) + " is not an I2C adapter number (0..255)");
        return static_cast<int>(n);
    }
    if (!py::isinstance<py::str>(bus))
        throw py::type_error("bus must be an adapter number or name");
    const auto name = bus.cast<std::string>();
    int number = -1;
    {
        py::gil_scoped_release release;
        std::lock_guard lock(device::Session::busMutex());
        number = device::KernelBus::shared().find(name);
    }
    if (number < 0)
        throw OsFailure(ENOENT, "there is no I2C adapter '" + name + "'");
    return number;
}

// A search, and the kernel adapters it could not search because this user
// may not open them.
struct Search {
    device::ProbeRequest request;
    std::vector<device::AdapterRecord> refused;
};

// Every kernel adapter: the ones this user may open are searched, the
// others remembered, so that finding nothing names the group to join
// rather than passing for an empty bus.
void listAdapters(Search& search)
{
    std::vector<device::AdapterRecord> list;
    {
        py::gil_scoped_release release;
        std::lock_guard lock(device::Session::busMutex());
        try {
            list = device::KernelBus::shared().adapters();
        } catch (const device::BusFailure&) {
            return;  // the probe lists again and reports the failure as its own
        }
    }
    std::map<int, std::string> names;
    for (const device::AdapterRecord& a : list) {
        if (a.access == device::AdapterFault::None) {
            search.request.adapters.push_back(a.number);
            names[a.number] = a.name;
        } else if (a.access == device::AdapterFault::NoPermission) {
            search.refused.push_back(a);
        }
    }
    if (!search.request.adapters.empty())
        search.request.adapterNames = std::move(names);
}

[[noreturn]] void throwRefused(const Search& search)
{
    const device::AdapterRecord& a = search.refused.front();
    throwAdapterRefused(a.busName(), a.group);
}

Search probeRequest(const SearchArguments& args, bool first)
{
    useBackEnd({args.hardware, args.simConfig});
    Search search;
    device::ProbeRequest& request = search.request;
    const device::Medium medium = mediumArgument(args);
    request.media = {medium};
    if (args.port) {
        if (medium != device::Medium::PrinterPort)
            throwValueError("port names a printer port; it goes with medium='printer'");
        if (*args.port < 0)
            throwValueError("there is no printer port " + std::to_string(*args.port));
        request.printerPort = *args.port;
    }
    if (args.bus) {
        if (medium != device::Medium::KernelAdapter)
            throwValueError("bus names a kernel I2C adapter; it goes with medium='i2c'");
        request.adapters = {adapterArgument(*args.bus)};
    }
    if (args.address)
        request.address = sevenBitAddressArgument(*args.address);
    request.stopAtFirst = first;
    request.stopOnError = first;
    const bool force = args.force;
    request.onDriverOwned = [force](int, std::uint8_t, const device::SessionError&) { return force; };
    if (medium == device::Medium::KernelAdapter && !args.bus) {
        listAdapters(search);
        // Only refused adapters: nothing to search.
        if (request.adapters.empty() && !search.refused.empty())
            throwRefused(search);
    }
    return search;
}

device::ProbeReport runProbe(const device::ProbeRequest& request)
{
    py::gil_scoped_release release;
    // Once per process: the evaluation board's lines held high, heaters off.
    static std::once_flag held;
    std::call_once(held, [] { device::holdBoardLines(); });
    return device::probe(request);
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string out;
    for (const std::string& p : parts)
        out += (out.empty() ? "" : "; ") + p;
    return out;
}

}  // namespace

// ---- ChipInfo -------------------------------------------------------------------

std::string ChipInfo::medium() const
{
    switch (location.medium) {
    case device::Medium::PrinterPort: return "printer";
    case device::Medium::ChipsetSmbus: return "smbus";
    case device::Medium::KernelAdapter: return "i2c";
    }
    return "";
}

std::optional<int> ChipInfo::port() const
{
    if (location.medium == device::Medium::PrinterPort)
        return location.port;
    return std::nullopt;
}

std::optional<int> ChipInfo::bus() const
{
    if (location.medium == device::Medium::KernelAdapter)
        return location.port;
    return std::nullopt;
}

std::string ChipInfo::variant() const { return std::string(device::variantName(location.variant)); }

std::string ChipInfo::repr() const
{
    std::string where = "medium='" + medium() + "'";
    if (port())
        where += ", port=" + std::to_string(*port());
    if (bus())
        where += ", bus=" + std::to_string(*bus());
    return "ChipInfo(" + where + ", address=" + device::hexByte(location.address) + ", variant='" + variant() +
           "', simulated=" + (location.simulated ? "True" : "False") + ")";
}

py::list detect(const SearchArguments& args)
{
    const Search search = probeRequest(args, false);
    const device::ProbeReport report = runProbe(search.request);
    py::list out;
    for (const device::ChipLocation& c : report.chips)
        out.append(ChipInfo{c});
    if (!search.refused.empty()) {
        if (report.chips.empty())
            throwRefused(search);
        std::string skipped;
        for (const device::AdapterRecord& a : search.refused)
            skipped += (skipped.empty() ? "" : ", ") + a.busName();
        if (PyErr_WarnEx(PyExc_RuntimeWarning, ("not searched, no permission: " + skipped).c_str(), 1) < 0)
            throw py::error_already_set();
    }
    if (report.chips.empty() && !report.errors.empty()) {
        const auto& e = report.errors.back();
        throw OsFailure(EIO, "Error: " + std::to_string(e.number) + ", " + e.description);
    }
    if (report.chips.empty() && !report.portProblems.empty())
        PyErr_WarnEx(PyExc_RuntimeWarning, joined(report.portProblems).c_str(), 1);
    return out;
}

std::unique_ptr<Chip> Chip::open(const SearchArguments& args)
{
    const Search search = probeRequest(args, true);
    const device::ProbeRequest& request = search.request;
    const device::ProbeReport report = runProbe(request);
    if (report.chips.empty() && !search.refused.empty())
        throwRefused(search);
    if (report.chips.empty()) {
        std::string where;
        switch (request.media.front()) {
        case device::Medium::ChipsetSmbus: where = "the SMBus"; break;
        case device::Medium::PrinterPort:
            where = request.printerPort ? "printer port " + std::to_string(*request.printerPort) : "the printer port";
            break;
        case device::Medium::KernelAdapter:
            where =
                request.adapters.size() == 1 ? "i2c-" + std::to_string(request.adapters.front()) : "any I2C adapter";
            break;
        }
        const std::string at = request.address ? " at " + device::hexByte(*request.address) : "";
        const std::string problems = joined(report.portProblems);
        throw OsFailure(ENXIO, "no TFM4410 or TFM4411 found" + at + " on " + where +
                                   (problems.empty() ? "" : ": " + problems));
    }
    device::Session::Options options;
    // Many threads may hold chips: the process-wide write log is not theirs.
    options.processWriteLog = false;
    // The port stays free between calls, so the program and the command line
    // reach the shared board's chip while a script holds it open.
    options.holdPort = false;
    options.confirmAllOnes = true;
    return std::make_unique<Chip>(device::Session(report.chips.front(), options));
}

}  // namespace fanscope_py
