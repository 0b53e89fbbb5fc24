#include "smbus.h"

#include <cerrno>
#include <cstdio>
#include <utility>

#include "back_end.h"
#include "chip.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "errors.h"

namespace py = pybind11;

namespace fanscope_py {
namespace {

// A number outside low..high is a ValueError naming it in hex, its sign kept.
int rangedArgument(int value, int low, int high, const char* name, const char* range)
{
    if (value < low || value > high) {
        char text[96];
        const unsigned magnitude = value < 0 ? 0U - static_cast<unsigned>(value) : static_cast<unsigned>(value);
        std::snprintf(text, sizeof text, "%s %s%#x is not %s", name, value < 0 ? "-" : "", magnitude, range);
        throwValueError(text);
    }
    return value;
}

std::uint8_t addressArgument(int address)
{
    return static_cast<std::uint8_t>(rangedArgument(address, 0x03, 0x77, "address", "a 7-bit address (0x03..0x77)"));
}

std::uint16_t wordArgument(int value)
{
    return static_cast<std::uint16_t>(rangedArgument(value, 0, 0xFFFF, "value", "a word (0x0000..0xffff)"));
}

// The sentence the command line gives for an adapter this user cannot open.
std::string adapterProblem(const std::vector<device::AdapterRecord>& list, device::AdapterFault status, int bus)
{
    if (status == device::AdapterFault::NoDeviceFiles)
        throw OsFailure(ENOENT, "no I2C adapters: the i2c-dev module is not loaded (sudo modprobe i2c-dev)");
    for (const auto& a : list) {
        if (a.number != bus)
            continue;
        if (a.access == device::AdapterFault::NoPermission)
            throwAdapterRefused(a.busName(), a.group);
        return {};
    }
    throw OsFailure(ENOENT, "there is no I2C adapter i2c-" + std::to_string(bus));
}

}  // namespace

SMBus::SMBus(const SMBusArguments& args) : m_force(args.force)
{
    useBackEnd({args.hardware, std::nullopt});
    const std::string medium = args.medium.value_or("i2c");
    if (medium == "i2c") {
        m_medium = device::Medium::KernelAdapter;
        if (args.port)
            throwValueError("port names a printer port; it goes with medium='printer'");
        if (!args.bus)
            throw py::type_error("SMBus needs the adapter: SMBus(1), or medium='printer'");
    } else if (medium == "printer" || medium == "smbus") {
        m_medium = medium == "printer" ? device::Medium::PrinterPort : device::Medium::ChipsetSmbus;
        if (args.bus)
            throwValueError("bus names a kernel I2C adapter; it goes with medium='i2c'");
        if (args.port && medium == "smbus")
            throwValueError("port names a printer port; it goes with medium='printer'");
        if (args.port && *args.port < 0)
            throwValueError("there is no printer port " + std::to_string(*args.port));
        m_bus = medium == "printer" ? args.port.value_or(0) : -1;
        py::gil_scoped_release release;
        static std::once_flag held;
        std::call_once(held, [] { device::holdBoardLines(); });
        return;
    } else {
        throwValueError("unknown medium '" + medium + "' (give printer, smbus or i2c)");
    }
    const py::object& bus = *args.bus;
    std::string name;
    if (py::isinstance<py::int_>(bus)) {
        const auto n = bus.cast<long long>();
        if (n < 0 || n > 255)
            throwValueError("bus " + std::to_string(n) + " is not an I2C adapter number (0..255)");
        m_bus = static_cast<int>(n);
    } else if (py::isinstance<py::str>(bus)) {
        name = bus.cast<std::string>();
    } else {
        throw py::type_error("bus must be an adapter number or name");
    }
    py::gil_scoped_release release;
    std::lock_guard lock(device::Session::busMutex());
    m_adapter = device::KernelBus::own();
    const std::vector<device::AdapterRecord> list = m_adapter->adapters();
    if (!name.empty()) {
        m_bus = m_adapter->find(name);
        if (m_bus < 0)
            throw OsFailure(ENOENT, "there is no I2C adapter '" + name + "'");
    }
    adapterProblem(list, m_adapter->listStatus(), m_bus);
    for (const auto& a : list)
        if (a.number == m_bus)
            m_adapterName = a.name;
    m_adapter->select(m_bus);
}

// With the GIL held, as Python frees the object: see Chip::~Chip.
SMBus::~SMBus() { closeLocked(); }

void SMBus::close()
{
    py::gil_scoped_release release;
    closeLocked();
}

void SMBus::closeLocked()
{
    std::lock_guard lock(m_mutex);
    std::lock_guard bus(device::Session::busMutex());
    m_closed = true;
    m_sessions.clear();
    m_adapter.reset();
}

bool SMBus::closed() const
{
    std::lock_guard lock(m_mutex);
    return m_closed;
}

py::object SMBus::busNumber() const
{
    return m_medium == device::Medium::ChipsetSmbus ? py::object(py::none()) : py::object(py::int_(m_bus));
}

std::string SMBus::repr() const
{
    std::string where;
    switch (m_medium) {
    case device::Medium::KernelAdapter: where = "bus=" + std::to_string(m_bus); break;
    case device::Medium::PrinterPort: where = "medium='printer', port=" + std::to_string(m_bus); break;
    case device::Medium::ChipsetSmbus: where = "medium='smbus'"; break;
    }
    return "<fanscope.SMBus(" + where + ")" + (closed() ? " closed" : "") + ">";
}

device::Session& SMBus::sessionFor(std::uint8_t address)
{
    if (const auto it = m_sessions.find(address); it != m_sessions.end())
        return it->second;
    device::Session::Options options;
    options.confirmAllOnes = true;
    // NotFound here is the missing acknowledge of this medium: OSError ENXIO.
    device::Session session = device::Session::open(m_medium, m_bus, address, false, options);
    return m_sessions.emplace(address, std::move(session)).first->second;
}

SMBus::Result SMBus::run(Transfer t)
{
    py::gil_scoped_release release;
    std::lock_guard lock(m_mutex);
    if (m_closed)
        throw py::value_error("the bus is closed");
    std::lock_guard bus(device::Session::busMutex());
    // A shared board that went away is ChipGoneError with its reason, never
    // the adapter's or the chip's failure it causes, nor a value half from
    // the board that came back.
    const std::uint64_t connection = device::requireBoard();
    if (m_adapter) {
        // A board started again may number its adapters otherwise: this
        // one is looked up by its name there too.
        const bool newBoard = m_connection != 0 && connection != m_connection;
        if (newBoard && !m_adapterName.empty() && !m_search.away())
            m_search.lost("i2c-" + std::to_string(m_bus) + " (" + m_adapterName +
                          ") is not on the board that answers now");
        if (m_search.away()) {
            // ChipGoneError until the adapter is listed again by its name.
            m_bus = m_search.findAgain(m_adapterName);
            m_adapter->select(m_bus);
        } else if (connection != m_connection) {
            // The adapter's handle belongs to the board that went: open afresh.
            m_adapter->select(m_bus);
        }
    }
    m_connection = connection;
    Result r;
    try {
        t.raw.pec = m_pec;
        r = m_adapter ? device::rawTransfer(*m_adapter, t.raw, t.force) : runSession(t.raw);
    } catch (const device::BusFailure& e) {
        device::requireSameBoard(connection);
        if (!m_adapter || e.fault() != device::AdapterFault::Gone)
            throw;
        m_search.lost(e.description());
        throw device::SessionError(device::ErrorKind::BoardLost, e.description(), e.number(), e.description());
    } catch (const device::SessionError&) {
        device::requireSameBoard(connection);
        throw;
    }
    device::requireSameBoard(connection);
    return r;
}

SMBus::Result SMBus::runSession(const device::RawTransfer& t)
{
    device::Session& s = sessionFor(t.address);
    Result r;
    if (t.op == Op::ReadByteData) {
        r.value = s.read(t.command);
        return r;
    }
    if (t.op == Op::WriteByteData) {
        s.write(t.command, static_cast<std::uint8_t>(t.value));
        s.requirePresent();
        return r;
    }
    if (m_medium == device::Medium::ChipsetSmbus)
        throw OsFailure(EOPNOTSUPP,
                        "the chipset SMBus path makes byte transfers only; use the printer port or medium='i2c'");
    r = device::rawTransfer(s.location(), t);
    s.requirePresent();
    return r;
}

// Python's arguments checked in the order it names them (address, register,
// value; a block's bytes before them all), then the transfer.
SMBus::Result SMBus::transfer(Op op, int address, std::optional<int> reg, std::optional<int> value,
                              std::optional<bool> force, std::vector<std::uint8_t> block)
{
    Transfer t;
    t.raw.op = op;
    t.raw.address = addressArgument(address);
    t.raw.block = std::move(block);
    t.force = force.value_or(m_force);
    if (reg)
        t.raw.command = byteArgument("register", *reg);
    if (value)
        t.raw.value = op == Op::WriteWord ? wordArgument(*value) : byteArgument("value", *value);
    return run(std::move(t));
}

int SMBus::readByte(int address, std::optional<bool> force)
{
    return transfer(Op::ReceiveByte, address, std::nullopt, std::nullopt, force).value;
}

void SMBus::writeByte(int address, int value, std::optional<bool> force)
{
    transfer(Op::SendByte, address, std::nullopt, value, force);
}

int SMBus::readByteData(int address, int reg, std::optional<bool> force)
{
    return transfer(Op::ReadByteData, address, reg, std::nullopt, force).value;
}

void SMBus::writeByteData(int address, int reg, int value, std::optional<bool> force)
{
    transfer(Op::WriteByteData, address, reg, value, force);
}

int SMBus::readWordData(int address, int reg, std::optional<bool> force)
{
    return transfer(Op::ReadWord, address, reg, std::nullopt, force).value;
}

void SMBus::writeWordData(int address, int reg, int value, std::optional<bool> force)
{
    transfer(Op::WriteWord, address, reg, value, force);
}

std::vector<int> SMBus::readBlockData(int address, int reg, std::optional<bool> force)
{
    const Result r = transfer(Op::ReadBlock, address, reg, std::nullopt, force);
    return {r.block.begin(), r.block.end()};
}

void SMBus::writeBlockData(int address, int reg, const std::vector<int>& data, std::optional<bool> force)
{
    if (data.empty() || data.size() > device::BlockMax)
        throwValueError("a block write takes 1 to 32 bytes");
    std::vector<std::uint8_t> bytes;
    for (const int b : data)
        bytes.push_back(byteArgument("byte", b));
    transfer(Op::WriteBlock, address, reg, std::nullopt, force, std::move(bytes));
}

}  // namespace fanscope_py
