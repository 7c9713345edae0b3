// Scratch arrays owned by one call. Allocation failure is not recoverable: the library
// reports "out of memory" on standard error and ends the process with status 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace sela {

// Writes "out of memory\n" to standard error, flushes it and exits with status 1.
[[noreturn]] void outOfMemory();

struct FreeDeleter {
  void operator()(void* p) const noexcept;
};

// An owned array of doubles, released when the owner goes out of scope (every path).
using ScratchArray = std::unique_ptr<double[], FreeDeleter>;

// n doubles with unspecified contents. n <= 0 gives an empty (null) array.
ScratchArray allocateScratch(int64_t n);
// n doubles, all +0.0.
ScratchArray allocateZeroedScratch(int64_t n);
// A copy of x[0] ... x[n-1].
ScratchArray copyToScratch(const double* x, int64_t n);

}  // namespace sela
