// The chipset SMBus path end to end: the real library, the sim helper
// loaded by name, and the simulated motherboard with a chip on its SMBus.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include <sim/board.h>
#include <sim/motherboard.h>
#include <vexlink06/vexlink06.h>

namespace {

using sim::SouthBridgePreset;
using vexlink06::SMBus;

constexpr uint8_t kChip7 = 0x2E;  // the chip's 7-bit address
constexpr uint8_t kDeviceIdReg = 0x3D;
constexpr uint8_t kLocalTmin = 0x24;  // a writable register

class ChipsetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vexlink06::setMessageHook(
            [this](const std::string& title, const std::string& text) { m_messages.push_back(title + ": " + text); });
    }
    void TearDown() override
    {
        vexlink06::setMessageHook({});
        EXPECT_TRUE(m_messages.empty()) << m_messages.front();
    }

    // A board with `preset` and, unless `withChip` is false, a TFM4411 at
    // 0x2E on the motherboard SMBus; then a fresh search.
    std::shared_ptr<SMBus> boardWith(SouthBridgePreset preset, bool withChip = true)
    {
        sim::Config config;
        config.motherboard.southBridge = preset;
        if (withChip) {
            sim::ChipConfig chip;
            chip.address = kChip7 << 1;
            config.motherboard.chips.push_back(chip);
        }
        sim::board().configure(config);
        sim::motherboard().clearConfigLog();
        return SMBus::create();
    }

    sim::Chip* chip() { return sim::board().findChip(sim::board().motherboardBus(), kChip7 << 1); }

    std::vector<std::string> m_messages;
};

// ---- The south-bridge search ------------------------------------------------

struct PresetCase {
    SouthBridgePreset preset;
    const char* description;
    int32_t deviceId;
    double base;
    // Where the enabling write landed: device, function, register, bit.
    sim::PciConfigWrite enable;
};

class SearchTest : public ChipsetTest, public ::testing::WithParamInterface<PresetCase> { };

TEST_P(SearchTest, FindsConfiguresAndReachesTheChip)
{
    const PresetCase& c = GetParam();
    auto smbus = boardWith(c.preset);
    EXPECT_EQ(smbus->GetChipsetINFO(), c.description);
    EXPECT_EQ(smbus->DeviceID(), c.deviceId);
    EXPECT_EQ(smbus->SMBusBaseAddress(), c.base);

    bool enabled = false;
    for (const sim::PciConfigWrite& w : sim::motherboard().configWrites())
        if (w.bus == 0 && w.device == c.enable.device && w.function == c.enable.function && w.reg == c.enable.reg)
            enabled = enabled || (w.value & c.enable.value) != 0;
    EXPECT_TRUE(enabled);

    // The family chosen by the identifier really talks to the controller.
    EXPECT_EQ(smbus->PortRead(kChip7, kDeviceIdReg), 0x31);
}

const sim::PciConfigWrite ichEnable{0, 31, 3, 0x40, 0x10000};

INSTANTIATE_TEST_SUITE_P(
    Presets, SearchTest,
    ::testing::Values(
        PresetCase{SouthBridgePreset::Piix4,
                   "PIIX4 Type, Bus:0,Dev:7,Fn:3,Reg:0",
                   0x71138086,
                   0x5000,
                   {0, 7, 3, 0xD0, 0x10000}},
        PresetCase{SouthBridgePreset::Ich2418, "ICH Type  , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24188086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ich2428, "ICH 0     , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24288086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ich2413, "ICH Type  , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24138086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ich2423, "ICH 0     , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24238086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ich2443, "ICH 2     , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24438086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ich2445, "ICH Type  , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24458086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ich2483, "ICH 3     , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24838086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ich24C3, "ICH 4     , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24C38086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ich24D3, "ICH 5     , Bus:0,Dev:0,Fn:FB,Reg:0", 0x24D38086, 0x400, ichEnable},
        PresetCase{SouthBridgePreset::Ali7101,
                   "ALi M1535+, Bus:0, Dev:0,Fn:1E,Reg:0",
                   0x710110B9,
                   0x6000,
                   {0, 3, 6, 0xF0, 0x1}},
        PresetCase{SouthBridgePreset::IntelHostBridge, "ICH Type Undefined", 1, 0x400, ichEnable}));

