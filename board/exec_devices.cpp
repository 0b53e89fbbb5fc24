// The kernel's i2c-dev and ppdev drivers as the command under exec meets
// them, answered from the simulated board through the sim platform
// libraries.
#include "exec_devices.h"

#include <grp.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

#include <sim/board_link.h>

#include "i2cadapter_abi.h"
#include "parport_abi.h"

namespace boardexec {

namespace {

// The kernel's limits for one I2C_RDWR call.
constexpr unsigned kRdwrMaxMessages = 42;
constexpr unsigned kRdwrMaxLength = 8192;

// Every ppdev port offers the standard registers and a tristate data port;
// the simulated adapters use nothing more.
constexpr unsigned kPortModes = PARPORT_MODE_PCSPP | PARPORT_MODE_TRISTATE;
// The control lines parport_pc lets a caller write and reads back.
constexpr unsigned char kControlLines =
    PARPORT_CONTROL_STROBE | PARPORT_CONTROL_AUTOFD | PARPORT_CONTROL_INIT | PARPORT_CONTROL_SELECT;

// The kernel's IEEE 1284 phases (not in its user headers).
constexpr int kPhaseForwardIdle = 1;
constexpr int kPhaseReverseIdle = 5;

struct DataRef {
    explicit DataRef(UMockdevIoctlData* d = nullptr) : data(d) { }
    DataRef(DataRef&& other) noexcept : data(std::exchange(other.data, nullptr)) { }
    DataRef(const DataRef&) = delete;
    DataRef& operator=(const DataRef&) = delete;
    DataRef& operator=(DataRef&& other) noexcept
    {
        std::swap(data, other.data);
        return *this;
    }
    ~DataRef()
    {
        if (data)
            g_object_unref(data);
    }
    template <typename T> T* as() const { return reinterpret_cast<T*>(data->data); }
    UMockdevIoctlData* data;
};

// The command's memory behind a pointer argument, or nothing when the
// pointer is bad (the kernel's EFAULT).
DataRef resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error)
        g_error_free(error);
    return DataRef(data);
}

unsigned long argValue(UMockdevIoctlClient* client)
{
    return *reinterpret_cast<unsigned long*>(umockdev_ioctl_client_get_arg(client)->data);
}

void complete(UMockdevIoctlClient* client, int err) { umockdev_ioctl_client_complete(client, err ? -1 : 0, err); }

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

struct Devices::Node {
    enum class Kind { I2c, Port };

    Kind kind = Kind::I2c;
    int number = 0;  // N of i2c-N, K of parportK
    std::string devnode;
    UMockdevIoctlBase* handler = nullptr;

    // i2c-N
    std::string name;
    unsigned long functionality = 0;
    struct I2cFile {
        int handle = -1;  // the adapter ABI's, opened at the file's first ioctl
        int openCode = VXI2C_OK;
        int address = -1;  // from I2C_SLAVE; I2C_RDWR leaves it as it was
        bool pec = false;
    };
    std::map<UMockdevIoctlClient*, I2cFile> i2cFiles;

    // parportK
    int base = 0;
    struct PortFile {
        bool claimed = false;
        bool registered = false;  // claimed once: ppdev registers the device then
        bool exclusive = false;
        int mode = IEEE1284_MODE_COMPAT;
        int phase = kPhaseForwardIdle;
        int flags = 0;
    };
    std::map<UMockdevIoctlClient*, PortFile> portFiles;
    UMockdevIoctlClient* owner = nullptr;      // the file that has the port claimed
    std::deque<UMockdevIoctlClient*> waiting;  // PPCLAIMs that block until the owner lets go
    unsigned char control = 0x0C;              // the driver's copy of the control register
    bool reverse = false;

    ~Node()
    {
        if (handler)
            g_object_unref(handler);
    }

    // ---- i2c-dev -----------------------------------------------------------

    int i2cHandle(UMockdevIoctlClient* client, int& err)
    {
        auto [it, fresh] = i2cFiles.try_emplace(client);
        I2cFile& file = it->second;
        if (fresh) {
            const int32_t handle = VxI2cOpen(number);
            if (handle < 0)
                file.openCode = handle;
            else
                file.handle = handle;
        }
        err = file.handle < 0 ? errnoForAdapterCode(file.openCode) : 0;
        return file.handle;
    }

    bool i2cIoctl(UMockdevIoctlClient* client)
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
            const int32_t code =
                VxI2cSetAddress(handle, static_cast<int32_t>(address), request == I2C_SLAVE_FORCE ? 1 : 0);
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

