// Start-up: process start to the wizard's first panel painted, under an X
// display (target 200 ms median of 5, peak memory under 60 MB). Search: a
// full search of both media on the default simulated board (target 100 ms).
#include "shell/application.h"
#include "startup/init_form.h"

#include <QCheckBox>
#include <QPushButton>
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string programPath()
{
    return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "fanscope").string();
}

void BM_StartupToWizardShown(benchmark::State& state)
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        state.SkipWithError("no X display: run 'xvfb-run -a scripts/bench' for the start-up figure");
        return;
    }
    const std::string program = programPath();
    long peakKb = 0;
    for (auto _ : state) {
        int out[2];
        if (pipe(out) != 0) {
            state.SkipWithError("pipe failed");
            return;
        }
        const auto started = std::chrono::steady_clock::now();
        const pid_t child = fork();
        if (child == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            ::setenv("FANSCOPE_EXIT_WHEN_SHOWN", "1", 1);
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        char buffer[256];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        const auto shown = std::chrono::steady_clock::now();
        close(out[0]);
        int status = 0;
        rusage usage{};
        wait4(child, &status, 0, &usage);
        if (got <= 0) {
            state.SkipWithError("the program did not report the wizard");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(shown - started).count());
        peakKb = std::max(peakKb, usage.ru_maxrss);
    }
    state.counters["peak_MB"] = static_cast<double>(peakKb) / 1024.0;
    state.counters["target_ms"] = 200;
    state.counters["target_peak_MB"] = 60;
}
BENCHMARK(BM_StartupToWizardShown)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_FullSearchBothMedia(benchmark::State& state)
{
    startup::InitForm wizard;
    auto* next = wizard.findChild<QPushButton*>(QStringLiteral("NextCMD"));
    auto* back = wizard.findChild<QPushButton*>(QStringLiteral("BackCMD"));
    wizard.findChild<QCheckBox*>(QStringLiteral("PPCheck"))->setChecked(true);
    wizard.findChild<QCheckBox*>(QStringLiteral("SMBusCheck"))->setChecked(true);
    next->click();
    for (auto _ : state) {
        next->click();
        if (wizard.currentStep() != 4 || wizard.printerResults().size() != 1) {
            state.SkipWithError("the search did not find the default board's chip");
            return;
        }
        state.PauseTiming();
        back->click();
        state.ResumeTiming();
    }
    state.counters["target_ms"] = 100;
}
BENCHMARK(BM_FullSearchBothMedia)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    benchmark::Initialize(&argc, argv);
    shell::Application app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
