// The AVX-512 operation set: 512-bit AVX-512F arithmetic and fused multiply-adds (eight
// lanes; see vector_ops.h), masks in mask registers. Included only by files built with
// -mavx512f (<module>_avx512.cpp), which run only where the dispatch found AVX-512F and
// its operating-system state.
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "algorithms/vector_ops.h"

namespace {

struct Avx512Ops {
  static constexpr int64_t W = 8;
  using V = __m512d;
  using Mask = __mmask8;
  static V zero() { return _mm512_setzero_pd(); }
  static V set1(double v) { return _mm512_set1_pd(v); }
  static V load(const double* p) { return _mm512_loadu_pd(p); }
  static V loadFirst(const double* p, int64_t k) {  // masked lanes are not read (nor fault)
    return _mm512_maskz_loadu_pd(static_cast<Mask>((1u << k) - 1), p);
  }
  static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V div(V a, V b) { return _mm512_div_pd(a, b); }
  static V abs(V a) { return _mm512_abs_pd(a); }
  static V bitAnd(V a, V b) {
    return _mm512_castsi512_pd(_mm512_and_epi64(_mm512_castpd_si512(a), _mm512_castpd_si512(b)));
  }
  static V bitOr(V a, V b) {
    return _mm512_castsi512_pd(_mm512_or_epi64(_mm512_castpd_si512(a), _mm512_castpd_si512(b)));
  }
  // (The masked forms, here and in swap: GCC 12's _mm512_min_pd, _mm512_max_pd and
  // shuffles start from an undefined vector it warns about.)
  static V min(V a, V b) { return _mm512_maskz_min_pd(0xFF, a, b); }
  static V max(V a, V b) { return _mm512_maskz_max_pd(0xFF, a, b); }
  static V minWhere(Mask m, V a, V b) { return _mm512_mask_min_pd(b, m, a, b); }  // one masked operation
  static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }  // a*b + c, one rounding
  static V fms(V a, V b, V c) { return _mm512_fmsub_pd(a, b, c); }  // a*b - c, one rounding
  static Mask less(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
  static Mask equal(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
  static Mask notEqual(V a, V b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
  static Mask both(Mask a, Mask b) { return static_cast<Mask>(a & b); }
  static Mask either(Mask a, Mask b) { return static_cast<Mask>(a | b); }
  static Mask noMask() { return 0; }
  static bool any(Mask m) { return m != 0; }
  static uint64_t laneBits(Mask m) { return m; }
  static bool noBitsIn(V v, V bits) {
    return _mm512_test_epi64_mask(_mm512_castpd_si512(v), _mm512_castpd_si512(bits)) == 0;
  }
  static V bitXor(V a, V b) {
    return _mm512_castsi512_pd(_mm512_xor_epi64(_mm512_castpd_si512(a), _mm512_castpd_si512(b)));
  }
  static V halvedBits(V a, V b) {
    const __m512i ha = _mm512_maskz_srli_epi64(0xFF, _mm512_castpd_si512(abs(a)), 1);
    const __m512i hb = _mm512_maskz_srli_epi64(0xFF, _mm512_castpd_si512(abs(b)), 1);
    return _mm512_castsi512_pd(_mm512_add_epi64(ha, hb));
  }
  static Mask bitsBelow(V h, int64_t limit) {
    return _mm512_cmplt_epi64_mask(_mm512_castpd_si512(h), _mm512_set1_epi64(limit));
  }
  static Mask bitsAtLeast(V h, int64_t limit) {
    return _mm512_cmpge_epi64_mask(_mm512_castpd_si512(h), _mm512_set1_epi64(limit));
  }
  static Mask halvedBitsBelow(V a, V b, int64_t limit) { return bitsBelow(halvedBits(a, b), limit); }
  static V select(Mask m, V a, V b) { return _mm512_mask_blend_pd(m, b, a); }
  static V zeroWhere(Mask m, V v) { return _mm512_maskz_mov_pd(static_cast<Mask>(~m), v); }
  template <int H>
  static V swap(V v) {
    static_assert(H == 1 || H == 2 || H == 4);
    if constexpr (H == 4) return _mm512_maskz_shuffle_f64x2(0xFF, v, v, 0x4E);  // the 256-bit halves
    if constexpr (H == 2) return _mm512_maskz_permutex_pd(0xFF, v, 0x4E);       // pairs within each half
    return _mm512_maskz_permute_pd(0xFF, v, 0x55);                              // neighbours
  }
  template <int Bits>
  static V blend(V a, V b) {
    return _mm512_mask_blend_pd(static_cast<Mask>(Bits), b, a);
  }
  static double first(V v) { return _mm512_cvtsd_f64(v); }
};

}  // namespace
