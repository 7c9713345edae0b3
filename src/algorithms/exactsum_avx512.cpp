// The record's limb pass on AVX-512 vectors (built with -mavx512f for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found that family): the same
// words as scanLimbsIn (exactsum_kernels.h), with each vector's non-zero limbs taken as
// an eight-bit mask straight from the comparison.
#include <immintrin.h>

#include "algorithms/exactsum.h"

sela::LimbScan sela::scanLimbsAvx512(const uint64_t* limbs, uint64_t p) {
  static_assert(kSuperLimbs == 16 * 8 + 3, "sixteen whole vectors and three limbs");
  const __m512i shift = _mm512_set1_epi64(static_cast<long long>(p));
  __m512i shifted[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
  uint64_t nonzero[2] = {0, 0};
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) {
    const __m512i v = _mm512_loadu_si512(limbs + 8 * j);
    shifted[j % 2] = _mm512_or_si512(shifted[j % 2], _mm512_add_epi64(v, shift));
    nonzero[j / 8] |= static_cast<uint64_t>(_mm512_test_epi64_mask(v, v)) << (8 * (j % 8));
  }
  // Limbs 128 .. 130: the lanes above are neither read nor counted.
  constexpr __mmask8 kTail = 0b111;
  const __m512i v = _mm512_maskz_loadu_epi64(kTail, limbs + 128);
  const __m512i last = _mm512_maskz_add_epi64(kTail, v, shift);
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes, _mm512_or_si512(_mm512_or_si512(shifted[0], shifted[1]), last));
  LimbScan scan;
  scan.shifted = ((lanes[0] | lanes[1]) | (lanes[2] | lanes[3])) | ((lanes[4] | lanes[5]) | (lanes[6] | lanes[7]));
  scan.nonzero[0] = nonzero[0];
  scan.nonzero[1] = nonzero[1];
  scan.nonzero[2] = _mm512_test_epi64_mask(v, v);
  return scan;
}
