// Chains of additions and subtractions run on their elements times 2^52, for data at the
// bottom of the range. Shared by the condition number and the compensated sums.
//
// Why. On Intel processors a sum of two normal operands whose result is subnormal takes a
// microcode assist (some 30 to 50 ns; the library leaves the flush-to-zero modes alone), as
// does a product with a subnormal factor; a sum with a subnormal operand does not. Where a
// running sum stays below 2^-969, TwoSum's z = t - s of two normal running sums is
// subnormal for most elements, and a compensated sum over subnormal data ran 30 to 60
// times slower than over normal data.
//
// Why the bits stay. Every double is a multiple of 2^-1074, so every quantity of such a
// chain is one, and times 2^52 a multiple of 2^-1022: a normal double when not zero. Lifted,
// no addition has a subnormal operand or result.
// - Lifting commutes with each addition and subtraction. The exact a + b of two doubles is
//   a multiple of 2^-1074; below 2^-1022 in magnitude it is a double, and 2^52 (a + b), a
//   multiple of 2^-1022 below 2^-970, is one too: both exact. Otherwise both are rounded to
//   53 significant bits, which commutes with a power-of-two factor while nothing
//   overflows. Exact zeros come out alike, with the same signs (the same operand signs);
//   |x| and comparisons of two quantities commute. Operation by operation, in order, every
//   lifted value is 2^52 times the plain one.
// - Overflow shows at the end. An infinity or a NaN operand of an addition gives an
//   infinity or a NaN, so in a chain whose every intermediate reaches a value carried to
//   the end (a running sum, a compensation), one overflowing operation, or one element
//   that lifts to +-inf (|x| >= 2^972), an infinity or a NaN, leaves a carried value
//   non-finite. Carried values all finite at the end prove that no lifted operation
//   overflowed, hence that each is 2^52 times the plain one, and that the plain chain saw
//   only finite values (its guards held wherever the lifted ones did). Otherwise the plain
//   chain runs again, and its result stands.
// - The way back. A result the plain chain forms is a double r; lifted it is 2^52 r, and
//   2^52 r * 2^-52 is r exactly (a subnormal r included), with its sign, zeros' included.
//
// Which arrays: those whose sampled elements all lie below 2^-959 (allLow). The lifted
// chains are exact on any data; only their speed depends on the judgement. Where some
// elements reach 2^-959 the running sums mostly lie far above 2^-969, where TwoSum's z and
// errors are rarely subnormal: subnormal data with one element in four normal ran plain at
// the pace of normal data.
#pragma once

#include <cstdint>

#include "algorithms/binary64.h"
#include "algorithms/sse2_intrinsics.h"
#include "algorithms/vector_ops_sse2.h"

