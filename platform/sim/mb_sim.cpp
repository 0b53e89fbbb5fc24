// The motherboard SMBus helper served by the simulated motherboard. It keeps
// the same rules as the real helper (only opened ports are touched, the
// transfers are the shared register sequences), so the library cannot tell
// the two apart.
#include "../common/mb_exports.h"

#include "sim/board_link.h"
#include "sim/motherboard.h"

namespace {

using boardwire::Op;

class SimHelper final : public mbhelper::Helper {
public:
    uint32_t in(uint16_t port, int width) override
    {
        if (!isOpen(port, width))
            return mbhelper::allOnes(width);
        sim::Motherboard& board = sim::motherboard();
        return width == 1 ? board.inb(port) : width == 2 ? board.inw(port) : board.inl(port);
    }

    void out(uint16_t port, uint32_t value, int width) override
    {
        if (!isOpen(port, width))
            return;
        sim::Motherboard& board = sim::motherboard();
        if (width == 1)
            board.outb(port, static_cast<uint8_t>(value));
        else if (width == 2)
            board.outw(port, static_cast<uint16_t>(value));
        else
            board.outl(port, value);
    }

private:
    bool acquire(uint32_t first, uint32_t last) override
    {
        for (uint32_t p = first; p <= last; ++p)
            if (!sim::motherboard().mayOpen(static_cast<uint16_t>(p)))
                return false;
        return true;
    }
};

// The shared board's motherboard. Which ports are open stays in this
// process, as a port permission would; the board only says which it refuses.
class SharedHelper final : public mbhelper::Helper {
public:
    explicit SharedHelper(sim::BoardLink& link) : m_link(link) { }

    uint32_t in(uint16_t port, int width) override
    {
        if (!isOpen(port, width))
            return mbhelper::allOnes(width);
        const auto answer = m_link.call(boardwire::request(Op::MbIn, port, width));
        return answer ? static_cast<uint32_t>(answer->a) : mbhelper::allOnes(width);
    }

    void out(uint16_t port, uint32_t value, int width) override
    {
        if (isOpen(port, width))
            m_link.post(boardwire::request(Op::MbOut, port, static_cast<int32_t>(value), width));
    }

private:
    bool acquire(uint32_t first, uint32_t last) override
    {
        const auto answer =
            m_link.call(boardwire::request(Op::MbMayOpen, static_cast<int32_t>(first), static_cast<int32_t>(last)));
        return answer && answer->a != 0;
    }

    sim::BoardLink& m_link;
};

}  // namespace

mbhelper::Helper& mbhelper::helper()
{
    if (sim::BoardLink* link = sim::BoardLink::get()) {
        static SharedHelper shared(*link);
        return shared;
    }
    static SimHelper instance;
    return instance;
}
