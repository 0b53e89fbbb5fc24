#pragma once
// Fan characterisation: which duty starts the fan from rest, below which it
// stalls, what speed each duty code gives and how long the fan takes to reach
// speed. One measurement shared by the command-line tool, the window and the
// Python module; they differ only in how they show progress and cancel.
//
// The measurement changes the fan's control registers (software control, the
// chip's own spin-up and filter off, the tach divisor as the speed needs) and
// keeps the other fan of a TFM4411 driven as it was (the PWM sense is both
// fans'; where it must flip, the other fan's duty code is inverted), and
// puts every register it touched back afterwards, whatever ends it: success,
// a failed transfer, a cancel. It reads each one back; registers it could not
// put back (the chip gone) are named in the result.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace device {

class Session;

// The two register operations the measurement needs. A session gives them
// (sessionAccess); a test may give its own. Failures are exceptions.
struct RegisterAccess {
    std::function<std::uint8_t(std::uint8_t reg)> read;
    std::function<void(std::uint8_t reg, std::uint8_t value)> write;
    bool dualChannel = true;  // the TFM4411: two fans
};
RegisterAccess sessionAccess(Session& session);

enum class SweepDirection { Up, Down };
std::string_view directionName(SweepDirection direction);  // "up", "down"

struct CharacterizationPoint {
    int dutyCode = 0;     // 0..15
    int dutyPercent = 0;  // as the program shows the code (DutyPercent)
    int rpm = 0;          // mean of the settled readings; 0 while stopped
    int spreadRpm = 0;    // largest minus smallest of those readings
    SweepDirection direction = SweepDirection::Up;
    double settleS = 0;   // from setting the duty to the settled decision (board seconds)
    bool settled = true;  // false: the step's time limit ended it
};

struct FanCharacterization {
    int fan = 1;
    std::vector<CharacterizationPoint> points;  // up 0..15, then down 15..0
    bool turns = false;                         // the fan turned at some duty
    // The lowest duty that started the fan from rest on the way up; nullopt
    // when it never started.
    std::optional<int> startDutyPercent;
    // The lowest duty at which it still turned on the way down (below it the
    // fan stalled); nullopt when it never turned.
    std::optional<int> stopDutyPercent;
    int fullSpeedRpm = 0;  // at duty code 15
    // From rest to 90 % of full speed at full duty (board seconds); nullopt
    // when the fan cannot be brought to rest or never turned.
    std::optional<double> spinUpS;
    // The full speed lies where fans the board drives run with the usual two
    // tach pulses per revolution (kPlausibleRpm); false hints at a fan with
    // another pulse count (its speed then reads doubled or halved).
    bool pulsesOk = false;
    bool pwmInverted = false;  // the PWM output had to be inverted to run the fan at the duty
    double settleS = 0;        // the fan's settle times, summed (board seconds)
    double durationS = 0;      // the whole measurement of this fan (board seconds)
};

inline constexpr int kPlausibleRpmLow = 500;
inline constexpr int kPlausibleRpmHigh = 10000;

struct RestoreReport {
    std::vector<std::uint8_t> touched;      // every register the measurement changed or may change
    std::vector<std::uint8_t> notRestored;  // could not be written or read back as remembered
    std::string reason;                     // why, when notRestored is not empty
    bool ok() const { return notRestored.empty(); }
};

// Remembers registers before a measurement changes them and puts them back
// afterwards, reading each back; what it could not restore goes into the
// report. Shared by the measurements that borrow the chip for a while.
class RegisterKeeper {
public:
    explicit RegisterKeeper(const RegisterAccess& chip) : m_chip(chip) { }
    // Reads and remembers each; a register is listed as touched before its
    // read, since restoring one never written is harmless.
    void remember(const std::vector<std::uint8_t>& regs, RestoreReport& report);
    void put(std::uint8_t reg, std::uint8_t value);
    // The value last put, else the one remembered.
    std::uint8_t current(std::uint8_t reg) const;
    std::uint8_t saved(std::uint8_t reg) const { return m_saved.at(reg); }
    bool wrote(std::uint8_t reg) const { return m_written.count(reg) != 0; }
    // In `order` first (the control mode last, so the fans return to the
    // user's control with their settings in place), then any other. While
    // the shared board is away, again every 0.1 s until it and the chip
    // answer, for `boardWaitS` real seconds at most or until `cancelled`.
    void restore(const std::vector<std::uint8_t>& order, RestoreReport& report, double boardWaitS = 0,
                 const std::function<bool()>& cancelled = {});

private:
    // One pass; true when the shared board was away.
    bool restoreOnce(const std::vector<std::uint8_t>& order, RestoreReport& report);

