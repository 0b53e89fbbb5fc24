// Which simulated board serves this process, and the link to the shared one
// that fanscope-board holds. The platform libraries ask here before every
// access; the process's private board (sim::board()) serves when the
// environment asks for it.
//
// The link may be used from several threads (one request at a time); the
// private board may not.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/board_wire.h"

namespace sim {

struct BoardChoice {
    bool shared = false;         // false: the process's own board
    std::string socket;          // the shared board's socket
    bool startOnDemand = false;  // the default socket: start fanscope-board when none listens
};

// From the environment, the same for the whole process: a configuration
// file (FANSCOPE_SIM_CONFIG) or FANSCOPE_BOARD=inprocess keep a private
// board; FANSCOPE_BOARD=PATH names the shared board's socket; without
// either, the default socket, with the board started on demand.
BoardChoice boardChoice();

class BoardLink {
public:
    // How long a request may wait for its answer before the board counts as
    // hung. A port access may wait for another process's transfer to end,
    // and a new claim up to 3 s on the board, so both get some margin.
    static constexpr int kReplyMs = 5000;
    static constexpr int kClaimReplyMs = 8000;

    // The process's link, nullptr while the private board serves it. The
    // first call connects (and starts the board when that is allowed).
    static BoardLink* get();

    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;

    // Why the shared board cannot be used (never reached, went away, does
    // not answer), one sentence for the user; "" while it serves. While
    // lost every request fails at once, until reconnect() reaches a board.
    std::string problem() const;
    const std::string& socket() const { return m_socket; }
    // The board's own description of its configuration (from its hello).
    std::string description() const;
    // The board's timeScale (board milliseconds per real millisecond), from
    // its hello; nothing from a board that does not say.
    std::optional<double> timeScale() const;

    // The number of the connection now serving (1 for the first, one more
    // for each board reached again), 0 while lost. A caller that saw one
    // number before a transfer and another after it knows the transfer did
    // not reach one board whole.
    uint64_t connection() const { return m_connection; }
    // While lost: tries to reach a board again (the one listening by then,
    // or one started as the first connect does), at most once per backoff
    // (kRetryFirst, doubling to kRetryMost), and only here: the link never
    // changes boards inside a transfer. Nothing queued before the loss is
    // sent; the port claims the process held are taken again on the new
    // board before anything else. Returns connection().
    static constexpr auto kRetryFirst = std::chrono::milliseconds(50);
    static constexpr auto kRetryMost = std::chrono::milliseconds(1000);
    // A board reached again must answer its hello sooner than a first one:
    // a board that hangs costs each attempt this long.
    static constexpr int kReconnectHelloMs = 1000;
    uint64_t reconnect();

    // A request without an answer: queued, and sent with the next call(),
    // by flush(), once the queue is long, or after kFlushAfter at the
    // latest. The last keeps the board's view of the bus current while the
    // program pauses after a transfer (its stop would otherwise wait for
    // its next read, and the board would hold the port for it).
    static constexpr auto kFlushAfter = std::chrono::milliseconds(2);
    enum class Send {
        Late,      // as above
        WithNext,  // with the next call() or flush(): the caller knows one follows
        Now,       // at once, with whatever is queued
    };
    void post(const boardwire::Message& message, Send when = Send::Late);
    void flush();
    // Takes `message` back when it is the last request queued and not yet
    // sent; true when it was.
    bool withdraw(const boardwire::Message& message);
    // Sends everything queued and this request, then waits for its answer.
    std::optional<boardwire::Message> call(const boardwire::Message& message, int timeoutMs = kReplyMs);

private:
    explicit BoardLink(BoardChoice choice);
    bool connectOnce(int helloMs = kReplyMs);
    // connectOnce(), and when nobody listens and that is allowed, a board
    // started and waited for.
    bool reach(int helloMs);
    // Claims the ports `m_claims` names again on a board just reached.
    bool claimAgain();
    bool startBoard();
    bool sendAll();
    std::optional<boardwire::Message> receive(int timeoutMs);
    void fail(std::string why);
    // The thread that sends writes left queued for kFlushAfter.
    void flushLate();

    // The flusher never waits for m_mutex: a thread inside call() holds it
    // for a round trip and sends the queue anyway. It learns of queued
    // writes from these and is woken only from its idle wait, so a burst of
    // writes costs no system call for it.
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    std::atomic<int64_t> m_pendingSince{0};  // steady ns of the oldest queued write; 0: none
    std::atomic<int64_t> m_lastPost{0};      // steady ns of the last queued write
    std::atomic<bool> m_flusherIdle{false};  // in its untimed wait
    std::atomic<uint64_t> m_connection{0};

    mutable std::mutex m_mutex;  // everything below
    bool m_flusher = false;      // its thread runs

    std::string m_socket;
    bool m_startOnDemand = false;
    int m_fd = -1;
    std::vector<uint8_t> m_out;
    std::vector<uint8_t> m_in;
    std::string m_problem;
    std::string m_description;
    std::optional<double> m_timeScale;
    uint64_t m_connections = 0;     // boards reached so far
    std::vector<int32_t> m_claims;  // ports this process holds claimed on the board
    std::chrono::steady_clock::time_point m_nextAttempt{};
    std::chrono::milliseconds m_retry = kRetryFirst;
    bool m_writeThrough = false;  // at exit: nothing waits for a later read
    bool m_refused = false;       // another user's folder or board: never start one there
};

}  // namespace sim

extern "C" {
// The shared board's problem as BoardLink::problem() says it, for a program
// that does not link the simulator ("" while it serves or on a private
// board). The pointer stays valid until the next call into the board.
__attribute__((visibility("default"))) const char* fanscope_sim_board_problem(void);
}
