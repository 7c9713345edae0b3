#include "algorithms/certifiedsum.h"

#include "algorithms/sse2_intrinsics.h"

#include <algorithm>
#include <cmath>
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

using SumLanesKernel = bool (*)(const double*, int64_t, CertifiedDotLanes&);
constinit KernelSlot<SumLanesKernel> certifiedSumImpl{
    {declineSumLanes, SELA_X86_KERNEL(certifiedSumLanesAvx2), SELA_X86_KERNEL(certifiedSumLanesAvx512)}};
using DotLanesKernel = bool (*)(const double*, int64_t, const double*, CertifiedDotLanes&);
using CenteredLanesKernel = bool (*)(const double*, int64_t, const double*, double, double, CertifiedDotLanes&);
constinit KernelSlot<DotLanesKernel> certifiedDotImpl{
    {declineDotLanes, SELA_X86_KERNEL(certifiedDotLanesAvx2), SELA_X86_KERNEL(certifiedDotLanesAvx512)}};
constinit KernelSlot<CenteredLanesKernel> certifiedCenteredImpl{
    {declineCenteredLanes, SELA_X86_KERNEL(certifiedCenteredLanesAvx2), SELA_X86_KERNEL(certifiedCenteredLanesAvx512)}};

using ExtractionKernel = bool (*)(const double*, int64_t, int64_t, ExtractionLanes&, double*);
bool declineExtraction(const double*, int64_t, int64_t, ExtractionLanes&, double*) { return false; }
constinit KernelSlot<ExtractionKernel> extractionSumImpl{
    {declineExtraction, SELA_X86_KERNEL(extractionSumBlockAvx2), SELA_X86_KERNEL(extractionSumBlockAvx512)}};
using ExtractionDotKernel = bool (*)(const double*, const double*, int64_t, int64_t, ExtractionLanes&, double*);
bool declineExtractionDot(const double*, const double*, int64_t, int64_t, ExtractionLanes&, double*) { return false; }
constinit KernelSlot<ExtractionDotKernel> extractionDotImpl{
    {declineExtractionDot, SELA_X86_KERNEL(extractionDotBlockAvx2), SELA_X86_KERNEL(extractionDotBlockAvx512)}};

constexpr double kMaxDouble = std::numeric_limits<double>::max();

struct LaneSums {
  double s = 0.0;  // sum of the high parts
  double c = 0.0;  // rounded sum of the error terms
  double e = 0.0;  // rounded sum of their magnitudes
};

// TwoSum of the accumulated s and x, the error into c and its magnitude into e.
inline void laneAdd(LaneSums& l, double x) {
  const SumAndError ts = twoSum(l.s, x);
  l.s = ts.s;
  l.c = l.c + ts.e;
  l.e = l.e + std::fabs(ts.e);
}

enum class Verdict {
  Nearest,    // the candidate is the exact value rounded to nearest
  Undecided,  // finite, but the bound does not separate the candidate from a neighbour
  Declined,   // an infinity, a NaN or an overflow somewhere, or E too small to bound
};

