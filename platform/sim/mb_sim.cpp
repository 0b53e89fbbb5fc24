// The motherboard SMBus helper served by the simulated motherboard. It keeps
// the same rules as the real helper (only opened ports are touched, the
// transfers are the shared register sequences), so the library cannot tell
// the two apart.
#include "mbhelper_abi.h"

#include "../common/mb_port_table.h"
#include "../common/mb_transfers.h"

#include "sim/motherboard.h"

namespace {

class SimPorts final : public mbhelper::PortIo {
public:
    uint8_t inb(uint16_t port) override {
        return m_open.isOpen(port) ? sim::motherboard().inb(port) : mbhelper::IdleBusByte;
    }
    void outb(uint16_t port, uint8_t value) override {
        if (m_open.isOpen(port))
            sim::motherboard().outb(port, value);
    }
    uint16_t inw(uint16_t port) { return m_open.allOpen(port, 2) ? sim::motherboard().inw(port) : 0xFFFF; }
    void outw(uint16_t port, uint16_t value) {
        if (m_open.allOpen(port, 2))
            sim::motherboard().outw(port, value);
    }
    uint32_t inl(uint16_t port) {
        return m_open.allOpen(port, 4) ? sim::motherboard().inl(port) : 0xFFFFFFFFu;
    }
    void outl(uint16_t port, uint32_t value) {
        if (m_open.allOpen(port, 4))
            sim::motherboard().outl(port, value);
    }

    bool open(int32_t port, int32_t count) {
        if (port < 0 || count < 1 || port + count > 0x10000)
            return false;
        const uint32_t first = static_cast<uint32_t>(port);
        for (uint32_t p = first; p < first + static_cast<uint32_t>(count); ++p)
            if (!sim::motherboard().mayOpen(static_cast<uint16_t>(p)))
                return false;
        for (uint32_t p = first; p < first + static_cast<uint32_t>(count); ++p)
            m_open.open(p);
        return true;
    }
    void close(int32_t port) {
        if (port >= 0)
            m_open.close(static_cast<uint32_t>(port));
    }

private:
    mbhelper::PortTable m_open;
};

SimPorts& ports() {
    static SimPorts instance;
    return instance;
}

bool validPort(int32_t port) { return port >= 0 && port <= 0xFFFF; }
uint16_t port16(int32_t port) { return static_cast<uint16_t>(port); }

} // namespace

extern "C" {

int16_t AddMultiPort(int32_t port, int32_t count) { return ports().open(port, count) ? 1 : 0; }

void RemovePort(int32_t port) { ports().close(port); }

int16_t CanInp(int32_t port) { return validPort(port) ? ports().inb(port16(port)) : 0xFF; }

void CanOutp(int32_t port, int16_t value) {
    if (validPort(port))
        ports().outb(port16(port), static_cast<uint8_t>(value));
}

int16_t CanInpw(int32_t port) {
    return static_cast<int16_t>(validPort(port) ? ports().inw(port16(port)) : 0xFFFF);
}

void CanOutpw(int32_t port, int16_t value) {
    if (validPort(port))
        ports().outw(port16(port), static_cast<uint16_t>(value));
}

int32_t CanInpd(int32_t port) {
    return static_cast<int32_t>(validPort(port) ? ports().inl(port16(port)) : 0xFFFFFFFFu);
}

void CanOutpd(int32_t port, int32_t value) {
    if (validPort(port))
        ports().outl(port16(port), static_cast<uint32_t>(value));
}

void MBByteWrite71138086(int32_t base, int32_t command, int32_t address, int32_t data) {
    if (validPort(base))
        mbhelper::piix4ByteWrite(ports(), base, command, address, data);
}

int32_t MBByteRead71138086(int32_t base, int32_t command, int32_t address, int32_t protocol) {
    return validPort(base) ? mbhelper::piix4ByteRead(ports(), base, command, address, protocol)
                           : mbhelper::IdleBusByte;
}

void MBByteWrite153310B9(int32_t base, int32_t command, int32_t address, int32_t data) {
    if (validPort(base))
        mbhelper::aliByteWrite(ports(), base, command, address, data);
}

int32_t MBByteRead153310B9(int32_t base, int32_t command, int32_t address, int32_t protocol) {
    return validPort(base) ? mbhelper::aliByteRead(ports(), base, command, address, protocol)
                           : mbhelper::IdleBusByte;
}

} // extern "C"
