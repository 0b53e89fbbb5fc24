// The faults of one port's bus, struck as the board clock and the bus
// traffic reach them. A bus device of its own, so the chips and the other
// devices know nothing of it.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "sim/chip.h"
#include "sim/clock.h"
#include "sim/faults.h"
#include "sim/bus_events.h"
#include "sim/smbus.h"

namespace sim {

class FaultSchedule : public BusDevice {
public:
    FaultSchedule(Bus& bus, const Clock& clock, std::vector<std::unique_ptr<Chip>>& chips);

    // Transfer counts start from the chip's count now.
    void add(const FaultConfig& fault);
    // Time-driven faults, brought up to the clock before every port access:
    // the PC sees a line only when it reads the port, so that is exact.
    void poll();

    void reset() override;
    void onLines(bool scl, bool sda) override;

private:
    struct Pending {
        FaultConfig fault;
        Chip* chip;
        uint64_t baseline;  // the chip's answered messages when added
    };
    void removeDueChips();
    bool active(FaultConfig::Kind kind, double now) const;

    Bus& m_bus;
    const Clock& m_clock;
    std::vector<std::unique_ptr<Chip>>& m_chips;
    Bus::DriverId m_stuck;             // the held lines
    Bus::DriverId m_talker;            // the other master
    std::vector<FaultConfig> m_lines;  // SclLow, SdaLow, OtherMaster
    std::vector<Pending> m_gone;       // ChipGone, per chip, until struck
    LineWatch m_watch;
    bool m_inFrame = false;
    bool m_armed = false;
    int m_bit = 1;
    int m_falls = 0;
};

}  // namespace sim
