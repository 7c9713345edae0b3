#include "algorithms/statistical_reductions.h"

#include "algorithms/sse2_intrinsics.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "algorithms/errorfree.h"
#include "algorithms/exactengine.h"
#include "algorithms/prefetch.h"
#include "algorithms/statistical_reductions_kernels.h"
#include "algorithms/subnormal_lift.h"
#include "algorithms/vector_ops_sse2.h"
#include "error_state.h"
#include "kernel_slot.h"

namespace sela {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr const char* kMeanMessage = "mean requires at least one value";
constexpr const char* kLengthsMessage = "centered vectors must have equal non-zero lengths";

inline bool isInfinite(double v) { return v == kInf || v == -kInf; }

bool holdsNaN(const double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    if (std::isnan(x[i])) return true;
  return false;
}

// x 2^1074 for lanes with |x| < 2^-1022: the significand field as an integer m, exact, as
// (2^52 + m) - 2^52 from the bits (2^52's exponent field ored in), x's sign restored.
inline __m128d integerSignificands(__m128d x) {
  const __m128d signBit = _mm_set1_pd(-0.0);
  const __m128d two52 = _mm_set1_pd(0x1p52);
  const __m128d m = _mm_sub_pd(_mm_or_pd(_mm_andnot_pd(signBit, x), two52), two52);
  return _mm_or_pd(m, _mm_and_pd(x, signBit));
}

// The three kinds of scale the blocks divide by.
enum class ScaleKind {
  Subnormal,  // below 2^-1022: every element of a block is subnormal or zero
  Low,        // in [2^-1022, 2^-511): no element is negligible, subnormal ones may come
  Normal,     // 2^-511 and above: elements below scale * 2^-511 are negligible
};

// Blocks of four elements while each block holds only elements with |x| <= scale (no NaN,
// no infinity, no new maximum), with scale > 0. Between two changes of the scale every
// quotient x[i] / scale is independent of the others, so the four divisions and squares
// of a block run in two-lane SSE2 operations (part of every x86-64 processor; each lane
// rounds exactly as the scalar operation does); only the additions into ssq form a chain,
// and they stay in element order. Zeros go through as quotients +-0.0 whose square +0.0
// leaves ssq >= 1 unchanged, as skipping them does. Returns the index of the first element
// not consumed: the start of a block that fails the test, or a tail of fewer than four.
//
// Subnormal elements. Plainly, a subnormal operand makes the division take a microcode
// assist on Intel processors (the norm of subnormal data ran at 18 ns per element, 0.6 on
// normal data), and so does a square that comes out subnormal. Such a quotient x / scale is
// formed from both operands scaled by one power of two instead: the same real number, so
// the same rounded quotient.
// - Subnormal scales (all of the block's elements then subnormal or zero): both times
//   2^1074, as integers below 2^52 (integerSignificands), normal doubles or zeros; the
//   quotient is 0 or at least 2^-52 with a normal square. The bound for negligible
//   elements is 0 for such scales (normStep), so none is skipped either way.
// - Low scales, for a block holding a subnormal element: both times 2^52 (liftedElements,
//   exact for every element: |x| <= scale < 2^-511), scale 2^52 a normal double. A
//   subnormal element's quotient is at least 2^-1074 / 2^-511 = 2^-563, normal; where it is
//   below 2^-511 its square, below 2^-1022, would come out subnormal (or zero). It is below
//   half an ulp of ssq >= 1 either way, so q * q + ssq rounds back to ssq, and +0.0 in its
//   place gives the same bits. A normal element's quotient exceeds 2^-1022 / 2^-511 =
//   2^-511 and stays as it is. Blocks of normal elements alone (all of them, on data
//   without subnormals) are divided plainly, with two comparisons more than at normal
//   scales: dividing every block of such data lifted took them from 0.61 to 1.19 ns an
//   element on an Intel Xeon.
// - Normal scales: negligible elements, below scale 2^-511 (subnormal ones among them),
//   become +0.0, exactly as in the element step.
template <ScaleKind kKind>
int64_t normBlocksAt(const double* x, int64_t i, int64_t n, NormState& st) {
  const __m128d signBit = _mm_set1_pd(-0.0);
  const __m128d scale = _mm_set1_pd(st.scale);
  const __m128d divisor = kKind == ScaleKind::Subnormal ? integerSignificands(scale) : scale;
  const __m128d liftedScale = _mm_set1_pd(kKind == ScaleKind::Low ? st.scale * 0x1p52 : 0.0);
  const __m128d minNormal = _mm_set1_pd(0x1p-1022);
  const __m128d leastSquared = _mm_set1_pd(0x1p-511);
  const __m128d negligible = _mm_set1_pd(st.negligible);
  // The quotient of a subnormal-holding block's vector at a low scale, as the element step
  // gives it or +0.0 where its square cannot move ssq.
  const auto liftedQuotients = [&](__m128d v) {
    const __m128d q = _mm_div_pd(liftedElements<Sse2Ops>(v), liftedScale);
    return _mm_andnot_pd(_mm_cmplt_pd(_mm_andnot_pd(signBit, q), leastSquared), q);
  };
  double ssq = st.ssq;
  for (; i + 4 <= n; i += 4) {
    const __m128d v0 = _mm_loadu_pd(x + i);
    const __m128d v1 = _mm_loadu_pd(x + i + 2);
    const __m128d a0 = _mm_andnot_pd(signBit, v0);
    const __m128d a1 = _mm_andnot_pd(signBit, v1);
    // |x| <= scale is false for a NaN, for an infinity and for a new maximum.
    const __m128d inRange = _mm_and_pd(_mm_cmple_pd(a0, scale), _mm_cmple_pd(a1, scale));
    if (_mm_movemask_pd(inRange) != 3) break;
    __m128d q0, q1;
    if constexpr (kKind == ScaleKind::Subnormal) {
      q0 = _mm_div_pd(integerSignificands(v0), divisor);
      q1 = _mm_div_pd(integerSignificands(v1), divisor);
    } else if constexpr (kKind == ScaleKind::Low) {
      const __m128d subnormal = _mm_or_pd(_mm_cmplt_pd(a0, minNormal), _mm_cmplt_pd(a1, minNormal));
      if (_mm_movemask_pd(subnormal) == 0) {
        q0 = _mm_div_pd(v0, divisor);
        q1 = _mm_div_pd(v1, divisor);
      } else {
        q0 = liftedQuotients(v0);
        q1 = liftedQuotients(v1);
      }
    } else {
      // Negligible elements become +0.0, exactly as in the element step.
      q0 = _mm_div_pd(_mm_andnot_pd(_mm_cmplt_pd(a0, negligible), v0), divisor);
      q1 = _mm_div_pd(_mm_andnot_pd(_mm_cmplt_pd(a1, negligible), v1), divisor);
    }
    const __m128d sq0 = _mm_mul_pd(q0, q0);
    const __m128d sq1 = _mm_mul_pd(q1, q1);
    ssq = _mm_cvtsd_f64(sq0) + ssq;
    ssq = _mm_cvtsd_f64(_mm_unpackhi_pd(sq0, sq0)) + ssq;
    ssq = _mm_cvtsd_f64(sq1) + ssq;
    ssq = _mm_cvtsd_f64(_mm_unpackhi_pd(sq1, sq1)) + ssq;
  }
  st.ssq = ssq;
  return i;
}

int64_t normBlocks(const double* x, int64_t i, int64_t n, NormState& st) {
  if (st.scale < 0x1p-1022) return normBlocksAt<ScaleKind::Subnormal>(x, i, n, st);
  if (st.scale < 0x1p-511) return normBlocksAt<ScaleKind::Low>(x, i, n, st);
  return normBlocksAt<ScaleKind::Normal>(x, i, n, st);
}

// normBlocks for two states at once, over the same positions of u and v: blocks are taken
// while both blocks pass their states' tests, and the two chains of additions (each in
// its element order, with normBlocks' operations) interleave, so one runs while the other
// waits on its latency. Returns the first position not consumed by both.
int64_t normBlocksPair(const double* u, const double* v, int64_t i, int64_t n, NormState& a, NormState& b) {
  const __m128d signBit = _mm_set1_pd(-0.0);
  const __m128d scaleA = _mm_set1_pd(a.scale);
  const __m128d scaleB = _mm_set1_pd(b.scale);
  const __m128d negligibleA = _mm_set1_pd(a.negligible);
  const __m128d negligibleB = _mm_set1_pd(b.negligible);
  double ssqA = a.ssq;
  double ssqB = b.ssq;
  for (; i + 4 <= n; i += 4) {
    const __m128d u0 = _mm_loadu_pd(u + i);
    const __m128d u1 = _mm_loadu_pd(u + i + 2);
    const __m128d v0 = _mm_loadu_pd(v + i);
    const __m128d v1 = _mm_loadu_pd(v + i + 2);
    const __m128d au0 = _mm_andnot_pd(signBit, u0);
    const __m128d au1 = _mm_andnot_pd(signBit, u1);
    const __m128d av0 = _mm_andnot_pd(signBit, v0);
    const __m128d av1 = _mm_andnot_pd(signBit, v1);
    const __m128d inRange = _mm_and_pd(_mm_and_pd(_mm_cmple_pd(au0, scaleA), _mm_cmple_pd(au1, scaleA)),
                                       _mm_and_pd(_mm_cmple_pd(av0, scaleB), _mm_cmple_pd(av1, scaleB)));
    if (_mm_movemask_pd(inRange) != 3) break;
    const __m128d qu0 = _mm_div_pd(_mm_andnot_pd(_mm_cmplt_pd(au0, negligibleA), u0), scaleA);
    const __m128d qu1 = _mm_div_pd(_mm_andnot_pd(_mm_cmplt_pd(au1, negligibleA), u1), scaleA);
    const __m128d qv0 = _mm_div_pd(_mm_andnot_pd(_mm_cmplt_pd(av0, negligibleB), v0), scaleB);
    const __m128d qv1 = _mm_div_pd(_mm_andnot_pd(_mm_cmplt_pd(av1, negligibleB), v1), scaleB);
    const __m128d su0 = _mm_mul_pd(qu0, qu0);
    const __m128d su1 = _mm_mul_pd(qu1, qu1);
    const __m128d sv0 = _mm_mul_pd(qv0, qv0);
    const __m128d sv1 = _mm_mul_pd(qv1, qv1);
    ssqA = _mm_cvtsd_f64(su0) + ssqA;
    ssqB = _mm_cvtsd_f64(sv0) + ssqB;
    ssqA = _mm_cvtsd_f64(_mm_unpackhi_pd(su0, su0)) + ssqA;
    ssqB = _mm_cvtsd_f64(_mm_unpackhi_pd(sv0, sv0)) + ssqB;
    ssqA = _mm_cvtsd_f64(su1) + ssqA;
    ssqB = _mm_cvtsd_f64(sv1) + ssqB;
    ssqA = _mm_cvtsd_f64(_mm_unpackhi_pd(su1, su1)) + ssqA;
    ssqB = _mm_cvtsd_f64(_mm_unpackhi_pd(sv1, sv1)) + ssqB;
  }
  a.ssq = ssqA;
  b.ssq = ssqB;
  return i;
}

}  // namespace

