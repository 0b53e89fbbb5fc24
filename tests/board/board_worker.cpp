// A client process of the shared board for the board tests: random writes
// of one limit register through the real library, each read back. Each
// worker has a register of its own: the board may give other processes
// turns between two transfers of a holder, never inside one.
//   board_worker COUNT SEED REG [MODE [SECONDS]]
// COUNT rounds (0: until the board is lost or SECONDS have passed). MODE is
// the pattern of a kind of program:
//   round    claims the port for each write and read-back (the default)
//   holder   keeps the port claimed for its whole life (LockPortOpen)
//   window   keeps it claimed too, and reads 20 registers a cycle, 10 cycles a second
//   reads    a tight loop of reads of REG, each claiming the port (REG written once)
//   threads  two threads, REG and REG + 1, taking turns at the library
// Exit 0 when every value read back, 1 on a mismatch, 3 when the board was
// lost (its sentence on stderr). With SECONDS it prints its longest round at the end.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include <sim/board_link.h>
#include <vexlink06/vexlink06.h>

#include "device/register_link.h"

namespace {

using Clock = std::chrono::steady_clock;

std::mutex g_library;  // the library serves one thread at a time
std::atomic<long> g_longestUs{0};

enum class Outcome { Ok, Mismatch, Lost };

Outcome check(std::uint8_t reg, std::uint8_t wrote, std::uint8_t back, long round)
{
    if (const char* lost = fanscope_sim_board_problem(); *lost != '\0') {
        std::fprintf(stderr, "%s\n", lost);
        return Outcome::Lost;
    }
    if (back != wrote) {
        std::fprintf(stderr, "register %02x: wrote %02x, read %02x (round %ld)\n", reg, wrote, back, round);
        return Outcome::Mismatch;
    }
    return Outcome::Ok;
}

void note(Clock::time_point since)
{
    const long us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count();
    long old = g_longestUs.load();
    while (us > old && !g_longestUs.compare_exchange_weak(old, us)) { }
}

Outcome run(const std::string& mode, long count, Clock::time_point end, unsigned seed, std::uint8_t reg)
{
    std::mt19937 random(seed);
    auto port = device::ComPort()->PrinterPort();
    const bool locked = mode == "holder" || mode == "window";
    if (locked) {
        const std::lock_guard lock(g_library);
        port->setLockPortOpen(vexlink06::True);
    }
    std::uint8_t value = 0;
    if (mode == "reads") {
        const std::lock_guard lock(g_library);
        value = static_cast<std::uint8_t>(random());
        device::writeRegister(reg, value);
    }
    for (long i = 0; (count == 0 || i < count) && Clock::now() < end; ++i) {
        const auto t0 = Clock::now();
        std::uint8_t back = 0;
        {
            const std::lock_guard lock(g_library);
            if (mode != "reads") {
                value = static_cast<std::uint8_t>(random());
                if (!locked)
                    port->setLockPortOpen(vexlink06::True);
                device::writeRegister(reg, value);
            }
            back = device::readRegister(reg);
            if (mode == "window")
                for (std::uint8_t r = 0; r < 19; ++r)
                    device::readRegister(static_cast<std::uint8_t>(0x20 + r));
            if (!locked && mode != "reads")
                port->setLockPortOpen(vexlink06::False);
        }
        note(t0);
        if (const Outcome o = check(reg, value, back, i); o != Outcome::Ok)
            return o;
        if (mode == "window")
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return Outcome::Ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 6)
        return 2;
    const long count = std::strtol(argv[1], nullptr, 10);
    const auto seed = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    // A limit: a read-write byte whose every value reads back as written.
    const auto reg = static_cast<std::uint8_t>(std::strtoul(argv[3], nullptr, 0));
    const std::string mode = argc > 4 ? argv[4] : "round";
    const auto end =
        argc > 5 ? Clock::now() + std::chrono::milliseconds(std::atol(argv[5]) * 1000) : Clock::time_point::max();
    auto port = device::ComPort()->PrinterPort();
    port->SMBusProtocall()->setBitsToStayHigh(0xC0);
    device::RegisterLink.Medium = device::MediumPrinterPort;
    device::RegisterLink.DeviceAddress = 0x5C;
    std::printf("ready\n");
    std::fflush(stdout);
    Outcome outcome = Outcome::Ok;
    if (mode == "threads") {
        Outcome second = Outcome::Ok;
        std::thread other([&] { second = run("round", count, end, seed + 1, static_cast<std::uint8_t>(reg + 1)); });
        outcome = run("round", count, end, seed, reg);
        other.join();
        if (outcome == Outcome::Ok)
            outcome = second;
    } else {
        outcome = run(mode, count, end, seed, reg);
    }
    if (argc > 5)
        std::printf("longest round %ld ms\n", g_longestUs.load() / 1000);
    return outcome == Outcome::Ok ? 0 : outcome == Outcome::Mismatch ? 1 : 3;
}
