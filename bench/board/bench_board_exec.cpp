// The cost of a program of the user's own under fanscope-board exec: one
// `i2cget` under exec against one `fanscope-cli get` of the same register,
// each a whole process from start to exit, on the same shared board (its
// own socket). Target: at most twice the CLI's time.
//
// And how fast `fanscope-cli --hardware` starts beside the bus tools: this
// program runs itself once more under one exec (--paired), so both sides of
// each pair meet the same emulated /dev/i2c-1 and pay the same emulation:
// `--hardware --medium i2c get` against `i2cget` (at most 1.5 times its
// time) and `--hardware --medium i2c detect` against `i2cdetect -l` (at most
// 3 times).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board_process.h"

namespace {

using namespace benchboard;
using Clock = std::chrono::steady_clock;

const std::string kI2cget = "/usr/sbin/i2cget";
const std::string kI2cdetect = "/usr/sbin/i2cdetect";
constexpr const char* kPaired = "--paired";

std::string beside(const char* name) { return (fs::read_symlink("/proc/self/exe").parent_path() / name).string(); }

// One process from fork to its exit, its output thrown away unless `quiet`
// is false; false when it failed.
bool runOnce(const std::vector<std::string>& args, bool quiet = true)
{
    const pid_t pid = spawnProgram(args, quiet);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const std::vector<std::string>& underExec()
{
    static const std::vector<std::string> args{
        beside("fanscope-board"), "exec", "--", kI2cget, "-y", "1", "0x2e", "0x3d"};
    return args;
}

const std::vector<std::string>& cliGet()
{
    static const std::vector<std::string> args{beside("fanscope-cli"), "get", "0x3d"};
    return args;
}

void BM_I2cgetUnderExec(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(runOnce(underExec()));
}
BENCHMARK(BM_I2cgetUnderExec)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

void BM_CliGet(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(runOnce(cliGet()));
}
BENCHMARK(BM_CliGet)->Unit(benchmark::kMillisecond)->Iterations(10)->UseRealTime();

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

double msOf(const std::vector<std::string>& args)
{
    const auto t0 = Clock::now();
    runOnce(args);
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// ---- under exec (--paired): the CLI on hardware beside the bus tools ----

struct Pair {
    const char* name;
    std::vector<std::string> tool;
    std::vector<std::string> cli;
    double target;
};

const std::vector<Pair>& pairs()
{
    static const std::vector<Pair> all{
        {"hardware get / i2cget",
         {kI2cget, "-y", "1", "0x2e", "0x3d"},
         {beside("fanscope-cli"), "--hardware", "--medium", "i2c", "--bus", "1", "--address", "0x2e", "get", "0x3d"},
         1.5},
        {"hardware detect / i2cdetect -l",
         {kI2cdetect, "-l"},
         {beside("fanscope-cli"), "--hardware", "--medium", "i2c", "detect"},
         3.0},
    };
    return all;
}

struct PairFigures {
    double toolMs = 0, cliMs = 0, ratio = 0;
};

// Taken in turns, so a busy moment of the machine weighs on both.
PairFigures measurePair(const Pair& p, int rounds)
{
    std::vector<double> tool, cli;
    for (int i = 0; i < rounds; ++i) {
        tool.push_back(msOf(p.tool));
        cli.push_back(msOf(p.cli));
    }
    PairFigures f;
    f.toolMs = median(tool);
    f.cliMs = median(cli);
    f.ratio = f.cliMs / f.toolMs;
    return f;
}

void BM_HardwarePair(benchmark::State& state)
{
    const Pair& p = pairs()[static_cast<std::size_t>(state.range(0))];
    state.SetLabel(p.name);
    PairFigures f;
    for (auto _ : state)
        f = measurePair(p, 10);
    state.counters["tool_ms"] = f.toolMs;
    state.counters["cli_ms"] = f.cliMs;
    state.counters["ratio"] = f.ratio;
    state.counters["target_ratio"] = p.target;
}

int pairedMain(int argc, char** argv)
{
    for (const Pair& p : pairs()) {
        if (!runOnce(p.tool) || !runOnce(p.cli)) {
            std::fprintf(stderr, "bench_board_exec: %s: a run failed under exec\n", p.name);
            return 1;
        }
    }
    // Registered here, so the run outside exec leaves them out.
    benchmark::RegisterBenchmark("BM_HardwarePair", BM_HardwarePair)
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(3)
        ->UseRealTime();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bool met = true;
    std::printf("\n== Figures and targets, under one exec\n");
    for (const Pair& p : pairs()) {
        const PairFigures f = measurePair(p, 30);
        const bool ok = f.ratio <= p.target;
        met = met && ok;
        std::printf("%-32s %6.1f ms CLI, %6.1f ms tool: %5.2f x (target <= %.1f)  %s\n", p.name, f.cliMs, f.toolMs,
                    f.ratio, p.target, ok ? "ok" : "MISSED");
    }
    return met ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == kPaired) {
        argv[1] = argv[0];
        return pairedMain(argc - 1, argv + 1);
    }
    if (::access(kI2cget.c_str(), X_OK) != 0) {
        std::printf("bench_board_exec: i2c-tools is not installed; nothing measured\n");
        return 0;
    }
    if (!startBoard()) {
        std::fprintf(stderr, "bench_board_exec: fanscope-board did not start\n");
        return 1;
    }
    ::setenv("FANSCOPE_BOARD", g_socket.c_str(), 1);
    ::unsetenv("VEXLINK06_PLATFORM");
    if (!runOnce(underExec()) || !runOnce(cliGet())) {
        std::fprintf(stderr, "bench_board_exec: the register read failed\n");
        stopBoard();
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // Taken in turns, so a busy moment of the machine weighs on both.
    std::vector<double> exec, cli;
    for (int i = 0; i < 30; ++i) {
        for (auto* out : {&exec, &cli}) {
            const auto t0 = Clock::now();
            runOnce(out == &exec ? underExec() : cliGet());
            out->push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
    }
    const double e = median(exec);
    const double c = median(cli);
    const double ratio = e / c;
    std::printf("\n== Figures and targets\n");
    std::printf("i2cget under exec:               %8.1f ms median, whole process\n", e);
    std::printf("fanscope-cli get:                %8.1f ms median, whole process\n", c);
    std::printf("exec / CLI:                      %8.2f x (target <= 2)  %s\n", ratio, ratio <= 2.0 ? "ok" : "MISSED");
    std::fflush(stdout);

    // The pairs on hardware: this program once more, under one exec.
    const bool pairedMet =
        runOnce({beside("fanscope-board"), "exec", "--", beside("bench_board_exec"), kPaired}, false);
    stopBoard();
    return ratio <= 2.0 && pairedMet ? 0 : 1;
}
