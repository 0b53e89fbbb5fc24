// The kernel's i2c-dev driver as the command under exec meets it: each open
// file of /dev/i2c-N is one handle of the adapter ABI, answered from the
// simulated board.
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

#include <sim/board_link.h>

#include "exec_node.h"
#include "i2cadapter_abi.h"

namespace boardexec {

namespace {

// The kernel's limits for one I2C_RDWR call.
constexpr unsigned kRdwrMaxMessages = 42;
constexpr unsigned kRdwrMaxLength = 8192;

}  // namespace

int errnoForAdapterCode(int code)
{
    switch (code) {
    case VXI2C_OK: return 0;
    case VXI2C_ENOACK: return ENXIO;
    case VXI2C_EBADPEC: return EBADMSG;
    case VXI2C_ETIMEOUT: return ETIMEDOUT;
    case VXI2C_EGONE: return ENODEV;
    case VXI2C_EBUSY: return EBUSY;
    case VXI2C_EACCES: return EACCES;
    case VXI2C_ENODEVFILES: return ENOENT;
    case VXI2C_ENOADAPTER: return ENODEV;
    case VXI2C_EUNSUPPORTED: return EOPNOTSUPP;
    case VXI2C_EPROTOCOL: return EPROTO;
    case VXI2C_EARGUMENT: return EINVAL;
    default: return EIO;
    }
}

int Devices::Node::i2cHandle(UMockdevIoctlClient* client, int& err)
{
    auto [it, fresh] = i2cFiles.try_emplace(client);
    I2cFile& file = it->second;
    const sim::BoardLink* link = sim::BoardLink::get();
    const uint64_t connection = link != nullptr ? link->connection() : 1;
    // The adapter belongs to the PC, not to the board: a file opened while
    // the board was away, or on the board before a restart, reaches the
    // board that answers now, with the address and PEC its command chose.
    const bool stale =
        !fresh && connection != 0 && (file.handle >= 0 ? file.connection != connection : file.openCode == VXI2C_EGONE);
    if (fresh || stale) {
        if (file.handle >= 0)
            VxI2cClose(file.handle);
        file.handle = -1;
        const int32_t handle = VxI2cOpen(number);
        if (handle < 0) {
            file.openCode = handle;
        } else {
            file.handle = handle;
            file.openCode = VXI2C_OK;
            file.connection = connection;
            if (file.address >= 0)
                VxI2cSetAddress(handle, file.address, 1);
            if (file.pec)
                VxI2cSetPec(handle, 1);
        }
    }
    err = file.handle < 0 ? errnoForAdapterCode(file.openCode) : 0;
    return file.handle;
}

bool Devices::Node::i2cIoctl(UMockdevIoctlClient* client)
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    int err = 0;
    const int handle = i2cHandle(client, err);
    switch (request) {
    case I2C_FUNCS: {
        if (err) {
            complete(client, err);
            return true;
        }
        DataRef out = resolve(arg, 0, sizeof(unsigned long));
        if (!out.data) {
            complete(client, EFAULT);
            return true;
        }
        *out.as<unsigned long>() = functionality;
        complete(client, 0);
        return true;
    }
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE: {
        const unsigned long address = argValue(client);
        if (address > 0x7F) {
            complete(client, EINVAL);
            return true;
        }
        if (err) {
            complete(client, err);
            return true;
        }
        const int32_t code = VxI2cSetAddress(handle, static_cast<int32_t>(address), request == I2C_SLAVE_FORCE ? 1 : 0);
        if (code == VXI2C_OK)
            i2cFiles[client].address = static_cast<int>(address);
        complete(client, errnoForAdapterCode(code));
        return true;
    }
    case I2C_TENBIT:
        // Only 7-bit addresses on these adapters.
        complete(client, argValue(client) != 0 ? EOPNOTSUPP : 0);
        return true;
    case I2C_PEC: {
        if (err) {
            complete(client, err);
            return true;
        }
        // The kernel takes the flag on any adapter and quietly sends no
        // PEC where the adapter has none.
        const bool on = argValue(client) != 0;
        i2cFiles[client].pec = on;
        const int32_t code = VxI2cSetPec(handle, on ? 1 : 0);
        complete(client, code == VXI2C_EUNSUPPORTED ? 0 : errnoForAdapterCode(code));
        return true;
    }
    case I2C_RETRIES:
    case I2C_TIMEOUT: complete(client, 0); return true;
    case I2C_SMBUS: smbus(client, arg, handle, err); return true;
    case I2C_RDWR: rdwr(client, arg, handle, err); return true;
    default: complete(client, ENOTTY); return true;
    }
}

