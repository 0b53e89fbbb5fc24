#include "motherboard_helper.h"

namespace vexlink06::hardware_smbus::helper {
namespace {

constinit Abi g_abi{{"AddMultiPort", "RemovePort", "CanInp", "CanOutp", "CanInpd", "CanOutpd", "MBByteWrite71138086",
                     "MBByteRead71138086", "MBByteWrite153310B9", "MBByteRead153310B9"}};

}  // namespace

const Abi& abi()
{
    g_abi.bind();
    return g_abi;
}

const char* refusalReason() noexcept
{
    // Optional: older helpers do not export it.
    using Reason = decltype(::MBRefusalReason);
    auto* fn = reinterpret_cast<Reason*>(platform::resolveOptional(platform::Kind::Motherboard, "MBRefusalReason"));
    return fn != nullptr ? fn() : nullptr;
}

}  // namespace vexlink06::hardware_smbus::helper