    void smbus(UMockdevIoctlClient* client, UMockdevIoctlData* arg, int handle, int openErr)
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
    void rdwr(UMockdevIoctlClient* client, UMockdevIoctlData* arg, int handle, int openErr)
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

    static int32_t rdwrShape(int handle, i2c_msg* msgs, const std::vector<uint8_t*>& buffers, unsigned count)
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

    void i2cVanished(UMockdevIoctlClient* client)
    {
        const auto it = i2cFiles.find(client);
        if (it == i2cFiles.end())
            return;
        if (it->second.handle >= 0)
            VxI2cClose(it->second.handle);
        i2cFiles.erase(it);
    }

    // ---- ppdev -------------------------------------------------------------

    int32_t address(int offset) const { return base + offset; }

    // Takes the board's port for `client`, as parport_claim() with the
    // driver's state restored: control 0x0C (nInit high, SelectIn low).
    bool take(UMockdevIoctlClient* client)
    {
        if (!ClaimParallelPort(number + 1, -1))
            return false;
        owner = client;
        portFiles[client].claimed = true;
        portFiles[client].registered = true;
        control = 0x0C;
        OutByte(address(2), control);
        return true;
    }

    // The owner let go: the first waiting claim gets the port.
    void handOn()
    {
        ReleaseParallelPort(number + 1);
        owner = nullptr;
        while (!waiting.empty()) {
            UMockdevIoctlClient* next = waiting.front();
            waiting.pop_front();
            if (!portFiles.count(next))
                continue;  // gone while it waited
            complete(next, take(next) ? 0 : EBUSY);
            return;
        }
    }

    bool portIoctl(UMockdevIoctlClient* client)
    {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        PortFile& file = portFiles[client];
        const auto in = [&](std::size_t size) { return resolve(arg, 0, size); };
        const auto readInt = [&](int& value) {
            DataRef d = in(sizeof(int));
            if (!d.data)
                return false;
            value = *d.as<int>();
            return true;
        };
        const auto giveInt = [&](int value) {
            DataRef d = in(sizeof(int));
            if (!d.data) {
                complete(client, EFAULT);
                return;
            }
            *d.as<int>() = value;
            complete(client, 0);
        };
        const auto giveByte = [&](unsigned char value) {
            DataRef d = in(1);
            if (!d.data) {
                complete(client, EFAULT);
                return;
            }
            *d.as<unsigned char>() = value;
            complete(client, 0);
        };

        // What ppdev answers with or without the port.
        switch (request) {
        case PPCLAIM:
            if (file.claimed) {
                complete(client, EINVAL);
                return true;
            }
            if (owner != nullptr) {
                // Blocks, as parport_claim_or_block() does, until the other
                // file releases or closes.
                waiting.push_back(client);
                return true;
            }
            complete(client, take(client) ? 0 : EBUSY);
            return true;
        case PPEXCL:
            // Too late once the port was claimed: the device is registered.
            if (file.registered && !file.exclusive) {
                complete(client, EINVAL);
                return true;
            }
            file.exclusive = true;
            complete(client, 0);
            return true;
        case PPSETMODE: {
            int mode = 0;
            if (!readInt(mode)) {
                complete(client, EFAULT);
                return true;
            }
            file.mode = mode;
            file.phase = (mode & IEEE1284_MODE_BYTE) != 0 ? kPhaseReverseIdle : kPhaseForwardIdle;  // as ppdev sets it
            complete(client, 0);
            return true;
        }
        case PPGETMODE: giveInt(file.mode); return true;
        case PPSETPHASE: {
            int phase = 0;
            if (!readInt(phase)) {
                complete(client, EFAULT);
                return true;
            }
            file.phase = phase;
            complete(client, 0);
            return true;
        }
        case PPGETPHASE: giveInt(file.phase); return true;
        case PPGETMODES: giveInt(static_cast<int>(kPortModes)); return true;
        case PPSETFLAGS: {
            int flags = 0;
            if (!readInt(flags)) {
                complete(client, EFAULT);
                return true;
            }
            file.flags = flags & PP_FLAGMASK;
            complete(client, 0);
            return true;
        }
        case PPGETFLAGS: giveInt(file.flags); return true;
        default: break;
        }

        // Everything else needs the port claimed by this file.
        if (!file.claimed) {
            complete(client, EINVAL);
            return true;
        }
        switch (request) {
        case PPRSTATUS: giveByte(InByte(address(1))); return true;
        case PPRDATA: giveByte(InByte(address(0))); return true;
        case PPRCONTROL:
            // parport_pc answers from its copy, the four output lines only.
            giveByte(control & kControlLines);
            return true;
        case PPWDATA: {
            DataRef d = in(1);
            if (!d.data) {
                complete(client, EFAULT);
                return true;
            }
            OutByte(address(0), *d.as<unsigned char>());
            complete(client, 0);
            return true;
        }
        case PPWCONTROL: {
            DataRef d = in(1);
            if (!d.data) {
                complete(client, EFAULT);
                return true;
            }
            const unsigned char value = *d.as<unsigned char>();
            if (value & 0x20)
                reverse = true;  // the old way to turn the data lines round
            control = static_cast<unsigned char>((control & ~kControlLines) | (value & kControlLines));
            OutByte(address(2), static_cast<uint8_t>(control | (reverse ? 0x20 : 0)));
            complete(client, 0);
            return true;
        }
        case PPFCONTROL: {
            DataRef d = in(sizeof(ppdev_frob_struct));
            if (!d.data) {
                complete(client, EFAULT);
                return true;
            }
            const ppdev_frob_struct frob = *d.as<ppdev_frob_struct>();
            const unsigned char mask = frob.mask & kControlLines;
            control = static_cast<unsigned char>((control & ~mask) ^ (frob.val & mask));
            OutByte(address(2), static_cast<uint8_t>(control | (reverse ? 0x20 : 0)));
            complete(client, 0);
            return true;
        }
        case PPDATADIR: {
            int direction = 0;
            if (!readInt(direction)) {
                complete(client, EFAULT);
                return true;
            }
            reverse = direction != 0;
            OutByte(address(2), static_cast<uint8_t>(control | (reverse ? 0x20 : 0)));
            complete(client, 0);
            return true;
        }
        case PPNEGOT: {
            int mode = 0;
            if (!readInt(mode)) {
                complete(client, EFAULT);
                return true;
            }
            // Nothing on the evaluation board speaks IEEE 1284: only
            // compatibility mode needs no handshake.
            complete(client, mode == IEEE1284_MODE_COMPAT ? 0 : EIO);
            return true;
        }
        case PPYIELD: complete(client, 0); return true;
        case PPRELEASE:
            file.claimed = false;
            handOn();
            complete(client, 0);
            return true;
        case PPCLRIRQ: giveInt(0); return true;
        case PPWCTLONIRQ: complete(client, 0); return true;
        default: complete(client, ENOTTY); return true;
        }
    }

