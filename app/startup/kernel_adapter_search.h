// The wizard's third medium: the kernel's I2C/SMBus adapters. What panel 2
// says about them, the search over every usable adapter and the texts of
// its result entries. Kept beside the wizard so the specified media's code
// stays as it is.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace startup {

struct KernelAdapterReport {
    QString text;
    std::uint32_t colour = 0;  // 0xBBGGRR
    bool enabled = false;
    std::vector<int> usable;  // adapter numbers the search may probe
};

// Lists the adapters; never throws (a missing library is a reason too).
KernelAdapterReport kernelAdapterReport();

struct KernelResult {
    int bus = 0;
    QString adapterName;
    std::uint8_t address7 = 0;
};

struct KernelSearchOutcome {
    std::vector<KernelResult> found;
    int skippedDriverOwned = 0;
    // The last failure other than an absent device, for the one report at the end.
    bool errorPending = false;
    std::int32_t errorNumber = 0;
    std::string errorDescription;
};

// Reads the Device ID of the three candidate addresses on each adapter
// (the device layer's probe), never with a quick write; addresses a kernel
// driver owns are skipped. `progress` is called before each probe.
KernelSearchOutcome searchKernelAdapters(const std::vector<int>& buses, const std::function<void()>& progress);

// "An TFM4410 was found at:2Eh, on i2c-1 (SMBus I801 adapter at efa0)"
QString kernelEntryText(const QString& chip, const KernelResult& result);

}  // namespace startup