// The decision shared by both routes. The exact value is T = S + sum(t) over m error terms
// t, each an exact TwoSum error or an exact product remainder; C is their rounded sum
// added up in any binary tree (m leaves, so no term passes through more than m - 1
// roundings) and E the rounded sum of their magnitudes in a tree of the same kind. Then
// |C - sum(t)| <= gamma(m-1) sum|t| and sum|t| <= E / (1 - gamma(m-1)), gamma(k) =
// k u / (1 - k u), u = 2^-53. With m u <= 2^-20 both factors are within 1 + 2^-19 of m u
// and 1, so |C - sum(t)| < B = 2 m u E, and B is computed with one rounding of a normal
// product (E is 0 or at least 2^-960, and 2 m u E is then at least 2^-1012 for m >= 1).
// res = fl(S + C) with exact error d (TwoSum) leaves |T - res| <= |d| + B. If |d| + B is
// below half the distance to the nearer neighbour of res, strictly, T is nearer to res
// than to any other double, ties excluded, and res is the correctly rounded value. A zero
// res then means |T| < 2^-1075, below every non-zero value either route can produce (its
// terms are multiples of 2^-1074), so T = 0, whose rounding is +0.0.
// `extra` is a further bound on |T - the value wanted|, added to the margin.
Verdict decide(const LaneSums& total, double m, double extra, double& candidate) {
  if (!(std::fabs(total.s) <= kMaxDouble && std::fabs(total.c) <= kMaxDouble && total.e <= kMaxDouble)) {
    return Verdict::Declined;
  }
  if (total.e != 0.0 && total.e < 0x1p-960) return Verdict::Declined;
  const double bound = (2.0 * m * 0x1p-53) * total.e;
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

// Whether every addition into C of the sum route was exact, so that T = S + C exactly
// and res = fl(S + C) is T correctly rounded, ties included. All the values involved --
// the elements, the lane sums, the errors and every partial sum of C -- are integer
// multiples of g, the least significant bit of the smallest-grained element (sums and
// exact differences of multiples of g are multiples of g, and so is a rounded sum, whose
// unit in the last place is then at least g). A partial sum of C is at most sum|err| in
// magnitude, below E (1 + 2^-39) (E being their rounded sum, with m u <= 2^-30); when
// that is below 2^53 g every partial sum is a multiple of g below 2^53 g, a double, and
// no addition rounded. This settles exact midpoints of data with few significant bits.
//
// In exponents: with e's bound E' = E (1 + 2^-39) (finite, as E is 0 or at least 2^-960
// and at most DBL_MAX), E' < 2^(k + 53) exactly when k >= ilogb(E') - 52; and 2^(k + 53)
// lies beyond every finite E' once k >= 971. So every element's lowest set bit must lie at
// 2^need or above: the scan stops at the first one below, which on data with full-width
// significands is the first element.
bool errorsSummedExactly(const double* x, int64_t n, double e) {
  if (e == 0.0) return true;  // nothing to round
  const double bound = e * (1.0 + 0x1p-39);
  const int need = std::isinf(bound) ? 971 : std::min(std::ilogb(bound) - 52, 971);
  for (int64_t i = 0; i < n; ++i) {
    const uint64_t u = bitsOf(x[i]) & ~kSignMask;
    if (u == 0) continue;
    const auto biased = static_cast<int>(u >> kMantissaBits);
    uint64_t m = u & kMantissaMask;
    if (biased != 0) m |= kHiddenBit;
    const int lowest = (biased == 0 ? -1074 : biased - 1075) + __builtin_ctzll(m);
    if (lowest < need) return false;
  }
  return true;
}

}  // namespace

// Four lanes (two SSE2 registers) and one scalar lane each run TwoSum on their elements;
// the five lane sums are then merged by four more TwoSums: m <= n + 4 error terms, which
// n + 4 <= 2^23 keeps within m u <= 2^-30 (decide needs 2^-20, errorsSummedExactly the
// tighter bound).
bool certifiedNearest(const double* x, int64_t n, double& result) {
  if (n < 2 || n > kCertifiedSumMaxLength) return false;
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
    c0 = _mm_add_pd(c0, r0);
    c1 = _mm_add_pd(c1, r1);
    e0 = _mm_add_pd(e0, _mm_andnot_pd(signBit, r0));
    e1 = _mm_add_pd(e1, _mm_andnot_pd(signBit, r1));
    s0 = t0;
    s1 = t1;
  }
  LaneSums total;
  for (; i < n; ++i) laneAdd(total, x[i]);
  // The merge as a tree: the two registers lane by lane (one vector TwoSum), then the two
  // halves into the scalar lane.
  const __m128d u = _mm_add_pd(s0, s1);
  const __m128d z = _mm_sub_pd(u, s0);
  const __m128d f = _mm_add_pd(_mm_sub_pd(s0, _mm_sub_pd(u, z)), _mm_sub_pd(s1, z));
  const __m128d c = _mm_add_pd(_mm_add_pd(c0, c1), f);
  const __m128d e = _mm_add_pd(_mm_add_pd(e0, e1), _mm_andnot_pd(signBit, f));
  total.c = total.c + (lowLane(c) + highLane(c));
  total.e = total.e + (lowLane(e) + highLane(e));
  laneAdd(total, lowLane(u));
  laneAdd(total, highLane(u));
  double candidate;
  switch (decide(total, static_cast<double>(n + 4), 0.0, candidate)) {
    case Verdict::Declined:
      return false;
    case Verdict::Undecided:
      if (!errorsSummedExactly(x, n, total.e)) return false;
      break;
    case Verdict::Nearest:
      break;
  }
  result = candidate;
  return true;
}