    void portVanished(UMockdevIoctlClient* client)
    {
        waiting.erase(std::remove(waiting.begin(), waiting.end(), client), waiting.end());
        const bool owned = owner == client;
        portFiles.erase(client);
        if (owned)
            handOn();
    }

    void closeAll()
    {
        for (auto& [client, file] : i2cFiles) {
            if (file.handle >= 0)
                VxI2cClose(file.handle);
        }
        i2cFiles.clear();
        portFiles.clear();
        waiting.clear();
        if (owner != nullptr) {
            ReleaseParallelPort(number + 1);
            owner = nullptr;
        }
    }
};

namespace {

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* node = static_cast<Devices::Node*>(user);
    return node->kind == Devices::Node::Kind::I2c ? node->i2cIoctl(client) : node->portIoctl(client);
}

void onVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    auto* node = static_cast<Devices::Node*>(user);
    if (node->kind == Devices::Node::Kind::I2c)
        node->i2cVanished(client);
    else
        node->portVanished(client);
}

bool addDevice(UMockdevTestbed* testbed, const std::string& record, std::string& why)
{
    GError* error = nullptr;
    if (umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
        return true;
    why = std::string("cannot lay out the emulated devices: ") + (error ? error->message : "unknown error");
    if (error)
        g_error_free(error);
    return false;
}

// The node as the kernel's udev rules would leave it: open to all, or for
// an adapter that refuses this user, only to root and the adapter group.
void setNodeAccess(const std::filesystem::path& node, bool denied)
{
    if (const group* g = ::getgrnam("i2c"))
        (void)::chown(node.c_str(), 0, g->gr_gid);  // not root: the node stays the caller's
    (void)::chmod(node.c_str(), denied ? 0600 : 0666);
}

}  // namespace

Devices::Devices() = default;
Devices::~Devices() = default;

