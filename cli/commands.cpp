#include "commands.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include <vexlink06/back_end.h>

#include "decode.h"
#include "kernel_target.h"
#include "device/chip_presence.h"
#include "device/conversions.h"
#include "device/register_diff.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "device/write_log.h"

namespace cli {
namespace {

using device::RegisterLink;
namespace reg = device::reg;

std::uint8_t readReg(std::uint8_t address) { return device::readRegister(address); }

const device::RegisterEntry& namedRegister(const std::string& text)
{
    if (looksNumeric(text)) {
        const unsigned address = numberArgument("register", text, 0xFF);
        if (const device::RegisterEntry* e = device::registerEntryByAddress(static_cast<std::uint8_t>(address)))
            return *e;
        throw UsageError("the chip has no register " + hexByte(address) + " (dump lists them)");
    }
    const device::RegisterEntry* e = parseRegister(text);
    if (!e)
        throw UsageError("unknown register '" + text + "' (give an address such as 0x22 or a name from dump)");
    return *e;
}

void requirePresent(const device::RegisterEntry& e, int deviceId)
{
    if (!device::presentOn(e, deviceId))
        throw Failure("register " + hexByte(e.address) + " (" + std::string(e.name) + ") does not exist on the " +
                      std::string(device::chipName(deviceId)));
}

std::uint8_t parseValue(const std::string& text, const std::string& what = "value")
{
    return static_cast<std::uint8_t>(numberArgument(what, text, 0xFF));
}

void requireWritable(const device::RegisterEntry& e)
{
    if (!e.panelWrites)
        throw Failure("register " + hexByte(e.address) + " (" + std::string(e.name) + ") is read-only");
}

// Bits that need not read back as written: the self-clearing software reset,
// the fixed revision number, the counts the chip measures.
std::uint8_t readBackMask(std::uint8_t address)
{
    switch (address) {
    case reg::Configuration2: return 0x7F;
    case reg::Revision: return 0x80;
    case reg::Fan1Tach:
    case reg::Fan2Tach: return 0x00;
    default: return 0xFF;
    }
}

}  // namespace

bool confirm(const std::string& question)
{
    std::cerr << question << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

std::string chipLine(const FoundChip& chip)
{
    return std::string(device::chipName(chip.deviceId)) + " at " + hexByte(chip.address) + " on " + describe(chip);
}

namespace {

std::string pad(std::string s, std::size_t width)
{
    if (s.size() < width)
        s.append(width - s.size(), ' ');
    return s;
}

// ---- monitor --------------------------------------------------------------

std::atomic<bool> g_interrupted{false};

extern "C" void onInterrupt(int) { g_interrupted = true; }

// Ctrl-C ends the loop after the line in progress.
class InterruptGuard {
public:
    InterruptGuard()
    {
        struct sigaction sa { };
        sa.sa_handler = onInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &m_oldInt);
        sigaction(SIGTERM, &sa, &m_oldTerm);
    }
    ~InterruptGuard()
    {
        sigaction(SIGINT, &m_oldInt, nullptr);
        sigaction(SIGTERM, &m_oldTerm, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction m_oldInt { };
    struct sigaction m_oldTerm { };
};

struct Sample {
    std::string time;
    float local = 0, remote1 = 0, remote2 = 0;
    int fan1 = 0, fan2 = 0;
    int duty1 = 0, duty2 = 0;
    std::uint8_t status1 = 0, status2 = 0;
};

std::string nowText()
{
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

// A fan at full count or without a speed shows 0, as the program does.
int fanSpeed(int fan)
{
    const int count = readReg(fan == 2 ? reg::Fan2Tach : reg::Fan1Tach);
    if (count == device::TachCountStopped)
        return 0;
    return device::TachToRpm(fan, count).value_or(0);
}

Sample takeSample(bool dual)
{
    Sample s;
    s.time = nowText();
    s.local = device::ReadTemperature(device::TempChannel::Local);
    s.remote1 = device::ReadTemperature(device::TempChannel::Remote1);
    if (dual)
        s.remote2 = device::ReadTemperature(device::TempChannel::Remote2);
    device::ReadFanDivisors();
    s.fan1 = fanSpeed(1);
    if (dual)
        s.fan2 = fanSpeed(2);
    const int duty = readReg(reg::FanSpeedConfiguration);
    s.duty1 = device::DutyPercent[static_cast<std::size_t>(device::dutyCode(duty, 1))];
    s.duty2 = device::DutyPercent[static_cast<std::size_t>(device::dutyCode(duty, 2))];
    s.status1 = readReg(reg::InterruptStatus1);
    s.status2 = readReg(reg::InterruptStatus2);
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

void sleepInterruptibly(double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!g_interrupted && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// ---- monitor in the sensors style -------------------------------------------

// One temperature channel or fan as the Visual Display's indicators name it.
struct Channel {
    std::string key;   // JSON key: "local", "remote1", ...
    std::string name;  // "Local", "Remote1" ("Remote" on the TFM4410)
};

struct TempReading {
    Channel channel;
    float celsius = 0;
    int low = 0, high = 0, crit = 0;
    bool alarm = false, fault = false;
};

struct FanReading {
    Channel channel;
    int rpm = 0, minRpm = 0, dutyPercent = 0;
    bool alarm = false;
};

struct SensorsSample {
    std::string time;
    std::vector<TempReading> temps;
    std::vector<FanReading> fans;
    std::uint8_t status1 = 0, status2 = 0;
};

// Interrupt status bits by channel: limits and therm per temperature, speed
// and fault per fan. The diode error bits are the remote channels' faults.
struct ChannelBits {
    std::uint8_t alarm1, alarm2, fault1, fault2;
};
constexpr std::array<ChannelBits, 3> TempBits{
    {{0xC0, 0x40, 0x00, 0x00}, {0x1C, 0x00, 0x20, 0x00}, {0x00, 0x1C, 0x00, 0x20}}};
constexpr std::array<ChannelBits, 2> FanBits{{{0x03, 0x00, 0, 0}, {0x00, 0x03, 0, 0}}};

bool anyBits(std::uint8_t status1, std::uint8_t status2, std::uint8_t mask1, std::uint8_t mask2)
{
    return (status1 & mask1) || (status2 & mask2);
}

int minimumRpm(int fan)
{
    const int count = readReg(fan == 2 ? reg::Fan2TachLimit : reg::Fan1TachLimit);
    const int divisor =
        device::divisorFromCharacteristics(readReg(fan == 2 ? reg::Fan2Characteristics : reg::Fan1Characteristics));
    return device::tachToRpm(count, divisor, 1).value_or(0);
}

SensorsSample takeSensorsSample(int deviceId)
{
    const bool dual = device::isDualChannel(deviceId);
    SensorsSample s;
    s.time = nowText();
    struct TempSource {
        device::TempChannel channel;
        Channel names;
        std::uint8_t low, high, crit;
    };
    std::vector<TempSource> sources{
        {device::TempChannel::Local, {"local", "Local"}, reg::LocalLowLimit, reg::LocalHighLimit, reg::LocalThermLimit},
        {device::TempChannel::Remote1,
         {"remote1", dual ? "Remote1" : "Remote"},
         reg::Remote1LowLimit,
         reg::Remote1HighLimit,
         reg::Remote1ThermLimit}};
    if (dual)
        sources.push_back({device::TempChannel::Remote2,
                           {"remote2", "Remote2"},
                           reg::Remote2LowLimit,
                           reg::Remote2HighLimit,
                           reg::Remote2ThermLimit});
    for (const TempSource& t : sources) {
        TempReading r{t.names};
        r.celsius = device::ReadTemperature(t.channel);
        r.fault = t.channel != device::TempChannel::Local &&
                  readReg(device::temperatureRegister(t.channel)) == device::OpenDiodeReading;
        r.low = device::codeToLimit(readReg(t.low));
        r.high = device::codeToLimit(readReg(t.high));
        r.crit = device::codeToLimit(readReg(t.crit));
        s.temps.push_back(r);
    }
    device::ReadFanDivisors();
    const int duty = readReg(reg::FanSpeedConfiguration);
    for (int fan = 1; fan <= (dual ? 2 : 1); ++fan) {
        FanReading r{{"fan" + std::to_string(fan), dual ? "Fan" + std::to_string(fan) : "Fan"}};
        r.rpm = fanSpeed(fan);
        r.minRpm = minimumRpm(fan);
        r.dutyPercent = device::DutyPercent[static_cast<std::size_t>(device::dutyCode(duty, fan))];
        s.fans.push_back(r);
    }
    // Read last: reading clears the bits, so they cover the whole sample.
    s.status1 = readReg(reg::InterruptStatus1);
    s.status2 = readReg(reg::InterruptStatus2);
    for (std::size_t i = 0; i < s.temps.size(); ++i) {
        const ChannelBits& b = TempBits[i];
        s.temps[i].alarm = anyBits(s.status1, s.status2, b.alarm1, b.alarm2);
        s.temps[i].fault = s.temps[i].fault || anyBits(s.status1, s.status2, b.fault1, b.fault2);
    }
    for (std::size_t i = 0; i < s.fans.size(); ++i)
        s.fans[i].alarm = anyBits(s.status1, s.status2, FanBits[i].alarm1, FanBits[i].alarm2);
    return s;
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

void printSensors(const SensorsSample& s, const std::vector<std::string>& alarms, bool utf8)
{
    std::string out = s.time + "\n";
    for (const TempReading& t : s.temps) {
        // An open diode has no temperature: FAULT in place of -128.
        std::string line = pad(t.channel.name + ":", 13) +
                           (t.fault ? std::string("   FAULT") : signedDegrees(t.celsius, utf8)) +
                           "  (low  = " + limitDegrees(t.low, utf8) + ", high = " + limitDegrees(t.high, utf8) +
                           ", crit = " + limitDegrees(t.crit, utf8) + ")";
        if (t.alarm)
            line += "  ALARM";
        out += line + "\n";
    }
    for (const FanReading& f : s.fans) {
        char speed[64];
        std::snprintf(speed, sizeof speed, "%4d RPM  (min = %4d RPM)", f.rpm, f.minRpm);
        std::string line = pad(f.channel.name + ":", 13) + speed;
        if (f.alarm)
            line += "  ALARM";
        out += line + "\n";
    }
    if (!alarms.empty())
        out += "Alarms:      " + joined(alarms, ", ") + "\n";
    std::cout << out << "\n" << std::flush;
}

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
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void printJson(const SensorsSample& s, const FoundChip& chip, const std::vector<std::string>& alarms)
{
    std::string out = "{\"time\":" + jsonString(s.time) +
                      ",\"chip\":" + jsonString(std::string(device::chipName(chip.deviceId))) +
                      ",\"address\":" + jsonString(hexByte(chip.address)) + ",\"board\":" + jsonString(backEndText());
    for (const TempReading& t : s.temps) {
        out += ",\"" + t.channel.key + "\":{\"celsius\":" + (t.fault ? "null" : temperatureText(t.celsius)) +
               ",\"low\":" + std::to_string(t.low) + ",\"high\":" + std::to_string(t.high) +
               ",\"crit\":" + std::to_string(t.crit) + ",\"alarm\":" + (t.alarm ? "true" : "false") +
               ",\"fault\":" + (t.fault ? "true" : "false") + "}";
    }
    for (const FanReading& f : s.fans) {
        out += ",\"" + f.channel.key + "\":{\"rpm\":" + std::to_string(f.rpm) +
               ",\"min_rpm\":" + std::to_string(f.minRpm) + ",\"pwm_percent\":" + std::to_string(f.dutyPercent) +
               ",\"alarm\":" + (f.alarm ? "true" : "false") + "}";
    }
    out += ",\"status1\":" + std::to_string(s.status1) + ",\"status2\":" + std::to_string(s.status2) + ",\"alarms\":[";
    for (std::size_t i = 0; i < alarms.size(); ++i)
        out += (i ? "," : "") + jsonString(alarms[i]);
    std::cout << out << "]}\n" << std::flush;
}

// ---- dump -----------------------------------------------------------------

// The register list in address order, as a bus tool lists a chip.
std::vector<const device::RegisterEntry*> registersByAddress()
{
    std::vector<const device::RegisterEntry*> out;
    for (const device::RegisterEntry& e : device::RegisterList)
        out.push_back(&e);
    std::sort(out.begin(), out.end(), [](const auto* a, const auto* b) { return a->address < b->address; });
    return out;
}

// The 16 x 16 grid of a bus dump: every address the chip has is read once
// (the interrupt status registers clear as they are read), the others show
// XX and are never touched.
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

// ---- trace ----------------------------------------------------------------

std::string traceLine(const vexlink06::backend::TraceEvent& e, bool firstAfterStart)
{
    using Kind = vexlink06::backend::TraceEvent::Kind;
    switch (e.kind) {
    case Kind::Start: return "start";
    case Kind::RepeatedStart: return "repeated start";
    case Kind::Stop: return "stop";
    case Kind::Partial: return "partial byte (" + std::to_string(e.bits) + (e.bits == 1 ? " bit)" : " bits)");
    case Kind::Byte: break;
    }
    std::string line = hexByte(e.value) + (e.ack ? " ACK" : " NACK");
    const char* gap = e.ack ? "   " : "  ";
    if (firstAfterStart)
        line += gap + std::string("address ") + hexByte(e.value >> 1) + (e.value & 1 ? " read" : " write");
    else if (e.by.find("chip") != std::string::npos)
        line += gap + std::string("from the chip");
    else if (e.by.find("eeprom") != std::string::npos)
        line += gap + std::string("from the EEPROM");
    return line;
}

}  // namespace

unsigned numberArgument(const std::string& what, const std::string& text, unsigned max)
{
    if (const auto value = parseNumber(text, max))
        return *value;
    throw UsageError(what + " '" + text + "' " + numberProblem(text, max));
}

std::uint8_t sevenBitAddressArgument(const std::string& text)
{
    const unsigned value = numberArgument("address", text, 0xFF);
    for (const std::uint8_t byte : device::CandidateAddresses) {
        if (value == byte || value == (byte | 1u)) {
            char hint[96];
            std::snprintf(hint, sizeof hint, "0x%02X is the 8-bit %sform of 0x%02X; give the 7-bit address", value,
                          value & 1u ? "read " : "", device::sevenBitAddress(byte));
            throw UsageError(hint);
        }
    }
    if (value < 0x03 || value > 0x77)
        throw UsageError("address '" + text + "' is not a 7-bit address (0x03..0x77)");
    return static_cast<std::uint8_t>(value);
}

void runDetect(const TargetOptions& options, bool portGiven)
{
    if (options.medium == Medium::KernelAdapter)
        printAdapters(options);
    const auto found = detectChips(options, portGiven);
    // The last column says what answered: a simulated board must never pass for hardware.
    const std::string board = onSimulatedBoard() ? "simulated" : "hardware";
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
    if (vexlink06::backend::sharedBoard())
        std::cout << "# " << backEndText() << "\n";
    if (found.empty())
        throw Failure(std::string("no TFM4410 or TFM4411 found on the ") + (options.medium == Medium::Smbus ? "SMBus"
                                                                            : options.medium == Medium::KernelAdapter
                                                                                ? "I2C adapters"
                                                                                : "printer port"));
}

void runGet(const TargetOptions& options, const std::string& regText)
{
    const device::RegisterEntry& e = namedRegister(regText);
    const FoundChip chip = connect(options);
    requirePresent(e, chip.deviceId);
    // Printed only once the chip is known to have given it.
    device::AnswerWatch read(readReg);
    const std::uint8_t value = read(e.address);
    read.confirm();
    std::cout << hexByte(value) << "\n";
}

void runSet(const TargetOptions& options, const std::string& regText, const std::string& valueText, bool assumeYes,
            bool readBack, const std::string& maskText)
{
    const device::RegisterEntry& e = namedRegister(regText);
    const std::uint8_t value = parseValue(valueText);
    const bool masked = !maskText.empty();
    const std::uint8_t mask = masked ? parseValue(maskText, "mask") : std::uint8_t{0xFF};
    requireWritable(e);
    const FoundChip chip = connect(options);
    requirePresent(e, chip.deviceId);
    const std::string what = masked ? hexByte(value) + " under mask " + hexByte(mask) : hexByte(value);
    if (!assumeYes && !confirm("Write " + what + " to register " + hexByte(e.address) + " (" + std::string(e.name) +
                               ") of the " + chipLine(chip) + "?"))
        throw Failure("not written");
    // Read first so the user sees what the write replaced; a masked write
    // keeps the other bits of this value.
    const std::uint8_t old = readReg(e.address);
    if (masked && !device::chipAnswers())
        throw device::ChipNotAnswering();
    const auto byte = static_cast<std::uint8_t>((old & ~mask) | (value & mask));
    {
        device::WriteAction action(device::WriteSource::Cli, "set");
        device::writeRegister(e.address, byte);
    }
    // Writes are not acknowledged on the printer port: a chip that is gone
    // would take this one without a word.
    if (!device::chipAnswers())
        throw device::ChipNotAnswering();
    if (readBack) {
        const std::uint8_t got = readReg(e.address);
        const std::uint8_t check = readBackMask(e.address);
        if ((got & check) != (byte & check))
            throw Failure("register " + hexByte(e.address) + " reads back " + hexByte(got) + ", not " + hexByte(byte));
    }
    std::cout << hexByte(old) << " -> " << hexByte(byte) << "\n";
}

void runDump(const TargetOptions& options, bool raw)
{
    const FoundChip chip = connect(options);
    // Held back until the chip is confirmed: no line of values it did not give.
    std::ostringstream out;
    out << "# " << chipLine(chip) << ", " << backEndText() << "\n";
    device::AnswerWatch read(readReg);
    if (raw) {
        out << rawGrid(chip.deviceId, read);
    } else {
        for (const device::RegisterEntry* e : registersByAddress()) {
            if (!device::presentOn(*e, chip.deviceId))
                continue;
            const std::uint8_t value = read(e->address);
            std::string line = hexByte(e->address) + "  " + pad(std::string(e->name), 29) + hexByte(value);
            const auto fields = decodeRegister(*e, value, chip.deviceId, std::ref(read));
            for (std::size_t i = 0; i < fields.size(); ++i)
                line += (i ? ", " : "  ") + fields[i].name + "=" + fields[i].value;
            out << line << "\n";
        }
    }
    read.confirm();
    std::cout << out.str();
}

void runMonitor(const TargetOptions& options, const MonitorOptions& monitor)
{
    if (!(monitor.interval >= 0.0))
        throw UsageError("the interval must be 0 or more seconds");
    if (monitor.count < 0)
        throw UsageError("the count must be 0 or more");
    if (int(monitor.csv) + int(monitor.json) + int(monitor.line) > 1)
        throw UsageError("give one of --csv, --json and --line");
    const FoundChip chip = connect(options);
    const bool dual = device::isDualChannel(chip.deviceId);
    InterruptGuard guard;
    g_interrupted = false;
    if (monitor.csv) {
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
        printCsvRow(header);
    } else if (!monitor.json) {
        std::cout << "# " << chipLine(chip) << ", " << backEndText() << "\n" << std::flush;
    }
    for (int n = 0; !g_interrupted && (monitor.count == 0 || n < monitor.count); ++n) {
        if (n > 0) {
            sleepInterruptibly(monitor.interval);
            if (g_interrupted)
                break;
        }
        if (!monitor.csv && !monitor.line) {
            const SensorsSample s = takeSensorsSample(chip.deviceId);
            if (!device::chipAnswers())
                throw device::ChipNotAnswering();
            const auto alarms = alarmNames(s.status1, s.status2, chip.deviceId);
            if (monitor.json)
                printJson(s, chip, alarms);
            else
                printSensors(s, alarms, monitor.utf8);
            continue;
        }
        const Sample s = takeSample(dual);
        if (!device::chipAnswers())
            throw device::ChipNotAnswering();
        const auto alarms = alarmNames(s.status1, s.status2, chip.deviceId);
        if (monitor.csv) {
            std::vector<std::string> row{s.time, temperatureText(s.local), temperatureText(s.remote1)};
            if (dual)
                row.push_back(temperatureText(s.remote2));
            row.push_back(std::to_string(s.fan1));
            if (dual)
                row.push_back(std::to_string(s.fan2));
            row.push_back(std::to_string(s.duty1));
            if (dual)
                row.push_back(std::to_string(s.duty2));
            row.insert(row.end(), {hexByte(s.status1), hexByte(s.status2), joined(alarms, ";")});
            printCsvRow(row);
        } else {
            std::string line =
                s.time + "  local " + temperatureText(s.local) + " °C  remote1 " + temperatureText(s.remote1) + " °C";
            if (dual)
                line += "  remote2 " + temperatureText(s.remote2) + " °C";
            line += "  fan1 " + std::to_string(s.fan1) + " RPM";
            if (dual)
                line += "  fan2 " + std::to_string(s.fan2) + " RPM";
            line += "  pwm1 " + std::to_string(s.duty1) + " %";
            if (dual)
                line += "  pwm2 " + std::to_string(s.duty2) + " %";
            line += "  alarms " + (alarms.empty() ? std::string("none") : joined(alarms, ", "));
            std::cout << line << "\n" << std::flush;
        }
    }
}

void runSave(const TargetOptions& options, const std::string& path)
{
    const FoundChip chip = connect(options);
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    device::AnswerWatch read(readReg);
    const auto lines = device::registerFileLines(chip.deviceId, local, std::ref(read));
    // An all-FFh file from a chip that is gone would, recalled, reset the chip.
    read.confirm();
    const std::string error = device::writeFileReplacing(path, device::registerFileText(lines));
    if (!error.empty())
        throw Failure(error);
    std::cout << "saved " << device::savedRegisterCount(chip.deviceId) << " registers of the " << chipLine(chip)
              << " to " << path << "\n";
}

namespace {

// What a recall of the file would change on the chip, printed one register a
// line; true when anything differs. Reads only.
bool printDifferences(const FoundChip& chip, const std::string& path, const std::vector<device::RegisterValue>& writes)
{
    const auto differences = device::registerDifferences(writes, readReg);
    if (!device::chipAnswers())
        throw device::ChipNotAnswering();
    if (differences.empty()) {
        std::cout << "the " << chipLine(chip) << " holds every value of " << path << "\n";
        return false;
    }
    std::cout << "# " << differences.size() << " of the " << writes.size() << " registers of " << path
              << " differ on the " << chipLine(chip) << " (chip -> file)\n";
    for (const device::RegisterDifference& d : differences)
        std::cout << device::differenceLine(d, chip.deviceId) << "\n";
    return true;
}

}  // namespace

void runDiff(const TargetOptions& options, const std::string& path)
{
    const device::RegisterFileResult result = device::readRegisterFile(path);
    if (!result)
        throw Failure(path + ": " + result.error);
    const FoundChip chip = connect(options);
    if (printDifferences(chip, path, device::recallWrites(*result.file, chip.deviceId)))
        throw Differences{};
}

void runRecall(const TargetOptions& options, const std::string& path, bool dryRun)
{
    // Validate the whole file before the bus is touched: nothing of a bad file is written.
    const device::RegisterFileResult result = device::readRegisterFile(path);
    if (!result)
        throw Failure(path + ": " + result.error);
    const FoundChip chip = connect(options);
    const auto writes = device::recallWrites(*result.file, chip.deviceId);
    if (dryRun) {
        printDifferences(chip, path, writes);
        std::cout << "nothing written (dry run)\n";
        return;
    }
    device::WriteAction action(device::WriteSource::Cli, "recall");
    for (const device::RegisterValue& w : writes)
        device::writeRegister(w.address, w.value);
    if (!device::chipAnswers())
        throw device::ChipNotAnswering();
    std::cout << "recalled " << writes.size() << " registers from " << path << " to the " << chipLine(chip) << "\n";
}

void runTraced(const std::function<void()>& command, const std::string& vcdPath)
{
    namespace backend = vexlink06::backend;
    if (!backend::beginTrace())
        throw Failure("trace needs the simulated board (run without --hardware)");
    // The capture starts once the chip is found, as the trace does, on the bus
    // that carries it.
    bool capturing = false;
    std::string noCapture = "no wire capture was made: the chip is on a kernel I2C adapter";
    setConnectedHook([&](const FoundChip& chip) {
        backend::clearTrace();
        // The simulated kernel adapters are not captured: their transfers are
        // whole messages, not line changes.
        if (vcdPath.empty() || chip.medium == Medium::KernelAdapter)
            return;
        capturing = backend::beginCapture(chip.medium == Medium::Printer ? chip.portBase : 0U);
        if (!capturing)
            noCapture = "no wire capture was made: the simulated board has no capture for the bus in use";
    });
    std::string vcdError;
    bool wrote = false;
    const auto print = [&] {
        setConnectedHook(nullptr);
        if (capturing) {
            capturing = false;
            if (const auto capture = backend::endCapture()) {
                vcdError = device::writeFileReplacing(vcdPath, capture->vcd);
                wrote = vcdError.empty();
            }
        }
        for (const backend::BusTrace& t : backend::endTrace()) {
            if (t.events.empty())
                continue;
            char name[48] = "SMBus";
            if (t.port >= 0)
                std::snprintf(name, sizeof name, "printer port %d (0x%x)", t.port, t.portBase);
            std::cout << "# bus trace, " << name << "\n";
            bool afterStart = false;
            for (const backend::TraceEvent& ev : t.events) {
                std::cout << "  " << traceLine(ev, afterStart) << "\n";
                afterStart =
                    ev.kind == backend::TraceEvent::Kind::Start || ev.kind == backend::TraceEvent::Kind::RepeatedStart;
            }
        }
        std::cout << std::flush;
    };
    try {
        command();
    } catch (...) {
        print();
        if (!vcdError.empty())
            std::cerr << "fanscope-cli: " << vcdError << "\n";
        throw;
    }
    print();
    if (!vcdError.empty())
        throw Failure(vcdError);
    if (!vcdPath.empty() && !wrote)
        throw Failure(noCapture);
}

}  // namespace cli
