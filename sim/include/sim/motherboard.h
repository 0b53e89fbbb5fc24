// The simulated PC motherboard behind the motherboard SMBus helper: PCI
// configuration space reached through configuration mechanism 1 (ports
// 0xCF8/0xCFC), a south bridge chosen by preset, and the SMBus host
// controller of that south bridge modelled as a register file that runs
// real bit-level transfers on the motherboard SMBus.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "sim/config.h"

namespace sim {

class Bus;
class HostController;

inline constexpr uint16_t kConfigAddressPort = 0xCF8;
inline constexpr uint16_t kConfigDataPort = 0xCFC;

// Where each preset puts its controller and what it holds there.
struct SouthBridgeLayout {
    uint32_t id = 0;  // configuration dword 0 (device << 16 | vendor)
    uint8_t device = 0;
    uint8_t function = 0;
    uint8_t baseRegister = 0;  // where the I/O base is found
    uint16_t base = 0;         // I/O base of the host registers
    enum class Family { None, Piix4, Ali } family = Family::None;
};
SouthBridgeLayout southBridgeLayout(SouthBridgePreset preset);

// One configuration dword written through 0xCFC, as the bus decoded it.
struct PciConfigWrite {
    uint8_t bus = 0;
    uint8_t device = 0;
    uint8_t function = 0;
    uint8_t reg = 0;     // dword-aligned register
    uint32_t value = 0;  // the dword after the write
    bool operator==(const PciConfigWrite&) const = default;
};

class Motherboard {
public:
    Motherboard(const MotherboardConfig& config, Bus& smbus);
    ~Motherboard();
    Motherboard(const Motherboard&) = delete;
    Motherboard& operator=(const Motherboard&) = delete;

    SouthBridgePreset preset() const { return m_preset; }
    const SouthBridgeLayout& layout() const { return m_layout; }

    // Port I/O as the processor sees it. Nothing decoded reads all ones.
    uint8_t inb(uint16_t port);
    void outb(uint16_t port, uint8_t value);
    uint16_t inw(uint16_t port);
    void outw(uint16_t port, uint16_t value);
    uint32_t inl(uint16_t port);
    void outl(uint16_t port, uint32_t value);

    // Port permission as the helper's open call sees it; a test may refuse
    // ports to see how callers cope.
    bool mayOpen(uint16_t port) const { return !m_refused.count(port); }
    void refusePort(uint16_t port) { m_refused.insert(port); }

    // Direct configuration access for tests (no port cycles, not recorded).
    uint32_t config(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg) const;
    void setConfig(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg, uint32_t value);
    // The mechanism-1 address register keeps every bit written to it.
    uint32_t configAddress() const { return m_configAddress; }
    void setConfigAddress(uint32_t value) { m_configAddress = value; }

    const std::vector<PciConfigWrite>& configWrites() const { return m_configWrites; }
    uint64_t configReads() const { return m_configReads; }
    void clearConfigLog();

    // Status reads that still show the controller busy after a start, as a
    // real controller does while it clocks the bus (default 2).
    void setBusyStatusReads(int reads);
    // The host controller's I/O base as its configuration now decodes it.
    uint16_t hostBase() const;
    bool hostEnabled() const;

private:
    struct Function {
        uint32_t dwords[64] = {};
    };
    static uint32_t key(uint32_t bus, uint32_t device, uint32_t function);
    Function* functionAt(uint32_t address);
    const Function* functionAt(uint32_t address) const;
    uint32_t dataRead(uint32_t byteOffset, int width);
    void dataWrite(uint32_t byteOffset, uint32_t value, int width);
    HostController* decodedHost(uint16_t port, uint16_t& offset);

    SouthBridgePreset m_preset;
    SouthBridgeLayout m_layout;
    std::map<uint32_t, Function> m_functions;
    std::unique_ptr<HostController> m_host;
    uint32_t m_configAddress = 0;
    std::vector<PciConfigWrite> m_configWrites;
    uint64_t m_configReads = 0;
    std::set<uint16_t> m_refused;
};

// The process-wide motherboard of `board()`, rebuilt whenever the board is
// reconfigured.
Motherboard& motherboard();

}  // namespace sim
