// The parallel-port driver ABI served by the simulated board: the shared
// one when the process uses it, else the process's own.
#include "parport_abi.h"

#include <sim/board.h>
#include <sim/board_link.h>
#include <sim/read_ahead.h>

#include <mutex>
#include <vector>

namespace {

using boardwire::Op;

sim::Port* portByNumber(int32_t portNumber) { return sim::board().port(portNumber - 1); }

// The shared board's answer to one request; `lost` when it cannot answer.
int32_t ask(sim::BoardLink& link, Op op, int32_t a, int32_t lost, int timeoutMs = sim::BoardLink::kReplyMs)
{
    const auto answer = link.call(boardwire::request(op, a), timeoutMs);
    return answer ? answer->a : lost;
}

// The shared board's ports as this process knows them. Every port access
// of the shared board goes through here under the lock, so what the
// follower saw is what the board gets, in the same order.
struct Ahead {
    std::mutex mutex;
    sim::ReadAheadFollower follower;        // the byte a device is sending
    std::vector<sim::TransferEdges> ports;  // those the board described at a claim
    uint64_t connection = 0;                // the link's, when the two above were last right

    // What was followed on a board that went is no guide to the next one.
    void follow(const sim::BoardLink& link)
    {
        if (link.connection() == connection)
            return;
        connection = link.connection();
        follower.stop();
        for (sim::TransferEdges& p : ports)
            p.reset();
    }

    sim::TransferEdges* port(uint32_t base)
    {
        for (sim::TransferEdges& p : ports)
            if (p.base() == base)
                return &p;
        return nullptr;
    }
};
Ahead& ahead()
{
    static Ahead a;
    return a;
}

}  // namespace

extern "C" {

int32_t GetParallelPortCount(void)
{
    if (sim::BoardLink* link = sim::BoardLink::get())
        return ask(*link, Op::PortCount, 0, 0);
    return sim::board().portCount();
}

int32_t GetParallelPortInfo(int32_t portNumber, PortInfoRecord* info)
{
    if (!info || info->size < static_cast<int32_t>(sizeof(PortInfoRecord)))
        return 0;
    if (sim::BoardLink* link = sim::BoardLink::get()) {
        const int32_t base = ask(*link, Op::PortBase, portNumber, 0);
        if (base == 0)
            return 0;
        info->base = base;
        return 1;
    }
    sim::Port* port = portByNumber(portNumber);
    if (!port)
        return 0;
    info->base = static_cast<int32_t>(port->base());
    return 1;
}

int32_t ClaimParallelPort(int32_t portNumber, int32_t /*timeout*/)
{
    // The shared board waits a while for another process to release the
    // port, so two programs take turns instead of one of them skipping. A
    // lost board claims as a port with nothing on it: its reads give all
    // ones, which callers already take for a chip that stopped answering.
    if (sim::BoardLink* link = sim::BoardLink::get()) {
        const std::lock_guard lock(ahead().mutex);
        ahead().follow(*link);
        ahead().follower.stop();
        // Claimed again before the last release went out: the board never
        // saw the port go, so it is still this process's.
        if (link->withdraw(boardwire::request(Op::Release, portNumber)))
            return 1;
        const auto answer = link->call(boardwire::request(Op::Claim, portNumber), sim::BoardLink::kClaimReplyMs);
        if (!answer)
            return 1;
        // The board names the port's base and adapter with a claim it grants.
        if (const auto claimed = boardwire::decodeClaimedPort(answer->data); answer->a != 0 && claimed) {
            if (!ahead().port(claimed->base))
                ahead().ports.emplace_back(claimed->base, claimed->inverting);
        }
        return answer->a != 0 ? 1 : 0;
    }
    sim::Port* port = portByNumber(portNumber);
    return port && port->claim() ? 1 : 0;
}

void ReleaseParallelPort(int32_t portNumber)
{
    if (sim::BoardLink* link = sim::BoardLink::get()) {
        // With the next request: a program claims and releases around every
        // transfer, and its next claim, often microseconds later, takes the
        // release back instead of asking the board again. Until the release
        // arrives the board counts this process as one that keeps its claim,
        // and switches it out for a waiting process as soon as its transfer
        // has ended (the stop went out at once), so nobody waits for it.
        const std::lock_guard lock(ahead().mutex);
        ahead().follow(*link);
        ahead().follower.stop();
        link->post(boardwire::request(Op::Release, portNumber), sim::BoardLink::Send::WithNext);
        return;
    }
    if (sim::Port* port = portByNumber(portNumber))
        port->release();
}

void OutByte(int32_t address, uint8_t value)
{
    if (sim::BoardLink* link = sim::BoardLink::get()) {
        const std::lock_guard lock(ahead().mutex);
        ahead().follow(*link);
        const auto a = static_cast<uint32_t>(address);
        ahead().follower.onWrite(a, value);
        sim::TransferEdges* edges = ahead().port(a);
        link->post(boardwire::request(Op::PortOut, address, value),
                   edges ? edges->onWrite(value) : sim::BoardLink::Send::Late);
        return;
    }
    const auto a = static_cast<uint32_t>(address);
    if (sim::Port* port = sim::board().portAt(a))
        port->write(a - port->base(), value);
}

uint8_t InByte(int32_t address)
{
    // A lost board reads as a port with nothing attached: all ones.
    if (sim::BoardLink* link = sim::BoardLink::get()) {
        const std::lock_guard lock(ahead().mutex);
        ahead().follow(*link);
        sim::ReadAheadFollower& follower = ahead().follower;
        if (const auto status = follower.status(static_cast<uint32_t>(address))) {
            // Inside a byte being read: more follows.
            link->post(boardwire::request(Op::PortInSeen, address, *status), sim::BoardLink::Send::WithNext);
            return *status;
        }
        const auto answer = link->call(boardwire::request(Op::PortIn, address, boardwire::kReadAheadWanted));
        if (!answer) {
            follower.stop();
            return 0xFF;
        }
        if (const auto next = sim::ReadAhead::decode(answer->data))
            follower.start(*next);
        else
            follower.stop();
        return static_cast<uint8_t>(answer->a);
    }
    const auto a = static_cast<uint32_t>(address);
    if (sim::Port* port = sim::board().portAt(a))
        return port->read(a - port->base());
    return 0;
}

}  // extern "C"
