// C ABI of the simulator's inspection entries (libfanscope_sim.so), which
// the library binds by name for programs that must not link the simulator:
// the lost shared board's reason, what the board is, the check of a
// configuration file, the wire capture and the bus trace. Only ever loaded
// with the `sim` platform, so a process on real hardware has no board to
// inspect.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Why the shared board no longer serves this process, one sentence; "" while
// it serves or on the process's own board. Valid until the next call.
const char* fanscope_sim_board_problem(void);

// What serves as the board, as results name it: "shared, SOCKET", the
// configuration file, or "default configuration". Valid until the next call.
const char* fanscope_sim_board_description(void);

// 1 while the shared board serves this process (fanscope-board), 0 while
// the process has a board of its own.
int fanscope_sim_board_shared(void);
// Simulated seconds per real second of the board that serves: the process's
// own, or the shared board's as it said when the link last reached it; 0
// when the shared board was never reached or did not say.
double fanscope_sim_time_scale(void);

// The number of the shared board's connection that serves now (one more
// each time a lost board is reached again), 0 while it is lost; always 1 on
// the process's own board. With `reconnect` non-zero a lost link first tries
// to reach a board again (at most once per its backoff, which is at most 1 s).
unsigned long long fanscope_sim_board_connection(int reconnect);

// Text handed over in one piece; valid only during the call.
typedef void (*FanscopeSimSink)(const char* text, unsigned long size, void* context);

// Reads the configuration file at `path` as the board would. 0 when it can
// be used, else -1 with the reason given to `sink`.
int fanscope_sim_check_config(const char* path, FanscopeSimSink sink, void* context);

// Starts capturing the bus of the printer port at `portBase`, or the
// motherboard SMBus when `portBase` is 0, dropping any capture running.
// 0, or -1 when there is no such port or the shared board serves.
int fanscope_sim_capture_begin(unsigned portBase);

// Ends the capture and hands its Value Change Dump to `sink`. 0, -1 when no
// capture was running, 1 when the capture hit its size limit (the dump holds
// its beginning).
int fanscope_sim_capture_end(FanscopeSimSink sink, void* context);

// One decoded bus event. kind: 0 start, 1 repeated start, 2 stop, 3 byte
// (value and ack), 4 partial byte (`bits` clocks seen). `by` names the
// drivers that pulled SDA low for the data bits ("" = nobody).
typedef struct {
    int kind;
    unsigned char value;
    unsigned char ack;
    int bits;
    const char* by;
} FanscopeSimTraceEvent;

// The events of one bus: `port` is the printer port's index and `base` its
// address, or -1 and 0 for the motherboard SMBus and a kernel adapter's own
// bus. `adapter` is the number of the kernel adapter on that bus (wired to a
// port's bus, to the SMBus, or with a bus of its own), -1 for none. Valid
// only during the call.
typedef void (*FanscopeSimTraceSink)(int port, unsigned base, int adapter, const FanscopeSimTraceEvent* events,
                                     unsigned long count, void* context);

// Clears and starts the trace of every bus of the process's own board.
// 0, or -1 when the shared board serves (its wires are in another process).
int fanscope_sim_trace_begin(void);
// Forgets what was traced so far; the trace goes on.
void fanscope_sim_trace_clear(void);
// Stops the trace and hands each bus's events to `sink`: ports first, then
// the SMBus, then the adapters' own buses.
void fanscope_sim_trace_end(FanscopeSimTraceSink sink, void* context);

#ifdef __cplusplus
}
#endif
