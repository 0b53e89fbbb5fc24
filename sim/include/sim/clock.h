// The board clock in milliseconds: real (monotonic) time by default, or a
// manual clock that only moves when a test advances it.
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

private:
    double realMs() const;
    bool m_manual = false;
    double m_manualNow = 0;
    double m_realOrigin = 0;
};

}  // namespace sim
