#include "algorithms/certifiedsum.h"

#include "algorithms/sse2_intrinsics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "algorithms/errorfree.h"
#include "algorithms/exactsum.h"
#include "algorithms/vector_ops_sse2.h"
#include "kernel_slot.h"

namespace sela {

namespace {

// Without a fused multiply-add products do not split cheaply: the scalar family has no
// lane pass, and declines.
bool declineDotLanes(const double*, int64_t, const double*, CertifiedDotLanes&) { return false; }
bool declineCenteredLanes(const double*, int64_t, const double*, double, double, CertifiedDotLanes&) { return false; }

bool declineSumLanes(const double*, int64_t, CertifiedDotLanes&) { return false; }
bool declineExtraction(const double*, int64_t, int64_t, ExtractionLanes&, double*) { return false; }
bool declineExtractionDot(const double*, const double*, int64_t, int64_t, ExtractionLanes&, double*) { return false; }

}  // namespace

constinit KernelSlot<SumLanesKernel> certifiedSumImpl{
    {declineSumLanes, SELA_X86_KERNEL(certifiedSumLanesAvx2), SELA_X86_KERNEL(certifiedSumLanesAvx512)}};
constinit KernelSlot<DotLanesKernel> certifiedDotImpl{
    {declineDotLanes, SELA_X86_KERNEL(certifiedDotLanesAvx2), SELA_X86_KERNEL(certifiedDotLanesAvx512)}};
constinit KernelSlot<CenteredLanesKernel> certifiedCenteredImpl{
    {declineCenteredLanes, SELA_X86_KERNEL(certifiedCenteredLanesAvx2), SELA_X86_KERNEL(certifiedCenteredLanesAvx512)}};

constinit KernelSlot<ExtractionKernel> extractionSumImpl{
    {declineExtraction, SELA_X86_KERNEL(extractionSumBlockAvx2), SELA_X86_KERNEL(extractionSumBlockAvx512)}};
constinit KernelSlot<ExtractionDotKernel> extractionDotImpl{
    {declineExtractionDot, SELA_X86_KERNEL(extractionDotBlockAvx2), SELA_X86_KERNEL(extractionDotBlockAvx512)}};

namespace {

constexpr double kMaxDouble = std::numeric_limits<double>::max();

struct LaneSums {
  double s = 0.0;  // sum of the high parts
  double c = 0.0;  // rounded sum of the error terms
  double e = 0.0;  // rounded sum of their magnitudes
};

// TwoSum of the accumulated s and x, the error into c and its magnitude into e.
// Returns the addition's error, the term it adds to c.
inline double laneAdd(LaneSums& l, double x) {
  const SumAndError ts = twoSum(l.s, x);
  l.s = ts.s;
  l.c = l.c + ts.e;
  l.e = l.e + std::fabs(ts.e);
  return ts.e;
}

enum class Verdict {
  Nearest,    // the candidate is the exact value rounded to nearest
  Undecided,  // finite, but the bound does not separate the candidate from a neighbour
  Declined,   // an infinity, a NaN or an overflow somewhere
};

// The decision of the lanes' route (the short sum's passes apply the same bound through
// settledWithRoom below, with a quicker gap). The exact value is T = S + sum(t) over m
// error terms t, each an exact TwoSum error or an exact product remainder; C is their
// rounded sum added up in any binary tree (m leaves, so no term passes through more than
// m - 1 roundings) and E the rounded sum of their magnitudes in a tree of the same kind. Then
// |C - sum(t)| <= gamma(m-1) sum|t| and sum|t| <= E / (1 - gamma(m-1)), gamma(k) =
// k u / (1 - k u), u = 2^-53. With m u <= 2^-20 both factors are within 1 + 2^-19 of m u
// and 1, so |C - sum(t)| < B = 2 m u E, and B is computed with one rounding of a normal
// product: a non-zero E below 2^-960 is raised to 2^-960 first (a larger E still bounds
// sum|t|), so 2 m u E is 0 or at least 2^-1012 for m >= 1. (Declining there instead sent
// data whose only small terms are a few products near the floor beside exact large ones,
// a value far from any tie, to the slow route.)
// res = fl(S + C) with exact error d (TwoSum) leaves |T - res| <= |d| + B. If |d| + B is
// below half the distance to the nearer neighbour of res, strictly, T is nearer to res
// than to any other double, ties excluded, and res is the correctly rounded value. A zero
// res then means |T| < 2^-1075, below every non-zero value either route can produce (its
// terms are multiples of 2^-1074), so T = 0, whose rounding is +0.0.
// `extra` is a further bound on |T - the value wanted|, added to the margin.
// E for the bound 2 m u E: raised to 2^-960 when smaller but not zero, so the product
// stays normal and is rounded once (relative error at most u).
double magnitudesForBound(double e) { return e != 0.0 && e < 0x1p-960 ? 0x1p-960 : e; }

Verdict decide(const LaneSums& total, double m, double extra, double& candidate) {
  if (!(std::fabs(total.s) <= kMaxDouble && std::fabs(total.c) <= kMaxDouble && total.e <= kMaxDouble)) {
    return Verdict::Declined;
  }
  const double bound = (2.0 * m * 0x1p-53) * magnitudesForBound(total.e);
  const SumAndError r = twoSum(total.s, total.c);
  if (!(std::fabs(r.s) <= kMaxDouble)) return Verdict::Declined;
  // The distance to the nearer neighbour (both differences are exact; above DBL_MAX the
  // neighbour is +-inf, and the rounding threshold is then half the gap below).
  const double up = nextFloat(r.s) - r.s;
  const double down = r.s - prevFloat(r.s);
  const double gap = up < down ? up : down;
  // (|d| + B) rounded, enlarged past its rounding: an upper bound of the exact |d| + B.
  const double margin = ((std::fabs(r.e) + bound) + extra) * 1.0000001;
  candidate = r.s == 0.0 ? 0.0 : r.s;
  return 2.0 * margin < gap ? Verdict::Nearest : Verdict::Undecided;
}

// The least grain of the elements: for each non-zero element the value of the lowest set
// bit of its significand M (with the hidden bit), 2^(e - 1075) 2^j for exponent field e
// and lowest set bit 2^j of M, and the least over all: +inf when every element is zero,
// 0 when one is subnormal (not worth telling apart; such data are settled elsewhere).
// For finite elements. 2^j (j <= 52) added to the bits of 1.0 gives 1 + 2^(j - 52) (j = 52
// carries into the exponent: 2.0), so subtracting 1 leaves 2^(j - 52) exactly;
// times 2^(e - 1023), the element with its significand cleared, that is the grain, a power
// of two of at least 2^-1074 and so exact. No branch: two lanes per vector, two vectors.
using Words = uint64_t __attribute__((vector_size(16)));
using Pair = double __attribute__((vector_size(16)));

inline Pair grains(Words u) {
  const Words m = (u & kMantissaMask) | kHiddenBit;
  const Pair lowest = reinterpret_cast<Pair>((m & (~m + 1)) + bitsOf(1.0)) - 1.0;
  // A zero takes the exponent field of an infinity: its grain is +inf.
  const Words zero = reinterpret_cast<Words>(reinterpret_cast<Pair>(u) == 0.0);
  const Words field = (u | zero) & kExponentMask;
  return reinterpret_cast<Pair>(field) * lowest;
}

double leastGrain(const double* x, int64_t n) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  Pair g0 = {kInfinity, kInfinity};
  Pair g1 = g0;
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Words u0, u1;
    std::memcpy(&u0, x + i, sizeof u0);
    std::memcpy(&u1, x + i + 2, sizeof u1);
    const Pair a0 = grains(u0);
    const Pair a1 = grains(u1);
    g0 = a0 < g0 ? a0 : g0;
    g1 = a1 < g1 ? a1 : g1;
  }
  g0 = g1 < g0 ? g1 : g0;
  double g = g0[0] < g0[1] ? g0[0] : g0[1];
  for (; i < n; ++i) {
    const Pair a = grains(Words{bitsOf(x[i]), 0});
    g = a[0] < g ? a[0] : g;
  }
  return g;
}

