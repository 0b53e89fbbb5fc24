// Bit-level SMBus primitives on the two port lines. Each runs directly while
// the port is claimed or locked; otherwise it claims around itself, and a
// failed claim makes it a no-op.
#pragma once

#include <cstdint>

#include "vexlink06/types.h"

namespace vexlink06 {

void GStartBit();
void GStopBit();
void GPreStart();
void GWriteData(float value);
float GReadData();
void GAck();
void GNAck();
void GMAck();
bool GCheckAck();
void GWaitAck();
VBool WAck(std::uint8_t timeoutSeconds);
void SetBitsToStayHigh(std::uint8_t bits);

// A float argument as the 32-bit integer it is sent as: nearest, halves to
// even; outside -2147483648..2147483647 (or NaN) fails with Overflow.
std::int32_t nearestInt32(float value);

// Expected state 0 = LL, 1 = LH, 2 = HL, 3 = HH, 4 = SCL high. Sets and
// returns ArbitrationLost when the lines differ; nothing while
// ArbitrationOn is False.
bool CheckArbitration(int expected);

// Drive the lines to one state (code OR BitsToStayHigh to the data register).
void writeHH();
void writeHL();
void writeLL();
void writeLH();
bool ClockLowDataHigh();
bool ClockhighDatahigh();

}  // namespace vexlink06