std::string Devices::layOut(UMockdevTestbed* testbed)
{
    std::string why;
    gchar* rootText = umockdev_testbed_get_root_dir(testbed);
    const std::filesystem::path root = rootText;
    g_free(rootText);

    // Kernel adapters: none at all without the i2c-dev module.
    const int32_t adapters = VxI2cListAdapters(nullptr, 0);
    std::vector<VxI2cAdapterInfo> infos(static_cast<std::size_t>(std::max(adapters, 0)));
    for (auto& info : infos)
        info.size = sizeof(VxI2cAdapterInfo);
    const int32_t listed = infos.empty() ? 0 : VxI2cListAdapters(infos.data(), static_cast<int32_t>(infos.size()));
    infos.resize(static_cast<std::size_t>(std::clamp<int32_t>(listed, 0, static_cast<int32_t>(infos.size()))));

    // Printer ports.
    const int32_t ports = GetParallelPortCount();

    if (const sim::BoardLink* link = sim::BoardLink::get(); link && !link->problem().empty())
        return link->problem();

    for (const auto& info : infos) {
        const std::string n = std::to_string(info.number);
        const std::string adapter = "/devices/platform/fanscope-board/i2c-" + n;
        // The device first, then its parent, as a device record lists them.
        const std::string record = "P: " + adapter + "/i2c-dev/i2c-" + n + "\nE: DEVNAME=/dev/i2c-" + n +
                                   "\nE: MAJOR=89\nE: MINOR=" + n + "\nE: SUBSYSTEM=i2c-dev\nA: dev=89:" + n +
                                   "\n\nP: " + adapter + "\nE: SUBSYSTEM=i2c\n";
        if (!addDevice(testbed, record, why))
            return why;
        // The kernel's attribute ends in a newline, which records cannot hold.
        const std::string name = std::string(info.name) + "\n";
        umockdev_testbed_set_attribute(testbed, ("/sys" + adapter).c_str(), "name", name.c_str());
        umockdev_testbed_set_attribute(testbed, ("/sys" + adapter + "/i2c-dev/i2c-" + n).c_str(), "name", name.c_str());
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::I2c;
        node->number = info.number;
        node->devnode = "/dev/i2c-" + n;
        node->name = info.name;
        // Every adapter takes plain I2C messages as far as the ABI can put
        // them on the bus (see rdwr()).
        node->functionality =
            (info.functionality != 0 ? info.functionality : static_cast<unsigned long>(VXI2C_FUNC_SMBUS_QUICK)) |
            I2C_FUNC_I2C;
        // Written out, so the node exists before the emulation attaches.
        std::ofstream(root / ("dev/i2c-" + n)).flush();
        setNodeAccess(root / ("dev/i2c-" + n), info.access == VXI2C_EACCES);
        m_nodes.push_back(std::move(node));
    }

    for (int32_t k = 0; k < ports; ++k) {
        PortInfoRecord info{};
        info.size = sizeof info;
        if (!GetParallelPortInfo(k + 1, &info))
            continue;
        const std::string n = std::to_string(k);
        const std::string record = "P: /devices/virtual/ppdev/parport" + n + "\nE: DEVNAME=/dev/parport" + n +
                                   "\nE: MAJOR=99\nE: MINOR=" + n + "\nE: SUBSYSTEM=ppdev\nA: dev=99:" + n + "\n";
        if (!addDevice(testbed, record, why))
            return why;
        // The kernel's list of ports, where the port back-ends find them.
        const auto proc = root / "proc/sys/dev/parport" / ("parport" + n);
        std::filesystem::create_directories(proc);
        std::ofstream(proc / "base-addr") << info.base << '\t' << (info.base + 0x400) << '\n';
        std::ofstream(proc / "irq") << "-1\n";
        std::ofstream(proc / "dma") << "-1\n";
        std::ofstream(proc / "modes") << "PCSPP,TRISTATE\n";
        std::ofstream(root / ("dev/parport" + n)).flush();
        (void)::chmod((root / ("dev/parport" + n)).c_str(), 0666);
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::Port;
        node->number = k;
        node->devnode = "/dev/parport" + n;
        node->base = info.base;
        m_nodes.push_back(std::move(node));
    }
    return {};
}

std::string Devices::attach(UMockdevTestbed* testbed)
{
    for (auto& node : m_nodes) {
        node->handler = umockdev_ioctl_base_new();
        g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(onIoctl), node.get());
        g_signal_connect(node->handler, "client-vanished", G_CALLBACK(onVanished), node.get());
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, node->devnode.c_str(), node->handler, &error)) {
            std::string why = "cannot emulate " + node->devnode + ": " + (error ? error->message : "unknown error");
            if (error)
                g_error_free(error);
            return why;
        }
    }
    return {};
}

void Devices::closeAll()
{
    for (auto& node : m_nodes)
        node->closeAll();
}

}  // namespace boardexec
