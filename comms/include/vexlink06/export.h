// The library is built with hidden visibility: only what carries this mark
// is part of its ABI, so its internals can change without breaking clients.
#pragma once

#if defined(__GNUC__)
#define VEXLINK06_API __attribute__((visibility("default")))
#else
#define VEXLINK06_API
#endif
