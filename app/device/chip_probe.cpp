#include <algorithm>
#include <cstdio>

#include <vexlink06/back_end.h>
#include <vexlink06/line_sense.h>
#include <vexlink06/vexlink06.h>

#include "device/back_end.h"
#include "device/bus_route.h"
#include "device/device_session.h"
#include "device/numbers.h"
#include "device/port_check.h"
#include "device/register_link.h"
#include "device/session_support.h"

// The probe: the one search for chips of the family on every medium, and the
// names of where a chip is.

namespace device {

namespace {

using vexlink06::AdapterError;

// The group that owns a kernel adapter's node, for a refused open.
std::string adapterGroup(int bus)
{
    try {
        for (const vexlink06::AdapterInfo& info : kernelAdapter()->Adapters())
            if (info.Number == bus)
                return info.Group;
    } catch (const vexlink06::ComError&) {
        // The group is a hint; the refusal itself is reported.
    }
    return {};
}

}  // namespace

namespace detail {

using vexlink06::AdapterFailure;

ErrorKind kindOf(AdapterError code)
{
    switch (code) {
    case AdapterError::NoAck: return ErrorKind::NoAcknowledge;
    case AdapterError::NoPermission: return ErrorKind::PermissionDenied;
    case AdapterError::DriverOwned: return ErrorKind::DriverOwned;
    case AdapterError::Gone:
    case AdapterError::NoDeviceFiles:
    case AdapterError::NoAdapter: return ErrorKind::Unavailable;
    case AdapterError::Argument: return ErrorKind::InvalidArgument;
    default: return ErrorKind::Bus;
    }
}

std::string libraryText(const vexlink06::ComError& e)
{
    return "Error: " + std::to_string(e.number()) + ", " + e.description();
}

SessionError mapped(const vexlink06::ComError& e, int bus)
{
    if (const auto* adapter = dynamic_cast<const AdapterFailure*>(&e)) {
        const ErrorKind kind = kindOf(adapter->code());
        return {kind, libraryText(e), e.number(), e.description(),
                kind == ErrorKind::PermissionDenied ? adapterGroup(bus) : std::string{}};
    }
    // 48: a platform library that cannot be loaded; 91: a child the library could not create.
    const ErrorKind kind = e.number() == 48 || e.number() == 91 ? ErrorKind::Unavailable : ErrorKind::Bus;
    return {kind, libraryText(e), e.number(), e.description()};
}

std::shared_ptr<vexlink06::PrinterPort> printerPort() { return required(required(ComPort())->PrinterPort()); }
std::shared_ptr<vexlink06::SMBusProtocall> protocol() { return required(printerPort()->SMBusProtocall()); }

bool onSimulatedBoard() { return simulatedBoardConfiguration().has_value(); }

}  // namespace detail

namespace {

using detail::mapped;
using detail::printerPort;
using detail::protocol;
using vexlink06::AdapterFailure;

// ---- the probe, one medium at a time ----

class Prober {
public:
    explicit Prober(const ProbeRequest& request) : m_request(request), m_simulated(detail::onSimulatedBoard()) { }

    ProbeReport run()
    {
        for (const Medium medium : m_request.media) {
            if (done())
                break;
            switch (medium) {
            case Medium::PrinterPort: printerPorts(); break;
            case Medium::ChipsetSmbus: chipset(); break;
            case Medium::KernelAdapter: kernelAdapters(); break;
            }
        }
        return std::move(m_report);
    }

private:
    bool done() const { return m_request.stopAtFirst && !m_report.chips.empty(); }

    std::vector<std::uint8_t> addresses() const
    {
        if (m_request.address)
            return {*m_request.address};
        std::vector<std::uint8_t> list;
        list.reserve(CandidateAddresses.size());
        for (const std::uint8_t a : CandidateAddresses)
            list.push_back(sevenBitAddress(a));
        return list;
    }

    void step(Medium medium) const
    {
        if (m_request.onStep)
            m_request.onStep(medium);
    }

    // Runs one library step. A failure ends the probe (stopOnError) or is
    // remembered as the medium's last one and skipped; false then.
    template <class Step> bool attempt(Medium medium, int bus, Step&& statement)
    {
        try {
            statement();
            return true;
        } catch (const vexlink06::ComError& e) {
            if (m_request.stopOnError)
                throw mapped(e, bus);
            remember(medium, e);
            return false;
        }
    }

    void remember(Medium medium, const vexlink06::ComError& e)
    {
        ProbeReport::MediumError& error = errorOf(medium);
        error.number = e.number();
        error.description = e.description();
    }

    ProbeReport::MediumError& errorOf(Medium medium)
    {
        for (ProbeReport::MediumError& e : m_report.errors)
            if (e.medium == medium)
                return e;
        ProbeReport::MediumError added;
        added.medium = medium;
        m_report.errors.push_back(added);
        return m_report.errors.back();
    }

    void found(ChipLocation chip)
    {
        chip.simulated = m_simulated;
        m_report.chips.push_back(std::move(chip));
    }

