// The kernel I2C/SMBus adapter ABI on Linux: /dev/i2c-N from the i2c-dev
// module, names from sysfs, transfers through the I2C_SMBUS ioctl. A handle
// is the open file descriptor.
#include "i2cadapter_abi.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int32_t codeFor(int err)
{
    switch (err) {
    case ENXIO:
    case EREMOTEIO: return VXI2C_ENOACK;
    case EBADMSG: return VXI2C_EBADPEC;
    case ETIMEDOUT:
    case EAGAIN: return VXI2C_ETIMEOUT;
    case ENODEV:
    case ESHUTDOWN: return VXI2C_EGONE;
    case EBUSY: return VXI2C_EBUSY;
    case EACCES:
    case EPERM: return VXI2C_EACCES;
    case ENOENT: return VXI2C_ENOADAPTER;
    case EOPNOTSUPP: return VXI2C_EUNSUPPORTED;
    case EPROTO:
    case EMSGSIZE: return VXI2C_EPROTOCOL;
    case EBADF:
    case EINVAL: return VXI2C_EARGUMENT;
    default: return VXI2C_EIO;
    }
}

std::string nodePath(int32_t number) { return "/dev/i2c-" + std::to_string(number); }

bool isDirectory(const char* path)
{
    struct stat st { };
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// "i2c-12" -> 12; anything else -> -1.
int adapterNumber(const char* entry)
{
    if (std::strncmp(entry, "i2c-", 4) != 0 || entry[4] == '\0')
        return -1;
    int n = 0;
    for (const char* p = entry + 4; *p; ++p) {
        if (*p < '0' || *p > '9' || n > 100000)
            return -1;
        n = n * 10 + (*p - '0');
    }
    return n;
}

std::vector<int> numbersIn(const char* directory)
{
    std::vector<int> numbers;
    if (DIR* dir = ::opendir(directory)) {
        while (const dirent* e = ::readdir(dir)) {
            const int n = adapterNumber(e->d_name);
            if (n >= 0)
                numbers.push_back(n);
        }
        ::closedir(dir);
    }
    return numbers;
}

void readName(int32_t number, char (&out)[VXI2C_NAME_SIZE])
{
    out[0] = '\0';
    const std::string n = std::to_string(number);
    for (const std::string& path :
         {"/sys/class/i2c-dev/i2c-" + n + "/name", "/sys/bus/i2c/devices/i2c-" + n + "/name"}) {
        if (FILE* f = std::fopen(path.c_str(), "re")) {
            const bool ok = std::fgets(out, VXI2C_NAME_SIZE, f) != nullptr;
            (void)std::fclose(f);  // read only: nothing to lose
            if (ok) {
                out[std::strcspn(out, "\n")] = '\0';
                return;
            }
            out[0] = '\0';
        }
    }
}

void readGroup(const std::string& node, char (&out)[VXI2C_GROUP_SIZE])
{
    out[0] = '\0';
    struct stat st { };
    if (::stat(node.c_str(), &st) != 0)
        return;
    group g{};
    group* found = nullptr;
    char buffer[1024];
    if (::getgrgid_r(st.st_gid, &g, buffer, sizeof buffer, &found) == 0 && found)
        (void)std::snprintf(out, VXI2C_GROUP_SIZE, "%s", found->gr_name);  // cut to the field on purpose
}

int32_t smbus(int32_t handle, uint8_t readWrite, uint8_t command, uint32_t size, i2c_smbus_data* data)
{
    i2c_smbus_ioctl_data request{};
    request.read_write = readWrite;
    request.command = command;
    request.size = size;
    request.data = data;
    if (::ioctl(handle, I2C_SMBUS, &request) < 0)
        return codeFor(errno);
    return VXI2C_OK;
}

}  // namespace

