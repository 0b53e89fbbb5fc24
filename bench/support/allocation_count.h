// Heap allocations made by the program so far, counted by replacing the global
// operator new. Link the `bench_allocation_count` object library to use it.
#pragma once

#include <cstddef>

namespace bench {

std::size_t allocationCount();

}  // namespace bench
