// The helper's C ABI, forwarded to mbhelper::helper(). This header defines
// the exported functions, so exactly one source file of each helper library
// includes it. Ports outside 0..0xFFFF are never passed on: reads give all
// ones and writes are dropped.
#pragma once
#include "mbhelper_abi.h"

#include "mb_helper.h"

namespace mbhelper::exports {

inline bool validPort(int32_t port) { return port >= 0 && port <= 0xFFFF; }

inline uint32_t in(int32_t port, int width)
{
    return validPort(port) ? helper().in(static_cast<uint16_t>(port), width) : allOnes(width);
}

inline void out(int32_t port, uint32_t value, int width)
{
    if (validPort(port))
        helper().out(static_cast<uint16_t>(port), value, width);
}

inline void byteWrite(Family family, int32_t base, int32_t command, int32_t address, int32_t data)
{
    if (validPort(base))
        mbhelper::byteWrite(family, helper(), base, command, address, data);
}

inline int32_t byteRead(Family family, int32_t base, int32_t command, int32_t address)
{
    return validPort(base) ? mbhelper::byteRead(family, helper(), base, command, address) : IdleBusByte;
}

}  // namespace mbhelper::exports

extern "C" {

int16_t AddMultiPort(int32_t port, int32_t count) { return mbhelper::helper().open(port, count) ? 1 : 0; }

void RemovePort(int32_t port) { mbhelper::helper().close(port); }

const char* MBRefusalReason(void) { return mbhelper::helper().refusal(); }

int16_t CanInp(int32_t port) { return static_cast<int16_t>(mbhelper::exports::in(port, 1)); }

void CanOutp(int32_t port, int16_t value) { mbhelper::exports::out(port, static_cast<uint8_t>(value), 1); }

int16_t CanInpw(int32_t port) { return static_cast<int16_t>(mbhelper::exports::in(port, 2)); }

void CanOutpw(int32_t port, int16_t value) { mbhelper::exports::out(port, static_cast<uint16_t>(value), 2); }

int32_t CanInpd(int32_t port) { return static_cast<int32_t>(mbhelper::exports::in(port, 4)); }

void CanOutpd(int32_t port, int32_t value) { mbhelper::exports::out(port, static_cast<uint32_t>(value), 4); }

// `protocol` is the byte-data selector callers always pass (2); only byte
// data is implemented, so it is accepted and not used.

void MBByteWrite71138086(int32_t base, int32_t command, int32_t address, int32_t data)
{
    mbhelper::exports::byteWrite(mbhelper::Family::Piix4, base, command, address, data);
}

int32_t MBByteRead71138086(int32_t base, int32_t command, int32_t address, int32_t /*protocol*/)
{
    return mbhelper::exports::byteRead(mbhelper::Family::Piix4, base, command, address);
}

void MBByteWrite153310B9(int32_t base, int32_t command, int32_t address, int32_t data)
{
    mbhelper::exports::byteWrite(mbhelper::Family::Ali, base, command, address, data);
}

int32_t MBByteRead153310B9(int32_t base, int32_t command, int32_t address, int32_t /*protocol*/)
{
    return mbhelper::exports::byteRead(mbhelper::Family::Ali, base, command, address);
}

}  // extern "C"
