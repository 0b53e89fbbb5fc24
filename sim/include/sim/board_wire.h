// The shared board's wire protocol, used by fanscope-board and by the sim
// platform libraries. Every message is a frame: a 4-byte little-endian body
// length, then the body: one op byte, four little-endian int32 arguments
// and up to kMaxData bytes of data (a 2-byte length, then the bytes).
//
// A client opens with Hello (a = kMagic, b = kVersion) and the board answers
// Hello (a = its version, b = 1 if it serves this one, c = its timeScale in
// kTimeScaleUnit, 0 from a board that predates it, data = a description of
// its configuration). Requests follow in any number. Those that change
// the board (PortOut, Release, MbOut) have no answer, so a client
// may send many of them with the next request that reads; every other
// request gets exactly one Reply (a = the result, data = bytes), in order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace boardwire {

constexpr uint32_t kMagic = 0x44425346;  // "FSBD"
constexpr int32_t kVersion = 1;
constexpr size_t kHeaderBytes = 4;
constexpr size_t kFixedBody = 1 + 4 * 4 + 2;
constexpr size_t kMaxData = 1024;
constexpr size_t kMaxBody = kFixedBody + kMaxData;
// Hello's c: board milliseconds per this many real milliseconds.
constexpr int32_t kTimeScaleUnit = 1000;

enum class Op : uint8_t {
    Hello = 1,
    Reply = 2,
    PortCount = 10,  // -> a = count
    PortBase = 11,   // a = port number -> a = base, 0 if none
    Claim = 12,    // a = port number -> a = non-zero when claimed, data = base (4 bytes) and 1 when the adapter inverts
    Release = 13,  // a = port number; no reply
    PortOut = 14,  // a = address, b = value; no reply
    PortIn = 15,   // a = address, b = kReadAheadWanted or 0 -> a = value, data = a ReadAhead or nothing
    PortInSeen = 16,  // a = address, b = the value a ReadAhead gave the client; no reply
    MbMayOpen = 20,   // a = first port, b = last -> a = non-zero when all may be opened
    MbOut = 21,       // a = port, b = value, c = width (1, 2, 4); no reply
    MbIn = 22,        // a = port, b = width -> a = value
    I2c = 30,         // a = call, b, c, d = its arguments, data = bytes out -> a = result, data = bytes in
    // For tests: how fast a fan truly turns, which no register tells exactly.
    FanRpm = 40,  // a = fan (0 or 1), b = the chip's 8-bit address -> a = RPM, -1 with no such chip or fan
};

// PortIn's b: the client follows a ReadAhead (read_ahead.h), so the board
// may send one with a status read's answer while a device sends a byte. The
// client then reports each status read it answered itself with PortInSeen,
// which the board performs in its place and checks. A board that predates
// this ignores b and sends none, so the client never reports.
constexpr int32_t kReadAheadWanted = 1;

// The kernel-adapter calls the I2c op carries.
enum class I2cCall : int32_t {
    List = 1,  // b = capacity -> a = count, data = the records
    Open,
    Close,
    SetAddress,
    SetPec,
    Quick,
    ReadByte,
    WriteByte,
    ReadByteData,
    WriteByteData,
    ReadWordData,
    WriteWordData,
    ReadBlockData,
    WriteBlockData,
};

// Little-endian 32-bit values, as every field of the protocol is sent.
void put32(std::vector<uint8_t>& out, uint32_t v);
uint32_t get32(const uint8_t* p);

// A granted claim's data: the port's base and whether its adapter inverts.
struct ClaimedPort {
    uint32_t base = 0;
    bool inverting = false;
};
std::vector<uint8_t> encodeClaimedPort(const ClaimedPort& port);
// Nothing for data of any other length (a board that sends none).
std::optional<ClaimedPort> decodeClaimedPort(std::span<const uint8_t> data);

struct Message {
    Op op = Op::Reply;
    int32_t a = 0;
    int32_t b = 0;
    int32_t c = 0;
    int32_t d = 0;
    std::vector<uint8_t> data;
};

inline Message request(Op op, int32_t a = 0, int32_t b = 0, int32_t c = 0, int32_t d = 0)
{
    Message m;
    m.op = op;
    m.a = a;
    m.b = b;
    m.c = c;
    m.d = d;
    return m;
}

// Appends the frame of `message` to `out`; data beyond kMaxData is cut off.
void encode(const Message& message, std::vector<uint8_t>& out);

struct Decoded {
    enum class Status { Complete, NeedMore, Malformed };
    Status status = Status::NeedMore;
    Message message;      // when Complete
    size_t consumed = 0;  // bytes of the frame, when Complete
    std::string error;    // when Malformed
};

// The first frame in `bytes`. Pure: nothing but the bytes decides. A frame
// longer than kMaxBody is Malformed as soon as its length is seen, so a peer
// cannot make the other side buffer without bound.
Decoded decode(std::span<const uint8_t> bytes);

// A stream connection to the Unix socket at `path`: the descriptor
// (close-on-exec), or -1 with errno set.
int connectSocket(const std::string& path);

// The default socket: $XDG_RUNTIME_DIR/fanscope/board.sock, or
// /tmp/fanscope-<uid>/board.sock without a runtime folder.
std::string defaultSocketPath();

// Creates the default socket's folder (mode 0700) when missing and checks
// that it belongs to this user and nobody else may enter it; the reason
// otherwise. A socket the user placed with --socket or FANSCOPE_BOARD keeps
// the folder it is in.
std::optional<std::string> prepareSocketFolder(const std::string& socketPath);

// The same checks without creating the folder, for a client before it
// connects: nothing when the folder is missing (no board there) or sound.
std::optional<std::string> checkSocketFolder(const std::string& socketPath);

// Whether the process at the other end of the connected socket `fd` runs as
// this user; the reason when not (or when the system cannot say).
std::optional<std::string> checkPeerIsThisUser(int fd);

}  // namespace boardwire
