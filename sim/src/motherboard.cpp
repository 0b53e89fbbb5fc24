#include "sim/motherboard.h"

#include "motherboard_hosts.h"
#include "sim/board.h"

namespace sim {

namespace {

constexpr uint32_t ConfigEnable = 0x80000000u;
constexpr uint32_t NoDevice = 0xFFFFFFFFu;

// Host bridges at 0:0.0. Only the vendor half matters to software that
// looks for an Intel board; the device halves are not in any search table.
constexpr uint32_t IntelHostBridge = 0x25708086;
constexpr uint32_t AliHostBridge = 0x154110B9;
constexpr uint32_t OtherHostBridge = 0x00015AB1;
// An Intel SMBus function whose identifier no search knows.
constexpr uint32_t UnknownIntelSMBus = 0x27DA8086;

// The I/O base of each family as the firmware programmed it.
constexpr uint16_t Piix4Base = 0x5000;
constexpr uint16_t IchBase = 0x0400;
constexpr uint16_t AliBase = 0x6000;

SouthBridgeLayout ich(uint32_t id) { return {id, 31, 3, 0x20, IchBase, SouthBridgeLayout::Family::Piix4}; }

// Where software finds the host-enable bit of each family, and whether the
// firmware left it set. PIIX4 and ALi boards come up with the controller off,
// so only a configuration step that enables it makes transfers work.
struct EnableBit {
    uint8_t reg;
    uint32_t mask;
    bool setByFirmware;
};

EnableBit enableBit(SouthBridgePreset preset)
{
    switch (preset) {
    case SouthBridgePreset::Piix4: return {0xD0, 0x00010000, false};  // byte 0xD2 bit 0
    case SouthBridgePreset::Ali7101: return {0xF0, 0x00000001, false};
    default: return {0x40, 0x00000001, true};  // host configuration bit 0
    }
}

uint32_t widthMask(int width) { return width == 4 ? 0xFFFFFFFFu : width == 2 ? 0xFFFFu : 0xFFu; }

}  // namespace

SouthBridgeLayout southBridgeLayout(SouthBridgePreset preset)
{
    using F = SouthBridgeLayout::Family;
    switch (preset) {
    case SouthBridgePreset::None: return {};
    case SouthBridgePreset::Piix4: return {0x71138086, 7, 3, 0x90, Piix4Base, F::Piix4};
    case SouthBridgePreset::Ich2418: return ich(0x24188086);
    case SouthBridgePreset::Ich2428: return ich(0x24288086);
    case SouthBridgePreset::Ich2413: return ich(0x24138086);
    case SouthBridgePreset::Ich2423: return ich(0x24238086);
    case SouthBridgePreset::Ich2443: return ich(0x24438086);
    case SouthBridgePreset::Ich2445: return ich(0x24458086);
    case SouthBridgePreset::Ich2483: return ich(0x24838086);
    case SouthBridgePreset::Ich24C3: return ich(0x24C38086);
    case SouthBridgePreset::Ich24D3: return ich(0x24D38086);
    // Device 3 function 6: the fixed location its enabling writes go to.
    case SouthBridgePreset::Ali7101: return {0x710110B9, 3, 6, 0xE0, AliBase, F::Ali};
    case SouthBridgePreset::IntelHostBridge: return ich(UnknownIntelSMBus);
    }
    return {};
}

Motherboard::Motherboard(const MotherboardConfig& config, Bus& smbus)
    : m_preset(config.southBridge), m_layout(southBridgeLayout(config.southBridge))
{
    const bool intel = (m_layout.id & 0xFFFF) == 0x8086;
    const bool ali = m_layout.family == SouthBridgeLayout::Family::Ali;
    setConfig(0, 0, 0, 0, intel ? IntelHostBridge : ali ? AliHostBridge : OtherHostBridge);
    if (m_layout.id == 0)
        return;

    setConfig(0, m_layout.device, m_layout.function, 0, m_layout.id);
    setConfig(0, m_layout.device, m_layout.function, 0x08, 0x0C050000);  // class: SMBus controller
    if (ali)
        setConfig(0, m_layout.device, m_layout.function, m_layout.baseRegister,
                  static_cast<uint32_t>(m_layout.base) << 16);
    else
        setConfig(0, m_layout.device, m_layout.function, m_layout.baseRegister,
                  m_layout.base | 1u);  // bit 0 marks an I/O space base
    const EnableBit enable = enableBit(m_preset);
    if (enable.setByFirmware)
        setConfig(0, m_layout.device, m_layout.function, enable.reg, enable.mask);

    if (ali)
        m_host = std::make_unique<AliHost>(smbus);
    else
        m_host = std::make_unique<Piix4Host>(smbus);
}

Motherboard::~Motherboard() = default;

uint32_t Motherboard::key(uint32_t bus, uint32_t device, uint32_t function)
{
    return (bus << 16) | (device << 11) | (function << 8);
}

// The latch's bus, device and function fields; the reserved bits 30..24 and
// the low two bits take no part in decoding.
Motherboard::Function* Motherboard::functionAt(uint32_t address)
{
    const auto it = m_functions.find(address & 0x00FFFF00u);
    return it == m_functions.end() ? nullptr : &it->second;
}

const Motherboard::Function* Motherboard::functionAt(uint32_t address) const
{
    const auto it = m_functions.find(address & 0x00FFFF00u);
    return it == m_functions.end() ? nullptr : &it->second;
}

uint32_t Motherboard::config(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg) const
{
    const Function* f = functionAt(key(bus, device & 0x1F, function & 7));
    return f ? f->dwords[reg >> 2] : NoDevice;
}

void Motherboard::setConfig(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg, uint32_t value)
{
    m_functions[key(bus, device & 0x1F, function & 7)].dwords[reg >> 2] = value;
}

void Motherboard::clearConfigLog()
{
    m_configWrites.clear();
    m_configReads = 0;
}

uint32_t Motherboard::dataRead(uint32_t byteOffset, int width)
{
    if (!(m_configAddress & ConfigEnable))
        return widthMask(width);
    ++m_configReads;
    const Function* f = functionAt(m_configAddress);
    if (!f)
        return widthMask(width);  // master abort
    const uint32_t dword = f->dwords[(m_configAddress & 0xFC) >> 2];
    return (dword >> (8 * byteOffset)) & widthMask(width);
}

void Motherboard::dataWrite(uint32_t byteOffset, uint32_t value, int width)
{
    if (!(m_configAddress & ConfigEnable))
        return;
    Function* f = functionAt(m_configAddress);
    if (!f)
        return;
    const uint32_t index = (m_configAddress & 0xFC) >> 2;
    // Identification and class registers are read-only.
    if (index == 0 || index == 2)
        return;
    const uint32_t mask = widthMask(width) << (8 * byteOffset);
    uint32_t& dword = f->dwords[index];
    dword = (dword & ~mask) | ((value << (8 * byteOffset)) & mask);
    m_configWrites.push_back(
        {static_cast<uint8_t>((m_configAddress >> 16) & 0xFF), static_cast<uint8_t>((m_configAddress >> 11) & 0x1F),
         static_cast<uint8_t>((m_configAddress >> 8) & 0x7), static_cast<uint8_t>(index << 2), dword});
}

uint16_t Motherboard::hostBase() const
{
    if (!m_host)
        return 0;
    const uint32_t bar = config(0, m_layout.device, m_layout.function, m_layout.baseRegister);
    if (m_layout.family == SouthBridgeLayout::Family::Ali)
        return static_cast<uint16_t>((bar >> 16) & 0xFFF0);
    return static_cast<uint16_t>(bar & 0xFFF0);
}

bool Motherboard::hostEnabled() const
{
    if (!m_host)
        return false;
    const EnableBit enable = enableBit(m_preset);
    return (config(0, m_layout.device, m_layout.function, enable.reg) & enable.mask) != 0;
}

void Motherboard::setBusyStatusReads(int reads)
{
    if (m_host)
        m_host->setBusyStatusReads(reads);
}

HostController* Motherboard::decodedHost(uint16_t port, uint16_t& offset)
{
    if (!hostEnabled())
        return nullptr;
    const uint16_t base = hostBase();
    if (base == 0 || port < base || port >= base + 16)
        return nullptr;
    offset = static_cast<uint16_t>(port - base);
    return m_host.get();
}

uint8_t Motherboard::inb(uint16_t port)
{
    if (port >= kConfigAddressPort && port < kConfigDataPort)
        return static_cast<uint8_t>(m_configAddress >> (8 * (port - kConfigAddressPort)));
    if (port >= kConfigDataPort && port < kConfigDataPort + 4)
        return static_cast<uint8_t>(dataRead(port - kConfigDataPort, 1));
    uint16_t offset = 0;
    if (HostController* host = decodedHost(port, offset))
        return host->read(offset);
    return 0xFF;
}

void Motherboard::outb(uint16_t port, uint8_t value)
{
    if (port >= kConfigAddressPort && port < kConfigDataPort) {
        const unsigned shift = 8 * (port - kConfigAddressPort);
        m_configAddress = (m_configAddress & ~(0xFFu << shift)) | (uint32_t{value} << shift);
        return;
    }
    if (port >= kConfigDataPort && port < kConfigDataPort + 4)
        return dataWrite(port - kConfigDataPort, value, 1);
    uint16_t offset = 0;
    if (HostController* host = decodedHost(port, offset))
        host->write(offset, value);
}

uint16_t Motherboard::inw(uint16_t port)
{
    if (port == kConfigDataPort || port == kConfigDataPort + 2)
        return static_cast<uint16_t>(dataRead(port - kConfigDataPort, 2));
    return static_cast<uint16_t>(inb(port) | (inb(static_cast<uint16_t>(port + 1)) << 8));
}

void Motherboard::outw(uint16_t port, uint16_t value)
{
    if (port == kConfigDataPort || port == kConfigDataPort + 2)
        return dataWrite(port - kConfigDataPort, value, 2);
    outb(port, static_cast<uint8_t>(value));
    outb(static_cast<uint16_t>(port + 1), static_cast<uint8_t>(value >> 8));
}

uint32_t Motherboard::inl(uint16_t port)
{
    if (port == kConfigAddressPort)
        return m_configAddress;
    if (port == kConfigDataPort)
        return dataRead(0, 4);
    return uint32_t{inw(port)} | (uint32_t{inw(static_cast<uint16_t>(port + 2))} << 16);
}

void Motherboard::outl(uint16_t port, uint32_t value)
{
    if (port == kConfigAddressPort) {
        m_configAddress = value;
        return;
    }
    if (port == kConfigDataPort)
        return dataWrite(0, value, 4);
    outw(port, static_cast<uint16_t>(value));
    outw(static_cast<uint16_t>(port + 2), static_cast<uint16_t>(value >> 16));
}

Motherboard& motherboard()
{
    static std::unique_ptr<Motherboard> instance;
    static uint64_t builtFor = 0;
    Board& b = board();
    if (!instance || builtFor != b.generation()) {
        // The old bus may be gone already; nothing in the old model touches
        // it on the way out.
        instance.reset();
        instance = std::make_unique<Motherboard>(b.config().motherboard, b.motherboardBus());
        builtFor = b.generation();
    }
    return *instance;
}

}  // namespace sim
