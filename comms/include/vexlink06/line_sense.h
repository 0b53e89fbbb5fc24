// The printer-port path's data sense as the library holds it, to be put back
// exactly after a search that tried both senses. DataInverted alone does not
// say it: a new SMBusProtocall or EEPROM loads the inverting line codes and
// leaves the flag as it was, so False may stand beside either set.
#pragma once

#include "vexlink06/export.h"
#include "vexlink06/types.h"

namespace vexlink06 {

struct LineSense {
    VBool dataInverted = False;
    bool invertingCodes = true;     // what the data-register writes drive
    bool invertingPatterns = true;  // how the status bits are read
};

VEXLINK06_API LineSense lineSense();

// Sets all three without a bus transfer: the lines keep what was last written.
VEXLINK06_API void setLineSense(const LineSense& sense);

}  // namespace vexlink06
