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
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Bus;
class WireCapture;

// What a device will do on the lines until the next start or stop, as far
// as it can promise: the board tells a client that is reading a byte how the
// rest of that byte will look, so the client need not ask for every bit.
struct DeviceOutlook {
    enum class Kind {
        Unknown,  // may drive either line at any edge
        Quiet,    // drives nothing before the next start or stop
        Sending,  // shifting out `byte`: SDA follows it, SCL is left alone
    };
    Kind kind = Kind::Unknown;
    uint8_t byte = 0;
    int bit = 0;        // Sending: bits of `byte` already finished (0..7)
    bool rose = false;  // Sending: SCL rose since the current bit went out
};

class BusDevice {
public:
    virtual ~BusDevice() = default;
    // Back to power-on protocol state (not necessarily power-on registers).
    virtual void reset() = 0;
    // Levels after a change: true = high.
    virtual void onLines(bool scl, bool sda) = 0;
    virtual DeviceOutlook outlook() const { return {}; }
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
    const std::vector<BusDevice*>& devices() const { return m_devices; }

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

// SMBus packet error code: CRC-8, polynomial x^8 + x^2 + x + 1, over every
// byte of the message as it went over the wire (addresses included).
uint8_t smbusPec(const uint8_t* data, int n);

// How a whole transaction of the SMBus protocols ended.
enum class Outcome {
    Ok,
    NoAck,     // address or a byte not acknowledged
    Busy,      // the bus was not idle at the start
    Lost,      // arbitration lost
    BadPec,    // the received packet error code did not match
    BadCount,  // a block count of 0 or over 32
};

// A bit-level master for in-sim parties (chipset host controllers, the other
// master). It clocks the bus itself, one line change per step, without
// delays. Results are what the wires showed.
class BusMaster {
public:
    BusMaster(Bus& bus, std::string name);
    Bus::DriverId id() const { return m_id; }

    // False when the bus was not idle (a line already low) or arbitration
    // was lost during the start.
    bool start();
    bool repeatedStart();
    void stop();
    // True when the receiver acknowledged. Sets arbitrationLost() when SDA
    // read low while this master released it.
    bool writeByte(uint8_t value);
    uint8_t readByte(bool ack);
    bool arbitrationLost() const { return m_lost; }

    // Whole transactions; address is the 7-bit address. Return false on a
    // missing acknowledge or a busy bus (the bus is left idle).
    bool quick(uint8_t address7, bool read);
    bool writeByteData(uint8_t address7, uint8_t command, uint8_t data);
    bool readByteData(uint8_t address7, uint8_t command, uint8_t& data);

    // The SMBus protocols as a kernel adapter runs them, with an optional
    // PEC byte: sent after the last byte of a write, read (and checked)
    // after the last byte of a read. `readCount` -1 reads a block: a count
    // byte first, then that many bytes into `in` (room for 32).
    Outcome sendByte(uint8_t address7, uint8_t value, bool pec);
    Outcome receiveByte(uint8_t address7, uint8_t& value, bool pec);
    Outcome transfer(uint8_t address7, std::span<const uint8_t> out, int readCount, uint8_t* in, int& received,
                     bool pec);

private:
    void clockHigh();
    void clockLow();
    Bus& m_bus;
    Bus::DriverId m_id;
    bool m_lost = false;
};

}  // namespace sim
