// The chip's live behaviour behind its register file: board temperatures
// with the heaters, fans with inertia, start/stall thresholds and spin-up, the three control modes,
// limit comparison and interrupt status. Constants are listed in
// sim/README.md.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <random>

#include "sim/config.h"

namespace sim {

namespace model {
inline constexpr double kConversionMs = 125.0;  // one conversion of every channel
inline constexpr double kSelfHeatC = 2.0;       // local channel above ambient
inline constexpr double kLocalTauS = 60.0;
inline constexpr double kStillRpm = 30.0;  // below this a fan counts as stopped
inline constexpr double kTachClockHz = 11250.0;
}  // namespace model

class ChipModel {
public:
    ChipModel(std::array<uint8_t, 256>& regs, const ChipConfig& config, double ambientC);

    // Advances to time `nowMs`; runs every conversion due on the way.
    void advanceTo(double nowMs);
    void setHeaters(bool h1, bool h2)
    {
        m_heater[0] = h1;
        m_heater[1] = h2;
    }

    double temperature(int channel) const { return m_temp[static_cast<size_t>(channel)]; }
    double rpm(int fan) const { return m_fan[static_cast<size_t>(fan)].rpm; }
    double duty(int fan) const { return m_fan[static_cast<size_t>(fan)].applied; }

    // Writes the measured registers from the present state (used at power-on
    // so the first read already sees valid values).
    void convert();

private:
    struct Fan {
        double rpm = 0;
        double commanded = 0;  // duty the control logic asks for
        double applied = 0;    // duty after the filter ramp and spin-up
        double spinUpLeftMs = 0;
    };
    void integrate(double dtMs);
    void heatRemote(int index, double dtMs);
    double controlDuty(int fan) const;
    double autoDuty(int channel, int fan) const;
    uint8_t tachCount(int fan, double rpm) const;
    double jittered(int fan, double rpm);
    double reading(int channel) const;  // with the offset
    bool channelEnabled(int channel) const;
    bool diodeOpen(int channel) const;
    int fans() const { return m_dual ? 2 : 1; }

    std::array<uint8_t, 256>& m_r;
    ChipConfig m_config;
    bool m_dual;
    double m_ambient;
    std::array<double, 3> m_temp{};
    std::array<bool, 2> m_heater{};
    std::array<Fan, 2> m_fan{};
    // The heat a remote diode is heading for (its steady rise now), as it
    // changed: its lag delays it.
    struct HeatStep {
        double atMs = 0;
        double riseC = 0;
    };
    std::array<ThermalConfig, 2> m_thermal;
    std::array<std::deque<HeatStep>, 2> m_heat;
    double m_nowMs = 0;
    double m_nextConversionMs = model::kConversionMs;
    std::minstd_rand m_noise;  // fixed seed: a run repeats exactly
};

}  // namespace sim
