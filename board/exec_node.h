#pragma once
// One device file of `fanscope-board exec` and the state of its open files,
// shared by the lay-out (exec_devices.cpp) and the two drivers' ioctl
// handlers (exec_i2c.cpp, exec_ppdev.cpp). Private to the board program.
#include <linux/i2c.h>
#include <linux/parport.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "exec_devices.h"
#include "i2cadapter_abi.h"

namespace boardexec {

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
inline DataRef resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length)
{
    GError* error = nullptr;
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error)
        g_error_free(error);
    return DataRef(data);
}

inline unsigned long argValue(UMockdevIoctlClient* client)
{
    return *reinterpret_cast<unsigned long*>(umockdev_ioctl_client_get_arg(client)->data);
}

inline void complete(UMockdevIoctlClient* client, int err)
{
    umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
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
        uint64_t connection = 0;  // the shared board's link when the handle was opened (1: private board)
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

    // ---- i2c-dev (exec_i2c.cpp) --------------------------------------------

    int i2cHandle(UMockdevIoctlClient* client, int& err);
    bool i2cIoctl(UMockdevIoctlClient* client);
    void smbus(UMockdevIoctlClient* client, UMockdevIoctlData* arg, int handle, int openErr);
    void rdwr(UMockdevIoctlClient* client, UMockdevIoctlData* arg, int handle, int openErr);
    static int32_t rdwrShape(int handle, i2c_msg* msgs, const std::vector<uint8_t*>& buffers, unsigned count);
    void i2cVanished(UMockdevIoctlClient* client);

    // ---- ppdev (exec_ppdev.cpp) --------------------------------------------

    int32_t address(int offset) const { return base + offset; }
    bool take(UMockdevIoctlClient* client);
    void handOn();
    bool portIoctl(UMockdevIoctlClient* client);
    void portVanished(UMockdevIoctlClient* client);

    // Both sides' files and the port's claim (exec_devices.cpp).
    void closeAll();
};

}  // namespace boardexec
