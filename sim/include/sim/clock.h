// The board clock in milliseconds: real (monotonic) time by default, or a
// manual clock that only moves when a test advances it. The real clock may
// run faster or slower than real time by a scale.
#pragma once

namespace sim {

class Clock {
public:
    Clock();
    double nowMs() const;
    bool manual() const { return m_manual; }
    // Switching keeps the current reading, so time never jumps back.
    void setManual(bool manual);
    void advanceMs(double ms);  // manual only; ignored for negative values
    void restart();             // reading 0 again
    // Board milliseconds per real millisecond on the real clock; changing it
    // keeps the current reading.
    void setScale(double scale);
    double scale() const { return m_scale; }

private:
    double realMs() const;
    bool m_manual = false;
    double m_manualNow = 0;
    double m_realOrigin = 0;
    double m_scale = 1.0;
};

}  // namespace sim
