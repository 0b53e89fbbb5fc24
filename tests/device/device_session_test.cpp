// The device session against the simulated board, through the real library,
// on every medium: what the probe finds, what reads and writes reach the
// chip, the presence check, the sample, and two threads sharing the bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <optional>
#include <mutex>
#include <thread>
#include <vector>

#include <chiplaw/auto_control.h>
#include <sim/sim.h>
#include <vexlink06/journal.h>
#include <vexlink06/vexlink06.h>

#include "device/device_session.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "support/board_environment.h"

namespace device {
namespace {

// Printer port 0: the default TFM4411 at 0x5C (0x2E) and a TFM4410 at 0x58
// (0x2C). Motherboard SMBus: a TFM4410 at 0x5A (0x2D). Kernel adapters:
// i2c-1 on the printer port's bus, i2c-7 a bridge with a TFM4410 of its own
// at 0x2C, i2c-8 on the printer port's bus with 0x2E bound by a driver.
sim::Config sessionBoard()
{
    sim::Config config = testsupport::printerAndChipsetBoard();
    const sim::ChipConfig single = testsupport::tfm4410At(0x58);
    config.ports.front().chips = {sim::ChipConfig{}, single};
    sim::I2cAdapterConfig bridge;
    bridge.number = 7;
    bridge.name = "USB bridge";
    bridge.bus = "own";
    bridge.chips = {single};
    sim::I2cAdapterConfig shared;
    shared.number = 8;
    shared.name = "shared adapter";
    shared.driverOwned = {0x2E};
    config.i2cAdapters.push_back(bridge);
    config.i2cAdapters.push_back(shared);
    return config;
}
// The bits the program holds (holdBoardLines).
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new testsupport::BoardEnvironment(sessionBoard(), 0xC0));

sim::Chip& printerChip() { return *sim::board().chip(0x5C); }
sim::Chip& chipsetChip() { return *sim::board().motherboardChips().front(); }

ProbeReport probeOnly(Medium medium)
{
    ProbeRequest request;
    request.media = {medium};
    return probe(request);
}

std::vector<std::uint8_t> addressesOf(const ProbeReport& report)
{
    std::vector<std::uint8_t> out;
    for (const ChipLocation& c : report.chips)
        out.push_back(c.address);
    return out;
}

TEST(SessionProbeTest, PrinterPortFindsBothChipsInTheStandardSense)
{
    int steps = 0;
    ProbeRequest request;
    request.onStep = [&](Medium) { ++steps; };
    const ProbeReport report = probe(request);
    ASSERT_EQ(report.chips.size(), 2U);
    // The candidates in search order: 0x58, 0x5C, 0x5A.
    EXPECT_EQ(addressesOf(report), (std::vector<std::uint8_t>{0x2C, 0x2E}));
    const ChipLocation& first = report.chips[0];
    EXPECT_EQ(first.medium, Medium::PrinterPort);
    EXPECT_EQ(first.port, 0);
    EXPECT_EQ(first.portBase, 0x378U);
    EXPECT_TRUE(first.dataInverted);
    EXPECT_EQ(first.variant, Variant::Tfm4410);
    EXPECT_TRUE(first.simulated);
    EXPECT_EQ(report.chips[1].variant, Variant::Tfm4411);
    EXPECT_EQ(steps, 1);  // one per port
    EXPECT_TRUE(report.errors.empty());
    EXPECT_EQ(chipLine(report.chips[1]), "TFM4411 at 0x2e on printer port 0 (0x378)");
}

TEST(SessionProbeTest, ChipsetAndKernelAdapters)
{
    const ProbeReport chipset = probeOnly(Medium::ChipsetSmbus);
    ASSERT_EQ(chipset.chips.size(), 1U);
    EXPECT_EQ(chipset.chips[0].address, 0x2D);
    EXPECT_EQ(chipset.chips[0].variant, Variant::Tfm4410);
    EXPECT_EQ(describeLocation(chipset.chips[0]), "SMBus");

    const ProbeReport kernel = probeOnly(Medium::KernelAdapter);
    std::vector<std::pair<int, std::uint8_t>> where;
    for (const ChipLocation& c : kernel.chips)
        where.emplace_back(c.port, c.address);
    // i2c-8's 0x2E belongs to a driver: skipped without a say-so.
    EXPECT_EQ(where, (std::vector<std::pair<int, std::uint8_t>>{{1, 0x2C}, {1, 0x2E}, {7, 0x2C}, {8, 0x2C}}));
    EXPECT_EQ(kernel.skippedDriverOwned, 1);
    EXPECT_EQ(describeLocation(kernel.chips[2]), "i2c-7 (USB bridge)");
}

TEST(SessionProbeTest, DriverOwnedAddressIsTakenOnlyWithForce)
{
    ProbeRequest request;
    request.media = {Medium::KernelAdapter};
    request.adapters = {8};
    request.address = 0x2E;
    int asked = 0;
    request.onDriverOwned = [&](int bus, std::uint8_t address, const SessionError& why) {
        ++asked;
        EXPECT_EQ(bus, 8);
        EXPECT_EQ(address, 0x2E);
        EXPECT_EQ(why.kind(), ErrorKind::DriverOwned);
        return true;
    };
    const ProbeReport report = probe(request);
    ASSERT_EQ(report.chips.size(), 1U);
    EXPECT_TRUE(report.chips[0].forced);
    EXPECT_EQ(asked, 1);

    EXPECT_THROW(
        {
            try {
                (void)Session::open(Medium::KernelAdapter, 8, 0x2E);
            } catch (const SessionError& e) {
                EXPECT_EQ(e.kind(), ErrorKind::DriverOwned);
                throw;
            }
        },
        SessionError);
    Session forced = Session::open(Medium::KernelAdapter, 8, 0x2E, true);
    EXPECT_EQ(forced.read(reg::DeviceId), DeviceIdTFM4411);
}

TEST(SessionProbeTest, StopAtFirstAndOneAddress)
{
    ProbeRequest request;
    request.media = {Medium::ChipsetSmbus, Medium::PrinterPort};
    request.stopAtFirst = true;
    EXPECT_EQ(probe(request).chips.size(), 1U);
    request.address = 0x2E;
    const ProbeReport report = probe(request);
    ASSERT_EQ(report.chips.size(), 1U);
    EXPECT_EQ(report.chips[0].medium, Medium::PrinterPort);
}

TEST(SessionTest, OpenRefusesWhatIsNotThere)
{
    try {
        (void)Session::open(Medium::ChipsetSmbus, -1, 0x2E);
        FAIL() << "opened a chip that is not there";
    } catch (const SessionError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::NotFound);
        EXPECT_STREQ(e.what(), "no TFM4410 or TFM4411 found at 0x2e on chipset SMBus");
    }
    try {
        (void)Session::open(Medium::PrinterPort, 3, 0x2E);
        FAIL() << "opened a port that is not there";
    } catch (const SessionError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::InvalidArgument);
    }
    EXPECT_THROW((void)Session::open(Medium::PrinterPort, 0, 0x5C), SessionError);  // an 8-bit form
}