// The lanes hold S and the error terms of the exact sum of the elements exactly as they
// would for products with zero remainders and no flagged product, so certifiedDotResult's
// decision applies unchanged: its value is the exact sum rounded to nearest, as round
// gives it (no product floor is involved; a zero sum is +0.0).
bool certifiedSum(const double* x, int64_t n, double& result) {
  if (n < kCertifiedVectorSumFrom) return certifiedNearest(x, n, result);
  CertifiedDotLanes lanes;
  if (n > kCertifiedDotMaxLength || !certifiedSumImpl.get()(x, n, lanes)) {
    return n < kCertifiedScalarSumBelow && certifiedNearest(x, n, result);
  }
  return certifiedDotResult(lanes, n, result);
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
// of it, exact when subnormal: the register holds only sums of doubles): decide on v + d
// with the one term d and B as the extra margin gives T's rounding when it is the same
// for every value within B of R'.
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
  if (residual.e != 0.0 && residual.e < 0x1p-960) return false;
  const double bound = (2.0 * static_cast<double>(lanes.terms) * 0x1p-53) * residual.e + floorMargin(lanes, n);
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

// The pass over blocks: block(start, len, ahead, lanes, levels) extracts one.
template <int Count, typename Block>
bool extractedPass(int64_t n, Block block, double& result) {
  if (n <= 0 || n > kCertifiedDotMaxLength) return false;
  static_assert(int64_t{1} << 31 == kCertifiedDotMaxLength, "m u <= 2^-20 for the residuals of every length");
  ExtractionLanes lanes;
  double levels[Count];
  if (n <= kExtractionBlock) return block(0, n, 0, lanes, levels) && decideOneBlock(lanes, levels, Count, n, result);
  SuperAccumulator acc;
  initialize(acc);
  for (int64_t start = 0; start < n; start += kExtractionBlock) {
    const int64_t len = n - start < kExtractionBlock ? n - start : kExtractionBlock;
    if (!block(start, len, n - start - len, lanes, levels)) return false;
    if (acc.addsLeft < Count) carryPropagate(acc);
    acc.addsLeft -= Count;
    for (const double t : levels) {
      if (!isFinite(t)) return false;  // a NaN reached the levels
      deposit(acc, t);
    }
  }
  return decideInRegister(acc, lanes, n, result);
}

}  // namespace

bool extractedSum(const double* x, int64_t n, double& result) {
  const ExtractionKernel kernel = extractionSumImpl.get();
  return extractedPass<kExtractionLevels>(
      n,
      [&](int64_t start, int64_t len, int64_t ahead, ExtractionLanes& lanes, double* levels) {
        return kernel(x + start, len, ahead, lanes, levels);
      },
      result);
}

bool extractedDot(const double* x, const double* y, int64_t n, double& result) {
  const ExtractionDotKernel kernel = extractionDotImpl.get();
  return extractedPass<kExtractionDotLevels>(
      n,
      [&](int64_t start, int64_t len, int64_t ahead, ExtractionLanes& lanes, double* levels) {
        return kernel(x + start, y + start, len, ahead, lanes, levels);
      },
      result);
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
// Without flagged products T = F, a multiple of 2^-1022: a non-zero F is at least
// 2^-1022 and rounds to nearest, a zero F is +0.0 as decide gives it. With them, the
// margin grows by n 2^-1074 (exact for n < 2^53), and the result must be at least 2^-1021:
// F then lies within half a gap of it, above 2^-1022, and rounds to it.
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
  const double floorError = lanes.tinyProducts ? static_cast<double>(n) * 0x1p-1074 : 0.0;
  double candidate;
  if (decide(total, m, floorError, candidate) != Verdict::Nearest) return false;
  if (lanes.tinyProducts && !(std::fabs(candidate) >= 0x1p-1021)) return false;
  result = candidate;
  return true;
}

bool certifiedDot(const double* x, const double* y, int64_t n, double& result) {
  if (n <= 0 || n > kCertifiedDotMaxLength) return false;
  CertifiedDotLanes lanes;
  return certifiedDotAdd(lanes, x, y, n) && certifiedDotResult(lanes, n, result);
}

bool certifiedCentered(const double* x, const double* y, int64_t n, double cx, double cy, double& result) {
  if (n <= 0 || n > kCertifiedDotMaxLength) return false;
  CertifiedDotLanes lanes;
  return certifiedCenteredAdd(lanes, x, y, n, cx, cy) && certifiedDotResult(lanes, n, result);
}

}  // namespace sela