    // Two reads of the Device ID per address in each data sense: present if
    // the first gave the TFM4410's ID or the second the TFM4411's.
    void printerPorts()
    {
        int ports = 0;
        attempt(Medium::PrinterPort, -1, [&] { ports = printerPort()->PrinterPortsDetected(); });
        const vexlink06::LineSense before = vexlink06::lineSense();
        const int first = m_request.printerPort.value_or(0);
        const int end = m_request.printerPort ? std::min(first + 1, ports) : ports;
        for (int port = first; port < end && !done(); ++port) {
            step(Medium::PrinterPort);
            // Probing with the previous port still selected would credit its
            // chips to this one.
            if (!attempt(Medium::PrinterPort, -1,
                         [&] { printerPort()->setPortAddressIndex(static_cast<std::uint8_t>(port)); }))
                continue;
            try {
                const std::string problem = portProblemText(checkPrinterPort(), printerPort()->PortAddress());
                if (!problem.empty())
                    m_report.portProblems.push_back(problem);
            } catch (const vexlink06::ComError&) {
                // The check is advice; its own failure is none of the search's errors.
            }
            const std::size_t chipsBefore = m_report.chips.size();
            // A search for one chip tries the standard board first; the full
            // search the non-inverting sense first, as the wizard does.
            const std::array<bool, 2> senses =
                m_request.stopAtFirst ? std::array<bool, 2>{true, false} : std::array<bool, 2>{false, true};
            for (const bool inverted : senses) {
                if (done())
                    break;
                attempt(Medium::PrinterPort, -1,
                        [&] { protocol()->setDataInverted(inverted ? vexlink06::True : vexlink06::False); });
                for (const std::uint8_t a7 : addresses()) {
                    // A failed read must not leave the previous probe's ID behind.
                    int firstId = -1;
                    int secondId = -1;
                    const std::uint8_t a8 = addressByte(a7);
                    attempt(Medium::PrinterPort, -1,
                            [&] { firstId = routeRead(MediumPrinterPort, a8, reg::DeviceId); });
                    attempt(Medium::PrinterPort, -1,
                            [&] { secondId = routeRead(MediumPrinterPort, a8, reg::DeviceId); });
                    if (firstId != DeviceIdTFM4410 && secondId != DeviceIdTFM4411)
                        continue;
                    vexlink06::VBool setting = inverted ? vexlink06::True : vexlink06::False;
                    attempt(Medium::PrinterPort, -1, [&] { setting = protocol()->DataInverted(); });
                    std::uint32_t base = 0;
                    attempt(Medium::PrinterPort, -1,
                            [&] { base = static_cast<std::uint32_t>(printerPort()->PortAddress()); });
                    ChipLocation chip;
                    chip.medium = Medium::PrinterPort;
                    chip.port = port;
                    chip.portBase = base;
                    chip.dataInverted = setting != vexlink06::False;
                    chip.address = a7;
                    chip.variant = firstId == DeviceIdTFM4410 ? Variant::Tfm4410 : Variant::Tfm4411;
                    found(std::move(chip));
                    if (done())
                        return;
                }
            }
            if (m_report.chips.size() == chipsBefore)
                restoreSense(before);
        }
    }

    // A port where nothing answered gets back the sense it had before the
    // search, and its lines are let go in that sense: the last pass's idle
    // code pulls both lines low on an adapter of the other sense, and another
    // master on the same bus (a kernel adapter) would wait for them until
    // the next printer-port transfer. Where the codes did not change, the
    // last pass already left the lines idle and nothing is written.
    static void restoreSense(const vexlink06::LineSense& before)
    {
        const bool codesChanged = vexlink06::lineSense().invertingCodes != before.invertingCodes;
        vexlink06::setLineSense(before);
        if (!codesChanged)
            return;
        try {
            // Setting the held bits writes the idle line state.
            const auto proto = protocol();
            proto->setBitsToStayHigh(proto->BitsToStayHigh());
        } catch (const vexlink06::ComError&) {
            // The search's own errors are the ones reported; a port that
            // failed them will not take this write either.
        }
    }

    // One read of the Device ID per address.
    void chipset()
    {
        for (const std::uint8_t a7 : addresses()) {
            step(Medium::ChipsetSmbus);
            int id = -1;
            ProbeReport::MediumError* counts = m_request.stopOnError ? nullptr : &errorOf(Medium::ChipsetSmbus);
            if (counts)
                ++counts->reads;
            if (!attempt(Medium::ChipsetSmbus, -1, [&] { id = routeRead(MediumChipsetSMBus, a7, reg::DeviceId); }))
                ++errorOf(Medium::ChipsetSmbus).failedReads;
            if (const auto variant = variantFromDeviceId(id)) {
                ChipLocation chip;
                chip.medium = Medium::ChipsetSmbus;
                chip.address = a7;
                chip.variant = *variant;
                found(std::move(chip));
                if (done())
                    return;
            }
        }
        // Counts alone are no error to report.
        const auto clean = [](const ProbeReport::MediumError& e) {
            return e.medium == Medium::ChipsetSmbus && e.number == 0 && e.description.empty();
        };
        m_report.errors.erase(std::remove_if(m_report.errors.begin(), m_report.errors.end(), clean),
                              m_report.errors.end());
    }

