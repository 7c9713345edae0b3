// The SSE2 operation set (two lanes, part of every x86-64 processor; see vector_ops.h),
// and the lanes of an SSE2 register as doubles.
#pragma once

#include "algorithms/sse2_intrinsics.h"

#include <cstdint>

#include "algorithms/vector_ops.h"

namespace {

struct Sse2Ops {
  static constexpr int64_t W = 2;
  using V = __m128d;
  using Mask = __m128d;  // all-ones lanes
  static V zero() { return _mm_setzero_pd(); }
  static V set1(double v) { return _mm_set1_pd(v); }
  static V load(const double* p) { return _mm_loadu_pd(p); }
  static V loadFirst(const double* p, int64_t k) {
    return k == 2 ? _mm_loadu_pd(p) : k == 1 ? _mm_load_sd(p) : _mm_setzero_pd();
  }
  static void store(double* p, V v) { _mm_storeu_pd(p, v); }
  static V add(V a, V b) { return _mm_add_pd(a, b); }
  static V sub(V a, V b) { return _mm_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm_mul_pd(a, b); }
  static V div(V a, V b) { return _mm_div_pd(a, b); }
  static V abs(V a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
  static V bitAnd(V a, V b) { return _mm_and_pd(a, b); }
  static V bitOr(V a, V b) { return _mm_or_pd(a, b); }
  static V min(V a, V b) { return _mm_min_pd(a, b); }
  static V minWhere(Mask m, V a, V b) {
    const V low = _mm_min_pd(a, b);
    return _mm_or_pd(_mm_and_pd(m, low), _mm_andnot_pd(m, b));
  }
  static V max(V a, V b) { return _mm_max_pd(a, b); }
  static Mask less(V a, V b) { return _mm_cmplt_pd(a, b); }
  static Mask equal(V a, V b) { return _mm_cmpeq_pd(a, b); }
  static Mask notEqual(V a, V b) { return _mm_cmpneq_pd(a, b); }
  static Mask both(Mask a, Mask b) { return _mm_and_pd(a, b); }
  static Mask either(Mask a, Mask b) { return _mm_or_pd(a, b); }
  static Mask noMask() { return _mm_setzero_pd(); }
  static bool any(Mask m) { return _mm_movemask_pd(m) != 0; }
  static uint64_t laneBits(Mask m) { return static_cast<uint64_t>(_mm_movemask_pd(m)); }
  static bool noBitsIn(V v, V bits) { return !any(notEqual(_mm_and_pd(v, bits), zero())); }
  static V select(Mask m, V a, V b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
  static V zeroWhere(Mask m, V v) { return _mm_andnot_pd(m, v); }
  template <int H>
  static V swap(V v) {
    static_assert(H == 1);
    return _mm_unpacklo_pd(_mm_unpackhi_pd(v, v), v);
  }
  template <int Bits>
  static V blend(V a, V b) {
    const Mask m = _mm_castsi128_pd(_mm_set_epi64x((Bits & 2) != 0 ? -1 : 0, (Bits & 1) != 0 ? -1 : 0));
    return select(m, a, b);
  }
  static double first(V v) { return _mm_cvtsd_f64(v); }
};

inline double lowLane(__m128d v) { return _mm_cvtsd_f64(v); }
inline double highLane(__m128d v) { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }

}  // namespace
