#include "http_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

// The library's default queue of 5 unaccepted connections drops a burst of
// scrapes while the workers are busy: the kernel then discards the clients'
// requests and they wait for retransmissions, some until they give up.
#define CPPHTTPLIB_LISTEN_BACKLOG 128
#include <httplib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace exporter {

namespace {

// Worker threads with a bounded queue. httplib's own pool queues every
// accepted connection without limit, each holding a descriptor; this one
// makes the accepting thread wait instead, so the kernel's listen queue
// takes the surplus and a flood costs neither threads nor descriptors.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(std::size_t workers, std::size_t waiting) : m_limit(workers + waiting)
    {
        for (std::size_t i = 0; i < workers; ++i)
            m_threads.emplace_back([this] { work(); });
    }
    ~BoundedPool() override = default;
    BoundedPool(const BoundedPool&) = delete;
    BoundedPool& operator=(const BoundedPool&) = delete;

    void enqueue(std::function<void()> job) override
    {
        std::unique_lock lock(m_mutex);
        m_room.wait(lock, [&] { return m_jobs.size() + m_busy < m_limit; });
        m_jobs.push_back(std::move(job));
        m_work.notify_one();
    }

    void shutdown() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_shutdown = true;
        }
        m_work.notify_all();
        for (std::thread& t : m_threads)
            t.join();
    }

private:
    void work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mutex);
                m_work.wait(lock, [&] { return !m_jobs.empty() || m_shutdown; });
                if (m_jobs.empty())
                    return;  // shut down, nothing left
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
                ++m_busy;
            }
            job();
            {
                std::lock_guard lock(m_mutex);
                --m_busy;
            }
            m_room.notify_one();
        }
    }

    const std::size_t m_limit;
    std::mutex m_mutex;
    std::condition_variable m_work, m_room;
    std::deque<std::function<void()>> m_jobs;
    std::size_t m_busy = 0;
    bool m_shutdown = false;
    std::vector<std::thread> m_threads;
};

bool waitFor(int fd, short events, std::chrono::milliseconds timeout)
{
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

void addressOf(int fd, bool peer, std::string& ip, int& port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if ((peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length)) != 0)
        return;
    std::array<char, NI_MAXHOST> host{};
    std::array<char, NI_MAXSERV> service{};
    if (::getnameinfo(raw, length, host.data(), host.size(), service.data(), service.size(),
                      NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host.data();
        port = std::atoi(service.data());
    }
}

// The connection as httplib reads it, with a byte budget per request: a
// request line or header block that never ends would otherwise grow in
// memory for as long as the client keeps sending.
class LimitedStream : public httplib::Stream {
public:
    LimitedStream(int fd, const ServerLimits& limits) : m_fd(fd), m_limits(limits) { }

    void newRequest() { m_left = m_limits.maxRequestBytes; }
    bool buffered() const { return m_begin < m_end; }

    bool is_readable() const override { return m_begin < m_end || waitFor(m_fd, POLLIN, m_limits.readTimeout); }
    bool is_writable() const override { return waitFor(m_fd, POLLOUT, m_limits.readTimeout); }

    ssize_t read(char* out, size_t size) override
    {
        if (m_begin == m_end) {
            if (m_left == 0 || !waitFor(m_fd, POLLIN, m_limits.readTimeout))
                return -1;
            ssize_t n = 0;
            do {
                n = ::recv(m_fd, m_buffer.data(), std::min(m_buffer.size(), m_left), 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0)
                return n;
            m_left -= static_cast<std::size_t>(n);
            m_begin = 0;
            m_end = static_cast<std::size_t>(n);
        }
        const std::size_t n = std::min(size, m_end - m_begin);
        std::memcpy(out, m_buffer.data() + m_begin, n);
        m_begin += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* data, size_t size) override
    {
        if (!is_writable())
            return -1;
        ssize_t n = 0;
        do {
            n = ::send(m_fd, data, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { addressOf(m_fd, true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { addressOf(m_fd, false, ip, port); }
    socket_t socket() const override { return m_fd; }

private:
    int m_fd;
    const ServerLimits& m_limits;
    std::size_t m_left = 0;
    std::array<char, 4096> m_buffer{};
    std::size_t m_begin = 0, m_end = 0;
};

std::string plain(int status)
{
    switch (status) {
    case 400: return "bad request\n";
    case 404: return "not found: the metrics are at /metrics\n";
    case 405: return "method not allowed: this exporter only reads (GET, HEAD)\n";
    case 413: return "request too large\n";
    case 414: return "request line too long\n";
    default: return "error " + std::to_string(status) + "\n";
    }
}

}  // namespace

class MetricsServer::Impl : public httplib::Server {
public:
    Impl(Render render, ServerLimits limits) : m_render(std::move(render)), m_limits(limits)
    {
        new_task_queue = [this] {
            // httplib takes ownership of the queue and deletes it when it stops.
            return new BoundedPool(m_limits.maxConnections, m_limits.maxWaiting);
        };
        // Only SO_REUSEADDR: httplib's default also sets SO_REUSEPORT, which
        // would let a second exporter share the port without a word.
        set_socket_options([](socket_t fd) {
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        });
        // Without it the headers and the body go out as two segments and a
        // kept-alive client waits for the delayed acknowledgement (40 ms).
        set_tcp_nodelay(true);
        set_payload_max_length(m_limits.maxRequestBytes);
        set_read_timeout(m_limits.readTimeout.count());
        set_write_timeout(m_limits.readTimeout.count());
        set_keep_alive_timeout(m_limits.keepAlive.count());
        set_keep_alive_max_count(m_limits.keepAliveRequests);

        set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
            if (req.method == "GET" || req.method == "HEAD")
                return HandlerResponse::Unhandled;
            res.status = 405;
            res.set_header("Allow", "GET, HEAD");
            res.set_content(plain(405), "text/plain; charset=utf-8");
            return HandlerResponse::Handled;
        });
        Get("/metrics", [this](const httplib::Request& req, httplib::Response& res) {
            Page page = m_render(req.get_header_value("Accept"));
            res.set_content(std::move(page.body), page.contentType.c_str());
        });
        Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("fanscope-cli export: the chips' readings for Prometheus are at /metrics\n",
                            "text/plain; charset=utf-8");
        });
        set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty())
                res.set_content(plain(res.status), "text/plain; charset=utf-8");
        });
        set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr error) {
            res.status = 500;
            std::string what = "internal error";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) { }
            res.set_content(what + "\n", "text/plain; charset=utf-8");
        });
    }

    // Ends the listening and every idle connection at once.
    void stopServing()
    {
        stop();
        std::lock_guard lock(m_connectionsMutex);
        for (const int fd : m_connections)
            ::shutdown(fd, SHUT_RD);
    }

