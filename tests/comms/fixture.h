// Shared fixture for tests of the communications library: the real library,
// its platform library loaded by name, and the simulated board behind it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

namespace commstest {

struct Message {
    std::string title;
    std::string text;
};

struct ProtocallEvent {
    std::int16_t number = 0;
    std::string description;
};

// The library keeps one record of port selection per process and scans the
// ports once, so tests that need another port layout, or a library that has
// not yet started, run their body in a fresh copy of the test program.
template <class Body> void inFreshProcess(Body body)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            body();
            std::exit(::testing::Test::HasFailure() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Default board (one port at 0x378, standard inverting adapter, TFM4411 at
// 0x5C, EEPROM at 0xA0), reset before every test; a PrinterPort with the
// inverted line codes and every shared setting back at its default.
class CommsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexlink06::setMessageHook([this](const std::string& title, const std::string& text) {
            messages.push_back({title, text});
        });
        vexlink06::setEventLoopYield({});
        sim::board().reset();
        printer = vexlink06::PrinterPort::create();
        proto = printer->SMBusProtocall();
        // A block or memory transfer that gave up leaves the arbitration
        // counters set until the next byte transaction; run one to nobody.
        proto->setArbitrationOn(vexlink06::False);
        proto->ShortWrite(0xFE, 0);
        proto->setSMBusProtocallErrorHandler([this](std::int16_t number, const std::string& description) {
            events.push_back({number, description});
        });
        printer->setLockPortOpen(vexlink06::False);
        printer->setPortAddressIndex(0);
        proto->setDataInverted(vexlink06::True);
        proto->setArbitrationOn(vexlink06::False);
        proto->setRepeatedStart(vexlink06::False);
        proto->setVideoSoftware(vexlink06::False);
        proto->setFrameDelay(0);
        proto->setRelativeDelayOn(vexlink06::False);
        proto->setDeviceAddress(0);
        port().bus().setTracing(true);
        clearLogs();
    }

    void TearDown() override
    {
        printer->setLockPortOpen(vexlink06::False);
        vexlink06::setEventLoopYield({});
        vexlink06::setMessageHook({});
    }

    // Rebuilds the board; the library keeps the port layout it scanned.
    void configure(const sim::Config& config)
    {
        sim::board().configure(config);
        port().bus().setTracing(true);
        clearLogs();
    }

    static sim::Port& port() { return *sim::board().port(0); }
    static sim::Chip& chip() { return *sim::board().chip(0x5C); }
    // Decoded bus trace, e.g. "S 5C+ 14+ 7F+ P".
    static std::string trace() { return port().bus().traceText(); }
    static const std::vector<std::uint8_t>& dataWrites() { return port().dataWriteLog(); }
    static void clearLogs()
    {
        port().bus().clearTrace();
        port().clearDataWriteLog();
    }

    std::shared_ptr<vexlink06::PrinterPort> printer;
    std::shared_ptr<vexlink06::SMBusProtocall> proto;
    std::vector<Message> messages;
    std::vector<ProtocallEvent> events;
};

inline sim::Config configWithOtherMaster(sim::OtherMasterConfig::Mode mode, int attempts, int bit = 0)
{
    sim::Config config;
    config.ports[0].otherMaster.mode = mode;
    config.ports[0].otherMaster.attempts = attempts;
    config.ports[0].otherMaster.bit = bit;
    return config;
}

}  // namespace commstest