void normAdd(NormState& st, const double* x, int64_t n) {
  // Invariant: the squares seen so far sum to ssq * scale^2, and every term added to ssq
  // is (x[i] / scale)^2 <= 1, so nothing is ever squared at its own magnitude. A new
  // maximum rescales the old sum by (scale / a)^2 <= 1 and contributes exactly 1.
  //
  // Elements below scale * 2^-511 give |q| <= 2^-511 and q * q <= 2^-1022, less than half
  // an ulp of ssq >= 1, so q * q + ssq rounds back to ssq: such an element changes nothing.
  // Dividing +0.0 in its place gives the same bits without a subnormal quotient or square,
  // which would cost a microcode assist per element on wide-range data.
  //
  // The element step below handles everything; the blocks take over whenever the next
  // four elements need no change of scale and no early return. A block that does is taken
  // element by element as a whole, so that a second new maximum in it costs no second
  // failed attempt. Blocks regroup no operation, so a stream of chunks gives the same bits
  // wherever the chunks are cut.
  if (st.decided != 0.0) return;
  int64_t i = 0;
  while (i < n) {
    if (st.scale > 0.0) {
      i = normBlocks(x, i, n, st);
      if (i >= n) break;
    }
    // The block that failed (or the tail), element by element.
    const int64_t end = n - i > 4 ? i + 4 : n;
    // The first NaN or infinity decides the result; nothing after it matters.
    for (; i < end; ++i)
      if (!normStep(st, x[i])) return;
  }
}

