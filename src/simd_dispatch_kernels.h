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
#include <type_traits>

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

  // The lane step on the product p and its error e.
  void add(typename Ops::V p, typename Ops::V e) {
    typename Ops::V t, q;
    twoSum<Ops>(s, p, t, q);
    c = Ops::add(Ops::add(c, e), q);  // the product error first, then the sum error
    s = t;
  }
  void scale(typename Ops::V f) {
    s = Ops::mul(s, f);
    c = Ops::mul(c, f);
  }
  typename Ops::V largest() const { return Ops::max(Ops::abs(s), Ops::abs(c)); }
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

  void add(typename Ops::V p, typename Ops::V e) {
    typename Ops::V t, q, u, w1, v, w2;
    twoSum<Ops>(s, p, t, q);
    twoSum<Ops>(c1, e, u, w1);
    twoSum<Ops>(u, q, v, w2);
    c2 = Ops::add(c2, Ops::add(w2, w1));
    s = t;
    c1 = v;
  }
  void scale(typename Ops::V f) {
    s = Ops::mul(s, f);
    c1 = Ops::mul(c1, f);
    c2 = Ops::mul(c2, f);
  }
  typename Ops::V largest() const { return Ops::max(Ops::max(Ops::abs(s), Ops::abs(c1)), Ops::abs(c2)); }
  void write(double* out) const {
    Ops::store(out, s);
    Ops::store(out + Ops::W, c1);
    Ops::store(out + 2 * Ops::W, c2);
  }
};

// ---- Products near the bottom of the range ----
//
// A product whose result or error falls below 2^-1022 (and one whose exact value lies just
// below the smallest subnormal) takes a microcode assist on some processors, per vector
// instruction with such a lane: some 36 ns each on an Intel Xeon, several per lane step
// (the product, its error, and the TwoSum's z = t - s, all subnormal). Such stretches run
// lifted: every lane value is carried multiplied by 2^kLift, where nothing is subnormal.
//
// The lifted chain gives the same bits, scaled. An addition or subtraction whose result is
// normal rounds at the same relative position, scaled or not (no lifted value comes near
// the top of the range: see kLiftedStateBelow and kLiftedFitsBelow). One whose result is
// subnormal is exact (both operands are multiples of 2^-1074 and so is their sum, which
// then fits in 52 bits), and so is the lifted one. Zeros come out with the same signs:
// only exact cancellations and sums of zeros make them. What differs is the products'
// rounding: p = fl(a b) and e = fma(a, b, -p) round to the subnormal grid of 2^-1074 below
// 2^-1022, and lifted they would round to 53 bits. liftedProduct forms them on that grid.
constexpr double kLiftUp = 0x1p256;  // 2^kLift
constexpr double kLiftDown = 0x1p-256;
// The lifted grid G = 2^(kLift - 1074) and the bottom of the normal range lifted, 2^52 G.
constexpr double kLiftedNormal = 0x1p-766;
// A stand-in factor for products that vanish: 2^-600 times 2^-600 lifted is 2^-944, far
// below half of G and far above the lifted range's own subnormals.
constexpr double kVanishingFactor = 0x1p-600;
// Thresholds on H = floor(bits(|a|) / 2) + floor(bits(|b|) / 2), in units of 2^51. With
// the factors' exponent fields f_a, f_b and bit patterns A, B, 2H <= A + B <= 2H + 2;
// every finite factor is below 2^(f - 1022) and a normal one at least 2^((bits / 2^52) -
// 1023) (1 + m >= 2^m on [0, 1]). So H < L 2^51 gives f_a + f_b <= L - 1 (A + B = L 2^52
// would need both patterns odd with zero fractions) and |ab| < 2^(L - 2045); with normal
// factors H >= L 2^51 gives |ab| >= 2^(L - 2046).
constexpr int64_t kVanishesBelow = int64_t{970} << 51;      // |ab| < 2^-1075: p, e = +-0
constexpr int64_t kLiftedFitsBelow = int64_t{2685} << 51;   // |ab| < 2^640
constexpr int64_t kAssistedFrom = int64_t{955} << 51;       // below: |ab| < 2^-1090
constexpr int64_t kAssistedBelow = int64_t{1080} << 51;     // at or above: |ab| >= 2^-966
// The lane states may be lifted while below 2^640 (lifted, 2^896): four more products
// below 2^640 keep every lifted sum below 2^900.
constexpr double kLiftableState = 0x1p640;
constexpr double kLiftedStateBelow = 0x1p896;
// A plain group with a non-zero |p| below this is followed by a lifted one (its errors
// may be subnormal).
constexpr double kAssistedProduct = 0x1p-968;

