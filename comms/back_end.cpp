// The back-end queries and the simulator's inspection entries, bound by name
// from the simulator the platform loader finds with the `sim` platform.
#include "vexlink06/back_end.h"

#include <utility>

#include "platform_loader.h"
#include "siminspect_abi.h"

namespace vexlink06::backend {
namespace {

using Inspection = platform::Abi<platform::Kind::Simulator, decltype(::fanscope_sim_board_problem),
                                 decltype(::fanscope_sim_board_description), decltype(::fanscope_sim_board_shared),
                                 decltype(::fanscope_sim_time_scale), decltype(::fanscope_sim_check_config),
                                 decltype(::fanscope_sim_capture_begin), decltype(::fanscope_sim_capture_end),
                                 decltype(::fanscope_sim_trace_begin), decltype(::fanscope_sim_trace_clear),
                                 decltype(::fanscope_sim_trace_end), decltype(::fanscope_sim_board_connection)>;
enum InspectionEntry : std::size_t {
    BoardProblem,
    BoardDescription,
    BoardShared,
    TimeScale,
    CheckConfig,
    CaptureBegin,
    CaptureEnd,
    TraceBegin,
    TraceClear,
    TraceEnd,
    BoardConnection
};

constinit Inspection g_inspection{{"fanscope_sim_board_problem", "fanscope_sim_board_description",
                                   "fanscope_sim_board_shared", "fanscope_sim_time_scale", "fanscope_sim_check_config",
                                   "fanscope_sim_capture_begin", "fanscope_sim_capture_end", "fanscope_sim_trace_begin",
                                   "fanscope_sim_trace_clear", "fanscope_sim_trace_end",
                                   "fanscope_sim_board_connection"}};

// The simulator's entries, or null on a real back-end (nothing to inspect)
// or when the simulator cannot be loaded.
const Inspection* inspection()
{
    if (!platform::simulated())
        return nullptr;
    return g_inspection.tryBind() ? &g_inspection : nullptr;
}

void toString(const char* text, unsigned long size, void* context)
{
    static_cast<std::string*>(context)->assign(text, size);
}

}  // namespace

std::string platformName() { return platform::implementation(); }

bool simulated() { return platform::simulated(); }

std::optional<std::string> simulatedBoard()
{
    if (!platform::simulated())
        return std::nullopt;
    if (const Inspection* sim = inspection())
        return std::string(sim->get<BoardDescription>()());
    // Still never hardware: the simulated back-end was chosen.
    return std::string("the simulator cannot be loaded");
}

bool sharedBoard()
{
    const Inspection* sim = inspection();
    return sim != nullptr && sim->get<BoardShared>()() != 0;
}

std::optional<double> boardTimeScale()
{
    const Inspection* sim = inspection();
    if (sim == nullptr)
        return std::nullopt;
    const double scale = sim->get<TimeScale>()();
    return scale > 0 ? std::optional<double>(scale) : std::nullopt;
}

std::string lostBoardReason()
{
    const Inspection* sim = inspection();
    return sim != nullptr ? std::string(sim->get<BoardProblem>()()) : std::string{};
}

std::uint64_t boardConnection(bool reconnect)
{
    const Inspection* sim = inspection();
    return sim != nullptr ? sim->get<BoardConnection>()(reconnect ? 1 : 0) : 1;
}

std::string configurationProblem(const std::string& path)
{
    const Inspection* sim = inspection();
    if (sim == nullptr)
        return {};
    std::string reason;
    if (sim->get<CheckConfig>()(path.c_str(), &toString, &reason) == 0)
        return {};
    return "simulated board configuration: " + reason;
}

bool captureAvailable() { return inspection() != nullptr; }

bool beginCapture(std::uint32_t portBase)
{
    const Inspection* sim = inspection();
    return sim != nullptr && sim->get<CaptureBegin>()(portBase) == 0;
}

std::optional<Capture> endCapture()
{
    const Inspection* sim = inspection();
    if (sim == nullptr)
        return std::nullopt;
    Capture capture;
    const int result = sim->get<CaptureEnd>()(&toString, &capture.vcd);
    if (result < 0)
        return std::nullopt;
    capture.truncated = result == 1;
    return capture;
}

bool beginTrace()
{
    const Inspection* sim = inspection();
    return sim != nullptr && sim->get<TraceBegin>()() == 0;
}

void clearTrace()
{
    if (const Inspection* sim = inspection())
        sim->get<TraceClear>()();
}

std::vector<BusTrace> endTrace()
{
    std::vector<BusTrace> buses;
    const Inspection* sim = inspection();
    if (sim == nullptr)
        return buses;
    const auto sink = [](int port, unsigned base, int adapter, const FanscopeSimTraceEvent* events, unsigned long count,
                         void* context) {
        BusTrace bus{port, base, adapter, {}};
        bus.events.reserve(count);
        for (unsigned long i = 0; i < count; ++i) {
            const FanscopeSimTraceEvent& e = events[i];
            bus.events.push_back(
                {static_cast<TraceEvent::Kind>(e.kind), e.value, e.ack != 0, e.bits, e.by != nullptr ? e.by : ""});
        }
        static_cast<std::vector<BusTrace>*>(context)->push_back(std::move(bus));
    };
    sim->get<TraceEnd>()(sink, &buses);
    return buses;
}

}  // namespace vexlink06::backend
