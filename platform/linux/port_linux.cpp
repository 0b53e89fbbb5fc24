// The parallel-port driver ABI on the kernel's parallel-port devices.
// Port n (1-based) is the n-th port the kernel lists under
// /proc/sys/dev/parport, in the order of its number; /dev/parport<K> is
// opened and claimed for it. Register accesses go through the data, status
// and control ioctls of the claimed port, so no I/O permission is needed,
// only access to the device file.
//
// VXPORT_LINUX_PROC_DIR replaces /proc/sys/dev/parport (tests).
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "parport_abi.h"

namespace {

struct KernelPort {
    int number = 0;  // K of parportK
    int32_t base = 0;
    int fd = -1;  // open and claimed while >= 0
};

std::vector<KernelPort> g_ports;
bool g_scanned = false;

std::filesystem::path procDir()
{
    const char* env = std::getenv("VXPORT_LINUX_PROC_DIR");
    return (env != nullptr && *env != '\0') ? std::filesystem::path(env)
                                            : std::filesystem::path("/proc/sys/dev/parport");
}

// The list is read once: the library asks for the count and bases at start
// and then only claims; a port that appears later needs a restart anyway.
std::vector<KernelPort>& ports()
{
    if (g_scanned)
        return g_ports;
    g_scanned = true;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(procDir(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("parport", 0) != 0 || name.size() == 7)
            continue;
        char* end = nullptr;
        const long number = std::strtol(name.c_str() + 7, &end, 10);
        if (*end != '\0' || number < 0 || number > 255)
            continue;
        std::ifstream file(entry.path() / "base-addr");
        long base = 0;
        if (!(file >> base) || base < 0 || base > 0x7FFFFFFF)
            continue;
        g_ports.push_back({static_cast<int>(number), static_cast<int32_t>(base), -1});
    }
    std::sort(g_ports.begin(), g_ports.end(),
              [](const KernelPort& a, const KernelPort& b) { return a.number < b.number; });
    return g_ports;
}

KernelPort* port(int32_t portNumber)
{
    auto& list = ports();
    if (portNumber < 1 || static_cast<std::size_t>(portNumber) > list.size())
        return nullptr;
    return &list[static_cast<std::size_t>(portNumber - 1)];
}

// The claimed port whose registers cover the address, and the offset in it.
KernelPort* claimedAt(int32_t address, int& offset)
{
    for (auto& p : ports()) {
        if (p.fd >= 0 && address >= p.base && address - p.base <= 2) {
            offset = address - p.base;
            return &p;
        }
    }
    return nullptr;
}

}  // namespace

extern "C" {

int32_t GetParallelPortCount(void) { return static_cast<int32_t>(std::min<std::size_t>(ports().size(), 255)); }

int32_t GetParallelPortInfo(int32_t portNumber, PortInfoRecord* info)
{
    const KernelPort* p = port(portNumber);
    if (p == nullptr || info == nullptr)
        return 0;
    info->base = p->base;
    info->reserved = 0;
    return 1;
}

int32_t ClaimParallelPort(int32_t portNumber, int32_t)
{
    KernelPort* p = port(portNumber);
    if (p == nullptr)
        return 0;
    if (p->fd >= 0)
        return 1;
    const std::string device = "/dev/parport" + std::to_string(p->number);
    const int fd = ::open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;  // missing, or not in the group that owns the device
    if (::ioctl(fd, PPCLAIM) != 0) {
        ::close(fd);
        return 0;
    }
    p->fd = fd;
    return 1;
}

void ReleaseParallelPort(int32_t portNumber)
{
    KernelPort* p = port(portNumber);
    if (p == nullptr || p->fd < 0)
        return;
    ::ioctl(p->fd, PPRELEASE);
    ::close(p->fd);
    p->fd = -1;
}

void OutByte(int32_t address, uint8_t value)
{
    int offset = 0;
    KernelPort* p = claimedAt(address, offset);
    if (p == nullptr)
        return;
    unsigned char byte = value;
    if (offset == 0)
        ::ioctl(p->fd, PPWDATA, &byte);
    else if (offset == 2)
        ::ioctl(p->fd, PPWCONTROL, &byte);
    // The status register is read-only.
}

uint8_t InByte(int32_t address)
{
    int offset = 0;
    KernelPort* p = claimedAt(address, offset);
    if (p == nullptr)
        return 0;
    unsigned char byte = 0;
    const unsigned long request = offset == 0 ? PPRDATA : offset == 1 ? PPRSTATUS : PPRCONTROL;
    if (::ioctl(p->fd, request, &byte) != 0)
        return 0;
    return byte;
}

}  // extern "C"