private:
    // Overrides httplib's per-connection loop only to read through
    // LimitedStream; parsing, routing and answering stay httplib's.
    bool process_and_close_socket(socket_t fd) override
    {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        {
            std::lock_guard lock(m_connectionsMutex);
            m_connections.insert(fd);
        }
        LimitedStream stream(fd, m_limits);
        bool ok = true;
        for (std::size_t left = m_limits.keepAliveRequests; left > 0 && waitForRequest(fd, stream); --left) {
            stream.newRequest();
            bool closed = false;
            ok = process_request(stream, left == 1, closed, [](httplib::Request&) {});
            if (!ok || closed)
                break;
        }
        {
            std::lock_guard lock(m_connectionsMutex);
            m_connections.erase(fd);
        }
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        return ok;
    }

    // Idle between requests for at most the keep-alive time; stopServing()
    // shuts the reading side, which ends the wait at once.
    bool waitForRequest(int fd, const LimitedStream& stream) const
    {
        if (stream.buffered())
            return true;  // the next request came with the previous one
        return svr_sock_ != INVALID_SOCKET && waitFor(fd, POLLIN, m_limits.keepAlive) && svr_sock_ != INVALID_SOCKET;
    }

    Render m_render;
    ServerLimits m_limits;
    std::mutex m_connectionsMutex;
    std::set<int> m_connections;
};

ListenAddress parseListenAddress(std::string_view text)
{
    ListenAddress out;
    std::string_view port = text;
    const std::size_t colon = text.rfind(':');
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
            throw std::invalid_argument("listen address '" + std::string(text) + "': give [IPv6]:PORT");
        out.host = std::string(text.substr(1, close - 1));
        port = text.substr(close + 2);
    } else if (colon != std::string_view::npos) {
        if (text.find(':') != colon)
            throw std::invalid_argument("listen address '" + std::string(text) +
                                        "': write an IPv6 address in brackets, [::1]:PORT");
        out.host = colon == 0 ? std::string("0.0.0.0") : std::string(text.substr(0, colon));
        port = text.substr(colon + 1);
    }
    int number = -1;
    const auto result = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || result.ec != std::errc() || result.ptr != port.data() + port.size() || number < 0 ||
        number > 65535)
        throw std::invalid_argument("listen address '" + std::string(text) +
                                    "': the port must be a number from 0 to 65535 (ADDR:PORT)");
    if (out.host.empty())
        throw std::invalid_argument("listen address '" + std::string(text) + "' names no host");
    out.port = number;
    return out;
}

bool isLoopback(std::string_view host)
{
    if (host == "localhost")
        return true;
    in_addr v4{};
    const std::string h(host);
    if (::inet_pton(AF_INET, h.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, h.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return false;
}

std::string listenText(const ListenAddress& address)
{
    const bool v6 = address.host.find(':') != std::string::npos;
    return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

MetricsServer::MetricsServer(Render render, ServerLimits limits)
    : m_impl(std::make_unique<Impl>(std::move(render), limits))
{ }

MetricsServer::~MetricsServer() = default;

int MetricsServer::bind(const ListenAddress& address)
{
    errno = 0;
    const int port = address.port == 0 ? m_impl->bind_to_any_port(address.host)
                                       : (m_impl->bind_to_port(address.host, address.port) ? address.port : -1);
    if (port <= 0) {
        const int error = errno;
        throw std::runtime_error("cannot listen on " + listenText(address) +
                                 (error ? std::string(": ") + std::strerror(error) : std::string()));
    }
    return port;
}

bool MetricsServer::run() { return m_impl->listen_after_bind(); }

void MetricsServer::stop() { m_impl->stopServing(); }

}  // namespace exporter
