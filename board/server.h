// fanscope-board's server: one simulated board (sim::board() of this
// process) served to any number of client processes over a Unix socket, in
// the wire protocol of sim/board_wire.h. One thread, one poll loop.
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
    // A holder that has not touched the port for this long, outside a
    // message on the bus, lets a waiting client have its turn.
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
        long requests = 0;                  // served, for the log
        long answered = 0;                  // of them with an answer: the client's round trips
        std::optional<int32_t> waitingFor;  // a port it waits for
        bool waitingToClaim = false;        // a new claim (it times out), not a holder's turn
        Clock::time_point waitUntil;
    };
    // A port's claim. One client owns it; a holder that left the bus idle
    // may be switched out for a waiting client and keeps its claim, so a
    // program that keeps the port claimed for its whole life (as the window
    // does) still lets other programs take their turns between transfers.
    struct PortClaim {
        int owner = 0;                     // client id, 0 = nobody
        Clock::time_point lastAccess;      // the owner's
        std::vector<int> waiters;          // first come, first served
        std::map<int, uint8_t> suspended;  // holders switched out -> their data register
    };

    void accept();
    void readFrom(Client& client);
    void serve(Client& client);
    bool handle(Client& client, const boardwire::Message& message);
    void answer(Client& client, int32_t value, std::vector<uint8_t> data = {});
    void writeTo(Client& client);
    void drop(Client& client, const std::string& why);
    void wait(Client& client, int32_t port, bool claim);
    void switchTo(int32_t port, Client& client);
    void releaseClaim(int32_t port, int id);
    void grantWaiters();
    // Whether a port request of `client` must wait for its turn.
    bool mustWait(Client& client, const boardwire::Message& message);
    bool owns(const Client& client, uint32_t address);
    int32_t i2cCall(Client& client, const boardwire::Message& m, std::vector<uint8_t>& data);

    ServerOptions m_options;
    int m_listen = -1;
    int m_lock = -1;
    int m_nextId = 1;
    std::map<int, Client> m_clients;        // by id
    std::map<int32_t, PortClaim> m_claims;  // by port number
    Clock::time_point m_lastClient;
    bool m_listening = false;
};

}  // namespace board
