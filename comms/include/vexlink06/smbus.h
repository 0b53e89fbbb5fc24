// Placeholder until the chipset host-controller class lands.
#pragma once

#include <memory>

namespace vexlink06 {

class SMBus {
public:
    static std::shared_ptr<SMBus> create();
    virtual ~SMBus();
};

} // namespace vexlink06
