// The record's limb pass on 256-bit vectors (built with -mavx -mfma for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found the AVX2 family, which
// includes AVX2 itself: the 64-bit integer lanes below need it, so it is enabled here).
// Each vector's non-zero limbs come as four bits from the comparison with zero.
#pragma GCC target("avx2")
#include <immintrin.h>

#include "algorithms/exactsum.h"

sela::LimbScan sela::scanLimbsAvx2(const uint64_t* limbs, uint64_t p) {
  static_assert(kSuperLimbs == 32 * 4 + 3, "thirty-two whole vectors and three limbs");
  const __m256i shift = _mm256_set1_epi64x(static_cast<long long>(p));
  const __m256i zero = _mm256_setzero_si256();
  __m256i shifted[2] = {zero, zero};
  uint64_t isZero[2] = {0, 0};
#pragma GCC unroll 32
  for (int j = 0; j < 32; ++j) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(limbs + 4 * j));
    shifted[j % 2] = _mm256_or_si256(shifted[j % 2], _mm256_add_epi64(v, shift));
    const auto zeroLanes = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(v, zero))));
    isZero[j / 16] |= uint64_t{zeroLanes} << (4 * (j % 16));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_or_si256(shifted[0], shifted[1]));
  LimbScan scan;
  scan.shifted = (lanes[0] | lanes[1]) | (lanes[2] | lanes[3]);
  scan.nonzero[0] = ~isZero[0];
  scan.nonzero[1] = ~isZero[1];
  scan.nonzero[2] = 0;
  // Limbs 128 .. 130.
  for (int k = 128; k < kSuperLimbs; ++k) {
    scan.shifted |= limbs[k] + p;
    scan.nonzero[2] |= uint64_t{limbs[k] != 0} << (k - 128);
  }
  return scan;
}
