#include "device/bus_journal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <utility>

#include "device/bus_route.h"
#include "device/conversions.h"
#include "device/register_map.h"

namespace device {

using vexlink06::ByteAck;
using vexlink06::TransferDirection;
using vexlink06::TransferProtocol;
using vexlink06::TransferRecord;

std::size_t BusJournal::add(TransferRecord record, std::string cause)
{
    std::size_t dropped = 0;
    if (m_entries.size() >= m_capacity) {
        m_entries.pop_front();
        dropped = 1;
    }
    m_entries.push_back({m_next++, std::move(record), std::move(cause)});
    return dropped;
}

void BusJournal::dropOldest(std::size_t count)
{
    m_entries.erase(m_entries.begin(),
                    m_entries.begin() + static_cast<std::ptrdiff_t>(std::min(count, m_entries.size())));
}

void BusJournal::clear() { m_entries.clear(); }

// Under the bus mutex: transfers on other threads call the observer while
// they hold it, so none is calling it when it changes.
JournalObserver::JournalObserver(Sink sink, std::function<std::string()> cause)
{
    const std::lock_guard lock(busMutex());
    m_previous = vexlink06::setTransferObserver(
        [sink = std::move(sink), cause = std::move(cause)](const TransferRecord& r) { sink(r, cause ? cause() : ""); });
}

JournalObserver::~JournalObserver()
{
    const std::lock_guard lock(busMutex());
    vexlink06::setTransferObserver(std::move(m_previous));
}

// ---- texts ----

namespace {

std::string hex2(unsigned v)
{
    char text[8];
    (void)std::snprintf(text, sizeof text, "%02X", v & 0xFFU);
    return text;
}

std::string hex0x(unsigned v)
{
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%02X", v & 0xFFU);
    return text;
}

// "Tmin 3" -> ("Tmin", 3); "Monitor" -> ("Monitor", -1).
std::pair<std::string_view, int> stemOf(std::string_view name)
{
    std::size_t end = name.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1])))
        --end;
    if (end == name.size() || end == 0)
        return {name, -1};
    const int place = std::stoi(std::string(name.substr(end)));
    std::string_view stem = name.substr(0, end);
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    return {stem, place};
}

}  // namespace

std::string registerMeaning(std::uint8_t reg, std::uint8_t value, int deviceId)
{
    const bool dual = isDualChannel(deviceId);
    if (reg == reg::FanSpeedConfiguration) {
        std::string text = "Fan1 duty " + std::to_string(DutyPercent[std::size_t(dutyCode(value, 1))]) + " %";
        if (dual)
            text += ", Fan2 duty " + std::to_string(DutyPercent[std::size_t(dutyCode(value, 2))]) + " %";
        return text;
    }
    if (holdsTemperature(reg))
        return std::to_string(codeToLimit(value)) + " °C";
    const RegisterEntry* entry = registerEntryByAddress(reg);
    if (entry == nullptr || entry->scheme == BitScheme::Plain)
        return {};
    const auto names = bitNames(entry->scheme, deviceId);
    std::string text;
    const auto append = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    // Consecutive bits with one stem and rising places form one field.
    for (int bit = 0; bit < 8;) {
        const auto [stem, place] = stemOf(names[std::size_t(bit)]);
        if (stem == UnusedBitName) {
            ++bit;
            continue;
        }
        if (place < 0) {
            if ((value >> bit) & 1U)
                append(std::string(stem));
            ++bit;
            continue;
        }
        unsigned field = 0;
        int width = 0;
        int next = bit;
        while (next < 8) {
            const auto [s, p] = stemOf(names[std::size_t(next)]);
            if (s != stem || p != width)
                break;
            field |= ((value >> next) & 1U) << width;
            ++width;
            ++next;
        }
        append(std::string(stem) + "=" + std::to_string(field));
        bit = next;
    }
    return text;
}

std::string addressText7(std::uint8_t address)
{
    char text[8];
    (void)std::snprintf(text, sizeof text, "0x%02x", address & 0x7FU);
    return text;
}

std::string bytesText(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    for (const std::uint8_t b : bytes)
        text += (text.empty() ? "" : " ") + hex2(b);
    return text;
}

std::string acksText(const std::vector<ByteAck>& acks)
{
    std::string text;
    for (const ByteAck a : acks)
        text += (text.empty() ? "" : " ") + std::string(vexlink06::ackName(a));
    return text;
}

