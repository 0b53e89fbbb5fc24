#include "platform_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vexlink06/types.h"

namespace vexlink06::platform {
namespace {

// Where an install puts the platform libraries and the simulator, below the
// library's own folder.
constexpr const char* kPrivateFolder = "vexlink06";

bool isDirectory(const std::string& path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

#ifdef VEXLINK06_IN_PROGRAM
// Inside a program (fanscope-cli, which spares its start the shared
// library): the libdir seen from the program's folder, installed, or
// build/lib in the build tree.
std::string ownDirectory()
{
    std::array<char, 4096> buffer{};
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0)
        return {};
    const std::string program(buffer.data(), static_cast<std::size_t>(length));
    const auto slash = program.rfind('/');
    if (slash == std::string::npos)
        return {};
    for (const char* relative : {VEXLINK06_LIBDIR_FROM_BINDIR, VEXLINK06_BUILD_LIBDIR_FROM_BINDIR}) {
        const std::string folder = program.substr(0, slash + 1) + relative + '/';
        if (isDirectory(folder))
            return folder;
    }
    return {};
}
#else
std::string ownDirectory()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&resolve), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::string path = info.dli_fname;
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string{} : path.substr(0, slash + 1);
}
#endif

std::string platformDirectory(const std::string& ownDir)
{
    std::string priv = ownDir + kPrivateFolder + '/';
    return isDirectory(priv) ? priv : ownDir;
}

// The names a platform library may carry. The variable is spliced into a
// file name, so anything else (a path, a stray copy's name) is refused.
// "benchrec" is the benchmarks' recording port, which exists only in a build
// tree made with the benchmarks and is never installed.
constexpr std::array<std::string_view, 3> kKnownImplementations{"sim", "linux", "benchrec"};

// The file of each kind: the platform libraries carry the implementation's
// name; the simulator is one library whatever serves its board.
struct Library {
    const char* prefix;
    bool perImplementation;
};
constexpr std::array<Library, 4> kLibraries{{
    {"libvxport_", true},
    {"libvxmb_", true},
    {"libvxi2c_", true},
    {"libfanscope_sim", false},
}};

void* openLibrary(Kind kind)
{
    const std::string impl = implementation();
    const std::string directory = ownDirectory();
    if (impl.empty() || directory.empty())
        return nullptr;
    // A process on real hardware never loads the simulator: it has no board
    // to inspect.
    if (kind == Kind::Simulator && !simulated())
        return nullptr;
    const Library& library = kLibraries[static_cast<std::size_t>(kind)];
    // Only from our own folder: its private subfolder when installed, or
    // the folder itself in the build tree (build/lib). Never both, and never
    // the loader's search path, which could hand us any copy.
    const std::string path =
        platformDirectory(directory) + library.prefix + (library.perImplementation ? impl : std::string{}) + ".so";
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

std::array<void*, kLibraries.size()> g_handles{};

}  // namespace

std::string implementation()
{
    const char* env = std::getenv("VEXLINK06_PLATFORM");
    const std::string_view name = (env != nullptr && *env != '\0') ? env : "sim";
    for (std::string_view known : kKnownImplementations)
        if (name == known)
            return std::string(known);
    return {};
}

bool simulated() { return implementation() == "sim"; }

void* resolveOptional(Kind kind, const char* name) noexcept
{
    void*& handle = g_handles[static_cast<std::size_t>(kind)];
    if (handle == nullptr)
        handle = openLibrary(kind);
    return handle != nullptr ? dlsym(handle, name) : nullptr;
}

void* resolve(Kind kind, const char* name)
{
    void* symbol = resolveOptional(kind, name);
    if (symbol == nullptr)
        throw ComError(48, "Error in loading DLL");
    return symbol;
}

}  // namespace vexlink06::platform
