#pragma once
// fanscope.SMBus: the part of smbus2's SMBus that the chip's protocol uses,
// on every medium, so a script written for smbus2 runs unchanged after
// `from fanscope import SMBus`.
//
// On a kernel adapter every transfer is the adapter's own, to any address,
// and a missing acknowledge is the kernel's ENXIO. The printer port and the
// chipset SMBus do not sample acknowledges: there an address counts as
// answering when a chip of the family identifies itself there (a device
// session per address), and a chip that stops answering is ChipGoneError
// rather than 0xFF.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "device/adapter_search.h"
#include "device/device_session.h"
#include "device/raw_transfer.h"

namespace fanscope_py {

struct SMBusArguments {
    std::optional<pybind11::object> bus;  // adapter number or name
    std::optional<std::string> medium;    // "i2c" (default), "printer", "smbus"
    bool hardware = false;
    std::optional<int> port;  // printer port index (default 0)
    bool force = false;
};

class SMBus {
public:
    explicit SMBus(const SMBusArguments& args);
    ~SMBus();
    SMBus(const SMBus&) = delete;
    SMBus& operator=(const SMBus&) = delete;

    void close();
    bool closed() const;
    std::string repr() const;
    pybind11::object busNumber() const;
    bool pec() const { return m_pec; }
    void setPec(bool on) { m_pec = on; }

    int readByte(int address, std::optional<bool> force);
    void writeByte(int address, int value, std::optional<bool> force);
    int readByteData(int address, int reg, std::optional<bool> force);
    void writeByteData(int address, int reg, int value, std::optional<bool> force);
    int readWordData(int address, int reg, std::optional<bool> force);
    void writeWordData(int address, int reg, int value, std::optional<bool> force);
    std::vector<int> readBlockData(int address, int reg, std::optional<bool> force);
    void writeBlockData(int address, int reg, const std::vector<int>& data, std::optional<bool> force);

private:
    using Op = device::RawOp;
    using Result = device::RawResult;
    struct Transfer {
        device::RawTransfer raw;  // its pec is the object's, set by run()
        bool force = false;       // kernel adapter
    };

    // Runs one transfer with the GIL released, under the object's mutex and
    // the process-wide bus mutex.
    Result run(Transfer t);
    Result transfer(Op op, int address, std::optional<int> reg, std::optional<int> value, std::optional<bool> force,
                    std::vector<std::uint8_t> block = {});
    void closeLocked();
    Result runSession(const device::RawTransfer& t);
    device::Session& sessionFor(std::uint8_t address);

    device::Medium m_medium = device::Medium::KernelAdapter;
    int m_bus = -1;  // adapter number, or printer port index
    bool m_force = false;
    bool m_pec = false;
    mutable std::mutex m_mutex;
    bool m_closed = false;
    // Kernel adapter: a handle of the object's own, for transfers to any address.
    std::optional<device::KernelBus> m_adapter;
    // Kernel adapter: its name, by which it is found again after it went
    // (a USB bridge replugged may come back under another number).
    std::string m_adapterName;
    device::AdapterSearch m_search;
    std::uint64_t m_connection = 0;                      // the shared board's, at the last transfer
    std::map<std::uint8_t, device::Session> m_sessions;  // printer port and chipset: one per address
};

}  // namespace fanscope_py
