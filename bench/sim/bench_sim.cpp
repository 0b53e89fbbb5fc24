// Figures of the simulated board: one simulated hour of physics (target
// under 50 ms), and the cost of a port write that moves a bus line.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

#include "parport_abi.h"
#include <sim/sim.h>

namespace {

void manualBoard()
{
    sim::Config c;
    c.time = sim::TimeMode::Manual;
    sim::board().configure(c);
    ClaimParallelPort(1, -1);
}

// Heater switching, automatic fan control with the filter, a read of every
// measured register each simulated second: the physics of a busy session.
double simulatedHourMs()
{
    manualBoard();
    sim::Chip& chip = *sim::board().chip();
    chip.poke(0x00, 0x81);
    chip.poke(0x23, 0x43);
    const auto t0 = std::chrono::steady_clock::now();
    for (int s = 0; s < 3600; ++s) {
        OutByte(0x378, (s / 30) % 2 ? 0x30 : 0x00);
        sim::board().advanceMs(1000);
        benchmark::DoNotOptimize(chip.peek(0x0B));
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void BM_SimulatedHour(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(simulatedHourMs());
}
BENCHMARK(BM_SimulatedHour)->Unit(benchmark::kMillisecond);

void BM_LineChange(benchmark::State& state)
{
    manualBoard();
    uint8_t v = 0;
    for (auto _ : state) {
        v ^= 1;  // SCL toggles: every write reaches the chip and the EEPROM
        OutByte(0x378, v);
    }
}
BENCHMARK(BM_LineChange);

void BM_LineChangeTraced(benchmark::State& state)
{
    manualBoard();
    sim::Bus& bus = sim::board().port(0)->bus();
    bus.setTracing(true);
    uint8_t v = 0;
    for (auto _ : state) {
        v ^= 1;
        OutByte(0x378, v);
        if (bus.trace().size() > 4096)
            bus.clearTrace();
    }
    bus.setTracing(false);
}
BENCHMARK(BM_LineChangeTraced);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    double best = 1e9;
    for (int i = 0; i < 5; ++i)
        best = std::min(best, simulatedHourMs());
    std::printf("\n== Figures and targets\n");
    std::printf("one simulated hour of physics:   %8.2f ms (target < 50 ms)  %s\n", best, best < 50 ? "ok" : "MISSED");
    return 0;
}
