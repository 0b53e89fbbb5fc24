// The motherboard helper's entry points (mbhelper_abi.h), bound all at once
// at the first call through the platform loader: the chipset SMBus path's
// discovery and both controller families' transfers reach the helper only
// here. A helper that cannot be loaded fails the call with error 48, and the
// next call tries again.
#pragma once

#include <cstdint>

#include "mbhelper_abi.h"
#include "platform_loader.h"

namespace vexlink06::hardware_smbus::helper {

using Abi =
    platform::Abi<platform::Kind::Motherboard, decltype(::AddMultiPort), decltype(::RemovePort), decltype(::CanInp),
                  decltype(::CanOutp), decltype(::CanInpd), decltype(::CanOutpd), decltype(::MBByteWrite71138086),
                  decltype(::MBByteRead71138086), decltype(::MBByteWrite153310B9), decltype(::MBByteRead153310B9)>;

const Abi& abi();

inline std::int16_t AddMultiPort(std::int32_t port, std::int32_t count) { return abi().get<0>()(port, count); }
inline void RemovePort(std::int32_t port) { abi().get<1>()(port); }
inline std::int16_t CanInp(std::int32_t port) { return abi().get<2>()(port); }
inline void CanOutp(std::int32_t port, std::int16_t value) { abi().get<3>()(port, value); }
inline std::int32_t CanInpd(std::int32_t port) { return abi().get<4>()(port); }
inline void CanOutpd(std::int32_t port, std::int32_t value) { abi().get<5>()(port, value); }

inline void MBByteWrite71138086(std::int32_t base, std::int32_t command, std::int32_t address, std::int32_t data)
{
    abi().get<6>()(base, command, address, data);
}
inline std::int32_t MBByteRead71138086(std::int32_t base, std::int32_t command, std::int32_t address,
                                       std::int32_t protocol)
{
    return abi().get<7>()(base, command, address, protocol);
}
inline void MBByteWrite153310B9(std::int32_t base, std::int32_t command, std::int32_t address, std::int32_t data)
{
    abi().get<8>()(base, command, address, data);
}
inline std::int32_t MBByteRead153310B9(std::int32_t base, std::int32_t command, std::int32_t address,
                                       std::int32_t protocol)
{
    return abi().get<9>()(base, command, address, protocol);
}

// The helper's first refusal, one sentence; null when there was none or the
// helper is an older one that cannot say.
const char* refusalReason() noexcept;

}  // namespace vexlink06::hardware_smbus::helper
