// A C entry to the wire capture for a program that does not link the
// simulator: it looks these up in the simulator the platform library
// already loaded (dlopen with RTLD_NOLOAD), so a process on real hardware
// never has a board to capture.
#include <memory>
#include <sstream>

#include "sim/board.h"
#include "sim/board_link.h"
#include "sim/wire_capture.h"

namespace {
std::unique_ptr<sim::WireCapture> g_capture;
}

extern "C" {

// Starts capturing the bus of the printer port at `portBase`, or the
// motherboard SMBus when `portBase` is 0, dropping any capture running.
// Returns 0, or -1 when there is no such port or the shared board serves.
__attribute__((visibility("default"))) int fanscope_sim_capture_begin(unsigned portBase)
{
    g_capture.reset();
    // The shared board's wires are in another process.
    if (sim::boardChoice().shared)
        return -1;
    sim::Board& board = sim::board();
    if (portBase == 0) {
        g_capture = std::make_unique<sim::WireCapture>(board.motherboardBus(), "smbus");
        return 0;
    }
    sim::Port* port = board.portAt(portBase);
    if (port == nullptr || port->base() != portBase)
        return -1;
    g_capture = std::make_unique<sim::WireCapture>(*port);
    return 0;
}

// Ends the capture and hands its dump to `sink` in one piece. Returns 0, -1
// when no capture was running, 1 when the capture hit its size limit (the
// dump holds its beginning).
__attribute__((visibility("default"))) int
fanscope_sim_capture_end(void (*sink)(const char* text, unsigned long size, void* context), void* context)
{
    if (!g_capture)
        return -1;
    std::ostringstream out;
    g_capture->writeVcd(out);
    const bool truncated = g_capture->truncated();
    g_capture.reset();
    const std::string text = out.str();
    if (sink != nullptr)
        sink(text.data(), text.size(), context);
    return truncated ? 1 : 0;
}

}  // extern "C"
