#pragma once
// The kernel's I2C/SMBus adapters as the device layer's clients see them:
// the listing, and what an adapter (or the printer port's protocol) answered
// when a raw transfer failed, in the kernel's terms. The command line and the
// Python module name adapters and report failures from these, never from the
// library underneath.

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "device/device_session.h"

namespace vexlink06 {
class ComError;
class KernelAdapter;
}  // namespace vexlink06

namespace device {

struct RawTransfer;
struct RawResult;

// What went wrong, as the kernel's I2C tools tell it apart (a client maps it
// to an errno); None for an adapter that opens.
enum class AdapterFault : std::uint8_t {
    None,
    NoAck,          // nobody acknowledged the address or a byte
    BadPec,         // the packet error code did not match, or was not acknowledged
    Timeout,        // the bus stayed busy
    Gone,           // the adapter went away (a USB bridge unplugged)
    DriverOwned,    // a kernel driver owns the address
    NoPermission,   // the device node refuses this user
    NoDeviceFiles,  // the i2c-dev module is not loaded
    NoAdapter,      // no adapter with that number
    Unsupported,    // the medium or adapter cannot make that transfer
    Protocol,       // a malformed answer
    Io,             // any other failure
    Argument,       // an argument out of range
};

// A failure of a raw transfer or of the adapter listing. what() is the
// library's "Error: <number>, <description>" for failures it reported, or
// the sentence; description() is the sentence a kernel adapter gave, what()
// otherwise: the bus tools' own words, as the Python module raises them.
class BusFailure : public SessionError {
public:
    BusFailure(ErrorKind kind, AdapterFault fault, const std::string& what, std::int32_t number = 0,
               const std::string& description = {})
        : SessionError(kind, what, number, description.empty() ? what : description), m_fault(fault)
    { }
    AdapterFault fault() const noexcept { return m_fault; }

private:
    AdapterFault m_fault;
};

// The library's failure as a BusFailure.
BusFailure busFailure(const vexlink06::ComError& e);
// The same for a failure a client caught without knowing the library's
// types (an exception translator's); nullopt for anything else.
std::optional<BusFailure> libraryFailure(const std::exception_ptr& error);

// One adapter of the listing.
struct AdapterRecord {
    int number = 0;                            // N of /dev/i2c-N
    std::string name;                          // the kernel's name ("SMBus I801 adapter at efa0")
    std::uint32_t functionality = 0;           // the kernel's I2C_FUNC_* bits
    AdapterFault access = AdapterFault::None;  // why the node cannot be opened, if so
    std::string group;                         // the group that owns a node that refuses this user
    std::string busName() const { return "i2c-" + std::to_string(number); }  // "i2c-1"
    // "quick byte byte-data word-data block-data pec" for the bits offered.
    std::string functionalityText() const;
};

// A kernel adapter handle: the process's own (kernelAdapter(), which the
// sessions select before each transfer), or one of a client's own that
// transfers to any address on the bus it selects (the Python module's SMBus).
// Every failure is a BusFailure.
class KernelBus {
public:
    // The process's adapter object.
    static KernelBus shared();
    // An object of its own; touches nothing until the first listing or transfer.
    static KernelBus own();

    // The adapters now present, in number order. Empty when there are none;
    // listStatus() then says whether the i2c-dev module is missing (NoDeviceFiles).
    std::vector<AdapterRecord> adapters();
    AdapterFault listStatus() const;
    // "1", "i2c-1" or an adapter's exact name; -1 when nothing matches.
    int find(const std::string& numberOrName);
    // The adapter the transfers go to (-1: none). Selecting closes the
    // handle open before, on the same bus too (a board started again needs
    // a fresh one); the new one opens at the first transfer.
    void select(int bus);
    int bus() const;

private:
    friend RawResult rawTransfer(KernelBus& bus, const RawTransfer& t, bool force);

    explicit KernelBus(std::shared_ptr<vexlink06::KernelAdapter> adapter) : m_adapter(std::move(adapter)) { }
    std::shared_ptr<vexlink06::KernelAdapter> m_adapter;
};

}  // namespace device
