// Set-up code: which registers go in, masked how, in which order; the
// refusals; the JSON read back; the C header through the compilers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "device/setup_code.h"
#include "support/run_process.h"
#include "support/test_folder.h"

namespace {

using namespace device;

// Every saved register of the variant, at a value each chip keeps.
std::vector<RegisterValue> tunedSet(int deviceId, const std::map<std::uint8_t, std::uint8_t>& overrides = {})
{
    std::vector<RegisterValue> out;
    for (const SavedRegister& s : SavedRegisters) {
        if (s.tfm4411Only && deviceId == DeviceIdTFM4410)
            continue;
        std::uint8_t value = static_cast<std::uint8_t>(0x11 + s.address);
        value = static_cast<std::uint8_t>(value & (keptBits(s.address, deviceId) | fixedBits(s.address)));
        if (s.address == reg::Configuration1)
            value = 0xE1;  // automatic control on
        if (const auto it = overrides.find(s.address); it != overrides.end())
            value = it->second;
        out.push_back({s.address, value});
    }
    return out;
}

std::size_t position(const SetupPlan& plan, std::uint8_t reg)
{
    const auto it =
        std::find_if(plan.writes.begin(), plan.writes.end(), [reg](const SetupWrite& w) { return w.reg == reg; });
    return static_cast<std::size_t>(it - plan.writes.begin());
}

class SetupPlanTest : public ::testing::TestWithParam<int> { };

TEST_P(SetupPlanTest, TheSavedSetInAnOrderSafeOnARunningChip)
{
    const int id = GetParam();
    const SetupPlan plan = planSetup(id, tunedSet(id));
    ASSERT_TRUE(plan) << plan.error;
    ASSERT_EQ(plan.writes.size(), static_cast<std::size_t>(savedRegisterCount(id)));
    EXPECT_EQ(plan.writes.front().reg, reg::Configuration2);
    EXPECT_EQ(plan.writes.back().reg, reg::Configuration1);  // alarms and automatic control start last
    EXPECT_LT(position(plan, reg::Fan1Characteristics), position(plan, reg::Fan1TachLimit));
    EXPECT_LT(position(plan, reg::LocalOffset), position(plan, reg::LocalHighLimit));
    EXPECT_LT(position(plan, reg::Remote1ThermLimit), position(plan, reg::Revision));
    EXPECT_LT(position(plan, reg::LocalThermLimit), position(plan, reg::LocalTminTrange));
    if (isDualChannel(id)) {
        EXPECT_LT(position(plan, reg::Fan2Characteristics), position(plan, reg::Fan2TachLimit));
    }
    for (const SetupWrite& w : plan.writes) {
        EXPECT_EQ(w.value & ~w.mask, 0) << addressText(w.reg);
        EXPECT_NE(registerRole(w.reg).kind, RegisterClass::Temperature);
        EXPECT_NE(registerRole(w.reg).kind, RegisterClass::TachCount);
    }
}

TEST_P(SetupPlanTest, MasksLeaveOutTheResetTheRevisionAndWhatTheVariantLacks)
{
    const int id = GetParam();
    const SetupPlan plan = planSetup(id, tunedSet(id));
    ASSERT_TRUE(plan) << plan.error;
    const auto mask = [&](std::uint8_t reg) { return plan.writes[position(plan, reg)].mask; };
    const bool dual = isDualChannel(id);
    EXPECT_EQ(mask(reg::Configuration2), dual ? 0x7F : 0x35);
    EXPECT_EQ(mask(reg::FanSpeedConfiguration), dual ? 0xFF : 0x0F);
    EXPECT_EQ(mask(reg::LocalOffset), 0x8F);
    EXPECT_EQ(mask(reg::FanFilterControl), 0xFF);  // bit 7 disables the spin-up
    EXPECT_EQ(mask(reg::Revision), 0x80);
    EXPECT_EQ(mask(reg::Configuration1), 0xFF);
}

INSTANTIATE_TEST_SUITE_P(BothChips, SetupPlanTest, ::testing::Values(DeviceIdTFM4410, DeviceIdTFM4411));

TEST(SetupPlan, TheRevisionNumberIsNotWritten)
{
    const SetupPlan plan = planSetup(DeviceIdTFM4411, tunedSet(DeviceIdTFM4411, {{reg::Revision, 0x92}}));
    ASSERT_TRUE(plan) << plan.error;
    EXPECT_EQ(plan.writes[position(plan, reg::Revision)].value, 0x80);
}

struct Refusal {
    const char* what;
    int deviceId;
    std::map<std::uint8_t, std::uint8_t> overrides;
    const char* words;
};

class SetupRefusalTest : public ::testing::TestWithParam<Refusal> { };

TEST_P(SetupRefusalTest, IsOneSentenceAndNoWrites)
{
    const Refusal& r = GetParam();
    const SetupPlan plan = planSetup(r.deviceId, tunedSet(r.deviceId, r.overrides));
    EXPECT_FALSE(plan);
    EXPECT_TRUE(plan.writes.empty());
    EXPECT_NE(plan.error.find(r.words), std::string::npos) << plan.error;
    EXPECT_EQ(plan.error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    StrayBits, SetupRefusalTest,
    ::testing::Values(
        Refusal{"reset", DeviceIdTFM4411, {{reg::Configuration2, 0xFF}}, "Configuration2 (01h) holds FFh"},
        Refusal{"unused offset bits", DeviceIdTFM4411, {{reg::Remote1Offset, 0x70}}, "bits 70h"},
        Refusal{"second fan", DeviceIdTFM4410, {{reg::FanSpeedConfiguration, 0x55}}, "TFM4410"},
        Refusal{"second channel", DeviceIdTFM4410, {{reg::Configuration2, 0x7F}}, "bits 4Ah"}),
    [](const auto& info) {
        std::string n = info.param.what;
        std::replace(n.begin(), n.end(), ' ', '_');
        return n;
    });

TEST(SetupPlan, RefusesASetThatIsNotTheVariantsConfiguration)
{
    auto missing = tunedSet(DeviceIdTFM4411);
    missing.pop_back();
    EXPECT_NE(planSetup(DeviceIdTFM4411, missing).error.find("missing"), std::string::npos);

    auto twice = tunedSet(DeviceIdTFM4411);
    twice.push_back(twice.front());
    EXPECT_NE(planSetup(DeviceIdTFM4411, twice).error.find("twice"), std::string::npos);

    // A TFM4411 set read as a TFM4410 one has registers the single-channel chip lacks.
    EXPECT_FALSE(planSetup(DeviceIdTFM4410, tunedSet(DeviceIdTFM4411)));
    EXPECT_FALSE(planSetup(0x42, tunedSet(DeviceIdTFM4411)));
}

SetupHeader header() { return {"fanscope-cli 9.9", "file tuned.reg", 0x2E, 3, "2026-12-10T18:40:00Z"}; }

TEST(SetupJson, ReadsBackAsThePlan)
{
    for (const int id : {DeviceIdTFM4410, DeviceIdTFM4411}) {
        const SetupPlan plan = planSetup(id, tunedSet(id));
        const SetupFileResult back = parseSetupJson(setupText(SetupFormat::Json, plan, header()));
        ASSERT_TRUE(back) << back.error;
        EXPECT_EQ(back.file->deviceId, id);
        EXPECT_EQ(back.file->address, 0x2E);
        EXPECT_EQ(back.file->writes, plan.writes);
    }
}

struct JsonEdit {
    const char* from;
    const char* to;
    const char* words;
};

class SetupJsonRefusalTest : public ::testing::TestWithParam<JsonEdit> { };

TEST_P(SetupJsonRefusalTest, NamesWhatIsWrong)
{
    const JsonEdit& e = GetParam();
    std::string text = setupText(SetupFormat::Json, planSetup(DeviceIdTFM4411, tunedSet(DeviceIdTFM4411)), header());
    const auto at = text.find(e.from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, std::string(e.from).size(), e.to);
    const SetupFileResult r = parseSetupJson(text);
    EXPECT_FALSE(r);
    EXPECT_NE(r.error.find(e.words), std::string::npos) << r.error;
}

INSTANTIATE_TEST_SUITE_P(Edits, SetupJsonRefusalTest,
                         ::testing::Values(JsonEdit{"\"TFM4411\"", "\"TFM9999\"", "neither chip"},
                                           JsonEdit{"\"mask\": 127", "\"mask\": 255", "has mask FFh"},
                                           JsonEdit{"\"value\": 18", "\"value\": 255", "does not keep"},
                                           JsonEdit{"\"register\": 1,", "\"register\": 300,", "from 0 to 255"},
                                           JsonEdit{"\"registers\"", "\"regs\"", "\"registers\" list"},
                                           JsonEdit{"{", "[", "not JSON"}));

TEST(Replay, ASetUpReplaysAsWritesWithTheirReadBacks)
{
    const SetupPlan plan = planSetup(DeviceIdTFM4410, tunedSet(DeviceIdTFM4410));
    const ReplayResult r = parseReplayJson(setupText(SetupFormat::Json, plan, header()));
    ASSERT_TRUE(r) << r.error;
    ASSERT_EQ(r.replay->steps.size(), 2 * plan.writes.size());
    EXPECT_TRUE(r.replay->steps[0].write);
    EXPECT_FALSE(r.replay->steps[1].write);
    EXPECT_EQ(r.replay->steps[1].mask, plan.writes[0].mask);
}

TEST(Replay, ARecordingReadsBackAndRefusesWritesToReadOnlyRegisters)
{
    Replay recorded{DeviceIdTFM4411, {{true, 0x22, 0x3C, 0xFF}, {false, 0x22, 0x3C, 0xFF}, {false, 0x02, 0x00, 0x00}}};
    const ReplayResult back = parseReplayJson(replayText(SetupFormat::Json, recorded, header()));
    ASSERT_TRUE(back) << back.error;
    EXPECT_EQ(back.replay->steps.size(), 3u);
    EXPECT_EQ(back.replay->steps[2].mask, 0x00);

    const char* readOnly =
        R"({"header": {"variant": "TFM4411"}, "steps": [{"op": "write", "register": 61, "value": 1}]})";
    EXPECT_NE(parseReplayJson(readOnly).error.find("read-only"), std::string::npos);
    const char* absent = R"({"header": {"variant": "TFM4410"}, "steps": [{"op": "read", "register": 33, "value": 1}]})";
    EXPECT_NE(parseReplayJson(absent).error.find("has no register 21h"), std::string::npos);
}

JournalEntry transfer(vexlink06::TransferProtocol protocol, std::uint8_t reg, std::uint8_t value,
                      std::uint8_t address = 0x2e, bool failed = false)
{
    JournalEntry e;
    e.record.protocol = protocol;
    e.record.direction = protocol == vexlink06::TransferProtocol::WriteByte ? vexlink06::TransferDirection::Write
                                                                            : vexlink06::TransferDirection::Read;
    e.record.address = address;
    e.record.command = reg;
    e.record.data = {value};
    if (failed)
        e.record.error = "no acknowledge";
    return e;
}

TEST(Replay, FromTheJournalTheWritesInOrderAndTheReadsThatTellSomethingNew)
{
    using P = vexlink06::TransferProtocol;
    const std::deque<JournalEntry> journal{
        transfer(P::ReadByte, reg::LocalHighLimit, 0x55),              // first read: a check
        transfer(P::ReadByte, reg::LocalTemp, 0x28),                   // measured: no check
        transfer(P::ReadByte, reg::LocalHighLimit, 0x55),              // says nothing new
        transfer(P::WriteByte, reg::LocalHighLimit, 0x50),             // the user's write
        transfer(P::WriteByte, reg::Fan1TachLimit, 0x10, 0x2e, true),  // failed: not replayed
        transfer(P::WriteByte, reg::LocalHighLimit, 0x44, 0x50),       // another device
        transfer(P::ReadByte, reg::InterruptStatus1, 0x04),            // status: no check
        transfer(P::ReadByte, reg::LocalHighLimit, 0x50),              // after the write: a check
        transfer(P::ReadByte, reg::Configuration2, 0xFF),              // checked in the kept bits only
    };
    const Replay replay = replayFromJournal(journal, DeviceIdTFM4411, 0x2e);
    ASSERT_EQ(replay.steps.size(), 4u);
    EXPECT_FALSE(replay.steps[0].write);
    EXPECT_TRUE(replay.steps[1].write);
    EXPECT_EQ(replay.steps[1].value, 0x50);
    EXPECT_FALSE(replay.steps[2].write);
    EXPECT_EQ(replay.steps[2].value, 0x50);
    EXPECT_EQ(replay.steps[3].reg, reg::Configuration2);
    EXPECT_EQ(replay.steps[3].mask, keptBits(reg::Configuration2, DeviceIdTFM4411));
    EXPECT_EQ(replay.steps[3].mask & bits::Config2SoftwareReset, 0);

    // What it writes, the command line's replay reads back as it was.
    const ReplayResult back = parseReplayJson(replayText(SetupFormat::Json, replay, header()));
    ASSERT_TRUE(back) << back.error;
    EXPECT_EQ(back.replay->steps.size(), replay.steps.size());

    // A register the single-channel chip lacks is neither written nor checked.
    const std::deque<JournalEntry> dual{transfer(P::WriteByte, reg::Fan2TachLimit, 0x20)};
    EXPECT_TRUE(replayFromJournal(dual, DeviceIdTFM4410, 0x2e).steps.empty());
}

// The header builds warning-free as C99 and C++17, used and unused.
class SetupHeaderCompileTest : public ::testing::TestWithParam<int> { };

TEST_P(SetupHeaderCompileTest, CompilesWithWarningsAsErrors)
{
    support::TestFolder dir("fanscope-setup-c-");
    const int id = GetParam();
    dir.write("setup.h", setupText(SetupFormat::C, planSetup(id, tunedSet(id)), header()));
    dir.write("empty.c", "#include \"setup.h\"\n");
    dir.write("empty.cpp", "#include \"setup.h\"\n");
    const std::string lo = id == DeviceIdTFM4410 ? "tfm4410" : "tfm4411";
    const std::string use = "#include \"setup.h\"\n"
                            "static int w(void *c, uint8_t a, uint8_t r, uint8_t v) { (void)c; (void)a; (void)r; "
                            "(void)v; return 0; }\n"
                            "static int r(void *c, uint8_t a, uint8_t g, uint8_t *v) { (void)c; (void)a; (void)g; "
                            "*v = 0; return 0; }\n"
                            "int main(void) { return (int)" +
                            lo + "_setup_apply(0, w, r); }\n";
    dir.write("use.c", use);
    dir.write("use.cpp", use);
    support::RunOptions o;
    o.dir = dir.path;
    o.timeout = std::chrono::seconds(60);
    for (const auto& [compiler, standard, source] :
         std::vector<std::array<std::string, 3>>{{"/usr/bin/gcc", "-std=c99", "empty.c"},
                                                 {"/usr/bin/gcc", "-std=c99", "use.c"},
                                                 {"/usr/bin/g++", "-std=c++17", "empty.cpp"},
                                                 {"/usr/bin/g++", "-std=c++17", "use.cpp"}}) {
        const auto out = (dir.path / (source + ".o")).string();
        const auto r = support::runProcess(
            compiler,
            {standard, "-Wall", "-Wextra", "-Werror", "-pedantic", "-c", (dir.path / source).string(), "-o", out}, o);
        EXPECT_EQ(r.status, 0) << compiler << " " << standard << " " << source << "\n" << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(BothChips, SetupHeaderCompileTest, ::testing::Values(DeviceIdTFM4410, DeviceIdTFM4411));

}  // namespace
