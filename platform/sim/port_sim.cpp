// The parallel-port driver ABI served by the simulated board.
#include "parport_abi.h"

#include <sim/board.h>

namespace {

sim::Port* portByNumber(int32_t portNumber) { return sim::board().port(portNumber - 1); }

}  // namespace

extern "C" {

int32_t GetParallelPortCount(void) { return sim::board().portCount(); }

int32_t GetParallelPortInfo(int32_t portNumber, PortInfoRecord* info)
{
    sim::Port* port = portByNumber(portNumber);
    if (!port || !info || info->size < static_cast<int32_t>(sizeof(PortInfoRecord)))
        return 0;
    info->base = static_cast<int32_t>(port->base());
    return 1;
}

int32_t ClaimParallelPort(int32_t portNumber, int32_t /*timeout*/)
{
    sim::Port* port = portByNumber(portNumber);
    return port && port->claim() ? 1 : 0;
}

void ReleaseParallelPort(int32_t portNumber)
{
    if (sim::Port* port = portByNumber(portNumber))
        port->release();
}

void OutByte(int32_t address, uint8_t value)
{
    const auto a = static_cast<uint32_t>(address);
    if (sim::Port* port = sim::board().portAt(a))
        port->write(a - port->base(), value);
}

uint8_t InByte(int32_t address)
{
    const auto a = static_cast<uint32_t>(address);
    if (sim::Port* port = sim::board().portAt(a))
        return port->read(a - port->base());
    return 0;
}

}  // extern "C"
