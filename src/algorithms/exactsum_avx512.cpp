// The record check's pass over the limbs on AVX-512 vectors (built with -mavx512f for its
// suffix, cmake/kernels.cmake; reached only where the dispatch found that family).
#include <immintrin.h>

#include "algorithms/exactsum.h"

namespace sela {
namespace {

// The OR of three vectors in one operation (vpternlogq with the truth table of a | b | c).
// The merge's test chains take two vectors of shifted limbs per operation: on processors
// whose 512-bit integer operations share two ports (Intel's), its pass over both records
// is bound by those operations rather than by its loads.
inline __m512i or3(__m512i a, __m512i b, __m512i c) { return _mm512_ternarylogic_epi64(a, b, c, 0xFE); }

}  // namespace
}  // namespace sela

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
  // Each record's chain takes the shifted limbs of two vectors per step (or3); the
  // seventeenth vector's joins the chain's last step.
  __m512i ra = _mm512_setzero_si512(), ro = _mm512_setzero_si512();
  __m512i pendingA = ra, pendingO = ro;
#pragma GCC unroll 17
  for (int j = 0; j < 17; ++j) {
    // The masked load reads limbs 128 .. 130 only (the lanes beyond are zero, never
    // touched in memory), and zero lanes plus a shift pass both tests: 0 + P < 2P.
    const __m512i a = j < 16 ? _mm512_loadu_si512(acc + 8 * j) : _mm512_maskz_loadu_epi64(kTail, acc + 8 * j);
    const __m512i o = j < 16 ? _mm512_loadu_si512(other + 8 * j) : _mm512_maskz_loadu_epi64(kTail, other + 8 * j);
    const __m512i shiftedA = _mm512_add_epi64(a, pa);
    const __m512i shiftedO = _mm512_add_epi64(o, po);
    if (j % 2 == 0 && j < 16) {
      pendingA = shiftedA;
      pendingO = shiftedO;
    } else {
      ra = or3(ra, pendingA, shiftedA);
      ro = or3(ro, pendingO, shiftedO);
    }
    sums[j] = _mm512_add_epi64(a, o);
    live[j] = _mm512_test_epi64_mask(o, o);
  }
  const __mmask8 bad = _mm512_test_epi64_mask(ra, _mm512_set1_epi64(static_cast<long long>(accTest.forbidden))) |
                       _mm512_test_epi64_mask(ro, _mm512_set1_epi64(static_cast<long long>(otherTest.forbidden)));
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
  static_assert(kAccumulatorWords == 2 + 16 * 8 + 6);
  // The header, the limbs' vectors where the record check loads them, then limbs 128 .. 130
  // and the side words (the check's masked load of limbs 128 .. 130 lies within this
  // store, whose lanes beyond the record are masked).
  _mm_storeu_si128(reinterpret_cast<__m128i*>(words), _mm_set_epi64x(kAddsAfterInit, static_cast<long long>(kAccumulatorFormat)));
#pragma GCC unroll 16
  for (int j = 0; j < 16; ++j) _mm512_storeu_si512(words + 2 + 8 * j, _mm512_setzero_si512());
  _mm512_mask_storeu_epi64(words + 2 + 128, 0x3F, _mm512_setzero_si512());
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

namespace sela {
namespace {

// GCC's unmasked forms of these operations read an undefined vector its warnings flag: the
// zero-masked forms with every lane selected are the same instructions.
constexpr __mmask8 kAllLanes = 0xFF;

// Lane 0 of v after combining every lane with op: the halves, then the quarters, then the
// two lanes of each quarter.
template <typename Op>
uint64_t acrossLanes(__m512i v, Op op) {
  v = op(v, _mm512_maskz_shuffle_i64x2(kAllLanes, v, v, 0x4E));
  v = op(v, _mm512_maskz_shuffle_i64x2(kAllLanes, v, v, 0xB1));
  v = op(v, _mm512_maskz_shuffle_epi32(0xFFFF, v, _MM_PERM_BADC));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm512_maskz_extracti32x4_epi32(0xF, v, 0)));
}

// The parts of eight elements as depositParts forms them: M = the field's significand with
// the hidden bit for a normal, the bare field for a subnormal or zero, at bit position
// max(field, 1); index = position / 32, low = (M 2^(position mod 32)) mod 2^32 and high =
// M / 2^(32 - position mod 32), both negated for a negative element.
struct Parts {
  __m512i index, low, high;
};

