// The motherboard SMBus helper on real Linux hardware. Port I/O goes through
// the port-permission service and needs root. PCI configuration space is
// reached through the kernel's per-function config files instead of raw
// 0xCF8/0xCFC cycles, which could interleave with the kernel's own: the
// helper keeps its own copy of the 0xCF8 address latch and serves the data
// port from the file of the function the latch addresses.
//
// The helper touches nothing but the SMBus controller: configuration writes
// go only to a function the search recognises (mbhelper::roleOf), port
// permission only to a range of such a function that nobody else claims,
// never below 0x100. Every refusal is kept as one sentence for the user.
//
// VEXLINK06_LINUX_ROOT names a folder laid out like the machine's own
// (sys/bus/pci/devices, proc/ioports, sys/kernel/security/lockdown), "/" when
// unset. With it set, the helper describes a machine that is not this one,
// so it never touches a real port: permission requests, port accesses and
// configuration writes are appended to helper.log in that folder instead,
// and configuration writes go to the folder's files.
#include "../common/mb_exports.h"
#include "../common/mb_safety.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

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
// Timers, DMA, interrupt controllers and the like: never an SMBus host.
constexpr uint32_t LegacyPortLimit = 0x100;
// The standard header, which the kernel shows to every reader.
constexpr off_t StandardHeaderSize = 64;

bool isConfigPort(uint32_t port) { return port >= ConfigAddressPort && port < ConfigDataPort + 4; }

