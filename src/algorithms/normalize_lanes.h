// The centered normalization (x[i] - c) / scale over W lanes at a time, written once over
// an operation set (Ops: W, V, load, store, set1, sub, div, anyInfinite) and instantiated
// in statistical_reductions.cpp (SSE2, W = 2) and in simd_dispatch_avx2.cpp (AVX, W = 4).
// Internal linkage throughout, for the reason given in simd_kernels.h.
//
// Each lane subtracts and divides with one rounding each, exactly the scalar operations,
// so the values do not depend on the width. The division sets the pace (its throughput
// per element doubles with 256-bit vectors on current processors).
#pragma once

#include <cstdint>

namespace {

// Stops at the first vector holding an infinite difference (x[i] - c overflowed), which
// the caller's element step handles; returns the number of values written.
template <typename Ops>
int64_t normalizeLanes(const double* x, int64_t n, double c, double scale, double* out) {
  constexpr int64_t W = Ops::W;
  const typename Ops::V cv = Ops::set1(c);
  const typename Ops::V sv = Ops::set1(scale);
  int64_t i = 0;
  for (; i + W <= n; i += W) {
    // 4 KiB ahead (the callers stream long arrays a chunk at a time, with the exact
    // products in between); the address is formed in integer arithmetic, as it may lie
    // past the end of the array, which a prefetch tolerates.
    if (i % 8 == 0) __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(x + i) + 4096));
    const typename Ops::V d = Ops::sub(Ops::load(x + i), cv);
    if (Ops::anyInfinite(d)) break;
    Ops::store(out + i, Ops::div(d, sv));
  }
  return i;
}

}  // namespace
