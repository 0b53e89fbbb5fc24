// Reads the chip's Device ID over the printer port and prints it.
#include <vexlink06/vexlink06.h>

#include <cstdio>
#include <memory>

#if !defined(VEXLINK06_VERSION_MAJOR) || VEXLINK06_VERSION < 40000
#error "the installed headers do not say their version"
#endif

int main()
{
    constexpr std::uint8_t kAddressByte = 0x5C;  // 2Eh, as the write address byte
    constexpr std::uint8_t kDeviceIdRegister = 0x3D;
    try {
        const auto root = vexlink06::TvxComPort::create();
        const auto port = root->PrinterPort();
        if (!port || port->PrinterPortsDetected() == 0) {
            std::fprintf(stderr, "no printer port\n");
            return 1;
        }
        const unsigned id = port->SMBusProtocall()->PortRead(kAddressByte, kDeviceIdRegister);
        std::printf("vexlink06 %s: Device ID %02Xh\n", VEXLINK06_VERSION_STRING, id);
        return 0;
    } catch (const vexlink06::ComError& e) {
        std::fprintf(stderr, "error %d: %s\n", static_cast<int>(e.number()), e.description().c_str());
        return 1;
    }
}
