#pragma once
// What the thermal loop's identification, tuning and verification share:
// board-time waits that run the heater's software PWM, the settle rule, the
// readings, and putting the heater and the registers back. Not for callers
// outside the thermal loop (thermal_loop.h is the interface).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "device/board_clock.h"
#include "device/fan_characterization.h"
#include "device/thermal_loop.h"

namespace device::thermal {

// Thrown out of a wait when the caller cancels.
struct Cancelled { };

inline constexpr double kPredictStepS = 0.125;  // the chip's conversion period
inline constexpr double kReadingStepC = 0.125;  // a remote reading's resolution

double readTemperature(const RegisterAccess& chip, int channel);

// Configuration 1 control-operation code that lets `channel` drive `fan`.
int controlOperation(int channel, int fan, bool dual);

// The lowest duty code whose duty is at least `percent`.
int codeAtLeast(double percent);

std::string number(double v, int decimals);
std::string traceJson(const std::vector<TracePoint>& trace);

// Sleeps in board time while running the heater's software PWM.
class HeatedWait {
public:
    HeatedWait(const BoardClock& clock, const HeaterAccess& heater, double share);
    void setHeat(bool on) { m_heat = on; }
    // Throws Cancelled when `cancelled` says so.
    void wait(double boardS, const std::function<bool()>& cancelled);
    void drive(bool on);

private:
    const BoardClock& m_clock;
    const HeaterAccess& m_heater;
    double m_share;
    double m_start;
    bool m_heat = false;
    bool m_on = false;
    bool m_known = false;
};

struct StepResult {
    double endC = 0;
    double seconds = 0;
    bool settled = true;
};

// Waits until the reading settles: the mean of the last quarter of the
// step's readings agrees with the quarter before within the tolerance. The
// quarters grow with the step, so a slow loop is waited out as long as it
// needs without knowing its time constant.
class Sampler {
public:
    Sampler(const RegisterAccess& chip, const ThermalOptions& o, const ThermalCallbacks& cb, const BoardClock& clock,
            HeatedWait& heat, double t0)
        : m_chip(chip), m_o(o), m_cb(cb), m_clock(clock), m_heat(heat), m_t0(t0)
    { }
    // Readings go into `trace` (when given) against board seconds since t0.
    StepResult settle(std::vector<TracePoint>* trace, double dutyPercent);

private:
    const RegisterAccess& m_chip;
    const ThermalOptions& m_o;
    const ThermalCallbacks& m_cb;
    const BoardClock& m_clock;
    HeatedWait& m_heat;
    double m_t0;
};

// The registers a run changes and the heater as the run found them, put
// back together whatever ends the run. One keeper per run, so identify and
// verify restore alike.
class LoopKeeper {
public:
    LoopKeeper(const RegisterAccess& chip, const HeaterAccess& heater) : m_registers(chip), m_heater(heater) { }
    // Remembers the registers, then the heater (when there is one of ours).
    void remember(const std::vector<std::uint8_t>& regs, RestoreReport& report);
    RegisterKeeper& registers() { return m_registers; }
    // The heater first, so no heat stays on while a lost shared board is
    // waited for; then the registers in `order`, waiting for such a board
    // up to `boardWaitS` real seconds (or until `cancelled`) as the fan
    // measurement does; a heater the board refused is tried once more then.
    // Returns whether the heater is as found.
    bool putBack(const std::vector<std::uint8_t>& order, RestoreReport& report, double boardWaitS,
                 const std::function<bool()>& cancelled);

private:
    bool putHeater(RestoreReport& report);

    RegisterKeeper m_registers;
    const HeaterAccess& m_heater;
    std::optional<bool> m_heaterWas;
};

// The steady part of a path: the mean of its last fifth, the swing there,
// and when it last left the steady temperature by more than 0.5 °C.
struct PathSummary {
    double steadyC = 0;
    double steadyDuty = 0;
    double swingC = 0;
    double settleS = 0;
};
PathSummary summarize(const std::vector<TracePoint>& trace);

}  // namespace device::thermal