// Ties and near-ties, common on data with few significant bits: every value a pass forms
// -- the elements, the lane sums, the errors, every partial sum of C -- is a multiple of g,
// the least grain of the elements (sums and exact differences of multiples of g are, and
// so is a rounded sum, whose unit in the last place is then at least g). A partial sum of
// C is at most sum|t| <= E / (1 - gamma(m - 1)) < E (1 + 2^-19) in magnitude (m u <=
// 2^-20), and fl(E (1 + 2^-18)) is above that. When it is below 2^53 g, every partial sum
// is a multiple of g below 2^53 g, a double: no addition into C rounded, C = sum(t), T =
// S + C exactly, and a finite res = fl(S + C) is T rounded to nearest, ties to even (a
// zero T gives +0.0); a NaN E compares false. The least grain is at most that of x[0],
// which settles most data with full-width significands before the pass over all elements.
bool summedExactly(double magnitudes, const double* x, int64_t n) {
  const double sumOfErrorsAbove = magnitudes * (1.0 + 0x1p-18);
  return sumOfErrorsAbove < 0x1p53 * grains(Words{bitsOf(x[0]), 0})[0] &&
         sumOfErrorsAbove < 0x1p53 * leastGrain(x, n);
}

// decide's test for the short passes, with a short chain and no branch but its verdict:
// whether res = fl(S + C), its error d (r = TwoSum(S, C)) and B', an upper bound of
// decide's bound B = 2 m u E, settle the rounding.
// - B' = 2 m u E rounded once (relative error u, or at most 2^-1075 when it underflows),
//   plus 2^-1074, which covers that.
// - margin: |d| + B' rounded (relative error u, exact when subnormal), then enlarged
//   past both roundings: above the exact |d| + B, an upper bound of |T - res|.
// - halfGap (halfGapBelow, binary64.h): half the smaller gap between res and its
//   neighbours, 0 where res is zero or subnormal.
// margin < halfGap thus puts T strictly nearer to res than to any other double, as
// decide requires. An infinity or a NaN anywhere makes res, d, or the margin a NaN or an
// infinity: a NaN compares false, and so does an infinite margin against any halfGap.
inline bool settledWithRoom(const SumAndError& r, double boundAbove) {
  return (std::fabs(r.e) + boundAbove) * 1.0000001 < halfGapBelow(r.s);
}

