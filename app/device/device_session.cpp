#include "device/device_session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>

#include <vexlink06/back_end.h>
#include <vexlink06/vexlink06.h>

#include "device/adapter_search.h"
#include "device/back_end.h"
#include "device/bus_route.h"
#include "device/chip_presence.h"
#include "device/control_curves.h"
#include "device/numbers.h"
#include "device/session_support.h"
#include "device/register_link.h"
#include "device/write_log.h"

namespace device {

namespace {

using detail::mapped;
using detail::printerPort;

struct Counters {
    std::atomic<std::uint64_t> ok{0};
    std::atomic<std::uint64_t> noAck{0};
    std::atomic<std::uint64_t> error{0};

    TransferCounts snapshot() const { return {ok.load(), noAck.load(), error.load()}; }
};

Counters& totals()
{
    static Counters counters;
    return counters;
}

std::string nowText()
{
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    (void)std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

std::uint8_t wireAddress(const ChipLocation& chip)
{
    return chip.medium == Medium::PrinterPort ? addressByte(chip.address) : chip.address;
}

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
    return (status1 & mask1) != 0 || (status2 & mask2) != 0;
}

std::string lostBoardText()
{
    std::string reason = vexlink06::backend::lostBoardReason();
    return reason.empty() ? "the shared simulated board went away during the transfer" : reason;
}

}  // namespace

std::uint64_t requireBoard()
{
    const std::uint64_t connection = vexlink06::backend::boardConnection(true);
    if (connection == 0)
        throw SessionError(ErrorKind::BoardLost, lostBoardText());
    return connection;
}

void requireSameBoard(std::uint64_t connection)
{
    if (vexlink06::backend::boardConnection(false) != connection)
        throw SessionError(ErrorKind::BoardLost, lostBoardText());
}

std::string returnedWithoutText(Variant expected, std::uint8_t address7, std::optional<std::uint8_t> deviceId)
{
    std::string found = "nothing answers there";
    if (const auto other = deviceId ? variantFromDeviceId(*deviceId) : std::nullopt)
        found = "a " + std::string(variantName(*other)) + " answers there";
    else if (deviceId && *deviceId != 0xFF)
        found = "its Device ID reads " + hexByte(*deviceId);
    return "the board answers again, but not with the " + std::string(variantName(expected)) + " at " +
           hexByte(address7) + ": " + found;
}

TransferCounts totalTransferCounts() { return totals().snapshot(); }

// ---- the session -------------------------------------------------------------

struct Session::State {
    ChipLocation chip;
    Options options;
    std::uint8_t wire = 0;  // the address as the medium's transfers take it
    Counters counts;
    WriteObserver observer;
    std::array<std::optional<std::uint8_t>, 256> known{};
    bool claimed = false;
    // The shared board's connection the chip was last seen on; 0: none yet.
    std::uint64_t board = 0;
    // Kernel adapter: looked for again by its name while it is away.
    AdapterSearch adapterSearch;
    // The divisor of each fan at this session's last reading of its count.
    std::array<int, 2> divisorSeen{};

    // Makes the library's process-wide selection this chip's: another
    // session or the windows may have left another port, sense or adapter
    // selected. Setters run only when something differs.
    void select()
    {
        if (chip.medium == Medium::PrinterPort) {
            const auto port = printerPort();
            if (port->PortAddressIndex() != chip.port)
                port->setPortAddressIndex(static_cast<std::uint8_t>(chip.port));
            const auto proto = required(port->SMBusProtocall());
            const vexlink06::VBool sense = chip.dataInverted ? vexlink06::True : vexlink06::False;
            if (proto->DataInverted() != sense)
                proto->setDataInverted(sense);
            if (options.holdPort && !claimed) {
                port->setLockPortOpen(vexlink06::True);
                claimed = true;
            }
        } else if (chip.medium == Medium::KernelAdapter) {
            const auto adapter = kernelAdapter();
            if (adapter->Bus() != chip.port)
                adapter->setBus(chip.port);
            const vexlink06::VBool force = chip.forced ? vexlink06::True : vexlink06::False;
            if (adapter->Force() != force)
                adapter->setForce(force);
        }
    }

    void count(std::atomic<std::uint64_t> Counters::*which)
    {
        ++(counts.*which);
        ++(totals().*which);
    }

