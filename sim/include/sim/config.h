// The simulated board's configuration: a plain struct, filled by code or
// parsed from JSON (see docs/sim-config.md for the file format).
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/faults.h"

namespace sim {

enum class ChipVariant { Tfm4410, Tfm4411 };

// Which chipset SMBus host controller the motherboard presents. The names are
// those of the PCI device IDs (Ich24D3 = ICH5, device 31 function 3).
enum class SouthBridgePreset {
    None,
    Piix4,
    Ich2418,
    Ich2428,
    Ich2413,
    Ich2423,
    Ich2443,
    Ich2445,
    Ich2483,
    Ich24C3,
    Ich24D3,
    Ali7101,
    IntelHostBridge,
};

enum class TimeMode { Real, Manual };

struct FanConfig {
    double fullSpeedRpm = 4800.0;  // speed at 100 % duty
    int pulsesPerRev = 2;          // 1..4
    bool stalled = false;          // rotor blocked: speed stays 0
    // The evaluation board's fan stage inverts the chip's PWM pin, so the
    // chip must run with PWM Invert set for duty n to mean n/15 speed.
    bool invertingDriver = true;
    // Start and stall thresholds of the motor, in percent of full duty at the
    // fan: a fan at rest starts only at or above startDutyPct, a turning fan
    // stalls below stopDutyPct (stopDutyPct <= startDutyPct). 0 and 0: it
    // turns at any duty.
    double startDutyPct = 0.0;
    double stopDutyPct = 0.0;
    double spinUpS = 1.0;      // time constant of the speed
    double rpmNoisePct = 0.0;  // tach reading jitter, uniform within +-this
};

// How a remote diode's heater and the air of a fan set its temperature. The
// steady rise above ambient with the heater fully on goes from stillAirRiseC
// (fan stopped) down to fullAirflowRiseC (fan at full speed) along
// airflowRiseC below; the heater's on-share scales it. The diode follows
// first order with tauS after a transport delay of lagS.
struct ThermalConfig {
    static constexpr double kDefaultRiseC = 45.0;
    static constexpr double kDefaultTauS = 20.0;
    int channel = 1;  // 1 remote 1, 2 remote 2
    int fan = 1;      // 1 or 2: the fan whose air cools it
    double stillAirRiseC = kDefaultRiseC;
    double fullAirflowRiseC = kDefaultRiseC;
    double tauS = kDefaultTauS;
    double lagS = 0.0;
};

// Steady rise with the heater fully on at `speedShare` (0..1) of the fan's
// full speed. Heat leaves a sink through a conductance that grows with the
// square root of the air speed (forced convection over a fin), so each
// further step of airflow cools less than the one before.
double airflowRiseC(const ThermalConfig& thermal, double speedShare);

struct ChipConfig {
    ChipVariant variant = ChipVariant::Tfm4411;
    uint8_t address = 0x5C;    // 8-bit form: 0x58, 0x5A or 0x5C
    bool remote1Open = false;  // diode fault on remote channel 1
    bool remote2Open = false;  // ... channel 2 (TFM4411 only)
    FanConfig fans[2];
    // At most one per remote channel; a channel without one is heated by the
    // default (45 degrees, 20 s, no cooling by either fan).
    std::vector<ThermalConfig> thermal;
    ThermalConfig thermalOf(int channel) const;
};

// Another master on a port's bus. It interferes with the PC's first
// `attempts` tries and is passive afterwards.
struct OtherMasterConfig {
    enum class Mode {
        None,
        // Holds SCL low. One attempt = one status read by the PC while it
        // drives both lines released outside a transaction (the start check).
        HoldSclLow,
        // After the PC's start condition it pulls SDA low for data bit `bit`
        // (0 = the first, most significant bit of the address byte), so the
        // PC, sending a 1 there, sees the line differ. One attempt = one PC
        // start condition from idle.
        WinArbitration,
    };
    Mode mode = Mode::None;
    int bit = 0;       // 0..7, WinArbitration only
    int attempts = 0;  // how many PC attempts are disturbed
};

struct PortConfig {
    uint32_t base = 0x378;
    bool inverting = true;            // the standard adapter
    bool heldByOtherProcess = false;  // every claim fails
    std::vector<ChipConfig> chips{ChipConfig{}};
    bool eeprom = true;  // the board EEPROM at 0xA0
    OtherMasterConfig otherMaster;
    std::vector<FaultConfig> faults;  // struck during the run
};

struct MotherboardConfig {
    SouthBridgePreset southBridge = SouthBridgePreset::Ich24D3;
    std::vector<ChipConfig> chips;  // chips on the motherboard SMBus
};

// A kernel I2C/SMBus adapter (/dev/i2c-N) offered by the simulated PC. Its
// transfers are clocked at bit level by a host master of its own on the bus
// it names, so the same chips answer as through the other media.
struct I2cAdapterConfig {
    int number = 1;                                   // N of i2c-N
    std::string name = "SMBus I801 adapter at efa0";  // as the kernel names it
    // "port0".."port7": the bus of that parallel port's board; "motherboard";
    // "own": a bus of its own carrying `chips` (a USB bridge, say).
    std::string bus = "port0";
    std::vector<ChipConfig> chips;     // "own" bus only
    bool pec = true;                   // offers packet error checking
    int vanishAfter = 0;               // transfers until it is unplugged; 0 = never
    std::vector<uint8_t> driverOwned;  // 7-bit addresses a kernel driver has bound
    bool accessDenied = false;         // the node refuses this user
};

struct Config {
    std::vector<PortConfig> ports{PortConfig{}};
    MotherboardConfig motherboard;
    std::vector<I2cAdapterConfig> i2cAdapters{I2cAdapterConfig{}};
    bool i2cDevLoaded = true;  // false: no /dev/i2c-*, as without the i2c-dev module
    double ambientC = 25.0;
    TimeMode time = TimeMode::Real;
    // Board seconds per real second on the real clock (heaters, fans and
    // fault times all run on board time); the manual clock ignores it.
    double timeScale = 1.0;
};

// A configuration that does not parse or holds an unknown key or a value out
// of range. what() names the field (as a JSON path) and the offending value.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Config parseConfig(std::string_view jsonText);
Config loadConfigFile(const std::string& path);  // file errors are ConfigError too
std::string toJson(const Config& config);        // round-trips through parseConfig

std::string_view presetName(SouthBridgePreset preset);
std::optional<SouthBridgePreset> presetFromName(std::string_view name);

}  // namespace sim
