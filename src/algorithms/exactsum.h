// The superaccumulator's register: an exact fixed-point integer for sums of doubles and of
// products of two doubles, rounded to a double exactly once. This module is the register
// alone: the record, its deposits, merging, carry propagation, rounding and validation.
// The faster ways to feed it long arrays are in exactsum_arrangements.h, the entry points
// (superSum, superDot, add, addProducts) in exactengine.h.
//
// Limb k (0 .. kSuperLimbs - 1) is a signed 64-bit digit of radix 2^kLimbBits with weight
// 2^(32k - kFieldOffset) = 2^(32k - 1075), so limb 0's unit is half the smallest subnormal
// and a double's exponent field is the bit position of its significand (binary64.h). Each
// limb's upper 32 bits are headroom for deposits not yet carried. Infinities and NaNs
// never enter the register; they are kept in two side words that take precedence when
// the result is formed, and so does a third word that keeps the sign of a value grown
// beyond the register.
//
// The inline deposits below have internal linkage (static inline): they are also compiled
// into the FMA translation unit of the arrangements, whose copies must never stand in for
// the baseline ones.
#pragma once

#include <bit>
#include <cstdint>

#include "algorithms/binary64.h"

namespace sela {

constexpr int kLimbBits = 32;
constexpr int64_t kLimbMask = (int64_t{1} << kLimbBits) - 1;

// How many limbs: the register must hold exactly any sum of fewer than 2^63 deposits.
// Products of two doubles lie below 2^2048 (the square of 2^1024), so such a sum lies below
// 2^(2048 + 63), and its lowest kept bit is the unit 2^-1075: 3186 bits and a sign, 100
// limbs. The record's format has 131 (sela_accumulator's size is part of the library's
// interface); deposits touch limbs 0 .. 98 only, and the limbs above only ever receive
// carries. The register holds every value below 2^kRegisterTop = 2^3117 in magnitude.
constexpr int kProductRangeTop = 2 * (kExponentBias + 1);
constexpr int kLimbsNeeded = (kProductRangeTop + 63 + kFieldOffset) / kLimbBits + 1;
constexpr int kSuperLimbs = 131;
constexpr int kRegisterTop = kLimbBits * kSuperLimbs - kFieldOffset;
static_assert(kLimbsNeeded == 100 && kSuperLimbs >= kLimbsNeeded,
              "fewer than 2^63 deposits never carry out of the top limb");
static_assert(kRegisterTop == 3117);

// The headroom argument behind the countdown. One deposit changes any limb by less than
// 2^kDepositBoundLog2 = 2^52 in magnitude: a double adds < 2^32 to one limb and, its
// 53-bit significand shifted by at least one bit out of that limb, < 2^52 to the limb
// above; a product or a wide deposit adds < 2^32 to each of its limbs. From a zero
// register, k deposits leave |limb| < k * 2^52, and a carry of less than 2^32 must still
// fit beside that in a signed 64-bit word: k = 2^11 - 1 is the largest count that keeps
// k * 2^52 + 2^32 below 2^63. After a carry propagation each limb lies in [-2^32, 2^32),
// within one deposit's bound, so one fewer remains. Every limb therefore lies in [-b, b)
// with b = (kAddsAfterInit - addsLeft) * 2^52: the invariant that merging (which spends as
// much of acc's countdown as the other record has used) and the check of records from
// outside both rely on.
constexpr int kDepositBoundLog2 = kMantissaBits;
constexpr int64_t kAddsAfterInit = (int64_t{1} << (63 - kDepositBoundLog2)) - 1;
constexpr int64_t kAddsAfterCarry = kAddsAfterInit - 1;
static_assert(kLimbBits < kDepositBoundLog2);
static_assert(kAddsAfterInit == 2047 && kAddsAfterCarry == 2046, "the record's countdown is part of its format");

// Identifies a record of this layout: "SELA", an accumulator tag and the major version.
// A record from another major version, or one never initialised, carries another word.
constexpr uint64_t kAccumulatorFormat = 0x53454C4141430001ULL;

// The record. Its bytes are the public sela_accumulator (same size, plain words, no
// pointers), so a record copied with memcpy can travel between processes.
struct SuperAccumulator {
  uint64_t format;   // kAccumulatorFormat
  int64_t addsLeft;  // deposits left before the limbs must be normalised
  int64_t limbs[kSuperLimbs];
  uint64_t infBits;  // 0, or +inf / -inf, or a NaN once both infinities were seen
  uint64_t nanBits;  // 0, or the NaN with the largest mantissa field, sign cleared
  // 0, or +inf / -inf once the value left the register (beyond 2^3117) with that sign, or
  // a NaN once its sign was lost too (see carryPropagate). Below the side words, above
  // the limbs.
  uint64_t overflowBits;
};
constexpr int kAccumulatorWords = kSuperLimbs + 5;
static_assert(sizeof(SuperAccumulator) == kAccumulatorWords * sizeof(uint64_t));

// The empty register: all limbs and side words zero, addsLeft = kAddsAfterInit.
void initialize(SuperAccumulator& acc);

// Copies a record, given as its kAccumulatorWords words, into acc if it is valid: a state
// this code can have produced, that is the format word, a countdown in
// [0, kAddsAfterInit], every limb within the headroom the countdown says is used, side
// words of the right shape. Any record that passes can be added to, merged and rounded
// without overflow. False, with acc's contents unspecified, if it is not.
bool loadAccumulator(const uint64_t* words, SuperAccumulator& acc);

// The record worked on in place, given as its kAccumulatorWords words (the public record's
// bytes), each operation first checking it as loadAccumulator does: Invalid (nothing
// written) when it is not a valid record, Done when the operation left exactly the words
// that copying, operating and copying back would leave, NeedsRegister (nothing written)
// when it needs a carry propagation or the arrangements for long arrays: the caller then
// takes that route.
enum class InPlace { Invalid, Done, NeedsRegister };
// addEach of x[0..n-1]: in place while n fits a fresh countdown (n < 2^11), normalising
// the record in place where the countdown runs out.
InPlace addInPlace(uint64_t* words, const double* x, int64_t n);
// merge of the record `other` (which may be words itself): in place, normalising the
// record in place first where merge would, except where other itself would need it or
// other is the record and it needs it.
InPlace mergeInPlace(uint64_t* words, const uint64_t* other);
// The words of an empty record written over words (clearRecordImpl's copy).
void initializeRecord(uint64_t* words);
// round of a copy of the record, the record untouched: the limbs in use only. False when
// the record is not valid.
bool roundRecord(const uint64_t* words, double& result);

// ---- The record check's pass over the limbs, one copy per instruction set ----

// The OR of every limb plus p, the limbs given as unsigned words and the additions
// wrapping: the cheaper test of the record check (exactsum.cpp) asks whether it has a bit
// at some position or above. The same word from every copy. Sse2 is baseline
// (exactsum.cpp), Avx2 needs the AVX2 family (exactsum_avx2.cpp), Avx512 AVX-512F
// (exactsum_avx512.cpp).
uint64_t limbsShiftedOrSse2(const uint64_t* limbs, uint64_t p);
uint64_t limbsShiftedOrAvx2(const uint64_t* limbs, uint64_t p);
uint64_t limbsShiftedOrAvx512(const uint64_t* limbs, uint64_t p);
using LimbsShiftedOrKernel = uint64_t (*)(const uint64_t*, uint64_t);
// The copy this processor runs, chosen on first use (kernel_slot.h).
template <typename Kernel>
class KernelSlot;
extern KernelSlot<LimbsShiftedOrKernel> limbsShiftedOrImpl;

// The record check's pass that round makes: the OR of every limb plus p (as
// limbsShiftedOr gives it), and the lowest and the highest non-zero limb (-1 for both
// when every limb is zero). The same answer from every copy.
struct LimbSurvey {
  uint64_t shiftedOr;
  int64_t lowest;
  int64_t highest;
};
// The lowest and the highest limb whose bit is set in inUse (limb i at bit i % 64 of word
// i / 64), -1 for both when none is.
static inline int64_t lowestInUse(const uint64_t* inUse) {
  for (int w = 0; w < 3; ++w)
    if (inUse[w] != 0) return 64 * w + std::countr_zero(inUse[w]);
  return -1;
}
static inline int64_t highestInUse(const uint64_t* inUse) {
  for (int w = 2; w >= 0; --w)
    if (inUse[w] != 0) return 64 * w + 63 - std::countl_zero(inUse[w]);
  return -1;
}
LimbSurvey limbsSurveySse2(const uint64_t* limbs, uint64_t p);
LimbSurvey limbsSurveyAvx2(const uint64_t* limbs, uint64_t p);
LimbSurvey limbsSurveyAvx512(const uint64_t* limbs, uint64_t p);
using LimbsSurveyKernel = LimbSurvey (*)(const uint64_t*, uint64_t);
extern KernelSlot<LimbsSurveyKernel> limbsSurveyImpl;

// ---- The merge's pass over both records' limbs, one copy per instruction set ----

// The cheaper record test of one record's limbs (see wellWithinHeadroom in
// exactsum.cpp): the OR of every limb plus `shift`, as unsigned words with wrapping
// additions, must have no bit of `forbidden` set.
struct LimbTest {
  uint64_t shift;
  uint64_t forbidden;
};

// Adds other's limbs to acc's (unsigned wrapping additions: the signed limbs' additions)
// while making the cheaper test of both records in the same pass; the sums are stored
// only when both pass, and true is returned. False, with nothing written, when either
// fails. other may be acc itself: every limb is read before any is written. The same
// words from every copy. Sse2 is baseline (exactsum.cpp, portable vector code), Avx2 needs
// the AVX2 family, Avx512 AVX-512F.
bool limbsMergeSse2(uint64_t* acc, const uint64_t* other, LimbTest accTest, LimbTest otherTest);
bool limbsMergeAvx2(uint64_t* acc, const uint64_t* other, LimbTest accTest, LimbTest otherTest);
bool limbsMergeAvx512(uint64_t* acc, const uint64_t* other, LimbTest accTest, LimbTest otherTest);
using LimbsMergeKernel = bool (*)(uint64_t*, const uint64_t*, LimbTest, LimbTest);
extern KernelSlot<LimbsMergeKernel> limbsMergeImpl;

// Writes the words of an empty record (the format word, the countdown kAddsAfterInit,
// zeros elsewhere) over `words`, in stores of the width and at the places of the loads of
// the record check that usually follows (the limbs' vectors from limb 0): a load that
// spans several stores still in flight, or parts of two, cannot take its bytes from them
// and waits until they reach the cache.
void clearRecordSse2(uint64_t* words);
void clearRecordAvx2(uint64_t* words);
void clearRecordAvx512(uint64_t* words);
using ClearRecordKernel = void (*)(uint64_t*);
extern KernelSlot<ClearRecordKernel> clearRecordImpl;

// ---- Deposits of finite doubles, one copy per instruction set ----

// A window of kDepositWindow adjacent limb indices: a double whose index lies in it adds
// to its limb and the next, so the window's deposits reach kDepositWindow + 1 limbs. Data
// of a few binades lie in one window; a copy may sum their deposits per limb first.
constexpr int kDepositWindow = 5;
// If every element of x[0..n-1] (1 <= n <= kAddsAfterInit) is finite, adds their
// deposits to limbs (the words of depositing one element after another) and returns true;
// otherwise returns false with nothing written. None is the copy of the families without
// one (always false); Avx512 needs AVX-512F (exactsum_avx512.cpp).
bool depositFiniteNone(uint64_t* limbs, const double* x, int64_t n);
bool depositFiniteAvx512(uint64_t* limbs, const double* x, int64_t n);
using DepositFiniteKernel = bool (*)(uint64_t*, const double*, int64_t);
extern KernelSlot<DepositFiniteKernel> depositFiniteImpl;

// Whether a side word is set: the result is then that word, whatever the limbs hold, and
// only further NaNs and infinities can still change it.
static inline bool holdsSpecial(const SuperAccumulator& acc) { return acc.nanBits != 0 || acc.infBits != 0; }

// Records a NaN or an infinity (bit pattern u) in the side words.
void depositSpecial(SuperAccumulator& acc, uint64_t u);

// The significand M of a finite double's bit pattern u (the field plus the hidden bit, or
// a subnormal's bare field; 0 for a zero) and its position, the exponent field, or 1 for a
// subnormal or a zero: |x| = M * 2^(position - kFieldOffset). Without branches.
// e is u's exponent field.
static inline void significandAndPosition(uint64_t u, uint64_t e, uint64_t& m, uint64_t& position) {
  const uint64_t normal = e != 0;
  m = (u & kMantissaMask) | (normal << kMantissaBits);
  position = e + (1 - normal);
}

// The limb index and the signed amounts that a finite double (bit pattern u, exponent
// field e < kSpecialField) adds to limbs index and index + 1. Without branches on the
// data (signs and magnitudes are unpredictable): field 0 is a subnormal or zero, M = its
// bare field at the position of field 1; a zero adds 0.
static inline void depositParts(uint64_t u, uint64_t e, int64_t& index, int64_t& low, int64_t& high) {
  uint64_t m, position;
  significandAndPosition(u, e, m, position);
  const auto shift = static_cast<unsigned>(position % kLimbBits);
  index = static_cast<int64_t>(position / kLimbBits);
  // Two's complement negation by the sign mask: (v ^ -1) + 1 = -v.
  const int64_t negative = -static_cast<int64_t>(u >> 63);
  low = ((static_cast<int64_t>(m << shift) & kLimbMask) ^ negative) - negative;
  high = (static_cast<int64_t>(m >> (kLimbBits - shift)) ^ negative) - negative;
}

// The parts a double adds, as depositParts gives them; false, with the value recorded in
// the side words, for a NaN or an infinity, which never enter the limbs.
static inline bool finiteDepositParts(SuperAccumulator& acc, double x, int64_t& index, int64_t& low,
                                      int64_t& high) {
  const uint64_t u = bitsOf(x);
  const uint64_t e = exponentField(u);
  if (e == kSpecialField) [[unlikely]] {
    depositSpecial(acc, u);
    return false;
  }
  depositParts(u, e, index, low, high);
  return true;
}

// Deposits one double exactly: a normal or subnormal value adds < 2^32 to one limb and
// < 2^52 to the limb above; zeros add nothing; NaN and infinities go to the side words.
// Does not touch addsLeft: the caller counts.
static inline void deposit(SuperAccumulator& acc, double x) {
  int64_t index, low, high;
  if (!finiteDepositParts(acc, x, index, low, high)) return;
  acc.limbs[index] += low;
  acc.limbs[index + 1] += high;
}

// The element step of a product of finite factors (bit patterns ux, uy) into the limbs:
// P = Mx * My < 2^106 (each M as significandAndPosition gives it, so a zero factor makes
// P = 0) has weight 2^t in the register's unit, t = the positions' sum - kFieldOffset.
// Its 32-bit words at limb floor(t / 32) + k, k = 0 .. 4, are added, or subtracted for a
// negative product, word by word (each below 2^32; the top one below 2^9). Bits of weight
// below 2^-1075 are dropped: for t < 0 the words at limbs 0 .. 3 are those of P >> -t,
// exactly the bits of P * 2^t that words at limb indices of 0 and above would carry (and
// none beyond limb 3: P >> -t < 2^106). Without branches on the data.
static inline void depositFiniteProduct(int64_t* limbs, uint64_t ux, uint64_t uy) {
  uint64_t mx, my, px, py;
  significandAndPosition(ux, exponentField(ux), mx, px);
  significandAndPosition(uy, exponentField(uy), my, py);
  uint128 p = static_cast<uint128>(mx) * my;
  const auto t = static_cast<int64_t>(px + py) - kFieldOffset;
  const int64_t cut = t < 0 ? -t : 0;
  p >>= cut < 127 ? cut : 127;  // a shift by 127 leaves nothing, as any longer one would
  const auto kept = static_cast<uint64_t>(t < 0 ? 0 : t);
  const auto h = static_cast<unsigned>(kept % kLimbBits);
  int64_t* at = limbs + kept / kLimbBits;
  const uint128 q = p << h;
  const uint64_t top = h == 0 ? 0 : static_cast<uint64_t>(p >> (128 - h));
  // Two's complement negation by the sign mask: (v ^ -1) + 1 = -v.
  const int64_t negative = -static_cast<int64_t>((ux ^ uy) >> 63);
  auto word = [negative](uint64_t w) { return (static_cast<int64_t>(w) ^ negative) - negative; };
  at[0] += word(static_cast<uint64_t>(q) & kLimbMask);
  at[1] += word(static_cast<uint64_t>(q) >> kLimbBits);
  at[2] += word(static_cast<uint64_t>(q >> 64) & kLimbMask);
  at[3] += word(static_cast<uint64_t>(q >> 96));
  at[4] += word(top);
}

// One product x * y, the element step of the exact dot product: a NaN or infinity factor
// records the floating-point product in the side words, a zero factor adds nothing,
// otherwise the product's bits of weight 2^-1075 and above (the product floor) go to five
// limbs, each word below 2^32. Does not touch addsLeft: the caller counts.
void depositProduct(SuperAccumulator& acc, double x, double y);

// Adds (or subtracts) v * 2^(32 * limb), v split into 32-bit digits, as one counted
// deposit (each digit is below 2^32). Callers keep limb + (digits of v) within the
// register.
void depositWide(SuperAccumulator& acc, uint128 v, bool negative, int limb);

// The element arrangements: deposits x[0] ... x[n-1] (or the products x[i] * y[i]) in
// order, normalising whenever the countdown runs out. Every element counts, zeros and
// special values included.
void addEach(SuperAccumulator& acc, const double* x, int64_t n);
void addProductsEach(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

// Adds the value and the side words of `other` to acc, exactly as if other's deposits had
// been made into acc. `other` may be acc itself (the value doubles).
void merge(SuperAccumulator& acc, const SuperAccumulator& other);

// Normalises the limbs without changing the value: every limb below the top non-zero one
// in [0, 2^32), the top one in [-2^32, 2^32), non-zero and not -1 (unless it is limb 0).
// Returns the top limb's index (0 for a zero register); resets addsLeft to
// kAddsAfterCarry. A value beyond the register (|value| >= 2^3117, reachable only by
// merging records into themselves some three thousand times) is recorded in overflowBits
// by its sign and the limbs are cleared: no later addition of doubles or products could
// bring such a value back into the double range, so its rounding is +-inf by that sign
// for good. Only a sum with the other sign that no longer fits (a second overflow), or
// that reaches the top limb beside the first, makes the word a NaN: the sign is lost.
int64_t carryPropagate(SuperAccumulator& acc);

// The limbs that deposits of single doubles reach: a finite double's exponent field is at
// most kMaxFiniteField, so it touches limbs index = field / 32 <= 63 and index + 1. Fewer
// than kAddsAfterInit such deposits, carried, leave every limb above index + 1 zero but
// the next one, which receives a carry below 2^31 in magnitude (a limb is below 2^63 and
// loses its low 32 bits): a digit in normal form already. So a sum of at most
// kShortSumMaxLength doubles is held exactly by kShortLimbs limbs, with nothing to carry
// out of the top one.
constexpr int kShortLimbs = static_cast<int>(kMaxFiniteField) / kLimbBits + 3;
constexpr int64_t kShortSumMaxLength = kAddsAfterInit;
static_assert(kShortLimbs == 66);
// The exact sum of x[0] ... x[n-1], 1 <= n <= kShortSumMaxLength, rounded once as round
// rounds it, in a register of kShortLimbs limbs on the stack that never needs a carry
// propagation before the end and is rounded by reading the limbs deposits touched: very
// short inputs zero only those limbs; longer ones add data of a narrow range of exponents
// in bins (subnormal elements among them), and other data alternate between four copies
// of the limbs; sums of subnormal elements and zeros alone are one integer. False (result
// untouched) on an infinity or a NaN, whose side words need the full record, and for
// other lengths.
bool shortExactSum(const double* x, int64_t n, double& result);

// The sum of x[0] ... x[n-1] when one of them is an infinity or a NaN: the double round
// gives after add over them all, which the special elements alone decide. False (result
// untouched) when every element is finite.
bool specialSum(const double* x, int64_t n, double& result);

// nanBits if set, else infBits if set, else overflowBits if set, else the register
// rounded to nearest (ties to even), overflowing to +-inf where round-to-nearest does.
// Normalises in place.
double round(SuperAccumulator& acc);

}  // namespace sela