// Every medium: a write lands in the chip and reads back.

// A search that finds nothing ends in the non-inverting pass, whose idle
// code pulls both lines low on the standard adapter; left so, i2c-1 on the
// same bus would wait for the lines until the next printer-port transfer.
// Both ways the library can stand before it: the sense the wizard's Finish
// selects, and a new SMBusProtocall's (inverting codes, the flag left False).
TEST(SessionProbeTest, AFruitlessSearchLeavesTheSenseAndTheBusAsItFoundThem)
{
    const auto proto = ComPort()->PrinterPort()->SMBusProtocall();
    for (const bool fresh : {false, true}) {
        SCOPED_TRACE(fresh ? "a new SMBusProtocall" : "the standard sense selected");
        proto->setDataInverted(fresh ? vexlink06::False : vexlink06::True);
        if (fresh) {
            (void)vexlink06::SMBusProtocall::create();
            holdBoardLines();
        }
        const vexlink06::VBool before = proto->DataInverted();
        EXPECT_THROW((void)Session::open(Medium::PrinterPort, 0, 0x2A), SessionError);
        EXPECT_EQ(proto->DataInverted(), before);
        Session kernel = Session::open(Medium::KernelAdapter, 1, 0x2E);
        EXPECT_EQ(kernel.read(reg::DeviceId), DeviceIdTFM4411);
        // The library's transfers still run in the sense it had.
        EXPECT_EQ(proto->PortRead(0x5C, reg::DeviceId), DeviceIdTFM4411);
    }
}
TEST(SessionTest, ReadAndWriteOnEveryMedium)
{
    Session printer = Session::open(Medium::PrinterPort, 0, 0x2E);
    EXPECT_EQ(printer.variant(), Variant::Tfm4411);
    printer.write(reg::LocalHighLimit, 0x4B);
    EXPECT_EQ(printerChip().peek(reg::LocalHighLimit), 0x4B);
    printerChip().poke(reg::Remote1LowLimit, 0xF6);
    EXPECT_EQ(printer.read(reg::Remote1LowLimit), 0xF6);

    Session chipset = Session::open(Medium::ChipsetSmbus, -1, 0x2D);
    chipset.write(reg::LocalHighLimit, 0x41);
    EXPECT_EQ(chipsetChip().peek(reg::LocalHighLimit), 0x41);
    EXPECT_EQ(chipset.read(reg::DeviceId), DeviceIdTFM4410);

    // i2c-1 reaches the printer port's chip by another way.
    Session kernel = Session::open(Medium::KernelAdapter, 1, 0x2E);
    EXPECT_EQ(kernel.read(reg::LocalHighLimit), 0x4B);
    kernel.write(reg::LocalLowLimit, 0x05);
    EXPECT_EQ(printerChip().peek(reg::LocalLowLimit), 0x05);
    // The windows' way and the session share the selection: a session put
    // back what another changed.
    EXPECT_EQ(printer.read(reg::LocalLowLimit), 0x05);

    const TransferCounts counts = printer.transferCounts();
    EXPECT_GE(counts.ok, 3U);
    EXPECT_EQ(counts.noAck, 0U);
    EXPECT_EQ(counts.error, 0U);
}

