// The library side of the transaction journal: a scope per transfer that
// fills one record while an observer is installed and does nothing else
// otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>

#include "vexlink06/journal.h"

namespace vexlink06::journal {

namespace detail {
extern bool g_observing;
}

inline bool observing() { return detail::g_observing; }

// The record of the innermost running transfer, or nullptr. Lets the layers
// below a member (the back-off, the error event) add to it without knowing
// which member runs.
TransferRecord* current();

class Scope {
public:
    Scope(TransferMedium medium, std::int32_t port, std::uint8_t address7, TransferDirection direction,
          TransferProtocol protocol)
    {
        if (observing()) [[unlikely]]
            begin(medium, port, address7, direction, protocol);
    }
    ~Scope()
    {
        if (m_record) [[unlikely]]
            finish();
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    // nullptr while nobody observes.
    TransferRecord* record() const { return m_record.get(); }

    void command(std::uint8_t value)
    {
        if (m_record) [[unlikely]]
            m_record->command = value;
    }
    void data(std::initializer_list<std::uint8_t> bytes)
    {
        if (m_record) [[unlikely]]
            m_record->data.assign(bytes);
    }
    // `count` bytes went on the wire, each answered with `ack`.
    void wire(std::size_t count, ByteAck ack)
    {
        if (m_record) [[unlikely]]
            m_record->acks.assign(count, ack);
    }
    void error(std::int32_t number, std::string_view text)
    {
        if (m_record) [[unlikely]]
            setError(*m_record, number, text);
    }

    static void setError(TransferRecord& record, std::int32_t number, std::string_view text);

private:
    void begin(TransferMedium medium, std::int32_t port, std::uint8_t address7, TransferDirection direction,
               TransferProtocol protocol);
    void finish() noexcept;

    std::unique_ptr<TransferRecord> m_record;
    TransferRecord* m_outer = nullptr;
    std::chrono::steady_clock::time_point m_start;
    int m_exceptions = 0;
};

// Copies int16 bus values (0..255 by contract) into the record's data.
void assignData(TransferRecord& record, std::span<const std::int16_t> bytes);

}  // namespace vexlink06::journal