enum class Pass {
  Settled,   // result is the exact sum rounded to nearest
  Declined,  // a special value or an overflow, or nothing left to refine
  Refine,    // finite but undecided: terms[0 .. n + 4] add up exactly to the sum
};

// One certified pass. Four lanes (two SSE2 registers) and one scalar lane each run TwoSum
// on their elements; the five lane sums are then merged by four more TwoSums: m = n + 4
// error terms, which n + 4 <= 2^23 keeps within m u <= 2^-30 (decide's bound needs
// 2^-20). With Record, every TwoSum's error goes to terms[0 .. n + 3] and the final sum S
// to terms[n + 4]: the n + 5 values then add up exactly to the sum of the elements (each
// TwoSum is exact), a sum much better conditioned than the elements' when S is far from
// it: the terms are about u times the partial sums.
template <bool Record>
Pass certifiedPass(const double* x, int64_t n, double& result, double* terms) {
  __m128d s0 = _mm_setzero_pd(), s1 = s0, c0 = s0, c1 = s0, e0 = s0, e1 = s0;
  const __m128d signBit = _mm_set1_pd(-0.0);
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128d v0 = _mm_loadu_pd(x + i);
    const __m128d v1 = _mm_loadu_pd(x + i + 2);
    const __m128d t0 = _mm_add_pd(s0, v0);
    const __m128d t1 = _mm_add_pd(s1, v1);
    const __m128d z0 = _mm_sub_pd(t0, s0);
    const __m128d z1 = _mm_sub_pd(t1, s1);
    const __m128d r0 = _mm_add_pd(_mm_sub_pd(s0, _mm_sub_pd(t0, z0)), _mm_sub_pd(v0, z0));
    const __m128d r1 = _mm_add_pd(_mm_sub_pd(s1, _mm_sub_pd(t1, z1)), _mm_sub_pd(v1, z1));
    if constexpr (Record) {
      _mm_storeu_pd(terms + i, r0);
      _mm_storeu_pd(terms + i + 2, r1);
    }
    c0 = _mm_add_pd(c0, r0);
    c1 = _mm_add_pd(c1, r1);
    e0 = _mm_add_pd(e0, _mm_andnot_pd(signBit, r0));
    e1 = _mm_add_pd(e1, _mm_andnot_pd(signBit, r1));
    s0 = t0;
    s1 = t1;
  }
  LaneSums total;
  const auto add = [&](double v, int64_t slot) {
    const double err = laneAdd(total, v);
    if constexpr (Record) terms[slot] = err;
  };
  for (; i < n; ++i) add(x[i], i);
  // The merge as a tree: the two registers lane by lane (one vector TwoSum), then the two
  // halves into the scalar lane.
  const __m128d u = _mm_add_pd(s0, s1);
  const __m128d z = _mm_sub_pd(u, s0);
  const __m128d f = _mm_add_pd(_mm_sub_pd(s0, _mm_sub_pd(u, z)), _mm_sub_pd(s1, z));
  if constexpr (Record) _mm_storeu_pd(terms + n, f);
  const __m128d c = _mm_add_pd(_mm_add_pd(c0, c1), f);
  const __m128d e = _mm_add_pd(_mm_add_pd(e0, e1), _mm_andnot_pd(signBit, f));
  total.c = total.c + (lowLane(c) + highLane(c));
  total.e = total.e + (lowLane(e) + highLane(e));
  add(lowLane(u), n + 2);
  add(highLane(u), n + 3);
  if constexpr (Record) terms[n + 4] = total.s;
  const double m = static_cast<double>(n + 4);
  const double boundAbove = (2.0 * m * 0x1p-53) * total.e + 0x1p-1074;
  const SumAndError r = twoSum(total.s, total.c);
  if (settledWithRoom(r, boundAbove)) [[likely]] {
    result = r.s;
    return Pass::Settled;
  }
  // A finite res means every element was finite and no sum overflowed (an infinity or a
  // NaN makes C or S a NaN or an infinity).
  if (!isFinite(r.s)) return Pass::Declined;
  if (summedExactly(total.e, x, n)) {
    result = r.s == 0.0 ? 0.0 : r.s;
    return Pass::Settled;
  }
  return Record ? Pass::Refine : Pass::Declined;
}

