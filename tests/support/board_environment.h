// The simulated boards the tests of the device layer and the windows run on.
// The library reads the board once, so a test program sets it before the
// first touch, by registering one environment:
//   const auto* const g_env = ::testing::AddGlobalTestEnvironment(new testsupport::BoardEnvironment(config));
#pragma once

#include <gtest/gtest.h>

#include <sim/sim.h>
#include <vexlink06/vexlink06.h>

#include "device/register_link.h"

#include <cstdint>
#include <utility>

namespace testsupport {

inline sim::ChipConfig tfm4410At(std::uint8_t address)
{
    sim::ChipConfig chip;
    chip.variant = sim::ChipVariant::Tfm4410;
    chip.address = address;
    return chip;
}

// A TFM4411 on the printer port at 0x5C and a TFM4410 on the motherboard
// SMBus at 0x5A (7-bit 0x2D), so each path answers with its own chip.
inline sim::Config printerAndChipsetBoard()
{
    sim::Config config;
    config.motherboard.chips = {tfm4410At(0x5A)};
    return config;
}

class BoardEnvironment : public ::testing::Environment {
public:
    // 240: the high bits the program sets at start-up (4 to 7: both heaters on).
    explicit BoardEnvironment(sim::Config config, std::uint8_t bitsToStayHigh = 240)
        : m_config(std::move(config)), m_bitsToStayHigh(bitsToStayHigh)
    { }

    void SetUp() override
    {
        m_config.time = sim::TimeMode::Manual;  // registers poked by tests stay put
        sim::board().configure(m_config);
        device::ComPort()->PrinterPort()->SMBusProtocall()->setBitsToStayHigh(m_bitsToStayHigh);
    }

private:
    sim::Config m_config;
    std::uint8_t m_bitsToStayHigh;
};

}  // namespace testsupport
