#pragma once
// The exporter's HTTP side: /metrics (and a short page at /) over Debian's
// cpp-httplib, read-only by construction. GET and HEAD only (405 for every
// other method, 400 for what is not HTTP); a request is cut off beyond its
// byte limit, at most a few connections are served at once and a few more
// wait, and a client that stalls is dropped after the read timeout.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace exporter {

// Not among the ports the usual exporters take, so one bench PC can run this
// beside node_exporter and friends.
inline constexpr int DefaultPort = 9441;

struct ListenAddress {
    std::string host = "127.0.0.1";
    int port = DefaultPort;
};

// "127.0.0.1:9441", "localhost:9441", "[::1]:9441", "0.0.0.0:9441", ":9441"
// (every interface, as other exporters read it) and "9441" (loopback).
// Throws std::invalid_argument with a sentence for the user.
ListenAddress parseListenAddress(std::string_view text);

// Whether the host is the loopback interface only: 127.0.0.0/8, ::1 or
// "localhost". Any other name counts as beyond loopback.
bool isLoopback(std::string_view host);

// "127.0.0.1:9441", "[::1]:9441"
std::string listenText(const ListenAddress& address);

struct ServerLimits {
    // Bytes of one request (request line, headers and any body) before the
    // connection is closed.
    std::size_t maxRequestBytes = 16 * 1024;
    // Connections served at once, and accepted ones waiting for a turn;
    // beyond both the kernel's listen queue holds the rest.
    std::size_t maxConnections = 4;
    std::size_t maxWaiting = 16;
    std::chrono::seconds readTimeout{5};
    std::chrono::seconds keepAlive{10};
    std::size_t keepAliveRequests = 100;
};

struct Page {
    std::string body;
    std::string contentType;
};

class MetricsServer {
public:
    // Called for every GET or HEAD of /metrics with the request's Accept
    // header, on a server thread; may run on several threads at once.
    using Render = std::function<Page(std::string_view accept)>;

    explicit MetricsServer(Render render, ServerLimits limits = {});
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds the address and returns the port (the chosen one for port 0).
    // Throws std::runtime_error naming the address.
    int bind(const ListenAddress& address);
    // Serves until stop(); returns false when serving failed.
    bool run();
    // Ends run() from any thread: the listening socket closes at once,
    // connections being served finish their request.
    void stop();

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace exporter
