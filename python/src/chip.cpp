#include "chip.h"

#include <filesystem>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "back_end.h"
#include "device/back_end.h"
#include "device/fan_characterization.h"
#include "device/numbers.h"
#include "device/register_decode.h"
#include "device/register_diff.h"
#include "device/setup_code.h"
#include "device/thermal_loop.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "errors.h"

namespace py = pybind11;

namespace fanscope_py {
namespace {

// The registers of the chip in address order, as dump lists them.
std::vector<const device::RegisterEntry*> registersByAddress(int deviceId)
{
    std::vector<const device::RegisterEntry*> out;
    for (const device::RegisterEntry& e : device::RegisterList)
        if (device::presentOn(e, deviceId))
            out.push_back(&e);
    std::sort(out.begin(), out.end(), [](const auto* a, const auto* b) { return a->address < b->address; });
    return out;
}

py::dict differencesDict(const std::vector<device::RegisterDifference>& differences)
{
    py::dict out;
    for (const device::RegisterDifference& d : differences)
        out[py::int_(d.reg)] = py::make_tuple(d.current, d.wanted);
    return out;
}

device::RegisterFile validatedFile(const std::string& path)
{
    device::RegisterFileResult result;
    {
        py::gil_scoped_release release;
        result = device::readRegisterSet(path);
    }
    if (!result)
        throwValueError(path + ": " + result.error);
    return std::move(*result.file);
}

}  // namespace

// ---- arguments --------------------------------------------------------------

std::uint8_t byteArgument(const char* what, long long value)
{
    if (value < 0)
        throwValueError(std::string(what) + " " + std::to_string(value) + " is negative");
    if (value > 0xFF) {
        char text[64];
        std::snprintf(text, sizeof text, "%s 0x%llx is more than 0xff", what, value);
        throwValueError(text);
    }
    return static_cast<std::uint8_t>(value);
}

std::uint8_t sevenBitAddressArgument(long long value)
{
    for (std::uint8_t byte : device::CandidateAddresses) {
        if (value == byte || value == byte + 1) {
            char hint[96];
            std::snprintf(hint, sizeof hint, "0x%02llX is the 8-bit %sform of 0x%02X; give the 7-bit address", value,
                          value & 1 ? "read " : "", device::sevenBitAddress(byte));
            throwValueError(hint);
        }
    }
    if (value < 0x03 || value > 0x77) {
        char text[80];
        std::snprintf(text, sizeof text, "address %s%#llx is not a 7-bit address (0x03..0x77)", value < 0 ? "-" : "",
                      value < 0 ? -value : value);
        throwValueError(text);
    }
    return static_cast<std::uint8_t>(value);
}

const device::RegisterEntry& registerArgument(const py::object& reg, int deviceId)
{
    const device::RegisterEntry* e = nullptr;
    if (py::isinstance<py::str>(reg)) {
        // The command line's lookup: list names, file labels, a unique beginning.
        const device::RegisterLookup found = device::lookUpRegister(reg.cast<std::string>());
        if (!found)
            throwValueError(found.error);
        e = found.entry;
    } else if (py::isinstance<py::int_>(reg) && !py::isinstance<py::bool_>(reg)) {
        const std::uint8_t address = byteArgument("register", reg.cast<long long>());
        e = device::registerEntryByAddress(address);
        if (!e)
            throwValueError("the chip has no register " + device::hexByte(address) + " (dump lists them)");
    } else {
        throw py::type_error("a register is an address (int) or a name (str)");
    }
    if (!device::presentOn(*e, deviceId))
        throwValueError("register " + device::hexByte(e->address) + " (" + std::string(e->name) +
                        ") does not exist on the " + std::string(device::chipName(deviceId)));
    return *e;
}

// ---- Chip -----------------------------------------------------------------------

Chip::Chip(device::Session session) : m_session(std::move(session)), m_location(m_session->location()) { }

// With the GIL held, as Python frees the object (possibly while the
// interpreter shuts down): no other thread holds a reference then, so the
// mutex is free.
Chip::~Chip()
{
    std::lock_guard lock(m_mutex);
    m_session.reset();
}

template <class Work> auto Chip::withSession(Work&& work)
{
    py::gil_scoped_release release;
    std::lock_guard lock(m_mutex);
    if (!m_session)
        throw py::value_error("the chip is closed");
    try {
        return work(*m_session);
    } catch (const device::SessionError& e) {
        // A kernel adapter reports a connected chip that went away as a
        // missing acknowledge; to the chip's holder that is the chip gone.
        if (e.kind() != device::ErrorKind::NoAcknowledge)
            throw;
        char text[64];
        std::snprintf(text, sizeof text, "the chip at 0x%02X no longer answers", m_location.address);
        throw device::SessionError(device::ErrorKind::ChipGone, text, e.number(), e.description());
    }
}

std::string Chip::repr() const
{
    ChipInfo info{m_location};
    std::string text = info.repr();
    text.replace(0, 8, "Chip");
    if (closed())
        text.insert(text.size() - 1, ", closed");
    return "<fanscope." + text + ">";
}

bool Chip::closed() const
{
    std::lock_guard lock(m_mutex);
    return !m_session.has_value();
}

void Chip::close()
{
    py::gil_scoped_release release;
    std::lock_guard lock(m_mutex);
    m_session.reset();
}

int Chip::read(const py::object& reg)
{
    const auto& e = registerArgument(reg, device::deviceId(m_location.variant));
    return withSession([&](device::Session& s) { return s.read(e.address); });
}

int Chip::write(const py::object& reg, int value, std::optional<int> mask)
{
    const auto& e = registerArgument(reg, device::deviceId(m_location.variant));
    const std::uint8_t byte = byteArgument("value", value);
    const std::uint8_t bits = mask ? byteArgument("mask", *mask) : std::uint8_t{0xFF};
    if (!e.panelWrites)
        throwValueError("register " + device::hexByte(e.address) + " (" + std::string(e.name) + ") is read-only");
    return withSession([&](device::Session& s) {
        std::lock_guard bus(device::Session::busMutex());
        const std::uint8_t old = s.writeMasked(e.address, byte, bits);
        // Writes are not acknowledged on the printer port: a chip gone now
        // would take this one without a word.
        s.requirePresent();
        return old;
    });
}

py::dict Chip::dump()
{
    const int id = device::deviceId(m_location.variant);
    const auto values = withSession([&](device::Session& s) {
        std::lock_guard bus(device::Session::busMutex());
        std::vector<std::pair<std::uint8_t, std::uint8_t>> out;
        for (const device::RegisterEntry* e : registersByAddress(id))
            out.emplace_back(e->address, s.read(e->address));
        s.requirePresent();
        return out;
    });
    py::dict out;
    for (const auto& [address, value] : values)
        out[py::int_(address)] = py::int_(value);
    return out;
}

py::dict Chip::temperatures()
{
    struct Channel {
        const char* key;
        device::TempChannel channel;
    };
    std::vector<Channel> channels{{"local", device::TempChannel::Local}, {"remote1", device::TempChannel::Remote1}};
    if (m_location.variant == device::Variant::Tfm4411)
        channels.push_back({"remote2", device::TempChannel::Remote2});
    const auto values = withSession([&](device::Session& s) {
        std::lock_guard bus(device::Session::busMutex());
        std::vector<std::optional<float>> out;
        for (const Channel& c : channels)
            out.push_back(s.temperature(c.channel));
        return out;
    });
    py::dict out;
    for (std::size_t i = 0; i < channels.size(); ++i)
        out[channels[i].key] = values[i] ? py::object(py::float_(*values[i])) : py::object(py::none());
    return out;
}

py::dict Chip::fans()
{
    const int count = m_location.variant == device::Variant::Tfm4411 ? 2 : 1;
    const auto rpm = withSession([&](device::Session& s) {
        std::lock_guard bus(device::Session::busMutex());
        std::vector<int> out;
        for (int fan = 1; fan <= count; ++fan)
            out.push_back(s.fanRpm(fan));
        return out;
    });
    py::dict out;
    for (int fan = 1; fan <= count; ++fan)
        out[py::str("fan" + std::to_string(fan))] = rpm[static_cast<std::size_t>(fan - 1)];
    return out;
}

py::list Chip::alarms()
{
    const auto names = withSession([](device::Session& s) { return s.alarms(); });
    py::list out;
    for (const std::string& n : names)
        out.append(n);
    return out;
}

py::object Chip::sample()
{
    const std::string json = withSession([](device::Session& s) { return device::sampleJson(s.sample()); });
    return py::module_::import("json").attr("loads")(json);
}

void Chip::save(const std::string& path)
{
    const int id = device::deviceId(m_location.variant);
    const std::string error = withSession([&](device::Session& s) {
        std::lock_guard bus(device::Session::busMutex());
        const std::time_t t = std::time(nullptr);
        std::tm local{};
        localtime_r(&t, &local);
        const auto lines = device::registerFileLines(id, local, [&s](std::uint8_t a) { return s.read(a); });
        // An all-FFh file from a chip that is gone would, recalled, reset the chip.
        s.requirePresent();
        return device::writeFileReplacing(path, device::registerFileText(lines));
    });
    if (!error.empty())
        throw OsFailure(EIO, error);
}

py::dict Chip::recall(const std::string& path, bool dryRun)
{
    // Validated before the bus is touched: nothing of a bad file is written.
    const device::RegisterFile file = validatedFile(path);
    const auto writes = device::recallWrites(file, device::deviceId(m_location.variant));
    const auto differences = withSession([&](device::Session& s) {
        std::lock_guard bus(device::Session::busMutex());
        auto found = device::registerDifferences(writes, [&s](std::uint8_t a) { return s.read(a); });
        s.requirePresent();
        if (!dryRun) {
            for (const device::RegisterValue& w : writes)
                s.write(w.address, w.value);
            s.requirePresent();
        }
        return found;
    });
    return differencesDict(differences);
}

py::dict Chip::diff(const std::string& path) { return recall(path, true); }

std::string Chip::generate(const std::string& format, const std::optional<std::string>& source)
{
    const auto setupFormat = device::setupFormat(format);
    if (!setupFormat)
        throwValueError("format '" + format + "' is not c, sh, python or json");
    device::SetupHeader header;
    header.program = std::string("fanscope ") + FANSCOPE_VERSION;
    header.time = device::isoTime(std::time(nullptr));
    header.address = m_location.address;
    header.defaultBus =
        m_location.medium == device::Medium::KernelAdapter && m_location.port >= 0 ? m_location.port : 1;
    int id = device::deviceId(m_location.variant);
    std::vector<device::RegisterValue> values;
    if (source) {
        const device::RegisterFile file = validatedFile(*source);
        id = file.titleDeviceId;
        values = file.registers;
        header.source = "file " + std::filesystem::path(*source).filename().string();
    } else {
        values = withSession([&](device::Session& s) {
            std::lock_guard bus(device::Session::busMutex());
            auto read = device::readSetupSource(id, [&s](std::uint8_t a) { return s.read(a); });
            s.requirePresent();
            return read;
        });
        header.source = device::chipSourceText(id, m_location.address);
    }
    const device::SetupPlan plan = device::planSetup(id, values);
    if (!plan)
        throwValueError("cannot generate from " + header.source + ": " + plan.error);
    return device::setupText(*setupFormat, plan, header);
}

py::object Chip::characterizeFan(int fan, const py::object& progress, std::optional<double> timeScale)
{
    if (fan != 1 && fan != 2)
        throwValueError("fan " + std::to_string(fan) + " is not 1 or 2");
    if (timeScale && !(*timeScale > 0 && *timeScale <= 1000))
        throwValueError("time_scale must be more than 0 and at most 1000");
    device::CharacterizationOptions options;
    // The board says how fast it runs; time_scale, kept for scripts that
    // give it, must agree.
    if (timeScale) {
        if (const std::string mismatch = device::timeScaleMismatch(*timeScale); !mismatch.empty())
            throwValueError("time_scale: " + mismatch);
    }
    options.timeScale = timeScale.value_or(device::boardTimeScale());
    // Python's errors (a Ctrl+C, a failing progress callback) end the run
    // between readings; the chip is restored before they are raised.
    std::optional<py::error_already_set> pythonError;
    device::CharacterizationCallbacks callbacks;
    callbacks.cancelled = [&] {
        py::gil_scoped_acquire gil;
        if (!pythonError && PyErr_CheckSignals() != 0)
            pythonError.emplace();
        return pythonError.has_value();
    };
    callbacks.notice = [&](const std::string& text) {
        py::gil_scoped_acquire gil;
        if (!pythonError && PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) < 0)
            pythonError.emplace();
    };
    if (!progress.is_none()) {
        callbacks.progress = [&](const device::CharacterizationProgress& p) {
            py::gil_scoped_acquire gil;
            if (pythonError)
                return;
            try {
                py::dict d;
                d["fan"] = p.fan;
                d["step"] = p.step;
                d["steps"] = p.steps;
                d["phase"] = std::string(p.phase);
                d["elapsed_s"] = p.elapsedS;
                d["eta_s"] = p.etaS < 0 ? py::object(py::none()) : py::object(py::float_(p.etaS));
                if (p.point) {
                    d["duty_percent"] = p.point->dutyPercent;
                    d["rpm"] = p.point->rpm;
                }
                progress(d);
            } catch (py::error_already_set& e) {
                pythonError.emplace(std::move(e));
            }
        };
    }
    const device::CharacterizationRun run = withSession([&](device::Session& s) {
        // One measurement at a time on the bus; other threads' calls wait.
        std::lock_guard bus(device::Session::busMutex());
        return device::characterizeFans(device::sessionAccess(s), {fan}, options, callbacks);
    });
    std::string restoreNote;
    if (!run.restore.ok()) {
        restoreNote = "; not restored:";
        for (const std::uint8_t reg : run.restore.notRestored)
            restoreNote += " " + device::registerLabel(reg);
        if (!run.restore.reason.empty())
            restoreNote += " (" + run.restore.reason + ")";
    }
    if (pythonError)
        throw std::move(*pythonError);
    if (run.outcome == device::CharacterizationOutcome::Failed)
        throw OsFailure(EIO, run.error + restoreNote);
    if (!restoreNote.empty())
        throw OsFailure(EIO, "the measurement ended" + restoreNote);
    if (run.outcome == device::CharacterizationOutcome::Cancelled || run.fans.empty())
        throw OsFailure(ECANCELED, "the measurement was cancelled; the chip is restored");
    // The same keys as `fanscope-cli characterize --json`.
    const py::list fans = py::module_::import("json").attr("loads")(device::characterizationJson(run.fans));
    return fans[0];
}

