#include "companion.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

namespace cli {
namespace {

std::string g_handedOver;

}  // namespace

void handToCompanion(const std::string& what) { g_handedOver = what; }

bool handedToCompanion() { return !g_handedOver.empty(); }

int runCompanion(char** argv)
{
#ifdef FANSCOPE_CLI_COMPANION
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    // Beside this program as installed, and in the build tree alike.
    const fs::path companion = (self.parent_path() / FANSCOPE_CLI_COMPANION).lexically_normal();
    std::cout.flush();
    // argv[0] stays as the user typed it: usage and messages read the same.
    ::execv(companion.c_str(), argv);
    const int err = errno;
    std::cerr << "fanscope-cli: " << g_handedOver << " needs " << companion.string()
              << ", which cannot be run: " << std::strerror(err) << "\n";
#else
    (void)argv;
    std::cerr << "fanscope-cli: " << g_handedOver << " is not built into this fanscope-cli\n";
#endif
    return 1;
}

}  // namespace cli
