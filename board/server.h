// fanscope-board's server: one simulated board (sim::board() of this
// process) served to any number of client processes over a Unix socket, in
// the wire protocol of sim/board_wire.h. One thread, one poll loop; who may
// use a printer port when is port_turns.h's to decide.
#pragma once
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sim/board_wire.h>

#include "port_turns.h"

namespace board {

struct ServerOptions {
    std::string socket;
    std::string description = "default configuration";
    // Without clients for this long the board ends.
    std::chrono::milliseconds idleExit = std::chrono::minutes(10);
    // A client that has not said hello by then is dropped.
    std::chrono::milliseconds helloTimeout = std::chrono::seconds(5);
    // A claim held by another client is waited for this long, then refused.
    std::chrono::milliseconds claimWait = std::chrono::seconds(3);
    // An owner that has not put a message on the bus in its turn lets a
    // waiting client have the port after this long (see port_turns.h).
    std::chrono::milliseconds lendAfter = std::chrono::milliseconds(10);
    // Answers a client leaves unread beyond this make it a flooder.
    size_t maxUnreadBytes = size_t{1} << 20;
};

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Takes the socket (refusing one another board serves) and listens; the
    // reason when it cannot.
    std::optional<std::string> listen();
    // Serves until `stop` is set (by a signal; SIGINT and SIGTERM must be
    // blocked outside the wait) or the idle time runs out. Returns the exit
    // status.
    int run(const volatile sig_atomic_t& stop);

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        int fd = -1;
        int id = 0;
        bool greeted = false;
        bool closing = false;     // send what is queued, then close
        bool peerClosed = false;  // its end is closed: serve what it sent, then drop
        Clock::time_point since;
        std::vector<uint8_t> in;
        std::vector<uint8_t> out;
        std::set<int32_t> i2cHandles;
        long requests = 0;         // served, for the log
        long answered = 0;         // of them with an answer: the client's round trips
        long readAheadMisses = 0;  // status reads it answered itself, otherwise than the port
    };

    void accept();
    void readFrom(Client& client);
    void serve(Client& client);
    bool handle(Client& client, const boardwire::Message& message);
    void answer(Client& client, int32_t value, std::vector<uint8_t> data = {});
    static std::vector<uint8_t> claimed(int32_t portNumber);
    void writeTo(Client& client);
    void drop(Client& client, const std::string& why);
    // Serves the clients whose turn came.
    void handOutTurns();
    // Whether a port request of `client` must wait for its turn.
    bool mustWait(const Client& client, const boardwire::Message& message);
    int32_t i2cCall(Client& client, const boardwire::Message& m, std::vector<uint8_t>& data);

    ServerOptions m_options;
    int m_listen = -1;
    int m_lock = -1;
    int m_nextId = 1;
    std::map<int, Client> m_clients;  // by id
    PortTurns m_turns;
    Clock::time_point m_lastClient;
    bool m_listening = false;
};

}  // namespace board
