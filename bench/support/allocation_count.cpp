#include "allocation_count.h"

#include <cstdlib>
#include <new>

namespace {

std::size_t g_allocations = 0;

}  // namespace

void* operator new(std::size_t size)
{
    ++g_allocations;
    if (void* p = std::malloc(size != 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}
// The replaced operator new allocates with malloc, so free is the match; the
// compiler cannot see that pairing inside these replacements.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace bench {

std::size_t allocationCount() { return g_allocations; }

}  // namespace bench
