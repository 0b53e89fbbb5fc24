// The one process-wide record of the printer-port path: port selection, line
// codes, delays and arbitration state. Every PrinterPort, SMBusProtocall and
// register object reads and writes it; FrameDelay and RelativeDelayOn are
// shared with SMBus and EEPROM. Single-threaded by design: no lock.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "vexlink06/types.h"

namespace vexlink06 {

struct LineCodes {
    std::uint8_t clockHighDataHigh = 0;
    std::uint8_t clockHighDataLow = 0;
    std::uint8_t clockLowDataLow = 0;
    std::uint8_t clockLowDataHigh = 0;
};

// Expected status AND 0x30 for each line state.
struct StatusPatterns {
    std::uint8_t clockHighDataHigh = 0;
    std::uint8_t clockHighDataLow = 0;
    std::uint8_t clockLowDataLow = 0;
    std::uint8_t clockLowDataHigh = 0;
};

// Inverting adapter (the standard board): a drive bit of 1 pulls its line
// low, a sense bit reads 1 while its line is low.
inline constexpr LineCodes kInvertedCodes{0, 2, 3, 1};
inline constexpr StatusPatterns kInvertedPatterns{0x00, 0x10, 0x30, 0x20};
inline constexpr LineCodes kPlainCodes{3, 1, 0, 2};
inline constexpr StatusPatterns kPlainPatterns{0x30, 0x20, 0x00, 0x10};

inline constexpr std::size_t kPECDataSize = 38;

struct CommsState {
    std::int32_t portAddress = 0;
    std::uint8_t portAddressIndex = 0;
    std::uint8_t detectedPortCount = 0;
    std::vector<std::int32_t> detectedPortAddresses;
    VBool portsScanned = False;
    VBool noClaimNeeded = False;
    VBool portClaimed = False;
    VBool lockPortOpen = False;
    std::uint8_t deviceAddress = 0;
    VBool dataInverted = False;
    LineCodes codes = kInvertedCodes;
    StatusPatterns patterns = kInvertedPatterns;
    std::uint8_t bitsToStayHigh = 0;
    std::uint8_t orBits = 0;
    float delay = 0;
    float frameDelay = 0;
    VBool relativeDelayOn = False;
    // Start time (seconds) or pass counter of the running wait. Double, so a
    // short pause keeps its length however long the clock has run.
    double timerMark = 0;
    VBool arbitrationOn = False;
    std::int16_t maxArbitrationDenials = 20;
    std::int16_t arbitrationDenials = 0;
    VBool arbitrationLost = False;
    std::uint32_t randomWaitDeadline = 0;
    VBool repeatedStart = False;
    VBool videoSoftware = False;
    std::array<std::int16_t, kPECDataSize> pecData{};
    VBool actAsMaster = False;
    VBool checkForAck = False;
    VBool thereWasNoAck = False;
    std::uint8_t addressPointer = 0;
};

namespace detail {
extern CommsState g_commsState;
}

inline CommsState& commsState() { return detail::g_commsState; }

// Loads the code and pattern sets for -1 (inverting) or 0 (plain); any other
// value stores only the flag.
void applyDataInverted(VBool inverted);

// Seeds the back-off generator on the first call in the process.
void InitialiseGlobalComponents();

// Uniform in [0, 1), from the generator seeded above.
double randomUnit();

}  // namespace vexlink06
