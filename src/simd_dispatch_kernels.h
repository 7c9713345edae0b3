// The vector dot-product kernels (naive, Dot2, DotK3), written once over an operation set
// (vector_ops.h) and instantiated in simd_dispatch_avx2.cpp (W = 4) and
// simd_dispatch_avx512.cpp (W = 8), each compiled for its own instruction set. Internal
// linkage throughout, for the reason given in vector_ops.h.
//
// Each lane runs the scalar algorithm on the elements l, l + W, l + 2W, ...; the lanes
// are combined at the end in a fixed order, so results are deterministic for a given W.
// The vector arithmetic is plain IEEE operations per lane; -ffp-contract=off keeps the
// compiler from fusing a product into the following addition (which would change the
// TwoSum of T = S + P into something that is no longer error-free).
#pragma once

#include <cstdint>

#include "algorithms/binary64.h"
#include "algorithms/compensatedsum.h"
#include "algorithms/vector_ops.h"
#include "sela.h"

namespace {

// The compensated kernels prefetch (prefetchPairAhead, vector_ops.h): their lanes carry a
// chain of two vector additions per block. The naive kernel's chain is one fused
// multiply-add per block; it reaches the bandwidth without the hint.

// The naive kernel: one accumulator vector, one fused multiply-add per lane and block.
template <typename Ops>
double naiveKernel(const double* x, int64_t n, const double* y) {
  constexpr int64_t W = Ops::W;
  double s = 0.0;
  if (n <= 0) return s;
  if (n < W) {
    for (int64_t i = 0; i < n; ++i) s = s + x[i] * y[i];
    return s;
  }
  typename Ops::V acc = Ops::zero();
  int64_t i = 0;
  for (; i <= n - W; i += W) acc = Ops::fma(Ops::load(x + i), Ops::load(y + i), acc);
  double lanes[W];
  Ops::store(lanes, acc);
  for (int64_t l = 0; l < W; ++l) s = s + lanes[l];
  for (; i < n; ++i) s = s + x[i] * y[i];
  return s;
}

// Dot2 lane state: sum S and compensation C.
template <typename Ops>
struct Dot2Lanes {
  static constexpr int kStates = 2;
  typename Ops::V s = Ops::zero();
  typename Ops::V c = Ops::zero();

  void step(typename Ops::V a, typename Ops::V b) {
    const typename Ops::V p = Ops::mul(a, b);
    const typename Ops::V e = Ops::fms(a, b, p);  // a*b - p in one rounding: exact
    typename Ops::V t, q;
    twoSum<Ops>(s, p, t, q);
    c = Ops::add(Ops::add(c, e), q);  // the product error first, then the sum error
    s = t;
  }
  void write(double* out) const {
    Ops::store(out, s);
    Ops::store(out + Ops::W, c);
  }
};

// DotK3 lane state: sum S, first level C1 (distilled by TwoSum) and last level C2.
template <typename Ops>
struct DotK3Lanes {
  static constexpr int kStates = 3;
  typename Ops::V s = Ops::zero();
  typename Ops::V c1 = Ops::zero();
  typename Ops::V c2 = Ops::zero();

  void step(typename Ops::V a, typename Ops::V b) {
    const typename Ops::V p = Ops::mul(a, b);
    const typename Ops::V e = Ops::fms(a, b, p);
    typename Ops::V t, q, u, w1, v, w2;
    twoSum<Ops>(s, p, t, q);
    twoSum<Ops>(c1, e, u, w1);
    twoSum<Ops>(u, q, v, w2);
    c2 = Ops::add(c2, Ops::add(w2, w1));
    s = t;
    c1 = v;
  }
  void write(double* out) const {
    Ops::store(out, s);
    Ops::store(out + Ops::W, c1);
    Ops::store(out + 2 * Ops::W, c2);
  }
};

// A compensated kernel: full blocks, then one zero-padded block for the n mod W remaining
// elements (copied one at a time, so nothing past x[n-1] or y[n-1] is read; the padded
// lanes add exact zeros), then neumaierSum over all lane states in the order S, C (, C2).
//
// Acceptance: the lane sums S[l] are the large parts. When the result is finite and not
// more than 2^10 times smaller than the largest of them, the lanes did not cancel so far
// that their per-lane compensation errors could matter; otherwise the caller must use the
// scalar algorithm.
template <typename Ops, typename Lanes>
sela_kernel_result compensatedKernel(const double* x, int64_t n, const double* y) {
  constexpr int64_t W = Ops::W;
  if (n <= 0) return {0.0, true};
  Lanes lanes;
  int64_t i = 0;
  if (n >= W) {
    for (; i <= n - W; i += W) {
      prefetchPairAhead(x, y, i, n);
      lanes.step(Ops::load(x + i), Ops::load(y + i));
    }
  }
  if (i < n) {
    double bx[W] = {};
    double by[W] = {};
    for (int64_t l = 0; i + l < n; ++l) {
      bx[l] = x[i + l];
      by[l] = y[i + l];
    }
    lanes.step(Ops::load(bx), Ops::load(by));
  }
  double parts[Lanes::kStates * W];
  lanes.write(parts);
  const double r = sela::neumaierSum(parts, Lanes::kStates * W);
  double m = 0.0;
  for (int64_t l = 0; l < W; ++l) {
    const double a = __builtin_fabs(parts[l]);
    if (a > m) m = a;  // false for a NaN lane
  }
  const bool accepted = sela::isFinite(r) && __builtin_fabs(r) * 1024.0 >= m;
  return {r, accepted};
}

}  // namespace
