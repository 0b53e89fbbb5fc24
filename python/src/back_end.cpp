#include "back_end.h"

#include <pybind11/pybind11.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device/back_end.h"
#include "errors.h"

namespace fanscope_py {
namespace {

struct Chosen {
    bool hardware = false;
    std::optional<std::string> simConfig;
};

// Guarded by the GIL: every caller holds it.
std::optional<Chosen> g_chosen;

bool environmentNamesHardware()
{
    const char* platform = std::getenv("VEXLINK06_PLATFORM");
    return platform != nullptr && *platform != '\0' && std::strcmp(platform, "sim") != 0;
}

std::string describe(const Chosen& c)
{
    if (c.hardware)
        return "the hardware back-end";
    if (c.simConfig)
        return "the private simulated board of " + *c.simConfig;
    return "the simulated board";
}

}  // namespace

void useBackEnd(const BackEndRequest& request)
{
    if (g_chosen) {
        const Chosen& c = *g_chosen;
        const bool sameConfig = !request.simConfig || request.simConfig == c.simConfig;
        if (request.hardware != c.hardware || !sameConfig)
            throwValueError("this process already uses " + describe(c) +
                            "; a process uses one back-end, chosen by its first call (start another process for " +
                            (request.hardware ? std::string("the hardware") : describe({false, request.simConfig})) +
                            ")");
        return;
    }
    Chosen c{request.hardware, request.simConfig};
    if (request.hardware) {
        if (request.simConfig)
            throwValueError("sim_config needs the simulated board; it cannot go with hardware=True");
        ::setenv("VEXLINK06_PLATFORM", "linux", 1);
    } else {
        // A real back-end the script did not ask for must not go unnoticed.
        if (environmentNamesHardware()) {
            if (request.simConfig)
                throwValueError(std::string("sim_config needs the simulated board, but VEXLINK06_PLATFORM=") +
                                std::getenv("VEXLINK06_PLATFORM") + " selects another back-end");
            c.hardware = true;
            PyErr_WarnEx(PyExc_RuntimeWarning,
                         "using the back-end that VEXLINK06_PLATFORM selects, not the simulated board", 1);
        }
        if (request.simConfig) {
            // Checked here: the board would end the whole interpreter on a bad file.
            if (const std::string problem = device::boardConfigurationProblem(*request.simConfig); !problem.empty())
                throwValueError(problem);
            ::setenv("FANSCOPE_SIM_CONFIG", request.simConfig->c_str(), 1);
        } else if (const char* config = std::getenv("FANSCOPE_SIM_CONFIG");
                   config != nullptr && *config != '\0' && !c.hardware) {
            if (const std::string problem = device::boardConfigurationProblem(config); !problem.empty())
                throwValueError(problem + " (FANSCOPE_SIM_CONFIG)");
            c.simConfig = config;
        }
    }
    g_chosen = c;
}

std::optional<std::string> backEndInUse()
{
    if (!g_chosen)
        return std::nullopt;
    const auto board = device::simulatedBoardConfiguration();
    return board ? "simulated board (" + *board + ")" : std::string("hardware");
}

}  // namespace fanscope_py
