#include "device/bus_route.h"

#include <utility>
#include <vector>

#include <vexlink06/back_end.h>
#include <vexlink06/kernel_adapter.h>
#include <vexlink06/vexlink06.h>

#include "device/adapter_search.h"
#include "device/device_session.h"
#include "device/register_link.h"

namespace device {

namespace {

std::shared_ptr<vexlink06::SMBusProtocall> printerProtocol()
{
    const auto port = required(required(ComPort())->PrinterPort());
    return required(port->SMBusProtocall());
}

std::shared_ptr<vexlink06::SMBus> chipsetBus() { return required(required(ComPort())->SMBus()); }

thread_local BoardWatch* t_watch = nullptr;

// The board the chip RegisterLink names was last seen on. The wizard found
// it on the first board this process reached, or the next tick confirms it.
std::uint64_t g_windowBoard = 1;
bool g_windowAway = false;

// The window's kernel adapter: its name, learnt while it serves, finds it
// again under whatever number it comes back (a USB bridge replugged).
struct WindowAdapter {
    int bus = -1;      // the number the name belongs to
    std::string name;  // empty: not known (yet)
    AdapterSearch search;
};
WindowAdapter g_adapter;

bool adapterAway(const vexlink06::ComError& e)
{
    const auto* failure = dynamic_cast<const vexlink06::AdapterFailure*>(&e);
    return failure != nullptr &&
           (failure->code() == vexlink06::AdapterError::Gone || failure->code() == vexlink06::AdapterError::NoAdapter);
}

// The name of the adapter the window uses, once per number it is set to.
void learnAdapterName()
{
    const int bus = kernelAdapter()->Bus();
    if (bus < 0 || bus == g_adapter.bus)
        return;
    g_adapter.bus = bus;
    g_adapter.name.clear();
    try {
        for (const vexlink06::AdapterInfo& a : kernelAdapter()->Adapters())
            if (a.Number == bus)
                g_adapter.name = a.Name;
    } catch (const vexlink06::ComError&) { }
}

}  // namespace

void noteAdapterFailure(const vexlink06::ComError& e)
{
    if (!adapterAway(e) || g_adapter.search.away())
        return;
    g_adapter.search.lost(e.description());
    if (BoardWatch* watch = t_watch) {
        watch->m_broken = true;
        watch->m_why = e.description();
    }
}

bool windowAdapterAway() { return g_adapter.search.away(); }

// Whether the open watch (if any) lets a transfer go to the board now serving.
bool watchAllows()
{
    BoardWatch* watch = t_watch;
    if (watch == nullptr)
        return true;
    if (watch->m_broken || vexlink06::backend::boardConnection(false) != watch->m_connection) {
        watch->m_broken = true;
        return false;
    }
    return true;
}

BoardWatch::BoardWatch()
{
    const std::lock_guard lock(busMutex());
    m_connection = vexlink06::backend::boardConnection(true);
    if (m_connection == 0) {
        m_why = vexlink06::backend::lostBoardReason();
        g_windowAway = true;
    } else if (m_connection == g_windowBoard) {
        m_serving = true;
    } else {
        const std::uint8_t medium = RegisterLink.Medium;
        const std::uint8_t address = RegisterLink.DeviceAddress;
        std::optional<std::uint8_t> id;
        // Twice: a kernel adapter's handle on the board that went fails once.
        for (int attempt = 0; attempt < 2 && !id; ++attempt) {
            try {
                id = routeRead(medium, address, reg::DeviceId);
            } catch (const vexlink06::ComError&) { }
        }
        const auto expected = variantFromDeviceId(RegisterLink.DeviceId);
        if (vexlink06::backend::boardConnection(false) != m_connection) {
            m_why = vexlink06::backend::lostBoardReason();
        } else if (!expected || id == RegisterLink.DeviceId) {
            g_windowBoard = m_connection;
            m_serving = true;
        } else {
            m_why = returnedWithoutText(*expected, medium == MediumPrinterPort ? address >> 1 : address, id);
        }
        g_windowAway = g_windowAway || !m_serving;
    }
    if (m_serving && RegisterLink.Medium == MediumKernelAdapter)
        findAdapter();
    if (m_serving && g_windowAway) {
        m_returned = true;
        g_windowAway = false;
    }
    if (m_why.empty() && !m_serving)
        m_why = "the shared simulated board went away";
    m_broken = !m_serving;
    m_outer = t_watch;
    t_watch = this;
}

BoardWatch::~BoardWatch() { t_watch = m_outer; }

void BoardWatch::findAdapter()
{
    AdapterSearch& search = g_adapter.search;
    if (!search.away()) {
        learnAdapterName();
        return;
    }
    m_serving = false;
    const std::string reason = search.reason();
    m_why = reason;
    g_windowAway = true;
    int number = -1;
    try {
        number = search.findAgain(g_adapter.name);
    } catch (const SessionError&) {
        return;  // not listed yet
    }
    kernelAdapter()->setBus(number);
    g_adapter.bus = number;
    std::optional<std::uint8_t> id;
    try {
        id = routeRead(MediumKernelAdapter, RegisterLink.DeviceAddress, reg::DeviceId);
    } catch (const vexlink06::ComError&) { }
    if (const auto expected = variantFromDeviceId(RegisterLink.DeviceId); expected && id != RegisterLink.DeviceId) {
        search.lost(reason);  // listed, but not the chip the window shows
        m_why = returnedWithoutText(*expected, RegisterLink.DeviceAddress, id);
        return;
    }
    m_serving = true;
    m_why.clear();
}

bool boardAway()
{
    if (const BoardWatch* watch = t_watch)
        return watch->broken();
    return vexlink06::backend::boardConnection(false) == 0;
}

bool BoardWatch::broken() const
{
    if (!m_broken && vexlink06::backend::boardConnection(false) != m_connection) {
        m_broken = true;
        g_windowAway = true;
    }
    return m_broken;
}

namespace {
thread_local int t_busDepth = 0;
thread_local std::vector<std::function<void()>> t_afterRelease;
}  // namespace

void BusMutex::lock()
{
    m_mutex.lock();
    ++t_busDepth;
}

bool BusMutex::try_lock()
{
    if (!m_mutex.try_lock())
        return false;
    ++t_busDepth;
    return true;
}

void BusMutex::unlock()
{
    --t_busDepth;
    m_mutex.unlock();
    if (t_busDepth == 0 && !t_afterRelease.empty()) {
        const std::vector<std::function<void()>> work = std::exchange(t_afterRelease, {});
        for (const auto& w : work)
            w();
    }
}

bool BusMutex::heldHere() { return t_busDepth > 0; }

void BusMutex::whenReleased(std::function<void()> work)
{
    if (t_busDepth > 0)
        t_afterRelease.push_back(std::move(work));
    else
        work();
}

BusMutex& busMutex()
{
    // Never destroyed: a session in a thread that outlives main's return
    // must still find it.
    static auto* mutex = new BusMutex;
    return *mutex;
}

namespace {
// A kernel adapter's transfer; one that finds the adapter gone is noted for
// the window's watch, and fails as before.
template <class Call> auto adapterCall(Call call)
{
    try {
        return call();
    } catch (const vexlink06::ComError& e) {
        noteAdapterFailure(e);
        throw;
    }
}
}  // namespace

std::uint8_t routeRead(std::uint8_t medium, std::uint8_t address, std::uint8_t reg)
{
    const std::lock_guard lock(busMutex());
    if (!watchAllows())
        return 0xFF;
    std::uint8_t value = 0;
    if (medium == MediumPrinterPort)
        value = printerProtocol()->PortRead(address, reg);
    else if (medium == MediumKernelAdapter)
        value = adapterCall([&] { return kernelAdapter()->PortRead(address, reg); });
    else
        value = chipsetBus()->PortRead(address, reg);
    return watchAllows() ? value : 0xFF;
}

void routeWrite(std::uint8_t medium, std::uint8_t address, std::uint8_t reg, std::uint8_t value)
{
    const std::lock_guard lock(busMutex());
    if (!watchAllows())
        return;
    if (medium == MediumPrinterPort)
        printerProtocol()->PortWrite(address, reg, value);
    else if (medium == MediumKernelAdapter)
        adapterCall([&] {
            kernelAdapter()->PortWrite(address, reg, value);
            return 0;
        });
    else
        chipsetBus()->PortWrite(address, reg, value);
}

}  // namespace device
