// Many random transactions of every kind against the simulated board, with
// absent devices and, now and then, another master on the bus.
#include <array>
#include <map>
#include <random>

#include "fixture.h"

namespace commstest {
namespace {

using vexlink06::False;
using vexlink06::True;

// The full count runs in the plain build; the sanitizer build, ten times
// slower, runs a quarter of it to stay within its minute.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kTransactions = 25000;
#else
constexpr int kTransactions = 100000;
#endif

constexpr std::uint8_t kChip = 0x5C;
constexpr std::uint8_t kAbsent = 0x58;
// Limit registers: plain storage that the chip's own model leaves alone.
constexpr std::array<std::uint8_t, 4> kRegisters{0x14, 0x15, 0x18, 0x19};

class Soak : public CommsTest {
protected:
    void SetUp() override
    {
        CommsTest::SetUp();
        port().bus().setTracing(false);
        proto->setArbitrationOn(True);
    }

    void reconfigure(const sim::Config& config)
    {
        sim::board().configure(config);
        for (auto r : kRegisters)
            shadow[r] = chip().peek(r);
        memoryShadow.clear();
    }

    void expectShadow()
    {
        for (auto r : kRegisters)
            ASSERT_EQ(chip().peek(r), shadow[r]) << "register " << int(r);
    }

    std::map<std::uint8_t, std::uint8_t> shadow;
    std::map<std::uint16_t, std::uint8_t> memoryShadow;
};

TEST_F(Soak, RandomTransactionsKeepTheDeviceConsistent)
{
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    auto byte = [&] { return static_cast<std::uint8_t>(rng()); };

    reconfigure(sim::Config{});
    auto eeprom = printer->EEPROM();
    std::vector<std::int16_t> block(3 + 32);
    int interfered = 0;

    for (int n = 0; n < kTransactions; ++n) {
        // About one in a thousand transactions meets another master; some of
        // those outlast the retry limit.
        const bool interference = pick(1000) == 0;
        if (interference) {
            ++interfered;
            const bool holdClock = pick(2) == 0;
            const int attempts = 1 + pick(5);
            reconfigure(configWithOtherMaster(holdClock ? sim::OtherMasterConfig::Mode::HoldSclLow
                                                        : sim::OtherMasterConfig::Mode::WinArbitration,
                                              attempts, 1));
            proto->setMaxArbitrationDenials(static_cast<std::int16_t>(pick(4)));
        }
        const bool present = pick(8) != 0;
        const std::uint8_t device = present ? kChip : kAbsent;
        const std::uint8_t reg = kRegisters[static_cast<std::size_t>(pick(4))];
        const std::uint8_t value = byte();
        events.clear();

        switch (pick(8)) {
        case 0:
            proto->PortWrite(device, reg, value);
            if (present && events.empty())
                shadow[reg] = value;
            break;
        case 1: {
            proto->setRepeatedStart(pick(2) ? True : False);
            const std::uint8_t got = proto->PortRead(device, reg);
            if (events.empty()) {
                ASSERT_EQ(got, present ? shadow[reg] : 255) << "PortRead " << n;
            }
            break;
        }
        case 2: {
            const std::uint8_t pair = (reg & 0xFC) == 0x14 ? 0x14 : 0x18;
            proto->WriteWord(device, pair, static_cast<float>(value * 256 + reg));
            if (present && events.empty()) {
                shadow[pair] = value;
                shadow[static_cast<std::uint8_t>(pair + 1)] = reg;
            }
            break;
        }
        case 3: {
            const std::uint8_t pair = (reg & 0xFC) == 0x14 ? 0x14 : 0x18;
            const float got = proto->ReadWord(device, pair);
            if (events.empty()) {
                ASSERT_EQ(got, present ? shadow[pair] * 256.0F + shadow[static_cast<std::uint8_t>(pair + 1)] : 65535.0F)
                    << "ReadWord " << n;
            }
            break;
        }
        case 4: {
            proto->ShortWrite(device, reg);
            const bool pointed = events.empty();
            const std::uint8_t got = proto->ShortRead(device);
            if (pointed && events.empty()) {
                ASSERT_EQ(got, present ? shadow[reg] : 255) << "ShortRead " << n;
            }
            break;
        }
        case 5:
            proto->setDeviceAddress(device);
            proto->setUsePEC(pick(2) ? True : False);
            for (std::size_t i = 3; i < block.size(); ++i)
                block[i] = byte();
            proto->BlockWrite(32, block);
            break;
        case 6:
            proto->setDeviceAddress(device);
            proto->setUsePEC(pick(2) ? True : False);
            proto->BlockRead(0, 0);
            if (events.empty()) {
                ASSERT_TRUE(present) << "BlockRead " << n;
                if (proto->UsePEC() != False) {
                    ASSERT_EQ(proto->PECOK(), True) << "BlockRead " << n;
                }
                const auto data = proto->GetBlockReadData();
                for (std::size_t i = 0; i < 32; ++i)
                    ASSERT_EQ(data[i + 2], chip().block()[i]) << "BlockRead " << n;
            }
            break;
        default: {
            const auto high = static_cast<std::uint8_t>(pick(4));
            const auto address = static_cast<std::uint16_t>(high << 8 | reg);
            eeprom->setDeviceAddress(0xA0);
            if (pick(2)) {
                eeprom->WriteByte(high, reg, value);
            } else {
                const std::uint8_t got = eeprom->ReadByte(high, reg);
                const auto known = memoryShadow.find(address);
                if (!interference && known != memoryShadow.end()) {
                    ASSERT_EQ(got, known->second) << "ReadByte " << n;
                }
            }
            memoryShadow[address] = port().eeprom()->peek(address);
            break;
        }
        }
        for (const auto& e : events)
            ASSERT_TRUE(e.number == 1 || e.number == 2) << e.description;
        if (!interference && !events.empty()) {
            ASSERT_EQ(events[0].number, 1) << "only a missing device makes a block read fail; " << n;
        }
        expectShadow();

        if (interference) {
            reconfigure(sim::Config{});
            proto->setMaxArbitrationDenials(20);
            // A block transfer or memory access that gave up leaves the
            // counters set; the next byte transaction starts clean.
            proto->PortWrite(kChip, 0x14, 0xA5);
            ASSERT_EQ(proto->PortRead(kChip, 0x14), 0xA5) << "after interference " << n;
            shadow[0x14] = 0xA5;
        }
    }
    EXPECT_GT(interfered, 0);
}

}  // namespace
}  // namespace commstest
