// Dot2 in the AVX2 family (built with -mavx -mfma, cmake/kernels.cmake): dot2 reaches it
// through its dispatch slot only where the processor and the operating system offer AVX,
// AVX2 and FMA.
//
// The arithmetic is the scalar Dot2's, operation for operation, on the same operands:
//   [h, r] = TwoProduct(x[i], y[i]);  [t, q] = TwoSum(s, h);  c = fl(fl(c + r) + q);  s = t.
// Only two of these values depend on the previous element: the running sum s (one
// addition per element) and the compensation c (two additions per element, c + r then
// + q). Everything else is a function of x[i], y[i], s_(i-1) and t_i, so it is formed
// four elements at a time in 256-bit vectors, off both chains: the products and their
// errors before the running sum reaches them, the TwoSum errors q once the four new
// running sums are known. The chains themselves stay scalar and in index order, so every
// rounding is the one the element loop makes; c's two additions per element are the
// whole critical path.
#include <immintrin.h>

#include "algorithms/dotproduct.h"
#include "algorithms/errorfree.h"

namespace sela {

namespace {

struct Lanes {
  double v[4];
};

inline Lanes lanesOf(__m256d v) {
  Lanes l;
  _mm256_storeu_pd(l.v, v);
  return l;
}

}  // namespace

bool dot2Avx2(const double* x, int64_t n, const double* y, double& result) {
  // r = fma(a, b, -h) is the exact error of the rounded product h when nothing overflows
  // or underflows; vfmsub computes a * b - h with the same single rounding.
  double s = x[0] * y[0];
  double c = __builtin_fma(x[0], y[0], -s);
  int64_t i = 1;
  for (; i + 4 <= n; i += 4) {
    const __m256d a = _mm256_loadu_pd(x + i);
    const __m256d b = _mm256_loadu_pd(y + i);
    const __m256d h = _mm256_mul_pd(a, b);
    const __m256d r = _mm256_fmsub_pd(a, b, h);
    // The running sum, one rounded addition per element in index order.
    const Lanes hl = lanesOf(h);
    const double t0 = s + hl.v[0];
    const double t1 = t0 + hl.v[1];
    const double t2 = t1 + hl.v[2];
    const double t3 = t2 + hl.v[3];
    // TwoSum(s_(k-1), h_k) for the four elements at once: t = fl(s + h) is known, and
    // z = t - s, q = (s - (t - z)) + (h - z) are the same operations on the same operands.
    const __m256d tv = _mm256_setr_pd(t0, t1, t2, t3);
    const __m256d sv = _mm256_setr_pd(s, t0, t1, t2);
    const __m256d z = _mm256_sub_pd(tv, sv);
    const __m256d q = _mm256_add_pd(_mm256_sub_pd(sv, _mm256_sub_pd(tv, z)), _mm256_sub_pd(h, z));
    s = t3;
    // The compensation, the product error first and then the sum error, in index order.
    const Lanes rl = lanesOf(r);
    const Lanes ql = lanesOf(q);
    c = (c + rl.v[0]) + ql.v[0];
    c = (c + rl.v[1]) + ql.v[1];
    c = (c + rl.v[2]) + ql.v[2];
    c = (c + rl.v[3]) + ql.v[3];
  }
  for (; i < n; ++i) {
    const double a = x[i];
    const double b = y[i];
    const double h = a * b;
    const double r = __builtin_fma(a, b, -h);
    const SumAndError tq = twoSum(s, h);
    c = (c + r) + tq.e;
    s = tq.s;
  }
  if (!isFinite(s)) return false;
  result = s + c;
  return true;
}

}  // namespace sela