    [[noreturn]] void fail(const vexlink06::ComError& e)
    {
        const SessionError error = mapped(e, chip.port);
        count(error.kind() == ErrorKind::NoAcknowledge ? &Counters::noAck : &Counters::error);
        // An adapter that went (a USB bridge unplugged) is looked for again
        // by its name at the next use, whatever number it comes back under.
        if (const auto* adapter = dynamic_cast<const vexlink06::AdapterFailure*>(&e);
            adapter && adapter->code() == vexlink06::AdapterError::Gone && !chip.adapterName.empty()) {
            adapterSearch.lost(error.what());
            throw SessionError(ErrorKind::BoardLost, error.what(), error.number(), error.description());
        }
        throw error;
    }

    [[noreturn]] void gone() const { throw SessionError(ErrorKind::ChipGone, noLongerAnswersText(chip.address)); }

    // The board this transfer may use: a board reached again is used only
    // once the same chip answers at the same address there.
    std::uint64_t onBoard()
    {
        const std::uint64_t connection = requireBoard();
        if (adapterSearch.away()) {
            chip.port = adapterSearch.findAgain(chip.adapterName);
            board = 0;  // the chip is confirmed there before use
        }
        if (connection != board)
            confirmReturned(connection);
        return connection;
    }

    void confirmReturned(std::uint64_t connection)
    {
        std::optional<std::uint8_t> id;
        // Twice: a kernel adapter's handle on the board that went fails once
        // as gone, and the library opens the adapter afresh for the next.
        for (int attempt = 0; attempt < 2 && !id; ++attempt) {
            try {
                select();
                id = routeRead(static_cast<std::uint8_t>(chip.medium), wire, reg::DeviceId);
            } catch (const vexlink06::ComError&) {
                // Nobody acknowledged: said below, as for a read of all ones.
            }
        }
        requireSameBoard(connection);
        if (id == deviceId(chip.variant)) {
            board = connection;
            known.fill(std::nullopt);  // values of the board that went
            return;
        }
        throw SessionError(ErrorKind::BoardLost, returnedWithoutText(chip.variant, chip.address, id));
    }

    // One read on the wire, counted; no check of the value.
    std::uint8_t rawRead(std::uint8_t reg)
    {
        std::uint8_t value = 0;
        const std::uint64_t connection = onBoard();
        try {
            select();
            value = routeRead(static_cast<std::uint8_t>(chip.medium), wire, reg);
        } catch (const vexlink06::ComError& e) {
            requireSameBoard(connection);
            fail(e);
        }
        requireSameBoard(connection);
        count(&Counters::ok);
        known[reg] = value;
        if (options.processWriteLog)
            writeLog().noteRead(static_cast<std::uint8_t>(chip.medium), wire, reg, value);
        return value;
    }

    // A Device ID read: true while it is the connected chip's. A mismatch
    // counts as a transfer nobody answered.
    bool answers()
    {
        const std::uint8_t id = rawRead(reg::DeviceId);
        if (id == deviceId(chip.variant))
            return true;
        --counts.ok;
        --totals().ok;
        count(&Counters::noAck);
        return false;
    }

    std::uint8_t read(std::uint8_t reg)
    {
        const std::uint8_t value = rawRead(reg);
        const bool ack = chip.medium == Medium::KernelAdapter;
        if (!options.confirmAllOnes || ack || value != 0xFF)
            return value;
        if (impossibleValue(reg, value) || !answers()) {
            --counts.ok;
            --totals().ok;
            count(&Counters::noAck);
            gone();
        }
        return value;
    }

    void write(std::uint8_t reg, std::uint8_t value)
    {
        const std::uint64_t connection = onBoard();
        try {
            select();
            routeWrite(static_cast<std::uint8_t>(chip.medium), wire, reg, value);
        } catch (const vexlink06::ComError& e) {
            requireSameBoard(connection);
            fail(e);
        }
        requireSameBoard(connection);
        count(&Counters::ok);
        const std::optional<std::uint8_t> before = known[reg];
        known[reg] = value;
        if (options.processWriteLog)
            writeLog().noteWrite(static_cast<std::uint8_t>(chip.medium), wire, reg, value);
        if (observer)
            observer(WriteEvent{chip, reg, before, value});
    }

    // Extra Resolution, then the channel's high byte.
    std::pair<float, std::uint8_t> temperature(TempChannel channel)
    {
        const std::uint8_t extra = rawRead(reg::ExtraResolution);
        const std::uint8_t high = rawRead(temperatureRegister(channel));
        const std::string_view fraction = fractionText(extraResolutionField(extra, channel), channel);
        return {temperatureFrom(high, fraction), high};
    }