void normAddPair(NormState& a, const double* u, NormState& b, const double* v, int64_t n) {
  // Paired blocks while both states have a scale and no decided result; a block that
  // fails for either goes through normAdd for each state alone (which takes it as one
  // block where that state's test passes, element by element where it fails), exactly
  // the operations a whole-stream normAdd would give it: blocks regroup nothing.
  int64_t i = 0;
  while (a.decided == 0.0 && b.decided == 0.0 && a.scale > 0.0 && b.scale > 0.0) {
    i = normBlocksPair(u, v, i, n, a, b);
    if (i + 4 > n) break;
    normAdd(a, u + i, 4);
    normAdd(b, v + i, 4);
    i += 4;
  }
  normAdd(a, u + i, n - i);
  normAdd(b, v + i, n - i);
}

double normResult(const NormState& st) {
  if (st.decided != 0.0) return st.decided;
  if (st.scale == 0.0) return 0.0;
  // 1 <= ssq <= n, so the square root is harmless and only the final product can leave
  // the range, exactly when the true norm does (up to the last rounding).
  return std::sqrt(st.ssq) * st.scale;
}

double scaledEuclideanNorm(const double* x, int64_t n) {
  NormState st;
  normAdd(st, x, n);
  return normResult(st);
}

double scaledMean(const double* x, int64_t n) {
  if (n <= 0) {
    raiseValueError(kMeanMessage);
    return quietNaN();
  }
  const double s = superSum(x, n);
  const double d = static_cast<double>(n);
  // A finite s means every element is finite; a NaN s stays NaN either way. Only an
  // infinite s needs the scan: it comes either from an infinite element (an answer) or
  // from a finite sum beyond the range (to be scaled).
  if (!isInfinite(s)) return s / d;
  for (int64_t i = 0; i < n; ++i)
    if (!isFinite(x[i])) return s / d;

  // Every element is finite and the exact sum overflows: sum the rounded quotients
  // exactly instead. Each |x[j] / d| is DBL_MAX / n or less up to its own rounding, so
  // their exact sum is the mean within those roundings, back in range, rounded only once.
  // The quotients go to the accumulator a block at a time, through a small buffer.
  constexpr int64_t kBlock = 256;
  double q[kBlock];
  SuperAccumulator acc;
  initialize(acc);
  for (int64_t start = 0; start < n; start += kBlock) {
    const int64_t len = n - start < kBlock ? n - start : kBlock;
    for (int64_t j = 0; j < len; ++j) q[j] = x[start + j] / d;
    add(acc, q, len);
  }
  // The mean of finite values lies between their minimum and maximum, so it is finite.
  // The rounded quotients can still add up past the range (three copies of DBL_MAX give
  // DBL_MAX / 3 rounded up, three times, whose exact sum exceeds DBL_MAX by more than half
  // an ulp): such a result is pulled back to the largest finite double of its sign.
  const double m = round(acc);
  if (isInfinite(m)) return std::copysign(std::numeric_limits<double>::max(), m);
  return m;
}

