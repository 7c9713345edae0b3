// The short passes (shortsum.h), written once over an operation set (vector_ops.h) and
// instantiated per family: shortsum.cpp (SSE2, the baseline), shortsum_avx2.cpp and
// shortsum_avx512.cpp. Internal linkage throughout, for the reason given in vector_ops.h.
//
// The terms are K vectors of W lanes (K a power of two, at most 8), whose exact sum T is
// wanted. One pass:
// - Across vectors, a pairwise tree of TwoSums (vector j with vector j + width / 2) until
//   one vector s is left: K - 1 vectors of errors q, each lane exact, so that T is the sum
//   of the lanes of s and of the q.
// - Across lanes, folds of distance H = W/2, W/4, ..., 1: TwoSum of s and swap<H>(s).
//   Before the fold of distance H, s repeats with period 2H (lane l equals lane l + 2H),
//   so the fold adds each distinct pair of lanes once, into both lanes of the pair (the
//   rounded sum and the exact error of a + b do not depend on the order), and s and the
//   fold's errors repeat with period H after it: the H distinct errors are any H
//   consecutive lanes. After the last fold every lane holds S.
// So T = S + (K - 1) W lane errors + W/2 + W/4 + ... + 1 = W - 1 fold errors: m = K W - 1
// exact error terms. C, their rounded sum, is formed as a tree alongside (the q added up,
// then folded as s is, each fold's errors added), and E likewise from their magnitudes;
// every lane of c and e ends with the totals.
// The next pass's terms are the K - 1 vectors q and a tail vector that gathers the fold
// errors (the first fold's in lanes [0, W/2), the next one's in [W/2, 3W/4), ...) and S
// in lane W - 1: K vectors again, whose exact sum is T, each term about u times a partial
// sum of the pass before, so that every pass takes some 49 bits of cancellation off the
// problem. The terms never leave the registers.
#pragma once

#include <cstdint>

#include "algorithms/binary64.h"
#include "algorithms/certifiedsum.h"
#include "algorithms/shortsum.h"
#include "algorithms/vector_ops.h"

