// Faults that strike a port's bus while a program runs, so a test can pull
// the chip out from under a command already connected to it, or hold a line
// low for a while, instead of only starting with a broken board.
#pragma once
#include <cstdint>
#include <limits>

namespace sim {

struct FaultConfig {
    enum class Kind {
        // The chip stops answering for good: it no longer acknowledges nor
        // drives SDA, as if unplugged. It goes between two messages (at a
        // start or stop condition, or while the bus is idle), never inside
        // one, so what happens next does not hang on a half-sent bit.
        ChipGone,
        SclLow,  // SCL held low from fromMs to toMs
        SdaLow,  // SDA held low from fromMs to toMs
        // Another master talks from fromMs to toMs: on every start condition
        // in that time it pulls SDA low for address bit `bit` (0 = first),
        // so the PC loses the bus where it sends a 1 there.
        OtherMaster,
    };
    static constexpr double kNever = std::numeric_limits<double>::infinity();

    Kind kind = Kind::ChipGone;
    // ChipGone: the chip's 8-bit address; 0 = every chip on the bus.
    uint8_t address = 0;
    // ChipGone: gone once it has answered this many messages (a message is
    // one start or repeated start with its address, so a register read
    // without repeated start is two); -1 = not by count.
    long long afterTransfers = -1;
    // ChipGone: gone from this board time on (ms since the board was
    // configured); kNever = not by time. Whichever comes first holds.
    double atMs = kNever;
    // Line holds and the other master: active for fromMs <= now < toMs.
    double fromMs = 0;
    double toMs = kNever;
    int bit = 1;  // OtherMaster; the three chip addresses all send a 1 at bit 1
};

}  // namespace sim
