#pragma once
// The program's own CPU, sampled once a second while the Qt event loop runs,
// for the benchmarks that measure a window in real time.
#include <sys/resource.h>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <vector>

namespace bench {

inline double ownCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 != 0)
        return *middle;
    return (*middle + *std::max_element(values.begin(), middle)) / 2;
}

struct CpuSamples {
    std::vector<double> percent;  // of one core, one per second
    double wallSeconds = 0;       // the time the samples really took
};

// Runs the event loop for `count` one-second samples.
inline CpuSamples sampleOwnCpu(int count)
{
    using Clock = std::chrono::steady_clock;
    CpuSamples samples;
    QEventLoop loop;
    QTimer sampler;
    sampler.setTimerType(Qt::PreciseTimer);
    sampler.setInterval(1000);
    const auto started = Clock::now();
    auto lastWall = started;
    double lastCpu = ownCpuSeconds();
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        const double cpu = ownCpuSeconds();
        // Divide by the wall time that really passed: timers fire late on a
        // loaded machine.
        samples.percent.push_back(100.0 * (cpu - lastCpu) / std::chrono::duration<double>(now - lastWall).count());
        lastWall = now;
        lastCpu = cpu;
        if (int(samples.percent.size()) >= count)
            loop.quit();
    });
    sampler.start();
    loop.exec();
    samples.wallSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    return samples;
}

}  // namespace bench