TEST_F(ChipsetTest, Piix4AtItsUsualPlaceIsFoundWithoutScanning)
{
    auto smbus = boardWith(SouthBridgePreset::Piix4);
    // The first read recognises it; the rest configure it.
    EXPECT_LT(sim::motherboard().configReads(), 8u);
}

TEST_F(ChipsetTest, ARecognisedControllerReplacesAnEarlierGenericIdentifier)
{
    auto generic = boardWith(SouthBridgePreset::IntelHostBridge);
    ASSERT_EQ(generic->DeviceID(), 1);
    auto piix4 = boardWith(SouthBridgePreset::Piix4);
    EXPECT_EQ(piix4->DeviceID(), 0x71138086);
    EXPECT_EQ(piix4->SMBusBaseAddress(), 0x5000);
}

TEST_F(ChipsetTest, UnknownBoardIsUnsupportedAndTouchesNothing)
{
    boardWith(SouthBridgePreset::Ich24D3)->setDeviceID(0);  // as at start-up
    auto smbus = boardWith(SouthBridgePreset::None);
    EXPECT_EQ(smbus->DeviceID(), 0);
    EXPECT_EQ(smbus->GetChipsetINFO(), "Unsupported and unrecognised");
    EXPECT_TRUE(sim::motherboard().configWrites().empty());
    // 1 + 33 x 256 identifier reads, then the host bridge.
    EXPECT_EQ(sim::motherboard().configReads(), 1u + 33u * 256u + 1u);

    sim::board().motherboardBus().setTracing(true);
    const uint8_t before = chip()->peek(kLocalTmin);
    EXPECT_EQ(smbus->DevicePresent(kChip7), vexlink06::False);
    EXPECT_EQ(smbus->PortRead(kChip7, kDeviceIdReg), 0);
    smbus->PortWrite(kChip7, kLocalTmin, static_cast<uint8_t>(before ^ 0x55));
    EXPECT_EQ(chip()->peek(kLocalTmin), before);
    EXPECT_TRUE(sim::board().motherboardBus().trace().empty());
}

// ---- Transfers by family ----------------------------------------------------

class TransferTest : public ChipsetTest, public ::testing::WithParamInterface<SouthBridgePreset> { };

TEST_P(TransferTest, ProbeReadAndWriteReachTheChip)
{
    auto smbus = boardWith(GetParam());
    EXPECT_EQ(smbus->DevicePresent(kChip7), vexlink06::True);
    EXPECT_EQ(smbus->DevicePresent(0x2D), vexlink06::False);

    smbus->PortWrite(kChip7, kLocalTmin, 0x5A);
    EXPECT_EQ(chip()->peek(kLocalTmin), 0x5A);
    chip()->poke(kLocalTmin, 0x3C);
    EXPECT_EQ(smbus->PortRead(kChip7, kLocalTmin), 0x3C);

    // Nobody answers at 0x2C: what the idle bus gives, and the next
    // transfer still works.
    EXPECT_EQ(smbus->PortRead(0x2C, kDeviceIdReg), 0xFF);
    EXPECT_EQ(smbus->PortRead(kChip7, kDeviceIdReg), 0x31);
}

TEST_P(TransferTest, ProbeWaitsForASlowController)
{
    auto smbus = boardWith(GetParam());
    sim::motherboard().setBusyStatusReads(40);
    EXPECT_EQ(smbus->DevicePresent(kChip7), vexlink06::True);
    EXPECT_EQ(smbus->DevicePresent(0x2D), vexlink06::False);
}

INSTANTIATE_TEST_SUITE_P(Families, TransferTest,
                         ::testing::Values(SouthBridgePreset::Piix4, SouthBridgePreset::Ich24D3,
                                           SouthBridgePreset::Ali7101));

TEST_F(ChipsetTest, SettingDeviceIdSwitchesTheSequences)
{
    auto smbus = boardWith(SouthBridgePreset::Ali7101);
    smbus->setDeviceID(0x24D38086);
    EXPECT_EQ(smbus->PortRead(kChip7, kDeviceIdReg), 0xFF);  // PIIX4 sequence on an ALi controller
    smbus->setDeviceID(0x710110B9);
    EXPECT_EQ(smbus->PortRead(kChip7, kDeviceIdReg), 0x31);

    auto ich = boardWith(SouthBridgePreset::Ich24D3);
    ich->setDeviceID(0x710110B9);
    EXPECT_NE(ich->PortRead(kChip7, kDeviceIdReg), 0x31);
}

