// Does the chip still answer, and is the printer port usable before a
// search: against the simulated board through the real library.
#include <gtest/gtest.h>

#include <string>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/chip_presence.h"
#include "device/port_check.h"
#include "device/register_link.h"
#include "device/register_map.h"

namespace device {
namespace {

class Presence : public ::testing::Test {
protected:
    void SetUp() override { configure({}); }
    void TearDown() override
    {
        printer()->setLockPortOpen(vexlink06::False);
        sim::board().reset();
    }
    // One port at 0x378 in every board: the library scans the ports once.
    void configure(const sim::PortConfig& port)
    {
        sim::Config config;
        config.ports = {port};
        config.time = sim::TimeMode::Manual;
        sim::board().configure(config);
        printer()->setPortAddressIndex(0);
        printer()->SMBusProtocall()->setBitsToStayHigh(0xC0);
        printer()->SMBusProtocall()->setDataInverted(port.inverting ? vexlink06::True : vexlink06::False);
        RegisterLink.Medium = MediumPrinterPort;
        RegisterLink.DeviceAddress = 0x5C;
        RegisterLink.DeviceId = DeviceIdTFM4411;
    }
    static std::shared_ptr<vexlink06::PrinterPort> printer() { return ComPort()->PrinterPort(); }
};

TEST_F(Presence, AnswersUntilTheChipGoesAndLeavesTheLinkAsFound)
{
    RegisterLink.RegisterPointer = reg::FanSpeedConfiguration;
    RegisterLink.ReadResult = 0x42;
    EXPECT_TRUE(chipAnswers());
    EXPECT_EQ(RegisterLink.RegisterPointer, reg::FanSpeedConfiguration);
    EXPECT_EQ(RegisterLink.ReadResult, 0x42);
    // Another chip's identity, or none yet, is not "still answering".
    RegisterLink.DeviceId = DeviceIdTFM4410;
    EXPECT_FALSE(chipAnswers());
    RegisterLink.DeviceId = 0;
    EXPECT_FALSE(chipAnswers());
    RegisterLink.DeviceId = DeviceIdTFM4411;
    sim::board().chip()->setPresent(false);
    EXPECT_FALSE(chipAnswers());
    EXPECT_EQ(RegisterLink.ReadResult, 0x42);
}

TEST_F(Presence, WatchFlagsValuesNoChipGives)
{
    struct Case {
        std::uint8_t address, value;
        bool impossible;
    };
    for (const Case c : {Case{reg::Configuration2, 0xFF, true}, Case{reg::DeviceId, 0xFF, true},
                         Case{reg::CompanyId, 0xFF, true}, Case{reg::Revision, 0xFF, true},
                         Case{reg::Configuration2, 0x7F, false}, Case{reg::FanSpeedConfiguration, 0xFF, false},
                         Case{reg::Fan1Tach, 0xFF, false}, Case{reg::LocalTemp, 0xFF, false}})
        EXPECT_EQ(impossibleValue(c.address, c.value), c.impossible) << int(c.address) << " " << int(c.value);

    // A chip that answers its ID but hands out an impossible value is refused too.
    AnswerWatch watch([](std::uint8_t a) -> std::uint8_t { return a == reg::Configuration2 ? 0xFF : 0x00; });
    watch(reg::Configuration1);
    EXPECT_NO_THROW(watch.confirm());
    watch(reg::Configuration2);
    EXPECT_TRUE(watch.sawImpossible());
    EXPECT_THROW(watch.confirm(), ChipNotAnswering);
}

TEST_F(Presence, SentenceNamesTheSevenBitAddressOnEitherMedium)
{
    EXPECT_EQ(noLongerAnswersText(), "the chip at 0x2E no longer answers");
    RegisterLink.DeviceAddress = 0x58;
    EXPECT_EQ(noLongerAnswersText(), "the chip at 0x2C no longer answers");
    RegisterLink.Medium = MediumChipsetSMBus;
    RegisterLink.DeviceAddress = 0x2D;
    EXPECT_EQ(noLongerAnswersText(), "the chip at 0x2D no longer answers");
    RegisterLink.Medium = MediumPrinterPort;
}

struct PortCase {
    const char* name;
    sim::PortConfig port;
    PortProblem expected;
};

sim::PortConfig portWith(void (*change)(sim::PortConfig&))
{
    sim::PortConfig p;
    change(p);
    return p;
}

sim::FaultConfig held(sim::FaultConfig::Kind kind)
{
    sim::FaultConfig f;
    f.kind = kind;
    return f;
}

class PortCheck : public Presence, public ::testing::WithParamInterface<PortCase> { };

TEST_P(PortCheck, NamesWhatIsInTheWayAndLeavesThePortAsFound)
{
    configure(GetParam().port);
    for (const bool locked : {false, true}) {
        if (locked)
            printer()->setLockPortOpen(vexlink06::True);
        const bool lockBefore = printer()->LockPortOpen() != vexlink06::False;
        EXPECT_EQ(checkPrinterPort(), GetParam().expected) << (locked ? "locked" : "unlocked");
        EXPECT_EQ(printer()->LockPortOpen() != vexlink06::False, lockBefore);
        if (GetParam().expected == PortProblem::InUse)
            continue;
        // Both lines rest released again, and the chip is none the worse.
        const sim::Port& port = *sim::board().port(0);
        EXPECT_EQ(port.data() & 0x03, GetParam().port.inverting ? 0x00 : 0x03);
        if (GetParam().expected == PortProblem::None && !GetParam().port.chips.empty()) {
            EXPECT_EQ(readRegister(reg::DeviceId), DeviceIdTFM4411);
        }
    }
    printer()->setLockPortOpen(vexlink06::False);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, PortCheck,
    ::testing::Values(
        PortCase{"standard", {}, PortProblem::None},
        PortCase{"nonInverting", portWith([](sim::PortConfig& p) { p.inverting = false; }), PortProblem::None},
        PortCase{"empty", portWith([](sim::PortConfig& p) {
                     p.chips.clear();
                     p.eeprom = false;
                 }),
                 PortProblem::None},
        PortCase{"sclLow", portWith([](sim::PortConfig& p) { p.faults = {held(sim::FaultConfig::Kind::SclLow)}; }),
                 PortProblem::LinesLow},
        PortCase{"sdaLow", portWith([](sim::PortConfig& p) { p.faults = {held(sim::FaultConfig::Kind::SdaLow)}; }),
                 PortProblem::LinesLow},
        PortCase{"sclLowNonInverting", portWith([](sim::PortConfig& p) {
                     p.inverting = false;
                     p.faults = {held(sim::FaultConfig::Kind::SclLow)};
                 }),
                 PortProblem::LinesLow},
        PortCase{"heldByOtherProcess", portWith([](sim::PortConfig& p) { p.heldByOtherProcess = true; }),
                 PortProblem::InUse}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortProblemText, SentencesWithTheBaseInTheProgramsNotation)
{
    EXPECT_EQ(portProblemText(PortProblem::InUse, 0x378), "printer port 378h is in use by another program");
    EXPECT_EQ(portProblemText(PortProblem::LinesLow, 0x3BC), "the SMBus lines on printer port 3BCh are held low");
    EXPECT_EQ(portProblemText(PortProblem::None, 0x378), "");
}

}  // namespace
}  // namespace device