// TwoProduct of a and b, lifted: P = 2^kLift p and E = 2^kLift e for p = fl(a b), e =
// fma(a, b, -p), given that |a b| < 2^640 and both are finite (`fits` clears the lanes
// where that is not sure). In magnitudes, with x = |a b| 2^kLift exact (big times small,
// the smaller factor lifted: exact, as small <= sqrt(2^640)):
// - p: below 2^-1022, |p| = |a b| rounded to the grid 2^-1074, that is x rounded to G:
//   fl(x + 2^52 G) lies in [2^52 G, 2^53 G], where the doubles are G apart, and ties go to
//   the even multiple of G as 2^52 G is one; subtracting 2^52 G is exact. Otherwise |p|
//   2^kLift = fl(x). The rounded fl(x) tells the cases apart: it is below 2^52 G only
//   when x is, and when x is below but fl(x) = 2^52 G, x rounds to 2^52 G on G too.
// - e = s (|a b| - |p|) rounded, s the product's sign. d = fma(+-big, small', -+|P|) is
//   s (x - |P|) rounded, its sign exact (and +0 for an exact zero, as fma(a, b, -p) gives
//   it); it is exact where |p| = fl(|a b|), the TwoProduct error. Below 2^-1022 e rounds
//   to G as p does (with |p| on G, |x - |P|| <= G / 2 and rounds to a signed zero); a
//   rounded zero keeps the sign of d.
// - A product that vanishes (H below kVanishesBelow): p and e are zeros of the product's
//   sign, or e = +0 when a factor is zero. Its non-zero factors are replaced by
//   kVanishingFactor (a subnormal factor lifted would take an assist), which keeps both.
// `assisted` gathers the lanes whose plain step might have taken an assist.
template <typename Ops>
__attribute__((always_inline)) inline void liftedProduct(typename Ops::V a, typename Ops::V b, typename Ops::V& p,
                                                         typename Ops::V& e, uint64_t& fits,
                                                         typename Ops::Mask& assisted) {
  using V = typename Ops::V;
  const V zero = Ops::zero(), sign = Ops::set1(-0.0), normal = Ops::set1(kLiftedNormal);
  const V h = Ops::halvedBits(a, b);
  const V ma = Ops::abs(a), mb = Ops::abs(b);
  // A NaN or infinite factor (or a sum beyond the range) makes the sum fail the test.
  fits &= Ops::laneBits(Ops::both(Ops::bitsBelow(h, kLiftedFitsBelow), Ops::less(Ops::add(ma, mb), Ops::set1(__builtin_inf()))));
  V big = Ops::max(ma, mb), small = Ops::min(ma, mb);
  const typename Ops::Mask nonZero = Ops::notEqual(small, zero);
  assisted = Ops::either(assisted, Ops::both(nonZero, Ops::both(Ops::bitsBelow(h, kAssistedBelow),
                                                                Ops::bitsAtLeast(h, kAssistedFrom))));
  const typename Ops::Mask vanishes = Ops::bitsBelow(h, kVanishesBelow);
  big = Ops::select(vanishes, Ops::set1(kVanishingFactor), big);
  small = Ops::select(Ops::both(vanishes, nonZero), Ops::set1(kVanishingFactor), small);
  const V signs = Ops::bitAnd(Ops::bitXor(a, b), sign);
  const V lifted = Ops::mul(small, Ops::set1(kLiftUp));
  const V rounded = Ops::mul(big, lifted);
  const V onGrid = Ops::sub(Ops::fma(big, lifted, normal), normal);
  p = Ops::bitXor(Ops::select(Ops::less(rounded, normal), onGrid, rounded), signs);
  const V d = Ops::fms(Ops::bitXor(big, signs), lifted, p);
  const V md = Ops::abs(d);
  const V em = Ops::select(Ops::less(md, normal), Ops::sub(Ops::add(md, normal), normal), md);
  e = Ops::bitOr(em, Ops::bitAnd(d, sign));
}

