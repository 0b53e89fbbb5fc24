// A logic-analyser capture of one simulated bus: every SCL and SDA change
// and, on a printer port's bus, every data-register write and status-register
// read, with timestamps, written as a Value Change Dump.
//
// Time follows the PC's side of the wire. Each port access takes at least
// kPortAccessNs (the I/O cycle of a PC parallel port), and real time passed
// beyond that (the library's delays, frame pauses, the gaps between
// transfers) is kept as it passed. One data write that moves several lines
// shows them in the order the bus applied them, kLineStepNs apart. A bus
// without a port (the host controllers' in-sim master) gets kMasterStepNs per
// line change. A capture attaches itself to its bus and detaches when it ends.
#pragma once
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

class Bus;
class Port;

class WireCapture {
public:
    static constexpr std::uint64_t kTickNs = 100;  // the dump's timescale
    static constexpr std::uint64_t kPortAccessNs = 1000;
    static constexpr std::uint64_t kLineStepNs = 100;
    static constexpr std::uint64_t kMasterStepNs = 5000;  // 100 kHz clock halves
    // About 32 MiB of changes; later ones are dropped and truncated() says so.
    static constexpr std::size_t kMaxChanges = std::size_t{2} << 20;

    // `name` becomes the dump's scope ("smbus").
    WireCapture(Bus& bus, std::string name);
    // The port's bus with its data and status registers ("printer_port_0x378").
    explicit WireCapture(Port& port);
    ~WireCapture();
    WireCapture(const WireCapture&) = delete;
    WireCapture& operator=(const WireCapture&) = delete;

    // Drops what was captured and starts again from the levels now.
    void restart();

    // Called by the bus and its port.
    void lines(bool scl, bool sda);
    void dataWrite(std::uint8_t value);
    void statusRead(std::uint8_t value);

    struct Change {
        std::uint64_t tick = 0;
        enum class Signal : std::uint8_t { Scl, Sda, Data, Status } signal = Signal::Scl;
        std::uint8_t value = 0;
    };
    const std::vector<Change>& changes() const { return m_changes; }
    bool hasPortRegisters() const { return m_port; }
    bool truncated() const { return m_truncated; }

    // The dump: SCL and SDA, then (for a port) the data
    // register's eight bits and status bits 3 to 7 as one-bit wires, which
    // every reader of the format takes.
    void writeVcd(std::ostream& out) const;

private:
    std::uint64_t realTicks() const;
    void advance(std::uint64_t minimumTicks);
    bool room();

    struct Levels {
        bool scl = true;
        bool sda = true;
        std::uint8_t data = 0;
        std::uint8_t status = 0;
    };

    Bus& m_bus;
    Port* m_portObject = nullptr;
    std::string m_name;
    std::chrono::steady_clock::time_point m_start;
    std::uint64_t m_now = 0;       // tick of the last port access
    std::uint64_t m_lastLine = 0;  // tick of the last line change
    std::uint64_t m_nextLine = 0;  // tick for the first line change of a data write
    bool m_truncated = false;
    Levels m_initial;
    bool m_port = false;
    bool m_scl = true;
    bool m_sda = true;
    std::uint8_t m_data = 0;
    std::uint8_t m_status = 0;
    std::vector<Change> m_changes;
};

}  // namespace sim
