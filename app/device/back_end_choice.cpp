#include "device/back_end_choice.h"

#include <cstdlib>
#include <string_view>

namespace device {

std::string environmentPlatform()
{
    const char* chosen = std::getenv("VEXLINK06_PLATFORM");
    if (chosen == nullptr || *chosen == '\0' || std::string_view{chosen} == "sim")
        return {};
    return chosen;
}

bool simulatedBackEnd() { return environmentPlatform().empty(); }

std::string backEndConflict(bool hardware, const std::string& simConfig)
{
    const std::string chosen = environmentPlatform();
    if (hardware || simConfig.empty() || chosen.empty())
        return {};
    return "--sim-config needs the simulated board, but VEXLINK06_PLATFORM=" + chosen + " selects another back-end";
}

std::string applyBackEndChoice(bool hardware, const std::string& simConfig)
{
    // The variable stays for the library's own clients, but a real back-end
    // the user did not ask for here must never go unnoticed.
    std::string warning;
    if (const std::string chosen = environmentPlatform(); !hardware && !chosen.empty())
        warning = "using the back-end \"" + chosen + "\" that VEXLINK06_PLATFORM selects";
    if (hardware)
        ::setenv("VEXLINK06_PLATFORM", "linux", 1);
    if (!simConfig.empty())
        ::setenv("FANSCOPE_SIM_CONFIG", simConfig.c_str(), 1);
    return warning;
}

}  // namespace device
