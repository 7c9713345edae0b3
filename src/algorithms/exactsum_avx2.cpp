// The record check's pass over the limbs on 256-bit vectors (built with -mavx -mfma for
// its suffix, cmake/kernels.cmake; reached only where the dispatch found the AVX2 family,
// which includes AVX2 itself: the 64-bit integer lanes below need it, so the function
// enables it).
#include <immintrin.h>

#include "algorithms/exactsum.h"

__attribute__((target("avx2"))) uint64_t sela::limbsShiftedOrAvx2(const uint64_t* limbs, uint64_t p) {
  static_assert(kSuperLimbs == 32 * 4 + 3, "thirty-two whole vectors and three limbs");
  const __m256i shift = _mm256_set1_epi64x(static_cast<long long>(p));
  __m256i r[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
#pragma GCC unroll 32
  for (int j = 0; j < 32; ++j) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(limbs + 4 * j));
    r[j % 4] = _mm256_or_si256(r[j % 4], _mm256_add_epi64(v, shift));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_or_si256(_mm256_or_si256(r[0], r[1]), _mm256_or_si256(r[2], r[3])));
  // Limbs 128 .. 130 beside the lanes.
  return ((lanes[0] | lanes[1]) | (lanes[2] | lanes[3])) | (((limbs[128] + p) | (limbs[129] + p)) | (limbs[130] + p));
}
