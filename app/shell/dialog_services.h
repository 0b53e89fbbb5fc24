// Include this instead of "shell/ui_services.h" from sources of the windows
// library: its automatic form compiler takes every include of a "ui_*.h" for
// a generated form header and fails when no "services.ui" exists. An include
// through a macro is not scanned.
#pragma once

#define FANSCOPE_SHELL_UI_SERVICES_HEADER "shell/ui_services.h"
#include FANSCOPE_SHELL_UI_SERVICES_HEADER
#undef FANSCOPE_SHELL_UI_SERVICES_HEADER
