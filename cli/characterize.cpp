#include "characterize.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "device/back_end.h"
#include "device/device_session.h"
#include "device/fan_characterization.h"
#include "companion.h"
#include "device/register_file.h"
#include "target.h"

#ifdef FANSCOPE_CLI_PLOT
#include <QGuiApplication>

#include "plot/fan_curve_plot.h"
#endif

namespace cli {

namespace {

struct CharacterizeOptions {
    std::string fan = "all";
    bool json = false;
    std::string csv;
    std::string plot;
    double timeScale = 0;  // 0: 1, or the process's own simulated board's
};

std::atomic<int> g_signal{0};

extern "C" void onSignal(int signal) { g_signal.store(signal); }

}  // namespace

SignalGuard::SignalGuard()
{
    g_signal.store(0);
    struct sigaction sa { };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &m_int);
    sigaction(SIGTERM, &sa, &m_term);
}

SignalGuard::~SignalGuard()
{
    sigaction(SIGINT, &m_int, nullptr);
    sigaction(SIGTERM, &m_term, nullptr);
}

int caughtSignal() { return g_signal.load(); }

namespace {

device::Medium sessionMedium(Medium medium)
{
    switch (medium) {
    case Medium::Printer: return device::Medium::PrinterPort;
    case Medium::Smbus: return device::Medium::ChipsetSmbus;
    case Medium::KernelAdapter: return device::Medium::KernelAdapter;
    }
    return device::Medium::PrinterPort;
}

std::string minutes(double seconds)
{
    const int s = static_cast<int>(std::lround(std::max(0.0, seconds)));
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d", s / 60, s % 60);
    return text;
}

// One line on stderr, redrawn in place: fan, bar, step, phase, ETA.
void drawProgress(const device::CharacterizationProgress& p)
{
    constexpr int width = 24;
    const int filled = p.steps > 0 ? p.step * width / p.steps : 0;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(width, '.');
    std::string line = "\rFan " + std::to_string(p.fan) + " [" + bar + "] " + std::to_string(p.step) + "/" +
                       std::to_string(p.steps) + " " + std::string(p.phase);
    if (p.point)
        line += " " + std::to_string(p.point->dutyPercent) + " % " + std::to_string(p.point->rpm) + " RPM";
    line += p.etaS >= 0 ? "  ETA " + minutes(p.etaS) : "  ETA --:--";
    line += "\x1b[K";  // clear what a longer line left
    std::cerr << line << std::flush;
}

std::string text(const device::FanCharacterization& f)
{
    std::ostringstream out;
    const auto pct = [](const std::optional<int>& v) { return v ? std::to_string(*v) + " %" : std::string("-"); };
    out << "Fan " << f.fan << "\n";
    if (!f.turns)
        out << "  does not turn at any duty (stalled or not connected)\n";
    out << "  start duty      " << pct(f.startDutyPercent) << "\n"
        << "  stall below     " << pct(f.stopDutyPercent) << "\n"
        << "  full speed      " << f.fullSpeedRpm << " RPM\n";
    char spin[32] = "-";
    if (f.spinUpS)
        std::snprintf(spin, sizeof spin, "%.2f s", *f.spinUpS);
    out << "  spin-up to 90 % " << spin << "\n";
    if (f.turns)
        out << "  tach pulses     "
            << (f.pulsesOk ? "plausible (2 per revolution)"
                           : "check: the full speed is outside 500..10000 RPM, as with a fan of another pulse "
                             "count")
            << "\n";
    if (f.pwmInverted)
        out << "  PWM Invert had to be changed to run the fan at the duty (restored afterwards)\n";
    out << "  duty %   up RPM (spread)   down RPM (spread)\n";
    for (int code = 0; code <= 15; ++code) {
        const device::CharacterizationPoint* up = nullptr;
        const device::CharacterizationPoint* down = nullptr;
        for (const auto& p : f.points)
            if (p.dutyCode == code)
                (p.direction == device::SweepDirection::Up ? up : down) = &p;
        char row[96];
        const auto cell = [](const device::CharacterizationPoint* p) {
            if (!p)
                return std::string("-");
            return std::to_string(p->rpm) + " (" + std::to_string(p->spreadRpm) + ")" + (p->settled ? "" : "*");
        };
        std::snprintf(row, sizeof row, "  %5d    %-17s %s\n", device::DutyPercent[static_cast<std::size_t>(code)],
                      cell(up).c_str(), cell(down).c_str());
        out << row;
    }
    return out.str();
}

}  // namespace

std::string registerList(const std::vector<std::uint8_t>& regs)
{
    std::string out;
    for (std::uint8_t r : regs)
        out += (out.empty() ? "" : ", ") + device::registerLabel(r);
    return out;
}

void checkPlotName(const std::string& path)
{
    const auto dot = path.rfind('.');
    std::string suffix = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : suffix)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix != "svg" && suffix != "png")
        throw UsageError("--plot " + path + ": the plot is written as .svg or .png; name the file so");
#ifndef FANSCOPE_CLI_PLOT
    throw UsageError("--plot: this fanscope-cli was built without the Qt parts that draw the plot");
#endif
}

void drawPlot(const std::function<std::string()>& draw)
{
#ifdef FANSCOPE_CLI_PLOT
    // Drawn offscreen: the tool opens no window and needs no display.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fanscope-cli";
    static char* argv[] = {name, nullptr};
    // Qt's own notes about the offscreen platform (no runtime folder and
    // the like) are no concern of the user's; failures come back as text.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::cerr << "fanscope-cli: " << message.toStdString() << "\n";
    });
    if (QGuiApplication::instance() == nullptr)
        new QGuiApplication(argc, argv);  // NOLINT: lives to the end of the process, as Qt wants
    const std::string error = draw();
    if (!error.empty())
        throw Failure(error);