inline Parts partsOf(__m512i u) {
  static_assert(kLimbBits == 32);
  const __m512i field = _mm512_and_si512(_mm512_maskz_srli_epi64(kAllLanes, u, kMantissaBits),
                                         _mm512_set1_epi64(static_cast<long long>(kSpecialField)));
  const __m512i significand = _mm512_and_si512(u, _mm512_set1_epi64(static_cast<long long>(kMantissaMask)));
  const __m512i m = _mm512_mask_or_epi64(significand, _mm512_test_epi64_mask(field, field), significand,
                                         _mm512_set1_epi64(static_cast<long long>(kHiddenBit)));
  const __m512i position = _mm512_maskz_max_epu64(kAllLanes, field, _mm512_set1_epi64(1));
  const __m512i shift = _mm512_and_si512(position, _mm512_set1_epi64(kLimbBits - 1));
  // Two's complement negation by the sign mask: (v ^ -1) + 1 = -v.
  const __m512i negative = _mm512_maskz_srai_epi64(kAllLanes, u, 63);
  const __m512i low = _mm512_and_si512(_mm512_maskz_sllv_epi64(kAllLanes, m, shift), _mm512_set1_epi64(kLimbMask));
  const __m512i high = _mm512_maskz_srlv_epi64(kAllLanes, m, _mm512_sub_epi64(_mm512_set1_epi64(kLimbBits), shift));
  return {_mm512_maskz_srli_epi64(kAllLanes, position, 5), _mm512_sub_epi64(_mm512_xor_si512(low, negative), negative),
          _mm512_sub_epi64(_mm512_xor_si512(high, negative), negative)};
}

}  // namespace
}  // namespace sela

// The deposits on AVX-512 vectors, eight elements at a time. A first pass finds the range
// of exponent fields (and any NaN or infinity, field 2047, which declines). Data whose limb
// indices lie in one window add their parts to one sum per limb of the window in
// registers: limb lo + k takes the low parts of the elements of index lo + k and the high
// parts of those of index lo + k - 1; each limb of the window then takes its sum once.
// Other data add each element's parts to its two limbs, the parts formed eight at a time.
// The lanes of a partial last vector load zeros, whose parts are 0. Either way the words
// are those of depositing one element after another: integer additions commute and wrap
// alike, and the headroom keeps the true values in range.
bool sela::depositFiniteAvx512(uint64_t* limbs, const double* x, int64_t n) {
  const auto lanes = [n](int64_t i) {
    return n - i >= 8 ? static_cast<__mmask8>(0xFF) : static_cast<__mmask8>((1u << (n - i)) - 1);
  };
  const __m512i fieldMask = _mm512_set1_epi64(static_cast<long long>(kSpecialField));
  __m512i lowest = fieldMask;
  __m512i highest = _mm512_setzero_si512();
  for (int64_t i = 0; i < n; i += 8) {
    const __mmask8 m = lanes(i);
    const __m512i field =
        _mm512_and_si512(_mm512_maskz_srli_epi64(kAllLanes, _mm512_maskz_loadu_epi64(m, x + i), kMantissaBits), fieldMask);
    lowest = _mm512_mask_min_epu64(lowest, m, lowest, _mm512_maskz_max_epu64(kAllLanes, field, _mm512_set1_epi64(1)));
    highest = _mm512_mask_max_epu64(highest, m, highest, field);
  }
  const uint64_t top = acrossLanes(highest, [](__m512i a, __m512i b) { return _mm512_maskz_max_epu64(kAllLanes, a, b); });
  const uint64_t lo =
      acrossLanes(lowest, [](__m512i a, __m512i b) { return _mm512_maskz_min_epu64(kAllLanes, a, b); }) / kLimbBits;
  if (top == kSpecialField) return false;

  if (top / kLimbBits >= lo + kDepositWindow) {
    alignas(64) uint64_t index[8], low[8], high[8];
    for (int64_t i = 0; i < n; i += 8) {
      const Parts p = partsOf(_mm512_maskz_loadu_epi64(lanes(i), x + i));
      _mm512_store_si512(index, p.index);
      _mm512_store_si512(low, p.low);
      _mm512_store_si512(high, p.high);
      const int64_t count = n - i < 8 ? n - i : 8;
      for (int64_t l = 0; l < count; ++l) {
        limbs[index[l]] += low[l];
        limbs[index[l] + 1] += high[l];
      }
    }
    return true;
  }

  const __m512i base = _mm512_set1_epi64(static_cast<long long>(lo));
  __m512i sums[kDepositWindow + 1];
  for (auto& v : sums) v = _mm512_setzero_si512();
  for (int64_t i = 0; i < n; i += 8) {
    const Parts p = partsOf(_mm512_maskz_loadu_epi64(lanes(i), x + i));
    const __m512i k = _mm512_sub_epi64(p.index, base);  // 0 .. kDepositWindow - 1
#pragma GCC unroll 8
    for (int w = 0; w < kDepositWindow; ++w) {
      const __mmask8 at = _mm512_cmpeq_epi64_mask(k, _mm512_set1_epi64(w));
      sums[w] = _mm512_mask_add_epi64(sums[w], at, sums[w], p.low);
      sums[w + 1] = _mm512_mask_add_epi64(sums[w + 1], at, sums[w + 1], p.high);
    }
  }
#pragma GCC unroll 8
  for (int w = 0; w <= kDepositWindow; ++w)
    limbs[lo + w] += acrossLanes(sums[w], [](__m512i a, __m512i b) { return _mm512_add_epi64(a, b); });
  return true;
}
