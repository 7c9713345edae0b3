// The span kernels of the running sums (cumsum_spans.h) on four lanes, compiled for AVX2
// alone (cmake/kernels.cmake); called only where the processor and the operating system
// support it (cumsum.cpp).
#include <immintrin.h>

#include "algorithms/cumsum_spans.h"

namespace {

struct SpanAvx2 {
  static constexpr int64_t W = 4;
  using V = __m256d;
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V set1(double v) { return _mm256_set1_pd(v); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V magnitude(V a) { return _mm256_and_pd(a, _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL))); }
  // Each lane's b when either operand is a NaN, as SSE2's.
  static V max(V a, V b) { return _mm256_max_pd(a, b); }
  static V min(V a, V b) { return _mm256_min_pd(a, b); }
  static V lowerByOne(V a) {
    return _mm256_castsi256_pd(_mm256_sub_epi64(_mm256_castpd_si256(a), _mm256_set1_epi64x(1)));
  }
  static uint64_t equalMask(V a, V b) {
    return static_cast<uint64_t>(_mm256_movemask_pd(_mm256_cmp_pd(a, b, _CMP_EQ_OQ)));
  }
};

}  // namespace

void sela::exactSpanAvx2(const double* x, int64_t len, double s, double c, double* r, SpanEnd& end) {
  runSpan<SpanAvx2, false>(x, len, s, c, 0.0, r, end);
}

void sela::boundSpanAvx2(const double* x, int64_t len, double s, double c, double b, double* r, SpanEnd& end) {
  runSpan<SpanAvx2, true>(x, len, s, c, b, r, end);
}
