// The transaction journal: one record per bus transfer, on every medium, to
// one optional observer. With no observer installed a transfer costs one
// test of a flag and nothing else.
//
// The observer runs on the thread of the transfer, after the transfer has
// ended (or thrown). It must not start bus transfers itself; an exception it
// throws is dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vexlink06/export.h"

namespace vexlink06 {

enum class TransferMedium : std::uint8_t { PrinterPort, ChipsetSMBus, KernelAdapter };
enum class TransferDirection : std::uint8_t { Write, Read };

enum class TransferProtocol : std::uint8_t {
    Quick,        // address only
    SendByte,     // address, one data byte
    ReceiveByte,  // read address, one data byte back
    WriteByte,    // command, data
    ReadByte,     // command, then a read phase of one byte
    WriteWord,
    ReadWord,
    BlockWrite,
    BlockRead,
    MemoryWrite,  // board EEPROM: two address bytes, then data or a command
    MemoryRead,
};

// What the receiver of a byte answered at its ninth clock. The printer-port
// medium never samples the bus for it, so its bytes are Unknown.
enum class ByteAck : std::uint8_t { Unknown, Ack, Nack };

struct TransferRecord {
    std::chrono::system_clock::time_point time;  // when the transfer began
    std::chrono::nanoseconds duration{};
    TransferMedium medium = TransferMedium::PrinterPort;
    // Printer-port base address, host-controller base, or adapter number.
    std::int32_t port = 0;
    std::uint8_t address = 0;  // 7-bit
    TransferDirection direction = TransferDirection::Write;
    TransferProtocol protocol = TransferProtocol::WriteByte;
    std::optional<std::uint8_t> command;
    // Payload written or read: no address, command, count or PEC byte.
    std::vector<std::uint8_t> data;
    std::optional<std::uint8_t> pecSent;
    std::optional<std::uint8_t> pecReceived;
    std::optional<bool> pecMatch;
    // One entry per byte on the wire, address byte first; empty when the
    // transfer never reached the bus.
    std::vector<ByteAck> acks;
    int arbitrationRetries = 0;
    // The error number and text the transfer raised (event or exception);
    // 0 and empty when none.
    std::int32_t errorNumber = 0;
    std::string error;

    bool failed() const { return errorNumber != 0 || !error.empty(); }
};

using TransferObserver = std::function<void(const TransferRecord&)>;

// Installs the observer (an empty function removes it). Returns the one it
// replaces, so a scoped user can put the earlier one back.
VEXLINK06_API TransferObserver setTransferObserver(TransferObserver observer);

// "printer port", "chipset SMBus", "kernel adapter"
VEXLINK06_API std::string_view mediumName(TransferMedium medium);
// "byte read", "word write", "block read", ...
VEXLINK06_API std::string_view protocolName(TransferProtocol protocol);
// "ACK", "NACK", "?"
VEXLINK06_API std::string_view ackName(ByteAck ack);

}  // namespace vexlink06
