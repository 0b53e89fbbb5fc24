#include "output.h"

#include <cstdio>
#include <iostream>

#include "device/conversions.h"
#include "device/register_map.h"
#include "kernel_target.h"

namespace cli {

std::string pad(std::string s, std::size_t width)
{
    if (s.size() < width)
        s.append(width - s.size(), ' ');
    return s;
}

std::string joined(const std::vector<std::string>& names, const char* separator)
{
    std::string out;
    for (const auto& n : names) {
        if (!out.empty())
            out += separator;
        out += n;
    }
    return out;
}

namespace {

// RFC 4180: quote a field that holds a comma, quote or line break.
std::string csvField(const std::string& s)
{
    if (s.find_first_of(",\"\r\n") == std::string::npos)
        return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

std::string signedDegrees(double celsius, bool utf8)
{
    char text[32];
    std::snprintf(text, sizeof text, "%+6.1f%s", celsius, utf8 ? "°C" : " C");
    return text;
}

std::string limitDegrees(int celsius, bool utf8)
{
    char text[32];
    std::snprintf(text, sizeof text, "%+5.1f%s", static_cast<double>(celsius), utf8 ? "°C" : " C");
    return text;
}

}  // namespace

void printCsvRow(const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            line += ',';
        line += csvField(fields[i]);
    }
    std::cout << line << "\r\n" << std::flush;
}

void printDetectTable(const std::vector<FoundChip>& found, bool simulated)
{
    // The last column says what answered: a simulated board must never pass for hardware.
    const std::string board = simulated ? "simulated" : "hardware";
    std::cout << pad("MEDIUM", 9) << pad("PORT", 14) << pad("ADDRESS", 9) << pad("CHIP", 9) << pad("ADAPTER", 14)
              << " BOARD\n";
    for (const FoundChip& c : found) {
        const bool printer = c.medium == Medium::Printer;
        char port[32] = "-";
        if (printer)
            std::snprintf(port, sizeof port, "%d (0x%x)", c.port, c.portBase);
        if (c.medium == Medium::KernelAdapter) {
            std::snprintf(port, sizeof port, "i2c-%d", c.port);
            std::cout << pad("i2c", 9) << pad(port, 14) << pad(hexByte(c.address), 9)
                      << pad(std::string(device::chipName(c.deviceId)), 9) << pad(adapterLabel(c.port), 14) << ' '
                      << board << "\n";
            continue;
        }
        std::cout << pad(printer ? "printer" : "smbus", 9) << pad(port, 14) << pad(hexByte(c.address), 9)
                  << pad(std::string(device::chipName(c.deviceId)), 9)
                  << pad(printer ? (c.inverted ? "standard" : "non-inverting") : "-", 14) << ' ' << board << "\n";
    }
}

std::string dumpLine(const device::RegisterEntry& e, std::uint8_t value, const std::vector<Field>& fields)
{
    std::string line = hexByte(e.address) + "  " + pad(std::string(e.name), 29) + hexByte(value);
    for (std::size_t i = 0; i < fields.size(); ++i)
        line += (i ? ", " : "  ") + fields[i].name + "=" + fields[i].value;
    return line;
}

std::string rawGrid(int deviceId, device::AnswerWatch& read)
{
    std::string out = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    for (unsigned row = 0; row < 0x100; row += 16) {
        char text[8];
        std::snprintf(text, sizeof text, "%02x: ", row);
        std::string hex = text, ascii;
        for (unsigned column = 0; column < 16; ++column) {
            const auto address = static_cast<std::uint8_t>(row + column);
            const device::RegisterEntry* e = device::registerEntryByAddress(address);
            if (!e || !device::presentOn(*e, deviceId)) {
                hex += "XX ";
                ascii += 'X';
                continue;
            }
            const std::uint8_t value = read(address);
            std::snprintf(text, sizeof text, "%02x ", value);
            hex += text;
            ascii += value == 0x00 || value == 0xFF ? '.' : value < 0x20 || value >= 0x7F ? '?' : char(value);
        }
        out += hex + "   " + ascii + "\n";
    }
    return out;
}

std::vector<std::string> monitorCsvHeader(bool dual)
{
    std::vector<std::string> header{"time", "local_c", "remote1_c"};
    if (dual)
        header.push_back("remote2_c");
    header.push_back("fan1_rpm");
    if (dual)
        header.push_back("fan2_rpm");
    header.push_back("pwm1_percent");
    if (dual)
        header.push_back("pwm2_percent");
    header.insert(header.end(), {"status1", "status2", "alarms"});
    return header;
}

std::vector<std::string> monitorCsvRow(const device::Readings& r)
{
    std::vector<std::string> row{r.time};
    // An open diode has no temperature: an empty field, as JSON gives null.
    for (const device::Readings::Temperature& t : r.temperatures)
        row.push_back(t.openDiode ? std::string() : temperatureText(t.celsius));
    for (const int rpm : r.fanRpm)
        row.push_back(std::to_string(rpm));
    for (const int duty : r.dutyPercent)
        row.push_back(std::to_string(duty));
    row.insert(row.end(), {hexByte(r.status1), hexByte(r.status2), joined(r.alarms, ";")});
    return row;
}

std::string monitorLine(const device::Readings& r)
{
    static constexpr const char* TempNames[] = {"local", "remote1", "remote2"};
    std::string line = r.time;
    // An open diode has no temperature: FAULT, as the other forms say it.
    for (std::size_t i = 0; i < r.temperatures.size(); ++i)
        line +=
            std::string("  ") + TempNames[i] + " " +
            (r.temperatures[i].openDiode ? std::string("FAULT") : temperatureText(r.temperatures[i].celsius) + " °C");
    for (std::size_t i = 0; i < r.fanRpm.size(); ++i) {
        const bool overflow = i < r.fanTach.size() && r.fanTach[i].overflow();
        line += "  fan" + std::to_string(i + 1) + " " +
                (overflow ? device::overflowText(r.fanTach[i].divisor) : std::to_string(r.fanRpm[i]) + " RPM");
    }
    for (std::size_t i = 0; i < r.dutyPercent.size(); ++i)
        line += "  pwm" + std::to_string(i + 1) + " " + std::to_string(r.dutyPercent[i]) + " %";
    line += "  alarms " + (r.alarms.empty() ? std::string("none") : joined(r.alarms, ", "));
    return line;
}

void printSensors(const device::Sample& s, bool utf8)
{
    std::string out = s.time + "\n";
    for (const device::TemperatureReading& t : s.temperatures) {
        // An open diode has no temperature: FAULT in place of -128.
        std::string line = pad(std::string(t.name) + ":", 13) +
                           (t.fault || !t.celsius ? std::string("   FAULT") : signedDegrees(*t.celsius, utf8)) +
                           "  (low  = " + limitDegrees(t.low, utf8) + ", high = " + limitDegrees(t.high, utf8) +
                           ", crit = " + limitDegrees(t.crit, utf8) + ")";
        if (t.alarm)
            line += "  ALARM";
        out += line + "\n";
    }
    for (const device::FanReading& f : s.fans) {
        // A count at its maximum gives no speed, only a bound.
        char speed[32];
        std::snprintf(speed, sizeof speed, "%4d RPM", f.rpm);
        char minimum[32];
        std::snprintf(minimum, sizeof minimum, "  (min = %4d RPM)", f.minRpm);
        std::string line = pad(std::string(f.name) + ":", 13) +
                           (f.tach.overflow() ? device::overflowText(f.tach.divisor) : std::string(speed)) + minimum;
        if (f.alarm)
            line += "  ALARM";
        out += line + "\n";
    }
    if (!s.alarms.empty())
        out += "Alarms:      " + joined(s.alarms, ", ") + "\n";
    std::cout << out << "\n" << std::flush;
}

void printJson(const device::Sample& s) { std::cout << device::sampleJson(s) << "\n" << std::flush; }

}  // namespace cli
