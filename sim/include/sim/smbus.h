// A two-wire bus with open-drain SCL and SDA. Every party that can pull a
// line low (the PC through its port adapter, each device, in-sim masters) is
// a named driver; a line is high unless some driver pulls it low.
//
// Devices see every change of line levels through onLines(). A device may
// drive lines from inside onLines(); that change is applied only after every
// device has seen the current levels, so all devices observe the same order
// of edges.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Bus;
class WireCapture;

class BusDevice {
public:
    virtual ~BusDevice() = default;
    // Back to power-on protocol state (not necessarily power-on registers).
    virtual void reset() = 0;
    // Levels after a change: true = high.
    virtual void onLines(bool scl, bool sda) = 0;
};

struct TraceEvent {
    enum class Kind {
        Start,          // S
        RepeatedStart,  // Sr: start without a stop since the last start
        Stop,           // P
        Byte,           // 8 bits plus the acknowledge clock
        Partial,        // a start or stop cut a byte short; `bits` clocks seen
    };
    Kind kind = Kind::Byte;
    uint8_t value = 0;
    int bits = 0;
    bool ack = false;   // SDA low at the ninth clock
    std::string by;     // drivers that pulled SDA low for the data bits ("" = nobody)
    std::string ackBy;  // drivers that pulled SDA low at the ninth clock
};

class Bus {
public:
    using DriverId = int;
    static constexpr int kMaxDrivers = 32;

    explicit Bus(std::string name);
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    const std::string& name() const { return m_name; }

    DriverId addDriver(std::string name);
    const std::string& driverName(DriverId id) const;
    void attach(BusDevice* device);
    void detach(BusDevice* device);

    // The bus keeps its drivers and devices, releases every line and resets
    // every attached device and the trace decoder.
    void reset();

    // One driver changes its pulls. When both change at once they are
    // applied in a fixed order: a clock pull-down first, then the SDA
    // change, then a clock release. SDA thus never moves while this driver
    // holds SCL high, so a combined write never makes a start or stop
    // condition of its own; starts and stops come only from single-line
    // changes.
    void drive(DriverId id, bool pullScl, bool pullSda);
    void driveScl(DriverId id, bool pull);
    void driveSda(DriverId id, bool pull);

    bool scl() const { return m_sclPulls == 0; }
    bool sda() const { return m_sdaPulls == 0; }
    bool pullsScl(DriverId id) const { return (m_sclPulls >> id) & 1u; }
    bool pullsSda(DriverId id) const { return (m_sdaPulls >> id) & 1u; }
    // Between a start and its stop, as every device saw them (kept whether
    // or not the bus is traced).
    bool inMessage() const { return m_inMessage; }

    // Decoded trace, off by default; costs one branch per change when off.
    void setTracing(bool on);
    bool tracing() const { return m_tracing; }
    const std::vector<TraceEvent>& trace() const { return m_trace; }
    void clearTrace();
    // Compact text, e.g. "S 5C+ 20+ 7F+ P" ('+' ack, '-' nack).
    std::string traceText() const;

    // The wire capture attached to this bus (WireCapture attaches itself);
    // nullptr when none. Costs one branch per change when none.
    WireCapture* capture() const { return m_capture; }
    void setCapture(WireCapture* capture) { m_capture = capture; }

private:
    void apply(DriverId id, uint32_t bit, bool scl, bool pull);
    void settle();
    void decode(bool scl, bool sda);
    std::string namesOf(uint32_t mask) const;

    std::string m_name;
    std::vector<std::string> m_drivers;
    std::vector<BusDevice*> m_devices;
    uint32_t m_sclPulls = 0;
    uint32_t m_sdaPulls = 0;
    bool m_sclSeen = true;  // levels devices last saw
    bool m_sdaSeen = true;
    bool m_settling = false;
    bool m_inMessage = false;

    bool m_tracing = false;
    std::vector<TraceEvent> m_trace;
    WireCapture* m_capture = nullptr;
    // decoder state
    bool m_inFrame = false;
    int m_bit = 0;
    uint8_t m_shift = 0;
    uint32_t m_byMask = 0;
};

}  // namespace sim
