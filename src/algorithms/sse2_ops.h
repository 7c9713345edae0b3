// Baseline x86-64 vectors (SSE2, two lanes) for the kernels written over an operation set
// (condition_blocks.h, normalize_lanes.h, cumsum_spans.h); the AVX sets are Avx2Ops in
// simd_dispatch_avx2.cpp and SpanAvx2 in cumsum_avx2.cpp.
#pragma once

#include <emmintrin.h>

#include <cstdint>

namespace {

struct Sse2Ops {
  static constexpr int64_t W = 2;
  using V = __m128d;
  static V load(const double* p) { return _mm_loadu_pd(p); }
  static void store(double* p, V v) { _mm_storeu_pd(p, v); }
  static V set1(double v) { return _mm_set1_pd(v); }
  static V add(V a, V b) { return _mm_add_pd(a, b); }
  static V sub(V a, V b) { return _mm_sub_pd(a, b); }
  static V div(V a, V b) { return _mm_div_pd(a, b); }
  static V magnitude(V a) { return _mm_and_pd(a, _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL))); }
  // Each lane's b when either operand is a NaN.
  static V max(V a, V b) { return _mm_max_pd(a, b); }
  static V min(V a, V b) { return _mm_min_pd(a, b); }
  // Each lane's bit pattern minus one.
  static V lowerByOne(V a) { return _mm_castsi128_pd(_mm_sub_epi64(_mm_castpd_si128(a), _mm_set1_epi64x(1))); }
  // Bit l set when lane l of a equals lane l of b.
  static uint64_t equalMask(V a, V b) { return static_cast<uint64_t>(_mm_movemask_pd(_mm_cmpeq_pd(a, b))); }
  // Whether a lane holds +-inf.
  static bool anyInfinite(V d) {
    const V magnitude = _mm_andnot_pd(_mm_set1_pd(-0.0), d);
    return _mm_movemask_pd(_mm_cmpeq_pd(magnitude, _mm_set1_pd(__builtin_inf()))) != 0;
  }
};

}  // namespace