    // The count with the divisor it was measured at (fan_speed_tracker.h).
    TachReading tach(int fan)
    {
        int& seen = divisorSeen[static_cast<std::size_t>(fan == 2)];
        const TachReading r = readTach(
            fan, [this](std::uint8_t reg) { return rawRead(reg); }, seen,
            [] { std::this_thread::sleep_for(std::chrono::duration<double>(kTachConversionS / boardTimeScale())); });
        if (r.divisor != 0)
            seen = r.divisor;
        return r;
    }

    // The duty each fan is driven at. Under automatic control the chip
    // keeps no register of it: the control law's duty for these readings
    // and settings, as the chip computes it. Otherwise the register's.
    std::vector<FanDuty> duties(const std::array<std::optional<double>, 3>& temperatures)
    {
        const std::uint8_t speed = rawRead(reg::FanSpeedConfiguration);
        const std::uint8_t configuration1 = rawRead(reg::Configuration1);
        const int fans = chip.variant == Variant::Tfm4411 ? 2 : 1;
        std::vector<FanDuty> out;
        if (!(configuration1 & bits::Config1AutoControl)) {
            for (int fan = 1; fan <= fans; ++fan) {
                const int percent = DutyPercent[static_cast<std::size_t>(dutyCode(speed, fan))];
                out.push_back({percent / 100.0, percent, false});
            }
            return out;
        }
        CurveRegisters law;
        law.deviceId = static_cast<std::int16_t>(deviceId(chip.variant));
        law.configuration1 = configuration1;
        law.fanSpeedConfiguration = speed;
        law.temperature = temperatures;
        for (int c = 0; c < (fans == 2 ? 3 : 2); ++c)
            law.tminTrange[static_cast<std::size_t>(c)] = rawRead(tminTrangeRegister(channelAt(c)));
        for (const FanCurves& f : buildFanCurves(law))
            out.push_back({f.duty, static_cast<int>(std::lround(f.duty * 100.0)), true});
        return out;
    }