// The centered reductions stream their rounded differences through fixed buffers on the
// stack (exactengine.h): nothing proportional to n is allocated, and the exact
// accumulation makes the chunking invisible in the result. The certified pass runs first;
// where its bound decides, that double is the exact sum of the same rounded products,
// rounded as the accumulator rounds it. Otherwise (heavy cancellation, a tie, a special
// value, no fused multiply-add) a second sweep forms the chunks again and the exact
// products decide.

double centeredSumSquares(const double* x, int64_t n, double c) { return superDotCentered(x, x, n, c, c); }

double centeredCrossProduct(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy) {
  // Only the first nx elements of y are read; a shorter y would be read past its end.
  if (ny < nx) {
    raiseInternalFault("centered cross product: y shorter than x");
    return 0.0;
  }
  return superDotCentered(x, y, nx, cx, cy);
}

double centeredScale(const double* x, int64_t n, double c) {
  // The largest non-NaN magnitude (a NaN fails every comparison and is skipped); a
  // non-NaN center joins it whenever there is at least one element. Whole vectors in the
  // widest lanes the processor has, the rest here.
  int64_t i = 0;
  double scale = maxMagnitudeLanesImpl.get()(x, n, &i);
  for (; i < n; ++i) {
    const double a = std::fabs(x[i]);
    if (a > scale) scale = a;
  }
  if (n > 0 && std::fabs(c) > scale) scale = std::fabs(c);
  return scale;
}

