#include "scratch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sela {

void outOfMemory() {
  std::fputs("out of memory\n", stderr);
  std::fflush(stderr);
  // _Exit: no atexit handlers or static destructors run while other threads may still
  // be inside the library; the message has been flushed explicitly.
  std::_Exit(1);
}

void FreeDeleter::operator()(void* p) const noexcept { std::free(p); }

namespace {

// Byte size of n doubles; a size that does not fit the address space cannot be
// allocated either, so it is reported the same way.
size_t byteSize(int64_t n) {
  if (static_cast<uint64_t>(n) > SIZE_MAX / sizeof(double)) outOfMemory();
  return static_cast<size_t>(n) * sizeof(double);
}

}  // namespace

ScratchArray allocateScratch(int64_t n) {
  if (n <= 0) return ScratchArray();
  void* p = std::malloc(byteSize(n));
  if (p == nullptr) outOfMemory();
  return ScratchArray(static_cast<double*>(p));
}

ScratchArray allocateZeroedScratch(int64_t n) {
  if (n <= 0) return ScratchArray();
  void* p = std::calloc(static_cast<size_t>(n), sizeof(double));
  if (p == nullptr) outOfMemory();
  return ScratchArray(static_cast<double*>(p));
}

ScratchArray copyToScratch(const double* x, int64_t n) {
  ScratchArray a = allocateScratch(n);
  if (n > 0) std::memcpy(a.get(), x, byteSize(n));
  return a;
}

}  // namespace sela
