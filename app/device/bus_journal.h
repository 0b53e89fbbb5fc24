#pragma once
// The program's copy of the library's transaction journal: a bounded history
// of transfer records, each with the program action that caused it, and the
// texts that show one (decoded register, data, acknowledges, CSV). Plain C++,
// so the texts are tested without a window.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <vexlink06/journal.h>

namespace device {

struct JournalEntry {
    std::uint64_t sequence = 0;  // 1, 2, ... over the whole run, gaps where the history dropped entries
    vexlink06::TransferRecord record;
    std::string cause;  // "Visual Display cycle", "Easy Setup", ...; empty when nothing was tagged
};

// A fixed number of entries: when full, each new one drops the oldest, so a
// long session keeps its memory flat.
class BusJournal {
public:
    static constexpr std::size_t DefaultCapacity = 5000;
    explicit BusJournal(std::size_t capacity = DefaultCapacity) : m_capacity(capacity == 0 ? 1 : capacity) { }

    // Returns the number of entries dropped to make room (0 or 1).
    std::size_t add(vexlink06::TransferRecord record, std::string cause);
    const std::deque<JournalEntry>& entries() const { return m_entries; }
    std::size_t capacity() const { return m_capacity; }
    std::uint64_t total() const { return m_next - 1; }
    void dropOldest(std::size_t count);
    void clear();

private:
    std::size_t m_capacity;
    std::deque<JournalEntry> m_entries;
    std::uint64_t m_next = 1;
};

// While alive, the library's transfers are handed to `sink` with the cause
// `cause()` names at that moment. Puts the earlier observer back at the end.
class JournalObserver {
public:
    using Sink = std::function<void(const vexlink06::TransferRecord&, std::string cause)>;
    JournalObserver(Sink sink, std::function<std::string()> cause);
    ~JournalObserver();
    JournalObserver(const JournalObserver&) = delete;
    JournalObserver& operator=(const JournalObserver&) = delete;

private:
    vexlink06::TransferObserver m_previous;
};

// ---- texts ----

// "0x2e"
std::string addressText7(std::uint8_t address);
// "7F 12" (upper-case hex, blanks between); "" for none.
std::string bytesText(const std::vector<std::uint8_t>& bytes);
// "ACK ACK NACK", "?" per byte where the medium did not sample it.
std::string acksText(const std::vector<vexlink06::ByteAck>& acks);
// "sent 5A, ok" / "received 3C, expected otherwise" / "".
std::string pecText(const vexlink06::TransferRecord& r);
// "1.23 ms" / "85 µs"
std::string durationText(std::chrono::nanoseconds d);
// "12:34:56.789" local time.
std::string timeText(std::chrono::system_clock::time_point t);

// What the transfer meant for the chip: for a byte read or write of a
// register in the register list "22h Fan Speed Configuration ← 0x55: Fan1
// duty 33 %, Fan2 duty 33 %" (→ for reads); for others the protocol and the
// bytes. `deviceId` picks the single- or dual-channel names.
std::string transferMeaning(const vexlink06::TransferRecord& r, int deviceId);

// The register's fields for `value` as a short text: duty percentages for
// Fan Speed Configuration, temperatures for the temperature and limit
// registers, "Name=value" for multi-bit fields and the names of set one-bit
// fields otherwise; "" for a plain register.
std::string registerMeaning(std::uint8_t reg, std::uint8_t value, int deviceId);

// "Failed: <error>" for a failure, else "OK" (the failure column as text, so
// it does not rest on colour alone).
std::string resultText(const vexlink06::TransferRecord& r);

// RFC 4180: a field with a comma, quote, CR or LF is quoted, quotes doubled;
// rows end in CR LF.
std::string csvField(std::string_view field);
std::string csvRow(const std::vector<std::string>& fields);

// The columns of the Bus Monitor and of its CSV export, in order.
std::vector<std::string> journalColumnNames();
inline constexpr int JournalColumnCount = 16;
std::vector<std::string> journalColumns(const JournalEntry& e, int deviceId);
// One of them, for a table that asks cell by cell.
std::string journalColumn(const JournalEntry& e, int column, int deviceId);

// Filters of the Bus Monitor: empty/absent fields match everything.
struct JournalFilter {
    std::optional<std::uint8_t> address;  // 7-bit
    std::optional<std::uint8_t> command;  // the register pointer
    bool writesOnly = false;
    bool errorsOnly = false;
    bool matches(const vexlink06::TransferRecord& r) const;
};

}  // namespace device
