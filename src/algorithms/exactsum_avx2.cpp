// The record check's pass over the limbs on 256-bit vectors (built with -mavx2 -mfma for
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

// The merge's pass: one loop testing both records, four independent OR chains each, then
// one adding (the 33 vectors of sums would not wait in sixteen registers for the test).
__attribute__((target("avx2"))) bool sela::limbsMergeAvx2(uint64_t* acc, const uint64_t* other, LimbTest accTest,
                                                          LimbTest otherTest) {
  const __m256i pa = _mm256_set1_epi64x(static_cast<long long>(accTest.shift));
  const __m256i po = _mm256_set1_epi64x(static_cast<long long>(otherTest.shift));
  __m256i ra[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
  __m256i ro[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
#pragma GCC unroll 32
  for (int j = 0; j < 32; ++j) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + 4 * j));
    const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(other + 4 * j));
    ra[j % 2] = _mm256_or_si256(ra[j % 2], _mm256_add_epi64(a, pa));
    ro[j % 2] = _mm256_or_si256(ro[j % 2], _mm256_add_epi64(o, po));
  }
  const __m256i fa = _mm256_set1_epi64x(static_cast<long long>(accTest.forbidden));
  const __m256i fo = _mm256_set1_epi64x(static_cast<long long>(otherTest.forbidden));
  const __m256i bad = _mm256_or_si256(_mm256_and_si256(_mm256_or_si256(ra[0], ra[1]), fa),
                                      _mm256_and_si256(_mm256_or_si256(ro[0], ro[1]), fo));
  // Limbs 128 .. 130 beside the vectors.
  uint64_t tailA = 0, tailO = 0;
  for (int i = 128; i < kSuperLimbs; ++i) {
    tailA |= acc[i] + accTest.shift;
    tailO |= other[i] + otherTest.shift;
  }
  if (!_mm256_testz_si256(bad, bad) || ((tailA & accTest.forbidden) | (tailO & otherTest.forbidden)) != 0) return false;
  // Only the vectors where other's limbs are not zero change (a record of data of a few
  // binades has a few limbs in use).
#pragma GCC unroll 32
  for (int j = 0; j < 32; ++j) {
    const __m256i o = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(other + 4 * j));
    if (_mm256_testz_si256(o, o)) continue;
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(acc + 4 * j));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(acc + 4 * j), _mm256_add_epi64(a, o));
  }
  for (int i = 128; i < kSuperLimbs; ++i) acc[i] += other[i];
  return true;
}

void sela::clearRecordAvx2(uint64_t* words) {
  static_assert(kAccumulatorWords == 2 + 32 * 4 + 6);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(words), _mm_set_epi64x(kAddsAfterInit, static_cast<long long>(kAccumulatorFormat)));
  // The limbs' vectors where the record check loads them, then limbs 128 .. 130 and the
  // side words.
#pragma GCC unroll 32
  for (int j = 0; j < 32; ++j) _mm256_storeu_si256(reinterpret_cast<__m256i*>(words + 2 + 4 * j), _mm256_setzero_si256());
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(words + 2 + 128), _mm256_setzero_si256());
  _mm_storeu_si128(reinterpret_cast<__m128i*>(words + 2 + 132), _mm_setzero_si128());
}

// The survey on 256-bit vectors: the shifted OR as limbsShiftedOrAvx2 forms it, and one
// bit per limb (from the sign bits of a compare with zero) for the limbs in use.
__attribute__((target("avx2"))) sela::LimbSurvey sela::limbsSurveyAvx2(const uint64_t* limbs, uint64_t p) {
  const __m256i shift = _mm256_set1_epi64x(static_cast<long long>(p));
  const __m256i zero = _mm256_setzero_si256();
  __m256i r[4] = {zero, zero, zero, zero};
  uint64_t zeroBits[2] = {0, 0};  // bit i: limb i (then 64 + i) is zero
#pragma GCC unroll 32
  for (int j = 0; j < 32; ++j) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(limbs + 4 * j));
    r[j % 4] = _mm256_or_si256(r[j % 4], _mm256_add_epi64(v, shift));
    const auto z = static_cast<uint64_t>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(v, zero))));
    zeroBits[j / 16] |= z << (4 * (j % 16));
  }
  alignas(32) uint64_t lanes[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), _mm256_or_si256(_mm256_or_si256(r[0], r[1]), _mm256_or_si256(r[2], r[3])));
  const uint64_t shiftedOr =
      ((lanes[0] | lanes[1]) | (lanes[2] | lanes[3])) | (((limbs[128] + p) | (limbs[129] + p)) | (limbs[130] + p));
  const uint64_t inUse[3] = {~zeroBits[0], ~zeroBits[1],
                             uint64_t{limbs[128] != 0} | uint64_t{limbs[129] != 0} << 1 | uint64_t{limbs[130] != 0} << 2};
  return {shiftedOr, lowestInUse(inUse), highestInUse(inUse)};
}
