#pragma once
// How fanscope-cli prints what its commands found: the detect table, the
// register dump, the monitor's four forms (sensors, JSON, CSV, one line).
// The commands (commands.cpp) decide what to read; these only format.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "decode.h"
#include "device/chip_presence.h"
#include "device/device_session.h"
#include "target.h"

namespace cli {

// Pads with blanks to `width`.
std::string pad(std::string s, std::size_t width);
std::string joined(const std::vector<std::string>& names, const char* separator);

// One row, RFC 4180 quoting and CRLF line ends.
void printCsvRow(const std::vector<std::string>& fields);

// ---- detect ----
// The table of found chips; `simulated` names the board column.
void printDetectTable(const std::vector<FoundChip>& found, bool simulated);

// ---- dump ----
// "0x22  Fan Speed Configuration      0x53  Fan1 duty=20 %, ..."
std::string dumpLine(const device::RegisterEntry& e, std::uint8_t value, const std::vector<Field>& fields);
// The 16 x 16 grid of a bus dump: every address the chip has is read once
// (the interrupt status registers clear as they are read), the others show
// XX and are never touched.
std::string rawGrid(int deviceId, device::AnswerWatch& read);

// ---- monitor ----
std::vector<std::string> monitorCsvHeader(bool dual);
std::vector<std::string> monitorCsvRow(const device::Readings& r);
// The one-line-per-sample form.
std::string monitorLine(const device::Readings& r);
// The sensors style: degree sign when the terminal takes UTF-8, " C" otherwise.
void printSensors(const device::Sample& s, bool utf8);
void printJson(const device::Sample& s);

}  // namespace cli
