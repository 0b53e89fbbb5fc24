// The board the window tests run on: one printer port carrying a TFM4411 and
// a TFM4410, in manual time so registers a test pokes stay as it set them.
// Each test program registers it once with
//   const auto* const g_board = ::testing::AddGlobalTestEnvironment(new testsupport::TwoChipBoard);
#pragma once

#include "support/board_environment.h"

#include <cstdint>

namespace testsupport {

inline constexpr std::uint8_t kTfm4411At = 0x5C;
inline constexpr std::uint8_t kTfm4410At = 0x58;

inline sim::Config twoChipConfig()
{
    sim::Config config;
    config.ports.front().chips = {sim::ChipConfig{}, tfm4410At(kTfm4410At)};
    return config;
}

class TwoChipBoard : public BoardEnvironment {
public:
    TwoChipBoard() : BoardEnvironment(twoChipConfig()) { }
};

inline sim::Chip& chipAt(std::uint8_t address) { return *sim::board().chip(address); }

// Points the program's register link at one of the two chips over the
// printer port, as the wizard's Finish leaves it.
inline void connectTo(std::uint8_t address, bool evaluationBoard = true)
{
    auto& link = device::RegisterLink;
    link.Medium = device::MediumPrinterPort;
    link.PrinterMedium = evaluationBoard ? 1 : 0;
    link.DeviceAddress = address;
    link.DeviceId = address == kTfm4410At ? device::DeviceIdTFM4410 : device::DeviceIdTFM4411;
}

}  // namespace testsupport
