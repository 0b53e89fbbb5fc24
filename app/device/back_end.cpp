#include "device/back_end.h"

#include <cmath>
#include <cstdio>

#include <vexlink06/back_end.h>

namespace device {

std::optional<std::string> simulatedBoardConfiguration() { return vexlink06::backend::simulatedBoard(); }

bool simulatedPlatform() { return vexlink06::backend::simulated(); }

std::string boardConfigurationProblem(const std::string& path)
{
    return vexlink06::backend::configurationProblem(path);
}

std::string sharedBoardProblem() { return vexlink06::backend::lostBoardReason(); }

double boardTimeScale() { return vexlink06::backend::boardTimeScale().value_or(1.0); }

std::string timeScaleMismatch(double given)
{
    const auto board = vexlink06::backend::boardTimeScale();
    // The board sends its pace in thousandths.
    if (!board || std::abs(*board - given) <= 0.0005 + 1e-9 * given)
        return {};
    char text[96];
    (void)std::snprintf(text, sizeof text, "the simulated board runs at timeScale %g, not %g", *board, given);
    return text;
}

}  // namespace device
