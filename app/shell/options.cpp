#include "shell/options.h"

#include "device/back_end.h"
#include "device/back_end_choice.h"

#include <array>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

namespace shell {
namespace {

// Double-dash options the window system understands; anything else that
// looks like an option is a typing error worth reporting, because silently
// running on the simulator instead of --hardwre would mislead.
constexpr std::array kToolkitOptions{std::string_view{"--platform"},
                                     std::string_view{"--display"},
                                     std::string_view{"--style"},
                                     std::string_view{"--stylesheet"},
                                     std::string_view{"--qwindowgeometry"},
                                     std::string_view{"--qwindowtitle"},
                                     std::string_view{"--reverse"},
                                     std::string_view{"--session"},
                                     std::string_view{"--platformpluginpath"},
                                     std::string_view{"--platformtheme"},
                                     std::string_view{"--plugin"}};

bool isToolkitOption(std::string_view arg)
{
    const std::string_view name = arg.substr(0, arg.find('='));
    for (std::string_view known : kToolkitOptions) {
        if (name == known)
            return true;
    }
    return false;
}

}  // namespace

Options parseOptions(int argc, const char* const* argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--hardware") {
            options.hardware = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version" || arg == "-V") {
            options.version = true;
        } else if (arg == "--sim-config" || arg.starts_with("--sim-config=")) {
            if (arg.size() > 12) {
                options.simConfig = std::string(arg.substr(13));
            } else if (i + 1 < argc) {
                options.simConfig = argv[++i];
            } else {
                options.error = "--sim-config needs a file name";
                return options;
            }
            if (options.simConfig.empty()) {
                options.error = "--sim-config needs a file name";
                return options;
            }
        } else if (arg.starts_with("--") && !isToolkitOption(arg)) {
            options.error = "unknown option " + std::string(arg);
            return options;
        } else {
            options.passOn.emplace_back(arg);
        }
    }
    if (options.hardware && !options.simConfig.empty())
        options.error = "--hardware and --sim-config exclude each other";
    else if (std::string conflict = device::backEndConflict(options.hardware, options.simConfig); !conflict.empty())
        options.error = std::move(conflict);
    return options;
}

std::string usageText()
{
    return "Usage: fanscope [options]\n"
           "Finds a TFM4410 or TFM4411 on the printer port or the motherboard SMBus,\n"
           "then monitors and configures it.\n"
           "\n"
           "Options:\n"
           "  --hardware         use the real parallel port and chipset SMBus (default:\n"
           "                     the simulated evaluation board)\n"
           "  --sim-config FILE  configure the simulated board from a JSON file\n"
           "  -h, --help         show this text\n"
           "  -V, --version      show the program's version\n";
}

std::string versionText() { return "Fanscope " FANSCOPE_VERSION; }

bool inBuildTree(const std::string& programDir)
{
    // A build puts its programs in bin/ next to the cache that configured it.
    std::error_code ignored;
    return !programDir.empty() &&
           std::filesystem::exists(std::filesystem::path(programDir).parent_path() / "CMakeCache.txt", ignored);
}

std::string noDisplayText(const std::string& programDir)
{
    const std::string start = "fanscope: no display (DISPLAY is not set); run it on a virtual one with ";
    if (inBuildTree(programDir))
        return start + "'xvfb-run -a scripts/run', or use " + programDir + "/fanscope-cli";
    return start + "'xvfb-run -a fanscope', or use fanscope-cli";
}

void applyEnvironment(const Options& options)
{
    if (const std::string warning = device::applyBackEndChoice(options.hardware, options.simConfig); !warning.empty())
        std::cerr << "fanscope: " << warning << "\n";
}

std::string simulatedBoardText()
{
    const auto board = device::simulatedBoardConfiguration();
    return board ? "Simulated board (" + *board + ")" : std::string{};
}

}  // namespace shell
