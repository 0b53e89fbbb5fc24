#include "sim/board.h"
#include "sim/wire_capture.h"

#include <cstdio>
#include <cstdlib>

#include "fault_schedule.h"
#include "other_master.h"

namespace sim {

namespace {

constexpr size_t kLogLimit = size_t{1} << 20;

std::string busName(uint32_t base)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "port@%X", base);
    return buf;
}

}  // namespace

Port::Port(const PortConfig& config, Board& board)
    : m_config(config), m_board(board), m_bus(busName(config.base)), m_pc(m_bus.addDriver("pc")),
      m_heldElsewhere(config.heldByOtherProcess)
{
    for (const ChipConfig& c : config.chips) {
        m_chips.push_back(std::make_unique<Chip>(m_bus, board.clock(), c, board.config().ambientC));
        m_bus.attach(m_chips.back().get());
    }
    if (config.eeprom) {
        m_eeprom = std::make_unique<Eeprom>(m_bus);
        m_bus.attach(m_eeprom.get());
    }
    if (config.otherMaster.mode != OtherMasterConfig::Mode::None) {
        m_other = std::make_unique<OtherMaster>(m_bus, config.otherMaster);
        m_bus.attach(m_other.get());
    }
    // Power-on data register: the value that releases both lines, so an
    // idle board reads both lines high whichever adapter it has.
    m_data = m_config.inverting ? 0x00 : 0x03;
    m_bus.reset();
    applyData(m_data);
    for (const FaultConfig& f : config.faults)
        addFault(f);
}

void Port::addFault(const FaultConfig& fault)
{
    if (!m_faults) {
        m_faults = std::make_unique<FaultSchedule>(m_bus, m_board.clock(), m_chips);
        m_bus.attach(m_faults.get());
    }
    m_faults->add(fault);
    m_faults->poll();
}

Port::~Port() = default;

bool Port::claim()
{
    if (m_heldElsewhere)
        return false;
    m_claimed = true;
    return true;
}

void Port::applyData(uint8_t value)
{
    const uint8_t heaters = static_cast<uint8_t>((value ^ m_data) & 0x30);
    if (heaters) {
        // The heaters' past state counts up to this instant.
        for (auto& c : m_chips)
            c->sync();
    }
    m_data = value;
    if (heaters) {
        for (auto& c : m_chips)
            c->setHeaters(heater1(), heater2());
    }
    const AdapterPulls pulls = adapterPulls(m_config.inverting, value);
    m_bus.drive(m_pc, pulls.scl, pulls.sda);
}

void Port::write(uint32_t offset, uint8_t value)
{
    if (!m_claimed)
        return;
    if (m_faults)
        m_faults->poll();
    if (offset == 0) {
        if (m_log.size() >= kLogLimit)
            m_log.erase(m_log.begin(), m_log.begin() + static_cast<std::ptrdiff_t>(kLogLimit / 2));
        m_log.push_back(value);
        if (WireCapture* capture = m_bus.capture())
            capture->dataWrite(value);
        applyData(value);
    } else if (offset == 2) {
        m_control = value;
    }
}

uint8_t Port::status() const { return adapterStatus(m_config.inverting, m_bus.scl(), m_bus.sda()); }

std::optional<ReadAhead> Port::readAhead() const
{
    // Faults and the other master act on their own; the PC pulling SDA is
    // not a byte being read.
    if (!m_claimed || m_faults || m_other || m_bus.pullsSda(m_pc))
        return std::nullopt;
    std::optional<DeviceOutlook> sender;
    for (const BusDevice* device : m_bus.devices()) {
        const DeviceOutlook outlook = device->outlook();
        if (outlook.kind == DeviceOutlook::Kind::Unknown)
            return std::nullopt;
        if (outlook.kind == DeviceOutlook::Kind::Sending) {
            if (sender)
                return std::nullopt;
            sender = outlook;
        }
    }
    // Nobody but the PC may hold the clock (a kernel adapter's transfer,
    // say): the client reckons SCL from its own writes.
    if (!sender || m_bus.scl() == m_bus.pullsScl(m_pc))
        return std::nullopt;
    return ReadAhead{m_config.base, m_config.inverting, m_data, sender->byte, sender->bit, sender->rose};
}

uint8_t Port::read(uint32_t offset)
{
    if (!m_claimed)
        return 0;
    if (m_faults)
        m_faults->poll();
    switch (offset) {
    case 0: return m_data;
    case 1: {
        // The other master reacts after this read: the PC sees the lines as
        // they were when it looked.
        const uint8_t s = status();
        if (WireCapture* capture = m_bus.capture())
            capture->statusRead(s);
        if (m_other)
            m_other->onStatusRead(!m_bus.pullsScl(m_pc) && !m_bus.pullsSda(m_pc));
        return s;
    }
    case 2: return m_control;
    default: return 0;
    }
}

