// The write log and undo/redo against the simulated board through the real
// library: what undo puts back must arrive in the chip, and a refused undo
// must not put a single byte on the bus.
#include <gtest/gtest.h>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/register_diff.h"
#include "device/register_file.h"
#include "device/register_link.h"
#include "device/register_map.h"
#include "device/write_log.h"
#include "support/bus_trace.h"
#include "support/two_chip_board.h"

namespace device {
namespace {

constexpr std::uint8_t Dual = testsupport::kTfm4411At;
constexpr std::uint8_t Single = testsupport::kTfm4410At;

const auto* const g_env = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);

sim::Chip& chip(std::uint8_t address = Dual) { return *sim::board().chip(address); }

// Read-modify-write as the dialogs do it.
void modify(std::uint8_t reg, std::uint8_t keep, std::uint8_t insert)
{
    writeRegister(reg, static_cast<std::uint8_t>((readRegister(reg) & keep) | insert));
}

class WriteLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        connect(Dual);
        writeLog().clear();
    }
    static void connect(std::uint8_t address)
    {
        RegisterLink.Medium = MediumPrinterPort;
        RegisterLink.DeviceAddress = address;
        RegisterLink.DeviceId = address == Single ? DeviceIdTFM4410 : DeviceIdTFM4411;
    }
    // Bytes the PC put on the port's data register since the mark.
    static std::size_t portWrites() { return sim::board().port(0)->dataWriteLog().size(); }
};

using testsupport::registerWrites;

TEST_F(WriteLogTest, RecordsBeforeAfterAndSourceWithoutExtraBusTraffic)
{
    chip().poke(reg::FanFilterControl, 0x50);
    readRegister(reg::FanFilterControl);
    const std::size_t mark = portWrites();
    writeRegister(reg::FanFilterControl, 0x51);
    const std::size_t oneWrite = portWrites() - mark;
    {
        WriteAction action(WriteSource::Dialog, "Filter Mode");
        writeRegister(reg::FanFilterControl, 0x53);
    }
    // The log takes the earlier value from memory: the second write costs the
    // bus exactly what the first did.
    EXPECT_EQ(portWrites() - mark, 2 * oneWrite);

    const auto& r = writeLog().records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].before, 0x50);
    EXPECT_EQ(r[0].after, 0x51);
    EXPECT_EQ(r[0].source, WriteSource::Other);
    EXPECT_EQ(r[1].before, 0x51);
    EXPECT_EQ(r[1].source, WriteSource::Dialog);
    EXPECT_EQ(r[1].action, "Filter Mode");
    EXPECT_NE(r[0].group, r[1].group);
}

TEST_F(WriteLogTest, UndoAndRedoAGroupInOneStep)
{
    chip().poke(reg::LocalHighLimit, 70);
    chip().poke(reg::LocalLowLimit, 5);
    chip().poke(reg::Configuration1, 0x01);
    for (std::uint8_t r : {reg::LocalHighLimit, reg::LocalLowLimit, reg::Configuration1})
        readRegister(r);
    {
        WriteAction action(WriteSource::EasySetup, "Easy Setup");
        writeRegister(reg::LocalHighLimit, 90);
        writeRegister(reg::LocalLowLimit, 0);
        writeRegister(reg::Configuration1, 0x1F);
        writeRegister(reg::Configuration1, 0x9F);  // the same register twice: one change
    }
    EXPECT_EQ(writeLog().undoText(), "Undo Easy Setup");

    const UndoResult undone = writeLog().undo();
    ASSERT_TRUE(undone.done) << undone.message;
    EXPECT_EQ(chip().peek(reg::LocalHighLimit), 70);
    EXPECT_EQ(chip().peek(reg::LocalLowLimit), 5);
    EXPECT_EQ(chip().peek(reg::Configuration1), 0x01);
    EXPECT_NE(undone.message.find("Configuration 1 (00h) 9Fh -> 01h"), std::string::npos) << undone.message;
    EXPECT_FALSE(writeLog().canUndo());
    // The undo's own writes are logged but are not themselves undoable.
    EXPECT_EQ(writeLog().records().back().source, WriteSource::Undo);

    const UndoResult redone = writeLog().redo();
    ASSERT_TRUE(redone.done) << redone.message;
    EXPECT_EQ(chip().peek(reg::LocalHighLimit), 90);
    EXPECT_EQ(chip().peek(reg::Configuration1), 0x9F);
    EXPECT_TRUE(writeLog().canUndo());
    EXPECT_FALSE(writeLog().canRedo());
}