TEST(SessionTest, MaskedWriteKeepsTheOtherBitsAndReturnsTheOldValue)
{
    Session s = Session::open(Medium::PrinterPort, 0, 0x2E);
    printerChip().poke(reg::FanSpeedConfiguration, 0x5A);
    EXPECT_EQ(s.writeMasked(reg::FanSpeedConfiguration, 0x03, 0x0F), 0x5A);
    EXPECT_EQ(printerChip().peek(reg::FanSpeedConfiguration), 0x53);
    std::vector<WriteEvent> events;
    s.setWriteObserver([&](const WriteEvent& e) { events.push_back(e); });
    EXPECT_EQ(s.writeMasked(reg::FanSpeedConfiguration, 0xF0, 0xF0), 0x53);
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].reg, reg::FanSpeedConfiguration);
    EXPECT_EQ(events[0].before, std::optional<std::uint8_t>(0x53));
    EXPECT_EQ(events[0].after, 0xF3);
}

TEST(SessionTest, AChipThatIsGoneIsNeverReadAsAllOnes)
{
    Session s = Session::open(Medium::PrinterPort, 0, 0x2E);
    EXPECT_TRUE(s.present());
    printerChip().setPresent(false);
    EXPECT_FALSE(s.present());
    try {
        (void)s.read(reg::LocalHighLimit);
        ADD_FAILURE() << "a gone chip's 0xFF was handed on";
    } catch (const SessionError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::ChipGone);
        EXPECT_STREQ(e.what(), "the chip at 0x2E no longer answers");
    }
    EXPECT_THROW((void)s.writeMasked(reg::LocalHighLimit, 1, 1), SessionError);
    EXPECT_THROW((void)s.sample(), SessionError);
    EXPECT_GE(s.transferCounts().noAck, 3U);
    printerChip().setPresent(true);
    // A register that really holds 0xFF is confirmed and handed on.
    printerChip().poke(reg::LocalLowLimit, 0xFF);
    EXPECT_EQ(s.read(reg::LocalLowLimit), 0xFF);

    // On a kernel adapter the missing acknowledge is the error itself.
    Session kernel = Session::open(Medium::KernelAdapter, 7, 0x2C);
    sim::board().i2cChips().front()->setPresent(false);
    try {
        (void)kernel.read(reg::DeviceId);
        ADD_FAILURE() << "no acknowledge went unnoticed";
    } catch (const SessionError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::NoAcknowledge);
    }
    sim::board().i2cChips().front()->setPresent(true);
    EXPECT_EQ(kernel.transferCounts().noAck, 1U);
}

