// A client process of the shared board for the board tests: random limit
// writes through the real library, each read back under the process's own
// claim of the port.
//   board_worker COUNT SEED   COUNT round trips (0: until the board is lost)
// Exit 0 when every value read back, 1 on a mismatch, 3 when the board was
// lost (its sentence on stderr).
#include <cstdio>
#include <cstdlib>
#include <random>

#include <sim/board_link.h>
#include <vexlink06/vexlink06.h>

#include "device/register_link.h"

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const long count = std::strtol(argv[1], nullptr, 10);
    std::mt19937 random(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)));
    // The limits: read-write bytes whose every value reads back as written.
    constexpr std::uint8_t kLimits[] = {0x14, 0x15, 0x16, 0x18, 0x19, 0x1A, 0x1C, 0x1D, 0x1E};
    auto port = device::ComPort()->PrinterPort();
    port->SMBusProtocall()->setBitsToStayHigh(0xC0);
    device::RegisterLink.Medium = device::MediumPrinterPort;
    device::RegisterLink.DeviceAddress = 0x5C;
    std::printf("ready\n");
    std::fflush(stdout);
    for (long i = 0; count == 0 || i < count; ++i) {
        const std::uint8_t reg = kLimits[random() % std::size(kLimits)];
        const auto value = static_cast<std::uint8_t>(random());
        port->setLockPortOpen(vexlink06::True);
        device::writeRegister(reg, value);
        const std::uint8_t back = device::readRegister(reg);
        port->setLockPortOpen(vexlink06::False);
        if (const char* lost = fanscope_sim_board_problem(); *lost != '\0') {
            std::fprintf(stderr, "%s\n", lost);
            return 3;
        }
        if (back != value) {
            std::fprintf(stderr, "register %02x: wrote %02x, read %02x (round %ld)\n", reg, value, back, i);
            return 1;
        }
    }
    return 0;
}
