#include "vexlink06/smbus.h"

namespace vexlink06 {

std::shared_ptr<SMBus> SMBus::create() { return std::make_shared<SMBus>(); }
SMBus::~SMBus() = default;

} // namespace vexlink06
