// What a watcher of SCL and SDA sees between one level change and the next:
// the clock's edges and the start and stop conditions (SDA falling or rising
// while SCL stays high; a repeated start is a start). Every device, the
// other master, the fault schedule and the board's turn keeping read the bus
// through this one rule.
#pragma once

namespace sim {

struct LineEvents {
    bool sclRose = false;
    bool sclFell = false;
    bool start = false;
    bool stop = false;
};

class LineWatch {
public:
    LineWatch() = default;
    LineWatch(bool scl, bool sda) : m_scl(scl), m_sda(sda) { }

    // The levels to compare the next change with (a bus reset, a device
    // attached to a bus that is not idle).
    void reset(bool scl, bool sda)
    {
        m_scl = scl;
        m_sda = sda;
    }

    LineEvents next(bool scl, bool sda)
    {
        LineEvents e;
        e.sclRose = !m_scl && scl;
        e.sclFell = m_scl && !scl;
        e.start = scl && m_scl && m_sda && !sda;
        e.stop = scl && m_scl && !m_sda && sda;
        m_scl = scl;
        m_sda = sda;
        return e;
    }

    bool scl() const { return m_scl; }
    bool sda() const { return m_sda; }

private:
    bool m_scl = true;
    bool m_sda = true;
};

}  // namespace sim
