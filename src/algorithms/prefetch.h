// Software prefetch for the one-pass reductions. A loop whose speed is set by a chain
// of dependent floating-point additions issues its loads in order and leaves little
// room for the out-of-order core to run ahead; on inputs larger than the caches it
// then waits on memory. Prefetching a fixed distance ahead hides that latency. It reads
// no value and changes no result. Internal linkage (static inline), so that the files
// built for other instruction sets may include it too.
#pragma once

#include <cstdint>

namespace sela {

// Distance ahead of the current element, in bytes.
constexpr uintptr_t kPrefetchDistance = 4096;

// Prefetches the line `distance` bytes past p (kPrefetchDistance unless a loop measured
// its own). The address is formed in integer
// arithmetic: it may lie past the end of the array, which a prefetch tolerates but
// pointer arithmetic would not.
static inline void prefetchAhead(const double* p, uintptr_t distance = kPrefetchDistance) {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(p) + distance));
}

}  // namespace sela
