// The JSON line of `fanscope-cli monitor --json`, keys in a fixed order.
#include <cstdio>

#include "device/device_session.h"
#include "device/numbers.h"

namespace device {
namespace {

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            (void)std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string sampleJson(const Sample& s)
{
    std::string out = "{\"time\":" + jsonString(s.time) +
                      ",\"chip\":" + jsonString(std::string(variantName(s.variant))) +
                      ",\"address\":" + jsonString(hexByte(s.address)) + ",\"board\":" + jsonString(s.board);
    for (const TemperatureReading& t : s.temperatures) {
        out += ",\"" + std::string(t.key) + "\":{\"celsius\":" + (t.celsius ? temperatureText(*t.celsius) : "null") +
               ",\"low\":" + std::to_string(t.low) + ",\"high\":" + std::to_string(t.high) +
               ",\"crit\":" + std::to_string(t.crit) + ",\"alarm\":" + (t.alarm ? "true" : "false") +
               ",\"fault\":" + (t.fault ? "true" : "false") + "}";
    }
    for (const FanReading& f : s.fans) {
        out += ",\"" + std::string(f.key) + "\":{\"rpm\":" + std::to_string(f.rpm) +
               ",\"min_rpm\":" + std::to_string(f.minRpm) + ",\"pwm_percent\":" + std::to_string(f.dutyPercent) +
               ",\"alarm\":" + (f.alarm ? "true" : "false") +
               ",\"tach_overflow\":" + (f.tach.overflow() ? "true" : "false") + "}";
    }
    out += ",\"status1\":" + std::to_string(s.status1) + ",\"status2\":" + std::to_string(s.status2) + ",\"alarms\":[";
    for (std::size_t i = 0; i < s.alarms.size(); ++i)
        out += (i ? "," : "") + jsonString(s.alarms[i]);
    return out + "]}";
}

}  // namespace device
