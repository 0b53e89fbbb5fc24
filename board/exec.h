#pragma once
// `fanscope-board exec [--config FILE] -- CMD [ARGS...]`: runs CMD with the
// simulated board's kernel adapters and printer ports as /dev/i2c-N and
// /dev/parportN. argv[0] is "exec". Returns CMD's exit status (or raises
// the signal that ended it); 125 when exec itself fails, 126/127 when CMD
// cannot be run or found.
namespace boardexec {

int execMain(int argc, char** argv);

}  // namespace boardexec
