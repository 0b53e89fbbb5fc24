// C ABI of the kernel I2C/SMBus adapter layer the library loads by name
// (libvxi2c_<impl>.so): list the adapters, open one, select a slave address,
// and run SMBus transfers on it. Every implementation (sim, linux) exports
// exactly these symbols with C linkage.
//
// Results: a value >= 0 is success (a byte, a word, a count or a handle);
// a negative value is one of the VXI2C_E* codes below, never a raw errno, so
// the library's sentences do not depend on which driver answered.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    VXI2C_OK = 0,
    VXI2C_ENOACK = -1,        // nobody acknowledged (ENXIO, EREMOTEIO)
    VXI2C_EBADPEC = -2,       // the packet error code did not match (EBADMSG)
    VXI2C_ETIMEOUT = -3,      // the adapter gave up waiting (ETIMEDOUT, EAGAIN)
    VXI2C_EGONE = -4,         // the adapter went away, e.g. a USB bridge unplugged (ENODEV)
    VXI2C_EBUSY = -5,         // a kernel driver owns the address (EBUSY on the address select)
    VXI2C_EACCES = -6,        // no permission on the device node (EACCES, EPERM)
    VXI2C_ENODEVFILES = -7,   // no /dev/i2c-* and no i2c-dev class: module not loaded
    VXI2C_ENOADAPTER = -8,    // no adapter with that number
    VXI2C_EUNSUPPORTED = -9,  // the adapter cannot do this transfer (EOPNOTSUPP)
    VXI2C_EPROTOCOL = -10,    // a malformed answer, e.g. a block count over 32 (EPROTO)
    VXI2C_EIO = -11,          // any other failure
    VXI2C_EARGUMENT = -12,    // a bad handle, address or length from the caller
};

// Functionality bits, the kernel's I2C_FUNC_* values.
enum {
    VXI2C_FUNC_I2C = 0x00000001,
    VXI2C_FUNC_SMBUS_PEC = 0x00000008,
    VXI2C_FUNC_SMBUS_QUICK = 0x00010000,
    VXI2C_FUNC_SMBUS_READ_BYTE = 0x00020000,
    VXI2C_FUNC_SMBUS_WRITE_BYTE = 0x00040000,
    VXI2C_FUNC_SMBUS_READ_BYTE_DATA = 0x00080000,
    VXI2C_FUNC_SMBUS_WRITE_BYTE_DATA = 0x00100000,
    VXI2C_FUNC_SMBUS_READ_WORD_DATA = 0x00200000,
    VXI2C_FUNC_SMBUS_WRITE_WORD_DATA = 0x00400000,
    VXI2C_FUNC_SMBUS_READ_BLOCK_DATA = 0x01000000,
    VXI2C_FUNC_SMBUS_WRITE_BLOCK_DATA = 0x02000000,
};

enum { VXI2C_NAME_SIZE = 64, VXI2C_GROUP_SIZE = 32, VXI2C_BLOCK_MAX = 32 };

typedef struct VxI2cAdapterInfo {
    int32_t size;                  // the caller sets sizeof(VxI2cAdapterInfo)
    int32_t number;                // N of /dev/i2c-N
    uint32_t functionality;        // VXI2C_FUNC_* bits; 0 when the node could not be opened
    int32_t access;                // VXI2C_OK, or why the node cannot be opened (VXI2C_EACCES, ...)
    char name[VXI2C_NAME_SIZE];    // the kernel's adapter name, NUL-terminated
    char group[VXI2C_GROUP_SIZE];  // the group that owns a node that refuses this user ("" otherwise)
} VxI2cAdapterInfo;

// Fills up to `capacity` records in ascending adapter number and returns how
// many adapters exist (which may exceed capacity), or VXI2C_ENODEVFILES.
int32_t VxI2cListAdapters(VxI2cAdapterInfo* adapters, int32_t capacity);

// A handle >= 0 for adapter `number`, or a negative code.
int32_t VxI2cOpen(int32_t number);
void VxI2cClose(int32_t handle);
// The 7-bit slave address for the following transfers. With `force` non-zero
// an address a kernel driver owns is taken anyway.
int32_t VxI2cSetAddress(int32_t handle, int32_t address7, int32_t force);
// Packet error checking on the following transfers (non-zero = on).
int32_t VxI2cSetPec(int32_t handle, int32_t on);

int32_t VxI2cQuick(int32_t handle, int32_t readBit);
int32_t VxI2cReadByte(int32_t handle);
int32_t VxI2cWriteByte(int32_t handle, int32_t value);
int32_t VxI2cReadByteData(int32_t handle, int32_t command);
int32_t VxI2cWriteByteData(int32_t handle, int32_t command, int32_t value);
int32_t VxI2cReadWordData(int32_t handle, int32_t command);
int32_t VxI2cWriteWordData(int32_t handle, int32_t command, int32_t value);
// `data` holds VXI2C_BLOCK_MAX bytes; returns the count received.
int32_t VxI2cReadBlockData(int32_t handle, int32_t command, uint8_t* data);
int32_t VxI2cWriteBlockData(int32_t handle, int32_t command, int32_t count, const uint8_t* data);

#ifdef __cplusplus
}
#endif
