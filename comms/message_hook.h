// The library's modal messages go through the client's hook (see
// setMessageHook): the library itself has no user interface.
#pragma once

#include <string>

#include "vexlink06/types.h"

namespace vexlink06 {

void showMessage(const std::string& title, const std::string& text);

// "Error:" + number + ", " + description: the critical box of a failed step.
std::string errorBoxText(const ComError& error);
void showErrorBox(const std::string& title, const ComError& error);

}  // namespace vexlink06
