// What a program may ask the library about the back-end and the simulated
// board, without linking or loading the simulator itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sim/sim.h>
#include <vexlink06/back_end.h>
#include <vexlink06/vexlink06.h>

#include "support/test_folder.h"

namespace {

namespace backend = vexlink06::backend;

class BackEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("FANSCOPE_BOARD", "inprocess", 1);
        ::unsetenv("VEXLINK06_PLATFORM");
        sim::board().reset();
    }
    void TearDown() override { ::unsetenv("VEXLINK06_PLATFORM"); }

    static std::uint8_t readDeviceId()
    {
        auto printer = vexlink06::PrinterPort::create();
        return printer->SMBusProtocall()->PortRead(0x5C, 0x3D);
    }
};

TEST_F(BackEnd, NamesThePlatformAndNeverPassesAnUnknownOneForTheSimulator)
{
    EXPECT_EQ(backend::platformName(), "sim");
    EXPECT_TRUE(backend::simulated());
    EXPECT_EQ(backend::simulatedBoard(), "default configuration");
    EXPECT_FALSE(backend::sharedBoard());
    EXPECT_EQ(backend::lostBoardReason(), "");

    for (const char* name : {"linux", "bogus", "sim/../sim"}) {
        ::setenv("VEXLINK06_PLATFORM", name, 1);
        EXPECT_EQ(backend::platformName(), std::string(name) == "linux" ? "linux" : "") << name;
        EXPECT_FALSE(backend::simulated()) << name;
        EXPECT_EQ(backend::simulatedBoard(), std::nullopt) << name;
        EXPECT_FALSE(backend::captureAvailable()) << name;
        EXPECT_FALSE(backend::beginTrace()) << name;
        EXPECT_EQ(backend::configurationProblem("/nonexistent.json"), "") << name;
    }
}

TEST_F(BackEnd, ChecksAConfigurationFileAsTheBoardWouldReadIt)
{
    const support::TestFolder dir("fanscope-back-end-");
    EXPECT_EQ(backend::configurationProblem(dir.write("good.json", R"({"ports": [{"base": 888}]})").string()), "");
    const std::string bad = dir.write("bad.json", "{ not json").string();
    const std::string problem = backend::configurationProblem(bad);
    EXPECT_EQ(problem.rfind("simulated board configuration: " + bad + ": ", 0), 0U) << problem;
    const std::string missing = backend::configurationProblem((dir.path / "missing.json").string());
    EXPECT_EQ(missing.rfind("simulated board configuration: ", 0), 0U) << missing;
}

TEST_F(BackEnd, TracesEveryBusOfTheProcesssBoard)
{
    ASSERT_TRUE(backend::beginTrace());
    EXPECT_EQ(readDeviceId(), 0x31);
    const auto buses = backend::endTrace();
    ASSERT_EQ(buses.size(), 2U);  // the one printer port, then the SMBus
    EXPECT_EQ(buses[0].port, 0);
    EXPECT_EQ(buses[0].portBase, 0x378U);
    EXPECT_EQ(buses[1].port, -1);
    EXPECT_TRUE(buses[1].events.empty());

    using Kind = backend::TraceEvent::Kind;
    const auto& events = buses[0].events;
    ASSERT_GE(events.size(), 8U);
    EXPECT_EQ(events[0].kind, Kind::Start);
    EXPECT_EQ(events[1].kind, Kind::Byte);
    EXPECT_EQ(events[1].value, 0x5C);
    EXPECT_TRUE(events[1].ack);
    const auto answer = std::find_if(events.begin(), events.end(), [](const backend::TraceEvent& e) {
        return e.kind == Kind::Byte && e.value == 0x31;
    });
    ASSERT_NE(answer, events.end());
    EXPECT_NE(answer->by.find("chip"), std::string::npos) << answer->by;

    // Stopped: nothing more is recorded, and a cleared trace starts afresh.
    EXPECT_EQ(readDeviceId(), 0x31);
    ASSERT_TRUE(backend::beginTrace());
    backend::clearTrace();
    EXPECT_TRUE(backend::endTrace()[0].events.empty());
}

TEST_F(BackEnd, CapturesTheWiresOfTheBusAsked)
{
    EXPECT_TRUE(backend::captureAvailable());
    EXPECT_EQ(backend::endCapture(), std::nullopt);  // none running
    EXPECT_FALSE(backend::beginCapture(0x3BC));      // no port there
    ASSERT_TRUE(backend::beginCapture(0x378));
    EXPECT_EQ(readDeviceId(), 0x31);
    const auto capture = backend::endCapture();
    ASSERT_TRUE(capture.has_value());
    EXPECT_FALSE(capture->truncated);
    EXPECT_NE(capture->vcd.find("$var wire 1"), std::string::npos);
    EXPECT_NE(capture->vcd.find("SDA"), std::string::npos);
    EXPECT_EQ(backend::endCapture(), std::nullopt);  // ended once
}

}  // namespace