    const RegisterAccess& m_chip;
    std::map<std::uint8_t, std::uint8_t> m_saved;
    std::map<std::uint8_t, std::uint8_t> m_written;
};

enum class CharacterizationOutcome { Done, Cancelled, Failed };

struct CharacterizationRun {
    CharacterizationOutcome outcome = CharacterizationOutcome::Done;
    std::string error;                      // Failed: what went wrong
    std::vector<FanCharacterization> fans;  // the fans measured to the end
    RestoreReport restore;
    // What the measurement changes beyond the fan it measures, told before
    // the sweep starts (CharacterizationCallbacks::notice) and kept here.
    std::vector<std::string> notices;
};

struct CharacterizationProgress {
    int fan = 1;
    int fanIndex = 0;  // 0-based among the fans asked for
    int fanCount = 1;
    int step = 0;                                // steps done for this fan
    int steps = 0;                               // steps per fan: 32 duty points and the spin-up
    std::string_view phase;                      // "up", "down", "spin-up"
    double elapsedS = 0;                         // real seconds since the start
    double etaS = -1;                            // real seconds to the end; -1 while unknown
    std::optional<CharacterizationPoint> point;  // the point just measured
};

struct CharacterizationOptions {
    // A step has settled when this many consecutive readings, a sample
    // interval apart, lie within the tolerance of their mean (or one count
    // of the tach, whichever is more).
    // A window whose readings still rise or fall throughout has not settled.
    int settleReadings = 4;
    double tolerancePercent = 2.0;
    double sampleIntervalS = 0.125;  // the chip's conversion period
    // A stopped fan must read stopped this long before the step counts as
    // settled: a fan that has just started reads stopped until it passes the
    // slowest speed the tach measures.
    double stoppedHoldS = 1.5;
    double stepLimitS = 20.0;  // a step that has not settled by then is taken as it is
    // A shared board lost during the run ends it; the restore then waits this
    // long (real seconds, or until cancelled) for the board and the chip to
    // answer again, and restores them there.
    double boardWaitS = 10.0;
    // Board seconds per real second: 1 on hardware; a faster simulated board
    // (its timeScale) shortens every wait by that factor. 0: the pace the
    // board says it runs at (boardTimeScale()).
    double timeScale = 0;
    // The clock and the sleep, in real seconds; a test may drive a manual
    // board clock with them. Empty: the steady clock and a thread sleep.
    std::function<double()> now;
    std::function<void(double seconds)> sleep;
};

struct CharacterizationCallbacks {
    std::function<void(const CharacterizationProgress&)> progress;
    // Polled between readings; true ends the measurement as Cancelled.
    std::function<bool()> cancelled;
    // A sentence for the user, before any register is changed: the other
    // fan, which shares the control mode, cannot keep it during the sweep.
    std::function<void(const std::string&)> notice;
};

// Measures fans 1 and/or 2 (only 1 on the TFM4410: asking for 2 there is an
// error). Never throws for a chip failure: the outcome and error say it, and
// the registers are restored (or named) in every case.
CharacterizationRun characterizeFans(const RegisterAccess& chip, const std::vector<int>& fans,
                                     const CharacterizationOptions& options = {},
                                     const CharacterizationCallbacks& callbacks = {});

// Steps per fan the progress counts.
inline constexpr int kCharacterizationSteps = 33;

// "Fan Speed Configuration (22h)"
std::string registerLabel(std::uint8_t reg);

// The CSV of `characterize --csv` and the window's Save: a header row, then
// one row per point: fan,direction,duty_code,duty_percent,rpm,spread_rpm,settled.
std::string characterizationCsv(const std::vector<FanCharacterization>& fans);
// The JSON of `characterize --json`: a list with one object per fan.
std::string characterizationJson(const std::vector<FanCharacterization>& fans);

}  // namespace device
