#pragma once
// Board time for the measurements that wait on the chip: the clock and the
// sleep in real seconds (a test may drive a manual board clock with them),
// turned into board seconds by the board's time scale (1 on hardware; a
// faster simulated board shortens every wait by its factor). One place, so
// every measurement learns the board's speed the same way.

#include <chrono>
#include <functional>
#include <thread>

namespace device {

class BoardClock {
public:
    BoardClock(std::function<double()> now, std::function<void(double)> sleep, double timeScale)
        : m_now(std::move(now)), m_sleep(std::move(sleep)), m_scale(timeScale > 0 ? timeScale : 1.0)
    { }
    // Real seconds.
    double now() const
    {
        if (m_now)
            return m_now();
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    }
    void sleepBoard(double boardS) const
    {
        const double s = boardS / m_scale;
        if (m_sleep)
            m_sleep(s);
        else
            std::this_thread::sleep_for(std::chrono::duration<double>(s));
    }
    double boardSince(double realStart) const { return (now() - realStart) * m_scale; }
    double timeScale() const { return m_scale; }

private:
    std::function<double()> m_now;
    std::function<void(double)> m_sleep;
    double m_scale;
};

}  // namespace device
