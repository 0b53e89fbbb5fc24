// Fails a test that would hang: when the guard is still alive after its time,
// it names the step that blocked and aborts the test program, so ctest
// reports a failure instead of waiting for its own timeout.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace support {

class Watchdog {
public:
    Watchdog(std::chrono::milliseconds limit, std::string what)
        : m_what(std::move(what)), m_thread([this, limit] {
              std::unique_lock lock(m_mutex);
              if (!m_done.wait_for(lock, limit, [this] { return m_finished; })) {
                  std::fprintf(stderr, "watchdog: %s did not finish within %lld ms\n", m_what.c_str(),
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  std::abort();
              }
          })
    { }
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_one();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string m_what;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;  // last: starts once the members it uses exist
};

}  // namespace support
