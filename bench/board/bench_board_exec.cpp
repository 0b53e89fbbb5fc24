// The cost of a program of the user's own under fanscope-board exec: one
// `i2cget` under exec against one `fanscope-cli get` of the same register,
// each a whole process from start to exit, on the same shared board (its
// own socket). Target: at most twice the CLI's time.
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

std::string beside(const char* name) { return (fs::read_symlink("/proc/self/exe").parent_path() / name).string(); }

// One process from fork to its exit, its output thrown away; false when it
// failed.
bool runOnce(const std::vector<std::string>& args)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!std::freopen("/dev/null", "w", stdout))
            ::_exit(127);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
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

}  // namespace

int main(int argc, char** argv)
{
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
    stopBoard();
    return ratio <= 2.0 ? 0 : 1;
}
