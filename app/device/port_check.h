#pragma once
// Before the chip is searched for on a printer port: can the port be had,
// and do SCL and SDA rest high when the PC lets go of them? A search that
// only reads "no chip" hides both causes.

#include <cstdint>
#include <string>

namespace device {

enum class PortProblem {
    None,
    InUse,     // the claim failed: another program holds the port
    LinesLow,  // SCL or SDA does not rise when the PC lets go of it
};

// Checks the port that PrinterPort.PortAddressIndex selects. The PC pulls
// both lines low and lets them go once in each adapter sense: a line that
// reads the same both times does not follow the PC, so something holds it
// (or, on real hardware, no board is there to drive the status inputs).
// A port the library already keeps claimed is not claimed again. The lock,
// the claim and the resting lines are left as they were. Library errors
// propagate.
PortProblem checkPrinterPort();

// "printer port 378h is in use by another program",
// "the SMBus lines on printer port 378h are held low"; empty for None.
std::string portProblemText(PortProblem problem, std::int32_t portBase);

// ---- a command's use of the port ----
// What the command line does around its sessions. Each throws SessionError
// Unavailable naming the library's object it could not create.

// The printer ports the library detected.
int printerPortsDetected();
// The board's lines held as the program holds them (holdBoardLines()).
void holdBoardLinesForCommand();
// Keeps the port claimed from now on for the whole command, rather than
// per transfer; false lets it go again (nothing when the library was never
// loaded).
void keepPrinterPortClaimed(bool keep);

}  // namespace device
