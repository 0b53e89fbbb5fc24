// The Visual Display tab against the shared board, shown and painting with
// the window's own timers after Easy Setup: the program's CPU (target:
// median of per-second samples at most 2 % of a core, as on a board of its
// own) and the board's CPU serving it, over 30 s of real time.
#include <QGuiApplication>
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "board_process.h"
#include "device/register_link.h"
#include "main_window/main_form.h"
#include "shell/application.h"
#include "support/cpu_sampling.h"
#include "shell/ui_services.h"

namespace {

using namespace benchboard;

void BM_VisualDisplaySharedBoard(benchmark::State& state)
{
    const int runSeconds = int(state.range(0));
    shell::ScopedScriptedUi ui;
    device::RegisterLink.Medium = device::MediumPrinterPort;
    device::RegisterLink.PrinterMedium = 1;
    device::RegisterLink.DeviceAddress = 0x5C;
    auto form = std::make_unique<mainwindow::MainForm>();
    form->Setup_Device_Display();
    form->show();
    form->selectTab(mainwindow::MainForm::TabVisual);
    form->Command1_Click();
    form->cmdEnable_Click();
    const std::size_t setupMessages = ui->messages.size();
    std::vector<double> cpuPercent;
    double boardPercent = 0;
    for (auto _ : state) {
        const double boardStart = cpuSeconds(g_board);
        bench::CpuSamples samples = bench::sampleOwnCpu(runSeconds);
        boardPercent = 100.0 * (cpuSeconds(g_board) - boardStart) / samples.wallSeconds;
        cpuPercent = std::move(samples.percent);
        state.SetIterationTime(samples.wallSeconds);
    }
    if (ui->messages.size() > setupMessages) {
        state.SkipWithError(qPrintable(ui->messages.back().text));
        return;
    }
    state.counters["cpu_median_pct"] = bench::median(cpuPercent);
    state.counters["target_cpu_pct"] = 2;
    state.counters["board_cpu_pct"] = boardPercent;
    std::printf("\n== Figures and targets\n");
    std::printf("Visual Display, shared board:    %8.2f %% of a core, median (target <= 2 %%)  %s\n",
                bench::median(cpuPercent), bench::median(cpuPercent) <= 2 ? "ok" : "MISSED");
    std::printf("the board serving it:            %8.2f %% of a core\n", boardPercent);
    form->close();
}
BENCHMARK(BM_VisualDisplaySharedBoard)
    ->ArgName("seconds")
    ->Arg(30)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv)
{
    // As bench_main_window: offscreen rasterises and needs no display.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const char* display = std::getenv("DISPLAY");
    if (!(platform && std::string_view(platform) == "xcb" && display && *display))
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("VEXLINK06_PLATFORM", "sim", 0);
    if (!startBoard()) {
        std::fprintf(stderr, "bench_board_window: fanscope-board did not start\n");
        return 1;
    }
    ::setenv("FANSCOPE_BOARD", g_socket.c_str(), 1);
    benchmark::Initialize(&argc, argv);
    shell::Application app(argc, argv);
    shell::installLibraryHooks();
    // Offscreen paints differently from a desktop's X server: say which ran.
    benchmark::AddCustomContext("qt_platform", QGuiApplication::platformName().toStdString());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stopBoard();
    return 0;
}