TEST(SessionTest, SampleHoldsWhatMonitorJsonPrints)
{
    Session s = Session::open(Medium::PrinterPort, 0, 0x2E);
    sim::Chip& chip = printerChip();
    chip.poke(reg::ExtraResolution, 0x40);  // local +.25
    chip.poke(reg::LocalTemp, 25);
    chip.poke(reg::Remote1Temp, OpenDiodeReading);
    chip.poke(reg::Remote2Temp, 0xFF);
    chip.poke(reg::LocalHighLimit, 70);
    chip.poke(reg::LocalLowLimit, 0xF6);
    chip.poke(reg::InterruptStatus1, 0x00);
    chip.poke(reg::InterruptStatus2, 0x00);
    chip.poke(reg::FanSpeedConfiguration, 0xF8);
    const Sample sample = s.sample();
    ASSERT_EQ(sample.temperatures.size(), 3U);
    EXPECT_EQ(sample.temperatures[0].celsius, std::optional<float>(25.25F));
    EXPECT_EQ(sample.temperatures[0].low, -10);
    EXPECT_EQ(sample.temperatures[0].high, 70);
    EXPECT_FALSE(sample.temperatures[1].celsius.has_value());
    EXPECT_TRUE(sample.temperatures[1].fault);
    EXPECT_EQ(sample.temperatures[2].celsius, std::optional<float>(-1.0F));
    ASSERT_EQ(sample.fans.size(), 2U);
    EXPECT_EQ(sample.fans[0].dutyPercent, 53);
    EXPECT_EQ(sample.fans[1].dutyPercent, 100);
    EXPECT_EQ(sample.fans[1].name, "Fan2");
    const std::string json = sampleJson(sample);
    EXPECT_EQ(json.rfind("{\"time\":\"", 0), 0U) << json;
    EXPECT_NE(json.find("\"chip\":\"TFM4411\",\"address\":\"0x2e\",\"board\":\"simulated board ("), std::string::npos)
        << json;
    EXPECT_NE(json.find("\"local\":{\"celsius\":25.25,\"low\":-10,\"high\":70,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"remote1\":{\"celsius\":null,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"fan2\":{\"rpm\":"), std::string::npos) << json;

    const Readings quick = s.readings();
    ASSERT_EQ(quick.temperatures.size(), 3U);
    EXPECT_TRUE(quick.temperatures[1].openDiode);
    EXPECT_FALSE(quick.temperatures[1].value().has_value());
    EXPECT_EQ(quick.dutyPercent, (std::vector<int>{53, 100}));
    EXPECT_EQ(s.temperature(TempChannel::Local), std::optional<float>(25.25F));
    EXPECT_FALSE(s.temperature(TempChannel::Remote1).has_value());
}

