#include "kernel_target.h"

#include <cstdio>
#include <iostream>
#include <map>
#include <optional>

#include "device/adapters.h"
#include "device/register_map.h"

namespace cli {
namespace {

using device::AdapterFault;
using device::AdapterRecord;

std::map<int, std::string>& names()
{
    static std::map<int, std::string> known;
    return known;
}

device::KernelBus adapter() { return device::KernelBus::shared(); }

std::string why(AdapterFault status, const std::vector<AdapterRecord>& list)
{
    if (status == AdapterFault::NoDeviceFiles)
        return "no I2C adapters: the i2c-dev module is not loaded (sudo modprobe i2c-dev)";
    if (list.empty())
        return "no I2C adapters found";
    const auto& first = list.front();
    if (first.access == AdapterFault::NoPermission)
        return "no permission on /dev/" + first.busName() + ": join the group " +
               (first.group.empty() ? std::string("that owns it") : first.group) + " and log in again";
    return "no I2C adapter can be opened";
}

// One listing per command: each opens every adapter's node, and the table,
// the choice of adapters and the search all go by the same one.
std::vector<AdapterRecord> listed()
{
    static std::optional<std::vector<AdapterRecord>> list;
    if (!list) {
        list = adapter().adapters();
        for (const auto& a : *list)
            names()[a.number] = a.name;
    }
    return *list;
}

char hex7(std::uint8_t a, char (&text)[8])
{
    std::snprintf(text, sizeof text, "0x%02x", a);
    return text[0];
}

// Asks on the terminal unless --yes; false when the user declines.
bool confirmForce(const TargetOptions& options, int bus, std::uint8_t address)
{
    char text[8];
    hex7(address, text);
    std::cerr << "fanscope-cli: warning: a kernel driver is using address " << text << " on " << adapterLabel(bus)
              << "; forcing access can confuse that driver and the chip.\n";
    if (options.assumeYes)
        return true;
    std::cerr << "Continue? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

// Searches the adapters; `stopAtFirst` for connect. A driver-owned address
// is skipped, or with --force taken after the warning.
std::vector<device::ChipLocation> search(const TargetOptions& options, const std::vector<int>& buses, bool stopAtFirst)
{
    device::ProbeRequest request;
    request.media = {device::Medium::KernelAdapter};
    request.adapters = buses;
    request.adapterNames = names();
    request.address = options.address;
    request.stopAtFirst = stopAtFirst;
    request.stopOnError = true;
    request.onDriverOwned = [&options](int bus, std::uint8_t a7, const device::SessionError& e) {
        if (!options.force) {
            if (options.address)
                throw Failure(e.description() + " (-f forces it)");
            char text[8];
            hex7(a7, text);
            std::cerr << "fanscope-cli: " << adapterLabel(bus) << " " << text
                      << ": a kernel driver owns this address, skipped (-f forces it)\n";
            return false;
        }
        if (!confirmForce(options, bus, a7))
            throw Failure("not confirmed: nothing was sent to the chip");
        return true;
    };
    try {
        return device::probe(request).chips;
    } catch (const device::SessionError& e) {
        // A bus named by number was not listed: the listing tells a missing
        // i2c-dev module apart, in the words the listing's users see.
        if (!options.bus.empty()) {
            const auto list = listed();
            if (adapter().listStatus() == AdapterFault::NoDeviceFiles)
                throw Failure(why(AdapterFault::NoDeviceFiles, list));
        }
        throw Failure(e.description());
    }
}

}  // namespace

std::vector<int> adaptersToSearch(const TargetOptions& options)
{
    if (!options.bus.empty()) {
        // A bus named by number needs no listing, which opens every
        // adapter's node (FindBus lists for a name only): the search's open
        // says what is wrong with the bus.
        const int n = adapter().find(options.bus);
        if (n >= 0)
            return {n};
        const auto list = listed();
        const auto status = adapter().listStatus();
        if (status == AdapterFault::NoDeviceFiles)
            throw Failure(why(status, list));
        throw Failure("there is no I2C adapter '" + options.bus + "'");
    }
    const auto list = listed();
    const auto status = adapter().listStatus();
    std::vector<int> usable;
    for (const auto& a : list)
        if (a.access == AdapterFault::None)
            usable.push_back(a.number);
    if (usable.empty())
        throw Failure(why(status, list));
    return usable;
}

std::string adapterLabel(int number)
{
    (void)listed();  // the names, when the search went without the listing
    const auto it = names().find(number);
    const std::string bus = "i2c-" + std::to_string(number);
    return it == names().end() || it->second.empty() ? bus : bus + " (" + it->second + ")";
}

void printAdapters(const TargetOptions& options)
{
    const auto list = listed();
    const auto status = adapter().listStatus();
    if (list.empty())
        throw Failure(why(status, list));
    std::cout << "ADAPTER   NAME                                FUNCTIONALITY\n";
    for (const auto& a : list) {
        if (!options.bus.empty() && adapter().find(options.bus) != a.number)
            continue;
        std::string name = a.name;
        if (name.size() < 36)
            name.resize(36, ' ');
        std::string bus = a.busName();
        if (bus.size() < 10)
            bus.resize(10, ' ');
        std::cout << bus << name
                  << (a.access == AdapterFault::None ? a.functionalityText()
                      : a.access == AdapterFault::NoPermission
                          ? "no permission (group " + (a.group.empty() ? std::string("?") : a.group) + ")"
                          : std::string("cannot be opened"))
                  << "\n";
    }
    std::cout << "\n";
}

std::vector<FoundChip> detectKernelChips(const TargetOptions& options)
{
    std::vector<FoundChip> found;
    for (const device::ChipLocation& chip : search(options, adaptersToSearch(options), false))
        found.push_back(foundChip(chip));
    return found;
}

device::ChipLocation connectKernel(const TargetOptions& options)
{
    const auto buses = adaptersToSearch(options);
    const std::vector<device::ChipLocation> found = search(options, buses, true);
    if (found.empty()) {
        char text[8] = "";
        if (options.address)
            hex7(*options.address, text);
        const std::string at = options.address ? std::string(" at ") + text : std::string();
        const std::string where = buses.size() == 1 ? adapterLabel(buses.front()) : "any I2C adapter";
        throw Failure("no TFM4410 or TFM4411 found" + at + " on " + where);
    }
    return found.front();
}

}  // namespace cli
