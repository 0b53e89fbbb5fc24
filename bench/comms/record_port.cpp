// A port platform that forwards every call to the simulated driver and, when
// asked, records it. Off, it costs one branch per access.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "parport_abi.h"
#include "record_port.h"

namespace {

struct Target {
    decltype(&::GetParallelPortCount) count;
    decltype(&::GetParallelPortInfo) info;
    decltype(&::ClaimParallelPort) claim;
    decltype(&::ReleaseParallelPort) release;
    decltype(&::OutByte) out;
    decltype(&::InByte) in;
};

void* g_handle = nullptr;

void* open()
{
    if (g_handle == nullptr) {
        Dl_info info{};
        dladdr(reinterpret_cast<void*>(&vxrecTarget), &info);
        std::string path = info.dli_fname != nullptr ? info.dli_fname : "";
        path = path.substr(0, path.rfind('/') + 1) + "libvxport_sim.so";
        g_handle = dlopen(path.c_str(), RTLD_NOW);
        if (g_handle == nullptr) {
            std::fprintf(stderr, "record_port: %s\n", dlerror());
            std::abort();
        }
    }
    return g_handle;
}

template <class Fn> Fn sym(const char* name) { return reinterpret_cast<Fn>(dlsym(open(), name)); }

const Target& target()
{
    static const Target t{sym<decltype(Target::count)>("GetParallelPortCount"),
                          sym<decltype(Target::info)>("GetParallelPortInfo"),
                          sym<decltype(Target::claim)>("ClaimParallelPort"),
                          sym<decltype(Target::release)>("ReleaseParallelPort"),
                          sym<decltype(Target::out)>("OutByte"),
                          sym<decltype(Target::in)>("InByte")};
    return t;
}

bool g_recording = false;
std::vector<VxRecAccess> g_log;

}  // namespace

extern "C" {

void vxrecSetRecording(bool on) { g_recording = on; }
const VxRecAccess* vxrecLog(std::size_t* count)
{
    *count = g_log.size();
    return g_log.data();
}
void vxrecClear() { g_log.clear(); }
void* vxrecTarget(const char* symbol) { return dlsym(open(), symbol); }

int32_t GetParallelPortCount(void) { return target().count(); }
int32_t GetParallelPortInfo(int32_t portNumber, PortInfoRecord* info) { return target().info(portNumber, info); }

int32_t ClaimParallelPort(int32_t portNumber, int32_t timeout)
{
    if (g_recording)
        g_log.push_back({VxRecAccess::Claim, 0, portNumber});
    return target().claim(portNumber, timeout);
}

void ReleaseParallelPort(int32_t portNumber)
{
    if (g_recording)
        g_log.push_back({VxRecAccess::Release, 0, portNumber});
    target().release(portNumber);
}

void OutByte(int32_t address, uint8_t value)
{
    if (g_recording)
        g_log.push_back({VxRecAccess::Out, value, address});
    target().out(address, value);
}

uint8_t InByte(int32_t address)
{
    const uint8_t value = target().in(address);
    if (g_recording)
        g_log.push_back({VxRecAccess::In, value, address});
    return value;
}
}