// Short inputs that the first pass leaves undecided are refined: the pass runs again over
// the n + 5 terms it recorded, whose exact sum is the elements' (and the same for those),
// each level some 2^-48 better conditioned than the one before, up to kRefinements
// times: enough for sums of condition up to about 1e40 at these lengths. Then the caller
// forms the exact sum.
constexpr int64_t kRefinedMaxLength = kCertifiedRefinedMaxLength;
constexpr int kRefinements = 3;

}  // namespace

bool certifiedNearest(const double* x, int64_t n, double& result) {
  if (n < 2 || n > kCertifiedSumMaxLength) return false;
  if (n > kRefinedMaxLength) return certifiedPass<false>(x, n, result, nullptr) == Pass::Settled;
  double levels[2][kRefinedMaxLength + 5 * kRefinements];
  const double* in = x;
  for (int level = 0;; ++level) {
    double* terms = levels[level % 2];
    const Pass pass = level < kRefinements ? certifiedPass<true>(in, n, result, terms)
                                           : certifiedPass<false>(in, n, result, nullptr);
    if (pass != Pass::Refine) return pass == Pass::Settled;
    if (level == kRefinements) return false;
    in = terms;
    n += 5;
  }
}

// The lanes hold S and the error terms of the exact sum of the elements exactly as they
// would for products with zero remainders and no flagged product, so certifiedDotResult's
// decision applies unchanged: its value is the exact sum rounded to nearest, as round
// gives it (no product floor is involved; a zero sum is +0.0).
// Where the bound does not decide, a tie or a near tie may still be settled by the grain
// (summedExactly): the vector pass leaves one lane, the sum S, the rounded sum C of all its
// error terms and E, that of their magnitudes (m <= 2n + 64 of them, m u <= 2^-20). The
// grain is looked for (a second read of the data) only where the bound B itself lies
// below half the gap around res, so that the bound failed on a midpoint or next to one:
// a sum that cancels, whose bound is far larger, goes on to the extraction pass at once.
bool certifiedSum(const double* x, int64_t n, double& result) {
  if (n < kCertifiedVectorSumFrom) return certifiedNearest(x, n, result);
  CertifiedDotLanes lanes;
  if (n > kCertifiedDotMaxLength || !certifiedSumImpl.get()(x, n, lanes)) {
    return n < kCertifiedScalarSumBelow && certifiedNearest(x, n, result);
  }
  if (certifiedDotResult(lanes, n, result)) return true;
  if (lanes.lanes != 1) return false;
  const double res = lanes.s[0] + lanes.c[0];
  const double bound = (2.0 * static_cast<double>(lanes.terms + 1) * 0x1p-53) * lanes.e[0];
  if (isFinite(res) && bound < halfGapBelow(res) && summedExactly(lanes.e[0], x, n)) {
    result = res == 0.0 ? 0.0 : res;
    return true;
  }
  return false;
}

