#include "port_turns.h"

#include <algorithm>

#include <sim/board.h>

namespace board {
namespace {

sim::Port* portNumbered(int32_t number) { return sim::board().port(number - 1); }

int32_t portNumberAt(uint32_t address)
{
    sim::Board& b = sim::board();
    for (int i = 0; i < b.portCount(); ++i) {
        const uint32_t base = b.port(i)->base();
        if (address >= base && address - base <= 2)
            return i + 1;
    }
    return 0;
}

}  // namespace

void PortTurns::MessageWatch::reset()
{
    m_lines.reset(true, true);
    m_inMessage = false;
    m_clocks = 0;
}

void PortTurns::MessageWatch::onLines(bool scl, bool sda)
{
    const sim::LineEvents e = m_lines.next(scl, sda);
    if (e.start) {
        // A start, or a repeated one: a new address byte follows.
        m_inMessage = true;
        m_clocks = 0;
        m_read = false;
    } else if (e.stop) {
        if (m_inMessage) {
            m_inMessage = false;
            ++ended;
            // The address byte and one more, written: a command byte alone
            // (the stop's own clock makes no byte).
            commandOnly = !m_read && m_clocks / 9 == 2;
        }
    } else if (e.sclRose && m_inMessage) {
        // The eighth clock of the address byte carries read or write.
        if (++m_clocks == 8)
            m_read = sda;
    }
}

PortTurns::PortTurns(Options options) : m_options(options) { }

PortTurns::~PortTurns()
{
    for (auto& [number, port] : m_ports)
        if (sim::Port* p = portNumbered(number))
            p->bus().detach(port.watch.get());
}

PortTurns::Port* PortTurns::portFor(int32_t number)
{
    sim::Port* p = portNumbered(number);
    if (!p)
        return nullptr;
    Port& port = m_ports[number];
    if (!port.watch) {
        port.watch = std::make_unique<MessageWatch>();
        p->bus().attach(port.watch.get());
    }
    return &port;
}

PortTurns::Claim PortTurns::claim(int32_t number, int id)
{
    Port* found = portFor(number);
    if (!found)
        return Claim::Refused;
    Port& port = *found;
    if (port.owner == id)
        return Claim::Granted;
    if (port.owner == 0 && port.waiters.empty())
        return switchTo(number, port, id) ? Claim::Granted : Claim::Refused;
    enqueue(port, id, true);
    return Claim::Waits;
}

void PortTurns::release(int32_t number, int id)
{
    const auto it = m_ports.find(number);
    if (it == m_ports.end())
        return;
    Port& port = it->second;
    port.suspended.erase(id);
    std::erase_if(port.waiters, [id](const Waiter& w) { return w.id == id; });
    if (port.owner == id) {
        port.owner = 0;
        if (sim::Port* p = portNumbered(number))
            p->release();
    }
}

bool PortTurns::mayAccess(int id, uint32_t address)
{
    const int32_t number = portNumberAt(address);
    const auto it = m_ports.find(number);
    if (number == 0 || it == m_ports.end())
        return true;
    Port& port = it->second;
    if (port.suspended.count(id)) {
        enqueue(port, id, false);
        return false;
    }
    if (port.owner == id && turnIsUp(number, port, Clock::now())) {
        switchOut(number, port);
        enqueue(port, id, false);
        return false;
    }
    return true;
}

bool PortTurns::owns(int id, uint32_t address)
{
    const int32_t number = portNumberAt(address);
    const auto it = m_ports.find(number);
    if (number == 0 || it == m_ports.end() || it->second.owner != id)
        return false;
    it->second.lastAccess = Clock::now();
    return true;
}

bool PortTurns::waiting(int id) const
{
    return std::any_of(m_ports.begin(), m_ports.end(), [id](const auto& entry) {
        const auto& waiters = entry.second.waiters;
        return std::any_of(waiters.begin(), waiters.end(), [id](const Waiter& w) { return w.id == id; });
    });
}

void PortTurns::leave(int id)
{
    for (auto& [number, port] : m_ports)
        release(number, id);
}

bool PortTurns::turnIsUp(int32_t number, const Port& port, Clock::time_point now) const
{
    if (port.waiters.empty())
        return false;
    // Never inside a message, nor while the owner holds a line low.
    const sim::Bus& bus = portNumbered(number)->bus();
    if (bus.inMessage() || !bus.scl() || !bus.sda())
        return false;
    const MessageWatch& watch = *port.watch;
    const bool messages = watch.ended > port.endedBefore;
    if (messages && !watch.commandOnly)
        return true;  // a whole transfer done
    const auto quiet = now - port.lastAccess;
    // The read that follows a command byte is given time to come.
    if (messages)
        return quiet >= 10 * m_options.lendAfter;
    // No message yet: idle, slow to start, or only switching the heaters. A
    // holder switched out before its first access loses nothing: its
    // access is served first thing in its turn back.
    return now - port.turnSince >= m_options.lendAfter;
}

void PortTurns::switchOut(int32_t number, Port& port)
{
    port.suspended[port.owner] = portNumbered(number)->data();
    port.owner = 0;
}

bool PortTurns::switchTo(int32_t number, Port& port, int id)
{
    sim::Port* p = portNumbered(number);
    // A port the configuration gives to another process refuses every claim.
    if (!p->claim())
        return false;
    port.owner = id;
    port.turnSince = port.lastAccess = Clock::now();
    port.endedBefore = port.watch->ended;
    if (const auto saved = port.suspended.find(id); saved != port.suspended.end()) {
        // Back to a holder: its data register as it left it.
        p->write(0, saved->second);
        port.suspended.erase(saved);
    }
    return true;
}

void PortTurns::enqueue(Port& port, int id, bool claim)
{
    if (std::none_of(port.waiters.begin(), port.waiters.end(), [id](const Waiter& w) { return w.id == id; }))
        port.waiters.push_back({id, claim, Clock::now() + m_options.claimWait});
}

std::vector<PortTurns::Handout> PortTurns::advance()
{
    std::vector<Handout> handouts;
    const auto now = Clock::now();
    for (auto& [number, port] : m_ports) {
        // A new claim that waited too long: refused, as a busy port is.
        std::erase_if(port.waiters, [&](const Waiter& w) {
            if (!w.claim || now < w.until)
                return false;
            handouts.push_back({w.id, true, false, number});
            return true;
        });
        if (port.waiters.empty())
            continue;
        if (port.owner != 0) {
            if (!turnIsUp(number, port, now))
                continue;
            switchOut(number, port);
        }
        const Waiter next = port.waiters.front();
        port.waiters.pop_front();
        const bool granted = switchTo(number, port, next.id);
        handouts.push_back({next.id, next.claim, granted, number});
    }
    return handouts;
}

PortTurns::Clock::time_point PortTurns::nextDeadline(Clock::time_point now) const
{
    auto wake = Clock::time_point::max();
    for (const auto& [number, port] : m_ports) {
        if (port.waiters.empty())
            continue;
        // An owner's turn may come up by time alone; a claim may time out.
        wake = std::min(wake, now + m_options.lendAfter / 2);
        for (const Waiter& w : port.waiters)
            if (w.claim)
                wake = std::min(wake, w.until);
    }
    return wake;
}

}  // namespace board
