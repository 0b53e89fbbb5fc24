// The bit-level half of a simulated SMBus slave, shared by every device on
// the simulated buses: start/stop detection, shifting the address and data
// bytes in, shifting bytes out, and both acknowledge clocks. A device keeps
// the protocol state in its own members and lends them here for each line
// change; it decides only what its bytes mean, through these calls on
// `device`:
//   started(), stopped()        after a start or stop (SDA already released)
//   addressed(uint8_t byte)     the address byte; false: not us, ignore the rest
//   received(uint8_t byte)      a data byte; true acknowledges it
//   transmit()                  the next byte to send in a read
#pragma once
#include <cstdint>

#include "sim/bus_events.h"
#include "sim/smbus.h"

namespace sim {

// `State` is the device's own enum with the enumerators Idle, Address,
// AckOut, Receive, Transmit, AckIn and Ignore.
template <class State> struct SlaveLink {
    Bus& bus;
    Bus::DriverId driver;
    State& state;
    LineWatch& lines;  // levels last seen
    bool& rose;        // a rising clock edge since the state began
    int& bitCount;
    uint8_t& shift;
    bool& read;   // direction of the current transfer
    bool& acked;  // our answer at the ninth clock, or the master's
    uint8_t& txByte;

    template <class Device> void onLines(bool sclNow, bool sdaNow, Device& device);

    // What such a device will do next, from its state alone: onLines below
    // is the whole of its behaviour, so this is the promise it keeps.
    static DeviceOutlook outlook(State state, uint8_t txByte, int bitCount, bool rose)
    {
        switch (state) {
        case State::Idle:
        case State::Ignore: return {DeviceOutlook::Kind::Quiet};
        case State::Transmit: return {DeviceOutlook::Kind::Sending, txByte, bitCount, rose};
        default: return {};
        }
    }

private:
    template <class Device> void transmitNext(Device& device)
    {
        txByte = device.transmit();
        bitCount = 0;
        bus.driveSda(driver, !(txByte & 0x80));
        state = State::Transmit;
    }
};

template <class State> template <class Device> void SlaveLink<State>::onLines(bool sclNow, bool sdaNow, Device& device)
{
    const auto [sclRose, sclFell, start, stop] = lines.next(sclNow, sdaNow);

    if (start || stop) {
        bus.driveSda(driver, false);
        state = start ? State::Address : State::Idle;
        bitCount = 0;
        shift = 0;
        rose = false;
        if (start)
            device.started();
        else
            device.stopped();
        return;
    }
    if (sclRose) {
        rose = true;
        if ((state == State::Address || state == State::Receive) && bitCount < 8) {
            shift = static_cast<uint8_t>((shift << 1) | (sdaNow ? 1 : 0));
            ++bitCount;
        } else if (state == State::AckIn) {
            acked = !sdaNow;
        }
        return;
    }
    // A falling edge counts only after a rising one in the same state, so the
    // edge that entered a state is not taken for its first clock.
    if (!sclFell || !rose)
        return;
    rose = false;

    switch (state) {
    case State::Address:
        if (bitCount < 8)
            break;
        if (!device.addressed(shift)) {
            state = State::Ignore;
            break;
        }
        read = shift & 1;
        acked = true;
        bus.driveSda(driver, true);
        state = State::AckOut;
        break;
    case State::Receive:
        if (bitCount < 8)
            break;
        acked = device.received(shift);
        bus.driveSda(driver, acked);
        state = State::AckOut;
        break;
    case State::AckOut:
        bus.driveSda(driver, false);
        bitCount = 0;
        shift = 0;
        if (!acked)
            state = State::Ignore;
        else if (read)
            transmitNext(device);
        else
            state = State::Receive;
        break;
    case State::Transmit:
        ++bitCount;
        if (bitCount < 8) {
            bus.driveSda(driver, !((txByte >> (7 - bitCount)) & 1));
        } else {
            bus.driveSda(driver, false);
            state = State::AckIn;
        }
        break;
    case State::AckIn:
        if (acked)
            transmitNext(device);
        else
            state = State::Ignore;
        break;
    case State::Idle:
    case State::Ignore: break;
    }
}

}  // namespace sim
