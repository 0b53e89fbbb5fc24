#include "thermal.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

#include "characterize.h"
#include "companion.h"
#include "device/device_session.h"
#include "device/register_file.h"
#include "device/register_map.h"
#include "device/thermal_loop.h"
#include "device/write_log.h"
#include "target.h"

#ifdef FANSCOPE_CLI_PLOT
#include <QString>

#include "plot/thermal_plot.h"
#endif

namespace cli {

namespace {

struct LoopOptions {
    std::string channel = "remote1";
    int fan = 0;  // 0: the channel's own (fan 1 on the TFM4410)
    std::string heater = "on";
    bool json = false;
    std::string csv;
    std::string plot;
    double timeScale = 0;
    // tune
    double targetC = 0;
    std::string model;
    bool apply = false;
    double verifyS = 0;
};

#ifdef FANSCOPE_CLI_EXPORT
std::string fixed(double v, int decimals)
{
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string hexByte(std::uint8_t v)
{
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%02X", v);
    return text;
}

double heatShare(const std::string& heater)
{
    if (heater == "on")
        return 1.0;
    if (heater == "off")
        return 0.0;
    char* end = nullptr;
    const double pct = std::strtod(heater.c_str(), &end);
    if (end == heater.c_str() || *end != '\0' || !(pct > 0) || pct > 100)
        throw UsageError("--heater " + heater + ": on, off or a percentage above 0 up to 100");
    return pct / 100.0;
}

struct Connected {
    FoundChip found;
    std::unique_ptr<device::Session> session;
    int channel = 1;
    int fan = 1;
};

Connected open(const TargetOptions& target, const LoopOptions& o, bool heats)
{
    Connected c;
    c.channel = o.channel == "remote2" ? 2 : 1;
    c.found = connect(target);
    c.session = std::make_unique<device::Session>(locationOf(c.found));
    const bool dual = c.session->dualChannel();
    if (c.channel == 2 && !dual)
        throw Failure("the TFM4410 has one remote channel: use --channel remote1");
    c.fan = o.fan > 0 ? o.fan : (dual ? c.channel : 1);
    if (c.fan == 2 && !dual)
        throw Failure("the TFM4410 has one fan: use --fan 1");
    if (heats && c.found.medium != Medium::Printer)
        throw Failure("the heaters are on the evaluation board, reached through the printer port; with another "
                      "medium give --heater off and heat the diode yourself");
    return c;
}

device::ThermalOptions thermalOptions(const Connected& c, const LoopOptions& o)
{
    device::ThermalOptions t;
    t.channel = c.channel;
    t.fan = c.fan;
    t.timeScale = boardTimeScale(o.timeScale);
    return t;
}

device::ThermalCallbacks callbacks()
{
    device::ThermalCallbacks cb;
    cb.cancelled = [] { return caughtSignal() != 0; };
    if (::isatty(STDERR_FILENO) != 0)
        cb.progress = [](const device::ThermalProgress& p) {
            std::string line = "\r" + p.phase + " " + std::to_string(p.step) + "/" + std::to_string(p.steps);
            if (p.phase != "fan")
                line += "  " + fixed(p.temperatureC, 2) + " °C";
            if (p.phase == "step")
                line += " at " + std::to_string(p.dutyPercent) + " %";
            std::cerr << line << "\x1b[K" << std::flush;
        };
    return cb;
}

void clearProgress()
{
    if (::isatty(STDERR_FILENO) != 0)
        std::cerr << "\r\x1b[K" << std::flush;
}

// Ends the command the way the fan characterisation does: an interrupt as
// the signal's status, a failure with what was put back.
void finish(device::CharacterizationOutcome outcome, const std::string& error, const device::RestoreReport& restore,
            bool heaterRestored)
{
    std::string problem;
    if (!restore.ok())
        problem = "could not restore " + registerList(restore.notRestored) + " (" + restore.reason + ")";
    else if (!heaterRestored)
        problem = "could not put the heater back (" + restore.reason + ")";
    if (outcome == device::CharacterizationOutcome::Cancelled) {
        std::cerr << "fanscope-cli: interrupted; "
                  << (problem.empty() ? "every register it changed and the heater are restored" : problem) << "\n";
        throw Interrupted{caughtSignal()};
    }
    if (outcome == device::CharacterizationOutcome::Failed)
        throw Failure(error + (problem.empty() ? "; the registers and the heater are restored" : "; " + problem));
    if (!problem.empty())
        throw Failure(problem);
}

device::ThermalModel identifyNow(const Connected& c, const LoopOptions& o)
{
    device::ThermalOptions t = thermalOptions(c, o);
    t.heatShare = heatShare(o.heater);
    device::ThermalRun run;
    {
        SignalGuard guard;
        run = device::identifyThermal(device::sessionAccess(*c.session),
                                      t.heatShare > 0 ? device::boardHeater(c.channel) : device::HeaterAccess{}, t,
                                      callbacks());
    }
    clearProgress();
    finish(run.outcome, run.error, run.restore, run.heaterRestored);
    return run.model;
}

std::string modelText(const device::ThermalModel& m)
{
    std::ostringstream out;
    out << "Remote " << m.channel << " cooled by fan " << m.fan << "\n"
        << "  ambient          " << fixed(m.ambientC, 2) << " °C\n"
        << "  time constant    " << fixed(m.tauS, 1) << " s\n"
        << "  delay            " << fixed(m.lagS, 1) << " s\n"
        << "  fit error (RMS)  " << fixed(m.rmsErrorC, 3) << " °C\n"
        << "  stall below      " << (m.stallDutyPercent ? std::to_string(*m.stallDutyPercent) + " %" : "-") << "\n"
        << "  duty %   steady rise at full heat\n";
    for (const auto& p : m.points)
        out << "  " << (p.dutyPercent < 100 ? (p.dutyPercent < 10 ? "  " : " ") : "") << p.dutyPercent << "      "
            << fixed(p.steadyRiseC, 2) << " °C" << (p.settled ? "" : " *") << "\n";
    return out.str();
}

void writePlot(const std::string& path, const device::ThermalModel& m, const std::string& title)
{
#ifdef FANSCOPE_CLI_PLOT
    drawPlot([&] {
        return plot::saveThermalPlot(QString::fromStdString(path), plot::identifyPlot(m, QString::fromStdString(title)))
            .toStdString();
    });
#else
    (void)path;
    (void)m;
    (void)title;
#endif
}

void runIdentify(const TargetOptions& target, const LoopOptions& o)
{
    if (!o.plot.empty())
        checkPlotName(o.plot);
    const Connected c = open(target, o, heatShare(o.heater) > 0);
    const device::ThermalModel m = identifyNow(c, o);
    if (!o.csv.empty()) {
        const std::string error = device::writeFileReplacing(o.csv, device::thermalCsv(m));
        if (!error.empty())
            throw Failure(error);
    }
    if (!o.plot.empty())
        writePlot(o.plot, m,
                  std::string(device::variantName(c.session->variant())) + " thermal loop, " + backEndText());
    if (o.json) {
        std::cout << device::thermalJson(m) << "\n";
        return;
    }
    std::cout << device::chipLine(c.session->location()) << ", " << backEndText() << "\n" << modelText(m);
    std::cout << "Every register the measurement changed and the heater are restored.\n";
}

std::string readModelFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw Failure("--model " + path + ": cannot be read");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void runTune(const TargetOptions& target, const LoopOptions& o)
{
    if (o.verifyS > 0 && !o.apply)
        throw UsageError("--verify runs the settings in the chip: give --apply too");
    std::optional<device::ThermalModel> given;
    if (!o.model.empty()) {
        std::string error;
        given = device::thermalFromJson(readModelFile(o.model), error);
        if (!given)
            throw Failure("--model " + o.model + ": " + error);
    }
    LoopOptions use = o;
    if (given) {
        use.channel = given->channel == 2 ? "remote2" : "remote1";
        use.fan = given->fan;
    }
    const Connected c = open(target, use, !given || o.verifyS > 0);
    const device::ThermalModel m = given ? *given : identifyNow(c, use);
    const device::TuneResult tuned = device::tuneFor(m, o.targetC, std::max(600.0, o.verifyS));
    if (!tuned.choice)
        throw Failure(tuned.error + "; nothing written");
    const device::TuneChoice& choice = *tuned.choice;

    std::ostringstream text;
    text << "Remote " << m.channel << " on fan " << m.fan << ", target " << fixed(o.targetC, 1) << " °C\n"
         << "  Tmin             " << choice.tminC << " °C\n"
         << "  Trange           " << choice.trangeC << " °C\n"
         << "  minimum duty     " << choice.minDutyPercent << " %\n"
         << "  predicted steady " << fixed(choice.predictedSteadyC, 2) << " °C at "
         << fixed(choice.predictedSteadyDutyPercent, 1) << " % duty\n"
         << "  settles within   " << fixed(choice.predictedSettleS, 0) << " s (to 0.5 °C)\n";

    if (o.apply) {
        device::Session& s = *c.session;
        const std::uint8_t tminReg = m.channel == 2 ? device::reg::Remote2TminTrange : device::reg::Remote1TminTrange;
        const std::uint8_t oldTmin = s.read(tminReg);
        const std::uint8_t oldSpeed = s.read(device::reg::FanSpeedConfiguration);
        const std::uint8_t newSpeed = m.fan == 2
                                          ? static_cast<std::uint8_t>((oldSpeed & 0x0F) | (choice.minDutyCode << 4))
                                          : static_cast<std::uint8_t>((oldSpeed & 0xF0) | choice.minDutyCode);
        {
            device::WriteAction action(device::WriteSource::Cli, "tune");
            s.write(tminReg, choice.tminTrange);
            s.write(device::reg::FanSpeedConfiguration, newSpeed);
        }
        s.requirePresent();
        if (s.read(tminReg) != choice.tminTrange || s.read(device::reg::FanSpeedConfiguration) != newSpeed)
            throw Failure("the settings do not read back as written");
        text << "  " << device::registerLabel(tminReg) << ": " << hexByte(oldTmin) << " -> "
             << hexByte(choice.tminTrange) << "\n"
             << "  " << device::registerLabel(device::reg::FanSpeedConfiguration) << ": " << hexByte(oldSpeed) << " -> "
             << hexByte(newSpeed) << "\n";
    }

    std::optional<device::VerifyResult> verified;
    if (o.verifyS > 0) {
        const device::ThermalOptions t = thermalOptions(c, use);
        {
            SignalGuard guard;
            verified = device::verifyThermal(device::sessionAccess(*c.session), device::boardHeater(m.channel), m,
                                             choice, o.verifyS, t, callbacks());
        }
        clearProgress();
        finish(verified->outcome, verified->error, verified->restore, verified->heaterRestored);
        text << "  measured steady  " << fixed(verified->measuredSteadyC, 2) << " °C at "
             << fixed(verified->measuredSteadyDutyPercent, 1) << " % duty\n"
             << "  prediction error " << fixed(verified->rmsErrorC, 2) << " °C RMS over " << fixed(o.verifyS, 0)
             << " s\n";
    }
    if (o.json) {
        std::cout << device::tuneJson(choice, verified ? &*verified : nullptr) << "\n";
        return;
    }
    std::cout << text.str();
    if (!o.apply)
        std::cout << "Nothing written; --apply writes these settings.\n";
}

#endif

void addCommonOptions(CLI::App* cmd, LoopOptions& o)
{
    cmd->add_option("--channel", o.channel, "remote1 or remote2")
        ->required()
        ->check(CLI::IsMember({"remote1", "remote2"}));
    cmd->add_option("--fan", o.fan, "The fan whose air cools the diode (default: the channel's own)")
        ->check(CLI::Range(1, 2));
    cmd->add_flag("--json", o.json, "JSON output");
    cmd->add_option("--time-scale", o.timeScale,
                    "Board seconds per real second of a simulated board started with a timeScale (the process's own "
                    "board is known)")
        ->check(CLI::Range(0.01, 1000.0));
}

}  // namespace

void addThermalCommands(CLI::App& parent, TargetOptions& target, std::function<void()>& action, bool identifyOptions,
                        bool tuneOptions)
{
#ifndef FANSCOPE_CLI_EXPORT
    // The options parse here; the companion measures.
    (void)target;
    (void)action;
#endif
    auto* identify = parent.add_subcommand(
        "identify", "Measure a remote channel's thermal loop with its heater on: steady rise per fan duty, time "
                    "constant and delay; the registers and the heater are restored afterwards (also on Ctrl-C)");
    if (identifyOptions) {
        auto o = std::make_shared<LoopOptions>();
        addCommonOptions(identify, *o);
        identify->add_option("--heater", o->heater, "on (default), off (a heat source of your own) or PERCENT");
        identify->add_option("--csv", o->csv, "Also write the measured path as CSV to FILE")->type_name("FILE");
        identify->add_option("--plot", o->plot, "Also draw the steps to FILE.svg or FILE.png")->type_name("FILE");
#ifdef FANSCOPE_CLI_EXPORT
        identify->callback([&target, &action, o] { action = [&target, o] { runIdentify(target, *o); }; });
#else
        // The callback keeps the options the parse writes into alive.
        identify->callback([o] {
            (void)o;
            handToCompanion("identify");
        });
#endif
    }
    auto* tune = parent.add_subcommand(
        "tune", "Choose Tmin, Trange and the minimum duty that hold a remote channel at or below a target with the "
                "quietest fan, from its identified loop; predict, apply and verify");
    if (tuneOptions) {
        auto o = std::make_shared<LoopOptions>();
        addCommonOptions(tune, *o);
        tune->add_option("--target-c", o->targetC, "The temperature to hold at full heat, °C")
            ->required()
            ->check(CLI::Range(-40.0, 125.0));
        tune->add_option("--model", o->model, "A model from identify --json (default: identify now)")
            ->type_name("FILE");
        tune->add_flag("--apply", o->apply, "Write the settings (shows old -> new; undoable)");
        tune->add_option("--verify", o->verifyS, "Then run the heat this many board seconds and compare")
            ->check(CLI::Range(10.0, 86400.0));
#ifdef FANSCOPE_CLI_EXPORT
        tune->callback([&target, &action, o] { action = [&target, o] { runTune(target, *o); }; });
#else
        tune->callback([o] {
            (void)o;
            handToCompanion("tune");
        });
#endif
    }
}

}  // namespace cli
