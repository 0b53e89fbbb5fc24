// The motherboard SMBus helper on real Linux hardware. Port I/O goes through
// the port-permission service and needs root. PCI configuration space is
// reached through the kernel's per-function config files instead of raw
// 0xCF8/0xCFC cycles, which could interleave with the kernel's own: the
// helper keeps its own copy of the 0xCF8 address latch and serves the data
// port from the file of the function the latch addresses.
#include "../common/mb_exports.h"
#include "../common/mb_safety.h"

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

class LinuxHelper final : public mbhelper::Helper {
public:
    uint32_t in(uint16_t port, int width) override {
        if (isConfigPort(port))
            return configPortRead(port, width);
        if (!isOpen(port, width))
            return mbhelper::allOnes(width); // never fault on a port we were not granted
#if VXMB_HAVE_PORT_IO
        return width == 1 ? ::inb(port) : width == 2 ? ::inw(port) : ::inl(port);
#else
        return mbhelper::allOnes(width);
#endif
    }

    void out(uint16_t port, uint32_t value, int width) override {
        if (isConfigPort(port))
            return configPortWrite(port, value, width);
        if (!isOpen(port, width))
            return;
#if VXMB_HAVE_PORT_IO
        if (width == 1)
            ::outb(static_cast<uint8_t>(value), port);
        else if (width == 2)
            ::outw(static_cast<uint16_t>(value), port);
        else
            ::outl(value, port);
#endif
    }

private:
    bool acquire(uint32_t first, uint32_t last) override {
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
        return grant(first, last);
    }

    void released(uint32_t port) override {
#if VXMB_HAVE_PORT_IO
        if (port < IopermLimit)
            ioperm(port, 1, 0);
#else
        (void)port;
#endif
    }

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

    bool m_iopl = false;
    uint32_t m_latch = 0;
    std::set<std::string> m_reported;
};

} // namespace

mbhelper::Helper& mbhelper::helper() {
    static LinuxHelper instance;
    return instance;
}