int64_t normalizeLanesSse2(const double* x, int64_t n, double c, double scale, double* out) {
  return normalizeLanes<Sse2Ops>(x, n, c, scale, out);
}

double maxMagnitudeLanesSse2(const double* x, int64_t n, int64_t* done) {
  return maxMagnitudeLanes<Sse2Ops>(x, n, done);
}

int64_t normalizePairWithNormsSse2(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                                   double* u, double* v, NormState& a, NormState& b, CertifiedDotLanes* products,
                                   int64_t* productsDone) {
  if (products != nullptr) *productsDone = 0;
  return normalizePairWithNorms<Sse2Ops, false>(x, y, n, p, u, v, a, b, nullptr, nullptr);
}

// The widest copy the processor runs: the division sets their pace, and a divider that
// takes 512-bit vectors at the rate of 256-bit ones (as on the AVX-512 machines measured)
// divides twice the elements per cycle.
constinit KernelSlot<NormalizeKernel> normalizeLanesImpl{{normalizeLanesSse2, SELA_X86_KERNEL(normalizeLanesAvx), SELA_X86_KERNEL(normalizeLanesAvx512)}};
constinit KernelSlot<MaxMagnitudeKernel> maxMagnitudeLanesImpl{
    {maxMagnitudeLanesSse2, SELA_X86_KERNEL(maxMagnitudeLanesAvx), SELA_X86_KERNEL(maxMagnitudeLanesAvx512)}};
constinit KernelSlot<NormalizePairKernel> normalizePairWithNormsImpl{
    {normalizePairWithNormsSse2, SELA_X86_KERNEL(normalizePairWithNormsAvx), SELA_X86_KERNEL(normalizePairWithNormsAvx512)}};

int64_t projectionLanesSse2(const double*, const double*, int64_t, const CenteredPairScales&, CertifiedDotLanes&,
                            CertifiedDotLanes&) {
  return 0;
}
constinit KernelSlot<ProjectionLanesKernel> projectionLanesImpl{
    {projectionLanesSse2, SELA_X86_KERNEL(projectionLanesAvx), SELA_X86_KERNEL(projectionLanesAvx512)}};