py::object Chip::identify(const std::string& channel, std::optional<int> fan, const py::object& heater)
{
    if (channel != "remote1" && channel != "remote2")
        throwValueError("channel " + channel + " is not remote1 or remote2");
    device::ThermalOptions options;
    options.channel = channel == "remote2" ? 2 : 1;
    options.fan = fan.value_or(m_location.variant == device::Variant::Tfm4410 ? 1 : options.channel);
    if (options.fan != 1 && options.fan != 2)
        throwValueError("fan " + std::to_string(options.fan) + " is not 1 or 2");
    if (py::isinstance<py::str>(heater)) {
        const std::string h = heater.cast<std::string>();
        if (h != "on" && h != "off")
            throwValueError("heater " + h + " is not on, off or a percentage");
        options.heatShare = h == "on" ? 1.0 : 0.0;
    } else {
        const double pct = heater.cast<double>();
        if (!(pct > 0 && pct <= 100))
            throwValueError("heater must be on, off or a percentage above 0 up to 100");
        options.heatShare = pct / 100.0;
    }
    if (options.heatShare > 0 && m_location.medium != device::Medium::PrinterPort)
        throwValueError("the heaters are on the evaluation board (the printer port); give heater=\"off\"");
    options.timeScale = device::boardTimeScale();
    // A Ctrl+C ends the run between readings; the chip and the heater are
    // restored before it is raised.
    std::optional<py::error_already_set> pythonError;
    device::ThermalCallbacks callbacks;
    callbacks.cancelled = [&] {
        py::gil_scoped_acquire gil;
        if (!pythonError && PyErr_CheckSignals() != 0)
            pythonError.emplace();
        return pythonError.has_value();
    };
    const device::ThermalRun run = withSession([&](device::Session& s) {
        std::lock_guard bus(device::Session::busMutex());
        return device::identifyThermal(
            device::sessionAccess(s),
            options.heatShare > 0 ? device::boardHeater(options.channel) : device::HeaterAccess{}, options, callbacks);
    });
    if (pythonError)
        throw std::move(*pythonError);
    std::string note;
    if (!run.restore.ok() || !run.heaterRestored)
        note = "; not restored: " + run.restore.reason;
    if (run.outcome == device::CharacterizationOutcome::Failed)
        throw OsFailure(EIO, run.error + note);
    if (!note.empty())
        throw OsFailure(EIO, "the measurement ended" + note);
    if (run.outcome == device::CharacterizationOutcome::Cancelled)
        throw OsFailure(ECANCELED, "the measurement was cancelled; the chip is restored");
    // The same keys as `fanscope-cli identify --json`.
    return py::module_::import("json").attr("loads")(device::thermalJson(run.model));
}

