#include "device/back_end.h"

#include <vexlink06/back_end.h>

namespace device {

std::optional<std::string> simulatedBoardConfiguration() { return vexlink06::backend::simulatedBoard(); }

std::string sharedBoardProblem() { return vexlink06::backend::lostBoardReason(); }

}  // namespace device
