// Faults struck while the library is already talking to the chip: the chip
// unplugged after some messages or at a time, lines held low for a while,
// another master taking the bus; and their configuration keys.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

namespace {

using sim::FaultConfig;
constexpr uint8_t kChip = 0x5C;

class Faults : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexlink06::setMessageHook([](const std::string&, const std::string&) {});
        configure({});
    }
    void TearDown() override
    {
        vexlink06::setMessageHook({});
        sim::board().reset();
    }
    void configure(std::vector<FaultConfig> faults)
    {
        sim::Config c;
        c.time = sim::TimeMode::Manual;
        c.ports[0].faults = std::move(faults);
        sim::board().configure(c);
        proto = vexlink06::PrinterPort::create()->SMBusProtocall();
        proto->setBitsToStayHigh(0);
        // The standard adapter's sense, so the line checks read the lines right.
        proto->setDataInverted(vexlink06::True);
        errors.clear();
        proto->setSMBusProtocallErrorHandler([this](int16_t n, const std::string&) { errors.push_back(n); });
    }
    uint8_t deviceId() { return proto->PortRead(kChip, 0x3D); }
    static void at(double ms) { sim::board().advanceMs(ms - sim::board().nowMs()); }

    std::shared_ptr<vexlink06::SMBusProtocall> proto;
    std::vector<int16_t> errors;
};

FaultConfig goneAfter(long long messages)
{
    FaultConfig f;
    f.afterTransfers = messages;
    return f;
}

FaultConfig lineLow(FaultConfig::Kind kind, double from, double to)
{
    FaultConfig f;
    f.kind = kind;
    f.fromMs = from;
    f.toMs = to;
    return f;
}

TEST_F(Faults, ChipGoesAfterItsMessagesAndStaysGone)
{
    // A read without repeated start is two messages: after three the chip
    // leaves between the pointer write and the read of the second read.
    configure({goneAfter(3)});
    EXPECT_EQ(deviceId(), 0x31);
    EXPECT_EQ(deviceId(), 0xFF);
    EXPECT_EQ(deviceId(), 0xFF);
    EXPECT_FALSE(sim::board().chip()->present());
    // Gone from the bus, not from the board: its registers are still there.
    EXPECT_EQ(sim::board().chip()->peek(0x3D), 0x31);
    EXPECT_TRUE(sim::board().port(0)->bus().sda());
    EXPECT_TRUE(errors.empty());
}

TEST_F(Faults, ChipGoesAtItsTimeEvenWithoutTraffic)
{
    FaultConfig f;
    f.atMs = 500;
    configure({f});
    EXPECT_EQ(deviceId(), 0x31);
    at(499);
    EXPECT_EQ(deviceId(), 0x31);
    at(500);
    EXPECT_EQ(deviceId(), 0xFF);
}

TEST_F(Faults, OnlyTheNamedChipGoes)
{
    sim::Config c;
    c.time = sim::TimeMode::Manual;
    sim::ChipConfig second;
    second.variant = sim::ChipVariant::Tfm4410;
    second.address = 0x58;
    c.ports[0].chips.push_back(second);
    FaultConfig f = goneAfter(0);
    f.address = 0x58;
    c.ports[0].faults = {f};
    sim::board().configure(c);
    proto = vexlink06::PrinterPort::create()->SMBusProtocall();
    EXPECT_EQ(proto->PortRead(0x58, 0x3D), 0xFF);
    EXPECT_EQ(proto->PortRead(0x5C, 0x3D), 0x31);
}

TEST_F(Faults, FaultAddedDuringTheRunCountsFromThen)
{
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(deviceId(), 0x31);
    sim::board().port(0)->addFault(goneAfter(2));
    EXPECT_EQ(deviceId(), 0x31);
    EXPECT_EQ(deviceId(), 0xFF);
}

struct HeldLine {
    FaultConfig::Kind kind;
    uint8_t whileHeld;  // what a register read gives meanwhile
};

class HeldLines : public Faults, public ::testing::WithParamInterface<HeldLine> { };

TEST_P(HeldLines, HeldOnlyInsideTheirWindow)
{
    configure({lineLow(GetParam().kind, 100, 200)});
    const sim::Bus& bus = sim::board().port(0)->bus();
    EXPECT_EQ(deviceId(), 0x31);
    at(100);
    EXPECT_EQ(deviceId(), GetParam().whileHeld);
    EXPECT_FALSE(GetParam().kind == FaultConfig::Kind::SclLow ? bus.scl() : bus.sda());
    at(200);
    EXPECT_EQ(deviceId(), 0x31);
    EXPECT_TRUE(bus.scl() && bus.sda());
}

