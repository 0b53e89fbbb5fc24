// The simulator's inspection entries (siminspect_abi.h) for programs that do
// not link the simulator: the communications library binds them by name
// with the `sim` platform only, so a process on real hardware never has a
// board to inspect.
#include "siminspect_abi.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/board_link.h"
#include "sim/config.h"
#include "sim/i2c_adapter.h"
#include "sim/wire_capture.h"

namespace {

// The event kinds cross the C entry as their numbers.
static_assert(static_cast<int>(sim::TraceEvent::Kind::Start) == 0 &&
              static_cast<int>(sim::TraceEvent::Kind::RepeatedStart) == 1 &&
              static_cast<int>(sim::TraceEvent::Kind::Stop) == 2 &&
              static_cast<int>(sim::TraceEvent::Kind::Byte) == 3 &&
              static_cast<int>(sim::TraceEvent::Kind::Partial) == 4);

std::unique_ptr<sim::WireCapture> g_capture;

void hand(FanscopeSimSink sink, void* context, const std::string& text)
{
    if (sink != nullptr)
        sink(text.data(), text.size(), context);
}

// Every bus of the process's own board, ports first, then the SMBus, then the
// kernel adapters with a bus of their own, as the trace reports them; with
// each, the adapter on it (-1 for none).
template <class Visit> void eachBus(Visit visit)
{
    sim::Board& board = sim::board();
    const auto adapterOn = [&](const sim::Bus& bus) {
        for (const auto& adapter : board.i2cAdapters())
            if (adapter && &adapter->bus() == &bus)
                return adapter->number();
        return -1;
    };
    std::vector<const sim::Bus*> visited;
    for (int i = 0; i < board.portCount(); ++i) {
        sim::Bus& bus = board.port(i)->bus();
        visit(i, board.port(i)->base(), adapterOn(bus), bus);
        visited.push_back(&bus);
    }
    visit(-1, 0U, adapterOn(board.motherboardBus()), board.motherboardBus());
    visited.push_back(&board.motherboardBus());
    for (const auto& adapter : board.i2cAdapters())
        if (adapter && std::find(visited.begin(), visited.end(), &adapter->bus()) == visited.end())
            visit(-1, 0U, adapter->number(), adapter->bus());
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) const char* fanscope_sim_board_description(void)
{
    static std::string text;
    if (const sim::BoardChoice choice = sim::boardChoice(); choice.shared) {
        text = "shared, " + choice.socket;
    } else {
        const char* config = std::getenv("FANSCOPE_SIM_CONFIG");
        text = (config != nullptr && *config != '\0') ? config : "default configuration";
    }
    return text.c_str();
}

__attribute__((visibility("default"))) int fanscope_sim_board_shared(void) { return sim::boardChoice().shared ? 1 : 0; }

__attribute__((visibility("default"))) double fanscope_sim_time_scale(void)
{
    if (!sim::boardChoice().shared)
        return sim::board().config().timeScale;
    const sim::BoardLink* link = sim::BoardLink::get();
    return link != nullptr ? link->timeScale().value_or(0.0) : 0.0;
}

__attribute__((visibility("default"))) unsigned long long fanscope_sim_board_connection(int reconnect)
{
    sim::BoardLink* link = sim::BoardLink::get();
    if (link == nullptr)
        return 1;
    return reconnect != 0 ? link->reconnect() : link->connection();
}

__attribute__((visibility("default"))) int fanscope_sim_check_config(const char* path, FanscopeSimSink sink,
                                                                     void* context)
{
    try {
        sim::loadConfigFile(path != nullptr ? path : "");
    } catch (const std::exception& e) {
        // Anything that stops the file from being read is a reason not to
        // start on it, never a reason to end the caller.
        hand(sink, context, e.what());
        return -1;
    }
    return 0;
}

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

__attribute__((visibility("default"))) int fanscope_sim_capture_end(FanscopeSimSink sink, void* context)
{
    if (!g_capture)
        return -1;
    std::ostringstream out;
    g_capture->writeVcd(out);
    const bool truncated = g_capture->truncated();
    g_capture.reset();
    hand(sink, context, out.str());
    return truncated ? 1 : 0;
}

__attribute__((visibility("default"))) int fanscope_sim_trace_begin(void)
{
    if (sim::boardChoice().shared)
        return -1;
    eachBus([](int, unsigned, int, sim::Bus& bus) {
        bus.clearTrace();
        bus.setTracing(true);
    });
    return 0;
}

__attribute__((visibility("default"))) void fanscope_sim_trace_clear(void)
{
    if (!sim::boardChoice().shared)
        eachBus([](int, unsigned, int, sim::Bus& bus) { bus.clearTrace(); });
}

__attribute__((visibility("default"))) void fanscope_sim_trace_end(FanscopeSimTraceSink sink, void* context)
{
    if (sim::boardChoice().shared)
        return;
    std::vector<FanscopeSimTraceEvent> events;
    eachBus([&](int port, unsigned base, int adapter, sim::Bus& bus) {
        bus.setTracing(false);
        events.clear();
        for (const sim::TraceEvent& e : bus.trace())
            events.push_back(
                {static_cast<int>(e.kind), e.value, static_cast<unsigned char>(e.ack ? 1 : 0), e.bits, e.by.c_str()});
        if (sink != nullptr)
            sink(port, base, adapter, events.data(), events.size(), context);
    });
}

}  // extern "C"