void Devices::Node::smbus(UMockdevIoctlClient* client, UMockdevIoctlData* arg, int handle, int openErr)
{
    DataRef req = resolve(arg, 0, sizeof(i2c_smbus_ioctl_data));
    if (!req.data) {
        complete(client, EFAULT);
        return;
    }
    const i2c_smbus_ioctl_data r = *req.as<i2c_smbus_ioctl_data>();
    if (r.read_write != I2C_SMBUS_READ && r.read_write != I2C_SMBUS_WRITE) {
        complete(client, EINVAL);
        return;
    }
    const bool read = r.read_write == I2C_SMBUS_READ;
    switch (r.size) {
    case I2C_SMBUS_QUICK:
    case I2C_SMBUS_BYTE:
    case I2C_SMBUS_BYTE_DATA:
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_PROC_CALL:
    case I2C_SMBUS_BLOCK_PROC_CALL:
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_I2C_BLOCK_DATA: break;
    default: complete(client, EINVAL); return;
    }
    // As i2c-dev: only a quick command and a byte write may come without
    // a data buffer.
    const bool needsData = !(r.size == I2C_SMBUS_QUICK || (r.size == I2C_SMBUS_BYTE && !read));
    DataRef payload;
    if (needsData) {
        if (r.data == nullptr) {
            complete(client, EINVAL);
            return;
        }
        payload = resolve(req.data, offsetof(i2c_smbus_ioctl_data, data), sizeof(i2c_smbus_data));
        if (!payload.data) {
            complete(client, EFAULT);
            return;
        }
    }
    if (openErr) {
        complete(client, openErr);
        return;
    }
    auto* data = payload.data ? payload.as<i2c_smbus_data>() : nullptr;
    int32_t rc = VXI2C_EUNSUPPORTED;
    switch (r.size) {
    case I2C_SMBUS_QUICK: rc = VxI2cQuick(handle, read ? 1 : 0); break;
    case I2C_SMBUS_BYTE:
        rc = read ? VxI2cReadByte(handle) : VxI2cWriteByte(handle, r.command);
        if (read && rc >= 0)
            data->byte = static_cast<uint8_t>(rc);
        break;
    case I2C_SMBUS_BYTE_DATA:
        rc = read ? VxI2cReadByteData(handle, r.command) : VxI2cWriteByteData(handle, r.command, data->byte);
        if (read && rc >= 0)
            data->byte = static_cast<uint8_t>(rc);
        break;
    case I2C_SMBUS_WORD_DATA:
        rc = read ? VxI2cReadWordData(handle, r.command) : VxI2cWriteWordData(handle, r.command, data->word);
        if (read && rc >= 0)
            data->word = static_cast<uint16_t>(rc);
        break;
    case I2C_SMBUS_BLOCK_DATA:
        if (read) {
            uint8_t block[VXI2C_BLOCK_MAX] = {};
            rc = VxI2cReadBlockData(handle, r.command, block);
            if (rc >= 0) {
                data->block[0] = static_cast<uint8_t>(std::min<int32_t>(rc, VXI2C_BLOCK_MAX));
                std::memcpy(data->block + 1, block, data->block[0]);
            }
        } else {
            if (data->block[0] > I2C_SMBUS_BLOCK_MAX) {
                complete(client, EINVAL);
                return;
            }
            rc = VxI2cWriteBlockData(handle, r.command, data->block[0], data->block + 1);
        }
        break;
    default: break;  // calls and I2C block transfers: the simulated adapters offer none
    }
    complete(client, rc < 0 ? errnoForAdapterCode(rc) : 0);
}

