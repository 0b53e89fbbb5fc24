#pragma once
// Raw SMBus transfers beside a session's register bytes: the words, blocks
// (with packet error checking) and short byte transfers that the command
// line's `transfer` and the Python module's SMBus send, by the printer port's
// protocol or a kernel adapter. Every failure is a BusFailure (adapters.h).

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "device/adapters.h"
#include "device/device_session.h"

namespace device {

// The most data bytes one block carries.
inline constexpr std::size_t BlockMax = 32;

enum class RawOp : std::uint8_t {
    ReceiveByte,    // one byte, no command
    SendByte,       // one byte, no command
    ReadByteData,   // the byte at a command (register)
    WriteByteData,  //
    ReadWord,       // two bytes at a command
    WriteWord,      //
    ReadBlock,      // a count and up to 32 bytes
    WriteBlock,     //
};

struct RawTransfer {
    RawOp op = RawOp::ReadByteData;
    std::uint8_t address = 0;  // 7-bit
    std::uint8_t command = 0;  // not sent by ReceiveByte and SendByte
    // SendByte and WriteByteData: the byte. WriteWord: the word as SMBus
    // carries it, the first byte on the wire (register `command`) low.
    std::uint16_t value = 0;
    std::vector<std::uint8_t> block;  // WriteBlock: 1 to 32 bytes
    // Packet error checking, on block transfers only: after a byte or a word
    // the chip would take the PEC byte as the next register's data.
    bool pec = false;
};

struct RawResult {
    std::uint16_t value = 0;  // ReceiveByte, ReadByteData, ReadWord (as SMBus carries it)
    std::vector<std::uint8_t> block;
};

// Why `t` cannot be made on `medium`, or empty: the chipset SMBus makes byte
// transfers only (its session does them); the printer port's protocol sends
// the chip's own block commands and no other; a block write carries 1 to 32
// bytes. Asks nothing of the bus, so a caller can check before it asks the
// user to confirm a write.
std::string rawTransferProblem(Medium medium, const RawTransfer& t);

// One transfer on the medium of `where`: the printer port with its port and
// data sense, or the process's kernel adapter on its bus with its force. The
// address is the transfer's own. Under the bus mutex. Throws BusFailure
// (rawTransferProblem()'s sentence with Unsupported or Argument before
// anything is sent): a protocol error event is Io, a block whose PEC does not
// match, or a PEC byte the chip did not acknowledge, is BadPec.
RawResult rawTransfer(const ChipLocation& where, const RawTransfer& t);

// The same on a kernel adapter handle of the caller's (KernelBus::own());
// `force` uses an address a kernel driver owns.
RawResult rawTransfer(KernelBus& bus, const RawTransfer& t, bool force);

}  // namespace device
