// The SSE2 intrinsics the baseline code is written with. On x86-64 they are the
// compiler's own (<emmintrin.h>; SSE2 is part of every x86-64 processor). Elsewhere (aarch64)
// this header defines the same names over the compiler's generic two-lane vectors, each
// function the same IEEE operation per lane as the instruction it stands for, so that the
// one text of every algorithm gives the same bits on both architectures. The compiler
// turns the generic vectors into the target's own two-lane arithmetic (Advanced SIMD on
// aarch64), whose additions, subtractions, multiplications and divisions are IEEE
// binary64 operations rounded to nearest like SSE2's.
//
// Only the intrinsics the library uses are here; using another fails to compile on
// aarch64 rather than silently differing. The definitions keep the intrinsics' reserved
// names on purpose (they exist only where no <emmintrin.h> defines them) and have internal
// linkage, as everything in the operation sets does (vector_ops.h).
//
// What the x86 instructions define beyond plain per-lane arithmetic, kept here:
//   comparisons give all-ones or all-zero lanes; the ordered ones (lt, le, eq) are false
//   for a NaN operand, cmpneq is true for one;
//   maxpd gives its second operand unless the first is greater (so for a NaN operand, or
//   for +0 against -0, the second), which is a > b ? a : b and not IEEE maxNum; minpd
//   likewise with a < b;
//   movemask gathers the lanes' sign bits, lane 0 in bit 0.
// The one thing not kept: the bits of a NaN made by an invalid operation (inf - inf,
// 0 * inf) are the processor's (x86 gives the negative quiet NaN, aarch64 the positive
// one), as they are in scalar code.
#pragma once

#if defined(__x86_64__)

#include <emmintrin.h>

#else

#include <cstdint>
#include <cstring>

namespace {

typedef double __m128d __attribute__((vector_size(16), may_alias));
typedef long long __m128i __attribute__((vector_size(16), may_alias));

inline __m128i bitsOf(__m128d a) { return (__m128i)a; }
inline __m128d doublesOf(__m128i a) { return (__m128d)a; }

inline __m128d _mm_setzero_pd() { return __m128d{0.0, 0.0}; }
inline __m128d _mm_set1_pd(double a) { return __m128d{a, a}; }
inline __m128d _mm_set_pd(double hi, double lo) { return __m128d{lo, hi}; }
inline __m128d _mm_set_sd(double a) { return __m128d{a, 0.0}; }
inline __m128i _mm_set1_epi64x(long long a) { return __m128i{a, a}; }
inline __m128i _mm_set_epi64x(long long hi, long long lo) { return __m128i{lo, hi}; }
inline __m128d _mm_castsi128_pd(__m128i a) { return doublesOf(a); }

inline __m128d _mm_loadu_pd(const double* p) {
  __m128d v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline __m128d _mm_load_sd(const double* p) { return __m128d{*p, 0.0}; }
inline __m128d _mm_load1_pd(const double* p) { return __m128d{*p, *p}; }
inline void _mm_store_sd(double* p, __m128d a) { *p = a[0]; }
inline void _mm_storeu_pd(double* p, __m128d a) { std::memcpy(p, &a, sizeof a); }
inline double _mm_cvtsd_f64(__m128d a) { return a[0]; }

inline __m128d _mm_add_pd(__m128d a, __m128d b) { return a + b; }
inline __m128d _mm_sub_pd(__m128d a, __m128d b) { return a - b; }
inline __m128d _mm_mul_pd(__m128d a, __m128d b) { return a * b; }
inline __m128d _mm_div_pd(__m128d a, __m128d b) { return a / b; }
inline __m128d _mm_add_sd(__m128d a, __m128d b) { return __m128d{a[0] + b[0], a[1]}; }
inline __m128d _mm_min_pd(__m128d a, __m128d b) { return __m128d{a[0] < b[0] ? a[0] : b[0], a[1] < b[1] ? a[1] : b[1]}; }
inline __m128d _mm_max_pd(__m128d a, __m128d b) { return __m128d{a[0] > b[0] ? a[0] : b[0], a[1] > b[1] ? a[1] : b[1]}; }

inline __m128d _mm_and_pd(__m128d a, __m128d b) { return doublesOf(bitsOf(a) & bitsOf(b)); }
inline __m128d _mm_or_pd(__m128d a, __m128d b) { return doublesOf(bitsOf(a) | bitsOf(b)); }
inline __m128d _mm_andnot_pd(__m128d a, __m128d b) { return doublesOf(~bitsOf(a) & bitsOf(b)); }

inline __m128d _mm_cmplt_pd(__m128d a, __m128d b) { return doublesOf(a < b); }
inline __m128d _mm_cmple_pd(__m128d a, __m128d b) { return doublesOf(a <= b); }
inline __m128d _mm_cmpeq_pd(__m128d a, __m128d b) { return doublesOf(a == b); }
inline __m128d _mm_cmpneq_pd(__m128d a, __m128d b) { return doublesOf(a != b); }
inline int _mm_movemask_pd(__m128d a) {
  const __m128i bits = bitsOf(a);
  return static_cast<int>((static_cast<uint64_t>(bits[0]) >> 63) | ((static_cast<uint64_t>(bits[1]) >> 63) << 1));
}

inline __m128d _mm_unpacklo_pd(__m128d a, __m128d b) { return __m128d{a[0], b[0]}; }
inline __m128d _mm_unpackhi_pd(__m128d a, __m128d b) { return __m128d{a[1], b[1]}; }

}  // namespace

#endif
