#include "sim/wire_capture.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "sim/board.h"
#include "sim/smbus.h"

namespace sim {
namespace {

constexpr std::uint64_t ticks(std::uint64_t ns) { return ns / WireCapture::kTickNs; }

// One-character identifiers of the dump: SCL, SDA, data bits 0..7, status
// bits 3..7.
constexpr char kScl = '!';
constexpr char kSda = '"';
constexpr char kDataBase = '#';    // '#' .. '*'
constexpr char kStatusBase = '+';  // '+' .. '/' for bits 3..7
constexpr int kFirstStatusBit = 3;

std::string hexName(std::uint32_t base)
{
    char text[32];
    std::snprintf(text, sizeof text, "printer_port_0x%x", base);
    return text;
}

}  // namespace

WireCapture::WireCapture(Bus& bus, std::string name) : m_bus(bus), m_name(std::move(name))
{
    restart();
    m_bus.setCapture(this);
}

WireCapture::WireCapture(Port& port) : WireCapture(port.bus(), hexName(port.base()))
{
    m_portObject = &port;
    m_port = true;
    restart();
}

void WireCapture::restart()
{
    m_start = std::chrono::steady_clock::now();
    m_now = m_lastLine = m_nextLine = 0;
    m_truncated = false;
    m_changes.clear();
    m_scl = m_bus.scl();
    m_sda = m_bus.sda();
    if (m_portObject) {
        m_data = m_portObject->data();
        m_status = m_portObject->status();
    }
    m_initial = {m_scl, m_sda, m_data, m_status};
}

WireCapture::~WireCapture()
{
    if (m_bus.capture() == this)
        m_bus.setCapture(nullptr);
}

std::uint64_t WireCapture::realTicks() const
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - m_start);
    return ticks(static_cast<std::uint64_t>(ns.count()));
}

void WireCapture::advance(std::uint64_t minimumTicks)
{
    // After the last line change too, so a change never goes back in time.
    m_now = std::max({m_now + minimumTicks, m_lastLine + 1, realTicks()});
    m_nextLine = m_now;
}

bool WireCapture::room()
{
    if (m_changes.size() < kMaxChanges)
        return true;
    m_truncated = true;
    return false;
}

void WireCapture::lines(bool scl, bool sda)
{
    // On a port the first change of a data write comes with the write, any
    // further one a step later; an in-sim master makes one change per step.
    const std::uint64_t at = m_port ? std::max(m_nextLine, m_lastLine + ticks(kLineStepNs))
                                    : std::max(m_lastLine + ticks(kMasterStepNs), realTicks());
    m_lastLine = at;
    if (scl != m_scl && room())
        m_changes.push_back({at, Change::Signal::Scl, scl});
    if (sda != m_sda && room())
        m_changes.push_back({at, Change::Signal::Sda, sda});
    m_scl = scl;
    m_sda = sda;
}

void WireCapture::dataWrite(std::uint8_t value)
{
    advance(ticks(kPortAccessNs));
    if (value != m_data && room())
        m_changes.push_back({m_now, Change::Signal::Data, value});
    m_data = value;
}

void WireCapture::statusRead(std::uint8_t value)
{
    advance(ticks(kPortAccessNs));
    if (value != m_status && room())
        m_changes.push_back({m_now, Change::Signal::Status, value});
    m_status = value;
}

void WireCapture::writeVcd(std::ostream& out) const
{
    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    out << "$date " << date << " $end\n"
        << "$version Fanscope wire capture (simulated board) $end\n"
        << "$timescale " << kTickNs << " ns $end\n"
        << "$scope module " << m_name << " $end\n"
        << "$var wire 1 " << kScl << " SCL $end\n"
        << "$var wire 1 " << kSda << " SDA $end\n";
    if (m_port) {
        for (int bit = 0; bit < 8; ++bit)
            out << "$var wire 1 " << static_cast<char>(kDataBase + bit) << " data" << bit << " $end\n";
        for (int bit = kFirstStatusBit; bit < 8; ++bit)
            out << "$var wire 1 " << static_cast<char>(kStatusBase + bit - kFirstStatusBit) << " status" << bit
                << " $end\n";
    }
    out << "$upscope $end\n$enddefinitions $end\n";

    const bool scl = m_initial.scl;
    const bool sda = m_initial.sda;
    std::uint8_t data = m_initial.data;
    std::uint8_t status = m_initial.status;

    const auto bits = [&](char base, int first, std::uint8_t before, std::uint8_t after, bool all) {
        for (int bit = first; bit < 8; ++bit) {
            const bool b = ((after >> bit) & 1U) != 0;
            if (all || b != (((before >> bit) & 1U) != 0))
                out << (b ? '1' : '0') << static_cast<char>(base + bit - first) << '\n';
        }
    };
    out << "#0\n$dumpvars\n" << (scl ? '1' : '0') << kScl << '\n' << (sda ? '1' : '0') << kSda << '\n';
    if (m_port) {
        bits(kDataBase, 0, data, data, true);
        bits(kStatusBase, kFirstStatusBit, status, status, true);
    }
    out << "$end\n";
    std::uint64_t tick = 0;
    for (const Change& c : m_changes) {
        if (c.tick != tick) {
            out << '#' << c.tick << '\n';
            tick = c.tick;
        }
        switch (c.signal) {
        case Change::Signal::Scl: out << (c.value ? '1' : '0') << kScl << '\n'; break;
        case Change::Signal::Sda: out << (c.value ? '1' : '0') << kSda << '\n'; break;
        case Change::Signal::Data:
            bits(kDataBase, 0, data, c.value, false);
            data = c.value;
            break;
        case Change::Signal::Status:
            bits(kStatusBase, kFirstStatusBit, status, c.value, false);
            status = c.value;
            break;
        }
    }
    // A last timestamp after the last change, so a reader sees the final
    // stop condition held for a while.
    out << '#' << std::max(tick, std::max(m_now, m_lastLine)) + ticks(kMasterStepNs) << '\n';
}

}  // namespace sim
