#include "device/adapters.h"

#include <vexlink06/vexlink06.h>

#include "device/register_link.h"
#include "device/session_support.h"

namespace device {

namespace {

using vexlink06::AdapterError;

AdapterFault faultOf(AdapterError code)
{
    switch (code) {
    case AdapterError::None: return AdapterFault::None;
    case AdapterError::NoAck: return AdapterFault::NoAck;
    case AdapterError::BadPec: return AdapterFault::BadPec;
    case AdapterError::Timeout: return AdapterFault::Timeout;
    case AdapterError::Gone: return AdapterFault::Gone;
    case AdapterError::DriverOwned: return AdapterFault::DriverOwned;
    case AdapterError::NoPermission: return AdapterFault::NoPermission;
    case AdapterError::NoDeviceFiles: return AdapterFault::NoDeviceFiles;
    case AdapterError::NoAdapter: return AdapterFault::NoAdapter;
    case AdapterError::Unsupported: return AdapterFault::Unsupported;
    case AdapterError::Protocol: return AdapterFault::Protocol;
    case AdapterError::Argument: return AdapterFault::Argument;
    case AdapterError::Io: break;
    }
    return AdapterFault::Io;
}

// The library's failures of `work` as BusFailure.
template <class Work> auto translated(Work&& work)
{
    try {
        return work();
    } catch (const vexlink06::ComError& e) {
        throw busFailure(e);
    }
}

}  // namespace

BusFailure busFailure(const vexlink06::ComError& e)
{
    if (const auto* adapter = dynamic_cast<const vexlink06::AdapterFailure*>(&e))
        return {detail::kindOf(adapter->code()), faultOf(adapter->code()), detail::libraryText(e), e.number(),
                e.description()};
    // Not the adapter's: the tools have always said it as the library numbers it.
    const SessionError mapped = detail::mapped(e, -1);
    return {mapped.kind(), AdapterFault::Io, mapped.what(), e.number()};
}

std::optional<BusFailure> libraryFailure(const std::exception_ptr& error)
{
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const vexlink06::ComError& e) {
        return busFailure(e);
    } catch (...) {
        // Not the library's.
    }
    return std::nullopt;
}

std::string AdapterRecord::functionalityText() const { return vexlink06::functionalityText(functionality); }

KernelBus KernelBus::shared() { return KernelBus(kernelAdapter()); }

KernelBus KernelBus::own() { return KernelBus(vexlink06::KernelAdapter::create()); }

std::vector<AdapterRecord> KernelBus::adapters()
{
    const std::vector<vexlink06::AdapterInfo> listed = translated([this] { return m_adapter->Adapters(); });
    std::vector<AdapterRecord> records;
    records.reserve(listed.size());
    for (const vexlink06::AdapterInfo& a : listed)
        records.push_back({a.Number, a.Name, a.Functionality, faultOf(a.Access), a.Group});
    return records;
}

AdapterFault KernelBus::listStatus() const { return faultOf(m_adapter->ListStatus()); }

int KernelBus::find(const std::string& numberOrName)
{
    return translated([&] { return m_adapter->FindBus(numberOrName); });
}

void KernelBus::select(int bus)
{
    translated([&] {
        m_adapter->setBus(-1);
        m_adapter->setBus(bus);
    });
}

int KernelBus::bus() const { return m_adapter->Bus(); }

}  // namespace device