// Whether the operation set has the bit operations liftedProduct needs (the x86 families).
template <typename Ops>
constexpr bool kCanLift = requires(typename Ops::V v) { Ops::halvedBits(v, v); };

// The lanes after some elements, and how many.
template <typename Lanes>
struct LanesAt {
  Lanes lanes;
  int64_t at;
};

// The lifted groups from x + i on, while they fit and have lanes in the assisted range
// (compensatedKernel below). Returns the lanes, unlifted, and where they stand, always at
// a whole group. Kept out of line, and the lanes passed by value: the plain loop keeps
// them in registers and keeps its short entry.
template <typename Ops, int64_t kGroup, typename Lanes>
__attribute__((noinline)) LanesAt<Lanes> liftedGroups(const double* x, const double* y, int64_t i, int64_t n,
                                                      Lanes lanes) {
  using V = typename Ops::V;
  constexpr int64_t W = Ops::W;
  constexpr uint64_t kAllLanes = (uint64_t{1} << W) - 1;
  Lanes lifted = lanes;
  if (Ops::laneBits(Ops::less(lifted.largest(), Ops::set1(kLiftableState))) != kAllLanes) return {lanes, i};
  lifted.scale(Ops::set1(kLiftUp));  // exact: no state is beyond 2^640
  for (bool more = true; more && i + kGroup <= n;) {
    const Lanes before = lifted;
    uint64_t fits = Ops::laneBits(Ops::less(lifted.largest(), Ops::set1(kLiftedStateBelow)));
    typename Ops::Mask assisted = Ops::noMask();
    for (int64_t k = 0; k < kGroup && fits == kAllLanes; k += W) {
      prefetchPairAhead(x, y, i + k, n);
      V p, e;
      liftedProduct<Ops>(Ops::load(x + i + k), Ops::load(y + i + k), p, e, fits, assisted);
      lifted.add(p, e);
    }
    if (fits == kAllLanes) {
      i += kGroup;
      more = Ops::any(assisted);
    } else {
      lifted = before;  // and the group again, plain
      more = false;
    }
  }
  lifted.scale(Ops::set1(kLiftDown));  // exact: each lifted state is 2^kLift times a double
  return {lifted, i};
}

