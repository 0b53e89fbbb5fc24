// The module's Python face: names, signatures and the docstrings help()
// shows. The work is in chip.cpp and smbus.cpp.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "back_end.h"
#include "chip.h"
#include "errors.h"
#include "smbus.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace fanscope_py {
namespace {

SearchArguments searchArguments(std::optional<std::string> medium, std::optional<int> address, bool hardware,
                                std::optional<int> port, std::optional<py::object> bus,
                                std::optional<py::object> simConfig, bool force)
{
    SearchArguments a;
    a.medium = std::move(medium);
    a.address = address;
    a.hardware = hardware;
    a.port = port;
    if (bus && !bus->is_none())
        a.bus = *bus;
    if (simConfig && !simConfig->is_none())
        a.simConfig = py::str(py::module_::import("os").attr("fspath")(*simConfig)).cast<std::string>();
    a.force = force;
    return a;
}

std::string pathArgument(const py::object& path)
{
    return py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>();
}

}  // namespace
}  // namespace fanscope_py

PYBIND11_MODULE(fanscope, m)
{
    using namespace fanscope_py;
    m.doc() = R"doc(The TFM4410/TFM4411 fan controller from Python.

On the simulated evaluation board by default (the board every program on the
PC shares), on real hardware with hardware=True. A process uses one back-end,
chosen by its first call.

    import fanscope
    with fanscope.open() as chip:
        print(chip.variant, chip.temperatures())
        chip.write(0x22, 0x0C, mask=0x0F)   # fan 1 duty code 12

fanscope.SMBus offers the part of smbus2's SMBus the chip's protocol uses:

    from fanscope import SMBus
    with SMBus(1) as bus:
        print(hex(bus.read_byte_data(0x2E, 0x3D)))

chip.decode(reg) gives a register's fields as Python values: ints, a float
for a temperature, bools for single bits, and fanscope.Choice(code, name) for
an entry of a fixed table:

    chip.decode(0x22, 0xF3)  # {'Fan1 duty': Choice(code=3, name='20 %'), ...}

Errors: a missing acknowledge is OSError (errno ENXIO) on every medium, a chip
that stops answering ChipGoneError (an OSError), an argument out of range
ValueError, a device node this user may not open PermissionError.
)doc";
    m.attr("__version__") = FANSCOPE_VERSION;
    registerErrors(m);

    // Chip.decode's table entries: a tuple, so (3, '20 %') compares equal.
    py::object choice = py::module_::import("collections").attr("namedtuple")("Choice", py::make_tuple("code", "name"));
    choice.attr("__module__") = "fanscope";
    choice.attr("__doc__") = "An entry of a fixed table in Chip.decode(): the field's code and the name it shows.";
    m.attr("Choice") = choice;

    py::class_<ChipInfo>(m, "ChipInfo", "Where a chip answered a search: what fanscope.detect() lists.")
        .def_property_readonly("medium", &ChipInfo::medium, "'printer', 'smbus' or 'i2c'.")
        .def_property_readonly("port", &ChipInfo::port, "The printer port's index (medium 'printer'), else None.")
        .def_property_readonly("bus", &ChipInfo::bus,
                               "The kernel adapter's number N of /dev/i2c-N (medium 'i2c'), else None.")
        .def_property_readonly(
            "address", [](const ChipInfo& c) { return c.location.address; }, "The 7-bit address (0x2C, 0x2D, 0x2E).")
        .def_property_readonly("variant", &ChipInfo::variant, "'TFM4410' (one channel) or 'TFM4411' (two).")
        .def_property_readonly(
            "simulated", [](const ChipInfo& c) { return c.location.simulated; },
            "True when a simulated board answered.")
        .def("__repr__", &ChipInfo::repr)
        .def("__eq__", [](const ChipInfo& a, const ChipInfo& b) { return a.repr() == b.repr(); })
        .def("__hash__", [](const ChipInfo& c) { return py::hash(py::str(c.repr())); });

    m.def(
        "detect",
        [](std::optional<std::string> medium, bool hardware, std::optional<int> port, std::optional<py::object> bus,
           std::optional<py::object> simConfig) {
            return detect(searchArguments(std::move(medium), std::nullopt, hardware, port, std::move(bus),
                                          std::move(simConfig), false));
        },
        "medium"_a = py::none(), py::kw_only(), "hardware"_a = false, "port"_a = py::none(), "bus"_a = py::none(),
        "sim_config"_a = py::none(),
        R"doc(Search for chips, as `fanscope-cli detect` does; returns a list of ChipInfo.

medium: 'printer' (the default; every detected port, both adapter senses),
'smbus' (the chipset's SMBus) or 'i2c' (the kernel's adapters; the default
when bus is given). port: only this printer port. bus: only this kernel
adapter, by number (1) or name ('i2c-1', or the adapter's name).
hardware: the real back-ends instead of the simulated board.
sim_config: a private simulated board from this JSON file.

An empty list when nothing answers. Raises OSError when the medium cannot be
searched at all, PermissionError naming the group to join.)doc");

    m.def(
        "open",
        [](std::optional<std::string> medium, std::optional<int> address, bool hardware, std::optional<int> port,
           std::optional<py::object> bus, std::optional<py::object> simConfig, bool force) {
            return Chip::open(searchArguments(std::move(medium), address, hardware, port, std::move(bus),
                                              std::move(simConfig), force));
        },
        "medium"_a = py::none(), py::kw_only(), "address"_a = py::none(), "hardware"_a = false, "port"_a = py::none(),
        "bus"_a = py::none(), "sim_config"_a = py::none(), "force"_a = false,
        R"doc(Connect to a chip and return a Chip (a context manager).

Without address the first chip found in the search order, as the command line
does (on the printer port port 0 unless port is given, the standard adapter
first). address: the 7-bit address (0x2C, 0x2D, 0x2E). force: on a kernel
adapter, use an address a kernel driver owns (dangerous: the driver may be
mid-transfer). The other arguments as for detect().

Raises OSError (errno ENXIO) when no chip answers there, ValueError for an
address out of range.)doc");

    py::class_<Chip>(m, "Chip", R"doc(One connected chip: its registers, readings and register files.

Made by fanscope.open(). Every call talks to the chip (no cached values) with
the GIL released; one Chip used from several threads runs their calls one
after the other, and chips on other threads wait for a whole dump(), save()
or recall() rather than interleave with it.

Registers are named by address (0x22) or by their name in the register list
("Fan Speed Configuration"; case and blanks ignored).)doc")
        .def_property_readonly(
            "variant", [](const Chip& c) { return std::string(device::variantName(c.location().variant)); },
            "'TFM4410' or 'TFM4411'.")
        .def_property_readonly(
            "address", [](const Chip& c) { return c.location().address; }, "The 7-bit address.")
        .def_property_readonly(
            "medium", [](const Chip& c) { return ChipInfo{c.location()}.medium(); }, "'printer', 'smbus' or 'i2c'.")
        .def_property_readonly(
            "simulated", [](const Chip& c) { return c.location().simulated; },
            "True on a simulated board, so results never pass for hardware.")
        .def_property_readonly("closed", &Chip::closed, "True after close().")
        .def("read", &Chip::read, "reg"_a, "One register's value (0..255).")
        .def("write", &Chip::write, "reg"_a, "value"_a, "mask"_a = py::none(),
             R"doc(Write one register and return the value it held before.

With mask only the mask's bits change: (old & ~mask) | (value & mask).
Read-only registers are refused (ValueError). The chip is checked after the
write, since the printer port does not acknowledge writes (ChipGoneError).)doc")
        .def("dump", &Chip::dump,
             "Every register of the chip as {address: value}, in address order. Reading the interrupt status "
             "registers clears them.")
        .def("decode", &Chip::decode, "reg"_a, "value"_a = py::none(),
             R"doc(The fields `fanscope-cli dump` shows for a register, as {name: value}; value defaults to the chip's.

A number is an int (a temperature in °C a float), a single bit a bool, an
entry of a fixed table (duty, PWM frequency, chip) a fanscope.Choice, the
tuple (code, name): (3, '20 %'). A full tach count is the bound
(255, 'below 1324 RPM'), for a fan stopped or slower than the divisor
measures; a count of 2 or less gives no speed: None.)doc")
        .def("temperatures", &Chip::temperatures,
             "{'local': °C, 'remote1': °C, 'remote2': °C} (no remote2 on the TFM4410); None for an open diode.")
        .def("fans", &Chip::fans,
             "{'fan1': RPM, 'fan2': RPM} (no fan2 on the TFM4410); 0 for a stopped fan, and for a tach count at its "
             "maximum (slower than the divisor measures), which sample()'s tach_overflow and decode() tell apart.")
        .def("alarms", &Chip::alarms, "Names of the alarm bits now set; reading clears them on the chip.")
        .def("sample", &Chip::sample,
             "One reading as a dict with exactly the keys of a `fanscope-cli monitor --json` line.")
        .def(
            "save", [](Chip& c, const py::object& path) { c.save(pathArgument(path)); }, "path"_a,
            "Save the registers to a register file (the program's format), replacing it whole or not at all.")
        .def(
            "recall", [](Chip& c, const py::object& path, bool dryRun) { return c.recall(pathArgument(path), dryRun); },
            "path"_a, "dry_run"_a = false,
            R"doc(Write a register file's values to the chip; returns the changes as {address: (chip, file)}.

The whole file is validated first: a file that does not validate raises
ValueError naming the reason and writes nothing. dry_run: only return the
changes.)doc")
        .def(
            "diff", [](Chip& c, const py::object& path) { return c.diff(pathArgument(path)); }, "path"_a,
            "The registers whose file value differs from the chip's, as {address: (chip, file)}; empty when "
            "they agree.")
        .def(
            "generate",
            [](Chip& c, const std::string& format, const py::object& source) {
                return c.generate(format,
                                  source.is_none() ? std::nullopt : std::optional<std::string>(pathArgument(source)));
            },
            "format"_a, "source"_a = py::none(),
            R"doc(The configuration as set-up code, the text `fanscope-cli generate` writes.

format: "c" (a C99/C++ header), "sh" (i2cset/i2cget), "python" (smbus2) or
"json". source: a register file or JSON set-up; None reads this chip. The
code addresses this chip. A source that cannot be expressed faithfully
raises ValueError with the reason.)doc")
        .def("characterize_fan", &Chip::characterizeFan, "fan"_a = 1, "progress"_a = py::none(), py::kw_only(),
             "time_scale"_a = py::none(),
             "Measures a fan as `fanscope-cli characterize --json` does: duty codes up and down, start and stall "
             "duty, full speed, spin-up time. progress, when given, is called with a dict (fan, step, steps, "
             "phase, elapsed_s, eta_s, and duty_percent and rpm of the point just measured). Every register "
             "the measurement touches is restored afterwards, also on Ctrl+C or an error in progress. "
             "time_scale: board seconds per real second; the simulated board tells its own timeScale, and a "
             "value given must agree with it (ValueError otherwise).")
        .def("identify", &Chip::identify, "channel"_a = "remote1", "fan"_a = py::none(), "heater"_a = "on",
             "Measures a remote channel's thermal loop as `fanscope-cli identify --json` does (the same keys): "
             "steady rise per fan duty at full heat, time constant, delay, the fit's RMS error. heater: \"on\", "
             "\"off\" (a heat source of your own) or a percentage. Every register and the heater are restored "
             "afterwards, also on Ctrl+C.")
        .def("_native_read_seconds", &Chip::nativeReadSeconds, "reg"_a, "count"_a,
             "For the benchmark: seconds that count reads of reg take in C++ on the same session.")
        .def("close", &Chip::close, "Let go of the chip; later calls raise ValueError. Closing twice is harmless.")
        .def("__enter__", [](Chip& c) -> Chip& { return c; })
        .def("__exit__", [](Chip& c, const py::args&) { c.close(); })
        .def("__repr__", &Chip::repr);

    py::class_<SMBus>(m, "SMBus", R"doc(SMBus(bus=None, *, medium=None, hardware=False, port=None, force=False)

The part of smbus2's SMBus the chip's protocol uses, on every medium; a script
that stays inside it runs unchanged after `from fanscope import SMBus`.

SMBus(1) is kernel adapter i2c-1 (the simulated one unless hardware=True),
SMBus(medium='printer') the evaluation board on printer port 0 (port=N for
another), SMBus(medium='smbus') the chipset's SMBus (byte data only).
Addresses are 7-bit. A missing acknowledge is OSError with errno ENXIO on
every medium; on the printer port and the chipset SMBus, which do not sample
acknowledges, an address answers when a chip of the family identifies itself
there. pec: packet error checking on block transfers (the chip would take a
PEC byte after a byte or word for the next register's data).)doc")
        .def(py::init([](std::optional<py::object> bus, std::optional<std::string> medium, bool hardware,
                         std::optional<int> port, bool force) {
                 SMBusArguments a;
                 if (bus && !bus->is_none())
                     a.bus = *bus;
                 a.medium = std::move(medium);
                 a.hardware = hardware;
                 a.port = port;
                 a.force = force;
                 return std::make_unique<SMBus>(a);
             }),
             "bus"_a = py::none(), py::kw_only(), "medium"_a = py::none(), "hardware"_a = false, "port"_a = py::none(),
             "force"_a = false)
        .def_property("pec", &SMBus::pec, &SMBus::setPec, "Packet error checking on block transfers.")
        .def_property_readonly("bus", &SMBus::busNumber, "The adapter (or printer port) number.")
        .def_property_readonly("closed", &SMBus::closed)
        .def("read_byte", &SMBus::readByte, "i2c_addr"_a, "force"_a = py::none(), "Receive one byte.")
        .def("write_byte", &SMBus::writeByte, "i2c_addr"_a, "value"_a, "force"_a = py::none(), "Send one byte.")
        .def("read_byte_data", &SMBus::readByteData, "i2c_addr"_a, "register"_a, "force"_a = py::none(),
             "Read one byte from a register.")
        .def("write_byte_data", &SMBus::writeByteData, "i2c_addr"_a, "register"_a, "value"_a, "force"_a = py::none(),
             "Write one byte to a register.")
        .def("read_word_data", &SMBus::readWordData, "i2c_addr"_a, "register"_a, "force"_a = py::none(),
             "Read a 16-bit word, low byte first on the wire.")
        .def("write_word_data", &SMBus::writeWordData, "i2c_addr"_a, "register"_a, "value"_a, "force"_a = py::none(),
             "Write a 16-bit word, low byte first on the wire.")
        .def("read_block_data", &SMBus::readBlockData, "i2c_addr"_a, "register"_a, "force"_a = py::none(),
             "Read an SMBus block (up to 32 bytes) as a list of ints.")
        .def("write_block_data", &SMBus::writeBlockData, "i2c_addr"_a, "register"_a, "data"_a, "force"_a = py::none(),
             "Write an SMBus block of 1 to 32 bytes.")
        .def("close", &SMBus::close, "Close the bus; closing twice is harmless.")
        .def("__enter__", [](SMBus& b) -> SMBus& { return b; })
        .def("__exit__", [](SMBus& b, const py::args&) { b.close(); })
        .def("__repr__", &SMBus::repr);
}
