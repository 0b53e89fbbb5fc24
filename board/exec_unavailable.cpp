// `fanscope-board exec` in a build without umockdev.
#include <cstdio>

#include "exec.h"

namespace boardexec {

int execMain(int, char**)
{
    std::fputs("fanscope-board exec: this fanscope-board was built without umockdev (Debian libumockdev-dev)\n",
               stderr);
    return 125;
}

}  // namespace boardexec