void normalizeCentered(const double* x, int64_t n, double c, double scale, double* out) {
  if (scale == 0.0) {
    // Every non-NaN element and the center are zero: the values are zeros.
    for (int64_t i = 0; i < n; ++i) out[i] = 0.0;
    return;
  }
  // Whole vectors of lanes (AVX where the processor has it, else SSE2, part of every
  // x86-64 processor): each lane subtracts and divides with one rounding each, exactly
  // as the element step below does. A vector with an overflowing difference, and what
  // follows it, takes the element step.
  int64_t i = normalizeLanesImpl.get()(x, n, c, scale, out);
  for (; i < n; ++i) {
    const double d = x[i] - c;
    // |x[i]|, |c| <= scale, so both quotients lie in [-1, 1] and their difference in
    // [-2, 2]: dividing first keeps an overflowing difference representable.
    out[i] = isInfinite(d) ? x[i] / scale - c / scale : d / scale;
  }
}

namespace {

// The shared start of the cosine similarity and the projection coefficient: false when
// the lengths are invalid (a value error is raised) or when either scale is NaN or
// infinite (the answer is NaN; y's scale is not computed once x's is infinite).
bool centeredScales(int64_t nx, int64_t ny, const double* x, const double* y, double cx, double cy, double& sx,
                    double& sy) {
  if (nx != ny || nx == 0) {
    raiseValueError(kLengthsMessage);
    return false;
  }
  sx = centeredScale(x, nx, cx);
  if (!(sx < kInf)) return false;
  sy = centeredScale(y, nx, cy);
  return sy < kInf;
}

}  // namespace

double centeredCosineSimilarity(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy) {
  const int64_t n = nx;
  double sx = 0.0, sy = 0.0;
  if (!centeredScales(nx, ny, x, y, cx, cy, sx, sy)) return quietNaN();

  // A zero scale leaves a vector of zeros, whose norm is zero.
  if (sx == 0.0 || sy == 0.0) return quietNaN();

  // One sweep: the normalized values u and v of each chunk feed both norms (each in
  // element order, as over the whole vectors) and the certified products; a second sweep
  // forms the exact products only if the bound did not decide. Within a chunk the vector
  // sweep normalizes and runs both norms' steps together; where it stops (an overflowing
  // difference) the element steps take the next few elements, which gives the same
  // values and the same norm states: normAdd regroups nothing.
  constexpr int64_t kElementSteps = 8;  // at least the widest vector
  const CenteredPairScales scales{cx, cy, sx, sy, liftsCentered(x, n, sx), liftsCentered(y, n, sy)};
  const NormalizePairKernel sweep = normalizePairWithNormsImpl.get();
  NormState nuState, nvState;
  // Aligned to the widest vector: the sweep stores whole vectors of values into them, and a
  // store that straddles two cache lines takes the store unit twice.
  alignas(64) double u[kProductChunk];
  alignas(64) double v[kProductChunk];
  const auto normalized = [&](int64_t start, int64_t len) {
    normalizeCentered(x + start, len, cx, sx, u);
    normalizeCentered(y + start, len, cy, sy, v);
  };
  ChunkProducts products;
  for (int64_t start = 0; start < n; start += kProductChunk) {
    const int64_t len = n - start < kProductChunk ? n - start : kProductChunk;
    // The chunk's first sweep runs the certified lanes over the pairs of vectors it forms;
    // the products it leaves (a vector without its pair, the tail, whatever follows an
    // element step) are added from the buffers below, which continues the same lanes.
    int64_t productsDone = 0;
    CertifiedDotLanes* const fused = n > kProductChunk && products.certifying ? &products.lanes : nullptr;
    int64_t i = 0;
    while (true) {
      i += sweep(x + start + i, y + start + i, len - i, scales, u + i, v + i, nuState, nvState,
                 i == 0 ? fused : nullptr, &productsDone);
      // Every value of u and v lies in [-2, 2] or is a NaN (from a NaN element or
      // center), so a decided norm is a NaN, and so is the ratio below.
      if (nuState.decided != 0.0 || nvState.decided != 0.0) return quietNaN();
      if (i >= len) break;
      const int64_t end = len - i > kElementSteps ? i + kElementSteps : len;
      normalizeCentered(x + start + i, end - i, cx, sx, u + i);
      normalizeCentered(y + start + i, end - i, cy, sy, v + i);
      normAdd(nuState, u + i, end - i);
      normAdd(nvState, v + i, end - i);
      i = end;
    }
    if (n > kProductChunk && productsDone < len) {
      // Lanes of another width than the sweep's (a family chosen apart from it) would
      // start afresh and drop the sweep's products: the exact products decide instead.
      const int widthBefore = products.lanes.lanes;
      addChunk(products, u + productsDone, v + productsDone, len - productsDone);
      if (widthBefore != 0 && products.lanes.lanes != widthBefore) products.certifying = false;
    }
  }
  // One chunk holds every value: the exact dot product over the buffers directly, which
  // decides short products in vector registers (shortsum.h) without the chunk lanes.
  double p;
  if (n <= kProductChunk) {
    p = superDot(u, n, v, n);
  } else {
    p = chunkProductsResult(products, n, u, v, normalized);
  }
  const double nu = normResult(nuState);
  const double nv = normResult(nvState);
  if (nu == 0.0 || nv == 0.0) return quietNaN();
  // The scales cancel in the ratio. Dividing by one norm at a time keeps the divisor
  // from underflowing or overflowing as the product nu * nv could.
  const double r = (p / nu) / nv;
  if (r != r) return quietNaN();
  if (r >= 1.0) return 1.0;
  if (r <= -1.0) return -1.0;
  return r;
}

