#include "algorithms/statistical_reductions.h"

#include <emmintrin.h>

#include <cmath>
#include <limits>

#include "algorithms/errorfree.h"
#include "algorithms/exactsum.h"
#include "error_state.h"

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

}  // namespace

namespace {

// The running state of the norm: the squares seen so far sum to ssq * scale^2.
struct NormState {
  double scale = 0.0;
  double ssq = 1.0;
  double negligible = 0.0;  // scale * 2^-511 when that is exact, else 0 (nothing skipped)
};

// Blocks of four elements while each block holds only elements with |x| <= scale (no NaN,
// no infinity, no new maximum), with scale > 0. Between two changes of the scale every
// quotient x[i] / scale is independent of the others, so the four divisions and squares
// of a block run in two-lane SSE2 operations (part of every x86-64 processor; each lane
// rounds exactly as the scalar operation does); only the additions into ssq form a chain,
// and they stay in element order. Zeros go through as quotients +-0.0 whose square +0.0
// leaves ssq >= 1 unchanged, as skipping them does. Returns the index of the first element
// not consumed: the start of a block that fails the test, or a tail of fewer than four.
int64_t normBlocks(const double* x, int64_t i, int64_t n, NormState& st) {
  const __m128d signBit = _mm_set1_pd(-0.0);
  const __m128d scale = _mm_set1_pd(st.scale);
  const __m128d negligible = _mm_set1_pd(st.negligible);
  double ssq = st.ssq;
  for (; i + 4 <= n; i += 4) {
    const __m128d v0 = _mm_loadu_pd(x + i);
    const __m128d v1 = _mm_loadu_pd(x + i + 2);
    const __m128d a0 = _mm_andnot_pd(signBit, v0);
    const __m128d a1 = _mm_andnot_pd(signBit, v1);
    // |x| <= scale is false for a NaN, for an infinity and for a new maximum.
    const __m128d inRange = _mm_and_pd(_mm_cmple_pd(a0, scale), _mm_cmple_pd(a1, scale));
    if (_mm_movemask_pd(inRange) != 3) break;
    // Negligible elements become +0.0, exactly as in the element step.
    const __m128d q0 = _mm_div_pd(_mm_andnot_pd(_mm_cmplt_pd(a0, negligible), v0), scale);
    const __m128d q1 = _mm_div_pd(_mm_andnot_pd(_mm_cmplt_pd(a1, negligible), v1), scale);
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

}  // namespace

double scaledEuclideanNorm(const double* x, int64_t n) {
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
  // failed attempt.
  NormState st;
  int64_t i = 0;
  while (i < n) {
    if (st.scale > 0.0) {
      i = normBlocks(x, i, n, st);
      if (i >= n) break;
    }
    // The block that failed (or the tail), element by element.
    const int64_t end = n - i > 4 ? i + 4 : n;
    for (; i < end; ++i) {
      const double a = std::fabs(x[i]);
      if (a != a) return quietNaN();
      if (a == kInf) return kInf;
      if (x[i] == 0.0) continue;
      if (a > st.scale) {
        const double r = st.scale / a;
        st.ssq = (st.ssq * r) * r + 1.0;
        st.scale = a;
        st.negligible = st.scale >= 0x1p-511 ? st.scale * 0x1p-511 : 0.0;
      } else {
        const double q = (a < st.negligible ? 0.0 : x[i]) / st.scale;
        st.ssq = q * q + st.ssq;
      }
    }
  }
  if (st.scale == 0.0) return 0.0;
  // 1 <= ssq <= n, so the square root is harmless and only the final product can leave
  // the range, exactly when the true norm does (up to the last rounding).
  return std::sqrt(st.ssq) * st.scale;
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
  SuperAccumulator acc;
  initialize(acc);
  for (int64_t j = 0; j < n; ++j) {
    const double q = x[j] / d;
    if (acc.addsLeft == 0) carryPropagate(acc);
    deposit(acc, q);
    acc.addsLeft -= 1;
  }
  return round(acc);
}

double centeredSumSquares(const double* x, int64_t n, double c) {
  ScratchArray d = allocateScratch(n);
  for (int64_t i = 0; i < n; ++i) d[i] = x[i] - c;
  return superDot(d.get(), n, d.get(), n);
}

double centeredCrossProduct(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy) {
  // superDot reads the first nx elements of both arrays; a shorter y would be read past
  // its end.
  if (ny < nx) {
    raiseInternalFault("centered cross product: y shorter than x");
    return 0.0;
  }
  ScratchArray dx = allocateScratch(nx);
  ScratchArray dy = allocateZeroedScratch(ny);
  for (int64_t i = 0; i < nx; ++i) {
    dx[i] = x[i] - cx;
    dy[i] = y[i] - cy;
  }
  return superDot(dx.get(), nx, dy.get(), ny);
}

NormalizedCentered normalizedCentered(const double* x, int64_t n, double c) {
  // The largest non-NaN magnitude (a NaN fails every comparison and is skipped); a
  // non-NaN center joins it whenever there is at least one element.
  double scale = 0.0;
  for (int64_t i = 0; i < n; ++i) {
    const double a = std::fabs(x[i]);
    if (a > scale) scale = a;
  }
  if (n > 0 && std::fabs(c) > scale) scale = std::fabs(c);
  if (!(scale < kInf)) return {scale, ScratchArray()};

  ScratchArray values = allocateZeroedScratch(n);
  if (scale != 0.0) {
    for (int64_t i = 0; i < n; ++i) {
      const double d = x[i] - c;
      // |x[i]|, |c| <= scale, so both quotients lie in [-1, 1] and their difference in
      // [-2, 2]: dividing first keeps an overflowing difference representable.
      values[i] = isInfinite(d) ? x[i] / scale - c / scale : d / scale;
    }
  }
  return {scale, std::move(values)};
}

// The shared start of the cosine similarity and the projection coefficient. False when
// the lengths are invalid (a value error is raised) or when either scale is NaN or
// infinite (the answer is NaN; y is not normalized once x's scale is infinite).
static bool normalizePair(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy,
                   NormalizedCentered& u, NormalizedCentered& v) {
  if (nx != ny || nx == 0) {
    raiseValueError(kLengthsMessage);
    return false;
  }
  u = normalizedCentered(x, nx, cx);
  if (!(u.scale < kInf)) return false;
  v = normalizedCentered(y, nx, cy);
  return v.scale < kInf;
}

double centeredCosineSimilarity(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy) {
  const int64_t n = nx;
  NormalizedCentered u, v;
  if (!normalizePair(x, nx, y, ny, cx, cy, u, v)) return quietNaN();

  const double nu = scaledEuclideanNorm(u.values.get(), n);
  const double nv = scaledEuclideanNorm(v.values.get(), n);
  if (nu == 0.0 || nv == 0.0) return quietNaN();
  // The scales cancel in the ratio. Dividing by one norm at a time keeps the divisor
  // from underflowing or overflowing as the product nu * nv could.
  const double p = superDot(u.values.get(), n, v.values.get(), n);
  const double r = (p / nu) / nv;
  if (r != r) return quietNaN();
  if (r >= 1.0) return 1.0;
  if (r <= -1.0) return -1.0;
  return r;
}

double centeredProjectionCoefficient(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy) {
  const int64_t n = nx;
  NormalizedCentered u, v;
  if (!normalizePair(x, nx, y, ny, cx, cy, u, v)) return quietNaN();

  const double cross = superDot(u.values.get(), n, v.values.get(), n);
  const double self = superDot(u.values.get(), n, u.values.get(), n);
  if (self == 0.0) return quietNaN();
  if (cross == 0.0) {
    // A zero scale for y means every non-NaN element of y, and a non-NaN center, is zero;
    // its values are then all zeros and would hide a NaN in y or in cy. A NaN in the
    // data must not come out as a number.
    if (v.scale == 0.0 && (std::isnan(cy) || holdsNaN(y, n))) return quietNaN();
    return 0.0;
  }
  // beta = (sy * cross) / (sx * self), formed on mantissas in [0.5, 1) with the binary
  // exponents summed apart, so no intermediate overflows or underflows; only the final
  // ldexp can leave the range, where the true slope does.
  int ce = 0, se = 0, ye = 0, xe = 0;
  const double cm = std::frexp(cross, &ce);
  const double sm = std::frexp(self, &se);
  const double ym = std::frexp(v.scale, &ye);
  const double xm = std::frexp(u.scale, &xe);
  return std::ldexp((ym * cm) / (xm * sm), ce + ye - se - xe);
}

}  // namespace sela