// I2C_RDWR: the message shapes of the SMBus transfers the board's
// adapters carry (a write alone; a command byte written, then a read),
// each sent as that transfer; any other shape cannot be put on the bus
// by the adapter ABI and is refused as an adapter without it would.
void Devices::Node::rdwr(UMockdevIoctlClient* client, UMockdevIoctlData* arg, int handle, int openErr)
{
    DataRef req = resolve(arg, 0, sizeof(i2c_rdwr_ioctl_data));
    if (!req.data) {
        complete(client, EFAULT);
        return;
    }
    const unsigned count = req.as<i2c_rdwr_ioctl_data>()->nmsgs;
    if (count == 0 || count > kRdwrMaxMessages) {
        complete(client, EINVAL);
        return;
    }
    DataRef list = resolve(req.data, offsetof(i2c_rdwr_ioctl_data, msgs), count * sizeof(i2c_msg));
    if (!list.data) {
        complete(client, EFAULT);
        return;
    }
    auto* msgs = list.as<i2c_msg>();
    std::vector<DataRef> buffers;
    for (unsigned i = 0; i < count; ++i) {
        if (msgs[i].len > kRdwrMaxLength || (msgs[i].flags & I2C_M_TEN)) {
            complete(client, EINVAL);
            return;
        }
        buffers.push_back(msgs[i].len == 0
                              ? DataRef()
                              : resolve(list.data, i * sizeof(i2c_msg) + offsetof(i2c_msg, buf), msgs[i].len));
        if (msgs[i].len != 0 && !buffers.back().data) {
            complete(client, EFAULT);
            return;
        }
    }
    if (openErr) {
        complete(client, openErr);
        return;
    }
    const int address = msgs[0].addr;
    for (unsigned i = 1; i < count; ++i) {
        if (msgs[i].addr != address) {
            complete(client, EOPNOTSUPP);
            return;
        }
    }
    // Each message names its own address, bound by a driver or not; the
    // file's own address stays selected for its SMBus calls.
    std::vector<uint8_t*> bytes;
    for (const DataRef& b : buffers)
        bytes.push_back(b.data ? b.as<uint8_t>() : nullptr);
    int32_t rc = VxI2cSetAddress(handle, address, 1);
    if (rc >= 0)
        rc = rdwrShape(handle, msgs, bytes, count);
    if (const int own = i2cFiles[client].address; own >= 0)
        VxI2cSetAddress(handle, own, 1);
    if (rc < 0)
        complete(client, errnoForAdapterCode(rc));
    else
        umockdev_ioctl_client_complete(client, count, 0);  // the kernel returns the messages sent
}

int32_t Devices::Node::rdwrShape(int handle, i2c_msg* msgs, const std::vector<uint8_t*>& buffers, unsigned count)
{
    const auto bytes = [&](unsigned i) { return buffers[i]; };
    const auto isRead = [&](unsigned i) { return (msgs[i].flags & I2C_M_RD) != 0; };
    if (count == 1 && !isRead(0)) {
        const uint8_t* b = bytes(0);
        switch (msgs[0].len) {
        case 0: return VxI2cQuick(handle, 0);
        case 1: return VxI2cWriteByte(handle, b[0]);
        case 2: return VxI2cWriteByteData(handle, b[0], b[1]);
        case 3: return VxI2cWriteWordData(handle, b[0], b[1] | (b[2] << 8));
        default:
            // A block write carries its own count: only then are the
            // bytes on the wire the same.
            if (msgs[0].len <= 2 + VXI2C_BLOCK_MAX && b[1] == msgs[0].len - 2)
                return VxI2cWriteBlockData(handle, b[0], b[1], b + 2);
            return VXI2C_EUNSUPPORTED;
        }
    }
    if (count == 1 && isRead(0)) {
        if (msgs[0].len == 0)
            return VxI2cQuick(handle, 1);
        if (msgs[0].len != 1)
            return VXI2C_EUNSUPPORTED;
        const int32_t rc = VxI2cReadByte(handle);
        if (rc >= 0)
            bytes(0)[0] = static_cast<uint8_t>(rc);
        return rc;
    }
    if (count == 2 && !isRead(0) && isRead(1) && msgs[0].len == 1) {
        const uint8_t command = bytes(0)[0];
        uint8_t* in = bytes(1);
        if (msgs[1].flags & I2C_M_RECV_LEN) {
            // The caller's buffer holds the count and up to 32 bytes;
            // the kernel writes the count first and fixes the length.
            uint8_t block[VXI2C_BLOCK_MAX] = {};
            const int32_t rc = VxI2cReadBlockData(handle, command, block);
            if (rc < 0)
                return rc;
            const auto n = static_cast<uint16_t>(std::min<int32_t>(rc, VXI2C_BLOCK_MAX));
            if (msgs[1].len < n + 1)
                return VXI2C_EPROTOCOL;
            in[0] = static_cast<uint8_t>(n);
            std::memcpy(in + 1, block, n);
            msgs[1].len = static_cast<uint16_t>(n + 1);
            return rc;
        }
        if (msgs[1].len == 1) {
            const int32_t rc = VxI2cReadByteData(handle, command);
            if (rc >= 0)
                in[0] = static_cast<uint8_t>(rc);
            return rc;
        }
        if (msgs[1].len == 2) {
            const int32_t rc = VxI2cReadWordData(handle, command);
            if (rc >= 0) {
                in[0] = static_cast<uint8_t>(rc & 0xFF);
                in[1] = static_cast<uint8_t>(rc >> 8);
            }
            return rc;
        }
    }
    return VXI2C_EUNSUPPORTED;
}

void Devices::Node::i2cVanished(UMockdevIoctlClient* client)
{
    const auto it = i2cFiles.find(client);
    if (it == i2cFiles.end())
        return;
    if (it->second.handle >= 0)
        VxI2cClose(it->second.handle);
    i2cFiles.erase(it);
}

}  // namespace boardexec