// ---------------------------------------------------------------------------

Board::Board() { configure(Config{}); }

Board::~Board() = default;

void Board::configure(const Config& config)
{
    // Adapters drive buses the ports and the motherboard own: they go first.
    m_i2cAdapters.clear();
    m_i2cChips.clear();
    m_i2cBuses.clear();
    m_ports.clear();
    m_mbChips.clear();
    m_mbBus.reset();
    m_config = config;
    m_clock.setManual(config.time == TimeMode::Manual);
    m_clock.setScale(config.timeScale);
    m_clock.restart();
    for (const PortConfig& p : m_config.ports)
        m_ports.push_back(std::make_unique<Port>(p, *this));
    m_mbBus = std::make_unique<Bus>("motherboard");
    for (const ChipConfig& c : m_config.motherboard.chips) {
        m_mbChips.push_back(std::make_unique<Chip>(*m_mbBus, m_clock, c, m_config.ambientC));
        m_mbBus->attach(m_mbChips.back().get());
    }
    m_mbBus->reset();
    for (const I2cAdapterConfig& a : m_config.i2cAdapters) {
        Bus* bus = nullptr;
        if (a.bus == "motherboard") {
            bus = m_mbBus.get();
        } else if (a.bus.rfind("port", 0) == 0 && a.bus.size() == 5 && port(a.bus[4] - '0')) {
            bus = &port(a.bus[4] - '0')->bus();
        } else {
            // "own", or the default adapter on a board without a port: a bus of its own.
            m_i2cBuses.push_back(std::make_unique<Bus>("i2c-" + std::to_string(a.number)));
            bus = m_i2cBuses.back().get();
            for (const ChipConfig& c : a.chips) {
                m_i2cChips.push_back(std::make_unique<Chip>(*bus, m_clock, c, m_config.ambientC));
                bus->attach(m_i2cChips.back().get());
            }
            bus->reset();
        }
        m_i2cAdapters.push_back(std::make_unique<I2cAdapter>(a, *bus));
    }
    ++m_generation;
}

void Board::reset() { configure(Config{}); }

Port* Board::port(int index)
{
    if (index < 0 || index >= portCount())
        return nullptr;
    return m_ports[static_cast<size_t>(index)].get();
}

Port* Board::portAt(uint32_t ioAddress)
{
    for (auto& p : m_ports) {
        if (ioAddress >= p->base() && ioAddress - p->base() <= 2)
            return p.get();
    }
    return nullptr;
}

Chip* Board::findChip(Bus& bus, uint8_t address8)
{
    auto search = [&](std::vector<std::unique_ptr<Chip>>& chips) -> Chip* {
        for (auto& c : chips) {
            if (c->address() == (address8 & 0xFE))
                return c.get();
        }
        return nullptr;
    };
    if (&bus == m_mbBus.get())
        return search(m_mbChips);
    for (auto& b : m_i2cBuses) {
        if (b.get() == &bus) {
            for (auto& c : m_i2cChips)
                if (c->address() == (address8 & 0xFE) && &c->bus() == &bus)
                    return c.get();
            return nullptr;
        }
    }
    for (auto& p : m_ports) {
        if (&p->bus() == &bus)
            return search(p->chips());
    }
    return nullptr;
}

Chip* Board::chip(uint8_t address8)
{
    if (m_ports.empty())
        return nullptr;
    return findChip(m_ports.front()->bus(), address8);
}

void Board::advanceMs(double ms)
{
    m_clock.advanceMs(ms);
    sync();
}

void Board::sync()
{
    for (auto& p : m_ports)
        for (auto& c : p->chips())
            c->sync();
    for (auto& c : m_mbChips)
        c->sync();
    for (auto& c : m_i2cChips)
        c->sync();
}

I2cAdapter* Board::i2cAdapter(int number)
{
    for (auto& a : m_i2cAdapters)
        if (a->number() == number)
            return a.get();
    return nullptr;
}

Board& board()
{
    // Never destroyed: the platform libraries may still touch the board from
    // other objects' destructors at process exit.
    static Board* const instance = [] {
        auto* b = new Board();
        if (const char* path = std::getenv("FANSCOPE_SIM_CONFIG"); path && *path) {
            try {
                b->configure(loadConfigFile(path));
            } catch (const ConfigError& e) {
                std::fprintf(stderr, "fanscope simulated board: %s\n", e.what());
                std::exit(2);
            }
        }
        return b;
    }();
    return *instance;
}

}  // namespace sim