extern "C" {

int32_t VxI2cListAdapters(VxI2cAdapterInfo* adapters, int32_t capacity)
{
    std::vector<int> numbers = numbersIn("/sys/class/i2c-dev");
    if (numbers.empty() && !isDirectory("/sys/class/i2c-dev")) {
        // Some systems show the nodes without the class directory.
        numbers = numbersIn("/dev");
        if (numbers.empty())
            return VXI2C_ENODEVFILES;
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    const auto count = static_cast<int32_t>(numbers.size());
    for (int32_t i = 0; adapters && i < count && i < capacity; ++i) {
        VxI2cAdapterInfo& info = adapters[i];
        if (info.size < static_cast<int32_t>(sizeof(VxI2cAdapterInfo)))
            return VXI2C_EARGUMENT;
        info.number = numbers[static_cast<size_t>(i)];
        info.functionality = 0;
        readName(info.number, info.name);
        const std::string node = nodePath(info.number);
        info.group[0] = '\0';
        const int fd = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            info.access = codeFor(errno);
        } else {
            unsigned long funcs = 0;
            info.access = ::ioctl(fd, I2C_FUNCS, &funcs) < 0 ? codeFor(errno) : VXI2C_OK;
            info.functionality = static_cast<uint32_t>(funcs);
            ::close(fd);
        }
        // The group tells a refused user what to join; for a node that
        // serves, the group database is not worth its look-up.
        if (info.access == VXI2C_EACCES)
            readGroup(node, info.group);
    }
    return count;
}

int32_t VxI2cOpen(int32_t number)
{
    if (number < 0)
        return VXI2C_EARGUMENT;
    const int fd = ::open(nodePath(number).c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    const int err = errno;
    if (err == ENOENT && !isDirectory("/sys/class/i2c-dev") && numbersIn("/dev").empty())
        return VXI2C_ENODEVFILES;
    return codeFor(err);
}

void VxI2cClose(int32_t handle)
{
    if (handle >= 0)
        ::close(handle);
}

int32_t VxI2cSetAddress(int32_t handle, int32_t address7, int32_t force)
{
    if (address7 < 0 || address7 > 0x7F)
        return VXI2C_EARGUMENT;
    if (::ioctl(handle, force ? I2C_SLAVE_FORCE : I2C_SLAVE, static_cast<unsigned long>(address7)) < 0)
        return codeFor(errno);
    return VXI2C_OK;
}

int32_t VxI2cSetPec(int32_t handle, int32_t on)
{
    // The kernel accepts the flag on any adapter and then quietly sends no
    // PEC where the adapter has none; say so instead.
    unsigned long funcs = 0;
    if (on && ::ioctl(handle, I2C_FUNCS, &funcs) == 0 && !(funcs & I2C_FUNC_SMBUS_PEC))
        return VXI2C_EUNSUPPORTED;
    if (::ioctl(handle, I2C_PEC, static_cast<unsigned long>(on ? 1 : 0)) < 0)
        return codeFor(errno);
    return VXI2C_OK;
}

int32_t VxI2cQuick(int32_t handle, int32_t readBit)
{
    return smbus(handle, readBit ? I2C_SMBUS_READ : I2C_SMBUS_WRITE, 0, I2C_SMBUS_QUICK, nullptr);
}

int32_t VxI2cReadByte(int32_t handle)
{
    i2c_smbus_data data{};
    const int32_t rc = smbus(handle, I2C_SMBUS_READ, 0, I2C_SMBUS_BYTE, &data);
    return rc < 0 ? rc : data.byte;
}

int32_t VxI2cWriteByte(int32_t handle, int32_t value)
{
    return smbus(handle, I2C_SMBUS_WRITE, static_cast<uint8_t>(value), I2C_SMBUS_BYTE, nullptr);
}

int32_t VxI2cReadByteData(int32_t handle, int32_t command)
{
    i2c_smbus_data data{};
    const int32_t rc = smbus(handle, I2C_SMBUS_READ, static_cast<uint8_t>(command), I2C_SMBUS_BYTE_DATA, &data);
    return rc < 0 ? rc : data.byte;
}

int32_t VxI2cWriteByteData(int32_t handle, int32_t command, int32_t value)
{
    i2c_smbus_data data{};
    data.byte = static_cast<uint8_t>(value);
    return smbus(handle, I2C_SMBUS_WRITE, static_cast<uint8_t>(command), I2C_SMBUS_BYTE_DATA, &data);
}

int32_t VxI2cReadWordData(int32_t handle, int32_t command)
{
    i2c_smbus_data data{};
    const int32_t rc = smbus(handle, I2C_SMBUS_READ, static_cast<uint8_t>(command), I2C_SMBUS_WORD_DATA, &data);
    return rc < 0 ? rc : data.word;
}

int32_t VxI2cWriteWordData(int32_t handle, int32_t command, int32_t value)
{
    i2c_smbus_data data{};
    data.word = static_cast<uint16_t>(value);
    return smbus(handle, I2C_SMBUS_WRITE, static_cast<uint8_t>(command), I2C_SMBUS_WORD_DATA, &data);
}

int32_t VxI2cReadBlockData(int32_t handle, int32_t command, uint8_t* out)
{
    if (!out)
        return VXI2C_EARGUMENT;
    i2c_smbus_data data{};
    const int32_t rc = smbus(handle, I2C_SMBUS_READ, static_cast<uint8_t>(command), I2C_SMBUS_BLOCK_DATA, &data);
    if (rc < 0)
        return rc;
    // The kernel checks the count, but a driver that does not would hand us
    // a length past the buffer.
    if (data.block[0] > I2C_SMBUS_BLOCK_MAX)
        return VXI2C_EPROTOCOL;
    std::memcpy(out, data.block + 1, data.block[0]);
    return data.block[0];
}

int32_t VxI2cWriteBlockData(int32_t handle, int32_t command, int32_t count, const uint8_t* in)
{
    if (count < 0 || count > I2C_SMBUS_BLOCK_MAX || (count > 0 && !in))
        return VXI2C_EARGUMENT;
    i2c_smbus_data data{};
    data.block[0] = static_cast<uint8_t>(count);
    if (count > 0)
        std::memcpy(data.block + 1, in, static_cast<size_t>(count));
    return smbus(handle, I2C_SMBUS_WRITE, static_cast<uint8_t>(command), I2C_SMBUS_BLOCK_DATA, &data);
}

}  // extern "C"