namespace {

// The error lanes' rounded sums added into c and e of total (a tree over the residuals).
void addResidualLanes(LaneSums& total, const ExtractionLanes& lanes) {
  for (int l = 0; l < lanes.lanes; ++l) {
    total.c = total.c + lanes.c[l];
    total.e = total.e + lanes.e[l];
  }
}

// What the product floor adds to the margin and asks of the result (certifiedDotResult
// argues both): with flagged products, |T - F| < n 2^-1074, and the result must be at
// least 2^-1021.
double floorMargin(const ExtractionLanes& lanes, int64_t n) {
  return lanes.tinyProducts ? static_cast<double>(n) * 0x1p-1074 : 0.0;
}
bool floorAllows(const ExtractionLanes& lanes, double candidate) {
  return !lanes.tinyProducts || std::fabs(candidate) >= 0x1p-1021;
}

// No residual at all (the data have few significant bits, as integers or decimals of a
// fixed scale do; their sums meet exact ties often) and no product near the floor: T is
// the sum of the levels alone, which is then rounded exactly when two TwoSum chains leave
// it as s + c with no error left: the levels added into s, their errors added into c, and
// every error of that second chain zero. One correctly rounded addition s + c is then
// T's rounding, ties included (a zero T gives +0.0).
bool exactLevels(const ExtractionLanes& lanes, const double* levels, int count, double& result) {
  LaneSums residual;
  addResidualLanes(residual, lanes);
  if (residual.e != 0.0 || lanes.tinyProducts) return false;  // also false for a NaN
  double s = 0.0, c = 0.0;
  for (int j = 0; j < count; ++j) {
    const SumAndError high = twoSum(s, levels[j]);
    const SumAndError low = twoSum(c, high.e);
    if (low.e != 0.0) return false;
    s = high.s;
    c = low.s;
  }
  const double sum = s + c;
  if (!(std::fabs(sum) <= kMaxDouble)) return false;
  result = sum == 0.0 ? 0.0 : sum;
  return true;
}

// One block: T = sum_j tau_j + sum r exactly. The levels are added top down by TwoSums
// into s, their errors joining the residuals as more terms, so decide's premise holds
// with m = residuals + levels. Those errors are small: the levels down to j hold the
// elements' bits down to the unit of level j, so their exact sum lies within N 2^(k_j -
// 53) of T (plus, for products, the r's of level j, below 2^(k_j - 2)), a multiple of
// 2^(k_j - 52) that the TwoSum represents exactly unless it exceeds 2^(k_j + 1); its error
// is then at most u times a partial sum close to |T|. (The bound counts them as they are.)
bool decideOneBlock(const ExtractionLanes& lanes, const double* levels, int count, int64_t n, double& result) {
  if (exactLevels(lanes, levels, count, result)) return true;
  LaneSums total;
  addResidualLanes(total, lanes);
  for (int j = 0; j < count; ++j) laneAdd(total, levels[j]);
  double candidate;
  if (decide(total, static_cast<double>(lanes.terms + count), floorMargin(lanes, n), candidate) != Verdict::Nearest)
    return false;
  if (!floorAllows(lanes, candidate)) return false;
  result = candidate;
  return true;
}

// Many blocks: their levels are deposited into the register, exactly, so the register
// holds R = T - sum r. The residuals' rounded sum C is deposited as well (R' = R + C),
// and |T - R'| = |sum r - C| < B = 2 m u E as decide argues (m residuals, m u <= 2^-20).
// R' is rounded (v), v taken back out, and what is left, R' - v, rounded (d, within u |d|
// of it, exact when subnormal while the register holds only sums of doubles): decide on
// v + d with the one term d and B as the extra margin gives T's rounding when it is the
// same for every value within B of R'.
// Products near the floor (lanes.guarded) deposit what the floor keeps of them, multiples
// of 2^-1075 that T then holds exactly. Below 2^-1011 round drops the register's bit of
// 2^-1075, so d may lie 2^-1075 off R' - v; B covers that, being at least 2 u 2^-960 =
// 2^-1012 (a non-zero E below 2^-960 enters it as 2^-960, and without residuals the
// register is rounded alone). Such a T may be an odd multiple of 2^-1075 below 2^-1022, a tie between
// two subnormals, which the strict margin never settles: what is settled there is a
// multiple of 2^-1074, exactly the double that round gives.
bool decideInRegister(SuperAccumulator& acc, const ExtractionLanes& lanes, int64_t n, double& result) {
  LaneSums residual;
  addResidualLanes(residual, lanes);
  if (residual.e == 0.0 && !lanes.tinyProducts) {
    // No residual: the register holds T itself, and its rounding is T's, ties included
    // (the products' register of superDot holds the same value, none being near the floor).
    result = round(acc);
    return true;
  }
  if (!(std::fabs(residual.c) <= kMaxDouble && residual.e <= kMaxDouble)) return false;
  const double bound =
      (2.0 * static_cast<double>(lanes.terms) * 0x1p-53) * magnitudesForBound(residual.e) + floorMargin(lanes, n);
  if (acc.addsLeft == 0) carryPropagate(acc);
  acc.addsLeft -= 1;
  deposit(acc, residual.c);
  const double nearest = round(acc);  // normalises: addsLeft is kAddsAfterCarry again
  if (!isFinite(nearest)) return false;
  acc.addsLeft -= 1;
  deposit(acc, -nearest);
  const double rest = round(acc);
  const LaneSums total{nearest, rest, std::fabs(rest)};
  double candidate;
  if (decide(total, 1.0, bound, candidate) != Verdict::Nearest) return false;
  if (!floorAllows(lanes, candidate)) return false;
  result = candidate;
  return true;
}

// The products a dot product's block leaves to the register (lanes.nearFloor: both
// factors finite, H = floor(bits|a| / 2) + floor(bits|b| / 2) in [970 2^51, 1130 2^51),
// certifiedsum_kernels.h), deposited as the register deposits a product (the bits of
// 2^-1075 and above of Q = Mx My 2^h, five 32-bit words from limb l = floor(t / 32), t =
// ex + ey - 1075), but into a window of limbs -4 .. 5 first, without a branch: one such
// deposit at a time took some 60 cycles, its test of each word's limb against 0 going
// either way at random. (The register's own element step, depositFiniteProduct, which
// takes any t and so shifts the product right by the floor's cut first, made the pass on
// data spread over the whole range 1.2 to 1.5 times slower than this window, whose four
// lowest limbs hold what the floor drops.) The band's fields add up to at least 969 (A + B >= 2 H >= 970
// 2^52, fractions below 1 each; a subnormal counts as position 1, its field 0) and at
// most 1130 (A + B <= 2 H + 2), so t lies in [-106, 55] and l in [-4, 1]; a zero factor
// adds Mx My = 0. The words below limb 0 (weight below 2^-1075) are the floor's and are
// dropped with the window. Each word is below 2^32 and a block holds at most
// kExtractionBlock = 2^11 products, so every limb of the window stays below 2^43 in
// magnitude, within one deposit's bound (2^52): the window goes into the register as one
// counted deposit.
struct FloorWindow {
  static constexpr int kBelow = 4;  // limbs -4 .. -1, the floor's
  static constexpr int kLimbs = kBelow + 6;
  // The positive products' words and the negative ones', apart (no negation per word),
  // side by side: limbs[k][sign]. (Sign by sign, a product's four lowest words sat in two
  // 16-byte halves that the compiler added as vectors, and the next product's, a limb
  // apart, read them back across two such stores, which the store buffer cannot forward.)
  int64_t limbs[kLimbs][2] = {};
};

inline void addToWindow(FloorWindow& w, double a, double b) {
  const uint64_t ua = bitsOf(a), ub = bitsOf(b);
  uint64_t ma, mb, ea, eb;
  significandAndPosition(ua, exponentField(ua), ma, ea);
  significandAndPosition(ub, exponentField(ub), mb, eb);
  const uint128 product = static_cast<uint128>(ma) * mb;
  const int64_t t = static_cast<int64_t>(ea + eb) - kFieldOffset;
  // Q = product 2^h in 64-bit halves (h < 32; the product's high half is below 2^42): the
  // low half shifted, the high half shifted with the low half's top bits, and the bits
  // of the high half shifted past 2^128 (two shifts, so that h = 0 shifts by 64 in none).
  const unsigned h = static_cast<unsigned>(t & 31);
  const uint64_t low = static_cast<uint64_t>(product), high = static_cast<uint64_t>(product >> 64);
  const uint64_t q0 = low << h;
  const uint64_t q1 = (high << h) | ((low >> 1) >> (63 - h));
  const uint64_t q2 = (high >> 1) >> (63 - h);
  int64_t* at = &w.limbs[FloorWindow::kBelow + (t >> 5)][(ua ^ ub) >> 63];
  at[0] += static_cast<int64_t>(q0 & kLimbMask);
  at[2] += static_cast<int64_t>(q0 >> 32);
  at[4] += static_cast<int64_t>(q1 & kLimbMask);
  at[6] += static_cast<int64_t>(q1 >> 32);
  at[8] += static_cast<int64_t>(q2);
}

// The positions of the set bits of each byte value, in order, a byte each (zeros after
// them), and how many.
struct BitPositions {
  uint8_t at[256][8] = {};
  uint8_t count[256] = {};
};
constexpr BitPositions kBitPositions = [] {
  BitPositions p;
  for (int b = 0; b < 256; ++b) {
    for (int l = 0; l < 8; ++l) {
      if ((b >> l) & 1) p.at[b][p.count[b]++] = static_cast<uint8_t>(l);
    }
  }
  return p;
}();

// The indices within a chunk of kMarkChunk elements of those its marks (lanes.nearFloor,
// from the chunk's first byte) mark, in order, into at[0 .. count - 1]; returns count. A
// byte of marks at a time, without a branch: its positions from the table, moved by the
// byte's place (8 j + l <= 255, so no byte carries into the next), written whole at count
// <= 8 j (within at) and overwritten from count on. (A loop over the set bits of each
// word, its exit going either way at random, made the pass on products of wide data
// divided by their largest magnitude some 5% slower than a list of indices.)
constexpr int64_t kMarkChunk = 256;
int64_t markedIndices(const uint8_t* marks, uint8_t (&at)[kMarkChunk]) {
  int64_t count = 0;
  for (int64_t j = 0; j < kMarkChunk / 8; ++j) {
    uint64_t positions;
    std::memcpy(&positions, kBitPositions.at[marks[j]], sizeof positions);
    positions += 0x0101010101010101u * static_cast<uint64_t>(8 * j);
    std::memcpy(at + count, &positions, sizeof positions);
    count += kBitPositions.count[marks[j]];
  }
  return count;
}

void depositWindow(SuperAccumulator& acc, const FloorWindow& w) {
  if (acc.addsLeft == 0) carryPropagate(acc);
  acc.addsLeft -= 1;
  for (int k = 0; k + FloorWindow::kBelow < FloorWindow::kLimbs; ++k)
    acc.limbs[k] += w.limbs[k + FloorWindow::kBelow][0] - w.limbs[k + FloorWindow::kBelow][1];
}

// The pass over blocks: block(start, len, ahead, lanes, levels) extracts one, and
// nearFloor(acc, start, lanes) deposits into the register the products it left for it
// (lanes.nearFloor; none for sums). A call whose blocks were shortened (fewer levels or a
// higher anchor than their own, certifiedsum_kernels.h) and whose bound then does not
// decide runs once more with all levels on scanned blocks, which decides what that run
// would have decided alone. One block with nothing left for the register is decided
// without one.
template <int Count, typename Block, typename NearFloor>
bool extractedPassOnce(int64_t n, bool allLevels, bool guarded, Block block, NearFloor nearFloor, double& result,
                       bool& shortened) {
  ExtractionLanes lanes;
  lanes.allLevels = allLevels;
  lanes.guarded = guarded;
  alignas(64) uint8_t nearFloorBits[ExtractionLanes::kNearFloorBytes];
  lanes.nearFloor = nearFloorBits;
  double levels[Count];
  int64_t len = n < kExtractionBlock ? n : kExtractionBlock;
  if (!block(0, len, n - len, lanes, levels)) return false;
  if (len == n && !lanes.nearFloorMet) {
    shortened = lanes.shortened;
    return decideOneBlock(lanes, levels, Count, n, result);
  }
  SuperAccumulator acc;
  initialize(acc);
  for (int64_t start = 0;;) {
    if (acc.addsLeft < Count) carryPropagate(acc);
    acc.addsLeft -= Count;
    for (const double t : levels) {
      if (!isFinite(t)) return false;  // a NaN reached the levels
      deposit(acc, t);
    }
    nearFloor(acc, start, lanes);
    start += len;
    if (start >= n) break;
    len = n - start < kExtractionBlock ? n - start : kExtractionBlock;
    if (!block(start, len, n - start - len, lanes, levels)) return false;
  }
  shortened = lanes.shortened;
  return decideInRegister(acc, lanes, n, result);
}

// guarded: the blocks run under the dot product's guard from the first on.
template <int Count, typename Block, typename NearFloor>
bool extractedPass(int64_t n, bool guarded, Block block, NearFloor nearFloor, double& result) {
  if (n <= 0 || n > kCertifiedDotMaxLength) return false;
  static_assert(int64_t{1} << 31 == kCertifiedDotMaxLength, "m u <= 2^-20 for the residuals of every length");
  bool shortened = false;
  if (extractedPassOnce<Count>(n, false, guarded, block, nearFloor, result, shortened)) return true;
  return shortened && extractedPassOnce<Count>(n, true, guarded, block, nearFloor, result, shortened);
}

// Whether some of kGuardSample elements spread over the first block has a product that
// may lie below 2^-916 (the guard's test) with both factors non-zero: the first block's
// scan then runs under the guard, whose test costs it more than its products (a scan
// without it forms every such product, a microcode assist each on some processors).
// Calls of one block are left without: the scan's few products are theirs either way.
constexpr int64_t kGuardSample = 8;
bool firstBlockNearFloor(const double* x, const double* y, int64_t n) {
  if (n <= kExtractionBlock) return false;
  bool nearFloor = false;
  for (int64_t k = 0; k < kGuardSample; ++k) {
    const int64_t i = k * kExtractionBlock / kGuardSample;
    nearFloor |= halvedBits(x[i], y[i]) < static_cast<uint64_t>(kGuardKeptFrom) && x[i] != 0.0 && y[i] != 0.0;
  }
  return nearFloor;
}

}  // namespace

