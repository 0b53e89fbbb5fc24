// The kernel-adapter class over the simulated PC's adapters: what reaches
// the chip, and every failure as the sentence a user reads.
#include <gtest/gtest.h>

#include <functional>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

namespace {

using vexlink06::AdapterError;
using vexlink06::AdapterFailure;
using vexlink06::KernelAdapter;

// The default board's adapter plus a USB bridge with a TFM4410 of its own,
// one without PEC that a kernel driver shares, and one that is unplugged
// after three transfers.
sim::Config boardWithBridges()
{
    sim::Config c;
    sim::I2cAdapterConfig bridge;
    bridge.number = 7;
    bridge.name = "CP-USB bridge";
    bridge.bus = "own";
    sim::ChipConfig single;
    single.variant = sim::ChipVariant::Tfm4410;
    single.address = 0x58;
    bridge.chips = {single};
    sim::I2cAdapterConfig noPec;
    noPec.number = 8;
    noPec.name = "no-PEC adapter";
    noPec.bus = "port0";
    noPec.pec = false;
    noPec.driverOwned = {0x2E};
    sim::I2cAdapterConfig vanishing;
    vanishing.number = 9;
    vanishing.name = "loose bridge";
    vanishing.bus = "port0";
    vanishing.vanishAfter = 3;
    c.i2cAdapters.push_back(bridge);
    c.i2cAdapters.push_back(noPec);
    c.i2cAdapters.push_back(vanishing);
    return c;
}

class KernelAdapterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::board().configure(boardWithBridges());
        m_adapter = KernelAdapter::create();
    }
    void TearDown() override
    {
        m_adapter.reset();
        sim::board().reset();
    }

    AdapterError failureOf(const std::function<void()>& call, std::string* text = nullptr)
    {
        try {
            call();
        } catch (const AdapterFailure& e) {
            if (text)
                *text = e.description();
            return e.code();
        }
        return AdapterError::None;
    }

    std::shared_ptr<KernelAdapter> m_adapter;
};

TEST_F(KernelAdapterTest, ListsEveryAdapterWithNameAndFunctionality)
{
    const auto list = m_adapter->Adapters();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].busName(), "i2c-1");
    EXPECT_EQ(list[0].Name, "SMBus I801 adapter at efa0");
    EXPECT_TRUE(list[0].offers(vexlink06::FuncSMBusByteData | vexlink06::FuncSMBusPEC));
    EXPECT_EQ(vexlink06::functionalityText(list[0].Functionality), "quick byte byte-data word-data block-data pec");
    EXPECT_EQ(vexlink06::functionalityText(list[2].Functionality), "quick byte byte-data word-data block-data");
    EXPECT_EQ(list[1].Name, "CP-USB bridge");
    EXPECT_EQ(m_adapter->ListStatus(), AdapterError::None);
}

TEST_F(KernelAdapterTest, FindsBusByNumberPrefixedNumberOrExactName)
{
    EXPECT_EQ(m_adapter->FindBus("7"), 7);
    EXPECT_EQ(m_adapter->FindBus("i2c-8"), 8);
    EXPECT_EQ(m_adapter->FindBus("CP-USB bridge"), 7);
    EXPECT_EQ(m_adapter->FindBus("cp-usb bridge"), -1);
    EXPECT_EQ(m_adapter->FindBus("i2c-"), -1);
}

TEST_F(KernelAdapterTest, ByteDataReadsAndWritesReachTheBoardChip)
{
    m_adapter->setBus(1);
    EXPECT_EQ(m_adapter->PortRead(0x2E, 0x3D), 0x31);
    m_adapter->PortWrite(0x2E, 0x22, 0x9A);
    EXPECT_EQ(sim::board().chip(0x5C)->peek(0x22), 0x9A);
    sim::Bus& bus = sim::board().port(0)->bus();
    bus.setTracing(true);
    m_adapter->PortRead(0x2E, 0x3E);
    EXPECT_EQ(bus.traceText(), "S 5C+ 3E+ Sr 5D+ 46- P");
    bus.setTracing(false);
}

TEST_F(KernelAdapterTest, TheBridgeCarriesItsOwnChip)
{
    m_adapter->setBus(7);
    EXPECT_EQ(m_adapter->PortRead(0x2C, 0x3D), 0x30);
    EXPECT_EQ(failureOf([&] { m_adapter->PortRead(0x2E, 0x3D); }), AdapterError::NoAck);
}

