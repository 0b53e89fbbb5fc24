// Which ports the helper's callers have opened. Opens are counted, so two
// clients of one process that open the same ports do not close them for
// each other; a port is only touched while its count is above zero.
#pragma once
#include <array>
#include <cstdint>
#include <memory>

namespace mbhelper {

class PortTable {
public:
    bool isOpen(uint32_t port) const { return port <= 0xFFFF && (*m_counts)[port] > 0; }
    bool allOpen(uint32_t port, uint32_t width) const
    {
        for (uint32_t p = port; p < port + width; ++p)
            if (!isOpen(p))
                return false;
        return true;
    }
    void open(uint32_t port)
    {
        if (port <= 0xFFFF && (*m_counts)[port] < UINT32_MAX)
            ++(*m_counts)[port];
    }
    // True when this was the last open of the port.
    bool close(uint32_t port)
    {
        if (!isOpen(port))
            return false;
        return --(*m_counts)[port] == 0;
    }

private:
    std::unique_ptr<std::array<uint32_t, 0x10000>> m_counts = std::make_unique<std::array<uint32_t, 0x10000>>();
};

}  // namespace mbhelper