// The chip keeps no register of the duty it drives under automatic control:
// the sample gives the control law's, which the simulated chip drives too.
TEST(SessionTest, AutomaticControlGivesTheControlLawsDutyForTheReadings)
{
    Session s = Session::open(Medium::PrinterPort, 0, 0x2E);
    sim::Chip& chip = printerChip();
    chip.poke(reg::FanFilterControl, 0x00);       // no ramp: the fan takes the law's duty at once
    chip.poke(reg::FanSpeedConfiguration, 0x33);  // minimum duty 3/15 for both fans
    chip.poke(reg::Remote1TminTrange, 0x22);      // 16 degrees, 20 degrees wide
    chip.poke(reg::Remote2TminTrange, 0x49);      // 36 degrees, 10 wide: nothing to do yet
    chip.poke(reg::Configuration1, 0x81);         // automatic, remote 1 drives fan 1, remote 2 fan 2
    sim::board().advanceMs(300);                  // conversions: the readings and the fan follow
    const Sample sample = s.sample();
    ASSERT_EQ(sample.fans.size(), 2U);
    for (const FanReading& f : sample.fans) {
        SCOPED_TRACE(f.name);
        const TemperatureReading& driving = sample.temperatures[static_cast<std::size_t>(f.fan)];
        ASSERT_TRUE(driving.celsius);
        const double tmin = f.fan == 1 ? 16 : 36, range = f.fan == 1 ? 20 : 10;
        const double expected = chiplaw::channelDuty(*driving.celsius, static_cast<int>(tmin), static_cast<int>(range),
                                                     chiplaw::minimumDuty(3));
        EXPECT_TRUE(f.duty.computed);
        EXPECT_DOUBLE_EQ(f.duty.ratio, expected);
        EXPECT_EQ(f.dutyPercent, static_cast<int>(std::lround(expected * 100)));
        // What the simulated chip drives, from its unrounded temperature.
        EXPECT_NEAR(f.duty.ratio, chip.fanDuty(f.fan - 1), 0.01);
    }
    EXPECT_GT(sample.fans[0].duty.ratio, sample.fans[1].duty.ratio);  // 25 degrees is past 16, short of 36
    EXPECT_EQ(s.readings().dutyPercent, (std::vector<int>{sample.fans[0].dutyPercent, sample.fans[1].dutyPercent}));

    // Direct control: the register's duty, as before.
    chip.poke(reg::Configuration1, 0x01);
    const Sample direct = s.sample();
    EXPECT_FALSE(direct.fans[0].duty.computed);
    EXPECT_EQ(direct.fans[0].dutyPercent, 20);
    EXPECT_DOUBLE_EQ(direct.fans[0].duty.ratio, 0.2);
    chip.powerOn();
}

TEST(SessionTest, AnOverflowedCountIsFlaggedWithTheDivisorsBound)
{
    Session s = Session::open(Medium::PrinterPort, 0, 0x2E);
    sim::Chip& chip = printerChip();
    chip.poke(reg::Fan1Characteristics, 0xC0);  // divisor 8
    chip.poke(reg::Fan1Tach, 0xFF);
    chip.poke(reg::Fan2Characteristics, 0x40);  // divisor 2
    chip.poke(reg::Fan2Tach, 100);
    const Sample sample = s.sample();
    EXPECT_TRUE(sample.fans[0].tach.overflow());
    EXPECT_EQ(sample.fans[0].rpm, 0);
    EXPECT_EQ(sample.fans[0].tach.belowRpm(), 331);
    EXPECT_FALSE(sample.fans[1].tach.overflow());
    EXPECT_EQ(sample.fans[1].rpm, 3375);
    const std::string json = sampleJson(sample);
    EXPECT_NE(json.find("\"fan1\":{\"rpm\":0,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"tach_overflow\":true}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"tach_overflow\":false}"), std::string::npos) << json;
    const Readings quick = s.readings();
    ASSERT_EQ(quick.fanTach.size(), 2U);
    EXPECT_TRUE(quick.fanTach[0].overflow());
    EXPECT_EQ(quick.fanTach[0].divisor, 8);
    EXPECT_EQ(quick.fanRpm[1], 3375);
    chip.powerOn();
}

TEST(SessionTest, SingleChannelChipRefusesTheSecondChannel)
{
    Session s = Session::open(Medium::PrinterPort, 0, 0x2C);
    EXPECT_FALSE(s.dualChannel());
    EXPECT_THROW((void)s.temperature(TempChannel::Remote2), SessionError);
    EXPECT_THROW((void)s.fanRpm(2), SessionError);
    const Sample sample = s.sample();
    EXPECT_EQ(sample.temperatures.size(), 2U);
    EXPECT_EQ(sample.temperatures[1].name, "Remote");
    EXPECT_EQ(sample.fans.size(), 1U);
}