namespace {

using sela::ShortVerdict;

enum class PassVerdict {
  Settled,  // result is T rounded to nearest
  Refine,   // finite but undecided: the pass's terms go on
  Failed    // an infinity, a NaN or an overflow
};

// The verdict of a pass from lane 0 of s, c and e: res = fl(S + C) is T rounded to nearest
// when one of two tests says so. In the first pass, first the bound, with d = S + C - res
// by FastTwoSum, exact as the test asks for |S| >= |C| (a sum whose errors outweigh it is
// never settled by the bound anyway), on a shorter chain than TwoSum's: it settles at once
// nearly all data that do not fall on or next to a midpoint. Then, only where the bound
// does not decide, the exactness test, whose least unit (`twiceLeast`) is found from the
// elements only then, once per call: most sums never pay for it. The passes after the
// first have it at hand and try it first (cancelling sums settle by it as often as by the
// bound; its branch depends on a shorter chain).
// - The bound: with m u <= 2^-20, |T - res| <= |d| + B, B = 2 m u E, and res is T rounded
//   to nearest when |d| + B lies below half the smaller gap around res (certifiedsum.cpp's
//   decide argues it). For E >= 2^-960, B is rounded once from a normal product, and the
//   margin, enlarged past its roundings, is above the exact |d| + B. (A smaller E is left
//   to the exactness test below, which settles E = 0 always: no subnormal reaches the
//   arithmetic here, which some processors take a slow path for.)
// - Exactness: every term is a multiple of g, the least of the elements' units in the last
//   place (powers of two, so the least divides every element, and every TwoSum sum and
//   error formed from multiples of g is one). A normal element of exponent field f has the
//   unit 2^(f - 1075), 2^-53 times twice its value with the significand cleared, so 2^53 g
//   is at least `twiceLeast`, twice the least such value over the non-zero elements (0 when
//   one is subnormal: the test below then fails). Every partial sum of C is at most
//   sum |t| < E (1 + 2^-19) in magnitude, below fl(E (1 + 2^-18)): when that is below
//   twiceLeast, every partial sum of C is a multiple of g below 2^53 g, a double, so C was
//   summed exactly, T = S + C, and res is T rounded to nearest, ties to even. This settles
//   the sums that fall exactly on a midpoint, common on data with few significant bits.
// Both tests accept the same double, fl(S + C): their order changes no result. A NaN or an
// infinity anywhere, or an overflow (TwoSum's error of an overflowed sum is a NaN), makes
// res, d or E one: the bound's margin is then a NaN or an infinity, or res's half gap is
// (an infinite res), and the test fails; such sums are never refined either. A zero res
// gives +0.0 (res + 0.0).
// The bound needs no test of |S| >= |C| from m = 2 on: were |C| > |S|, then |res| < 2 |C|
// (1 + u), so half the gap around res is below 2 u (1 + u) |C|, while E >= |C| (1 - 2 gamma)
// makes B >= 2 m u |C| (1 - 2 gamma) >= 4 u |C| (1 - 2 gamma), larger: the test fails.
template <typename Least>
inline PassVerdict verdictOf(double sum, double errors, double magnitudes, double m, Least& twiceLeast,
                              double& result) {
  const double res = sum + errors;
  const double errorsAbove = magnitudes * (1.0 + 0x1p-18);
  const bool known = twiceLeast.known();
  if (known && errorsAbove < twiceLeast.value && sela::isFinite(res)) {  // summed exactly
    result = res + 0.0;
    return PassVerdict::Settled;
  }
  const double d = errors - (res - sum);
  const double bound = (2.0 * m * 0x1p-53) * magnitudes;
  if ((__builtin_fabs(d) + bound) * 1.0000001 < sela::halfGapBelow(res) && magnitudes >= 0x1p-960 &&
      (m >= 2.0 || __builtin_fabs(sum) >= __builtin_fabs(errors))) [[likely]] {  // within the bound
    result = res + 0.0;
    return PassVerdict::Settled;
  }
  if (!sela::isFinite(res)) return PassVerdict::Failed;
  if (!known && errorsAbove < twiceLeast()) {  // summed exactly
    result = res + 0.0;
    return PassVerdict::Settled;
  }
  return PassVerdict::Refine;
}

// twiceLeast of verdictOf, found from the elements (`of`) once per call, when first asked:
// by the first pass's verdict, which asks before it returns Refine, so before any pass
// replaces the elements by its terms (`of` reads them where the first pass does; the
// least unit of a later pass's terms would be as sound, as they are its elements).
template <typename Of>
struct LazyLeast {
  Of of;
  double value = -1.0;  // not found yet (twiceLeast is never negative)
  bool known() const { return value >= 0.0; }
  double operator()() {
    if (!known()) value = of();
    return value;
  }
};
template <typename Of>
LazyLeast(Of) -> LazyLeast<Of>;

// twiceLeast of verdictOf over the lanes of v: twice the least of their values with the
// significand cleared (sign too), over the non-zero lanes; +inf if there is none. A NaN
// lane is skipped (such sums are never accepted anyway).
template <typename Ops, int K>
__attribute__((always_inline)) inline double twiceLeastUnit(const typename Ops::V (&v)[K]) {
  using V = typename Ops::V;
  const V inf = Ops::set1(__builtin_inf());  // its bits are the exponent field's
  V least = inf;
#pragma GCC unroll 8
  for (int j = 0; j < K; ++j) {
    least = Ops::min(Ops::select(Ops::equal(v[j], Ops::zero()), inf, Ops::bitAnd(v[j], inf)), least);
  }
  if constexpr (Ops::W >= 8) least = Ops::min(least, Ops::template swap<4>(least));
  if constexpr (Ops::W >= 4) least = Ops::min(least, Ops::template swap<2>(least));
  least = Ops::min(least, Ops::template swap<1>(least));
  return 2.0 * Ops::first(least);
}

// The tree across vectors: s[0 .. Width-1] summed pairwise into s[0], the errors of each
// level into q from q[Out] on.
template <typename Ops, int Width, int K, int Out>
__attribute__((always_inline)) inline void treeLevels(typename Ops::V (&s)[K], typename Ops::V (&q)[K]) {
  if constexpr (Width > 1) {
#pragma GCC unroll 8
    for (int j = 0; j < Width / 2; ++j) twoSum<Ops>(s[j], s[j + Width / 2], s[j], q[Out + j]);
    treeLevels<Ops, Width / 2, K, Out + Width / 2>(s, q);
  }
}

// One pass over the K vectors v: its verdict, and on Refine its terms in v.
template <typename Ops, int K, typename Least>
__attribute__((always_inline)) inline PassVerdict shortPass(typename Ops::V (&v)[K], Least& twiceLeast,
                                                            double& result) {
  using V = typename Ops::V;
  constexpr int W = static_cast<int>(Ops::W);
  static_assert(K >= 1 && K <= 8 && (K & (K - 1)) == 0);
  constexpr double m = K * W - 1;
  V s[K], q[K];
#pragma GCC unroll 8
  for (int j = 0; j < K; ++j) s[j] = v[j];
  treeLevels<Ops, K, K, 0>(s, q);
  V c = K > 1 ? q[0] : Ops::zero();
  V e = K > 1 ? Ops::abs(q[0]) : Ops::zero();
#pragma GCC unroll 8
  for (int j = 1; j < K - 1; ++j) {
    c = Ops::add(c, q[j]);
    e = Ops::add(e, Ops::abs(q[j]));
  }
  V tail = Ops::zero();
  foldLanes<Ops, W / 2>(s[0], c, e, tail);
  const PassVerdict verdict = verdictOf(Ops::first(s[0]), Ops::first(c), Ops::first(e), m, twiceLeast, result);
  if (verdict == PassVerdict::Refine) [[unlikely]] {
    q[K - 1] = tail;
#pragma GCC unroll 8
    for (int j = 0; j < K; ++j) v[j] = q[j];
  }
  return verdict;
}

// The passes after the first, up to kShortPasses in all (inline: the terms stay in the
// registers).
template <typename Ops, int K, typename Least>
__attribute__((always_inline)) inline ShortVerdict refinePasses(typename Ops::V (&v)[K], Least& twiceLeast, double& result) {
  for (int pass = 1; pass < sela::kShortPasses; ++pass) {
    const PassVerdict verdict = shortPass<Ops, K>(v, twiceLeast, result);
    if (verdict == PassVerdict::Settled) return ShortVerdict::Settled;
    if (verdict == PassVerdict::Failed) break;
  }
  return ShortVerdict::Failed;
}

template <typename Ops, int K, typename Least>
__attribute__((always_inline)) inline ShortVerdict shortPasses(typename Ops::V (&v)[K], Least& twiceLeast,
                                                               double& result) {
  const PassVerdict verdict = shortPass<Ops, K>(v, twiceLeast, result);
  if (verdict == PassVerdict::Settled) [[likely]] return ShortVerdict::Settled;
  if (verdict == PassVerdict::Failed) return ShortVerdict::Failed;
  // A subnormal element (the least unit 0) leaves the later passes the bound alone, which
  // needs errors of 2^-960 and more, and such sums' errors are mostly subnormal: they seldom
  // settle, and each pass takes assists. The register takes them (subnormal elements
  // among normal ones, say), as it takes those of elements at the bottom of the range.
  if (twiceLeast.value == 0.0) return ShortVerdict::Bottom;
  return refinePasses<Ops, K>(v, twiceLeast, result);
}

// v[0 .. K-1] from x[0 .. n-1], zero-padded (nothing past x[n - 1] is read).
template <typename Ops, int K>
__attribute__((always_inline)) inline void loadPadded(const double* x, int64_t n, typename Ops::V (&v)[K]) {
  constexpr int64_t W = Ops::W;
#pragma GCC unroll 8
  for (int j = 0; j < K; ++j) {
    const int64_t at = j * W;
    if (at + W <= n) {
      v[j] = Ops::load(x + at);
    } else {
      v[j] = at < n ? Ops::loadFirst(x + at, n - at) : Ops::zero();
    }
  }
}

// Data at the bottom of the range: every lane of v below 2^-895 in magnitude, which no NaN
// or infinity is, and not all of them zeros. Exponent fields below 128 are those without
// any of the field's top four bits, and the or of the lanes' bit patterns has one of them
// exactly when some lane does. The passes do poorly there, on speed alone: TwoSum errors
// of values below 2^-969 are subnormal results of normal operands, which Intel processors
// take a microcode assist for, and errors whose magnitudes sum to less than 2^-960 leave
// the bound undecided, so that the passes refine and then give up. Measured on an Intel
// Xeon, per call: 16 values in 2^-1022 .. 2^-900 took 190 ns, most of it in the first
// pass, 16 values in 2^-1074 .. 2^-960 800 ns, against 55 to 85 ns in the register.
template <typename Ops, int K>
__attribute__((always_inline)) inline bool allAtBottom(const typename Ops::V (&v)[K]) {
  // 2^897: the top four bits of the exponent field alone.
  static_assert(__builtin_bit_cast(uint64_t, 0x1p897) == uint64_t{0xF} << 59);
  const typename Ops::V top = Ops::set1(0x1p897);
  typename Ops::V bits = v[0];
#pragma GCC unroll 8
  for (int j = 1; j < K; ++j) bits = Ops::bitOr(bits, v[j]);
  // Zeros alone (the passes settle them at once) are not such data. (Bit tests, not
  // comparisons of doubles: a comparison with a subnormal operand took an assist, 35 ns
  // a call on 64 subnormal elements.)
  const typename Ops::V magnitude = Ops::set1(sela::fromBits(~sela::kSignMask));
  return Ops::noBitsIn(bits, top) && !Ops::noBitsIn(bits, magnitude);
}

template <typename Ops, int K>
__attribute__((always_inline)) inline ShortVerdict shortSumOf(const double* x, int64_t n, double& result) {
  typename Ops::V v[K];
  loadPadded<Ops, K>(x, n, v);
  // x[0] below 2^-895 first, in an integer register: ordinary data then pay an integer
  // test and a branch beside the passes' vector work (the vector test of every call cost
  // short sums of ordinary data 2 to 5%, this one nothing measurable).
  if ((sela::bitsOf(x[0]) << 1) < (uint64_t{1} << 60) && allAtBottom<Ops, K>(v)) [[unlikely]]
    return ShortVerdict::Bottom;
  LazyLeast twiceLeast{[&v] { return twiceLeastUnit<Ops, K>(v); }};
  return shortPasses<Ops, K>(v, twiceLeast, result);
}

template <typename Ops>
ShortVerdict shortSumKernel(const double* x, int64_t n, double& result) {
  constexpr int64_t W = Ops::W;
  if (n < 2 || n > 8 * W) return ShortVerdict::NotTaken;
  if (n <= W) return shortSumOf<Ops, 1>(x, n, result);
  if (n <= 2 * W) return shortSumOf<Ops, 2>(x, n, result);
  if (n <= 4 * W) return shortSumOf<Ops, 4>(x, n, result);
  return shortSumOf<Ops, 8>(x, n, result);
}

// The dot product: each product split into p = fl(a b) and r = fma(a, b, -p), exact
// (p + r = a b) whenever |p| >= 2^-916 or a factor is zero (exactsum_arrangements_fma.cpp;
// all the bits of such a product then lie at 2^-1022 or above, so the product floor cuts
// nothing and superDot rounds the exact sum to nearest, a zero sum to +0.0). Any other
// product with two non-zero factors may have lost bits: another route takes the call. The
// 2H vectors of terms interleave them (p of the first W elements, their r, p of the next W,
// ...), so that the first level of the tree adds p to p and r to r. productTerms forms
// them in v and returns whether any such product occurs.
template <typename Ops, int H>
__attribute__((always_inline)) inline bool productTerms(const typename Ops::V (&a)[H], const typename Ops::V (&b)[H],
                                                        typename Ops::V (&v)[2 * H]) {
  using V = typename Ops::V;
  const V floor = Ops::set1(0x1p-916);
  const V zero = Ops::zero();
  typename Ops::Mask tiny = Ops::noMask();
#pragma GCC unroll 8
  for (int j = 0; j < H; ++j) {
    v[2 * j] = Ops::mul(a[j], b[j]);
    v[2 * j + 1] = Ops::fms(a[j], b[j], v[2 * j]);  // a b - p in one rounding
    tiny = Ops::either(tiny, Ops::both(Ops::less(Ops::abs(v[2 * j]), floor),
                                       Ops::both(Ops::notEqual(a[j], zero), Ops::notEqual(b[j], zero))));
  }
  return Ops::any(tiny);
}

// Products at the bottom of the range: every product of the lanes below 2^-894 (the
// halved bit patterns of its factors add up to less than kProductsAtBottom: 21 binades
// above kGuardKeptFrom, certifiedsum.h, the passes' own threshold of products that may lie
// below 2^-916), one of them with two non-zero factors. Their splits take assists (a
// product in [2^-1088, 2^-1022) is a subnormal result of normal operands, and so is the
// remainder of one below 2^-969), and so do the passes that take such data after the
// short ones (16 products of values in 2^-1022 .. 2^-900 by 1 + 2^-30 took 260 ns on an
// Intel Xeon, 16 of factors in 2^-560 .. 2^-500 1240 ns); their exact products, formed
// in integers, take some 130 ns. No NaN or infinity factor passes the test.
constexpr int64_t kProductsAtBottom = sela::kGuardKeptFrom + (int64_t{21} << 51);

template <typename Ops, int H>
__attribute__((always_inline)) inline bool allProductsAtBottom(const typename Ops::V (&a)[H],
                                                               const typename Ops::V (&b)[H]) {
  typename Ops::Mask both = Ops::noMask(), any = Ops::noMask();
  uint64_t below = (uint64_t{1} << Ops::W) - 1;
#pragma GCC unroll 8
  for (int j = 0; j < H; ++j) {
    below &= Ops::laneBits(Ops::halvedBitsBelow(a[j], b[j], kProductsAtBottom));
    both = Ops::both(Ops::notEqual(a[j], Ops::zero()), Ops::notEqual(b[j], Ops::zero()));
    any = Ops::either(any, both);
  }
  return below == (uint64_t{1} << Ops::W) - 1 && Ops::any(any);
}

template <typename Ops, int H>
__attribute__((always_inline)) inline ShortVerdict shortDotOf(const double* x, const double* y, int64_t n,
                                                              double& result) {
  typename Ops::V a[H], b[H];
  loadPadded<Ops, H>(x, n, a);
  loadPadded<Ops, H>(y, n, b);
  // x[0] y[0] below 2^-894 first, in integer registers (as for the sums).
  if (static_cast<int64_t>(sela::halvedBits(x[0], y[0])) < kProductsAtBottom && allProductsAtBottom<Ops, H>(a, b))
      [[unlikely]] {
    return ShortVerdict::Bottom;
  }
  typename Ops::V v[2 * H];
  if (productTerms<Ops, H>(a, b, v)) return ShortVerdict::NearFloor;
  LazyLeast twiceLeast{[&v] { return twiceLeastUnit<Ops, 2 * H>(v); }};
  return shortPasses<Ops, 2 * H>(v, twiceLeast, result);
}

template <typename Ops>
ShortVerdict shortDotKernel(const double* x, const double* y, int64_t n, double& result) {
  constexpr int64_t W = Ops::W;
  if (n < 1 || n > 4 * W) return ShortVerdict::NotTaken;
  if (n <= W) return shortDotOf<Ops, 1>(x, y, n, result);
  if (n <= 2 * W) return shortDotOf<Ops, 2>(x, y, n, result);
  return shortDotOf<Ops, 4>(x, y, n, result);
}

}  // namespace
