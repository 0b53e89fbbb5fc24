#pragma once
// One reading shared by every scrape that wants it. The bus is slow (a full
// reading of a chip is dozens of transfers) and reading the interrupt status
// clears it, so scrapers must not each read the chip: a scrape that arrives
// while a reading is under way waits for that reading, and a scrape within
// the minimum interval of the last reading's start gets that reading again.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace exporter {

template <class T> class SharedReading {
public:
    using Clock = std::chrono::steady_clock;

    SharedReading(std::function<T()> read, Clock::duration minInterval)
        : m_read(std::move(read)), m_minInterval(minInterval)
    { }

    // The newest reading, taken now unless one is under way or was started
    // less than the minimum interval ago. A reading that throws is not kept:
    // the scrapes waiting on it get the exception and the next get() reads
    // again.
    std::shared_ptr<const T> get()
    {
        std::unique_lock lock(m_mutex);
        if (m_reading) {
            const std::uint64_t waitingFor = m_generation;
            m_done.wait(lock, [&] { return m_generation != waitingFor; });
            if (m_error)
                std::rethrow_exception(m_error);
            return m_latest;
        }
        const auto now = Clock::now();
        if (m_latest && now - m_startedAt < m_minInterval)
            return m_latest;
        m_reading = true;
        m_startedAt = now;
        lock.unlock();

        std::shared_ptr<const T> fresh;
        std::exception_ptr error;
        try {
            fresh = std::make_shared<const T>(m_read());
        } catch (...) {
            error = std::current_exception();
        }

        lock.lock();
        m_reading = false;
        m_error = error;
        if (fresh)
            m_latest = fresh;
        else
            m_latest.reset();  // never hand out a reading older than a failed one
        ++m_generation;
        m_done.notify_all();
        if (error)
            std::rethrow_exception(error);
        return m_latest;
    }

    // Readings taken so far (for the tests and the benchmark).
    std::uint64_t readings() const
    {
        std::lock_guard lock(m_mutex);
        return m_generation;
    }

private:
    std::function<T()> m_read;
    Clock::duration m_minInterval;
    mutable std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_reading = false;
    std::uint64_t m_generation = 0;
    Clock::time_point m_startedAt{};
    std::shared_ptr<const T> m_latest;
    std::exception_ptr m_error;
};

}  // namespace exporter