// A compensated kernel: full blocks, then one zero-padded block for the n mod W remaining
// elements (copied one at a time, so nothing past x[n-1] or y[n-1] is read; the padded
// lanes add exact zeros), then neumaierSum over all lane states in the order S, C (, C2).
//
// The blocks run plain (TwoProduct as written) or lifted (liftedProduct and the lane step
// on lifted states, the same bits scaled), the lifted ones in groups of kGroupBlocks. The
// plain blocks come in windows: a looked-at block, then kUnlooked elements without a look.
// When the looked-at block has a non-zero product below 2^-968, lifted groups follow
// (liftedGroups), until one has no lane whose product lies in the assisted range. A lifted
// group needs states below kLiftedStateBelow and products that fit: otherwise the lanes go
// back to their states before it and it runs plain. So the choice changes the speed only.
// A look is three operations on the ten of Dot2's step (one at every block cost uniform
// data some 10% on an Intel Xeon), so Dot2 looks at one block in four and DotK3, whose
// step keeps the units busier, at one in eight (one in sixteen left longer stretches of
// data divided by their largest magnitude plain, with their assists: 12% slower at 2*10^4).
// The look comes first in its window: data whose products lie near the floor run lifted
// from the second block on (looked at last, a window's blocks ran plain first, with their
// assists: DotK3 on factors near 2^-530 at 10^3 elements, 2.47 -> 1.52 us per call). Data
// whose products fall in the assisted range only now and then may be left plain: as fast
// as before.
// Dot2 is bound by its chain of two dependent additions per block, and how GCC arranges
// the blocks around it shows: its windows' blocks go in pairs (unrolled by two) and
// DotK3's one at a time, and windows that end before the last kPrefetchAhead elements ask
// for their lines without a test (with the test in every block, 1-4% slower). Measured on
// an Intel Xeon against the kernels before the lifted groups, uniform data at 200, 10^3
// and 2*10^4 elements: within 1%, where the last block of each group looked at, the group
// unrolled, cost 3-4%, and DotK3's windows unrolled 7-9%.
//
// Acceptance: the lane sums S[l] are the large parts. When the result is finite and not
// more than 2^10 times smaller than the largest of them, the lanes did not cancel so far
// that their per-lane compensation errors could matter; otherwise the caller must use the
// scalar algorithm.
template <typename Ops, typename Lanes>
sela_kernel_result compensatedKernel(const double* x, int64_t n, const double* y) {
  using V = typename Ops::V;
  constexpr int64_t W = Ops::W;
  constexpr int64_t kGroupBlocks = 4;
  constexpr int64_t kGroup = kGroupBlocks * W;
  constexpr int64_t kUnlooked = (Lanes::kStates == 3 ? 7 : 3) * W;  // blocks between looks
  if (n <= 0) return {0.0, true};
  Lanes lanes;
  int64_t i = 0;
  const auto plainBlock = [&](int64_t at) __attribute__((always_inline)) {
    const V a = Ops::load(x + at), b = Ops::load(y + at);
    const V p = Ops::mul(a, b);
    const V e = Ops::fms(a, b, p);  // a*b - p in one rounding: exact
    lanes.add(p, e);
    return p;
  };
  // The kUnlooked elements from i on, plain (i not advanced); with `ahead` every block asks
  // for the lines kPrefetchAhead elements on, all inside the arrays.
  const auto unlooked = [&](auto ahead) __attribute__((always_inline)) {
    const auto block = [&](int64_t at) __attribute__((always_inline)) {
      if constexpr (decltype(ahead)::value) {
        prefetchPairAt(x, y, at + kPrefetchAhead);
      } else {
        prefetchPairAhead(x, y, at, n);
      }
      plainBlock(at);
    };
    if constexpr (Lanes::kStates == 2) {
#pragma GCC unroll 2
      for (int64_t k = 0; k < kUnlooked; k += W) block(i + k);
    } else {
#pragma GCC unroll 1
      for (int64_t k = 0; k < kUnlooked; k += W) block(i + k);
    }
  };
  // (The portable operation set, which stands in for the families elsewhere, has none of
  // the lifted step's bit operations: its kernels run plain, to the same bits.)
  if constexpr (kCanLift<Ops>) {
    const V assistedBelow = Ops::set1(kAssistedProduct);
    while (i + W + kGroup <= n) {
      prefetchPairAhead(x, y, i, n);
      const V p = plainBlock(i);
      i += W;
      if (Ops::any(Ops::both(Ops::notEqual(p, Ops::zero()), Ops::less(Ops::abs(p), assistedBelow)))) [[unlikely]] {
        const LanesAt<Lanes> after = liftedGroups<Ops, kGroup>(x, y, i, n, lanes);
        lanes = after.lanes;
        const bool lifted = after.at != i;
        i = after.at;
        if (lifted) continue;
      }
      if (i + kUnlooked > n) break;
      if (i + kUnlooked <= n - kPrefetchAhead) {
        unlooked(std::true_type{});
      } else {
        unlooked(std::false_type{});
      }
      i += kUnlooked;
    }
  }
  for (; i + W <= n; i += W) {
    prefetchPairAhead(x, y, i, n);
    plainBlock(i);
  }
  if (i < n) {
    double bx[W] = {};
    double by[W] = {};
    for (int64_t l = 0; i + l < n; ++l) {
      bx[l] = x[i + l];
      by[l] = y[i + l];
    }
    const V a = Ops::load(bx), b = Ops::load(by);
    const V p = Ops::mul(a, b);
    lanes.add(p, Ops::fms(a, b, p));
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