std::string readTextFile(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string hex4(uint32_t value)
{
    char text[8];
    (void)std::snprintf(text, sizeof text, "%04X", value);
    return text;
}

std::string rangeText(uint32_t first, uint32_t last)
{
    return first == last ? "I/O port " + hex4(first) : "I/O ports " + hex4(first) + "-" + hex4(last);
}

// "I/O port 0060 is" or "I/O ports 0060-0067 are", for sentences about a range.
std::string rangeIs(uint32_t first, uint32_t last, const char* singular, const char* plural)
{
    return rangeText(first, last) + " " + (first == last ? singular : plural);
}

std::string baseName(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Everything the helper does to the machine, as opposed to reading its
// description: port permission, port accesses and configuration writes.
class Machine {
public:
    virtual ~Machine() = default;
    // 0, or the errno of the refusal.
    virtual int permit(uint32_t first, uint32_t last) = 0;
    virtual void drop(uint32_t port) = 0;
    virtual uint32_t in(uint16_t port, int width) = 0;
    virtual void out(uint16_t port, uint32_t value, int width) = 0;
    // 0, or the errno of the failure.
    virtual int writeConfig(const std::string& path, off_t offset, uint32_t value, int width)
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return errno;
        const ssize_t put = pwrite(fd, &value, static_cast<size_t>(width), offset);
        const int err = put == width ? 0 : put < 0 ? errno : EIO;
        ::close(fd);
        return err;
    }
};

class RealMachine final : public Machine {
public:
    int permit(uint32_t first, uint32_t last) override
    {
#if VXMB_HAVE_PORT_IO
        int rc = 0;
        if (last < IopermLimit)
            rc = ioperm(first, last - first + 1, 1);
        else if (!m_iopl)
            rc = iopl(3);
        if (rc != 0)
            return errno;
        m_iopl = m_iopl || last >= IopermLimit;
        return 0;
#else
        (void)first;
        (void)last;
        return ENOSYS;
#endif
    }

    void drop(uint32_t port) override
    {
#if VXMB_HAVE_PORT_IO
        if (port < IopermLimit)
            ioperm(port, 1, 0);
#else
        (void)port;
#endif
    }

    uint32_t in(uint16_t port, int width) override
    {
#if VXMB_HAVE_PORT_IO
        return width == 1 ? ::inb(port) : width == 2 ? ::inw(port) : ::inl(port);
#else
        (void)port;
        return mbhelper::allOnes(width);
#endif
    }

    void out(uint16_t port, uint32_t value, int width) override
    {
#if VXMB_HAVE_PORT_IO
        if (width == 1)
            ::outb(static_cast<uint8_t>(value), port);
        else if (width == 2)
            ::outw(static_cast<uint16_t>(value), port);
        else
            ::outl(value, port);
#else
        (void)port;
        (void)value;
        (void)width;
#endif
    }

private:
    bool m_iopl = false;
};

// The stand-in for a described machine: records, and grants permission as
// the kernel would (root, no lockdown), without touching a port.
class RecordedMachine final : public Machine {
public:
    explicit RecordedMachine(const std::string& root) : m_root(root), m_log(root + "/helper.log", std::ios::app) { }

    int permit(uint32_t first, uint32_t last) override
    {
        record("permit " + hex4(first) + "-" + hex4(last));
        const std::string mode = mbhelper::lockdownMode(readTextFile(m_root + "/sys/kernel/security/lockdown"));
        return geteuid() != 0 || (!mode.empty() && mode != "none") ? EPERM : 0;
    }
    void drop(uint32_t port) override { record("drop " + hex4(port)); }
    uint32_t in(uint16_t port, int width) override
    {
        record("in " + hex4(port));
        return mbhelper::allOnes(width);
    }
    void out(uint16_t port, uint32_t value, int width) override
    {
        (void)width;
        record("out " + hex4(port) + " " + hex4(value));
    }
    int writeConfig(const std::string& path, off_t offset, uint32_t value, int width) override
    {
        char text[32];
        (void)std::snprintf(text, sizeof text, " %02lX %08X", static_cast<unsigned long>(offset), value);
        record("config-write " + baseName(path.substr(0, path.rfind('/'))) + text);
        return Machine::writeConfig(path, offset, value, width);
    }

private:
    void record(const std::string& line) { m_log << line << '\n' << std::flush; }

    std::string m_root;
    std::ofstream m_log;
};

std::string machineRoot()
{
    const char* root = std::getenv("VEXLINK06_LINUX_ROOT");
    return root != nullptr && *root != '\0' ? root : "";
}

// A PCI function as sysfs shows it.
struct PciFunction {
    std::string name;  // "0000:00:1f.3"
    std::string dir;
};

// The configuration files of the PCI functions, each opened once. The chipset
// search probes every device of two buses, most of them absent: which
// functions exist is read from one listing of the devices folder, so a read
// of an absent one costs no system call.
class ConfigFiles {
public:
    struct File {
        int fd = -1;
        int err = ENOENT;  // why fd is -1
    };

    explicit ConfigFiles(std::string devicesDir) : m_dir(std::move(devicesDir)) { }
    ConfigFiles(const ConfigFiles&) = delete;
    ConfigFiles& operator=(const ConfigFiles&) = delete;
    ~ConfigFiles()
    {
        for (const auto& [path, file] : m_open) {
            if (file.fd >= 0)
                ::close(file.fd);
        }
    }

    // The open file of a function's "config", by its path.
    const File& find(const std::string& configFile)
    {
        if (const auto it = m_open.find(configFile); it != m_open.end())
            return it->second;
        File file;
        if (listed(configFile)) {
            file.fd = ::open(configFile.c_str(), O_RDONLY | O_CLOEXEC);
            file.err = file.fd < 0 ? errno : 0;
        }
        return m_open.emplace(configFile, file).first->second;
    }

private:
    // False only for a function the devices folder does not list; when the
    // folder cannot be listed, every function is tried.
    bool listed(const std::string& configFile)
    {
        if (!m_listing) {
            m_listing.emplace();
            if (DIR* d = opendir(m_dir.c_str())) {
                while (const dirent* e = readdir(d))
                    m_listing->insert(e->d_name);
                closedir(d);
                m_listable = true;
            }
        }
        if (!m_listable)
            return true;
        const std::string prefix = m_dir + "/";
        if (configFile.compare(0, prefix.size(), prefix) != 0)
            return true;
        const std::string rest = configFile.substr(prefix.size());
        return m_listing->count(rest.substr(0, rest.find('/'))) != 0;
    }

    std::string m_dir;
    std::optional<std::set<std::string>> m_listing;
    bool m_listable = false;
    std::map<std::string, File> m_open;
};

class LinuxHelper final : public mbhelper::Helper {
public:
    LinuxHelper() : m_root(machineRoot())
    {
        if (m_root.empty())
            m_machine = std::make_unique<RealMachine>();
        else
            m_machine = std::make_unique<RecordedMachine>(m_root);
    }

    uint32_t in(uint16_t port, int width) override
    {
        if (isConfigPort(port))
            return configPortRead(port, width);
        if (!isOpen(port, width))
            return mbhelper::allOnes(width);  // never fault on a port we were not granted
        return m_machine->in(port, width);
    }

    void out(uint16_t port, uint32_t value, int width) override
    {
        if (isConfigPort(port))
            return configPortWrite(port, value, width);
        if (isOpen(port, width))
            m_machine->out(port, value, width);
    }

private:
    std::string path(const std::string& absolute) const { return m_root + absolute; }
    std::string devicesDir() const { return path("/sys/bus/pci/devices"); }

    // ---- Port permission ------------------------------------------------------

    bool acquire(uint32_t first, uint32_t last) override
    {
        if (isConfigPort(first) && isConfigPort(last))
            return true;  // emulated through the config files, no permission needed
        if (first < LegacyPortLimit) {
            refuse(rangeIs(first, last, "lies", "lie") +
                   " among the PC's legacy devices, where no SMBus "
                   "controller sits, so " +
                   (first == last ? "it is" : "they are") + " left alone.");
            return false;
        }
        const auto owner = controllerHolding(first, last);
        if (!owner)
            return false;
        if (!mayTouch(*owner) || lockedDown())
            return false;
        const int err = m_machine->permit(first, last);
        if (err != 0) {
            explainRefusal(err);
            return false;
        }
        return true;
    }

    void released(uint32_t port) override { m_machine->drop(port); }

    // The SMBus function whose range [first, last] is: inside one of its I/O
    // resources, or, for the families that keep their base in a vendor
    // register, a range nobody else in /proc/ioports claims.
    std::optional<PciFunction> controllerHolding(uint32_t first, uint32_t last)
    {
        const std::vector<mbhelper::IoRegion> regions = mbhelper::ioRegions(readTextFile(path("/proc/ioports")));
        std::optional<mbhelper::IoRegion> claimed;
        bool anyController = false;
        for (const PciFunction& f : functions()) {
            const auto role = roleOf(f);
            if (role == mbhelper::FunctionRole::Other)
                continue;
            anyController = true;
            bool inside = false;
            for (const mbhelper::IoRange& r : mbhelper::ioResources(readTextFile(f.dir + "/resource")))
                inside = inside || r.contains(first, last);
            const auto claimant = mbhelper::otherClaimant(regions, first, last, f.name);
            if (claimant && claimant->parent == f.name) {
                refuse("The kernel driver \"" + claimant->name + "\" owns " + rangeText(first, last) +
                       " of the SMBus "
                       "controller " +
                       f.name + "; " + howToProceed(claimant->name) + ".");
                return std::nullopt;
            }
            if (inside && !claimant)
                return f;
            if (role == mbhelper::FunctionRole::FamilyFunction && !claimant && inFamilyWindow(f, first, last))
                return f;
            if (claimant)
                claimed = claimant;
        }
        const std::string leftAlone = first == last ? ", so it is left alone." : ", so they are left alone.";
        if (claimed)
            refuse(rangeIs(first, last, "is", "are") + " claimed by \"" + claimed->name +
                   "\", not by the SMBus controller" + leftAlone);
        else if (anyController)
            refuse(rangeIs(first, last, "is", "are") + " outside the I/O ranges of the SMBus controller" + leftAlone);
        else
            refuse("There is no SMBus controller the program supports at " + rangeText(first, last) +
                   ", so nothing there is touched.");
        return std::nullopt;
    }

    // The 32 ports from the base a PIIX4 (register 0x90) or ALi (register
    // 0xE0, bits 31..17) function's vendor register holds.
    bool inFamilyWindow(const PciFunction& f, uint32_t first, uint32_t last)
    {
        const std::string config = f.dir + "/config";
        const auto id = quietRead(config, 0);
        if (!id)
            return false;
        const bool piix4 = *id == mbhelper::Piix4PowerManagementId;
        const auto reg = quietRead(config, piix4 ? 0x90 : 0xE0);
        if (!reg)
            return false;
        const uint32_t base = piix4 ? *reg & 0xFFF0u : (*reg & 0xFFFE0000u) >> 16;
        return base >= LegacyPortLimit && mbhelper::IoRange{base, base + 0x1F}.contains(first, last);
    }

    static std::string howToProceed(const std::string& driver)
    {
        return "unload it (sudo modprobe -r " + driver +
               ") to use the controller from here, or reach the chip "
               "through the kernel's own I2C adapter for this bus";
    }

    // False, with the reason, when a kernel driver is bound to the function.
    bool mayTouch(const PciFunction& f)
    {
        char target[256] = {};
        if (readlink((f.dir + "/driver").c_str(), target, sizeof target - 1) <= 0)
            return true;
        const std::string driver = baseName(target);
        char module[256] = {};
        std::string unload = driver;
        if (readlink((f.dir + "/driver/module").c_str(), module, sizeof module - 1) > 0)
            unload = baseName(module);
        refuse("The kernel driver \"" + driver + "\" owns the SMBus controller " + f.name + "; " +
               howToProceed(unload) + ".");
        return false;
    }

    std::string lockdown() const
    {
        const std::string mode = mbhelper::lockdownMode(readTextFile(path("/sys/kernel/security/lockdown")));
        return mode == "none" ? std::string{} : mode;
    }

    bool lockedDown()
    {
        const std::string mode = lockdown();
        if (mode.empty())
            return false;
        refuse("The motherboard SMBus cannot be used while the kernel runs in lockdown mode (" + mode +
               "), which Secure Boot usually turns on.");
        return true;
    }

    void explainRefusal(int err)
    {
        if (err == EPERM && lockedDown())
            return;
        if (err == EPERM && geteuid() != 0)
            refuse("The motherboard SMBus needs root: run the program as root to use it.");
        else if (err == ENOSYS)
            refuse("The motherboard SMBus cannot be used: direct port I/O is not available on this processor.");
        else
            refuse(std::string("The motherboard SMBus cannot be used: port access was refused (") + std::strerror(err) +
                   ").");
    }

    // ---- PCI functions --------------------------------------------------------

    std::vector<PciFunction> functions() const
    {
        std::vector<PciFunction> list;
        const std::string dir = devicesDir();
        if (DIR* d = opendir(dir.c_str())) {
            while (const dirent* e = readdir(d)) {
                if (e->d_name[0] != '.')
                    list.push_back({e->d_name, dir + "/" + e->d_name});
            }
            closedir(d);
        }
        return list;
    }

    // Reads `width` bytes at `offset` of a function's configuration; the
    // reason is kept when the file exists but cannot be read.
    std::optional<uint32_t> readConfig(const std::string& configFile, off_t offset, int width)
    {
        const ConfigFiles::File& file = m_configs.find(configFile);
        if (file.fd < 0) {
            if (file.err != ENOENT)
                refuse("The PCI configuration of " + functionName(configFile) + " cannot be read (" +
                       std::strerror(file.err) + "): run the program as root to use the motherboard SMBus.");
            return std::nullopt;  // no such function: what a master abort reads
        }
        uint32_t value = 0;
        const ssize_t got = pread(file.fd, &value, static_cast<size_t>(width), offset);
        if (got != width) {
            // The kernel shows unprivileged readers only the standard header.
            if (offset >= StandardHeaderSize)
                refuse("Reading the PCI configuration of " + functionName(configFile) +
                       " beyond its standard "
                       "header needs root: run the program as root to use the motherboard SMBus.");
            return std::nullopt;
        }
        return value;
    }

    mbhelper::FunctionRole roleOf(const PciFunction& f)
    {
        const std::string config = f.dir + "/config";
        const auto id = quietRead(config, 0);
        const auto classDword = quietRead(config, 8);
        if (!id || !classDword)
            return mbhelper::FunctionRole::Other;
        return mbhelper::roleOf(*id, *classDword, f.name);
    }

    std::optional<uint32_t> quietRead(const std::string& configFile, off_t offset)
    {
        const ConfigFiles::File& file = m_configs.find(configFile);
        if (file.fd < 0)
            return std::nullopt;
        uint32_t value = 0;
        const ssize_t got = pread(file.fd, &value, sizeof value, offset);
        return got == static_cast<ssize_t>(sizeof value) ? std::optional<uint32_t>(value) : std::nullopt;
    }

    static std::string functionName(const std::string& configFile)
    {
        return baseName(configFile.substr(0, configFile.rfind('/')));
    }

    // ---- The emulated configuration ports --------------------------------------

    // The function the latch addresses, as a sysfs config path; empty when
    // the latch does not enable a configuration cycle.
    std::string configPath() const
    {
        if (!(m_latch & ConfigEnable))
            return {};
        char name[32];
        (void)std::snprintf(name, sizeof name, "/0000:%02x:%02x.%x/config", (m_latch >> 16) & 0xFF,
                            (m_latch >> 11) & 0x1F, (m_latch >> 8) & 0x7);
        return devicesDir() + name;
    }

    off_t configOffset(uint32_t port) const
    {
        return static_cast<off_t>(m_latch & 0xFC) + static_cast<off_t>(port - ConfigDataPort);
    }

    uint32_t configPortRead(uint32_t port, int width)
    {
        if (port < ConfigDataPort) {
            const unsigned shift = 8 * (port - ConfigAddressPort);
            return width == 4 ? m_latch : (m_latch >> shift) & (width == 2 ? 0xFFFF : 0xFF);
        }
        const std::string file = configPath();
        if (file.empty())
            return mbhelper::allOnes(width);
        return readConfig(file, configOffset(port), width).value_or(mbhelper::allOnes(width));
    }

    void configPortWrite(uint32_t port, uint32_t value, int width)
    {
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
        const std::string file = configPath();
        if (file.empty())
            return;
        const std::string dir = file.substr(0, file.rfind('/'));
        const PciFunction f{baseName(dir), dir};
        if (access(file.c_str(), F_OK) != 0)
            return;  // no such function: a write nobody decodes
        const auto id = readConfig(file, 0, 4);
        const auto classDword = readConfig(file, 8, 4);
        if (!id || !classDword)
            return;
        if (mbhelper::roleOf(*id, *classDword, f.name) == mbhelper::FunctionRole::Other) {
            char what[16];
            (void)std::snprintf(what, sizeof what, "%04X", *classDword >> 16);
            refuse("PCI function " + f.name + " is not an SMBus controller the program supports (class " + what +
                   "), so its configuration is left unchanged.");
            return;
        }
        // A locked-down kernel refuses configuration writes from user space
        // as it refuses port access.
        if (!mayTouch(f) || lockedDown())
            return;
        if (const int err = m_machine->writeConfig(file, configOffset(port), value, width); err != 0)
            refuse("The PCI configuration of " + f.name + " cannot be written (" + std::string(std::strerror(err)) +
                   "): run the program as root to use the motherboard SMBus.");
    }

    // The first reason stands: later refusals follow from it.
    void refuse(const std::string& sentence)
    {
        if (m_refusal.empty())
            m_refusal = sentence;
    }

    const char* refusal() const override { return m_refusal.c_str(); }

    std::string m_root;
    std::unique_ptr<Machine> m_machine;
    ConfigFiles m_configs{devicesDir()};
    uint32_t m_latch = 0;
    std::string m_refusal;
};

}  // namespace

mbhelper::Helper& mbhelper::helper()
{
    static LinuxHelper instance;
    return instance;
}