    // One read of the Device ID per address and adapter, never a quick
    // write. A driver-owned address is skipped unless the request's callback
    // takes it with force; an adapter that went away is not probed further.
    void kernelAdapters()
    {
        std::shared_ptr<vexlink06::KernelAdapter> adapter;
        std::vector<vexlink06::AdapterInfo> list;
        const bool listedByCaller = m_request.adapterNames && !m_request.adapters.empty();
        if (!attempt(Medium::KernelAdapter, -1, [&] {
                adapter = kernelAdapter();
                if (!listedByCaller)
                    list = adapter->Adapters();
            }))
            return;
        std::vector<int> buses = m_request.adapters;
        if (buses.empty()) {
            for (const vexlink06::AdapterInfo& info : list)
                if (info.Access == AdapterError::None)
                    buses.push_back(info.Number);
        }
        for (const int bus : buses) {
            std::string name;
            if (listedByCaller) {
                if (const auto it = m_request.adapterNames->find(bus); it != m_request.adapterNames->end())
                    name = it->second;
            }
            for (const vexlink06::AdapterInfo& info : list)
                if (info.Number == bus)
                    name = info.Name;
            adapter->setBus(bus);
            adapter->setForce(vexlink06::False);
            bool gone = false;
            for (const std::uint8_t a7 : addresses()) {
                step(Medium::KernelAdapter);
                if (gone)
                    continue;
                if (adapter->Force() != vexlink06::False)
                    adapter->setForce(vexlink06::False);
                bool forced = false;
                int id = -1;
                try {
                    id = routeRead(MediumKernelAdapter, a7, reg::DeviceId);
                } catch (const AdapterFailure& e) {
                    if (e.code() == AdapterError::NoAck)
                        continue;
                    if (e.code() == AdapterError::DriverOwned) {
                        if (!m_request.onDriverOwned || !m_request.onDriverOwned(bus, a7, mapped(e, bus))) {
                            ++m_report.skippedDriverOwned;
                            continue;
                        }
                        adapter->setForce(vexlink06::True);
                        forced = true;
                        if (!attempt(Medium::KernelAdapter, bus,
                                     [&] { id = routeRead(MediumKernelAdapter, a7, reg::DeviceId); }))
                            continue;
                    } else {
                        if (m_request.stopOnError)
                            throw mapped(e, bus);
                        gone = e.code() == AdapterError::Gone;
                        remember(Medium::KernelAdapter, e);
                        continue;
                    }
                } catch (const vexlink06::ComError& e) {
                    if (m_request.stopOnError)
                        throw mapped(e, bus);
                    remember(Medium::KernelAdapter, e);
                    continue;
                }
                if (const auto variant = variantFromDeviceId(id)) {
                    ChipLocation chip;
                    chip.medium = Medium::KernelAdapter;
                    chip.port = bus;
                    chip.address = a7;
                    chip.variant = *variant;
                    chip.adapterName = name;
                    chip.forced = forced;
                    found(std::move(chip));
                    if (done())
                        return;
                }
            }
        }
    }

    const ProbeRequest& m_request;
    ProbeReport m_report;
    bool m_simulated;
};

}  // namespace

// ---- identity ----------------------------------------------------------------

std::string_view mediumName(Medium medium)
{
    switch (medium) {
    case Medium::ChipsetSmbus: return "chipset SMBus";
    case Medium::PrinterPort: return "printer port";
    case Medium::KernelAdapter: return "kernel adapter";
    }
    return "";
}

std::string_view variantName(Variant variant) { return chipName(deviceId(variant)); }

std::optional<Variant> variantFromDeviceId(int id)
{
    if (!isKnownDeviceId(id))
        return std::nullopt;
    return static_cast<Variant>(id);
}

std::string describeLocation(const ChipLocation& chip)
{
    switch (chip.medium) {
    case Medium::KernelAdapter: {
        const std::string bus = "i2c-" + std::to_string(chip.port);
        return chip.adapterName.empty() ? bus : bus + " (" + chip.adapterName + ")";
    }
    case Medium::ChipsetSmbus: return "SMBus";
    case Medium::PrinterPort: break;
    }
    char base[16];
    (void)std::snprintf(base, sizeof base, "0x%x", chip.portBase);
    return "printer port " + std::to_string(chip.port) + " (" + base + ")";
}

std::string chipLine(const ChipLocation& chip)
{
    return std::string(variantName(chip.variant)) + " at " + hexByte(chip.address) + " on " + describeLocation(chip);
}

// ---- probe -------------------------------------------------------------------

ProbeReport probe(const ProbeRequest& request)
{
    const std::lock_guard lock(busMutex());
    // A shared board that went away is looked for again first: a search in
    // the same process finds the chip on the board that came back.
    if (request.stopOnError)
        (void)requireBoard();
    else
        (void)vexlink06::backend::boardConnection(true);
    return Prober(request).run();
}

void holdBoardLines()
{
    const std::lock_guard lock(busMutex());
    protocol()->setBitsToStayHigh(detail::BoardLinesHeld);
}

}  // namespace device
