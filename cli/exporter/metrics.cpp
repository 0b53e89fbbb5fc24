#include "metrics.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <functional>

namespace exporter {

namespace {

enum class Type { Gauge, Counter, Info };

struct Family {
    std::string_view name;  // as the samples are named (a counter's with _total)
    Type type;
    std::string_view help;
};

// The families in the order they are written. Names follow Prometheus's
// rules: base units in the name, _total on the counter, _ratio for 0..1.
constexpr Family ChipUp{"fanscope_chip_up", Type::Gauge, "1 while the chip answers, 0 when it stopped answering"};
constexpr Family Info{"fanscope_info", Type::Info,
                      "The chip and the exporter: chip variant, exporter version, back-end"};
constexpr Family Temperature{"fanscope_temperature_celsius", Type::Gauge,
                             "Measured temperature (absent while the remote diode is open)"};
constexpr Family TemperatureFault{"fanscope_temperature_fault", Type::Gauge,
                                  "1 while the remote diode is open or shorted"};
constexpr Family TemperatureLimit{"fanscope_temperature_limit_celsius", Type::Gauge,
                                  "Temperature limits programmed in the chip (low, high, therm)"};
constexpr Family FanRpm{"fanscope_fan_rpm", Type::Gauge,
                        "Fan speed from the tach count (0 when stopped or when the count overflowed)"};
constexpr Family FanTachOverflow{"fanscope_fan_tach_overflow", Type::Gauge,
                                 "1 while the tach count is at its maximum: the fan stands or turns slower than "
                                 "the divisor measures"};
constexpr Family FanMinRpm{"fanscope_fan_min_rpm", Type::Gauge, "Fan speed limit below which the chip alarms"};
constexpr Family FanDuty{"fanscope_fan_duty_ratio", Type::Gauge,
                         "PWM duty cycle the chip drives, 0 to 1; under automatic control computed from the "
                         "readings and settings by the chip's control law, which has no register"};
constexpr Family Alarm{"fanscope_alarm", Type::Gauge,
                       "Interrupt status bits by name, 1 when set since the previous reading"};
constexpr Family Transfers{"fanscope_bus_transfers_total", Type::Counter,
                           "Bus transfers with the chip since the exporter started, by result"};
constexpr Family Duration{"fanscope_scrape_duration_seconds", Type::Gauge, "Time the last reading of the chip took"};

// HELP text: backslash and line feed escaped (both formats).
std::string escapeHelp(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string number(double value)
{
    std::array<char, 32> text{};
    const auto result = std::to_chars(text.data(), text.data() + text.size(), value);
    return {text.data(), result.ptr};
}

struct Label {
    std::string_view name;
    std::string_view value;
};

class Writer {
public:
    explicit Writer(Format format) : m_format(format) { }

    void family(const Family& f)
    {
        std::string_view metadataName = f.name;
        std::string_view type = "gauge";
        if (f.type == Type::Counter) {
            type = "counter";
            // OpenMetrics names the counter family without the suffix its sample carries.
            if (m_format == Format::OpenMetrics)
                metadataName.remove_suffix(std::string_view("_total").size());
        } else if (f.type == Type::Info && m_format == Format::OpenMetrics) {
            type = "info";
            metadataName.remove_suffix(std::string_view("_info").size());
        }
        m_out += "# HELP ";
        m_out += metadataName;
        m_out += ' ';
        m_out += escapeHelp(f.help);
        m_out += "\n# TYPE ";
        m_out += metadataName;
        m_out += ' ';
        m_out += type;
        m_out += '\n';
    }

    void sample(const Family& f, const ChipLabels& chip, std::initializer_list<Label> extra, std::string_view value)
    {
        m_out += f.name;
        m_out += '{';
        const std::array<Label, 3> common{{{"address", chip.address}, {"medium", chip.medium}, {"bus", chip.bus}}};
        bool first = true;
        auto add = [&](const Label& l) {
            if (!first)
                m_out += ',';
            first = false;
            m_out += l.name;
            m_out += "=\"";
            m_out += escapeLabelValue(l.value);
            m_out += '"';
        };
        for (const Label& l : common)
            add(l);
        for (const Label& l : extra)
            add(l);
        m_out += "} ";
        m_out += value;
        m_out += '\n';
    }

    std::string finish()
    {
        if (m_format == Format::OpenMetrics)
            m_out += "# EOF\n";
        return std::move(m_out);
    }

private:
    Format m_format;
    std::string m_out;
};

// One media range of an Accept header: type/subtype, its version parameter
// and its q value.
struct MediaRange {
    std::string type;
    std::string version;
    double q = 1.0;
};

std::string trimmedLower(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

MediaRange parseMediaRange(std::string_view text)
{
    MediaRange range;
    std::size_t semicolon = text.find(';');
    range.type = trimmedLower(text.substr(0, semicolon));
    while (semicolon != std::string_view::npos) {
        text.remove_prefix(semicolon + 1);
        semicolon = text.find(';');
        const std::string_view parameter = text.substr(0, semicolon);
        const std::size_t equals = parameter.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string name = trimmedLower(parameter.substr(0, equals));
        std::string value = trimmedLower(parameter.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (name == "q") {
            // A q value that does not parse counts as 0: never chosen.
            double q = 0;
            const auto result = std::from_chars(value.data(), value.data() + value.size(), q);
            range.q =
                result.ec == std::errc() && result.ptr == value.data() + value.size() && q >= 0 && q <= 1 ? q : 0.0;
        } else if (name == "version") {
            range.version = value;
        }
    }
    return range;
}

}  // namespace

std::string escapeLabelValue(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string exposition(std::span<const ChipSnapshot> chips, std::string_view version, Format format)
{
    Writer w(format);
    auto each = [&](const Family& f, const std::function<void(const ChipSnapshot&)>& samples, bool onlyUp) {
        const bool any =
            std::any_of(chips.begin(), chips.end(), [&](const ChipSnapshot& c) { return c.up || !onlyUp; });
        if (!any)
            return;
        w.family(f);
        for (const ChipSnapshot& c : chips)
            if (c.up || !onlyUp)
                samples(c);
    };

    each(
        ChipUp, [&](const ChipSnapshot& c) { w.sample(ChipUp, c.labels, {}, c.up ? "1" : "0"); }, false);
    each(
        Info,
        [&](const ChipSnapshot& c) {
            w.sample(Info, c.labels, {{"variant", c.variant}, {"version", version}, {"backend", c.backEnd}}, "1");
        },
        false);
    each(
        Temperature,
        [&](const ChipSnapshot& c) {
            for (const TemperatureMetric& t : c.temperatures)
                if (t.celsius)
                    w.sample(Temperature, c.labels, {{"channel", t.channel}}, number(*t.celsius));
        },
        true);
    each(
        TemperatureFault,
        [&](const ChipSnapshot& c) {
            for (const TemperatureMetric& t : c.temperatures)
                w.sample(TemperatureFault, c.labels, {{"channel", t.channel}}, t.fault ? "1" : "0");
        },
        true);
    each(
        TemperatureLimit,
        [&](const ChipSnapshot& c) {
            for (const TemperatureMetric& t : c.temperatures) {
                w.sample(TemperatureLimit, c.labels, {{"channel", t.channel}, {"limit", "low"}}, number(t.low));
                w.sample(TemperatureLimit, c.labels, {{"channel", t.channel}, {"limit", "high"}}, number(t.high));
                w.sample(TemperatureLimit, c.labels, {{"channel", t.channel}, {"limit", "therm"}}, number(t.therm));
            }
        },
        true);
    each(
        FanRpm,
        [&](const ChipSnapshot& c) {
            for (const FanMetric& f : c.fans)
                w.sample(FanRpm, c.labels, {{"fan", f.fan}}, number(f.rpm));
        },
        true);
    each(
        FanTachOverflow,
        [&](const ChipSnapshot& c) {
            for (const FanMetric& f : c.fans)
                w.sample(FanTachOverflow, c.labels, {{"fan", f.fan}}, f.tachOverflow ? "1" : "0");
        },
        true);
    each(
        FanMinRpm,
        [&](const ChipSnapshot& c) {
            for (const FanMetric& f : c.fans)
                w.sample(FanMinRpm, c.labels, {{"fan", f.fan}}, number(f.minRpm));
        },
        true);
    each(
        FanDuty,
        [&](const ChipSnapshot& c) {
            for (const FanMetric& f : c.fans)
                w.sample(FanDuty, c.labels, {{"fan", f.fan}}, number(f.duty));
        },
        true);
    each(
        Alarm,
        [&](const ChipSnapshot& c) {
            for (const AlarmMetric& a : c.alarms)
                w.sample(Alarm, c.labels, {{"name", a.name}}, a.active ? "1" : "0");
        },
        true);
    each(
        Transfers,
        [&](const ChipSnapshot& c) {
            w.sample(Transfers, c.labels, {{"result", "ok"}}, std::to_string(c.transfersOk));
            w.sample(Transfers, c.labels, {{"result", "no_ack"}}, std::to_string(c.transfersNoAck));
            w.sample(Transfers, c.labels, {{"result", "error"}}, std::to_string(c.transfersError));
        },
        false);
    each(
        Duration, [&](const ChipSnapshot& c) { w.sample(Duration, c.labels, {}, number(c.readSeconds)); }, false);
    return w.finish();
}

Format negotiate(std::string_view accept)
{
    double openMetrics = -1, text = -1;
    std::size_t start = 0;
    while (start <= accept.size()) {
        const std::size_t comma = std::min(accept.find(',', start), accept.size());
        const MediaRange range = parseMediaRange(accept.substr(start, comma - start));
        start = comma + 1;
        if (range.type == "application/openmetrics-text" && (range.version.empty() || range.version == "1.0.0"))
            openMetrics = std::max(openMetrics, range.q);
        else if (range.type == "text/plain" || range.type == "text/*" || range.type == "*/*")
            text = std::max(text, range.q);
    }
    return openMetrics > 0 && openMetrics >= text ? Format::OpenMetrics : Format::Text;
}

std::string_view contentType(Format format)
{
    return format == Format::OpenMetrics ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                                         : "text/plain; version=0.0.4; charset=utf-8";
}

}  // namespace exporter