bool extractedSum(const double* x, int64_t n, double& result) {
  const ExtractionKernel kernel = extractionSumImpl.get();
  return extractedPass<kExtractionLevels>(
      n, false,
      [&](int64_t start, int64_t len, int64_t ahead, ExtractionLanes& lanes, double* levels) {
        return kernel(x + start, len, ahead, lanes, levels);
      },
      [](SuperAccumulator&, int64_t, const ExtractionLanes&) {}, result);
}

bool extractedDot(const double* x, const double* y, int64_t n, double& result) {
  const ExtractionDotKernel kernel = extractionDotImpl.get();
  return extractedPass<kExtractionDotLevels>(
      n, firstBlockNearFloor(x, y, n),
      [&](int64_t start, int64_t len, int64_t ahead, ExtractionLanes& lanes, double* levels) {
        return kernel(x + start, y + start, len, ahead, lanes, levels);
      },
      [&](SuperAccumulator& acc, int64_t start, const ExtractionLanes& lanes) {
        if (!lanes.nearFloorMet) return;
        FloorWindow window;
        for (int64_t chunk = 0; chunk < kExtractionBlock; chunk += kMarkChunk) {
          uint8_t at[kMarkChunk];
          const int64_t count = markedIndices(lanes.nearFloor + chunk / 8, at);
          for (int64_t k = 0; k < count; ++k) {
            const int64_t i = start + chunk + at[k];
            addToWindow(window, x[i], y[i]);
          }
        }
        depositWindow(acc, window);
      },
      result);
}

