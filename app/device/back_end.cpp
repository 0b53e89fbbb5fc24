#include "device/back_end.h"

#include <cstdlib>
#include <string_view>

#include <sim/board_link.h>

namespace device {

std::optional<std::string> simulatedBoardConfiguration()
{
    const char* platform = std::getenv("VEXLINK06_PLATFORM");
    if (platform != nullptr && *platform != '\0' && std::string_view{platform} != "sim")
        return std::nullopt;
    if (const sim::BoardChoice choice = sim::boardChoice(); choice.shared)
        return "shared, " + choice.socket;
    const char* config = std::getenv("FANSCOPE_SIM_CONFIG");
    return (config != nullptr && *config != '\0') ? std::string(config) : std::string("default configuration");
}

std::string sharedBoardProblem() { return fanscope_sim_board_problem(); }

}  // namespace device