namespace {

// The projection coefficient from the two exact dot products of the normalized values:
// (sy * cross) / (sx * self), or NaN / +0.0 where that is undefined or vanishes.
double projectionRatio(double cross, double self, double sx, double sy, const double* y, int64_t n, double cy) {
  if (self == 0.0) return quietNaN();
  if (cross == 0.0) {
    // A zero scale for y means every non-NaN element of y, and a non-NaN center, is zero;
    // its values are then all zeros and would hide a NaN in y or in cy. A NaN in the
    // data must not come out as a number.
    if (sy == 0.0 && (std::isnan(cy) || holdsNaN(y, n))) return quietNaN();
    return 0.0;
  }
  // beta = (sy * cross) / (sx * self), formed on mantissas in [0.5, 1) with the binary
  // exponents summed apart, so no intermediate overflows or underflows; only the final
  // ldexp can leave the range, where the true slope does.
  if (isNormal(cross) && isNormal(self) && isNormal(sy) && isNormal(sx)) {
    // The same steps on the bit fields, without the calls (a good part of a short call):
    // splitting a normal double is exact, and where 2^e is a normal double, m * 2^e is
    // the exact scaled value rounded once, which is ldexp's result (a subnormal slope
    // rounded as ldexp rounds it, an overflowing one +-inf). Other exponents go to ldexp.
    int ce = 0, se = 0, ye = 0, xe = 0;
    const double cm = normalMantissa(cross, ce);
    const double sm = normalMantissa(self, se);
    const double ym = normalMantissa(sy, ye);
    const double xm = normalMantissa(sx, xe);
    const double m = (ym * cm) / (xm * sm);
    const int e = ce + ye - se - xe;
    if (e >= 1 - kExponentBias && e <= kExponentBias) return m * powerOfTwo(e);
    return std::ldexp(m, e);
  }
  int ce = 0, se = 0, ye = 0, xe = 0;
  const double cm = std::frexp(cross, &ce);
  const double sm = std::frexp(self, &se);
  const double ym = std::frexp(sy, &ye);
  const double xm = std::frexp(sx, &xe);
  return std::ldexp((ym * cm) / (xm * sm), ce + ye - se - xe);
}

}  // namespace

