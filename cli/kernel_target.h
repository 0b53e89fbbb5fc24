#pragma once
// The kernel-adapter medium of the command line: which adapters to search,
// the search itself, and the forced use of an address a kernel driver owns.

#include <string>
#include <vector>

#include "target.h"

namespace cli {

// The adapters --bus names (all when it is empty). Throws Failure with the
// reason when none can be used.
std::vector<int> adaptersToSearch(const TargetOptions& options);

// "i2c-1 (SMBus I801 adapter at efa0)"
std::string adapterLabel(int number);

// Prints the adapter table: number, name, functionality (or why it cannot
// be opened).
void printAdapters(const TargetOptions& options);

// Probes the three candidate addresses on each adapter. Addresses a kernel
// driver owns are skipped unless --force.
std::vector<FoundChip> detectKernelChips(const TargetOptions& options);

// The first chip found. Throws Failure.
device::ChipLocation connectKernel(const TargetOptions& options);

}  // namespace cli