TEST_F(KernelAdapterTest, WordAndBlockTransfersWithAndWithoutPec)
{
    m_adapter->setBus(1);
    // A word read takes two successive registers, low byte first.
    EXPECT_EQ(m_adapter->ReadWord(0x2E, 0x3D), 0x4631);
    m_adapter->BlockWrite(0x2E, 0xA0, {1, 2, 3});
    const auto plain = m_adapter->BlockRead(0x2E, 0xA1);
    ASSERT_EQ(plain.size(), 32u);
    m_adapter->setUsePEC(vexlink06::True);
    std::vector<std::uint8_t> block(32);
    for (int i = 0; i < 32; ++i)
        block[static_cast<size_t>(i)] = static_cast<std::uint8_t>(0xF0 - i);
    m_adapter->BlockWrite(0x2E, 0xA0, block);
    EXPECT_EQ(sim::board().chip(0x5C)->block()[5], 0xEB);
    EXPECT_EQ(m_adapter->BlockRead(0x2E, 0xA1), block);
    // Byte transfers never carry the PEC, so register writes stay single bytes.
    m_adapter->PortWrite(0x2E, 0x22, 0x11);
    EXPECT_EQ(sim::board().chip(0x5C)->peek(0x23), 0x50);
}

TEST_F(KernelAdapterTest, PecOnAnAdapterWithoutItIsRefusedInWords)
{
    m_adapter->setBus(8);
    m_adapter->setForce(vexlink06::True);
    m_adapter->setUsePEC(vexlink06::True);
    std::string text;
    EXPECT_EQ(failureOf([&] { m_adapter->BlockRead(0x2E, 0xA1); }, &text), AdapterError::Unsupported);
    EXPECT_EQ(text, "i2c-8 does not offer packet error checking.");
    m_adapter->setUsePEC(vexlink06::False);
    EXPECT_EQ(m_adapter->BlockRead(0x2E, 0xA1).size(), 32u);
}

TEST_F(KernelAdapterTest, DriverOwnedAddressNeedsForce)
{
    m_adapter->setBus(8);
    std::string text;
    EXPECT_EQ(failureOf([&] { m_adapter->PortRead(0x2E, 0x3D); }, &text), AdapterError::DriverOwned);
    EXPECT_EQ(text, "A kernel driver is using the device at address 2Eh on i2c-8; use force only if you know "
                    "the driver is idle.");
    m_adapter->setForce(vexlink06::True);
    EXPECT_EQ(m_adapter->PortRead(0x2E, 0x3D), 0x31);
}

TEST_F(KernelAdapterTest, UnpluggedBridgeSaysSoAndStaysGone)
{
    m_adapter->setBus(9);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(m_adapter->PortRead(0x2E, 0x3D), 0x31);
    std::string text;
    EXPECT_EQ(failureOf([&] { m_adapter->PortRead(0x2E, 0x3D); }, &text), AdapterError::Gone);
    EXPECT_EQ(text, "i2c-9 has gone away: was the adapter unplugged?");
    EXPECT_EQ(failureOf([&] { m_adapter->PortRead(0x2E, 0x3D); }), AdapterError::Gone);
    EXPECT_EQ(m_adapter->Adapters().size(), 3u);
}

struct SetupCase {
    const char* name;
    const char* json;
    int bus;
    AdapterError expected;
    const char* text;
};

class AdapterSetupTest : public ::testing::TestWithParam<SetupCase> { };

TEST_P(AdapterSetupTest, FailureReachesTheUserAsASentence)
{
    const SetupCase& c = GetParam();
    sim::board().configure(sim::parseConfig(c.json));
    auto adapter = KernelAdapter::create();
    adapter->setBus(c.bus);
    try {
        adapter->PortRead(0x2E, 0x3D);
        ADD_FAILURE() << "no failure";
    } catch (const AdapterFailure& e) {
        EXPECT_EQ(e.code(), c.expected);
        EXPECT_EQ(e.description(), c.text);
    }
    sim::board().reset();
}

INSTANTIATE_TEST_SUITE_P(
    Kernel, AdapterSetupTest,
    ::testing::Values(
        SetupCase{"moduleNotLoaded", R"({"i2cDev": false})", 1, AdapterError::NoDeviceFiles,
                  "There are no /dev/i2c-* device files: load the i2c-dev module (sudo modprobe i2c-dev)."},
        SetupCase{"noSuchAdapter", "{}", 4, AdapterError::NoAdapter, "There is no adapter i2c-4."},
        SetupCase{"permission", R"({"i2cAdapters": [{"accessDenied": true}]})", 1, AdapterError::NoPermission,
                  "Permission denied on /dev/i2c-1: join the group that owns it (usually i2c) and log in again."},
        SetupCase{"noChip", R"({"ports": [{"chips": []}]})", 1, AdapterError::NoAck,
                  "No device answered at address 2Eh on i2c-1."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KernelAdapterListing, ModuleNotLoadedListsNothingAndSaysWhy)
{
    sim::board().configure(sim::parseConfig(R"({"i2cDev": false})"));
    auto adapter = KernelAdapter::create();
    EXPECT_TRUE(adapter->Adapters().empty());
    EXPECT_EQ(adapter->ListStatus(), AdapterError::NoDeviceFiles);
    sim::board().reset();
}

}  // namespace
