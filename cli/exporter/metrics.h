#pragma once
// The chip's readings as Prometheus metrics: one snapshot per chip, turned
// into the text exposition format (what every scraper reads) or OpenMetrics
// (when the scraper asks for it). Plain data in, text out: no bus here.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace exporter {

// Which chip a series belongs to. Every series carries these as labels, so
// one exporter can serve several chips and a lab's Prometheus can tell the
// benches' chips apart.
struct ChipLabels {
    std::string address;  // 7-bit, "0x2e"
    std::string medium;   // "printer", "smbus", "i2c": the CLI's --medium names
    std::string bus;      // "port0", "i2c-1", "chipset": where on the medium
};

struct TemperatureMetric {
    std::string channel;            // "local", "remote1", "remote2"
    std::optional<double> celsius;  // none for an open diode: no value rather than -128
    bool fault = false;
    int low = 0, high = 0, therm = 0;  // limits, whole degrees
};

struct FanMetric {
    std::string fan;  // "fan1", "fan2"
    int rpm = 0;      // 0 for a count at its maximum too
    int minRpm = 0;
    double duty = 0;  // 0..1; under automatic control computed by the control law
    // The count at its maximum: stopped, or slower than the divisor measures.
    bool tachOverflow = false;
};

struct AlarmMetric {
    std::string name;  // the status bit's name ("Ext1 High")
    bool active = false;
};

// What one reading of one chip gave. With up false only the identity, the
// transfer counts and the duration are exported: a chip that stopped
// answering has no readings, and old ones are never passed on as new.
struct ChipSnapshot {
    ChipLabels labels;
    bool up = false;
    std::string variant;  // "TFM4411"
    std::string backEnd;  // "hardware" / "simulated"
    std::vector<TemperatureMetric> temperatures;
    std::vector<FanMetric> fans;
    std::vector<AlarmMetric> alarms;
    // Bus transfers of this chip since the exporter started, by result.
    std::uint64_t transfersOk = 0, transfersNoAck = 0, transfersError = 0;
    double readSeconds = 0;  // how long the reading took
    std::string problem;     // why the chip is down (for the log, not exported)
};

enum class Format { Text, OpenMetrics };

// The exposition of every chip's snapshot, families in a fixed order and each
// family's samples together (both formats require it). `version` is the
// exporter's, for fanscope_info.
std::string exposition(std::span<const ChipSnapshot> chips, std::string_view version, Format format);

// The format an Accept header asks for: OpenMetrics 1.0.0 when the scraper
// prefers it (by q value) to the text format, the text format otherwise.
Format negotiate(std::string_view accept);

// The Content-Type header for the format.
std::string_view contentType(Format format);

// Prometheus's rules, exposed for the tests: a label value escaped for the
// text formats (backslash, double quote, line feed).
std::string escapeLabelValue(std::string_view value);

}  // namespace exporter
