// The motherboard SMBus helper on real Linux hardware. Port I/O goes through
// the port-permission service and needs root. PCI configuration space is
// reached through the kernel's per-function config files instead of raw
// 0xCF8/0xCFC cycles, which could interleave with the kernel's own: the
// helper keeps its own copy of the 0xCF8 address latch and serves the data
// port from the file of the function the latch addresses.
#include "mbhelper_abi.h"

#include "../common/mb_port_table.h"
#include "../common/mb_safety.h"
#include "../common/mb_transfers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define VXMB_HAVE_PORT_IO 1
#else
#define VXMB_HAVE_PORT_IO 0
#endif

namespace {

constexpr uint32_t ConfigAddressPort = 0xCF8;
constexpr uint32_t ConfigDataPort = 0xCFC;
constexpr uint32_t ConfigEnable = 0x80000000u;
// ioperm() reaches only the legacy range; above it the whole space is opened
// with iopl() and this helper's own table decides which ports it touches.
constexpr uint32_t IopermLimit = 0x400;

bool isConfigPort(uint32_t port) { return port >= ConfigAddressPort && port < ConfigDataPort + 4; }

std::string readTextFile(const char* path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class LinuxPorts final : public mbhelper::PortIo {
public:
    uint8_t inb(uint16_t port) override {
        if (isConfigPort(port))
            return static_cast<uint8_t>(configPortRead(port, 1));
        if (!m_open.isOpen(port))
            return mbhelper::IdleBusByte; // never fault on a port we were not granted
#if VXMB_HAVE_PORT_IO
        return ::inb(port);
#else
        return mbhelper::IdleBusByte;
#endif
    }

    void outb(uint16_t port, uint8_t value) override {
        if (isConfigPort(port))
            return configPortWrite(port, value, 1);
        if (!m_open.isOpen(port))
            return;
#if VXMB_HAVE_PORT_IO
        ::outb(value, port);
#endif
    }

    uint16_t inw(uint16_t port) {
        if (isConfigPort(port))
            return static_cast<uint16_t>(configPortRead(port, 2));
        if (!m_open.allOpen(port, 2))
            return 0xFFFF;
#if VXMB_HAVE_PORT_IO
        return ::inw(port);
#else
        return 0xFFFF;
#endif
    }

    void outw(uint16_t port, uint16_t value) {
        if (isConfigPort(port))
            return configPortWrite(port, value, 2);
        if (!m_open.allOpen(port, 2))
            return;
#if VXMB_HAVE_PORT_IO
        ::outw(value, port);
#endif
    }

    uint32_t inl(uint16_t port) {
        if (isConfigPort(port))
            return configPortRead(port, 4);
        if (!m_open.allOpen(port, 4))
            return 0xFFFFFFFFu;
#if VXMB_HAVE_PORT_IO
        return ::inl(port);
#else
        return 0xFFFFFFFFu;
#endif
    }

    void outl(uint16_t port, uint32_t value) {
        if (isConfigPort(port))
            return configPortWrite(port, value, 4);
        if (!m_open.allOpen(port, 4))
            return;
#if VXMB_HAVE_PORT_IO
        ::outl(value, port);
#endif
    }

    bool open(int32_t port, int32_t count) {
        if (port < 0 || count < 1 || port + count > 0x10000)
            return false;
        const uint32_t first = static_cast<uint32_t>(port);
        const uint32_t last = first + static_cast<uint32_t>(count) - 1;
        if (isConfigPort(first) && isConfigPort(last))
            return true; // emulated through the config files, no permission needed
        if (const auto owner = mbhelper::findKernelSMBusOwner(readTextFile("/proc/ioports"), first, last)) {
            char what[160];
            std::snprintf(what, sizeof what,
                          "I/O ports %04X-%04X belong to the kernel driver \"%s\"; unload that driver "
                          "before using the motherboard SMBus from here",
                          owner->first, owner->last, owner->name.c_str());
            reportOnce(what);
            return false;
        }
        if (!grant(first, last))
            return false;
        for (uint32_t p = first; p <= last; ++p)
            m_open.open(p);
        return true;
    }

    void close(int32_t port) {
        if (port < 0 || !m_open.close(static_cast<uint32_t>(port)))
            return;
#if VXMB_HAVE_PORT_IO
        if (static_cast<uint32_t>(port) < IopermLimit)
            ioperm(static_cast<unsigned long>(port), 1, 0);
#endif
    }

private:
    bool grant(uint32_t first, uint32_t last) {
#if VXMB_HAVE_PORT_IO
        int rc = 0;
        if (last < IopermLimit)
            rc = ioperm(first, last - first + 1, 1);
        else if (!m_iopl)
            rc = iopl(3);
        if (rc == 0) {
            m_iopl = m_iopl || last >= IopermLimit;
            return true;
        }
        explainRefusal(errno);
        return false;
#else
        (void)first;
        (void)last;
        reportOnce("direct port I/O is not available on this processor architecture");
        return false;
#endif
    }

    void explainRefusal(int err) {
        const std::string mode = mbhelper::lockdownMode(readTextFile("/sys/kernel/security/lockdown"));
        if (err == EPERM && !mode.empty() && mode != "none")
            reportOnce("direct port I/O is refused because the kernel runs in lockdown mode (" + mode +
                       "), usually enabled by Secure Boot; the motherboard SMBus cannot be used "
                       "while it is on");
        else if (geteuid() != 0)
            reportOnce("direct port I/O needs root; run the program as root to use the motherboard SMBus");
        else
            reportOnce(std::string("direct port I/O was refused: ") + std::strerror(err));
    }

    // The function the latch addresses, as a sysfs config path; empty when
    // the latch does not enable a configuration cycle.
    std::string configPath() const {
        if (!(m_latch & ConfigEnable))
            return {};
        char path[64];
        std::snprintf(path, sizeof path, "/sys/bus/pci/devices/0000:%02x:%02x.%x/config",
                      (m_latch >> 16) & 0xFF, (m_latch >> 11) & 0x1F, (m_latch >> 8) & 0x7);
        return path;
    }

    off_t configOffset(uint32_t port) const {
        return static_cast<off_t>((m_latch & 0xFC) + (port - ConfigDataPort));
    }

    uint32_t configPortRead(uint32_t port, int width) {
        if (port < ConfigDataPort) {
            const unsigned shift = 8 * (port - ConfigAddressPort);
            return width == 4 ? m_latch : (m_latch >> shift) & (width == 2 ? 0xFFFF : 0xFF);
        }
        const uint32_t none = width == 4 ? 0xFFFFFFFFu : width == 2 ? 0xFFFFu : 0xFFu;
        const std::string path = configPath();
        if (path.empty())
            return none;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return none; // no such function: what a master abort reads
        uint32_t value = 0;
        const ssize_t got = pread(fd, &value, static_cast<size_t>(width), configOffset(port));
        ::close(fd);
        if (got != width) {
            // The kernel shows unprivileged readers only the standard header.
            reportOnce("reading PCI configuration registers beyond the standard header needs root");
            return none;
        }
        return value;
    }

    void configPortWrite(uint32_t port, uint32_t value, int width) {
        if (port < ConfigDataPort) {
            if (width == 4) {
                m_latch = value;
            } else {
                const unsigned shift = 8 * (port - ConfigAddressPort);
                const uint32_t mask = (width == 2 ? 0xFFFFu : 0xFFu) << shift;
                m_latch = (m_latch & ~mask) | ((value << shift) & mask);
            }
            return;
        }
        const std::string path = configPath();
        if (path.empty())
            return;
        const std::string function = path.substr(0, path.size() - std::strlen("/config"));
        char driver[256] = {};
        if (readlink((function + "/driver").c_str(), driver, sizeof driver - 1) > 0) {
            const char* name = std::strrchr(driver, '/');
            reportOnce("PCI function " + function.substr(function.rfind('/') + 1) +
                       " is driven by the kernel driver \"" + (name ? name + 1 : driver) +
                       "\"; its configuration is left unchanged");
            return;
        }
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT)
                reportOnce("cannot write PCI configuration (" + path + "): " + std::strerror(errno));
            return;
        }
        if (pwrite(fd, &value, static_cast<size_t>(width), configOffset(port)) != width)
            reportOnce("writing PCI configuration (" + path + ") failed: " + std::strerror(errno));
        ::close(fd);
    }

    void reportOnce(const std::string& what) {
        if (m_reported.insert(what).second)
            std::fprintf(stderr, "motherboard SMBus: %s\n", what.c_str());
    }

    mbhelper::PortTable m_open;
    bool m_iopl = false;
    uint32_t m_latch = 0;
    std::set<std::string> m_reported;
};

LinuxPorts& ports() {
    static LinuxPorts instance;
    return instance;
}

uint16_t port16(int32_t port) { return static_cast<uint16_t>(port); }

bool validPort(int32_t port) { return port >= 0 && port <= 0xFFFF; }

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
