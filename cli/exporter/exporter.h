#pragma once
// `fanscope-cli export`: every chip found (or the ones named), read through
// device sessions and served to Prometheus over HTTP, or written as a file
// for node_exporter's textfile collector. Reads only: no path writes a
// register.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/device_session.h"
#include "exporter/metrics.h"

namespace exporter {

struct ExportOptions {
    // Where to look for chips, as `fanscope-cli detect` searches.
    device::Medium medium = device::Medium::PrinterPort;
    std::optional<int> printerPort;
    std::vector<int> adapters;  // kernel adapters by number; empty = every one
    bool force = false;         // kernel adapters: use addresses a driver owns
    // 7-bit addresses to export; empty = every chip found.
    std::vector<std::uint8_t> addresses;
    // HTTP: ADDR:PORT (default loopback, DefaultPort).
    std::string listen;
    // Textfile: the folder to keep fanscope.prom in; HTTP when empty.
    std::string textfile;
    double interval = 15;  // textfile: seconds between writes
    int count = 0;         // textfile: writes before ending; 0 = until a signal
    std::string version;   // the exporter's, for fanscope_info
};

// Name of the file the textfile mode keeps in its folder.
inline constexpr const char* TextfileName = "fanscope.prom";

// Readings closer together than this are shared, however often scrapers ask.
inline constexpr int MinReadingIntervalMs = 250;

// Runs until SIGINT or SIGTERM (or --count writes). Problems with the
// options throw std::invalid_argument; a chip that cannot be found, an
// address that cannot be listened on or a file that cannot be written throw
// std::runtime_error (or device::SessionError).
void runExport(const ExportOptions& options);

// The labels a chip's series carry: address "0x2e", medium as --medium names
// it, bus "port0" / "chipset" / "i2c-1".
ChipLabels labelsOf(const device::ChipLocation& chip);

// One reading of a chip through its session as a snapshot; a chip that does
// not answer gives up = false and no readings.
ChipSnapshot readChip(device::Session& session);

}  // namespace exporter
