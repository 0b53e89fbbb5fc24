#pragma once
// The device files `fanscope-board exec` lays out for the command it runs:
// /dev/i2c-N for each kernel adapter and /dev/parportN for each printer
// port of the simulated board, with the sysfs and /proc entries the kernel
// would have, and the ioctl answers the kernel's i2c-dev and ppdev drivers
// would give. Every answer comes through the sim platform libraries, so the
// shared board (or the private one of --config) is what the command meets.
//
// The handlers run on one thread (the emulation's), as the board link is not
// thread-safe; nothing else in the process touches the platform libraries
// once the devices are laid out.
#include <umockdev.h>

#include <memory>
#include <string>
#include <vector>

namespace boardexec {

// The kernel's errno for one of the adapter ABI's VXI2C_E* codes.
int errnoForAdapterCode(int code);

class Devices {
public:
    Devices();
    Devices(const Devices&) = delete;
    Devices& operator=(const Devices&) = delete;
    ~Devices();

    // Adds the device entries to the test bed; the nodes' ioctls are
    // attached later, on the emulation thread. A sentence when the board
    // cannot be reached.
    std::string layOut(UMockdevTestbed* testbed);
    // On the thread whose default main context answers the ioctls.
    std::string attach(UMockdevTestbed* testbed);
    // Closes what the command left open (on the emulation thread).
    void closeAll();

    // One attached device file and the state of its open files.
    struct Node;

private:
    std::vector<std::unique_ptr<Node>> m_nodes;
};

}  // namespace boardexec
