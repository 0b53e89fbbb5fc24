// The worst-case south-bridge search: a board where nothing is recognised,
// so every identifier of bus 0 and bus 1 is read (33 x 256 configuration
// reads plus the host bridge). Target: under 50 ms, so start-up never stalls.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include <sim/board.h>
#include <sim/motherboard.h>
#include <vexlink06/vexlink06.h>

namespace {

void BM_WorstCaseSearch(benchmark::State& state)
{
    sim::Config config;
    config.motherboard.southBridge = sim::SouthBridgePreset::None;
    sim::board().configure(config);
    vexlink06::setMessageHook([](const std::string&, const std::string&) {});
    uint64_t reads = 0;
    uint64_t totalReads = 0;
    double seconds = 0;
    for (auto _ : state) {
        sim::motherboard().clearConfigLog();
        const auto start = std::chrono::steady_clock::now();
        auto smbus = vexlink06::SMBus::create();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(smbus->DeviceID());
        reads = sim::motherboard().configReads();
        totalReads += reads;
    }
    state.counters["config_reads"] = static_cast<double>(reads);
    state.counters["us_per_config_read"] = totalReads ? seconds * 1e6 / static_cast<double>(totalReads) : 0;
    state.SetLabel("target: < 50 ms per search");
}
BENCHMARK(BM_WorstCaseSearch)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
