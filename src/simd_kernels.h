// The vector dot-product kernels, written once over a W-lane operation set and
// instantiated in simd_dispatch_avx2.cpp (W = 4) and simd_dispatch_avx512.cpp (W = 8),
// each compiled for its own instruction set.
//
// Everything here has internal linkage (anonymous namespace): the two instantiating
// translation units are compiled with different target flags, and an inline function
// with external linkage shared between them (or with baseline code) could let the linker
// keep the AVX copy for everyone. Include only from those two files, and include no other
// header with inline functions there.
//
// Each lane runs the scalar algorithm on the elements l, l + W, l + 2W, ...; the lanes
// are combined at the end in a fixed order, so results are deterministic for a given W.
// The vector arithmetic is plain IEEE operations per lane; -ffp-contract=off keeps the
// compiler from fusing a product into the following addition (which would change the
// TwoSum of T = S + P into something that is no longer error-free).
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "algorithms/certifiedsum.h"
#include "algorithms/compensatedsum.h"
#include "sela.h"

namespace {

inline bool finiteBits(double v) {
  uint64_t u;
  __builtin_memcpy(&u, &v, sizeof u);
  return (u & 0x7FF0000000000000ULL) != 0x7FF0000000000000ULL;
}

// Software prefetch of both arrays kPrefetchAhead elements (2 KiB) ahead of the block
// being loaded, in the compensated kernels. Their lanes carry a dependence chain of two
// vector additions per block, so the out-of-order window holds too few blocks to keep
// enough cache misses in flight on its own; the hint restores streaming bandwidth for
// inputs beyond the cache. (The naive kernel's chain is one fused multiply-add per block;
// it reaches the bandwidth without the hint.) It reads nothing into the computation (results are unchanged) and is issued
// only for addresses inside the arrays. Always inlined: as a separate function GCC finds
// it "const" (a prefetch has no visible effect) and deletes the calls.
constexpr int64_t kPrefetchAhead = 256;

__attribute__((always_inline)) inline void prefetchAhead(const double* x, const double* y, int64_t i, int64_t n) {
  if (i < n - kPrefetchAhead) {
    __builtin_prefetch(x + i + kPrefetchAhead);
    __builtin_prefetch(y + i + kPrefetchAhead);
  }
}

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

// TwoSum per lane, a the running value: s + e = a + b exactly when nothing overflows.
template <typename Ops>
inline void twoSum(typename Ops::V a, typename Ops::V b, typename Ops::V& s, typename Ops::V& e) {
  s = Ops::add(a, b);
  const typename Ops::V z = Ops::sub(s, a);
  e = Ops::add(Ops::sub(a, Ops::sub(s, z)), Ops::sub(b, z));
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
      prefetchAhead(x, y, i, n);
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
  const bool accepted = finiteBits(r) && __builtin_fabs(r) * 1024.0 >= m;
  return {r, accepted};
}

// The certified dot product's lane pass. Each lane runs, on its elements, the split
// p = fl(a * b), r = fma(a, b, -p) (exact, r = a * b - p, whenever |p| >= 2^-916: see
// exactsum_fma.cpp; exact too when a factor is zero, r then being a zero), a TwoSum of its
// running sum S with p, and adds the TwoSum's error q and r, as the rounded q + r, into C,
// and |q| + |r| into E. While nothing overflows, every lane's S plus the exact sum of its
// q and r is the exact sum of its products. A product below 2^-916 with two non-zero
// factors is only flagged: its r may have been rounded, and the caller widens its bound.
// Infinities, NaNs and overflows reach S, C or E and are caught by the caller's finiteness
// test. Two lane groups halve the chains through S and C; the n mod W elements left form
// one zero-padded block (copied one at a time: nothing past x[n-1], y[n-1] is read; the
// padding adds exact zeros). A stream of chunks continues from the lanes it was given.
template <typename Ops>
struct CertifiedDotGroup {
  typename Ops::V s = Ops::zero();
  typename Ops::V c = Ops::zero();
  typename Ops::V e = Ops::zero();

  void step(typename Ops::V a, typename Ops::V b, typename Ops::V floor, typename Ops::Mask& tiny) {
    const typename Ops::V p = Ops::mul(a, b);
    const typename Ops::V r = Ops::fms(a, b, p);  // a*b - p in one rounding
    typename Ops::V t, q;
    twoSum<Ops>(s, p, t, q);
    c = Ops::add(c, Ops::add(q, r));
    e = Ops::add(e, Ops::add(Ops::abs(q), Ops::abs(r)));
    s = t;
    tiny = Ops::orTiny(tiny, a, b, p, floor);
  }
  void write(sela::CertifiedDotLanes& out, int first) const {
    Ops::store(out.s + first, s);
    Ops::store(out.c + first, c);
    Ops::store(out.e + first, e);
  }
  void read(const sela::CertifiedDotLanes& in, int first) {
    s = Ops::load(in.s + first);
    c = Ops::load(in.c + first);
    e = Ops::load(in.e + first);
  }
};

// With Centered, the factors are the differences x[i] - cx and y[i] - cy, each rounded
// once, in the lanes as in scalar code (the padded tail holds the differences, then zeros).
template <typename Ops, bool Centered>
void certifiedDotKernel(const double* x, int64_t n, const double* y, double cx, double cy,
                        sela::CertifiedDotLanes& state) {
  constexpr int64_t W = Ops::W;
  static_assert(2 * W <= sela::CertifiedDotLanes::kMaxLanes);
  CertifiedDotGroup<Ops> g0, g1;
  if (state.lanes == 2 * W) {  // a stream continues where its last chunk left its lanes
    g0.read(state, 0);
    g1.read(state, static_cast<int>(W));
  }
  typename Ops::Mask tiny = Ops::noMask();
  const typename Ops::V floor = Ops::set1(0x1p-916);
  const typename Ops::V vcx = Ops::set1(cx);
  const typename Ops::V vcy = Ops::set1(cy);
  const auto factorX = [&](const double* p) { return Centered ? Ops::sub(Ops::load(p), vcx) : Ops::load(p); };
  const auto factorY = [&](const double* p) { return Centered ? Ops::sub(Ops::load(p), vcy) : Ops::load(p); };
  int64_t i = 0;
  for (; i + 2 * W <= n; i += 2 * W) {
    prefetchAhead(x, y, i, n);
    g0.step(factorX(x + i), factorY(y + i), floor, tiny);
    g1.step(factorX(x + i + W), factorY(y + i + W), floor, tiny);
  }
  if (i + W <= n) {
    g0.step(factorX(x + i), factorY(y + i), floor, tiny);
    i += W;
  }
  if (i < n) {
    double bx[W] = {};
    double by[W] = {};
    for (int64_t l = 0; i + l < n; ++l) {
      bx[l] = Centered ? x[i + l] - cx : x[i + l];
      by[l] = Centered ? y[i + l] - cy : y[i + l];
    }
    g1.step(Ops::load(bx), Ops::load(by), floor, tiny);
  }
  g0.write(state, 0);
  g1.write(state, static_cast<int>(W));
  state.lanes = static_cast<int>(2 * W);
  state.terms += 2 * ((n + W - 1) / W) * W;  // a q and an r per element slot, padding included
  state.tinyProducts = state.tinyProducts || Ops::any(tiny);
}

}  // namespace
