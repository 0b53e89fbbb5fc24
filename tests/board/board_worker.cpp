// A client process of the shared board for the board tests: random writes
// of one limit register through the real library, each read back under the
// process's own claim of the port. Each worker has a register of its own:
// the board may give other processes turns between two transfers of a
// holder, never inside one.
//   board_worker COUNT SEED REG   COUNT round trips (0: until the board is lost)
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
    if (argc != 4)
        return 2;
    const long count = std::strtol(argv[1], nullptr, 10);
    std::mt19937 random(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)));
    // A limit: a read-write byte whose every value reads back as written.
    const auto reg = static_cast<std::uint8_t>(std::strtoul(argv[3], nullptr, 0));
    auto port = device::ComPort()->PrinterPort();
    port->SMBusProtocall()->setBitsToStayHigh(0xC0);
    device::RegisterLink.Medium = device::MediumPrinterPort;
    device::RegisterLink.DeviceAddress = 0x5C;
    std::printf("ready\n");
    std::fflush(stdout);
    for (long i = 0; count == 0 || i < count; ++i) {
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
