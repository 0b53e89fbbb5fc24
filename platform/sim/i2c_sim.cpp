// The kernel I2C/SMBus adapter ABI served by the simulated PC's adapters.
// A handle is a slot in a small table, as a file descriptor would be: it
// remembers the adapter, the selected address and the PEC setting.
#include "i2cadapter_abi.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <vector>

#include <sim/board.h>
#include <sim/board_link.h>

namespace {

using boardwire::I2cCall;

// The shared board's handles by the link's connection they were opened on:
// a handle of a board that went is an adapter gone, never a handle of the
// next board (which numbers its own).
std::mutex g_openedMutex;
std::map<int32_t, uint64_t> g_opened;

// One call on the shared board's adapters. The board keeps the handles;
// a lost board is an adapter gone.
int32_t remote(I2cCall call, int32_t b, int32_t c = 0, int32_t d = 0, std::span<const uint8_t> out = {},
               std::vector<uint8_t>* in = nullptr)
{
    sim::BoardLink* link = sim::BoardLink::get();
    const bool byHandle = call != I2cCall::List && call != I2cCall::Open;
    if (byHandle) {
        const std::lock_guard lock(g_openedMutex);
        const auto it = g_opened.find(b);
        const bool stale = it != g_opened.end() && it->second != link->connection();
        if (call == I2cCall::Close && it != g_opened.end())
            g_opened.erase(it);
        if (stale)
            return VXI2C_EGONE;
    }
    boardwire::Message m = boardwire::request(boardwire::Op::I2c, static_cast<int32_t>(call), b, c, d);
    m.data.assign(out.begin(), out.end());
    const uint64_t connection = link->connection();
    const auto answer = link->call(m);
    if (!answer)
        return VXI2C_EGONE;
    if (call == I2cCall::Open && answer->a >= 0) {
        const std::lock_guard lock(g_openedMutex);
        g_opened[answer->a] = connection;
    }
    if (in)
        *in = answer->data;
    return answer->a;
}

bool shared() { return sim::BoardLink::get() != nullptr; }

struct Handle {
    bool open = false;
    int number = 0;
    int address = -1;
    bool pec = false;
    uint64_t generation = 0;  // a reconfigured board unplugs everything
    uint64_t plugs = 0;       // the adapter's, when opened: a replugged adapter is a new node
};

std::array<Handle, 64> g_handles;

int32_t codeFor(sim::Outcome outcome)
{
    switch (outcome) {
    case sim::Outcome::Ok: return VXI2C_OK;
    case sim::Outcome::NoAck: return VXI2C_ENOACK;
    case sim::Outcome::Busy:
    case sim::Outcome::Lost: return VXI2C_ETIMEOUT;
    case sim::Outcome::BadPec: return VXI2C_EBADPEC;
    case sim::Outcome::BadCount: return VXI2C_EPROTOCOL;
    }
    return VXI2C_EIO;
}

// The handle's adapter, or why there is none to use.
sim::I2cAdapter* adapterOf(int32_t handle, int32_t& code)
{
    if (handle < 0 || handle >= static_cast<int32_t>(g_handles.size()) || !g_handles[handle].open) {
        code = VXI2C_EARGUMENT;
        return nullptr;
    }
    const Handle& h = g_handles[static_cast<size_t>(handle)];
    sim::I2cAdapter* adapter = sim::board().i2cAdapter(h.number);
    if (!adapter || !adapter->present() || h.generation != sim::board().generation() || h.plugs != adapter->plugs()) {
        code = VXI2C_EGONE;
        return nullptr;
    }
    code = VXI2C_OK;
    return adapter;
}

// One data transfer on the handle's adapter at its selected address.
int32_t run(int32_t handle, const uint8_t* out, int outCount, int readCount, uint8_t* in, int& received)
{
    int32_t code = VXI2C_OK;
    sim::I2cAdapter* adapter = adapterOf(handle, code);
    if (!adapter)
        return code;
    const Handle& h = g_handles[static_cast<size_t>(handle)];
    if (h.address < 0)
        return VXI2C_EARGUMENT;
    const sim::Outcome outcome =
        adapter->transfer(static_cast<uint8_t>(h.address), std::span<const uint8_t>(out, static_cast<size_t>(outCount)),
                          readCount, in, received, h.pec);
    return adapter->present() ? codeFor(outcome) : VXI2C_EGONE;
}

}  // namespace