#else
    (void)draw;
#endif
}

namespace {

void writePlot(const std::string& path, const std::vector<device::FanCharacterization>& fans, const std::string& title)
{
#ifdef FANSCOPE_CLI_PLOT
    drawPlot([&] {
        return plot::saveFanPlot(QString::fromStdString(path), fans, QString::fromStdString(title)).toStdString();
    });
#else
    (void)path;
    (void)fans;
    (void)title;
#endif
}

void runCharacterize(const TargetOptions& target, const CharacterizeOptions& o)
{
    if (!o.plot.empty())
        checkPlotName(o.plot);
    const FoundChip found = connect(target);
    device::Session session(locationOf(found));
    std::vector<int> fans;
    if (o.fan == "all") {
        fans = {1};
        if (session.dualChannel())
            fans.push_back(2);
    } else {
        fans = {o.fan == "2" ? 2 : 1};
        if (fans[0] == 2 && !session.dualChannel())
            throw Failure("the TFM4410 has one fan: use --fan 1");
    }

    device::CharacterizationOptions options;
    options.timeScale = boardTimeScale(o.timeScale);
    device::CharacterizationCallbacks callbacks;
    const bool bar = ::isatty(STDERR_FILENO) != 0;
    if (bar)
        callbacks.progress = drawProgress;
    callbacks.cancelled = [] { return caughtSignal() != 0; };
    callbacks.notice = [](const std::string& text) { std::cerr << "fanscope-cli: note: " << text << "\n"; };

    device::CharacterizationRun run;
    {
        SignalGuard guard;
        run = device::characterizeFans(device::sessionAccess(session), fans, options, callbacks);
    }
    if (bar)
        std::cerr << "\r\x1b[K" << std::flush;

    const device::RestoreReport& restore = run.restore;
    const std::string restoreProblem =
        restore.ok() ? std::string()
                     : "could not restore " + registerList(restore.notRestored) + " (" + restore.reason + ")";
    if (run.outcome == device::CharacterizationOutcome::Cancelled) {
        std::cerr << "fanscope-cli: interrupted; "
                  << (restore.ok() ? "every register it changed is restored and read back" : restoreProblem) << "\n";
        throw Interrupted{caughtSignal()};
    }
    if (run.outcome == device::CharacterizationOutcome::Failed)
        throw Failure(run.error + (restore.ok() ? "; the registers are restored" : "; " + restoreProblem));
    if (!restore.ok())
        throw Failure(restoreProblem);

    const std::string title =
        std::string(device::variantName(session.variant())) + " fan characterisation, " + backEndText();
    if (!o.csv.empty()) {
        const std::string error = device::writeFileReplacing(o.csv, device::characterizationCsv(run.fans));
        if (!error.empty())
            throw Failure(error);
    }
    if (!o.plot.empty())
        writePlot(o.plot, run.fans, title);
    if (o.json) {
        std::cout << device::characterizationJson(run.fans) << "\n";
        return;
    }
    std::cout << device::chipLine(session.location()) << ", " << backEndText() << "\n";
    for (const auto& f : run.fans)
        std::cout << text(f);
    std::cout << "Every register the measurement changed is restored and read back.\n";
}

}  // namespace

device::ChipLocation locationOf(const FoundChip& found)
{
    device::ChipLocation chip;
    chip.medium = sessionMedium(found.medium);
    chip.port = found.port;
    chip.portBase = found.portBase;
    chip.dataInverted = found.inverted;
    chip.address = found.address;
    chip.variant = device::variantFromDeviceId(found.deviceId).value_or(device::Variant::Tfm4411);
    chip.simulated = onSimulatedBoard();
    return chip;
}

double boardTimeScale(double given)
{
    // The board says how fast it runs; --time-scale, kept for scripts that
    // give it, must agree.
    if (given > 0) {
        if (const std::string mismatch = device::timeScaleMismatch(given); !mismatch.empty())
            throw UsageError("--time-scale: " + mismatch);
        return given;
    }
    return device::boardTimeScale();
}

void addCharacterizeCommand(CLI::App& parent, TargetOptions& target, std::function<void()>& action, bool withOptions)
{
    auto* cmd = parent.add_subcommand(
        "characterize", "Measure a fan: speed at every duty code up and down, start and stall duty, full speed, "
                        "spin-up time; the chip's registers are restored afterwards (also on Ctrl-C)");
    if (!withOptions)
        return;
    auto o = std::make_shared<CharacterizeOptions>();
    cmd->add_option("--fan", o->fan, "1, 2 or all (default: every fan of the chip)")
        ->check(CLI::IsMember({"1", "2", "all"}));
    cmd->add_flag("--json", o->json,
                  "A JSON list, one object per fan: fan, start_duty_percent, stop_duty_percent, full_speed_rpm, "
                  "spin_up_s, pulses_ok, points [{duty_percent, rpm, spread_rpm, direction}]");
    cmd->add_option("--csv", o->csv, "Also write the points as CSV to FILE")->type_name("FILE");
    cmd->add_option("--plot", o->plot, "Also draw the plot to FILE.svg or FILE.png")->type_name("FILE");
    cmd->add_option("--time-scale", o->timeScale,
                    "Board seconds per real second of a simulated board started with a timeScale; the board "
                    "tells its own, and a value given must agree with it")
        ->check(CLI::Range(0.01, 1000.0));
    cmd->callback([&target, &action, o] {
#ifdef FANSCOPE_CLI_COMPANION_PLOT
        if (!o->plot.empty()) {
            handToCompanion("characterize --plot");
            return;
        }
#endif
        action = [&target, o] { runCharacterize(target, *o); };
    });
}

}  // namespace cli
