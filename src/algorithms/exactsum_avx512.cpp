// The record check's pass over the limbs on AVX-512 vectors (built with -mavx512f for its
// suffix, cmake/kernels.cmake; reached only where the dispatch found that family).
#include <immintrin.h>

#include "algorithms/exactsum.h"

uint64_t sela::limbsShiftedOrAvx512(const uint64_t* limbs, uint64_t p) {
  static_assert(kSuperLimbs == 16 * 8 + 3, "sixteen whole vectors and three limbs");
  const __m512i shift = _mm512_set1_epi64(static_cast<long long>(p));
  __m512i r[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) {
    r[j % 2] = _mm512_or_si512(r[j % 2], _mm512_add_epi64(_mm512_loadu_si512(limbs + 8 * j), shift));
  }
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes, _mm512_or_si512(r[0], r[1]));
  // Limbs 128 .. 130 beside the lanes.
  return (((lanes[0] | lanes[1]) | (lanes[2] | lanes[3])) | ((lanes[4] | lanes[5]) | (lanes[6] | lanes[7]))) |
         (((limbs[128] + p) | (limbs[129] + p)) | (limbs[130] + p));
}
