// Who may use each printer port of the shared board, and when the others
// get their turn. Knows clients only by id; the server asks before every
// port access and hands out what this decides.
//
// One client owns a port at a time. A client may keep its claim for its
// whole life (the window and the CLI do): when another waits, the owner's
// turn is up once the bus is between messages with both lines high and the
// owner has finished a transfer this turn, or has had the turn for a while
// without a message. It is then switched out, keeps its claim, and waits at
// the back of the queue; its turn back restores the data register it left.
// So a waiting client gets the bus within one transfer of each client ahead
// of it, and nobody starves, whatever pattern the clients follow.
//
// The board cannot go by the time between a client's accesses: a client
// sends its writes with its next read, so the board sees them in bursts.
// It goes by the messages on the bus instead. A transfer is a message, or
// a write of only a command byte and the message after it (a register read
// sets the chip's pointer, stops, then reads), so another client never
// moves the pointer between the two.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include <sim/bus_events.h>
#include <sim/smbus.h>

namespace board {

class PortTurns {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        // A new claim of a port another client holds waits this long, then is refused.
        std::chrono::milliseconds claimWait = std::chrono::seconds(3);
        // An owner that has not put a message on the bus in its turn gives
        // it to a waiter after this long (it may be idle, slow to start, or
        // only switch the heaters); one that stopped after a lone command
        // byte, after ten times this without touching the port.
        std::chrono::milliseconds lendAfter = std::chrono::milliseconds(10);
    };

    enum class Claim { Granted, Refused, Waits };
    // A turn handed out by advance(): a claim that waited (granted or
    // refused after its wait) or a switched-out owner's turn back.
    struct Handout {
        int id = 0;
        bool claim = false;
        bool granted = false;
        int32_t port = 0;
    };

    explicit PortTurns(Options options);
    ~PortTurns();
    PortTurns(const PortTurns&) = delete;
    PortTurns& operator=(const PortTurns&) = delete;

    // A claim of port `port` (1-based) by client `id`.
    Claim claim(int32_t port, int id);
    void release(int32_t port, int id);
    // Whether client `id` may access the port register at `address` now;
    // when not, it now waits for its turn and must not be served further.
    bool mayAccess(int id, uint32_t address);
    // Whether client `id` owns the port of `address`; a port access of the
    // owner that is done counts for its turn.
    bool owns(int id, uint32_t address);
    bool waiting(int id) const;
    // A client that went: its claims, turns and waits.
    void leave(int id);
    // Turns due now: waiters whose turn came, claims that waited too long.
    std::vector<Handout> advance();
    // When advance() may next have something to hand out.
    Clock::time_point nextDeadline(Clock::time_point now) const;

private:
    struct Waiter {
        int id = 0;
        bool claim = false;  // a new claim (it times out), not an owner's turn back
        Clock::time_point until;
    };
    // Follows the messages on a port's bus: how many ended, and whether the
    // last one only set a command byte.
    class MessageWatch : public sim::BusDevice {
    public:
        void reset() override;
        void onLines(bool scl, bool sda) override;
        // It only watches.
        sim::DeviceOutlook outlook() const override { return {sim::DeviceOutlook::Kind::Quiet}; }
        long ended = 0;
        bool commandOnly = false;

    private:
        sim::LineWatch m_lines;
        bool m_inMessage = false;
        int m_clocks = 0;  // in the message, nine a byte
        bool m_read = false;
    };
    struct Port {
        int owner = 0;  // client id, 0 = nobody
        Clock::time_point turnSince;
        Clock::time_point lastAccess;  // the owner's
        long endedBefore = 0;          // messages ended when the turn began
        std::unique_ptr<MessageWatch> watch;
        std::deque<Waiter> waiters;        // first come, first served
        std::map<int, uint8_t> suspended;  // owners switched out -> their data register
    };

    // The port numbered `number` with its watch attached; nullptr if none.
    Port* portFor(int32_t number);
    bool turnIsUp(int32_t number, const Port& port, Clock::time_point now) const;
    void switchOut(int32_t number, Port& port);
    // Gives the port to `id`; false when the board refuses the claim.
    bool switchTo(int32_t number, Port& port, int id);
    void enqueue(Port& port, int id, bool claim);

    Options m_options;
    std::map<int32_t, Port> m_ports;  // by port number
};

}  // namespace board
