#include "platform_loader.h"

#include <dlfcn.h>

#include <array>
#include <cstdlib>
#include <string>

#include "vexlink06/types.h"

namespace vexlink06::platform {
namespace {

std::string ownDirectory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&resolve), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string{} : path.substr(0, slash + 1);
}

std::string implementation()
{
    const char* env = std::getenv("VEXLINK06_PLATFORM");
    return (env != nullptr && *env != '\0') ? env : "sim";
}

std::string prefix(Kind kind)
{
    switch (kind) {
    case Kind::Port: return "libvxport_";
    case Kind::Motherboard: return "libvxmb_";
    case Kind::I2cAdapter: return "libvxi2c_";
    }
    return "";
}

void* openLibrary(Kind kind)
{
    const std::string file = prefix(kind) + implementation() + ".so";
    // Beside ourselves first, so a build tree or an install never picks up a
    // stray copy from the system path.
    const std::string beside = ownDirectory() + file;
    if (void* handle = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL))
        return handle;
    return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

std::array<void*, 3> g_handles{};

} // namespace

void* resolve(Kind kind, const char* name)
{
    void*& handle = g_handles[static_cast<std::size_t>(kind)];
    if (handle == nullptr)
        handle = openLibrary(kind);
    void* symbol = handle != nullptr ? dlsym(handle, name) : nullptr;
    if (symbol == nullptr)
        throw ComError(48, "Error in loading DLL");
    return symbol;
}

} // namespace vexlink06::platform
