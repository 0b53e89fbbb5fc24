// C ABI of the motherboard SMBus helper the library loads by name: port
// permission, byte/word/dword port I/O (which also carries PCI configuration
// mechanism 1 through 0xCF8/0xCFC), and SMBus byte-data transfers through the
// two host-controller families.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Non-zero means the `count` consecutive byte ports from `port` may now be
// accessed (count is 1 or 4).
int16_t AddMultiPort(int32_t port, int32_t count);
void RemovePort(int32_t port);

int16_t CanInp(int32_t port);  // low 8 bits are the byte read
void CanOutp(int32_t port, int16_t value);
int16_t CanInpw(int32_t port);
void CanOutpw(int32_t port, int16_t value);
int32_t CanInpd(int32_t port);
void CanOutpd(int32_t port, int32_t value);

// PIIX4-type host controller at `base`. `address` is the 8-bit address byte
// (7-bit address x2, +1 for reads). The read's last argument is always 2.
void MBByteWrite71138086(int32_t base, int32_t command, int32_t address, int32_t data);
int32_t MBByteRead71138086(int32_t base, int32_t command, int32_t address, int32_t protocol);
// ALi-type host controller at `base`.
void MBByteWrite153310B9(int32_t base, int32_t command, int32_t address, int32_t data);
int32_t MBByteRead153310B9(int32_t base, int32_t command, int32_t address, int32_t protocol);

// The first reason the helper refused to touch the SMBus controller (not an
// SMBus controller, a kernel driver owns it, root needed, lockdown, ...), one
// sentence for the user; "" while nothing was refused. The pointer stays
// valid until the next call into the helper. Optional: older helpers lack it.
const char* MBRefusalReason(void);

#ifdef __cplusplus
}
#endif
