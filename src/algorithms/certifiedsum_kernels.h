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
#include <cstring>

#include "algorithms/certifiedsum.h"
#include "algorithms/vector_ops.h"

namespace {

template <typename Ops>
struct CertifiedDotGroup {
  typename Ops::V s = Ops::zero();
  typename Ops::V c = Ops::zero();
  typename Ops::V e = Ops::zero();

  void step(typename Ops::V a, typename Ops::V b, typename Ops::V floor, typename Ops::Mask& tiny) {
    const typename Ops::V p = addProduct(a, b);
    tiny = Ops::either(tiny, flagged(a, b, p, floor));
  }
  // The same step with the floor's test left to the caller: the least |p| of each lane
  // goes into `least` (a NaN product is skipped by the minimum, as by the test).
  void stepLeast(typename Ops::V a, typename Ops::V b, typename Ops::V& least) {
    least = Ops::min(Ops::abs(addProduct(a, b)), least);
  }
  // The step with the lanes whose product may underflow left out (mayUnderflow): their
  // factors become zeros, which add exact zeros, and `dropped` records those with both
  // factors non-zero. Such a lane's p is zero and joins `tiny` too, which the wider bound
  // for dropped products covers (certifiedDotResult).
  void stepGuarded(typename Ops::V a, typename Ops::V b, typename Ops::V floor, typename Ops::Mask& tiny,
                   typename Ops::Mask& dropped) {
    const typename Ops::V zero = Ops::zero();
    const typename Ops::Mask nonZero = Ops::both(Ops::notEqual(a, zero), Ops::notEqual(b, zero));
    const typename Ops::Mask out = mayUnderflow(a, b);
    const typename Ops::V p = addProduct(Ops::zeroWhere(out, a), Ops::zeroWhere(out, b));
    tiny = Ops::either(tiny, Ops::both(Ops::less(Ops::abs(p), floor), nonZero));
    dropped = Ops::either(dropped, Ops::both(out, nonZero));
  }
  // Lanes whose product may lie below 2^-916, from the bit patterns alone (no product is
  // formed, so none underflows). At or above it p and r are normal or zero (r exact, see
  // above); below, p or r may be subnormal. With A = bits(|a|) = f 2^52 + m 2^52
  // (exponent field f, fraction m in [0, 1)), a normal factor is 2^(f - 1023) (1 + m) >=
  // 2^(f - 1023 + m), as 1 + m >= 2^m on [0, 1]; every finite one is below 2^(f - 1022).
  // So with normal factors |a b| >= 2^((A + B) / 2^52 - 2046), and always |a b| <
  // 2^(f_a + f_b - 2044). The test reads H = floor(A / 2) + floor(B / 2), within 2H <= A +
  // B <= 2H + 2:
  // - H >= 1130 2^51 (not flagged): A + B >= 1130 2^52, so normal factors give |a b| >=
  //   2^-916. (A subnormal factor may pass and still underflow: its lane runs the
  //   ordinary step, exact as ever, only slower.) Specials pass (f = 2047).
  // - H < 1130 2^51 (flagged): A + B < 1130 2^52 + 2, so f_a + f_b <= 1129 and |a b| <
  //   2^-915. Zero factors may be flagged too (their product is zero either way).
  static typename Ops::Mask mayUnderflow(typename Ops::V a, typename Ops::V b) {
    return Ops::halvedBitsBelow(a, b, sela::kGuardKeptFrom);
  }
  // The lanes' products with |p| < floor and both factors non-zero.
  static typename Ops::Mask flagged(typename Ops::V a, typename Ops::V b, typename Ops::V p, typename Ops::V floor) {
    const typename Ops::V zero = Ops::zero();
    return Ops::both(Ops::less(Ops::abs(p), floor), Ops::both(Ops::notEqual(a, zero), Ops::notEqual(b, zero)));
  }
  // The split of a * b into the lanes; returns p.
  typename Ops::V addProduct(typename Ops::V a, typename Ops::V b) {
    const typename Ops::V p = Ops::mul(a, b);
    const typename Ops::V r = Ops::fms(a, b, p);  // a*b - p in one rounding
    typename Ops::V t, q;
    twoSum<Ops>(s, p, t, q);
    c = Ops::add(c, Ops::add(q, r));
    e = Ops::add(e, Ops::add(Ops::abs(q), Ops::abs(r)));
    s = t;
    return p;
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

// The factors of element i: with Centered, the differences x[i] - cx and y[i] - cy, each
// rounded once, in the lanes as in scalar code.
template <typename Ops, bool Centered>
struct DotFactors {
  const double* x;
  const double* y;
  typename Ops::V cx, cy;
  typename Ops::V a(int64_t i) const { return Centered ? Ops::sub(Ops::load(x + i), cx) : Ops::load(x + i); }
  typename Ops::V b(int64_t i) const { return Centered ? Ops::sub(Ops::load(y + i), cy) : Ops::load(y + i); }
};

// Whether some whole vector of factors in [from, to) has a flagged product (the exact test
// of CertifiedDotGroup::flagged): the second look at a stretch whose least |p| fell below
// the floor, which zero factors alone (sparse data) also cause.
template <typename Ops, bool Centered>
bool anyFlaggedProduct(const DotFactors<Ops, Centered>& f, int64_t from, int64_t to, typename Ops::V floor) {
  typename Ops::Mask tiny = Ops::noMask();
  for (int64_t i = from; i + Ops::W <= to; i += Ops::W) {
    const typename Ops::V a = f.a(i), b = f.b(i);
    tiny = Ops::either(tiny, CertifiedDotGroup<Ops>::flagged(a, b, Ops::mul(a, b), floor));
  }
  return Ops::any(tiny);
}

// Whether the guard leaves out every lane of the W vectors' worth of factor pairs at `at`
// and `at + W` (mayUnderflow) and none of them, with non-zero factors, might take a
// microcode assist when formed: each lies below sela::kGuardSilentBelow in the same halved
// bits, so |a b| < 2^-1088.
template <typename Ops, bool Centered>
bool silentPair(const DotFactors<Ops, Centered>& f, int64_t at) {
  const typename Ops::V zero = Ops::zero();
  typename Ops::Mask kept = Ops::noMask(), audible = Ops::noMask();
  for (int64_t i = at; i < at + 2 * Ops::W; i += Ops::W) {
    const typename Ops::V a = f.a(i), b = f.b(i);
    const typename Ops::V h = Ops::halvedBits(a, b);
    kept = Ops::either(kept, Ops::bitsAtLeast(h, sela::kGuardKeptFrom));
    const typename Ops::Mask nonZero = Ops::both(Ops::notEqual(a, zero), Ops::notEqual(b, zero));
    audible = Ops::either(audible, Ops::both(Ops::bitsAtLeast(h, sela::kGuardSilentBelow), nonZero));
  }
  return !Ops::any(Ops::either(kept, audible));
}

// With Centered, the factors are the differences (DotFactors; the padded tail holds the
// differences, then zeros). The pass runs in groups of kWatchEvery pairs of vectors, each
// group with one of two steps:
// - the plain step keeps only the least |p| of each lane, two operations where the exact
//   floor test takes five. After the group, when that least lies below the floor, the
//   exact test runs over the group again (anyFlaggedProduct, the group still in the
//   first-level cache), until some group has a flagged product: then the flag is set and
//   no later look could change it. So the flag is the test's over every element either
//   way.
// - the guarded step (stepGuarded) leaves out every lane whose product may underflow
//   before multiplying and tests the floor exactly; `dropped` records those left out.
// Products that underflow (a subnormal p or r) take a microcode assist on some processors,
// tens to hundreds of cycles each: data whose products span the whole range (values
// divided by their largest magnitude, half of whose products fall below 2^-1022) ran ten
// times slower than others with the plain step alone. The guarded step costs more than
// the plain one on every element, though, and data with only a few such products (random
// exponents over +-500: products down to 2^-1000, one in 2000 with a subnormal r) ran
// 0.38 -> 0.60 ns per element once guarded throughout. So the step is chosen per group
// from the group before: a plain group whose least fell below 2^-968 (where r may be
// subnormal; below the floor while the flag is unknown, as the look needs that group's
// products anyway) is followed by a guarded one, and a guarded group by a plain one when
// it left out nothing that would have slowed the plain step: nothing at all, or only
// products below 2^-1088 (kGuardSilentBelow), which the plain step forms as zeros at full
// speed. A look at the group's last pair of vectors, still in the first-level cache, tells
// data that vanish throughout (silentPair: every lane left out, none between 2^-1088 and
// 2^-916): after the first guarded group that left something out, then after 2, 4, ... up
// to kLookGapMost more such groups while it finds other data, and after one that finds
// them at the next such group again. (A test of every product inside the guarded step, or
// a look over the whole group, cost the dot products of values divided by their largest
// magnitude, which stay guarded, 6-13% and 4-6%.) After a group
// that left out only those (`silent`), a plain group's lanes whose least is exactly 0
// are taken for more of those products (or zero factors), not for products that
// underflow: only lanes whose least lies in (0, 2^-968) call for the guard. The products
// between 2^-1088 and 2^-1075, which round to zero too but take assists, would go unseen
// that way, so every kSilentChecks-th plain group that met a zero least is followed by a
// guarded one, which tells the two apart again. (Centered data below 2^-900, whose
// products all vanish, ran guarded throughout: the calls took 1.12 times as long as with
// the plain step.) Groups where zero factors put the least at 0 and no product is flagged
// would go back and forth; after kFruitlessLooks such looks the rest of the pass stays
// guarded, as it is when the chunks before in a stream dropped products.
// Whichever step formed it, a product either enters the lanes as before or is left out
// with |a b| < 2^-915, and certifiedDotResult widens the bound for those
// (certifiedsum.cpp). The padded tail takes the last group's step too, the plain one with
// the exact floor test (CertifiedDotGroup::step) after a plain group: the guarded step's
// bit test sat on the path to the result (uniform data of 100 elements: 4% of a call, 1001
// elements 1.4%, Intel Xeon).
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
  typename Ops::Mask tiny = Ops::noMask(), dropped = Ops::noMask();
  const typename Ops::V floor = Ops::set1(0x1p-916);
  const typename Ops::V assisted = Ops::set1(0x1p-968);
  const typename Ops::V none = Ops::set1(__builtin_inf());
  const DotFactors<Ops, Centered> f{x, y, Ops::set1(cx), Ops::set1(cy)};
  constexpr int64_t kLines = (2 * W + 7) / 8;  // of each array per step of two vectors
  constexpr int64_t kWatchEvery = 4;           // pairs of vectors per group
  constexpr int kFruitlessLooks = 4;
  constexpr int kSilentChecks = 8;
  bool flagged = state.tinyProducts;  // looks cannot change the flag any more
  bool guard = state.droppedProducts;
  bool stayGuarded = guard;
  bool silent = false;  // the last guarded group left out only products below 2^-1088
  int fruitless = 0;
  int zeroLeast = 0;  // plain groups since then with a zero least
  constexpr int kLookGapMost = 64;
  int lookGap = 1, untilLook = 1;  // guarded groups between looks, and to the next
  const auto guardedPair = [&](int64_t at, typename Ops::Mask& out) __attribute__((always_inline)) {
    streamPrefetch(x, at, kLines, n - 1);
    streamPrefetch(y, at, kLines, n - 1);
    g0.stepGuarded(f.a(at), f.b(at), floor, tiny, out);
    g1.stepGuarded(f.a(at + W), f.b(at + W), floor, tiny, out);
  };
  // The plain step over the whole vectors of [i, to), i advanced; returns the least |p|.
  int64_t i = 0;
  const auto plainRun = [&](int64_t to) __attribute__((always_inline)) {
    typename Ops::V least0 = none, least1 = none;
    for (; i + 2 * W <= to; i += 2 * W) {
      streamPrefetch(x, i, kLines, n - 1);
      streamPrefetch(y, i, kLines, n - 1);
      g0.stepLeast(f.a(i), f.b(i), least0);
      g1.stepLeast(f.a(i + W), f.b(i + W), least1);
    }
    if (i + W <= to) {
      g0.stepLeast(f.a(i), f.b(i), least0);
      i += W;
    }
    return Ops::min(least0, least1);
  };
  // After plain vectors [from, i) whose least |p| is `least`: the flag's look, and the
  // step of the next group.
  const auto watch = [&](int64_t from, typename Ops::V least) {
    if (Ops::any(Ops::less(least, flagged ? assisted : floor))) [[unlikely]] {
      if (!flagged) {
        flagged = anyFlaggedProduct(f, from, i, floor);
        stayGuarded = !flagged && ++fruitless >= kFruitlessLooks;
      }
      uint64_t low = Ops::laneBits(Ops::less(least, assisted));
      bool check = false;
      if (silent) {
        const uint64_t zeros = Ops::laneBits(Ops::equal(least, Ops::zero()));
        low &= ~zeros;
        check = zeros != 0 && ++zeroLeast % kSilentChecks == 0;
      }
      guard = stayGuarded || check || (low & (low - 1)) != 0;  // two lanes or more
    }
  };
  constexpr int64_t kGroup = kWatchEvery * 2 * W;
  // Two loops, each with its own step (one loop choosing the step for each group ran some
  // 10% slower on uniform data).
  while (i + kGroup <= n) {
    for (; !guard && i + kGroup <= n;) {
      const int64_t from = i;
      typename Ops::V least0 = none, least1 = none;
      for (int64_t k = 0; k < kWatchEvery; ++k, i += 2 * W) {
        streamPrefetch(x, i, kLines, n - 1);
        streamPrefetch(y, i, kLines, n - 1);
        g0.stepLeast(f.a(i), f.b(i), least0);
        g1.stepLeast(f.a(i + W), f.b(i + W), least1);
      }
      watch(from, Ops::min(least0, least1));
    }
    for (; guard && i + kGroup <= n;) {
      typename Ops::Mask out = Ops::noMask();
      for (int64_t k = 0; k < kWatchEvery; ++k, i += 2 * W) guardedPair(i, out);
      dropped = Ops::either(dropped, out);
      if (!Ops::any(out)) {
        guard = stayGuarded;
        silent = false;
      } else if (!stayGuarded && --untilLook == 0) [[unlikely]] {
        silent = silentPair(f, i - 2 * W);
        guard = !silent;
        lookGap = silent ? 1 : lookGap * 2 > kLookGapMost ? kLookGapMost : lookGap * 2;
        untilLook = lookGap;
      }
    }
  }
  // The whole vectors after the last group take the last group's step, looked at as a
  // group is.
  if (guard) {
    for (; i + 2 * W <= n; i += 2 * W) guardedPair(i, dropped);
    if (i + W <= n) {
      g0.stepGuarded(f.a(i), f.b(i), floor, tiny, dropped);
      i += W;
    }
  } else {
    const int64_t from = i;
    const typename Ops::V least = plainRun(n);
    if (!flagged && Ops::any(Ops::less(least, floor))) flagged = anyFlaggedProduct(f, from, i, floor);
  }
  if (i < n) {
    double bx[W] = {};
    double by[W] = {};
    for (int64_t l = 0; i + l < n; ++l) {
      bx[l] = Centered ? x[i + l] - cx : x[i + l];
      by[l] = Centered ? y[i + l] - cy : y[i + l];
    }
    if (guard) {
      g1.stepGuarded(Ops::load(bx), Ops::load(by), floor, tiny, dropped);
    } else {
      g1.step(Ops::load(bx), Ops::load(by), floor, tiny);
    }
  }
  g0.write(state, 0);
  g1.write(state, static_cast<int>(W));
  state.lanes = static_cast<int>(2 * W);
  state.terms += 2 * ((n + W - 1) / W) * W;  // a q and an r per element slot, padding included
  state.tinyProducts = flagged || Ops::any(tiny);
  state.droppedProducts = state.droppedProducts || Ops::any(dropped);
}

// The certified sum: the same lanes with each element as its own high part (r = 0, no
// products, nothing flagged), in four lane groups, as the sum's one addition per element
// and lane leaves a shorter chain than the dot product's; the groups are folded into the
// first at the end, and its lanes into one. Terms: one TwoSum error per element slot
// (padding included), one per lane of each group's fold and one per lane fold.
template <typename Ops>
void certifiedSumKernel(const double* x, int64_t n, sela::CertifiedDotLanes& state) {
  constexpr int64_t W = Ops::W;
  static_assert(2 * W <= sela::CertifiedDotLanes::kMaxLanes);
  CertifiedDotGroup<Ops> g0, g1, g2, g3;
  int64_t i = 0;
  for (; i + 4 * W <= n; i += 4 * W) {
    streamPrefetch(x, i, 4 * W / 8, n - 1);
    g0.stepSum(Ops::load(x + i));
    g1.stepSum(Ops::load(x + i + W));
    g2.stepSum(Ops::load(x + i + 2 * W));
    g3.stepSum(Ops::load(x + i + 3 * W));
  }
  for (; i + W <= n; i += W) g2.stepSum(Ops::load(x + i));
  if (i < n) g3.stepSum(Ops::loadFirst(x + i, n - i));
  g0.absorb(g2);
  g1.absorb(g3);
  g0.absorb(g1);
  // The lanes folded into one in the registers (foldLanes): the caller's merge of the
  // lanes, one dependent scalar TwoSum per lane, took some 45 ns of a call for the 16 lanes
  // of the AVX-512 family on an Intel Xeon, more than the pass itself up to 200 elements.
  typename Ops::V tail = Ops::zero();
  foldLanes<Ops, static_cast<int>(W / 2)>(g0.s, g0.c, g0.e, tail);
  state.s[0] = Ops::first(g0.s);
  state.c[0] = Ops::first(g0.c);
  state.e[0] = Ops::first(g0.e);
  state.lanes = 1;
  state.terms += ((n + W - 1) / W) * W + 3 * W + (W - 1);
}

}  // namespace

// ---- The extraction pass (certifiedsum.h, extractedSum) ----
//
// One block of n <= kExtractionBlock elements. With 2^(A-2) >= the block's zero-padded
// length N and the block's largest magnitude below 2^(k1 - A), level j (j = 0 .. L-1,
// 1 <= L <= kExtractionLevels) holds in every lane a running value S_j that starts at
// 1.5 * 2^k_j, k_j = k1 - j D, D = 53 - A (no level below 2^-1022: such a level is clamped
// there, where every double is a multiple of its unit and it leaves no residual). Each
// element p passes the levels top down: t = S_j + p, q = t - S_j, p = p - q, S_j = t, and
// what leaves the last level goes into the error lanes c (rounded sum) and e (rounded sum
// of magnitudes).
// - Input bound: |p| <= 2^(k_j - A) at level j. For the elements by the choice of k1; below,
//   p is the previous level's residual, at most half a unit of S_{j-1}, 2^(k_{j-1} - 53) =
//   2^(k_j + D - 53) = 2^(k_j - A) (a clamped level only lies higher).
// - S_j stays inside (2^k_j, 2^(k_j + 1)): it moves by the q's, each |q| <= |p| + 2^(k_j -
//   53), together below N (2^(k_j - A) + 2^(k_j - 53)) <= 2^(k_j - 2) + 2^(k_j - 42) <
//   2^(k_j - 1) in magnitude. So its unit is 2^(k_j - 52) throughout.
// - Each step is FastTwoSum (|S_j| >= |p|): t and S_j are within a factor 2 of each other,
//   q = t - S_j is exact (Sterbenz), and p - q = (S_j + p) - t is the addition's rounding
//   error, a double, computed exactly. So S_j + p = t + (p - q): nothing is lost, and the
//   new residual is at most half a unit of t.
// - At the end each lane's S_j - 1.5 * 2^k_j is exact (same binade), a multiple of
//   2^(k_j - 52); their sum over the lanes, added in any order, is a sum of the block's
//   q's of level j, below 2^(k_j - 1) at every step and on that grid: exact too.
// None of this depends on L: each level only sees what the one above let through. So for
// every L the block's exact sum is sum_j tau_j + sum r over its residuals r, with every
// tau_j a double known exactly and every |r| <= 2^(k_{L-1} - 53): each residual lies
// (L - 1) D + 53 - A - 1 bits below the block's largest magnitude (159 bits for L = 4 on
// a whole block: enough to decide sums of condition 1e32 over ten million elements, whose
// residuals then add up to some 2^-60 of the result; 79 bits for L = 2). The residuals
// are counted, and their rounded sum and magnitude sum kept, whatever L was: the caller's
// bound is over the residuals as they are, so L changes how often the bound decides,
// never what it decides. The entries of tau for levels not taken are 0.
// Infinities make the largest magnitude too large: the block declines. A NaN is skipped by
// the maximum (x86's rule keeps the other operand) but turns S_0 into a NaN, which the
// caller's finiteness test catches; a block of zeros and NaNs only is scanned for them.
// Zero padding passes through every level unchanged. Returns false to decline.
// The levels ask for lines a fixed distance ahead of the element they load, across the
// block's end into the caller's next elements (x[n .. n + ahead - 1]), so that reading the
// data overlaps the arithmetic instead of following it.
//
// How many levels a block takes (levelsFor): those that hold all its bits. Every element
// is a multiple of 2^(lowest - 52), lowest the exponent of the block's smallest magnitude
// (-1022 for a subnormal one; for products, 53 below the smallest |p|, as the exact
// product a b is a multiple of 2^(e_a + e_b - 104) and |p| < 2^(e_a + e_b + 2)), and so
// is every residual (the difference of such a value and a multiple of a level's coarser
// unit). Once k_{L-1} <= lowest, level L - 1's unit 2^(k_{L-1} - 52) divides them all,
// S_{L-1} + p is exact, and no residual is left: further levels would hold nothing, and
// the block's levels and residuals (all zero) are what all levels would give. So the
// block takes those levels only, at most all of them (a zero in the block leaves no such
// bound: all of them; a flagged product's rounded low part is a residual all the same),
// and a block of the sum whose bits lie far beyond the reach of all takes two
// (levelsTaken). One level never suffices (k1 lies above the largest magnitude's exponent). Data of a
// few binades, as uniform data are, need two; sums of condition 1e16 at ten million
// elements (elements over some 35 binades) need three. The choice changes only the work:
// the bound is over the residuals as they are.
constexpr int kBeyondReach = sela::kExtractionLevels + 1;
inline int levelsFor(double smallest, int below, int k1, int d) {
  constexpr int kAll = sela::kExtractionLevels;
  if (!(smallest > 0.0)) return kAll;
  int lowest = __builtin_ilogb(smallest) - below;
  lowest = lowest < -1022 ? -1022 : lowest;
  if (k1 - kAll * d > lowest) return kBeyondReach;  // a level below the last (levelsTaken)
  int levels = 2;
  while (levels < kAll && k1 - (levels - 1) * d > lowest) ++levels;
  return levels;
}

// Blocks of the sum far beyond the levels' reach. A block whose bits reach more than a
// level's width below even the last level (for a whole block, elements spread over more
// than 4 d - a - 1 = 146 binades: data of random exponents) leaves residuals whatever it
// takes, and its levels only make them small: two leave them 79 bits below its largest
// magnitude instead of 159, which decides every sum that does not cancel to within about
// 2^-50 of its magnitudes, for half the arithmetic of four. Such a block (levelsFor says
// kBeyondReach) takes two unless the lanes ask for all (lanes.allLevels), and the lanes
// record that one did not (lanes.shortened): where the bound then declines, the caller
// runs the pass once more with all levels. So a shortened block can cost a second run,
// never a result. Blocks within a level of the reach (sums of condition 1e32 at ten
// million elements spread over up to some 110 binades), whose deciding needs their last
// level, take all their bits need. (The dot product's blocks do the same: dotLevelsTaken.)
inline int levelsTaken(int needed, sela::ExtractionLanes& lanes) {
  if (needed != kBeyondReach) return needed;
  if (lanes.allLevels) return sela::kExtractionLevels;
  lanes.shortened = true;
  return 2;
}

// Level j's starting value 1.5 * 2^k_j, k_j = k1 - j d clamped at 2^-1022.
inline double levelBase(int k1, int j, int d) {
  const int k = k1 - j * d < -1022 ? -1022 : k1 - j * d;
  return __builtin_ldexp(1.5, k);
}

// A level's exact sum over the lanes: each lane's S_j - base, added up (exact as above).
template <typename Ops>
double levelExcess(typename Ops::V level, double base) {
  double lanes[Ops::W];
  Ops::store(lanes, level);
  double sum = 0.0;
  for (int64_t l = 0; l < Ops::W; ++l) sum += lanes[l] - base;
  return sum;
}

// ---- One read per block: levels anchored on the magnitudes already seen ----
//
// A block scanned for its largest magnitude before its levels is read twice, the second
// time from the first-level cache, and on data from memory the scan waits on the lines.
// So after the first block of a call the levels do not wait for the block's own largest
// magnitude: they run on an anchor, the exponent of a magnitude already seen in this call,
// and the block's largest and smallest magnitudes are taken in the same loop (one abs and
// a max and a min per vector, off the levels' chains). The block is kept when its largest
// magnitude lies below 2^(anchor + 1), that is below 2^(k1 - A) for k1 = anchor + 1 + A:
// the input bound of the argument above. Everything else in it holds for any k1 with that
// bound, however far above the block's own largest magnitude it lies: S_j stays in its
// binade (the q's still add up to less than 2^(k_j - 1)), each step is FastTwoSum, the
// level sums are exact, and the residuals are the exact remainders below the last level,
// counted and summed as they are. A higher anchor only makes them coarser (up to 2^(k_{L-1}
// - 53) with the anchor's k's): the caller's bound, over the residuals as they are, then
// decides less often, never wrongly. A block that breaks the bound (a new largest
// magnitude, an infinity) commits nothing: its levels and residual lanes stay local until
// the check, the lanes' c and e keep what the blocks before it left, and it runs again as
// a scanned block (from the caches it has just been read into), anchored on its own
// largest magnitude, which becomes the call's anchor. A NaN is skipped by the maximum and
// turns the levels into NaNs, which the caller's finiteness test catches.
// The anchor follows the data down: a block whose largest magnitude lies more than
// kAnchorSlack binades below it lowers it to that many binades above its own, so that
// decreasing data keep their residuals fine, while data whose blocks' maxima vary by a
// binade or two (random exponents) are not run twice each time one rises again.
// The level count of an anchored block comes from the smallest magnitude of the block
// before it (levelsFor); the count changes the work, never a result, as argued above.
// Where the block's own smallest magnitude would have asked for more levels, or its own
// largest for a lower anchor, the lanes record it (lanes.shortened): a call whose bound
// then declines runs once more with all levels on scanned blocks (lanes.allLevels), each
// anchored on its own largest magnitude, which decides what that pass decides alone.
constexpr int kAnchorSlack = 2;

// The largest and smallest magnitudes a block's loop saw (for products, of fl(a b)).
struct Seen {
  double largest = 0.0;
  double smallest = __builtin_inf();
};

// Running maximum and minimum of vectors of magnitudes, in two chains each; a NaN lane is
// skipped (x86's rule returns the second operand).
template <typename Ops>
struct MagnitudeWatch {
  typename Ops::V big0 = Ops::zero(), big1 = Ops::zero();
  typename Ops::V small0 = Ops::set1(__builtin_inf()), small1 = small0;
  void see(typename Ops::V m0, typename Ops::V m1) {
    big0 = Ops::max(m0, big0);
    big1 = Ops::max(m1, big1);
    small0 = Ops::min(m0, small0);
    small1 = Ops::min(m1, small1);
  }
  void see(typename Ops::V m) { seeApart(m, m); }
  // The largest of `big` and the smallest of `small`, lane by lane.
  void seeApart(typename Ops::V big, typename Ops::V small) {
    big0 = Ops::max(big, big0);
    small0 = Ops::min(small, small0);
  }
  Seen lanes() const {
    double big[Ops::W], small[Ops::W];
    Ops::store(big, Ops::max(big0, big1));
    Ops::store(small, Ops::min(small0, small1));
    Seen s;
    for (int64_t l = 0; l < Ops::W; ++l) see(s, big[l], small[l]);
    return s;
  }
  static void see(Seen& s, double big, double small) {
    s.largest = big > s.largest ? big : s.largest;
    s.smallest = small < s.smallest ? small : s.smallest;
  }
};

// The L levels of one block, from k1 down by d (the extraction above). With Watch, the
// block's magnitudes are taken too (seen), and the block is kept only when its largest
// lies below `limit`: false otherwise, with nothing written.
template <typename Ops, int L, bool Watch>
bool extractSumLevels(const double* x, int64_t n, int64_t ahead, int k1, int d, double limit,
                      sela::ExtractionLanes& state, double* tau, Seen& seen) {
  using V = typename Ops::V;
  constexpr int64_t W = Ops::W;
  double base[L];
  V s[L];
  for (int j = 0; j < L; ++j) {
    base[j] = levelBase(k1, j, d);
    s[j] = Ops::set1(base[j]);
  }
  V c = Ops::load(state.c), e = Ops::load(state.e);
  MagnitudeWatch<Ops> watch;
  const auto step = [&](V p) {
#pragma GCC unroll 8
    for (int j = 0; j < L; ++j) {
      const V t = Ops::add(s[j], p);
      const V q = Ops::sub(t, s[j]);
      p = Ops::sub(p, q);
      s[j] = t;
    }
    c = Ops::add(c, p);
    e = Ops::add(e, Ops::abs(p));
  };
  int64_t i = 0;
  for (; i + 2 * W <= n; i += 2 * W) {
    streamPrefetch(x, i, 2 * W / 8, n + ahead - 1);  // lines inside the data
    const V v0 = Ops::load(x + i), v1 = Ops::load(x + i + W);
    if constexpr (Watch) watch.see(Ops::abs(v0), Ops::abs(v1));
    step(v0);
    step(v1);
  }
  for (; i + W <= n; i += W) {
    const V v = Ops::load(x + i);
    if constexpr (Watch) watch.see(Ops::abs(v));
    step(v);
  }
  if constexpr (Watch) {
    seen = watch.lanes();
    for (int64_t k = i; k < n; ++k) MagnitudeWatch<Ops>::see(seen, __builtin_fabs(x[k]), __builtin_fabs(x[k]));
    if (!(seen.largest < limit)) return false;
  }
  if (i < n) {
    double bx[W] = {};
    for (int64_t l = 0; i + l < n; ++l) bx[l] = x[i + l];
    step(Ops::load(bx));
  }
  for (int j = 0; j < sela::kExtractionLevels; ++j) tau[j] = 0.0;
  for (int j = 0; j < L; ++j) tau[j] = levelExcess<Ops>(s[j], base[j]);
  Ops::store(state.c, c);
  Ops::store(state.e, e);
  return true;
}

// The first loop of a scanned block: its largest and smallest magnitudes, in independent chains.
template <typename Ops>
Seen scanSumBlock(const double* x, int64_t n) {
  constexpr int64_t W = Ops::W;
  MagnitudeWatch<Ops> m01, m23;
  int64_t i = 0;
  for (; i + 4 * W <= n; i += 4 * W) {
    m01.see(Ops::abs(Ops::load(x + i)), Ops::abs(Ops::load(x + i + W)));
    m23.see(Ops::abs(Ops::load(x + i + 2 * W)), Ops::abs(Ops::load(x + i + 3 * W)));
  }
  for (; i + W <= n; i += W) m01.see(Ops::abs(Ops::load(x + i)));
  Seen seen = m01.lanes();
  const Seen more = m23.lanes();
  MagnitudeWatch<Ops>::see(seen, more.largest, more.smallest);
  for (; i < n; ++i) MagnitudeWatch<Ops>::see(seen, __builtin_fabs(x[i]), __builtin_fabs(x[i]));
  return seen;
}

// The width of a block's levels: 2^(a - 2) >= its zero-padded length, d = 53 - a.
template <typename Ops>
int blockWidth(int64_t n) {
  const int64_t padded = (n + Ops::W - 1) / Ops::W * Ops::W;
  return 64 - __builtin_clzll(static_cast<uint64_t>(padded - 1)) + 2;
}

// The levels an anchored block of the sum takes, from the smallest magnitude of the block
// before it: those its bits needed, and two for bits beyond the reach of all.
inline int levelsGuessed(double lastSmallest, int k1, int d) {
  const int needed = levelsFor(lastSmallest, 0, k1, d);
  return needed == kBeyondReach ? 2 : needed;
}

// Whether a block whose bits need `needed` levels (levelsFor) took fewer than all those.
inline bool fewerThanNeeded(int taken, int needed) {
  return taken < sela::kExtractionLevels && needed > taken;
}

// After a kept anchored block: whether its own scanned run with all levels might have left
// less behind (lanes.shortened: a higher anchor than its own, or `fewer` levels than its
// bits need), and the anchor and smallest magnitude for the next block.
inline void noteAnchoredBlock(sela::ExtractionLanes& state, const Seen& seen, bool fewer, int decay = 0x7fff) {
  if (seen.largest > 0.0) {
    const int own = __builtin_ilogb(seen.largest);
    if (own != state.anchor) state.shortened = true;
    if (own + kAnchorSlack < state.anchor)
      state.anchor = own + kAnchorSlack > state.anchor - decay ? own + kAnchorSlack : state.anchor - decay;
  }
  if (fewer) state.shortened = true;
  state.lastSmallest = seen.smallest;
}

// A scanned block sets the anchor to its own largest magnitude (a block of zeros and NaNs
// leaves it as it was).
inline void noteScannedBlock(sela::ExtractionLanes& state, const Seen& seen) {
  if (seen.largest > 0.0) state.anchor = __builtin_ilogb(seen.largest);
  state.lastSmallest = seen.smallest;
}

// The top level's exponent k1 of a block of width a run on the call's anchor; false when
// the block is to be scanned (the call's first block, a run with all levels, or an anchor
// whose levels would reach above the top).
inline bool anchoredTop(const sela::ExtractionLanes& state, int a, int& k1) {
  if (state.anchor == sela::ExtractionLanes::kNoAnchor || state.allLevels) return false;
  k1 = state.anchor + 1 + a;
  return k1 <= sela::kExtractionTop;
}

// A kept block's lanes are the call's: W of them, with `terms` more error terms.
template <typename Ops>
void countBlock(sela::ExtractionLanes& state, int64_t terms) {
  state.lanes = static_cast<int>(Ops::W);
  state.terms += terms;
}

template <typename Ops, bool Watch>
bool sumLevelsFor(int levels, const double* x, int64_t n, int64_t ahead, int k1, int d, double limit,
                  sela::ExtractionLanes& state, double* tau, Seen& seen) {
  switch (levels) {
    case 2: return extractSumLevels<Ops, 2, Watch>(x, n, ahead, k1, d, limit, state, tau, seen);
    case 3: return extractSumLevels<Ops, 3, Watch>(x, n, ahead, k1, d, limit, state, tau, seen);
    default: return extractSumLevels<Ops, 4, Watch>(x, n, ahead, k1, d, limit, state, tau, seen);
  }
}

template <typename Ops>
bool extractionSumBlock(const double* x, int64_t n, int64_t ahead, sela::ExtractionLanes& state, double* tau) {
  constexpr int64_t W = Ops::W;
  constexpr int kAll = sela::kExtractionLevels;
  static_assert(W <= sela::ExtractionLanes::kMaxLanes && kAll == 4);
  const int64_t padded = (n + W - 1) / W * W;
  const int a = blockWidth<Ops>(n);
  const int d = 53 - a;
  if (int k1; anchoredTop(state, a, k1)) {
    const int levels = levelsGuessed(state.lastSmallest, k1, d);
    Seen seen;
    if (sumLevelsFor<Ops, true>(levels, x, n, ahead, k1, d, __builtin_ldexp(1.0, k1 - a), state, tau, seen)) {
      noteAnchoredBlock(state, seen, fewerThanNeeded(levels, levelsFor(seen.smallest, 0, k1, d)));
      countBlock<Ops>(state, padded);
      return true;
    }
  }
  const Seen seen = scanSumBlock<Ops>(x, n);
  if (!(seen.largest < __builtin_ldexp(1.0, sela::kExtractionTop - a))) return false;  // inf, or k1 > top
  if (seen.largest == 0.0) {
    for (int64_t k = 0; k < n; ++k)
      if (x[k] != x[k]) return false;
    for (int j = 0; j < kAll; ++j) tau[j] = 0.0;
    return true;
  }
  const int k1 = __builtin_ilogb(seen.largest) + 1 + a;
  Seen unused;
  sumLevelsFor<Ops, false>(levelsTaken(levelsFor(seen.smallest, 0, k1, d), state), x, n, ahead, k1, d, 0.0, state,
                           tau, unused);
  noteScannedBlock(state, seen);
  countBlock<Ops>(state, padded);
  return true;
}

// The extraction pass over the products x[i] y[i] of one block (certifiedsum.h,
// extractedDot): each product is split as the certified dot product splits it, p =
// fl(a b), r = fma(a, b, -p) (exact, r = a b - p, unless p < 2^-916 with both factors
// non-zero: such products are flagged and the caller widens its bound by the product
// floor's rule). The p pass the levels k_0 .. k_{P-1} from the top as the elements of the
// sum do; the r, each at most half a unit of its p (plus the rounding of a flagged one,
// below 2^-1074, far inside the slack of the argument above), start one level down, in
// running values of their own at k_1 .. k_R. Each level only sees what the one above let
// through, so P and R may differ: the p take the levels their own bits need (levelsFor
// of the smallest |p|), the r those that reach 53 binades lower, as the exact product's
// bits do; levels beyond those would hold nothing. What the last levels leave of an
// element, p' and r', goes into the error lanes as one term t = p' + r': c adds fl(t),
// e adds |fl(t)|. (The bound counts two terms per element slot, whatever P and R: each
// t then passes through at most as many roundings as the bound allows, the rounding of
// fl(t) included, and E bounds the sum of the |t| within the same factor; a zero E still
// means every t is zero.) levels receives the P levels of the p and the R of the r, each
// exact, ordered from the top (p_0, p_1, r_1, p_2, r_2, ...), and 0 for the levels not
// taken. The largest |p| sets k_0 (or must lie below the anchor's bound, as for the sum);
// the smallest flags a block that may hold tiny products, which is then scanned for them
// (zero products with a zero factor are exact and need no flag), and sets P and R (of
// the next block, when anchored).
// Products near the floor. Products that underflow (a subnormal p or r) take a microcode
// assist on some processors (CertifiedDotGroup's guarded step): products of data spread
// over the whole range, half of them below 2^-1022, ran some 30 times slower than others.
// So from the first block that meets a product that may lie below 2^-916 on
// (lanes.guarded), each block tells from the bit patterns alone which products may lie
// there (CertifiedDotGroup::mayUnderflow: H = floor(bits|a| / 2) + floor(bits|b| / 2) <
// 1130 2^51) and leaves them out of its lanes, their factors made zeros (exact zeros in
// every level and residual). What the product floor keeps of them is still wanted:
// - H < 970 2^51: by the same argument as mayUnderflow's, A + B <= 2 H + 2 <= 970 2^52,
//   and f_a + f_b = 970 would need both fractions zero, A + B = 970 2^52 = 2 H, so f_a +
//   f_b <= 969 and |a b| < 2^(f_a + f_b - 2044) <= 2^-1075 (also for subnormal and zero
//   factors, each below 2^(f - 1022)): the floor keeps nothing of the product.
// - 970 2^51 <= H < 1130 2^51 (the band, products below 2^-915 that may reach 2^-1075):
//   the block marks the element's bit in lanes.nearFloor, and the caller deposits
//   the product into the register exactly, floor included (depositProduct).
// A product kept in the lanes (H >= 1130 2^51) splits exactly: with normal factors |a b|
// >= 2^-916; with a subnormal factor a (A < 2^52), B >= 1129 2^52 puts b at or above
// 2^106, and a b, a multiple of 2^-1074 2^(e_b - 52), is at least 2^-968 with a remainder
// that is a multiple of 2^-1020: p and r are normal or zero either way, no flag is needed,
// and the block's levels, residuals and deposited products add up to what the product
// floor keeps, exactly. Specials (f = 2047) are kept and reach the levels as before.
// Where no block meets such a product, no block pays for the test.
constexpr int64_t kKeptFrom = sela::kGuardKeptFrom;
constexpr int64_t kVanishBelow = int64_t{970} << 51;
using sela::halvedBits;
inline bool mayUnderflowOne(double a, double b) { return halvedBits(a, b) < static_cast<uint64_t>(kKeptFrom); }

template <typename Ops, int P, int R, bool Watch, bool Guard>
bool extractDotLevels(const double* x, const double* y, int64_t n, int64_t ahead, int k1, int d, double limit,
                      sela::ExtractionLanes& state, double* tau, Seen& seen) {
  using V = typename Ops::V;
  constexpr int64_t W = Ops::W;
  static_assert(1 <= R && R < sela::kExtractionLevels && P <= sela::kExtractionLevels);
  constexpr int kLevels = P > R + 1 ? P : R + 1;
  double base[kLevels];
  V s[kLevels], t[kLevels];
  for (int j = 0; j < kLevels; ++j) {
    base[j] = levelBase(k1, j, d);
    s[j] = Ops::set1(base[j]);
    t[j] = s[j];
  }
  V c = Ops::load(state.c), e = Ops::load(state.e);
  MagnitudeWatch<Ops> watch;
  uint8_t* const nearFloor = state.nearFloor;
  uint64_t marked = 0;
  static_assert(8 % W == 0, "a vector's lanes mark bits of one byte");
  const auto step = [&](V f, V g, int64_t at) {
    [[maybe_unused]] typename Ops::Mask out;
    if constexpr (Guard) {
      out = CertifiedDotGroup<Ops>::mayUnderflow(f, g);
      // Vectors with no lane left out (most of them on data with a few such products, few
      // on data with many) take no more than the test.
      if (Ops::any(out)) {
        // The band's bits, without a branch (one on whether the vector holds any went
        // wrong a quarter of the time on data spread over the whole range, and each time
        // the levels' chains waited on the reload); the lanes past n are zeros, not marked.
        const uint64_t band = Ops::laneBits(out) & ~Ops::laneBits(Ops::halvedBitsBelow(f, g, kVanishBelow));
        marked |= band;
        if constexpr (W == 8) {
          nearFloor[at >> 3] = static_cast<uint8_t>(band);
        } else {
          nearFloor[at >> 3] = static_cast<uint8_t>(nearFloor[at >> 3] | band << (at & 7));
        }
        f = Ops::zeroWhere(out, f);
        g = Ops::zeroWhere(out, g);
      }
    }
    V p = Ops::mul(f, g);
    V r = Ops::fms(f, g, p);  // f*g - p in one rounding
    if constexpr (Watch && Guard) {
      // Left-out lanes are no zero products: their bits take no level.
      watch.seeApart(Ops::abs(p), Ops::select(out, Ops::set1(__builtin_inf()), Ops::abs(p)));
    } else if constexpr (Watch) {
      watch.see(Ops::abs(p));
    }
#pragma GCC unroll 8
    for (int j = 0; j < P; ++j) {
      const V u = Ops::add(s[j], p);
      p = Ops::sub(p, Ops::sub(u, s[j]));
      s[j] = u;
    }
#pragma GCC unroll 8
    for (int j = 1; j <= R; ++j) {
      const V u = Ops::add(t[j], r);
      r = Ops::sub(r, Ops::sub(u, t[j]));
      t[j] = u;
    }
    const V left = Ops::add(p, r);
    c = Ops::add(c, left);
    e = Ops::add(e, Ops::abs(left));
  };
  int64_t i = 0;
  for (; i + W <= n; i += W) {
    if ((i & 7) == 0) {
      streamPrefetch<kPairStreamFar, kPairStreamNear>(x, i, 1, n + ahead - 1);
      streamPrefetch<kPairStreamFar, kPairStreamNear>(y, i, 1, n + ahead - 1);
    }
    step(Ops::load(x + i), Ops::load(y + i), i);
  }
  if constexpr (Watch) {
    seen = watch.lanes();
    for (int64_t k = i; k < n; ++k) {
      if (Guard && mayUnderflowOne(x[k], y[k])) {
        MagnitudeWatch<Ops>::see(seen, 0.0, __builtin_inf());
        continue;
      }
      const double p = __builtin_fabs(x[k] * y[k]);
      MagnitudeWatch<Ops>::see(seen, p, p);
    }
    if (!(seen.largest < limit)) return false;
  }
  if (i < n) {
    double bx[W] = {}, by[W] = {};
    for (int64_t l = 0; i + l < n; ++l) {
      bx[l] = x[i + l];
      by[l] = y[i + l];
    }
    step(Ops::load(bx), Ops::load(by), i);
  }
  // Top down: the p's level 0, then the p's and the r's of each lower level.
  for (int j = 0; j < sela::kExtractionDotLevels; ++j) tau[j] = 0.0;
  for (int j = 0; j < P; ++j) tau[j == 0 ? 0 : 2 * j - 1] = levelExcess<Ops>(s[j], base[j]);
  for (int j = 1; j <= R; ++j) tau[2 * j] = levelExcess<Ops>(t[j], base[j]);
  Ops::store(state.c, c);
  Ops::store(state.e, e);
  state.nearFloorMet = marked != 0;
  return true;
}

// The levels of the p and of the r a block's products take: from levelsFor over the
// smallest |p| with its own bits (`forP`) and with the exact product's, 53 binades lower
// (`forR`, counting level 0 as the p's), all of them for bits beyond the reach of all.
struct DotLevels {
  int p, r;
};
inline DotLevels dotLevels(double smallest, int k1, int d) {
  constexpr int kAll = sela::kExtractionLevels;
  const int forP = levelsFor(smallest, 0, k1, d), forR = levelsFor(smallest, 53, k1, d);
  return {forP > kAll ? kAll : forP, (forR > kAll ? kAll : forR) - 1};
}

// Products whose own bits lie beyond the reach of all levels (the p's spread over more
// than some 146 binades, as products of two arrays of random exponents are) take two
// levels of the p and one of the r, as such blocks of the sum take two (levelsTaken), and
// the lanes record it: their residuals, 79 bits below the block's largest product, decide
// every dot product that does not cancel to within some 2^-50 of its magnitudes, for 18
// operations per vector of products where all the levels take 30 (measured on an Intel
// Xeon, products of two arrays of exponents over +-500 at ten million elements: the pass
// is bound by its arithmetic there, not by the reading). What the bound then declines
// runs again with all levels (extractedPass), as for the sum.
inline DotLevels dotLevelsTaken(double smallest, int k1, int d, sela::ExtractionLanes& lanes) {
  if (lanes.allLevels || levelsFor(smallest, 0, k1, d) != kBeyondReach) return dotLevels(smallest, k1, d);
  lanes.shortened = true;
  return {2, 1};
}

constexpr int kDotAnchorDecay = 1;

template <typename Ops, bool Watch, bool Guard>
bool dotLevelsOf(DotLevels levels, const double* x, const double* y, int64_t n, int64_t ahead, int k1, int d,
                 double limit, sela::ExtractionLanes& state, double* tau, Seen& seen) {
#define SELA_DOT_LEVELS(P, R)                                                                     \
  if (levels.p == (P) && levels.r == (R))                                                       \
    return extractDotLevels<Ops, P, R, Watch, Guard>(x, y, n, ahead, k1, d, limit, state, tau, seen);
  SELA_DOT_LEVELS(2, 1)
  SELA_DOT_LEVELS(2, 2)
  SELA_DOT_LEVELS(2, 3)
  SELA_DOT_LEVELS(3, 2)
  SELA_DOT_LEVELS(3, 3)
#undef SELA_DOT_LEVELS
  return extractDotLevels<Ops, 4, 3, Watch, Guard>(x, y, n, ahead, k1, d, limit, state, tau, seen);
}

// The block's levels, guarded once the call has met products near the floor.
template <typename Ops, bool Watch>
bool dotLevelsFor(DotLevels levels, const double* x, const double* y, int64_t n, int64_t ahead, int k1, int d,
                  double limit, sela::ExtractionLanes& state, double* tau, Seen& seen) {
  state.nearFloorMet = false;
  if (state.guarded) {
    std::memset(state.nearFloor, 0, sela::ExtractionLanes::kNearFloorBytes);
    return dotLevelsOf<Ops, Watch, true>(levels, x, y, n, ahead, k1, d, limit, state, tau, seen);
  }
  return dotLevelsOf<Ops, Watch, false>(levels, x, y, n, ahead, k1, d, limit, state, tau, seen);
}

// The products' largest and smallest magnitudes, for a scanned block, in two chains.
// With Guard, the guard's test (extractDotLevels) comes before each product: a lane that
// may lie below 2^-916 forms no product and counts as neither, and one with both factors
// non-zero puts the call's blocks under the guard from this one on (a zero factor alone
// does not: its product is an exact zero). The test takes some 12 operations per vector
// where the scan takes 4: a call scans under the guard only once it has met a product
// that may lie there, or where its first block's sample holds one (extractedDot), or
// where a scan without it saw such a product.
template <typename Ops, bool Guard>
Seen scanDotBlock(const double* x, const double* y, int64_t n, sela::ExtractionLanes& state) {
  using V = typename Ops::V;
  constexpr int64_t W = Ops::W;
  MagnitudeWatch<Ops> watch[2];
  const V zero = Ops::zero(), inf = Ops::set1(__builtin_inf());
  typename Ops::Mask nearFloor = Ops::noMask();
  const auto see = [&](MagnitudeWatch<Ops>& w, V a, V b) __attribute__((always_inline)) {
    if constexpr (Guard) {
      const typename Ops::Mask out = CertifiedDotGroup<Ops>::mayUnderflow(a, b);
      nearFloor = Ops::either(nearFloor, Ops::both(out, Ops::both(Ops::notEqual(a, zero), Ops::notEqual(b, zero))));
      const V p = Ops::abs(Ops::mul(Ops::zeroWhere(out, a), Ops::zeroWhere(out, b)));
      w.seeApart(p, Ops::select(out, inf, p));
    } else {
      w.see(Ops::abs(Ops::mul(a, b)));
    }
  };
  int64_t i = 0;
  for (; i + 2 * W <= n; i += 2 * W) {
    see(watch[0], Ops::load(x + i), Ops::load(y + i));
    see(watch[1], Ops::load(x + i + W), Ops::load(y + i + W));
  }
  for (; i + W <= n; i += W) see(watch[0], Ops::load(x + i), Ops::load(y + i));
  Seen seen = watch[0].lanes();
  const Seen more = watch[1].lanes();
  MagnitudeWatch<Ops>::see(seen, more.largest, more.smallest);
  for (; i < n; ++i) {
    if (Guard && mayUnderflowOne(x[i], y[i])) {
      if (x[i] != 0.0 && y[i] != 0.0) state.guarded = true;
      continue;
    }
    const double p = __builtin_fabs(x[i] * y[i]);
    MagnitudeWatch<Ops>::see(seen, p, p);
  }
  if (Ops::any(nearFloor)) state.guarded = true;
  return seen;
}

// A block whose smallest |p| lies below 2^-916 is scanned for products that small with
// two non-zero factors (flagged, CertifiedDotGroup::flagged's test) and for NaN products
// (false: the pass declines), a vector at a time; the partial vector last is loaded with
// zeros in the lanes past n, whose products are zero: neither flagged nor NaN. (Element by
// element, the scan took two thirds of the pass on products of random exponents, whose
// blocks nearly all hold a few products below 2^-916.)
template <typename Ops>
bool flagTinyProducts(const double* x, const double* y, int64_t n, const Seen& seen, sela::ExtractionLanes& state) {
  constexpr double kTiny = 0x1p-916;
  if (!(seen.smallest < kTiny)) return true;
  const typename Ops::V floor = Ops::set1(kTiny);
  typename Ops::Mask tiny = Ops::noMask(), nan = Ops::noMask();
  const auto scan = [&](typename Ops::V a, typename Ops::V b) {
    const typename Ops::V p = Ops::mul(a, b);
    nan = Ops::either(nan, Ops::notEqual(p, p));  // inf times zero, or a NaN factor
    tiny = Ops::either(tiny, CertifiedDotGroup<Ops>::flagged(a, b, p, floor));
  };
  int64_t i = 0;
  for (; i + Ops::W <= n; i += Ops::W) scan(Ops::load(x + i), Ops::load(y + i));
  if (i < n) scan(Ops::loadFirst(x + i, n - i), Ops::loadFirst(y + i, n - i));
  if (Ops::any(nan)) return false;
  if (Ops::any(tiny)) state.tinyProducts = true;
  return true;
}

template <typename Ops>
bool extractionDotBlock(const double* x, const double* y, int64_t n, int64_t ahead, sela::ExtractionLanes& state,
                        double* tau) {
  constexpr int64_t W = Ops::W;
  constexpr int kAll = sela::kExtractionLevels;
  static_assert(W <= sela::ExtractionLanes::kMaxLanes && kAll == 4);
  const int64_t padded = (n + W - 1) / W * W;
  const int a = blockWidth<Ops>(n);
  const int d = 53 - a;
  if (int k1; anchoredTop(state, a, k1)) {
    const DotLevels levels = dotLevelsTaken(state.lastSmallest, k1, d, state);
    Seen seen;
    const bool guarded = state.guarded;
    if (dotLevelsFor<Ops, true>(levels, x, y, n, ahead, k1, d, __builtin_ldexp(1.0, k1 - a), state, tau, seen)) {
      // An unguarded block that met a product below 2^-916 flags it, and the blocks after
      // it run guarded.
      if (!guarded) {
        if (!flagTinyProducts<Ops>(x, y, n, seen, state)) return false;
        state.guarded = state.tinyProducts;
      }
      const DotLevels own = dotLevels(seen.smallest, k1, d);
      noteAnchoredBlock(state, seen, own.p > levels.p || own.r > levels.r, kDotAnchorDecay);
      countBlock<Ops>(state, 2 * padded);
      return true;
    }
  }
  // A block scanned without the guard that may hold products below 2^-916 is scanned
  // again under it (from the first-level cache), so that its levels run guarded where it
  // holds such products with non-zero factors, and none is flagged.
  Seen seen = state.guarded ? scanDotBlock<Ops, true>(x, y, n, state) : scanDotBlock<Ops, false>(x, y, n, state);
  if (!state.guarded && seen.smallest < 0x1p-916) seen = scanDotBlock<Ops, true>(x, y, n, state);
  if (!(seen.largest < __builtin_ldexp(1.0, sela::kExtractionTop - a))) return false;  // inf, or k1 > top
  if (seen.largest == 0.0) {
    // Zero products and products left out only: a NaN or an infinity factor (skipped by
    // the maximum, or times zero) declines, told from the bit patterns, which also tell the
    // band's products to deposit.
    std::memset(state.nearFloor, 0, sela::ExtractionLanes::kNearFloorBytes);
    bool met = false;
    for (int64_t k = 0; k < n; ++k) {
      if (!sela::isFinite(x[k]) || !sela::isFinite(y[k])) return false;
      const uint64_t h = halvedBits(x[k], y[k]);
      const bool band = h >= static_cast<uint64_t>(kVanishBelow) && h < static_cast<uint64_t>(kKeptFrom) &&
                        x[k] != 0.0 && y[k] != 0.0;
      state.nearFloor[k >> 3] = static_cast<uint8_t>(state.nearFloor[k >> 3] | unsigned{band} << (k & 7));
      met |= band;
    }
    state.nearFloorMet = met;
    for (int j = 0; j < sela::kExtractionDotLevels; ++j) tau[j] = 0.0;
    return true;
  }
  const int k1 = __builtin_ilogb(seen.largest) + 1 + a;
  Seen unused;
  dotLevelsFor<Ops, false>(dotLevelsTaken(seen.smallest, k1, d, state), x, y, n, ahead, k1, d, 0.0, state, tau,
                           unused);
  noteScannedBlock(state, seen);
  countBlock<Ops>(state, 2 * padded);
  return true;
}