TEST_F(WriteLogTest, UndoGoesBackOneGroupAtATimeAndANewWriteClearsRedo)
{
    chip().poke(reg::Remote1HighLimit, 60);
    readRegister(reg::Remote1HighLimit);
    writeRegister(reg::Remote1HighLimit, 61);
    writeRegister(reg::Remote1HighLimit, 62);
    ASSERT_TRUE(writeLog().undo().done);
    EXPECT_EQ(chip().peek(reg::Remote1HighLimit), 61);
    EXPECT_TRUE(writeLog().canRedo());
    writeRegister(reg::Remote1HighLimit, 65);
    EXPECT_FALSE(writeLog().canRedo());
    ASSERT_TRUE(writeLog().undo().done);
    ASSERT_TRUE(writeLog().undo().done);
    EXPECT_EQ(chip().peek(reg::Remote1HighLimit), 60);
    EXPECT_FALSE(writeLog().undo().done);
}

// Each way the chip can stand in the way of an undo: the register changed
// after the write, the earlier value was never seen, the register is one the
// chip writes itself, another chip is connected. None writes a byte.
struct Refusal {
    const char* name;
    void (*arrange)();
    const char* reason;
};

const Refusal kRefusals[] = {
    {"ChangedUnderneath",
     [] {
         chip().poke(reg::FanSpeedConfiguration, 0x55);
         modify(reg::FanSpeedConfiguration, 0xF0, 0x0C);
         chip().poke(reg::FanSpeedConfiguration, 0x3C);  // another program, or the chip
     },
     "Fan Speed Configuration (22h) now holds 3Ch, not 5Ch as written"},
    {"BeforeNeverRead", [] { writeRegister(reg::Remote1Offset, 0x03); }, "never read"},
    {"MeasuredByTheChip",
     [] {
         readRegister(reg::Fan1Tach);
         writeRegister(reg::Fan1Tach, 0x10);
     },
     "Fan1 Tach Value (08h) cannot be put back"},
    {"AnotherChipConnected",
     [] {
         modify(reg::LocalThermLimit, 0x00, 0x50);
         RegisterLink.DeviceAddress = Single;
         RegisterLink.DeviceId = DeviceIdTFM4410;
     },
     "written to the chip at 5Ch"},
};

class UndoRefused : public WriteLogTest, public ::testing::WithParamInterface<Refusal> { };

TEST_P(UndoRefused, WritesNothingSaysWhyAndDropsTheGroup)
{
    GetParam().arrange();
    ASSERT_TRUE(writeLog().canUndo());
    sim::Bus& bus = sim::board().port(0)->bus();
    bus.clearTrace();
    bus.setTracing(true);
    const auto chipBefore = chip().peek(reg::FanSpeedConfiguration);
    const std::size_t records = writeLog().records().size();
    const UndoResult r = writeLog().undo();
    bus.setTracing(false);
    EXPECT_FALSE(r.done);
    EXPECT_NE(r.message.find(GetParam().reason), std::string::npos) << r.message;
    EXPECT_NE(r.message.find("Nothing was written."), std::string::npos) << r.message;
    EXPECT_EQ(writeLog().records().size(), records);
    EXPECT_EQ(chip().peek(reg::FanSpeedConfiguration), chipBefore);
    EXPECT_EQ(registerWrites(bus.trace()), 0);
    EXPECT_FALSE(writeLog().canUndo());
}

INSTANTIATE_TEST_SUITE_P(Cases, UndoRefused, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WriteLogTest, ChipMeasuredAndNeverReadRegistersAreLeftOutOfAMixedGroup)
{
    chip().poke(reg::Fan1TachLimit, 0xFF);
    readRegister(reg::Fan1TachLimit);
    readRegister(reg::Fan1Tach);
    {
        WriteAction action(WriteSource::Panel, "Panel");
        writeRegister(reg::Fan1TachLimit, 100);
        writeRegister(reg::Fan1Tach, 5);
        writeRegister(reg::Remote1LowLimit, 7);  // never read
    }
    chip().poke(reg::Fan1Tach, 0x80);  // the chip counted again
    const UndoResult r = writeLog().undo();
    ASSERT_TRUE(r.done) << r.message;
    EXPECT_EQ(chip().peek(reg::Fan1TachLimit), 0xFF);
    EXPECT_NE(r.message.find("Left out, as the chip sets it itself: Fan1 Tach Value (08h)"), std::string::npos)
        << r.message;
    EXPECT_NE(r.message.find("never read: Remote1 Temp. Low Limit (19h)"), std::string::npos) << r.message;
    EXPECT_EQ(chip().peek(reg::Remote1LowLimit), 7);
}

