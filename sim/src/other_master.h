// A second master on a port's bus that disturbs the PC's first attempts.
#pragma once
#include "sim/config.h"
#include "sim/bus_events.h"
#include "sim/smbus.h"

namespace sim {

class OtherMaster : public BusDevice {
public:
    OtherMaster(Bus& bus, const OtherMasterConfig& config);

    // The PC read the status register; `pcReleased` = the PC drives neither
    // line. Outside a transaction that is the check before a start.
    void onStatusRead(bool pcReleased);
    int remaining() const { return m_remaining; }

    void reset() override;
    void onLines(bool scl, bool sda) override;

private:
    Bus& m_bus;
    Bus::DriverId m_id;
    OtherMasterConfig m_config;
    int m_remaining = 0;
    LineWatch m_lines;
    bool m_inFrame = false;
    bool m_armed = false;  // pulling SDA for the chosen bit of this attempt
    int m_falls = 0;       // SCL falling edges since the start
};

}  // namespace sim
