// Figures of `fanscope-cli export` with one chip on the shared board (its own
// fanscope-board on a private socket): the latency of a scrape that takes a
// reading (median and p99), of one served from the shared reading, and the
// exporter's CPU while scraped once a second (target: at most 0.5 % of a
// core). The exposition itself is a Google Benchmark.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "board_process.h"
#include "exporter/metrics.h"

namespace {

using namespace benchboard;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

pid_t g_exporter = -1;
int g_port = -1;

exporter::ChipSnapshot sampleChip()
{
    exporter::ChipSnapshot c;
    c.labels = {"0x2e", "printer", "port0"};
    c.up = true;
    c.variant = "TFM4411";
    c.backEnd = "simulated";
    for (const char* channel : {"local", "remote1", "remote2"})
        c.temperatures.push_back({channel, 41.625, false, 0, 70, 85});
    c.fans = {{"fan1", 2400, 1323, 0.33}, {"fan2", 2380, 1323, 0.33}};
    for (int i = 0; i < 16; ++i)
        c.alarms.push_back({"Alarm bit " + std::to_string(i), i == 3});
    return c;
}

void BM_Exposition(benchmark::State& state)
{
    const std::vector<exporter::ChipSnapshot> chips{sampleChip()};
    for (auto _ : state)
        benchmark::DoNotOptimize(exporter::exposition(chips, "1.0", exporter::Format::OpenMetrics));
}
BENCHMARK(BM_Exposition)->Unit(benchmark::kMicrosecond);

bool startExporter()
{
    const std::string program = (fs::read_symlink("/proc/self/exe").parent_path() / "fanscope-cli").string();
    const std::string log = (g_dir / "exporter.log").string();
    g_exporter = ::fork();
    if (g_exporter == 0) {
        std::freopen(log.c_str(), "w", stdout);
        ::setenv("FANSCOPE_BOARD", g_socket.c_str(), 1);
        ::execl(program.c_str(), program.c_str(), "export", "--listen", "127.0.0.1:0", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const std::regex serving(R"(serving http://127\.0\.0\.1:(\d+)/metrics)");
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(log);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        std::smatch m;
        if (std::regex_search(text, m, serving)) {
            g_port = std::stoi(m[1]);
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

void stopExporter()
{
    if (g_exporter > 0) {
        ::kill(g_exporter, SIGTERM);
        ::waitpid(g_exporter, nullptr, 0);
    }
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

// Milliseconds per scrape, `gap` apart on one kept-alive connection.
std::vector<double> scrapes(int count, std::chrono::milliseconds gap)
{
    httplib::Client client("127.0.0.1", g_port);
    client.set_keep_alive(true);
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        if (gap.count() > 0)
            std::this_thread::sleep_for(gap);
        const auto t0 = Clock::now();
        const auto r = client.Get("/metrics");
        if (!r || r->status != 200)
            return {};
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return ms;
}

// The exporter's CPU while scraped once a second for `seconds`.
double cpuAtOneScrapePerSecond(int seconds)
{
    httplib::Client client("127.0.0.1", g_port);
    client.set_keep_alive(true);
    client.Get("/metrics");
    const double before = cpuSeconds(g_exporter);
    const auto t0 = Clock::now();
    for (int i = 0; i < seconds; ++i) {
        std::this_thread::sleep_until(t0 + std::chrono::seconds(i + 1));
        client.Get("/metrics");
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    return 100.0 * (cpuSeconds(g_exporter) - before) / wall;
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    if (!startBoard()) {
        std::fprintf(stderr, "bench_exporter: fanscope-board did not start\n");
        return 1;
    }
    if (!startExporter()) {
        std::fprintf(stderr, "bench_exporter: the exporter did not start\n");
        stopExporter();
        stopBoard();
        return 1;
    }
    // Past the shared reading's 250 ms, so that each of these reads the chip.
    const auto reading = scrapes(60, 300ms);
    const auto shared = scrapes(200, 0ms);
    const double cpu = cpuAtOneScrapePerSecond(20);
    stopExporter();
    stopBoard();
    if (reading.empty() || shared.empty()) {
        std::fprintf(stderr, "bench_exporter: a scrape failed\n");
        return 1;
    }
    std::printf("\n== Figures and targets\n");
    std::printf("scrape with a reading, median:   %8.2f ms (one TFM4411 on the shared board)\n",
                percentile(reading, 0.5));
    std::printf("scrape with a reading, p99:      %8.2f ms\n", percentile(reading, 0.99));
    std::printf("scrape of the shared reading:    %8.3f ms median, %.3f ms p99\n", percentile(shared, 0.5),
                percentile(shared, 0.99));
    std::printf("exporter CPU, scraped every 1 s: %8.3f %% of a core (target <= 0.5 %%)  %s\n", cpu,
                cpu <= 0.5 ? "ok" : "MISSED");
    return cpu <= 0.5 ? 0 : 1;
}
