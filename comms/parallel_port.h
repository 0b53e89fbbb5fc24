// The port layer: discovery, claim discipline and single register accesses
// through the port driver. Everything above reaches the port only here.
#pragma once

#include <cstdint>
#include <string>

namespace vexlink06 {

void FindAvailablePrinterports();
// Rebuilds DetectedPortAddresses for DetectedPortCount ports (an entry whose
// info call fails is 0), so that the count and the list never disagree.
void fillDetectedPortAddresses();
std::string GetOSBuild();
std::int16_t ParPort(std::int32_t portNumber);
bool OKtoStartCom();
void StopCom();
void LetPortAddress(std::int32_t address);

// Only while claimed; otherwise nothing / 0.
void Portout(std::int32_t address, std::uint8_t value);
std::uint8_t Portin(std::int32_t address);

// Write at once when claimed or locked, else claim around the write.
void GPortout(std::int32_t address, std::uint8_t value);
// Read when claimed or locked, else 0 without claiming.
std::uint8_t GPortin(std::int32_t address);

// Driver calls, resolved together at the first use.
std::int32_t driverPortCount();
bool driverPortBase(std::int32_t portNumber, std::int32_t& base);

// base + offset, failing with Overflow beyond 32 bits.
std::int32_t portRegister(std::int32_t base, std::int32_t offset);

// Claim around one register access unless locked (the register classes).
void registerWrite(std::int32_t offset, std::uint8_t value);
std::uint8_t registerRead(std::int32_t offset);

}  // namespace vexlink06