TEST_F(WriteLogTest, SoftwareResetBitAndRevisionCompareOnlyTheBitsTheChipKeeps)
{
    chip().poke(reg::Configuration2, 0x3F);
    chip().poke(reg::LocalHighLimit, 77);
    chip().poke(reg::Revision, 0x12);
    for (std::uint8_t r : {reg::Configuration2, reg::LocalHighLimit, reg::Revision})
        readRegister(r);
    {
        WriteAction action(WriteSource::EasySetup, "Easy Setup");
        writeRegister(reg::Configuration2, 0xFF);  // resets the chip; bit 7 reads back 0
        writeRegister(reg::LocalHighLimit, 90);
        writeRegister(reg::Revision, 0xFF);  // only bit 7 sticks
    }
    ASSERT_EQ(chip().peek(reg::Configuration2), 0x7F);
    const UndoResult r = writeLog().undo();
    ASSERT_TRUE(r.done) << r.message;
    EXPECT_EQ(chip().peek(reg::Configuration2), 0x3F);
    EXPECT_EQ(chip().peek(reg::LocalHighLimit), 77);
    EXPECT_EQ(chip().peek(reg::Revision) & 0x80, 0);
    EXPECT_NE(r.message.find("software reset"), std::string::npos) << r.message;
}

TEST_F(WriteLogTest, RepeatedUnchangedWritesCoalesceAndKeepTheEarlierUndo)
{
    chip().poke(reg::Fan1Characteristics, 0x5D);
    modify(reg::Fan1Characteristics, 0xF8, 0x07);
    // A focused combo box rewrites the value shown every 250 ms.
    for (int i = 0; i < 50; ++i) {
        WriteAction action(WriteSource::Dialog, "Spin-up time");
        modify(reg::Fan1Characteristics, 0xF8, 0x07);
    }
    EXPECT_EQ(writeLog().records().size(), 2u);
    EXPECT_EQ(writeLog().records().back().repeats, 50);
    ASSERT_TRUE(writeLog().undo().done);
    EXPECT_EQ(chip().peek(reg::Fan1Characteristics), 0x5D);
}

TEST_F(WriteLogTest, ADragIsOneStepAndAPauseStartsAnother)
{
    chip().poke(reg::LocalHighLimit, 70);
    readRegister(reg::LocalHighLimit);
    readRegister(reg::LocalLowLimit);
    for (std::uint8_t v : {75, 80, 85}) {
        WriteAction action(WriteSource::Gauge, "Limits gauge", WriteAction::Kind::Drag);
        writeRegister(reg::LocalHighLimit, v);
    }
    {
        // Another action in between ends the drag.
        WriteAction action(WriteSource::Panel, "Panel");
        writeRegister(reg::LocalLowLimit, 1);
    }
    {
        WriteAction action(WriteSource::Gauge, "Limits gauge", WriteAction::Kind::Drag);
        writeRegister(reg::LocalHighLimit, 90);
    }
    ASSERT_TRUE(writeLog().undo().done);
    EXPECT_EQ(chip().peek(reg::LocalHighLimit), 85);
    ASSERT_TRUE(writeLog().undo().done);
    ASSERT_TRUE(writeLog().undo().done);
    EXPECT_EQ(chip().peek(reg::LocalHighLimit), 70);
}

