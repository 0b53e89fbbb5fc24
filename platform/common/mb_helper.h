// What every motherboard SMBus helper implementation shares: the table of
// opened ports with the range checks of an open, and byte access expressed
// through one wide access, so the shared transfers run over it. An
// implementation supplies only how it reaches the ports and what it must
// ask before a port may be used.
#pragma once
#include <cstdint>

#include "mb_port_table.h"
#include "mb_transfers.h"

namespace mbhelper {

// What an access of `width` bytes reads from a port nobody decodes.
constexpr uint32_t allOnes(int width) { return width == 4 ? 0xFFFFFFFFu : width == 2 ? 0xFFFFu : 0xFFu; }

class Helper : public PortIo {
public:
    uint8_t inb(uint16_t port) final { return static_cast<uint8_t>(in(port, 1)); }
    void outb(uint16_t port, uint8_t value) final { out(port, value, 1); }

    // `width` is 1, 2 or 4 bytes; `value` holds no bits above it.
    virtual uint32_t in(uint16_t port, int width) = 0;
    virtual void out(uint16_t port, uint32_t value, int width) = 0;

    // Opens `count` consecutive ports from `port`; false, and nothing
    // opened, when the range leaves the port space or a port is refused.
    bool open(int32_t port, int32_t count)
    {
        if (port < 0 || port > 0xFFFF || count < 1 || count > 0x10000 - port)
            return false;
        const uint32_t first = static_cast<uint32_t>(port);
        const uint32_t last = first + static_cast<uint32_t>(count) - 1;
        if (!acquire(first, last))
            return false;
        for (uint32_t p = first; p <= last; ++p)
            m_open.open(p);
        return true;
    }

    void close(int32_t port)
    {
        if (port >= 0 && m_open.close(static_cast<uint32_t>(port)))
            released(static_cast<uint32_t>(port));
    }

    // Why the helper refused to touch the SMBus controller, as one sentence
    // for the user; empty while nothing was refused.
    virtual const char* refusal() const { return ""; }

protected:
    bool isOpen(uint16_t port, int width) const { return m_open.allOpen(port, static_cast<uint32_t>(width)); }

private:
    // Whatever permission ports first..last need before they count as open.
    virtual bool acquire(uint32_t first, uint32_t last) = 0;
    // The last open of `port` has been closed.
    virtual void released(uint32_t /*port*/) { }

    PortTable m_open;
};

// The one helper of this library, defined by its implementation.
Helper& helper();

}  // namespace mbhelper