double Chip::nativeReadSeconds(const py::object& reg, int count)
{
    const auto& e = registerArgument(reg, device::deviceId(m_location.variant));
    return withSession([&](device::Session& s) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i)
            s.read(e.address);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
}

py::dict Chip::decode(const py::object& reg, std::optional<int> value)
{
    const int id = device::deviceId(m_location.variant);
    const auto& e = registerArgument(reg, id);
    const std::optional<std::uint8_t> given =
        value ? std::optional<std::uint8_t>(byteArgument("value", *value)) : std::nullopt;
    const auto fields = withSession([&](device::Session& s) {
        std::lock_guard bus(device::Session::busMutex());
        const std::uint8_t v = given ? *given : s.read(e.address);
        // Temperatures and speeds need a second register, read from the chip.
        return device::decodeRegister(e, v, id, [&s](std::uint8_t a) { return s.read(a); });
    });
    const py::object choice = py::module_::import("fanscope").attr("Choice");
    py::dict out;
    for (const device::Field& f : fields) {
        py::object v;
        switch (f.kind) {
        case device::FieldKind::Integer: v = py::int_(static_cast<long long>(f.number)); break;
        case device::FieldKind::Real: v = py::float_(f.number); break;
        case device::FieldKind::Flag: v = py::bool_(f.number != 0); break;
        case device::FieldKind::Choice: v = choice(static_cast<long long>(f.number), f.choice); break;
        case device::FieldKind::None: v = py::none(); break;
        }
        out[py::str(f.name)] = v;
    }
    return out;
}

}  // namespace fanscope_py