TEST_F(ChipsetTest, PiixTransferOnADeadBaseEndsInsteadOfHanging)
{
    auto smbus = boardWith(SouthBridgePreset::None);
    smbus->setDeviceID(0x71138086);
    smbus->setSMBusBaseAddress(0x5000);  // nothing decodes there: status reads all ones
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(smbus->PortRead(kChip7, kDeviceIdReg), 0xFF);
    smbus->PortWrite(kChip7, kLocalTmin, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    smbus->setDeviceID(0);
}

// ---- Configuration space and raw ports ---------------------------------------

TEST_F(ChipsetTest, ConfigurationAddressesAreNotMaskedAndKeepTheReservedBits)
{
    auto smbus = boardWith(SouthBridgePreset::Ich24D3);
    EXPECT_EQ(smbus->ReadPCI(0, 31, 3, 0), 0x24D38086);
    EXPECT_EQ(smbus->ReadPCI(0, 0, 251, 0), 0x24D38086);
    sim::motherboard().setConfig(1, 0, 0, 0, 0x12348086);
    EXPECT_EQ(smbus->ReadPCI(0, 32, 0, 0), 0x12348086);  // device 32 is bus 1

    sim::motherboard().setConfigAddress(0x7F000003u | 0x00ABCD00u);
    smbus->ReadPCI(0, 31, 3, 0x08);
    EXPECT_EQ(sim::motherboard().configAddress(), 0x7F000003u | 0x8000FB08u);
}

struct WriteCase {
    double value;
    uint32_t written;
};

class WritePciTest : public ChipsetTest, public ::testing::WithParamInterface<WriteCase> { };

TEST_P(WritePciTest, CarriesUnsignedValues)
{
    auto smbus = boardWith(SouthBridgePreset::Ich24D3, false);
    smbus->WritePCI(0, 31, 3, 0x60, GetParam().value);
    EXPECT_EQ(sim::motherboard().config(0, 31, 3, 0x60), GetParam().written);
    EXPECT_EQ(smbus->ReadPCI(0, 31, 3, 0x60), static_cast<double>(GetParam().written));
}

INSTANTIATE_TEST_SUITE_P(Values, WritePciTest,
                         ::testing::Values(WriteCase{4294967295.0, 0xFFFFFFFF}, WriteCase{2147483648.0, 0x80000000},
                                           WriteCase{-1.0, 0x80000000}, WriteCase{-3e9, 0x80000000},
                                           WriteCase{4294967296.0, 0x80000000}, WriteCase{305419896.0, 0x12345678},
                                           WriteCase{0.0, 0},
                                           // The range is checked before rounding.
                                           WriteCase{-0.4, 0x80000000}, WriteCase{4294967295.4, 0x80000000},
                                           WriteCase{4294967294.6, 0xFFFFFFFF}, WriteCase{0.4, 0}));

TEST_F(ChipsetTest, RawPortsOpenEachAccessAndRefusedOnesAreSkipped)
{
    auto smbus = boardWith(SouthBridgePreset::Ich24D3, false);
    smbus->WriteBase(0x403, 0x5A);  // the host command register
    EXPECT_EQ(smbus->ReadBase(0x403), 0x5A);

    sim::motherboard().refusePort(0x404);
    smbus->WriteBase(0x404, 0x77);
    EXPECT_EQ(smbus->ReadBase(0x404), 0);

    EXPECT_THROW(smbus->WriteBase(0x403, 40000), vexlink06::ComError);
    EXPECT_EQ(smbus->ReadBase(0x403), 0x5A);
}

TEST_F(ChipsetTest, FrameDelayIsLimitedAndShared)
{
    auto smbus = boardWith(SouthBridgePreset::Ich24D3, false);
    smbus->setFrameDelay(-5);
    EXPECT_EQ(smbus->FrameDelay(), 0);
    smbus->setFrameDelay(2e10f);
    EXPECT_EQ(smbus->FrameDelay(), 1e10f);
    smbus->setFrameDelay(0);
}

}  // namespace