double centeredProjectionCoefficient(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy) {
  const int64_t n = nx;
  double sx = 0.0, sy = 0.0;
  if (!centeredScales(nx, ny, x, y, cx, cy, sx, sy)) return quietNaN();

  // One sweep into two certified lanes: u * v for the cross term, u * u for x's own.
  // Whichever the bound does not decide takes a second sweep through the exact products.
  double u[kProductChunk];
  double v[kProductChunk];
  const auto normalized = [&](int64_t start, int64_t len) {
    normalizeCentered(x + start, len, cx, sx, u);
    normalizeCentered(y + start, len, cy, sy, v);
  };
  const auto normalizedX = [&](int64_t start, int64_t len) { normalizeCentered(x + start, len, cx, sx, u); };
  constexpr int64_t kStep = kProductChunk / 2;
  if (n <= kStep) {
    // Every value in the buffers at once: the two exact dot products over them directly,
    // short ones decided in vector registers (shortsum.h) without the chunk lanes.
    normalizeCentered(x, n, cx, sx, u);
    normalizeCentered(y, n, cy, sy, v);
    return projectionRatio(superDot(u, n, v, n), superDot(u, n, u, n), sx, sy, y, n, cy);
  }
  ChunkProducts crossProducts, selfProducts;
  // The whole pairs of vectors in one pass that forms the values and runs both certified
  // lanes over them; the rest (at most a vector and a tail, or everything where the
  // processor has no such pass) through the buffers below, whose steps then start at a
  // multiple of the pairs' length and continue the same lanes.
  // (A zero scale leaves the values zeros, which normalizeCentered writes without dividing.)
  const CenteredPairScales scales{cx, cy, sx, sy, liftsCentered(x, n, sx), liftsCentered(y, n, sy)};
  const int64_t fused = sx > 0.0 && sy > 0.0 ? projectionLanesImpl.get()(x, y, n, scales,
                                                                         crossProducts.lanes, selfProducts.lanes)
                                             : 0;
  const int fusedWidth = crossProducts.lanes.lanes;
  // In steps of half a buffer, pipelined: the values of one step are formed (two
  // divisions per element, on the divider) while the certified lanes run over the step
  // before (on the adders and multipliers), from the other half of the buffers. The
  // certified lanes see the same products in the same order either way.
  int64_t before = 0;      // where the step before lies in the buffers
  int64_t beforeLen = 0;   // and its length, 0 for none
  for (int64_t start = fused; crossProducts.certifying && start < n; start += kStep) {
    const int64_t len = n - start < kStep ? n - start : kStep;
    const int64_t at = ((start - fused) / kStep) % 2 * kStep;
    normalizeCentered(x + start, len, cx, sx, u + at);
    normalizeCentered(y + start, len, cy, sy, v + at);
    if (beforeLen > 0) {
      addChunk(crossProducts, u + before, v + before, beforeLen);
      addChunk(selfProducts, u + before, u + before, beforeLen);
    }
    before = at;
    beforeLen = len;
  }
  if (beforeLen > 0) {
    addChunk(crossProducts, u + before, v + before, beforeLen);
    addChunk(selfProducts, u + before, u + before, beforeLen);
  }
  // Lanes of another width than the pass's (a family chosen apart from it) restart and
  // drop what the pass took: the exact products decide instead.
  if (fused > 0 && (crossProducts.lanes.lanes != fusedWidth || selfProducts.lanes.lanes != fusedWidth)) {
    crossProducts.certifying = selfProducts.certifying = false;
  }
  const double cross = chunkProductsResult(crossProducts, n, u, v, normalized);
  const double self = chunkProductsResult(selfProducts, n, u, u, normalizedX);
  return projectionRatio(cross, self, sx, sy, y, n, cy);
}

}  // namespace sela
