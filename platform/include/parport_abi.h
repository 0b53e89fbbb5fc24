// C ABI of the parallel-port driver the library loads by name.
// Port numbers are 1-based. Every implementation (sim, linux) exports exactly
// these symbols with C linkage.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// 12 bytes: the caller sets size = 12; the driver fills base. `reserved` is
// ignored by the library.
typedef struct PortInfoRecord {
    int32_t size;
    int32_t base;
    int32_t reserved;
} PortInfoRecord;

int32_t GetParallelPortCount(void);
// Non-zero when the record was filled.
int32_t GetParallelPortInfo(int32_t portNumber, PortInfoRecord* info);
// Non-zero when the port is now owned by this process. `timeout` is -1 from
// the library (do not block).
int32_t ClaimParallelPort(int32_t portNumber, int32_t timeout);
void ReleaseParallelPort(int32_t portNumber);
void OutByte(int32_t address, uint8_t value);
uint8_t InByte(int32_t address);

#ifdef __cplusplus
}
#endif
