#pragma once
// The data log file: its header, restart marker and rows, byte for byte, and
// the interval schedule of the logging timer. Plain C++, no window.
//
// The line structure is unusual and kept because spreadsheets already read
// these files: the header and the restart marker have no line end, every row
// starts with CR and ends with CR LF.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace device {

inline constexpr std::string_view LogHeaderTFM4410 = "Time\tInt (\xB0"
                                                     "C)\tExt (\xB0"
                                                     "C)\tFan RPM\tPWM %";
inline constexpr std::string_view LogHeaderTFM4411 = "Time\tInt (\xB0"
                                                     "C)\tExt1 (\xB0"
                                                     "C)\tFan1 RPM\tPWM1 %\tExt2 (\xB0"
                                                     "C)\tFan2 RPM\tPWM2 %";
inline constexpr std::string_view LogRestartMarker = "\r\t\t\tRestart";
inline constexpr std::string_view LogFileSuffix = ".xls";
// The chooser's delay box never holds more than this.
inline constexpr int MaxLogDelaySeconds = 3600;

// The header for the chip (single-channel columns for 0x30, else dual).
// Bytes are in the 8-bit Latin-1 set the files have always used (B0h = degree sign).
std::string_view logHeader(int deviceId);

// A number as the log writes it: shortest general form (7 significant
// digits), a blank in the sign position when not negative, and one blank
// after it: 25.25 -> " 25.25 ", -1.25 -> "-1.25 ".
std::string logNumber(float value, char decimalPoint = '.');

struct LogReadings {
    float local = 0;
    float remote1 = 0;
    float remote2 = 0;
    float fan1 = 0;
    float fan2 = 0;
    std::string pwm1;  // duty log text, "0" .. "100"
    std::string pwm2;
};

// One row: CR, "hh:mm:ss", the values separated by TABs, CR LF. The second
// channel's columns only for the dual-channel chip.
std::string logRow(int hour, int minute, int second, const LogReadings& readings, int deviceId,
                   char decimalPoint = '.');

// The numeric value at the start of a text, 0 when there is none (" 12abc" -> 12,
// "abc" -> 0, "-3" -> -3, "1.5" -> 1.5). The delay box is read this way.
double leadingNumber(std::string_view text);

// A name the log accepts: ends in ".xls", compared exactly.
bool isLogFileName(std::string_view name);

// Appends bytes and closes the file. Returns an empty string on success,
// else the system's reason; a failed append is cut back, so the file then
// ends where it ended before (after the last complete row).
std::string appendToFile(const std::filesystem::path& path, std::string_view bytes);

// True when the file exists and holds at least one byte.
bool fileHasContent(const std::filesystem::path& path);

// When the next row is due. Measured on a monotonic clock so that neither
// midnight nor a clock change bunches or stalls the rows; the rows' own time
// stamps are still the time of day.
class LogSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // A new log: the first tick writes a row.
    void restart() { m_last.reset(); }
    // True (and the row counted as written now) when a row is due: a delay of
    // 0 or less means every tick.
    bool takeRow(Clock::time_point now, double delaySeconds);

private:
    std::optional<Clock::time_point> m_last;
};

}  // namespace device
