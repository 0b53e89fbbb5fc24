#include "exporter.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "device/register_file.h"
#include "device/register_map.h"
#include "exporter/http_server.h"
#include "exporter/shared_reading.h"

namespace exporter {

namespace {

using Clock = std::chrono::steady_clock;

std::string hexAddress(std::uint8_t address)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", address);
    return text;
}

struct ExportedChip {
    device::Session session;
    bool answered = true;  // at the last reading; a change is told on stderr
};

// Every status bit by its name, set or not; the bits a chip lacks stay out.
std::vector<AlarmMetric> alarmBits(const device::Sample& s)
{
    std::vector<AlarmMetric> out;
    const int id = device::deviceId(s.variant);
    const std::pair<device::BitScheme, std::uint8_t> registers[] = {{device::BitScheme::InterruptStatus1, s.status1},
                                                                    {device::BitScheme::InterruptStatus2, s.status2}};
    for (const auto& [scheme, value] : registers) {
        const auto names = device::bitNames(scheme, id);
        for (std::size_t bit = 0; bit < names.size(); ++bit)
            if (names[bit] != device::UnusedBitName)
                out.push_back({std::string(names[bit]), ((value >> bit) & 1u) != 0});
    }
    return out;
}

// SIGINT and SIGTERM are taken by sigwait in the thread that runs the
// exporter; blocked before any server thread starts, so those inherit the
// mask and never take them.
class SignalMask {
public:
    SignalMask()
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGINT);
        sigaddset(&m_set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &m_set, &m_old);
    }
    ~SignalMask() { pthread_sigmask(SIG_SETMASK, &m_old, nullptr); }
    SignalMask(const SignalMask&) = delete;
    SignalMask& operator=(const SignalMask&) = delete;

    void wait() const
    {
        int signal = 0;
        while (sigwait(&m_set, &signal) != 0) { }
    }
    // True when a signal came within `seconds`.
    bool waitFor(double seconds) const
    {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return false;
            timespec t{static_cast<time_t>(left.count() / 1000000000), static_cast<long>(left.count() % 1000000000)};
            if (sigtimedwait(&m_set, nullptr, &t) > 0)
                return true;
            if (errno != EINTR && errno != EAGAIN)
                return false;
        }
    }

private:
    sigset_t m_set{};
    sigset_t m_old{};
};

std::vector<ExportedChip> findChips(const ExportOptions& options)
{
    device::ProbeRequest request;
    request.media = {options.medium};
    request.printerPort = options.printerPort;
    request.adapters = options.adapters;
    if (options.addresses.size() == 1)
        request.address = options.addresses.front();
    if (options.force)
        request.onDriverOwned = [](int, std::uint8_t, const device::SessionError&) { return true; };
    if (options.medium == device::Medium::PrinterPort)
        device::holdBoardLines();
    const device::ProbeReport report = device::probe(request);

    // Only reads, each chip read whole by sample(), whose end confirms the
    // chip: the per-read confirmation would only add transfers. The port is
    // not held, so the program and the CLI get their turns between readings.
    device::Session::Options sessionOptions;
    sessionOptions.confirmAllOnes = false;
    std::vector<ExportedChip> chips;
    for (const device::ChipLocation& chip : report.chips) {
        const bool wanted = options.addresses.empty() || std::find(options.addresses.begin(), options.addresses.end(),
                                                                   chip.address) != options.addresses.end();
        // One chip may answer in both data senses of a printer port: export it once.
        const bool seen = std::any_of(chips.begin(), chips.end(), [&](const ExportedChip& c) {
            const auto& l = c.session.location();
            return l.medium == chip.medium && l.port == chip.port && l.address == chip.address;
        });
        if (wanted && !seen)
            chips.push_back({device::Session(chip, sessionOptions)});
    }
    for (const std::uint8_t address : options.addresses) {
        const bool found = std::any_of(chips.begin(), chips.end(),
                                       [&](const ExportedChip& c) { return c.session.address() == address; });
        if (!found)
            throw std::runtime_error("no TFM4410 or TFM4411 answers at " + hexAddress(address) + " on the " +
                                     std::string(device::mediumName(options.medium)));
    }
    if (chips.empty()) {
        std::string message = "no TFM4410 or TFM4411 found on the " + std::string(device::mediumName(options.medium));
        for (const std::string& problem : report.portProblems)
            message += "; " + problem;
        throw std::runtime_error(message);
    }
    return chips;
}

std::vector<ChipSnapshot> readAll(std::vector<ExportedChip>& chips)
{
    std::vector<ChipSnapshot> out;
    out.reserve(chips.size());
    for (ExportedChip& chip : chips) {
        out.push_back(readChip(chip.session));
        // Told once per change, so a log shows when a chip went and came back.
        if (out.back().up != chip.answered) {
            chip.answered = out.back().up;
            std::cerr << "fanscope-cli: the " << device::chipLine(chip.session.location())
                      << (chip.answered ? " answers again" : " stopped answering: " + out.back().problem) << "\n"
                      << std::flush;
        }
    }
    return out;
}

