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

// The merge's pass in one loop: sixteen vectors of sums (and the three limbs beside them,
// in a masked seventeenth) wait in registers while both records are tested, and are
// stored only when both pass, and only where other's limbs are not zero.
bool sela::limbsMergeAvx512(uint64_t* acc, const uint64_t* other, LimbTest accTest, LimbTest otherTest) {
  const __m512i pa = _mm512_set1_epi64(static_cast<long long>(accTest.shift));
  const __m512i po = _mm512_set1_epi64(static_cast<long long>(otherTest.shift));
  constexpr __mmask8 kTail = (1u << (kSuperLimbs - 128)) - 1;  // limbs 128 .. 130
  __m512i sums[17];
  __mmask8 live[17];  // the lanes where other's limb is not zero: the only sums that differ
  __m512i ra[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
  __m512i ro[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
#pragma GCC unroll 17
  for (int j = 0; j < 17; ++j) {
    // The masked load reads limbs 128 .. 130 only (the lanes beyond are zero, never
    // touched in memory), and zero lanes plus a shift pass both tests: 0 + P < 2P.
    const __m512i a = j < 16 ? _mm512_loadu_si512(acc + 8 * j) : _mm512_maskz_loadu_epi64(kTail, acc + 8 * j);
    const __m512i o = j < 16 ? _mm512_loadu_si512(other + 8 * j) : _mm512_maskz_loadu_epi64(kTail, other + 8 * j);
    ra[j % 2] = _mm512_or_si512(ra[j % 2], _mm512_add_epi64(a, pa));
    ro[j % 2] = _mm512_or_si512(ro[j % 2], _mm512_add_epi64(o, po));
    sums[j] = _mm512_add_epi64(a, o);
    live[j] = _mm512_test_epi64_mask(o, o);
  }
  const __mmask8 bad = _mm512_test_epi64_mask(_mm512_or_si512(ra[0], ra[1]),
                                              _mm512_set1_epi64(static_cast<long long>(accTest.forbidden))) |
                       _mm512_test_epi64_mask(_mm512_or_si512(ro[0], ro[1]),
                                              _mm512_set1_epi64(static_cast<long long>(otherTest.forbidden)));
  if (bad != 0) return false;
  // Only the limbs other changes are stored: a record of data of a few binades has a few
  // limbs in use, and the stores (most of them across two cache lines: the record is only
  // 8-byte aligned) cost more than the loads.
#pragma GCC unroll 17
  for (int j = 0; j < 17; ++j)
    if (live[j] != 0) _mm512_mask_storeu_epi64(acc + 8 * j, live[j], sums[j]);
  return true;
}

void sela::clearRecordAvx512(uint64_t* words) {
  static_assert(kAccumulatorWords == 17 * 8);
  _mm512_storeu_si512(words, _mm512_set_epi64(0, 0, 0, 0, 0, 0, kAddsAfterInit, static_cast<long long>(kAccumulatorFormat)));
#pragma GCC unroll 16
  for (int j = 1; j < 17; ++j) _mm512_storeu_si512(words + 8 * j, _mm512_setzero_si512());
}

// The survey on AVX-512 vectors: the shifted OR as limbsShiftedOrAvx512 forms it, and one
// mask bit per limb in use (a test of each vector against itself).
sela::LimbSurvey sela::limbsSurveyAvx512(const uint64_t* limbs, uint64_t p) {
  const __m512i shift = _mm512_set1_epi64(static_cast<long long>(p));
  constexpr __mmask8 kTail = (1u << (kSuperLimbs - 128)) - 1;  // limbs 128 .. 130
  __m512i r[2] = {_mm512_setzero_si512(), _mm512_setzero_si512()};
  uint64_t inUse[3] = {0, 0, 0};
#pragma GCC unroll 17
  for (int j = 0; j < 17; ++j) {
    // Zero lanes of the masked tail load pass the test (0 + p < 2p) and are not in use.
    const __m512i v = j < 16 ? _mm512_loadu_si512(limbs + 8 * j) : _mm512_maskz_loadu_epi64(kTail, limbs + 8 * j);
    r[j % 2] = _mm512_or_si512(r[j % 2], _mm512_add_epi64(v, shift));
    inUse[j / 8] |= static_cast<uint64_t>(_mm512_test_epi64_mask(v, v)) << (8 * (j % 8));
  }
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes, _mm512_or_si512(r[0], r[1]));
  const uint64_t shiftedOr = ((lanes[0] | lanes[1]) | (lanes[2] | lanes[3])) | ((lanes[4] | lanes[5]) | (lanes[6] | lanes[7]));
  return {shiftedOr, lowestInUse(inUse), highestInUse(inUse)};
}