extern "C" {

int32_t VxI2cListAdapters(VxI2cAdapterInfo* adapters, int32_t capacity)
{
    if (shared()) {
        if (adapters && capacity > 0 && adapters[0].size < static_cast<int32_t>(sizeof(VxI2cAdapterInfo)))
            return VXI2C_EARGUMENT;
        // A lost board lists no adapters, as an unplugged machine would.
        std::vector<uint8_t> records;
        const int32_t count = remote(I2cCall::List, adapters ? capacity : 0, 0, 0, {}, &records);
        if (count == VXI2C_EGONE)
            return 0;
        const size_t whole = records.size() / sizeof(VxI2cAdapterInfo);
        for (size_t i = 0; i < whole && adapters && static_cast<int32_t>(i) < capacity; ++i) {
            std::memcpy(&adapters[i], records.data() + i * sizeof(VxI2cAdapterInfo), sizeof(VxI2cAdapterInfo));
            adapters[i].name[VXI2C_NAME_SIZE - 1] = '\0';
            adapters[i].group[VXI2C_GROUP_SIZE - 1] = '\0';
        }
        return count;
    }
    sim::Board& board = sim::board();
    if (!board.config().i2cDevLoaded)
        return VXI2C_ENODEVFILES;
    int32_t count = 0;
    for (const auto& a : board.i2cAdapters()) {
        if (!a->present())
            continue;
        if (adapters && count < capacity) {
            VxI2cAdapterInfo& info = adapters[count];
            if (info.size < static_cast<int32_t>(sizeof(VxI2cAdapterInfo)))
                return VXI2C_EARGUMENT;
            info.number = a->number();
            // Cut to the ABI's fields on purpose, as the kernel cuts its names.
            (void)std::snprintf(info.name, sizeof info.name, "%s", a->config().name.c_str());
            (void)std::snprintf(info.group, sizeof info.group, "%s", "i2c");
            info.access = a->config().accessDenied ? VXI2C_EACCES : VXI2C_OK;
            info.functionality = a->config().accessDenied ? 0 : a->functionality();
        }
        ++count;
    }
    return count;
}

int32_t VxI2cOpen(int32_t number)
{
    if (shared())
        return remote(I2cCall::Open, number);
    sim::Board& board = sim::board();
    if (!board.config().i2cDevLoaded)
        return VXI2C_ENODEVFILES;
    sim::I2cAdapter* adapter = board.i2cAdapter(number);
    if (!adapter || !adapter->present())
        return VXI2C_ENOADAPTER;
    if (adapter->config().accessDenied)
        return VXI2C_EACCES;
    for (size_t i = 0; i < g_handles.size(); ++i) {
        if (!g_handles[i].open) {
            g_handles[i] = Handle{true, number, -1, false, board.generation(), adapter->plugs()};
            return static_cast<int32_t>(i);
        }
    }
    return VXI2C_EIO;  // as EMFILE would be
}

void VxI2cClose(int32_t handle)
{
    if (shared()) {
        remote(I2cCall::Close, handle);
        return;
    }
    if (handle >= 0 && handle < static_cast<int32_t>(g_handles.size()))
        g_handles[static_cast<size_t>(handle)] = Handle{};
}

int32_t VxI2cSetAddress(int32_t handle, int32_t address7, int32_t force)
{
    if (shared())
        return remote(I2cCall::SetAddress, handle, address7, force);
    int32_t code = VXI2C_OK;
    sim::I2cAdapter* adapter = adapterOf(handle, code);
    if (!adapter)
        return code;
    if (address7 < 0 || address7 > 0x7F)
        return VXI2C_EARGUMENT;
    if (!force && adapter->driverOwns(static_cast<uint8_t>(address7)))
        return VXI2C_EBUSY;
    g_handles[static_cast<size_t>(handle)].address = address7;
    return VXI2C_OK;
}

int32_t VxI2cSetPec(int32_t handle, int32_t on)
{
    if (shared())
        return remote(I2cCall::SetPec, handle, on);
    int32_t code = VXI2C_OK;
    sim::I2cAdapter* adapter = adapterOf(handle, code);
    if (!adapter)
        return code;
    if (on && !adapter->config().pec)
        return VXI2C_EUNSUPPORTED;
    g_handles[static_cast<size_t>(handle)].pec = on != 0;
    return VXI2C_OK;
}

int32_t VxI2cQuick(int32_t handle, int32_t readBit)
{
    if (shared())
        return remote(I2cCall::Quick, handle, readBit);
    int32_t code = VXI2C_OK;
    sim::I2cAdapter* adapter = adapterOf(handle, code);
    if (!adapter)
        return code;
    const int address = g_handles[static_cast<size_t>(handle)].address;
    if (address < 0)
        return VXI2C_EARGUMENT;
    const sim::Outcome outcome = adapter->quick(static_cast<uint8_t>(address), readBit != 0);
    return adapter->present() ? codeFor(outcome) : VXI2C_EGONE;
}

int32_t VxI2cReadByte(int32_t handle)
{
    if (shared())
        return remote(I2cCall::ReadByte, handle);
    uint8_t value = 0;
    int received = 0;
    const int32_t rc = run(handle, nullptr, 0, 1, &value, received);
    return rc < 0 ? rc : value;
}

int32_t VxI2cWriteByte(int32_t handle, int32_t value)
{
    if (shared())
        return remote(I2cCall::WriteByte, handle, value);
    const auto b = static_cast<uint8_t>(value);
    int received = 0;
    return run(handle, &b, 1, 0, nullptr, received);
}

int32_t VxI2cReadByteData(int32_t handle, int32_t command)
{
    if (shared())
        return remote(I2cCall::ReadByteData, handle, command);
    const auto c = static_cast<uint8_t>(command);
    uint8_t value = 0;
    int received = 0;
    const int32_t rc = run(handle, &c, 1, 1, &value, received);
    return rc < 0 ? rc : value;
}

int32_t VxI2cWriteByteData(int32_t handle, int32_t command, int32_t value)
{
    if (shared())
        return remote(I2cCall::WriteByteData, handle, command, value);
    const uint8_t out[2] = {static_cast<uint8_t>(command), static_cast<uint8_t>(value)};
    int received = 0;
    return run(handle, out, 2, 0, nullptr, received);
}

int32_t VxI2cReadWordData(int32_t handle, int32_t command)
{
    if (shared())
        return remote(I2cCall::ReadWordData, handle, command);
    const auto c = static_cast<uint8_t>(command);
    uint8_t in[2] = {};
    int received = 0;
    const int32_t rc = run(handle, &c, 1, 2, in, received);
    return rc < 0 ? rc : (in[0] | (in[1] << 8));  // SMBus words go low byte first
}

int32_t VxI2cWriteWordData(int32_t handle, int32_t command, int32_t value)
{
    if (shared())
        return remote(I2cCall::WriteWordData, handle, command, value);
    const uint8_t out[3] = {static_cast<uint8_t>(command), static_cast<uint8_t>(value & 0xFF),
                            static_cast<uint8_t>((value >> 8) & 0xFF)};
    int received = 0;
    return run(handle, out, 3, 0, nullptr, received);
}

int32_t VxI2cReadBlockData(int32_t handle, int32_t command, uint8_t* data)
{
    if (!data)
        return VXI2C_EARGUMENT;
    if (shared()) {
        std::vector<uint8_t> block;
        const int32_t count = remote(I2cCall::ReadBlockData, handle, command, 0, {}, &block);
        std::memcpy(data, block.data(), std::min<size_t>(block.size(), VXI2C_BLOCK_MAX));
        return count;
    }
    const auto c = static_cast<uint8_t>(command);
    int received = 0;
    const int32_t rc = run(handle, &c, 1, -1, data, received);
    return rc < 0 ? rc : received;
}

int32_t VxI2cWriteBlockData(int32_t handle, int32_t command, int32_t count, const uint8_t* data)
{
    if (count < 0 || count > VXI2C_BLOCK_MAX || (count > 0 && !data))
        return VXI2C_EARGUMENT;
    if (shared())
        return remote(I2cCall::WriteBlockData, handle, command, 0,
                      std::span<const uint8_t>(data, static_cast<size_t>(count)));
    uint8_t out[2 + VXI2C_BLOCK_MAX];
    out[0] = static_cast<uint8_t>(command);
    out[1] = static_cast<uint8_t>(count);
    if (count > 0)
        std::memcpy(out + 2, data, static_cast<size_t>(count));
    int received = 0;
    return run(handle, out, count + 2, 0, nullptr, received);
}

}  // extern "C"
