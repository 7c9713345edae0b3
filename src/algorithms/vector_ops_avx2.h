// The AVX2-family operation set: 256-bit AVX arithmetic and FMA3 (four lanes; see
// vector_ops.h). Included only by files built with -mavx2 -mfma (<module>_avx2.cpp), which
// run only where the dispatch found AVX2, FMA and the operating system's AVX state.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "algorithms/vector_ops.h"

namespace {

struct Avx2Ops {
  static constexpr int64_t W = 4;
  using V = __m256d;
  using Mask = __m256d;  // all-ones lanes
  static V zero() { return _mm256_setzero_pd(); }
  static V set1(double v) { return _mm256_set1_pd(v); }
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  // Two halves of plain loads rather than one masked load: the hardware reads no masked
  // lane, but emulators in use (qemu 7.2) read them all and fault past the array's end.
  static V loadFirst(const double* p, int64_t k) {
    const __m128d lo = k >= 2 ? _mm_loadu_pd(p) : k == 1 ? _mm_load_sd(p) : _mm_setzero_pd();
    const __m128d hi = k >= 4 ? _mm_loadu_pd(p + 2) : k == 3 ? _mm_load_sd(p + 2) : _mm_setzero_pd();
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(lo), hi, 1);
  }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V div(V a, V b) { return _mm256_div_pd(a, b); }
  static V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  static V bitAnd(V a, V b) { return _mm256_and_pd(a, b); }
  static V bitOr(V a, V b) { return _mm256_or_pd(a, b); }
  static V min(V a, V b) { return _mm256_min_pd(a, b); }
  static V minWhere(Mask m, V a, V b) { return _mm256_blendv_pd(b, _mm256_min_pd(a, b), m); }
  static V max(V a, V b) { return _mm256_max_pd(a, b); }
  static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }  // a*b + c, one rounding
  static V fms(V a, V b, V c) { return _mm256_fmsub_pd(a, b, c); }  // a*b - c, one rounding
  static Mask less(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static Mask equal(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static Mask notEqual(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
  static Mask both(Mask a, Mask b) { return _mm256_and_pd(a, b); }
  static Mask either(Mask a, Mask b) { return _mm256_or_pd(a, b); }
  static Mask noMask() { return _mm256_setzero_pd(); }
  static bool any(Mask m) { return _mm256_movemask_pd(m) != 0; }
  static uint64_t laneBits(Mask m) { return static_cast<uint64_t>(_mm256_movemask_pd(m)); }
  static bool noBitsIn(V v, V bits) { return _mm256_testz_si256(_mm256_castpd_si256(v), _mm256_castpd_si256(bits)) != 0; }
  static V bitXor(V a, V b) { return _mm256_xor_pd(a, b); }
  // The family's files are built with -mavx2 (cmake/kernels.cmake) and run only where the
  // dispatch found AVX2: the 256-bit integer operations are there.
  static V halvedBits(V a, V b) {
    const __m256i ha = _mm256_srli_epi64(_mm256_castpd_si256(abs(a)), 1);
    const __m256i hb = _mm256_srli_epi64(_mm256_castpd_si256(abs(b)), 1);
    return _mm256_castsi256_pd(_mm256_add_epi64(ha, hb));
  }
  static Mask bitsBelow(V h, int64_t limit) {
    return _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_set1_epi64x(limit), _mm256_castpd_si256(h)));
  }
  static Mask bitsAtLeast(V h, int64_t limit) {
    return _mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_castpd_si256(h), _mm256_set1_epi64x(limit - 1)));
  }
  static Mask halvedBitsBelow(V a, V b, int64_t limit) { return bitsBelow(halvedBits(a, b), limit); }
  static V select(Mask m, V a, V b) { return _mm256_blendv_pd(b, a, m); }
  static V zeroWhere(Mask m, V v) { return _mm256_andnot_pd(m, v); }
  template <int H>
  static V swap(V v) {
    static_assert(H == 1 || H == 2);
    if constexpr (H == 2) return _mm256_permute2f128_pd(v, v, 0x01);  // the 128-bit halves
    return _mm256_permute_pd(v, 0x5);                                // neighbours
  }
  template <int Bits>
  static V blend(V a, V b) {
    return _mm256_blend_pd(b, a, Bits);
  }
  static double first(V v) { return _mm_cvtsd_f64(_mm256_castpd256_pd128(v)); }
};

}  // namespace