INSTANTIATE_TEST_SUITE_P(Lines, HeldLines,
                         ::testing::Values(HeldLine{FaultConfig::Kind::SclLow, 0xFF},
                                           HeldLine{FaultConfig::Kind::SdaLow, 0x00}));

TEST_F(Faults, HeldClockIsSeenByTheArbitrationCheck)
{
    configure({lineLow(FaultConfig::Kind::SclLow, 0, 1000)});
    proto->setArbitrationOn(vexlink06::True);
    proto->PortRead(kChip, 0x3D);
    EXPECT_EQ(errors, std::vector<int16_t>{2});
}

TEST_F(Faults, OtherMasterTakesTheBusInItsWindow)
{
    configure({lineLow(FaultConfig::Kind::OtherMaster, 100, 200)});
    proto->setArbitrationOn(vexlink06::True);
    EXPECT_EQ(deviceId(), 0x31);
    at(150);
    deviceId();
    EXPECT_EQ(errors, std::vector<int16_t>{2});
    // Without the line checks the PC talks on regardless and nobody answers.
    proto->setArbitrationOn(vexlink06::False);
    EXPECT_EQ(deviceId(), 0xFF);
    at(200);
    EXPECT_EQ(deviceId(), 0x31);
}

// ---- configuration ----

TEST(FaultConfigFile, ReadsEveryKindAndRoundTrips)
{
    const sim::Config c = sim::parseConfig(R"({"ports": [{"faults": [
        {"kind": "chipGone", "afterTransfers": 12, "address": "0x5C"},
        {"kind": "chipGone", "atMs": 2500},
        {"kind": "sclLow", "fromMs": 1000, "toMs": 3000},
        {"kind": "sdaLow", "fromMs": 10},
        {"kind": "otherMaster", "fromMs": 5, "toMs": 6, "bit": 3}]}]})");
    const auto& f = c.ports[0].faults;
    ASSERT_EQ(f.size(), 5U);
    EXPECT_EQ(f[0].afterTransfers, 12);
    EXPECT_EQ(f[0].address, 0x5C);
    EXPECT_EQ(f[1].atMs, 2500);
    EXPECT_EQ(f[1].afterTransfers, -1);
    EXPECT_EQ(f[2].kind, FaultConfig::Kind::SclLow);
    EXPECT_EQ(f[3].toMs, FaultConfig::kNever);
    EXPECT_EQ(f[4].bit, 3);
    const auto again = sim::parseConfig(sim::toJson(c)).ports[0].faults;
    ASSERT_EQ(again.size(), 5U);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(again[i].kind, f[i].kind);
        EXPECT_EQ(again[i].address, f[i].address);
        EXPECT_EQ(again[i].afterTransfers, f[i].afterTransfers);
        EXPECT_EQ(again[i].atMs, f[i].atMs);
        EXPECT_EQ(again[i].fromMs, f[i].fromMs);
        EXPECT_EQ(again[i].toMs, f[i].toMs);
        EXPECT_EQ(again[i].bit, f[i].bit);
    }
}

struct BadFault {
    const char* fault;
    const char* field;  // the message names it
};

class BadFaults : public ::testing::TestWithParam<BadFault> { };

TEST_P(BadFaults, RefusedWithTheField)
{
    const std::string json = std::string(R"({"ports": [{"faults": [)") + GetParam().fault + "]}]}";
    try {
        sim::parseConfig(json);
        FAIL() << "accepted " << GetParam().fault;
    } catch (const sim::ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().field), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, BadFaults,
    ::testing::Values(BadFault{R"({"afterTransfers": 1})", "ports[0].faults[0]: "},
                      BadFault{R"({"kind": "unplug"})", "ports[0].faults[0].kind"},
                      BadFault{R"({"kind": "chipGone"})", "needs afterTransfers or atMs"},
                      BadFault{R"({"kind": "chipGone", "afterTransfers": -1})", "faults[0].afterTransfers"},
                      BadFault{R"({"kind": "chipGone", "afterTransfers": 1.5})", "faults[0].afterTransfers"},
                      BadFault{R"({"kind": "chipGone", "atMs": 1e400})", "ports[0]"},
                      BadFault{R"({"kind": "chipGone", "atMs": 1, "address": "0x5E"})", "faults[0].address"},
                      BadFault{R"({"kind": "sclLow", "afterTransfers": 1})", "faults[0].afterTransfers"},
                      BadFault{R"({"kind": "sdaLow", "fromMs": 5, "toMs": 5})", "faults[0].toMs"},
                      BadFault{R"({"kind": "otherMaster", "bit": 8})", "faults[0].bit"},
                      BadFault{R"({"kind": "sclLow", "fromMs": "soon"})", "faults[0].fromMs"},
                      BadFault{R"({"kind": "chipGone", "atMs": 1}, 5)", "faults[1]"}));

}  // namespace