int64_t extractionOnlyFrom() {
  return extractionSumImpl.get() == SELA_X86_KERNEL(extractionSumBlockAvx512) ? kExtractionOnlyFromAvx512
                                                                              : kExtractionOnlyFromAvx2;
}

bool certifiedDotAdd(CertifiedDotLanes& lanes, const double* x, const double* y, int64_t n) {
  return certifiedDotImpl.get()(x, n, y, lanes);
}

bool certifiedCenteredAdd(CertifiedDotLanes& lanes, const double* x, const double* y, int64_t n, double cx,
                          double cy) {
  return certifiedCenteredImpl.get()(x, n, y, cx, cy, lanes);
}

// The lanes of the vector pass, merged: their C and E partial sums added to the totals
// (a tree over the same terms), then their S merged by TwoSums, whose errors are further
// terms. m counts all of them, and must stay within m u <= 2^-20.
//
// What is wanted is superDot's value: F, the sum of the products each cut toward zero to a
// multiple of 2^-1075 (the product floor), rounded to nearest when |F| >= 2^-1022 and cut
// by its own rule below. T, the exact sum the lanes hold, is the sum of h + r over the
// products with r as the fused multiply-add returned it.
// - A product of |h| >= 2^-916 or with a zero factor is split exactly, and all its bits
//   lie at 2^-1022 or above: it adds the same to T and to F.
// - Any other product (flagged) has r rounded by at most 2^-1075: its exact remainder is
//   a multiple of 2^-1074 unless the product has bits below 2^-1074, which needs h below
//   2^-968, and then |r| < 2^-1021 is rounded on the subnormal grid (an h that itself
//   underflowed leaves r = fl(p - h), below 2^-1074 in magnitude). The floor removes less
//   than 2^-1075 more. So |T - F| < n 2^-1074.
// - A product left out of the lanes (droppedProducts) adds 0 to T, and to F what the floor
//   keeps of it, less than |a b| < 2^-915. With such products |T - F| < n 2^-915 (each
//   element adds to |T - F| less than 2^-915 or less than 2^-1074).
// Without flagged or dropped products T = F, a multiple of 2^-1022: a non-zero F is at
// least 2^-1022 and rounds to nearest, a zero F is +0.0 as decide gives it. With them, the
// margin grows by n 2^-1074 or n 2^-915 (exact for n < 2^53), and the result must be at
// least 2^-1021: F then lies within half a gap of it, above 2^-1022, and rounds to it.
bool certifiedDotResult(const CertifiedDotLanes& lanes, int64_t n, double& result) {
  if (n <= 0 || n > kCertifiedDotMaxLength || lanes.lanes == 0) return false;
  LaneSums total;
  for (int l = 0; l < lanes.lanes; ++l) {
    total.c = total.c + lanes.c[l];
    total.e = total.e + lanes.e[l];
  }
  for (int l = 0; l < lanes.lanes; ++l) laneAdd(total, lanes.s[l]);
  const double m = static_cast<double>(lanes.terms + lanes.lanes);
  if (!(m <= 0x1p33)) return false;  // m u <= 2^-20 (chunks padded to whole blocks count)
  static_assert(2 * (kCertifiedDotMaxLength + 2 * CertifiedDotLanes::kMaxLanes) + CertifiedDotLanes::kMaxLanes <=
                    (int64_t{1} << 33),
                "a single pass over kCertifiedDotMaxLength elements stays within the bound");
  const double perProduct = lanes.droppedProducts ? 0x1p-915 : lanes.tinyProducts ? 0x1p-1074 : 0.0;
  // n 2^-1074 is the subnormal double whose bit pattern is n (n < 2^52): formed as a product
  // it is a subnormal result of normal operands, which took a microcode assist on an Intel
  // Xeon on every call with such products (half of this function's time on short dots of
  // values divided by their largest magnitude). The same double either way.
  static_assert(kCertifiedDotMaxLength < (int64_t{1} << kMantissaBits));
  const double extra = lanes.droppedProducts ? static_cast<double>(n) * perProduct
                                             : fromBits(lanes.tinyProducts ? static_cast<uint64_t>(n) : 0);
  double candidate;
  if (decide(total, m, extra, candidate) != Verdict::Nearest) return false;
  if (perProduct != 0.0 && !(std::fabs(candidate) >= 0x1p-1021)) return false;
  result = candidate;
  return true;
}

bool certifiedDot(const double* x, const double* y, int64_t n, double& result) {
  if (n <= 0 || n > kCertifiedDotMaxLength) return false;
  CertifiedDotLanes lanes;
  return certifiedDotAdd(lanes, x, y, n) && certifiedDotResult(lanes, n, result);
}

bool certifiedDotGuarded(const double* x, const double* y, int64_t n, double& result) {
  if (n <= 0 || n > kCertifiedDotMaxLength) return false;
  // Lanes that already left out products run guarded throughout (certifiedsum_kernels.h).
  // Marking them so before any is left out only widens the bound: n 2^-915 still bounds
  // what the floor keeps of those actually left out, none or more.
  CertifiedDotLanes lanes;
  lanes.droppedProducts = true;
  return certifiedDotAdd(lanes, x, y, n) && certifiedDotResult(lanes, n, result);
}

bool certifiedCentered(const double* x, const double* y, int64_t n, double cx, double cy, double& result) {
  if (n <= 0 || n > kCertifiedDotMaxLength) return false;
  CertifiedDotLanes lanes;
  return certifiedCenteredAdd(lanes, x, y, n, cx, cy) && certifiedDotResult(lanes, n, result);
}

}  // namespace sela