// A drag the mouse still holds joins its group whatever came between that
// changed nothing (the Visual Display cycle's rewrites); a change by another
// action still ends it.
TEST_F(WriteLogTest, AHeldDragIsOneStepThroughRewritesThatChangeNothing)
{
    chip().poke(reg::LocalHighLimit, 70);
    chip().poke(reg::LocalLowLimit, 0);
    chip().poke(reg::Fan1Characteristics, 0x40);
    readRegister(reg::LocalHighLimit);
    readRegister(reg::LocalLowLimit);
    bool first = true;
    for (std::uint8_t v : {75, 80, 85}) {
        {
            WriteAction action(WriteSource::Gauge, "Limits gauge",
                               first ? WriteAction::Kind::Drag : WriteAction::Kind::DragHeld);
            writeRegister(reg::LocalHighLimit, v);
        }
        first = false;
        WriteAction cycle(WriteSource::Other, "Visual Display cycle");
        modify(reg::Fan1Characteristics, 0xFF, 0x00);
    }
    {
        WriteAction action(WriteSource::Panel, "Panel");
        writeRegister(reg::LocalLowLimit, 1);
    }
    {
        WriteAction action(WriteSource::Gauge, "Limits gauge", WriteAction::Kind::DragHeld);
        writeRegister(reg::LocalHighLimit, 90);
    }
    ASSERT_TRUE(writeLog().undo().done);
    EXPECT_EQ(chip().peek(reg::LocalHighLimit), 85);
    ASSERT_TRUE(writeLog().undo().done);
    EXPECT_EQ(chip().peek(reg::LocalLowLimit), 0);
    ASSERT_TRUE(writeLog().undo().done);
    EXPECT_EQ(chip().peek(reg::LocalHighLimit), 70);
    EXPECT_FALSE(writeLog().canUndo());
}

TEST(WriteLogBound, OldestGroupsFallOutOfTheLogAndTheHistory)
{
    WriteLog log(4);
    log.noteRead(MediumPrinterPort, Dual, reg::LocalHighLimit, 0);
    for (int i = 0; i < 6; ++i)
        log.noteWrite(MediumPrinterPort, Dual, reg::LocalHighLimit, static_cast<std::uint8_t>(100 + i));
    ASSERT_EQ(log.records().size(), 4u);
    EXPECT_EQ(log.records().front().after, 102);
    RegisterLink.Medium = MediumPrinterPort;
    RegisterLink.DeviceAddress = Dual;
    chip().poke(reg::LocalHighLimit, 105);
    int undone = 0;
    while (log.undo().done)
        ++undone;
    EXPECT_EQ(undone, 4);
    EXPECT_EQ(chip().peek(reg::LocalHighLimit), 101);
}

// ---- differences between a register file and the chip ---------------------

TEST(RegisterDifferences, OnlyBitsAWriteChangesCount)
{
    const std::vector<RegisterValue> writes{
        {reg::Configuration1, 0x01}, {reg::FanSpeedConfiguration, 0x3C}, {reg::Revision, 0x15}, {reg::Revision, 0x92}};
    const auto chipValue = [](std::uint8_t r) -> std::uint8_t {
        return r == reg::Revision ? 0x12 : r == reg::FanSpeedConfiguration ? 0x55 : 0x01;
    };
    const auto d = registerDifferences(writes, chipValue);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].reg, reg::FanSpeedConfiguration);
    EXPECT_EQ(d[1].wanted, 0x92);  // Therm to Fan differs; the fixed revision number does not count
    EXPECT_EQ(
        differenceLine(d[0], DeviceIdTFM4411),
        "22h  Fan Speed Configuration     55h -> 3Ch  (Normal/Min=5, Normal/Min=5 -> Normal/Min=12, Normal/Min=3)");
    EXPECT_EQ(fieldsText(reg::FanSpeedConfiguration, 0x3C, DeviceIdTFM4410), "Normal/Min=12");
}

struct FieldCase {
    std::uint8_t reg;
    std::uint8_t value;
    int deviceId;
    const char* text;
};

class FieldsText : public ::testing::TestWithParam<FieldCase> { };

TEST_P(FieldsText, FollowsTheBitNames)
{
    EXPECT_EQ(fieldsText(GetParam().reg, GetParam().value, GetParam().deviceId), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Registers, FieldsText,
    ::testing::Values(FieldCase{reg::Fan1Characteristics, 0x5D, DeviceIdTFM4411, "SpinUp=5, PWM=3, Divisor(N)=1"},
                      FieldCase{reg::Remote2TminTrange, 0x61, DeviceIdTFM4411, "Trange=1, Tmin=12"},
                      FieldCase{reg::Configuration2, 0x7F, DeviceIdTFM4410,
                                "PWM1 Enable=1, Tach1 Enable=1, Int Temp Enable=1, Ext Temp1 Enable=1, SW reset=0"},
                      FieldCase{reg::LocalOffset, 0x83, DeviceIdTFM4411, "Offset Bit=3, Sign Bit=1"},
                      FieldCase{reg::LocalHighLimit, 0x46, DeviceIdTFM4411, ""}));

}  // namespace
}  // namespace device
