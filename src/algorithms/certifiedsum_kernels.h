// The certified dot product's lane pass, written once over an operation set (vector_ops.h)
// and instantiated in certifiedsum_avx2.cpp and certifiedsum_avx512.cpp. Internal linkage
// throughout, for the reason given in vector_ops.h.
//
// Each lane runs, on its elements, the split p = fl(a * b), r = fma(a, b, -p) (exact,
// r = a * b - p, whenever |p| >= 2^-916: see exactsum_arrangements_fma.cpp; exact too when
// a factor is zero, r then being a zero), a TwoSum of its running sum S with p, and adds
// the TwoSum's error q and r, as the rounded q + r, into C, and |q| + |r| into E. While
// nothing overflows, every lane's S plus the exact sum of its q and r is the exact sum of
// its products. A product below 2^-916 with two non-zero factors is only flagged: its r
// may have been rounded, and the caller widens its bound. Infinities, NaNs and overflows
// reach S, C or E and are caught by the caller's finiteness test. Two lane groups halve
// the chains through S and C; the n mod W elements left form one zero-padded block
// (copied one at a time: nothing past x[n-1], y[n-1] is read; the padding adds exact
// zeros). A stream of chunks continues from the lanes it was given.
#pragma once

#include <cstdint>

#include "algorithms/certifiedsum.h"
#include "algorithms/vector_ops.h"

namespace {

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
    // |p| < floor with both factors non-zero.
    const typename Ops::V zero = Ops::zero();
    tiny = Ops::either(tiny, Ops::both(Ops::less(Ops::abs(p), floor),
                                       Ops::both(Ops::notEqual(a, zero), Ops::notEqual(b, zero))));
  }
  // The sum's step: the element itself is the high part, with no remainder.
  void stepSum(typename Ops::V a) {
    typename Ops::V t, q;
    twoSum<Ops>(s, a, t, q);
    c = Ops::add(c, q);
    e = Ops::add(e, Ops::abs(q));
    s = t;
  }
  // Takes another group's lanes into these: the sums by a TwoSum whose error is one more
  // term per lane, the error sums and magnitudes added (still a tree over the terms).
  void absorb(const CertifiedDotGroup& o) {
    typename Ops::V t, q;
    twoSum<Ops>(s, o.s, t, q);
    c = Ops::add(Ops::add(c, o.c), q);
    e = Ops::add(Ops::add(e, o.e), Ops::abs(q));
    s = t;
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
    prefetchPairAhead(x, y, i, n);
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

// The certified sum: the same lanes with each element as its own high part (r = 0, no
// products, nothing flagged), in four lane groups, as the sum's one addition per element
// and lane leaves a shorter chain than the dot product's; the third and fourth groups are
// folded into the first two at the end. Terms: one TwoSum error per element slot (padding
// included) and one per lane of each fold.
template <typename Ops>
void certifiedSumKernel(const double* x, int64_t n, sela::CertifiedDotLanes& state) {
  constexpr int64_t W = Ops::W;
  static_assert(2 * W <= sela::CertifiedDotLanes::kMaxLanes);
  CertifiedDotGroup<Ops> g0, g1, g2, g3;
  int64_t i = 0;
  for (; i + 4 * W <= n; i += 4 * W) {
    if (i < n - kPrefetchAhead) __builtin_prefetch(x + i + kPrefetchAhead);
    g0.stepSum(Ops::load(x + i));
    g1.stepSum(Ops::load(x + i + W));
    g2.stepSum(Ops::load(x + i + 2 * W));
    g3.stepSum(Ops::load(x + i + 3 * W));
  }
  for (; i + W <= n; i += W) g2.stepSum(Ops::load(x + i));
  if (i < n) {
    double bx[W] = {};
    for (int64_t l = 0; i + l < n; ++l) bx[l] = x[i + l];
    g3.stepSum(Ops::load(bx));
  }
  g0.absorb(g2);
  g1.absorb(g3);
  g0.write(state, 0);
  g1.write(state, static_cast<int>(W));
  state.lanes = static_cast<int>(2 * W);
  state.terms += ((n + W - 1) / W) * W + 2 * W;
}

}  // namespace
