#include "signalling.h"

#include <cmath>

#include "comms_state.h"
#include "parallel_port.h"
#include "timing.h"

namespace vexlink06 {
namespace {

inline void writeCode(std::uint8_t code)
{
    const CommsState& s = commsState();
    GPortout(s.portAddress, static_cast<std::uint8_t>(code | s.bitsToStayHigh));
}

inline std::uint8_t readStatus() { return GPortin(portRegister(commsState().portAddress, 1)); }

inline bool inverted() { return commsState().dataInverted != False; }

bool Clockhigh()
{
    const bool bit5 = (readStatus() & 0x20) != 0;
    return inverted() ? !bit5 : bit5;
}

bool linesMatch(std::uint8_t pattern) { return (readStatus() & 0x30) == pattern; }

bool ClockLowDataLow() { return linesMatch(commsState().patterns.clockLowDataLow); }
bool ClockhighDataLow() { return linesMatch(commsState().patterns.clockHighDataLow); }

// "check SCL": the clock must have risen, or another master holds it.
bool checkClockHigh()
{
    CommsState& s = commsState();
    if (s.arbitrationOn != False && !Clockhigh()) {
        s.arbitrationLost = True;
        return true;
    }
    return false;
}

// The claim wrapper around one primitive: begin() tells whether to run the
// sequence; end() releases what begin() claimed, unless locked.
class Claim {
public:
    Claim()
    {
        const CommsState& s = commsState();
        if (s.portClaimed != False || s.lockPortOpen != False) {
            m_usable = true;
        } else if (OKtoStartCom()) {
            m_usable = true;
            m_own = true;
        }
    }
    bool usable() const { return m_usable; }
    void end()
    {
        if (m_own && commsState().lockPortOpen == False)
            StopCom();
    }

private:
    bool m_usable = false;
    bool m_own = false;
};

}  // namespace

void writeHH() { writeCode(commsState().codes.clockHighDataHigh); }
void writeHL() { writeCode(commsState().codes.clockHighDataLow); }
void writeLL() { writeCode(commsState().codes.clockLowDataLow); }
void writeLH() { writeCode(commsState().codes.clockLowDataHigh); }

bool ClockLowDataHigh() { return linesMatch(commsState().patterns.clockLowDataHigh); }
bool ClockhighDatahigh() { return linesMatch(commsState().patterns.clockHighDataHigh); }

bool CheckArbitration(int expected)
{
    CommsState& s = commsState();
    if (s.arbitrationOn == False)
        return false;
    bool differs = false;
    switch (expected) {
    case 0: differs = !ClockLowDataLow(); break;
    case 1: differs = !ClockLowDataHigh(); break;
    case 2: differs = !ClockhighDataLow(); break;
    case 3: differs = !ClockhighDatahigh(); break;
    case 4: differs = !Clockhigh(); break;
    default: return s.arbitrationLost != False;
    }
    s.arbitrationLost = differs ? True : False;
    return differs;
}

void GStartBit()
{
    Claim claim;
    if (!claim.usable())
        return;
    writeHH();
    if (CheckArbitration(3))
        return;
    InternalDelay();
    writeHL();
    if (CheckArbitration(2))
        return;
    InternalDelay();
    writeLL();
    claim.end();
}

void GStopBit()
{
    Claim claim;
    if (!claim.usable())
        return;
    writeLL();
    InternalDelay();
    writeHL();
    if (CheckArbitration(2))
        return;
    InternalDelay();
    writeHH();
    if (CheckArbitration(3))
        return;
    claim.end();
}

void GPreStart()
{
    Claim claim;
    if (!claim.usable())
        return;
    CommsState& s = commsState();
    auto lostAt = [&s](bool (*test)()) {
        if (s.arbitrationOn != False && !test()) {
            s.arbitrationLost = True;
            return true;
        }
        return false;
    };
    writeLL();
    InternalDelay();
    writeLH();
    if (lostAt(ClockLowDataHigh))
        return;
    writeLH();
    if (lostAt(ClockLowDataHigh))
        return;
    InternalDelay();
    writeHH();
    if (lostAt(ClockhighDatahigh))
        return;
    claim.end();
}

std::int32_t nearestInt32(float value)
{
    // rint rounds halves to even under the default rounding mode. Like
    // any conversion to a 32-bit integer, a value outside that range is an
    // overflow rather than some arbitrary byte on the bus; the range is the
    // two's-complement one, so -2147483648 is a value like any other.
    const double rounded = std::rint(static_cast<double>(value));
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        throw ComError::overflow();
    return static_cast<std::int32_t>(rounded);
}

void GWriteData(float value)
{
    const auto byte = static_cast<std::uint8_t>(nearestInt32(value) & 0xFF);
    Claim claim;
    if (!claim.usable())
        return;
    for (int i = 0; i < 8; ++i) {
        const bool one = (byte >> (7 - i)) & 1;
        if (!one) {
            InternalDelay();
            writeLL();
            writeHL();
            if (CheckArbitration(2))
                return;
            InternalDelay();
            writeLL();
        } else {
            InternalDelay();
            writeLH();
            if (CheckArbitration(1))
                return;
            InternalDelay();
            writeHH();
            if (CheckArbitration(3))
                return;
            InternalDelay();
            writeLH();
            // After the last falling edge the receiver may already pull SDA
            // for its acknowledge.
            if (i < 7 && CheckArbitration(1))
                return;
            InternalDelay();
        }
        writeLL();
    }
    claim.end();
}

float GReadData()
{
    Claim claim;
    if (!claim.usable())
        return 0;
    const std::uint8_t senseBit = commsState().videoSoftware != False ? 0x08 : 0x10;
    int b = 7;
    unsigned r = 0;
    writeLL();
    for (int i = 0; i < 8; ++i) {
        InternalDelay();
        writeLH();
        writeHH();
        if (CheckArbitration(4))
            return 0;
        InternalDelay();
        const std::uint8_t status = readStatus();
        writeLH();
        if (status & senseBit)
            r |= 1U << b;
        if (b > 0)
            --b;
    }
    // A sense bit of 1 is a low line on the inverting adapter; a plain
    // adapter already presents the bus data.
    if (commsState().patterns.clockLowDataLow == kInvertedPatterns.clockLowDataLow)
        r ^= 0xFF;
    claim.end();
    return static_cast<float>(r);
}

void GAck()
{
    Claim claim;
    if (!claim.usable())
        return;
    InternalDelay();
    writeLH();
    writeHH();
    if (CheckArbitration(4))
        return;
    InternalDelay();
    writeLH();
    writeLL();
    claim.end();
}

void GNAck()
{
    Claim claim;
    if (!claim.usable())
        return;
    writeLH();
    writeHH();
    if (checkClockHigh())
        return;
    InternalDelay();
    writeLH();
    writeLL();
    claim.end();
}

void GMAck()
{
    Claim claim;
    if (!claim.usable())
        return;
    writeLL();
    writeHL();
    if (checkClockHigh())
        return;
    InternalDelay();
    writeLL();
    claim.end();
}

bool GCheckAck()
{
    Claim claim;
    if (!claim.usable())
        return false;
    writeLH();
    writeHH();
    if (checkClockHigh())
        return false;
    const bool bit4 = (readStatus() & 0x10) != 0;
    const bool acknowledged = inverted() ? bit4 : !bit4;
    InternalDelay();
    writeLH();
    writeLL();
    claim.end();
    return acknowledged;
}

void GWaitAck()
{
    Claim claim;
    if (!claim.usable())
        return;
    CommsState& s = commsState();
    s.timerMark = Timer();
    writeLH();
    writeHH();
    if (checkClockHigh())
        return;
    while (Timer() < s.timerMark + 0.1)
        yieldEventLoop();
    writeLH();
    writeLL();
    claim.end();
}

VBool WAck(std::uint8_t timeoutSeconds)
{
    CommsState& s = commsState();
    bool claimedHere = false;
    if (s.portClaimed == False) {
        if (!OKtoStartCom())
            return False;
        claimedHere = true;
    }
    Portout(s.portAddress, static_cast<std::uint8_t>(s.codes.clockLowDataHigh | s.bitsToStayHigh));
    s.timerMark = Timer() + timeoutSeconds;
    const double deadline = s.timerMark;
    for (;;) {
        const bool bit4 = (Portin(portRegister(s.portAddress, 1)) & 0x10) != 0;
        if (inverted() ? bit4 : !bit4)
            break;
        yieldEventLoop();
        if (Timer() > deadline)
            return False;
    }
    writeHL();
    InternalDelay();
    writeLL();
    if (claimedHere && s.lockPortOpen == False)
        StopCom();
    return True;
}

void SetBitsToStayHigh(std::uint8_t bits)
{
    CommsState& s = commsState();
    s.bitsToStayHigh = bits;
    if (OKtoStartCom()) {
        writeHH();
        if (s.lockPortOpen == False)
            StopCom();
    }
}

}  // namespace vexlink06
