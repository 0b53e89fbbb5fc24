#pragma once
// The thermal loop of a remote channel: a heater (or the user's own load)
// warms the diode, a fan's air cools it. Identification measures it through
// the bus only (the channel's readings, the fan's software duty, the board's
// heater bit) and fits a model: the steady rise above ambient per duty, one
// time constant and one transport delay. Tuning then picks the automatic
// control's Tmin, Trange and minimum duty for a temperature target by the
// chip's own control law run against that model, and predicts the path.
// One implementation for the command-line tool, the window and Python.
//
// Like the fan characterisation, identification and verification put every
// register they changed, and the heater, back whatever ends them, waiting
// for a shared board lost meanwhile. Identification and its fit live in
// thermal_identify.cpp, prediction and the search in thermal_tune.cpp, the
// verification run in thermal_verify.cpp.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/fan_characterization.h"

namespace device {

// The board's heater beside a remote diode (printer-port data bits 4 and 5
// of the evaluation board). Failures are exceptions.
struct HeaterAccess {
    std::function<bool()> get;
    std::function<void(bool on)> set;
};
// The evaluation board's heater of channel 1 or 2, on the printer port the
// library last selected (a session selects its own before each transfer).
HeaterAccess boardHeater(int channel);

struct ThermalPoint {
    int dutyPercent = 0;  // the fan's software duty, as the program shows it
    int dutyCode = 0;     // 0..15
    double steadyRiseC = 0;
    double settleS = 0;  // board seconds the step took
    bool settled = true;
};

struct TracePoint {
    double t = 0;  // board seconds since the heat went on
    double temperatureC = 0;
    double dutyPercent = 0;
};

struct ThermalModel {
    int channel = 1;  // 1 remote 1, 2 remote 2
    int fan = 1;
    double ambientC = 25;
    // Heater on-share during the measurement; the rises are scaled to
    // full heat.
    double heatShare = 1.0;
    std::vector<ThermalPoint> points;  // by rising duty; rises at full heat
    double tauS = 0;
    double lagS = 0;
    double rmsErrorC = 0;  // of the fitted path against the readings
    std::optional<int> stallDutyPercent;
    std::optional<int> startDutyPercent;
    // Configuration 1 bit 3 (PWM Invert) that runs the fan at the duty.
    bool pwmInvert = true;
    // The settle times, summed (board seconds): the fan's characterisation,
    // the ambient and every step.
    double settleS = 0;
    double durationS = 0;  // the whole identification (board seconds)
    std::vector<TracePoint> trace;

    // Steady rise at full heat for a duty (0..1): straight lines between the
    // points, the end points beyond them.
    double riseAt(double duty) const;
};

struct ThermalOptions {
    int channel = 1;
    int fan = 1;
    double heatShare = 1.0;  // 0: no heater of ours (the user's load heats)
    double sampleIntervalS = 0.5;
    // A step has settled when the mean of its last quarter differs from the
    // quarter before by at most this (which scales the wait with the time
    // constant without knowing it).
    double settleToleranceC = 0.04;
    double minStepS = 8.0;
    double stepLimitS = 1800.0;
    double timeScale = 1.0;
    // A shared board lost during the run ends it; the restore then waits
    // this long (real seconds, or until cancelled) for the board and the
    // chip to answer, as the fan measurement does.
    double boardWaitS = 10.0;
    std::function<double()> now;
    std::function<void(double seconds)> sleep;
};

struct ThermalProgress {
    std::string phase;  // "fan", "ambient", "step"
    int step = 0, steps = 0;
    double temperatureC = 0;
    int dutyPercent = 0;
};

struct ThermalCallbacks {
    std::function<void(const ThermalProgress&)> progress;
    std::function<bool()> cancelled;
    // Each reading of the path as it is taken (identify's steps, the
    // verification run), for a live plot; on the measurement's thread.
    std::function<void(const TracePoint&)> sample;
};

struct ThermalRun {
    CharacterizationOutcome outcome = CharacterizationOutcome::Done;
    std::string error;
    ThermalModel model;
    RestoreReport restore;
    bool heaterRestored = true;
};

ThermalRun identifyThermal(const RegisterAccess& chip, const HeaterAccess& heater, const ThermalOptions& options,
                           const ThermalCallbacks& callbacks = {});

std::string thermalJson(const ThermalModel& model);
std::string thermalCsv(const ThermalModel& model);
// Reads what thermalJson wrote; nullopt and `error` for anything else.
std::optional<ThermalModel> thermalFromJson(const std::string& text, std::string& error);

// ---- tuning ------------------------------------------------------------------

struct TuneChoice {
    int tminC = 0;
    int trangeC = 0;
    std::uint8_t tminTrange = 0;  // the register value
    int minDutyCode = 0;
    int minDutyPercent = 0;
    double predictedSteadyC = 0;
    double predictedSteadyDutyPercent = 0;
    double predictedSettleS = 0;
    double predictedSwingC = 0;
    std::vector<TracePoint> predictedTrace;
};

struct TuneResult {
    std::optional<TuneChoice> choice;
    std::string error;  // no choice: why (where it would settle)
};

// Margin above the stall duty the minimum duty keeps.
inline constexpr int kStallMarginPercent = 7;

TuneResult tuneFor(const ThermalModel& model, double targetC, double horizonS = 600);

// The path the chip's control law gives with the model at full heat,
// starting from `startC` with the heat off till then.
std::vector<TracePoint> predictPath(const ThermalModel& model, int tminC, int trangeC, double minDuty, double startC,
                                    double horizonS);

struct VerifyResult {
    CharacterizationOutcome outcome = CharacterizationOutcome::Done;
    std::string error;
    double measuredSteadyC = 0;
    double measuredSteadyDutyPercent = 0;
    double rmsErrorC = 0;
    std::vector<TracePoint> measuredTrace;
    std::vector<TracePoint> predictedTrace;
    RestoreReport restore;
    bool heaterRestored = true;
};

// Runs the heat for `seconds` board seconds in automatic control with the
// chosen settings already in the chip, and compares with the prediction.
VerifyResult verifyThermal(const RegisterAccess& chip, const HeaterAccess& heater, const ThermalModel& model,
                           const TuneChoice& choice, double seconds, const ThermalOptions& options,
                           const ThermalCallbacks& callbacks = {});

std::string tuneJson(const TuneChoice& choice, const VerifyResult* verify);

}  // namespace device
