#pragma once
// fanscope.detect, fanscope.open and fanscope.Chip: the device session as a
// Python object. Every bus operation runs with the GIL released and under
// the object's own mutex, so one Chip used from two threads is serialised
// call by call, and a multi-register call (dump, save, recall) holds the
// process-wide bus mutex for its whole length, so nothing interleaves.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "device/device_session.h"

namespace fanscope_py {

// What fanscope.detect and fanscope.open search.
struct SearchArguments {
    std::optional<std::string> medium;  // "printer", "smbus", "i2c"
    std::optional<int> address;         // 7-bit
    bool hardware = false;
    std::optional<int> port;              // printer port index
    std::optional<pybind11::object> bus;  // adapter number or name
    std::optional<std::string> simConfig;
    bool force = false;
};

// A place where a chip answered, as fanscope.ChipInfo.
struct ChipInfo {
    device::ChipLocation location;
    std::string medium() const;
    std::optional<int> port() const;
    std::optional<int> bus() const;
    std::string variant() const;
    std::string repr() const;
};

pybind11::list detect(const SearchArguments& args);

class Chip {
public:
    explicit Chip(device::Session session);
    ~Chip();
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    static std::unique_ptr<Chip> open(const SearchArguments& args);

    const device::ChipLocation& location() const { return m_location; }
    std::string repr() const;
    bool closed() const;
    void close();

    int read(const pybind11::object& reg);
    int write(const pybind11::object& reg, int value, std::optional<int> mask);
    pybind11::dict dump();
    pybind11::dict decode(const pybind11::object& reg, std::optional<int> value);
    pybind11::dict temperatures();
    pybind11::dict fans();
    pybind11::list alarms();
    pybind11::object sample();
    void save(const std::string& path);
    pybind11::dict recall(const std::string& path, bool dryRun);
    pybind11::dict diff(const std::string& path);
    // The configuration as set-up code (device/setup_code.h), from the chip or a file.
    std::string generate(const std::string& format, const std::optional<std::string>& source);
    // The fan measurement of `fanscope-cli characterize --json`, one fan.
    pybind11::object characterizeFan(int fan, const pybind11::object& progress, std::optional<double> timeScale);
    pybind11::object identify(const std::string& channel, std::optional<int> fan, const pybind11::object& heater);
    // For the benchmark: seconds that `count` reads of `reg` take straight
    // on the session, without the Python call around each.
    double nativeReadSeconds(const pybind11::object& reg, int count);

private:
    // Runs `work` on the session with the GIL released, under the object's mutex.
    template <class Work> auto withSession(Work&& work);

    mutable std::mutex m_mutex;
    std::optional<device::Session> m_session;
    device::ChipLocation m_location;  // kept after close() for repr and the attributes
};

// The register a Chip call names: an address (0..255) the chip has, or a
// name from the register list. ValueError with the command line's sentence
// otherwise.
const device::RegisterEntry& registerArgument(const pybind11::object& reg, int deviceId);

// A byte argument: ValueError "value 0x100 is more than 0xff" otherwise.
std::uint8_t byteArgument(const char* what, long long value);

// --address's rule: a 7-bit address 0x03..0x77, and the chip's 8-bit forms
// refused with the 7-bit address they stand for.
std::uint8_t sevenBitAddressArgument(long long value);

}  // namespace fanscope_py