std::string pecText(const TransferRecord& r)
{
    std::string text;
    if (r.pecSent)
        text = "sent " + hex2(*r.pecSent);
    if (r.pecReceived)
        text += (text.empty() ? "" : ", ") + std::string("received ") + hex2(*r.pecReceived);
    if (r.pecMatch)
        text += *r.pecMatch ? ", matched" : ", did not match";
    return text;
}

std::string durationText(std::chrono::nanoseconds d)
{
    char text[32];
    const double us = static_cast<double>(d.count()) / 1000.0;
    if (us < 1000.0)
        (void)std::snprintf(text, sizeof text, "%.0f µs", us);
    else
        (void)std::snprintf(text, sizeof text, "%.2f ms", us / 1000.0);
    return text;
}

std::string timeText(std::chrono::system_clock::time_point t)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count() % 1000;
    char text[32];
    (void)std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                        static_cast<int>(ms));
    return text;
}

std::string transferMeaning(const TransferRecord& r, int deviceId)
{
    const bool byteData = r.protocol == TransferProtocol::WriteByte || r.protocol == TransferProtocol::ReadByte;
    const RegisterEntry* entry = r.command ? registerEntryByAddress(*r.command) : nullptr;
    if (byteData && entry != nullptr && r.data.size() == 1) {
        const bool write = r.direction == TransferDirection::Write;
        std::string text =
            addressText(entry->address) + " " + std::string(entry->name) + (write ? " ← " : " → ") + hex0x(r.data[0]);
        const std::string meaning = registerMeaning(entry->address, r.data[0], deviceId);
        if (!meaning.empty())
            text += ": " + meaning;
        return text;
    }
    std::string text(vexlink06::protocolName(r.protocol));
    if (r.command)
        text += " " + hex0x(*r.command);
    if (!r.data.empty())
        text += (r.direction == TransferDirection::Write ? " ← " : " → ") + bytesText(r.data);
    return text;
}

std::string resultText(const TransferRecord& r)
{
    if (!r.failed())
        return "OK";
    return "Failed: " + (r.error.empty() ? "error " + std::to_string(r.errorNumber) : r.error);
}

std::string csvField(std::string_view field)
{
    if (field.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(field);
    std::string out = "\"";
    for (const char c : field) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

std::string csvRow(const std::vector<std::string>& fields)
{
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i)
            row += ',';
        row += csvField(fields[i]);
    }
    return row + "\r\n";
}

std::vector<std::string> journalColumnNames()
{
    return {"#",       "Time", "Cause", "Medium",       "Port",    "Address",  "Direction", "Protocol",
            "Command", "Data", "PEC",   "Acknowledges", "Retries", "Duration", "Result",    "Meaning"};
}

std::string journalColumn(const JournalEntry& e, int column, int deviceId)
{
    const TransferRecord& r = e.record;
    switch (column) {
    case 0: return std::to_string(e.sequence);
    case 1: return timeText(r.time);
    case 2: return e.cause;
    case 3: return std::string(vexlink06::mediumName(r.medium));
    case 4: {
        char port[16];
        (void)std::snprintf(port, sizeof port, r.medium == vexlink06::TransferMedium::KernelAdapter ? "%d" : "0x%x",
                            r.port);
        return port;
    }
    case 5: return addressText7(r.address);
    case 6: return r.direction == TransferDirection::Write ? "write" : "read";
    case 7: return std::string(vexlink06::protocolName(r.protocol));
    case 8: return r.command ? hex0x(*r.command) : std::string();
    case 9: return bytesText(r.data);
    case 10: return pecText(r);
    case 11: return acksText(r.acks);
    case 12: return std::to_string(r.arbitrationRetries);
    case 13: return durationText(r.duration);
    case 14: return resultText(r);
    case 15: return transferMeaning(r, deviceId);
    default: return {};
    }
}

std::vector<std::string> journalColumns(const JournalEntry& e, int deviceId)
{
    std::vector<std::string> columns;
    columns.reserve(JournalColumnCount);
    for (int c = 0; c < JournalColumnCount; ++c)
        columns.push_back(journalColumn(e, c, deviceId));
    return columns;
}

bool JournalFilter::matches(const TransferRecord& r) const
{
    if (address && r.address != *address)
        return false;
    if (command && r.command != command)
        return false;
    if (writesOnly && r.direction != TransferDirection::Write)
        return false;
    if (errorsOnly && !r.failed())
        return false;
    return true;
}

}  // namespace device
