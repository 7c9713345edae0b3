// The centered normalization (x[i] - c) / scale over W lanes at a time, written once over
// an operation set (vector_ops.h) and instantiated in statistical_reductions.cpp (SSE2,
// W = 2) and in statistical_reductions_avx2.cpp (AVX, W = 4). Internal linkage
// throughout, for the reason given in vector_ops.h.
//
// Each lane subtracts and divides with one rounding each, exactly the scalar operations,
// so the values do not depend on the width. The division sets the pace (its throughput
// per element doubles with 256-bit vectors on current processors).
#pragma once

#include <cstdint>

#include "algorithms/prefetch.h"
#include "algorithms/statistical_reductions.h"
#include "algorithms/vector_ops.h"

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
    // 4 KiB ahead: the callers stream long arrays a chunk at a time, with the exact
    // products in between.
    if (i % 8 == 0) sela::prefetchAhead(x + i);
    const typename Ops::V d = Ops::sub(Ops::load(x + i), cv);
    if (anyInfinite<Ops>(d)) break;
    Ops::store(out + i, Ops::div(d, sv));
  }
  return i;
}

}  // namespace