    void requireFan(int fan) const
    {
        if (fan != 1 && !(fan == 2 && chip.variant == Variant::Tfm4411))
            throw SessionError(ErrorKind::InvalidArgument,
                               "the " + std::string(variantName(chip.variant)) + " has no fan " + std::to_string(fan));
    }
};

Session::Session(ChipLocation chip) : Session(std::move(chip), Options{}) { }

Session::Session(ChipLocation chip, Options options) : m_state(std::make_unique<State>())
{
    if (chip.address > 0x7F)
        throw SessionError(ErrorKind::InvalidArgument, "address " + hexByte(chip.address) + " is not a 7-bit address");
    m_state->chip = std::move(chip);
    m_state->options = options;
    m_state->wire = wireAddress(m_state->chip);
    // The probe found the chip on the board that serves now.
    m_state->board = vexlink06::backend::boardConnection(false);
}

Session Session::open(Medium medium, int port, std::uint8_t address, bool force)
{
    return open(medium, port, address, force, Options{});
}

Session Session::open(Medium medium, int port, std::uint8_t address, bool force, Options options)
{
    if (address < 0x03 || address > 0x77)
        throw SessionError(ErrorKind::InvalidArgument,
                           "address " + hexByte(address) + " is not a 7-bit address (0x03..0x77)");
    const std::lock_guard lock(busMutex());
    // A shared board that went away is looked for again before the port
    // count is asked of it.
    const std::uint64_t board = requireBoard();
    ProbeRequest request;
    request.media = {medium};
    request.address = address;
    request.stopAtFirst = true;
    request.stopOnError = true;
    std::string where = std::string(mediumName(medium));
    if (medium == Medium::PrinterPort) {
        int ports = 0;
        try {
            ports = printerPort()->PrinterPortsDetected();
        } catch (const vexlink06::ComError& e) {
            throw mapped(e, -1);
        }
        requireSameBoard(board);
        if (port < 0 || port >= ports)
            throw SessionError(ErrorKind::InvalidArgument, "there is no printer port " + std::to_string(port) + " (" +
                                                               std::to_string(ports) + " detected)");
        request.printerPort = port;
        where += " " + std::to_string(port);
    } else if (medium == Medium::KernelAdapter) {
        if (port < 0)
            throw SessionError(ErrorKind::InvalidArgument, "there is no I2C adapter " + std::to_string(port));
        request.adapters = {port};
        where = "i2c-" + std::to_string(port);
        request.onDriverOwned = [force](int, std::uint8_t, const SessionError& why) {
            if (!force)
                throw why;
            return true;
        };
    } else {
        // The controller the motherboard helper refused cannot be searched.
        std::string reason;
        try {
            const auto smbus = ComPort()->SMBus();
            reason = smbus ? smbus->UnavailableReason() : std::string{};
        } catch (const vexlink06::ComError& e) {
            throw mapped(e, -1);
        }
        if (!reason.empty())
            throw SessionError(ErrorKind::Unavailable, reason);
    }
    ProbeReport report = probe(request);
    if (report.chips.empty())
        throw SessionError(ErrorKind::NotFound, "no TFM4410 or TFM4411 found at " + hexByte(address) + " on " + where);
    return {std::move(report.chips.front()), options};
}

Session::~Session()
{
    if (!m_state || !m_state->claimed)
        return;
    const std::lock_guard lock(busMutex());
    try {
        printerPort()->setLockPortOpen(vexlink06::False);
    } catch (const vexlink06::ComError&) {
        // Nothing to release any more.
    }
}

Session::Session(Session&& other) noexcept = default;

Session& Session::operator=(Session&& other) noexcept
{
    if (this != &other) {
        Session old(std::move(*this));
        m_state = std::move(other.m_state);
    }
    return *this;
}

const ChipLocation& Session::location() const { return m_state->chip; }

std::string Session::backEnd() const
{
    const auto board = simulatedBoardConfiguration();
    return board ? "simulated board (" + *board + ")" : "hardware";
}

const Session::Options& Session::options() const { return m_state->options; }

std::uint8_t Session::read(std::uint8_t reg)
{
    const std::lock_guard lock(busMutex());
    return m_state->read(reg);
}

void Session::write(std::uint8_t reg, std::uint8_t value)
{
    const std::lock_guard lock(busMutex());
    m_state->write(reg, value);
}

std::uint8_t Session::writeMasked(std::uint8_t reg, std::uint8_t value, std::uint8_t mask)
{
    const std::lock_guard lock(busMutex());
    const std::uint8_t old = m_state->rawRead(reg);
    if (!m_state->answers())
        m_state->gone();
    m_state->write(reg, static_cast<std::uint8_t>((old & ~mask) | (value & mask)));
    return old;
}

bool Session::present()
{
    const std::lock_guard lock(busMutex());
    return m_state->answers();
}

void Session::requirePresent()
{
    if (!present())
        m_state->gone();
}

std::optional<float> Session::temperature(TempChannel channel)
{
    if (channel == TempChannel::Remote2 && !dualChannel())
        throw SessionError(ErrorKind::InvalidArgument, "the TFM4410 has no second remote channel");
    const std::lock_guard lock(busMutex());
    const auto [celsius, high] = m_state->temperature(channel);
    if (channel != TempChannel::Local && high == OpenDiodeReading)
        return std::nullopt;
    return celsius;
}

int Session::fanRpm(int fan) { return fanTach(fan).rpm(); }

TachReading Session::fanTach(int fan)
{
    m_state->requireFan(fan);
    const std::lock_guard lock(busMutex());
    return m_state->tach(fan);
}

int Session::dutyPercent(int fan)
{
    m_state->requireFan(fan);
    const std::lock_guard lock(busMutex());
    return DutyPercent[static_cast<std::size_t>(dutyCode(m_state->rawRead(reg::FanSpeedConfiguration), fan))];
}

std::vector<std::string> Session::alarms()
{
    const std::lock_guard lock(busMutex());
    const std::uint8_t status1 = m_state->rawRead(reg::InterruptStatus1);
    const std::uint8_t status2 = m_state->rawRead(reg::InterruptStatus2);
    return alarmNames(status1, status2, deviceId(variant()));
}

Readings Session::readings()
{
    const bool dual = dualChannel();
    const std::lock_guard lock(busMutex());
    State& s = *m_state;
    Readings r;
    r.time = nowText();
    std::vector<TempChannel> channels{TempChannel::Local, TempChannel::Remote1};
    if (dual)
        channels.push_back(TempChannel::Remote2);
    std::array<std::optional<double>, 3> law{};
    for (const TempChannel channel : channels) {
        const auto [celsius, high] = s.temperature(channel);
        const bool open = channel != TempChannel::Local && high == OpenDiodeReading;
        r.temperatures.push_back({channel, celsius, open});
        if (!open)
            law[static_cast<std::size_t>(channelIndex(channel))] = celsius;
    }
    for (int fan = 1; fan <= (dual ? 2 : 1); ++fan) {
        r.fanTach.push_back(s.tach(fan));
        r.fanRpm.push_back(r.fanTach.back().rpm());
    }
    for (const FanDuty& d : s.duties(law))
        r.dutyPercent.push_back(d.percent);
    r.status1 = s.rawRead(reg::InterruptStatus1);
    r.status2 = s.rawRead(reg::InterruptStatus2);
    if (!s.answers())
        s.gone();
    r.alarms = alarmNames(r.status1, r.status2, deviceId(variant()));
    return r;
}

Sample Session::sample()
{
    const bool dual = dualChannel();
    const std::lock_guard lock(busMutex());
    State& st = *m_state;
    Sample s;
    s.time = nowText();
    s.variant = variant();
    s.address = address();
    s.board = backEnd();
    struct Source {
        TempChannel channel;
        std::string_view key, name;
        std::uint8_t low, high, crit;
    };
    std::vector<Source> sources{
        {TempChannel::Local, "local", "Local", reg::LocalLowLimit, reg::LocalHighLimit, reg::LocalThermLimit},
        {TempChannel::Remote1, "remote1", dual ? "Remote1" : "Remote", reg::Remote1LowLimit, reg::Remote1HighLimit,
         reg::Remote1ThermLimit}};
    if (dual)
        sources.push_back({TempChannel::Remote2, "remote2", "Remote2", reg::Remote2LowLimit, reg::Remote2HighLimit,
                           reg::Remote2ThermLimit});
    std::array<std::optional<double>, 3> law{};
    for (const Source& source : sources) {
        TemperatureReading t;
        t.channel = source.channel;
        t.key = source.key;
        t.name = source.name;
        const auto [celsius, high] = st.temperature(source.channel);
        t.celsius = celsius;
        t.fault = source.channel != TempChannel::Local && high == OpenDiodeReading;
        if (!t.fault)
            law[static_cast<std::size_t>(channelIndex(source.channel))] = celsius;
        t.low = codeToLimit(st.rawRead(source.low));
        t.high = codeToLimit(st.rawRead(source.high));
        t.crit = codeToLimit(st.rawRead(source.crit));
        s.temperatures.push_back(t);
    }
    const std::vector<FanDuty> duties = st.duties(law);
    for (int fan = 1; fan <= (dual ? 2 : 1); ++fan) {
        FanReading f;
        f.fan = fan;
        f.key = fan == 2 ? "fan2" : "fan1";
        f.name = !dual ? "Fan" : fan == 2 ? "Fan2" : "Fan1";
        f.tach = st.tach(fan);
        f.rpm = f.tach.rpm();
        const int limit = st.rawRead(fan == 2 ? reg::Fan2TachLimit : reg::Fan1TachLimit);
        f.minRpm = tachToRpm(limit, f.tach.divisor, 1).value_or(0);
        f.duty = duties[static_cast<std::size_t>(fan - 1)];
        f.dutyPercent = f.duty.percent;
        s.fans.push_back(f);
    }
    // Read last: reading clears the bits, so they cover the whole sample.
    s.status1 = st.rawRead(reg::InterruptStatus1);
    s.status2 = st.rawRead(reg::InterruptStatus2);
    if (!st.answers())
        st.gone();
    for (std::size_t i = 0; i < s.temperatures.size(); ++i) {
        TemperatureReading& t = s.temperatures[i];
        t.alarm = anyBits(s.status1, s.status2, TempBits[i].alarm1, TempBits[i].alarm2);
        t.fault = t.fault || anyBits(s.status1, s.status2, TempBits[i].fault1, TempBits[i].fault2);
        if (t.fault)
            t.celsius.reset();
    }
    for (std::size_t i = 0; i < s.fans.size(); ++i)
        s.fans[i].alarm = anyBits(s.status1, s.status2, FanBits[i].alarm1, FanBits[i].alarm2);
    s.alarms = alarmNames(s.status1, s.status2, deviceId(variant()));
    return s;
}

void Session::setWriteObserver(WriteObserver observer)
{
    const std::lock_guard lock(busMutex());
    m_state->observer = std::move(observer);
}

TransferCounts Session::transferCounts() const { return m_state->counts.snapshot(); }

BusMutex& Session::busMutex() { return device::busMutex(); }

}  // namespace device