namespace sela {

namespace {

// The elements x times 2^52, exact, lane by lane. Multiplying a subnormal would take an
// assist, so subnormals and zeros (|x| < 2^-1022) are first raised by 2^-1022, exactly (a
// normal sum below 2^-1021, on the grid of 2^-1074), multiplied then, and lowered by
// 2^-970 = 2^-1022 2^52: the difference |x| 2^52 is a multiple of 2^-1022, a normal double
// or +0, exact. Other magnitudes are multiplied alone: exact below 2^972, +inf from there
// (the chain then ends non-finite), a NaN staying a NaN. The sign is x's own, zeros'
// included. (For operation sets whose masks are lanes of all ones: SSE2 and AVX.)
template <typename Ops>
inline typename Ops::V liftedElements(typename Ops::V x) {
  using V = typename Ops::V;
  const V a = Ops::abs(x);
  const V low = Ops::less(a, Ops::set1(0x1p-1022));
  const V raised = Ops::add(a, Ops::bitAnd(low, Ops::set1(0x1p-1022)));
  const V lifted = Ops::sub(Ops::mul(raised, Ops::set1(0x1p52)), Ops::bitAnd(low, Ops::set1(0x1p-970)));
  return Ops::bitOr(lifted, Ops::bitAnd(x, Ops::set1(-0.0)));
}

}  // namespace

// Arrays up to this length are judged by their ends alone (allLow).
constexpr int64_t kLowJudgedByEnds = 64;

// Whether x[0 .. n-1] (n >= 1) looks low enough to run lifted: the exponent fields of
// eight sampled elements (of the two ends for n <= kLowJudgedByEnds) all below 64, that
// is magnitudes below 2^-959. Read with integer operations.
bool allLow(const double* values, int64_t n);

// The shortest array a compensated sum runs lifted. Shorter subnormal sums keep their
// running sums mostly subnormal, where TwoSum takes few assists: at 16 elements the plain
// chains ran 1.2 to 1.35 times faster than the lifted ones (at 32, 1.5 to 2 times slower).
constexpr int64_t kLiftMinimum = 32;

// Whether the exponent fields of eight elements spread over x[0 .. n-1] (n >= 1) all lie
// below 64: magnitudes below 2^-959.
bool sampledLow(const double* values, int64_t n);

// Whether a compensated sum runs x[0 .. n-1] lifted: n >= kLiftMinimum and eight sampled
// elements low (at every length; judged by their ends, short chains ran lifted on
// subnormal data with one element in four normal, whose plain chains take no assist, 1.3
// to 1.6 times slower, and reading them whole cost 10 to 25% on the same data).
inline bool liftPays(const double* values, int64_t n) { return n >= kLiftMinimum && sampledLow(values, n); }

// x times 2^52 (liftedElements), one element.
inline double liftedElement(double x) { return _mm_cvtsd_f64(liftedElements<Sse2Ops>(_mm_set_sd(x))); }

// out[i] = x[i] times 2^52 (liftedElements), two at a time (out holds n, may not be x).
inline void liftElements(const double* x, int64_t n, double* out) {
  int64_t i = 0;
  for (; i + 2 <= n; i += 2) Sse2Ops::store(out + i, liftedElements<Sse2Ops>(_mm_loadu_pd(x + i)));
  if (i < n) out[i] = liftedElement(x[i]);
}

// A lifted chain's result brought back: 2^-52 times it, exact for every result a lifted
// chain forms (see above). Where that is subnormal (|lifted| < 2^-970) the product would
// take an assist (some 40 ns, more than a short chain): lifted is then k 2^-1022 with an
// integer k < 2^52, and k is the bit pattern of |lifted| 2^-52 = k 2^-1074; it is the
// significand field of |lifted| + 2^-970 (a normal sum, exact: 2^-970 has an ulp of
// 2^-1022). The sign is lifted's own, zeros' included.
inline double lowered(double lifted) {
  const uint64_t sign = bitsOf(lifted) & kSignMask;
  const double a = fromBits(bitsOf(lifted) & ~kSignMask);
  if (!(a < 0x1p-970)) return lifted * 0x1p-52;
  return fromBits((bitsOf(a + 0x1p-970) - bitsOf(0x1p-970)) | sign);
}

// Elements lifted per block of liftedBlocks. Small, so that a block's lifting overlaps the
// chain's latency on the previous block within the processor's window: Neumaier's sum on
// subnormal data took 1.38 ns per element with blocks of 32, 1.48 with 64 or 256 (1.03
// on normal data), on a Granite Rapids Xeon.
constexpr int64_t kLiftBlock = 32;

// Calls steps(block, len) on x[0 .. n-1] lifted, in order, kLiftBlock elements at a time
// (len >= 1): a chain continued block after block sees the lifted elements in index order.
template <typename Steps>
inline void liftedBlocks(const double* x, int64_t n, Steps&& steps) {
  alignas(16) double block[kLiftBlock];
  for (int64_t start = 0; start < n; start += kLiftBlock) {
    const int64_t len = n - start < kLiftBlock ? n - start : kLiftBlock;
    liftElements(x + start, len, block);
    steps(static_cast<const double*>(block), len);
  }
}

}  // namespace sela