// Two sessions on two threads: every transfer the library journals ends
// before the next begins, and each thread only ever sees its own chip.
TEST(SessionThreadTest, TwoSessionsOnTwoThreadsDoNotInterleave)
{
    struct Span {
        std::chrono::system_clock::time_point begin, end;
    };
    std::mutex spansMutex;
    std::vector<Span> spans;
    const auto previous = vexlink06::setTransferObserver([&](const vexlink06::TransferRecord& r) {
        const std::lock_guard lock(spansMutex);
        spans.push_back({r.time, r.time + std::chrono::duration_cast<std::chrono::system_clock::duration>(r.duration)});
    });
    Session printer = Session::open(Medium::PrinterPort, 0, 0x2E);
    Session bridge = Session::open(Medium::KernelAdapter, 7, 0x2C);
    Session single = Session::open(Medium::PrinterPort, 0, 0x2C);
    std::atomic<int> wrong{0};
    const auto worker = [&](Session& s, int id, std::uint8_t limitReg) {
        for (int i = 0; i < 40; ++i) {
            if (s.read(reg::DeviceId) != id)
                ++wrong;
            const auto value = static_cast<std::uint8_t>(i);
            s.write(limitReg, value);
            if (s.read(limitReg) != value)
                ++wrong;
        }
    };
    std::thread a(worker, std::ref(printer), DeviceIdTFM4411, reg::LocalHighLimit);
    std::thread b(worker, std::ref(bridge), DeviceIdTFM4410, reg::LocalHighLimit);
    std::thread c(worker, std::ref(single), DeviceIdTFM4410, reg::Remote1HighLimit);
    a.join();
    b.join();
    c.join();
    vexlink06::setTransferObserver(previous);
    EXPECT_EQ(wrong.load(), 0);
    ASSERT_GE(spans.size(), 360U);
    std::sort(spans.begin(), spans.end(), [](const Span& x, const Span& y) { return x.begin < y.begin; });
    for (std::size_t i = 1; i < spans.size(); ++i)
        EXPECT_LE(spans[i - 1].end, spans[i].begin) << "transfers " << i - 1 << " and " << i << " overlap";
}

// A USB bridge unplugged and plugged in again, under another number as a
// replugged bridge often is: the session finds it again by its name, checks
// the chip there and goes on; while it is away each use says so at once.
TEST(SessionReconnectTest, AnUnpluggedAdapterIsFoundAgainByItsName)
{
    Session bridge = Session::open(Medium::KernelAdapter, 7, 0x2C);
    bridge.write(reg::LocalHighLimit, 0x51);
    sim::I2cAdapter& adapter = *sim::board().i2cAdapter(7);
    adapter.unplug();
    const auto said = [&](const std::function<void()>& use) {
        try {
            use();
        } catch (const SessionError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::BoardLost) << e.what();
            return std::string(e.what());
        }
        return std::string("no error");
    };
    const std::string gone = "Error: 68, i2c-7 has gone away: was the adapter unplugged?";
    EXPECT_EQ(said([&] { (void)bridge.read(reg::LocalHighLimit); }), gone);
    EXPECT_EQ(said([&] { bridge.write(reg::LocalHighLimit, 0x22); }), gone);
    EXPECT_EQ(said([&] { (void)bridge.sample(); }), gone);

    adapter.replug(12);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    std::optional<std::uint8_t> limit;
    while (!limit && std::chrono::steady_clock::now() < deadline) {
        try {
            limit = bridge.read(reg::LocalHighLimit);
        } catch (const SessionError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::BoardLost) << e.what();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_EQ(limit, 0x51) << "the write made while away reached the chip";
    EXPECT_EQ(bridge.port(), 12);
    EXPECT_EQ(bridge.sample().variant, Variant::Tfm4410);
    adapter.replug(7);  // as the other tests know it
}

}  // namespace
}  // namespace device
