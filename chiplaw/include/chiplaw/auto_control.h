#pragma once
// The chip's automatic fan-speed control law: what the Tmin/Trange codes
// mean in degrees, which temperature channels drive which fan, and the duty a
// channel asks for. The program draws its control curves from these numbers
// and the simulated chip runs its fans by them, so both agree by
// construction. Header-only and standard library only, below both: neither
// the simulator nor the program includes the other for it. Numbers and a
// picture: docs/auto-control.md.

#include <algorithm>
#include <array>
#include <cstdint>

namespace chiplaw {

// Tmin/Trange registers (24h local, 25h remote 1, 26h remote 2): Tmin in
// bits 7..3 in steps of 4 degrees, the range code in bits 2..0.
inline constexpr int TminStepDegrees = 4;
inline constexpr int TminCodeCount = 32;  // codes 0..31: 0 .. 124 degrees
// Degrees over which the duty rises from its minimum to full, per range
// code. Codes 5..7 are not offered by the program; the part treats them as
// the widest range.
inline constexpr std::array<int, 8> TrangeDegrees{5, 10, 20, 40, 80, 80, 80, 80};
inline constexpr int TrangeOfferedCodes = 5;  // codes 0..4 have an entry of their own

inline constexpr std::uint8_t TminMask = 0xF8;
inline constexpr std::uint8_t TrangeMask = 0x07;

constexpr int tminCode(int tminTrange) { return (tminTrange & TminMask) >> 3; }
constexpr int trangeCode(int tminTrange) { return tminTrange & TrangeMask; }
constexpr int tminDegrees(int tminTrange) { return TminStepDegrees * tminCode(tminTrange); }
constexpr int trangeDegrees(int tminTrange) { return TrangeDegrees[static_cast<std::size_t>(trangeCode(tminTrange))]; }

// The fan's minimum duty in automatic control: its Fan Speed Configuration
// nibble as fifteenths of full duty (code 0 keeps the fan off below Tmin).
constexpr double minimumDuty(int dutyCode) { return std::clamp(dutyCode, 0, 15) / 15.0; }

// Duty (0..1) one channel asks for at `degrees`: the minimum below Tmin,
// rising in a straight line to full duty at Tmin + Trange, full above.
constexpr double channelDuty(double degrees, int tminC, int trangeC, double minDuty)
{
    if (degrees < tminC)
        return minDuty;
    if (trangeC <= 0)
        return 1.0;
    return std::min(1.0, minDuty + (1.0 - minDuty) * (degrees - tminC) / trangeC);
}

// A channel whose diode is open has no temperature; the chip then cools as
// hard as it can.
inline constexpr double OpenDiodeDuty = 1.0;

// Channel numbers: 0 local, 1 remote 1, 2 remote 2.
inline constexpr int ChannelLocal = 0;
inline constexpr int ChannelRemote1 = 1;
inline constexpr int ChannelRemote2 = 2;

// The channels (bit n = channel n) whose duty drives fan 0 or 1 for the
// control-operation bits 6..5 of Configuration 1. The fan runs at the
// largest duty its channels ask for. 0: remote 1 drives fan 1, remote 2
// fan 2; 1: remote 1 both; 2: remote 2 both; 3: local and every remote
// channel both. The single-channel chip has only remote 1 (and local for 3).
constexpr unsigned drivingChannels(int configuration1, int fan, bool dual)
{
    const int op = (configuration1 >> 5) & 3;
    if (op == 3)
        return dual ? 0b111u : 0b011u;
    if (!dual)
        return 1u << ChannelRemote1;
    if (op == 2 || (op == 0 && fan == 1))
        return 1u << ChannelRemote2;
    return 1u << ChannelRemote1;
}

}  // namespace chiplaw