void serveHttp(const ExportOptions& options, std::vector<ExportedChip>& chips, const SignalMask& signals)
{
    const ListenAddress address = options.listen.empty() ? ListenAddress{} : parseListenAddress(options.listen);
    SharedReading<std::vector<ChipSnapshot>> reading([&chips] { return readAll(chips); },
                                                     std::chrono::milliseconds(MinReadingIntervalMs));
    MetricsServer server([&](std::string_view accept) {
        const Format format = negotiate(accept);
        return Page{exposition(*reading.get(), options.version, format), std::string(contentType(format))};
    });
    ListenAddress bound = address;
    bound.port = server.bind(address);
    if (!isLoopback(address.host))
        std::cerr << "fanscope-cli: warning: listening on " << listenText(bound)
                  << ", beyond loopback: anyone who can reach this PC there reads the chips' readings\n"
                  << std::flush;
    for (const ExportedChip& chip : chips)
        std::cout << "exporting the " << device::chipLine(chip.session.location()) << ", " << chip.session.backEnd()
                  << "\n";
    std::cout << "serving http://" << listenText(bound) << "/metrics\n" << std::flush;

    bool served = true;
    std::thread http([&] { served = server.run(); });
    signals.wait();
    server.stop();
    http.join();
    if (!served)
        throw std::runtime_error("serving " + listenText(bound) + " failed");
}

void writeTextfiles(const ExportOptions& options, std::vector<ExportedChip>& chips, const SignalMask& signals)
{
    namespace fs = std::filesystem;
    const fs::path path = fs::path(options.textfile) / TextfileName;
    for (int n = 0; options.count == 0 || n < options.count; ++n) {
        if (n > 0 && signals.waitFor(options.interval))
            break;
        const auto chipsNow = readAll(chips);
        // A temporary file renamed over the old one: the collector never sees
        // half a file, and its temporary name does not end in .prom.
        const std::string error = device::writeFileReplacing(path, exposition(chipsNow, options.version, Format::Text));
        if (!error.empty())
            throw std::runtime_error(error);
    }
}

}  // namespace

ChipLabels labelsOf(const device::ChipLocation& chip)
{
    switch (chip.medium) {
    case device::Medium::PrinterPort: return {hexAddress(chip.address), "printer", "port" + std::to_string(chip.port)};
    case device::Medium::ChipsetSmbus: return {hexAddress(chip.address), "smbus", "chipset"};
    case device::Medium::KernelAdapter: return {hexAddress(chip.address), "i2c", "i2c-" + std::to_string(chip.port)};
    }
    return {hexAddress(chip.address), "", ""};
}

ChipSnapshot readChip(device::Session& session)
{
    ChipSnapshot out;
    out.labels = labelsOf(session.location());
    out.variant = std::string(device::variantName(session.variant()));
    out.backEnd = session.simulated() ? "simulated" : "hardware";
    const auto started = Clock::now();
    try {
        const device::Sample s = session.sample();
        for (const device::TemperatureReading& t : s.temperatures) {
            std::optional<double> celsius;
            if (t.celsius)
                celsius = static_cast<double>(*t.celsius);
            out.temperatures.push_back({std::string(t.key), celsius, t.fault, t.low, t.high, t.crit});
        }
        for (const device::FanReading& f : s.fans)
            out.fans.push_back({std::string(f.key), f.rpm, f.minRpm, f.duty.ratio, f.tach.overflow()});
        out.alarms = alarmBits(s);
        out.up = true;
    } catch (const device::SessionError& e) {
        // Nothing of a reading that failed part-way is kept: up stays false.
        out.problem = e.what();
    }
    out.readSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    const device::TransferCounts counts = session.transferCounts();
    out.transfersOk = counts.ok;
    out.transfersNoAck = counts.noAck;
    out.transfersError = counts.error;
    return out;
}

void runExport(const ExportOptions& options)
{
    if (!options.textfile.empty() && !options.listen.empty())
        throw std::invalid_argument("give --listen or --textfile, not both");
    if (options.textfile.empty() && (options.count != 0))
        throw std::invalid_argument("--count needs --textfile");
    if (!(options.interval > 0))
        throw std::invalid_argument("the interval must be more than 0 seconds");
    if (options.count < 0)
        throw std::invalid_argument("the count must be 0 or more");
    if (options.textfile.empty() && !options.listen.empty())
        (void)parseListenAddress(options.listen);  // a bad address is a usage error before any bus traffic
    std::error_code ec;
    if (!options.textfile.empty() && !std::filesystem::is_directory(options.textfile, ec))
        throw std::invalid_argument("--textfile " + options.textfile + ": not a folder");

    const SignalMask signals;
    std::vector<ExportedChip> chips = findChips(options);
    if (options.textfile.empty())
        serveHttp(options, chips, signals);
    else
        writeTextfiles(options, chips, signals);
}

}  // namespace exporter
