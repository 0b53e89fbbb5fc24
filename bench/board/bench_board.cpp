// Figures of the shared board: one register read over the printer port
// through fanscope-board (target: median at most 1 ms), how many round trips
// it costs, and the board's CPU while two clients are connected and quiet
// (target: at most 2 % of a core). The board runs on a socket of its own.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sim/board_wire.h>
#include <vexlink06/vexlink06.h>

#include "board_process.h"

#include "device/register_link.h"

namespace {

using namespace benchboard;
using Clock = std::chrono::steady_clock;

void useChip()
{
    device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(0xC0);
    device::RegisterLink.Medium = device::MediumPrinterPort;
    device::RegisterLink.DeviceAddress = 0x5C;
}

void BM_RegisterReadShared(benchmark::State& state)
{
    useChip();
    for (auto _ : state)
        benchmark::DoNotOptimize(device::readRegister(0x14));
}
BENCHMARK(BM_RegisterReadShared)->Unit(benchmark::kMicrosecond);

double medianReadMs(int reads)
{
    useChip();
    std::vector<double> ms;
    for (int i = 0; i < reads; ++i) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(device::readRegister(0x14));
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::nth_element(ms.begin(), ms.begin() + reads / 2, ms.end());
    return ms[static_cast<size_t>(reads / 2)];
}

// The board's answered requests for one client that made `reads` reads and
// nothing else, from its disconnect line.
double roundTripsPerRead(int reads)
{
    const std::string program = fs::read_symlink("/proc/self/exe").string();
    const std::string command = program + " --count-reads " + std::to_string(reads);
    if (std::system(command.c_str()) != 0)
        return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::ifstream in(g_dir / "board.log");
    std::string line, last;
    while (std::getline(in, line))
        if (line.find("disconnected (") != std::string::npos)
            last = line;
    long requests = 0, answered = 0;
    if (std::sscanf(last.c_str() + last.find('(') + 1, "%ld requests, %ld answered", &requests, &answered) != 2)
        return -1;
    return static_cast<double>(answered) / reads;
}

// Two clients connected and greeted, then quiet for `seconds`.
double idleCpuPercent(int seconds)
{
    std::vector<int> clients;
    for (int i = 0; i < 2; ++i) {
        const int fd = connectTo(g_socket);
        std::vector<uint8_t> hello;
        boardwire::encode(
            boardwire::request(boardwire::Op::Hello, static_cast<int32_t>(boardwire::kMagic), boardwire::kVersion),
            hello);
        ::send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
        clients.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double before = cpuSeconds(g_board);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double used = cpuSeconds(g_board) - before;
    for (int fd : clients)
        ::close(fd);
    return 100.0 * used / seconds;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--count-reads") == 0) {
        // The child of roundTripsPerRead: FANSCOPE_BOARD is inherited.
        useChip();
        for (int i = std::atoi(argv[2]); i > 0; --i)
            benchmark::DoNotOptimize(device::readRegister(0x14));
        return 0;
    }
    if (!startBoard()) {
        std::fprintf(stderr, "bench_board: fanscope-board did not start\n");
        return 1;
    }
    ::setenv("FANSCOPE_BOARD", g_socket.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double median = medianReadMs(1000);
    const double trips = roundTripsPerRead(200);
    const double idle = idleCpuPercent(5);
    std::printf("\n== Figures and targets\n");
    std::printf("register read, shared board:     %8.3f ms median (target <= 1 ms)  %s\n", median,
                median <= 1.0 ? "ok" : "MISSED");
    std::printf("round trips per register read:   %8.1f (the claim, each status read, the data byte)\n", trips);
    std::printf("board CPU, two quiet clients:    %8.2f %% of a core (target <= 2 %%)  %s\n", idle,
                idle <= 2.0 ? "ok" : "MISSED");
    stopBoard();
    return median <= 1.0 && idle <= 2.0 ? 0 : 1;
}
