#include "journal.h"

#include <exception>
#include <utility>

namespace vexlink06 {
namespace {

TransferObserver g_observer;
TransferRecord* g_current = nullptr;

}  // namespace

namespace journal {
namespace detail {
bool g_observing = false;
}

TransferRecord* current() { return g_current; }

void Scope::setError(TransferRecord& record, std::int32_t number, std::string_view text)
{
    // The first error of a transfer is its cause; later ones follow from it.
    if (record.failed())
        return;
    record.errorNumber = number;
    record.error = text;
}

void Scope::begin(TransferMedium medium, std::int32_t port, std::uint8_t address7, TransferDirection direction,
                  TransferProtocol protocol)
{
    m_record = std::make_unique<TransferRecord>();
    m_record->time = std::chrono::system_clock::now();
    m_record->medium = medium;
    m_record->port = port;
    m_record->address = static_cast<std::uint8_t>(address7 & 0x7F);
    m_record->direction = direction;
    m_record->protocol = protocol;
    m_start = std::chrono::steady_clock::now();
    m_exceptions = std::uncaught_exceptions();
    m_outer = std::exchange(g_current, m_record.get());
}

void Scope::finish() noexcept
{
    g_current = m_outer;
    m_record->duration = std::chrono::steady_clock::now() - m_start;
    if (std::uncaught_exceptions() > m_exceptions && !m_record->failed()) {
        // Unwinding from a ComError the member threw; the catch site knows
        // its text, the journal only that the transfer failed.
        m_record->errorNumber = -1;
        m_record->error = "the transfer ended with an exception";
    }
    // The observer may have been removed while the transfer ran.
    if (!g_observer)
        return;
    try {
        // A copy, so an observer that replaces itself keeps running to the end.
        const TransferObserver observer = g_observer;
        observer(*m_record);
    } catch (...) { }
}

void assignData(TransferRecord& record, std::span<const std::int16_t> bytes)
{
    record.data.clear();
    record.data.reserve(bytes.size());
    for (const std::int16_t b : bytes)
        record.data.push_back(static_cast<std::uint8_t>(b & 0xFF));
}

}  // namespace journal

TransferObserver setTransferObserver(TransferObserver observer)
{
    TransferObserver previous = std::exchange(g_observer, std::move(observer));
    journal::detail::g_observing = static_cast<bool>(g_observer);
    return previous;
}

std::string_view mediumName(TransferMedium medium)
{
    switch (medium) {
    case TransferMedium::PrinterPort: return "printer port";
    case TransferMedium::ChipsetSMBus: return "chipset SMBus";
    case TransferMedium::KernelAdapter: return "kernel adapter";
    }
    return "?";
}

std::string_view protocolName(TransferProtocol protocol)
{
    switch (protocol) {
    case TransferProtocol::Quick: return "quick";
    case TransferProtocol::SendByte: return "send byte";
    case TransferProtocol::ReceiveByte: return "receive byte";
    case TransferProtocol::WriteByte: return "byte write";
    case TransferProtocol::ReadByte: return "byte read";
    case TransferProtocol::WriteWord: return "word write";
    case TransferProtocol::ReadWord: return "word read";
    case TransferProtocol::BlockWrite: return "block write";
    case TransferProtocol::BlockRead: return "block read";
    case TransferProtocol::MemoryWrite: return "memory write";
    case TransferProtocol::MemoryRead: return "memory read";
    }
    return "?";
}

std::string_view ackName(ByteAck ack)
{
    switch (ack) {
    case ByteAck::Unknown: return "?";
    case ByteAck::Ack: return "ACK";
    case ByteAck::Nack: return "NACK";
    }
    return "?";
}

}  // namespace vexlink06
