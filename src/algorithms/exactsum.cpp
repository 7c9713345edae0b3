#include "algorithms/exactsum.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

#include "kernel_slot.h"

namespace sela {

// Eight independent chains of two operations per limb (the compiler pairs them in SSE2
// registers).
uint64_t limbsShiftedOrSse2(const uint64_t* limbs, uint64_t p) {
  uint64_t r[8] = {};
  int i = 0;
  for (; i + 8 <= kSuperLimbs; i += 8)
    for (int j = 0; j < 8; ++j) r[j] |= limbs[i + j] + p;
  for (; i < kSuperLimbs; ++i) r[0] |= limbs[i] + p;
  return ((r[0] | r[1]) | (r[2] | r[3])) | ((r[4] | r[5]) | (r[6] | r[7]));
}

// The record check reads all 1048 bytes of limbs of every record it is given; the wider
// copies read them in fewer loads.
constinit KernelSlot<LimbsShiftedOrKernel> limbsShiftedOrImpl{
    {limbsShiftedOrSse2, SELA_X86_KERNEL(limbsShiftedOrAvx2), SELA_X86_KERNEL(limbsShiftedOrAvx512)}};

namespace {

// Two limbs in one portable vector (SSE2 on x86-64, NEON on aarch64); unaligned loads and
// stores go through memcpy.
using Lanes2 = uint64_t __attribute__((vector_size(16)));

inline Lanes2 loadLanes(const uint64_t* p) {
  Lanes2 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline void storeLanes(uint64_t* p, Lanes2 v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

// The baseline survey: the shifted OR, then the scans from both ends, four limbs at a time
// (most of a register is zero).
LimbSurvey limbsSurveySse2(const uint64_t* limbs, uint64_t p) {
  LimbSurvey s{limbsShiftedOrSse2(limbs, p), -1, -1};
  int64_t u = kSuperLimbs - 1;
  while (u >= 3 && (limbs[u] | limbs[u - 1] | limbs[u - 2] | limbs[u - 3]) == 0) u -= 4;
  while (u >= 0 && limbs[u] == 0) --u;
  if (u < 0) return s;
  int64_t lo = 0;
  while (lo + 4 <= u && (limbs[lo] | limbs[lo + 1] | limbs[lo + 2] | limbs[lo + 3]) == 0) lo += 4;
  while (limbs[lo] == 0) ++lo;
  s.lowest = lo;
  s.highest = u;
  return s;
}

constinit KernelSlot<LimbsSurveyKernel> limbsSurveyImpl{
    {limbsSurveySse2, SELA_X86_KERNEL(limbsSurveyAvx2), SELA_X86_KERNEL(limbsSurveyAvx512)}};

// One pass testing both records (four independent OR chains per record), then one adding:
// with sixteen vector registers the sums cannot wait in registers for the test, so the
// limbs are read again from the cache instead.
bool limbsMergeSse2(uint64_t* acc, const uint64_t* other, LimbTest accTest, LimbTest otherTest) {
  static_assert(kSuperLimbs == 32 * 4 + 3, "thirty-two pairs of two vectors and three limbs");
  Lanes2 ra[2] = {}, ro[2] = {};
  for (int i = 0; i < 128; i += 4) {
    for (int j = 0; j < 2; ++j) {
      ra[j] |= loadLanes(acc + i + 2 * j) + accTest.shift;
      ro[j] |= loadLanes(other + i + 2 * j) + otherTest.shift;
    }
  }
  const Lanes2 a = ra[0] | ra[1];
  const Lanes2 o = ro[0] | ro[1];
  const uint64_t orA = (a[0] | a[1]) | (((acc[128] + accTest.shift) | (acc[129] + accTest.shift)) | (acc[130] + accTest.shift));
  const uint64_t orO = (o[0] | o[1]) |
                       (((other[128] + otherTest.shift) | (other[129] + otherTest.shift)) | (other[130] + otherTest.shift));
  if (((orA & accTest.forbidden) | (orO & otherTest.forbidden)) != 0) return false;
  // Only the pairs where other's limbs are not zero change.
  for (int i = 0; i < 128; i += 2) {
    const Lanes2 v = loadLanes(other + i);
    if ((v[0] | v[1]) != 0) storeLanes(acc + i, loadLanes(acc + i) + v);
  }
  for (int i = 128; i < kSuperLimbs; ++i) acc[i] += other[i];
  return true;
}

constinit KernelSlot<LimbsMergeKernel> limbsMergeImpl{
    {limbsMergeSse2, SELA_X86_KERNEL(limbsMergeAvx2), SELA_X86_KERNEL(limbsMergeAvx512)}};

void clearRecordSse2(uint64_t* words) {
  static_assert(kAccumulatorWords % 2 == 0);
  storeLanes(words, Lanes2{kAccumulatorFormat, static_cast<uint64_t>(kAddsAfterInit)});
  for (int i = 2; i < kAccumulatorWords; i += 2) storeLanes(words + i, Lanes2{});
}

constinit KernelSlot<ClearRecordKernel> clearRecordImpl{
    {clearRecordSse2, SELA_X86_KERNEL(clearRecordAvx2), SELA_X86_KERNEL(clearRecordAvx512)}};

void initializeRecord(uint64_t* words) { clearRecordImpl.get()(words); }

bool depositFiniteNone(uint64_t*, const double*, int64_t) { return false; }

constinit KernelSlot<DepositFiniteKernel> depositFiniteImpl{
    {depositFiniteNone, nullptr, SELA_X86_KERNEL(depositFiniteAvx512)}};

void initialize(SuperAccumulator& acc) {
  std::memset(&acc, 0, sizeof acc);
  acc.format = kAccumulatorFormat;
  acc.addsLeft = kAddsAfterInit;
}

namespace {

inline bool isNaNPattern(uint64_t u) { return (u & kExponentMask) == kExponentMask && (u & kMantissaMask) != 0; }

// An infinity word (infBits or overflowBits) after meeting the infinity word b: +inf and
// -inf together make the platform's inf - inf, computed at run time as the element step
// does, so the word does not depend on the order in which records meet.
inline uint64_t combineInfinities(uint64_t a, uint64_t b) {
  if (b == 0 || a == b) return a;
  if (a == 0) return b;
  const double inf = fromBits(a);
  return bitsOf(inf - inf);
}

}  // namespace

namespace {

inline uint64_t infinityOfSign(bool negative) { return negative ? (kSignMask | kExponentMask) : kExponentMask; }

// 0, +inf, -inf or a NaN.
inline bool isInfinityWord(uint64_t u) {
  return u == 0 || u == kExponentMask || u == (kSignMask | kExponentMask) || isNaNPattern(u);
}

// The header words and side words of a record: format, countdown range, side-word shapes.
bool validFrame(uint64_t format, int64_t addsLeft, uint64_t inf, uint64_t nan, uint64_t overflow) {
  if (format != kAccumulatorFormat) return false;
  if (addsLeft < 0 || addsLeft > kAddsAfterInit) return false;
  if (!isInfinityWord(inf) || !isInfinityWord(overflow)) return false;
  if (nan != 0 && (!isNaNPattern(nan) || (nan & kSignMask) != 0)) return false;
  return true;
}

// Copies the limbs from `from` to `to` and checks each against the
// headroom the countdown says is used: k deposits' worth, so every limb lies in [-b, b),
// b = k * 2^52 (see kAddsAfterCarry). As unsigned words, limb + b then lies in [0, 2b),
// that is (limb + b) / 2^53 < k; v - k wraps to a word with its top bit set exactly when
// v < k, so the AND of all of them keeps the top bit exactly when every limb is in range.
// Plain adds, shifts and ANDs: the loop runs on vector registers.
// With Copy false, only checks (the record is read, nothing is written).
template <bool Copy>
bool limbsWithinHeadroom(const uint64_t* from, int64_t* to, int64_t addsLeft) {
  const auto k = static_cast<uint64_t>(kAddsAfterInit - addsLeft);
  const uint64_t b = k << kDepositBoundLog2;
  uint64_t inRange = ~uint64_t{0};
  uint64_t any = 0;
#pragma GCC unroll 4
  for (int i = 0; i < kSuperLimbs; ++i) {
    const uint64_t limb = from[i];
    if constexpr (Copy) to[i] = static_cast<int64_t>(limb);
    inRange &= ((limb + b) >> (kDepositBoundLog2 + 1)) - k;
    any |= limb;
  }
  // With no headroom used (k = 0) the register must be empty.
  return k == 0 ? any == 0 : (inRange >> 63) != 0;
}

}  // namespace

bool loadAccumulator(const uint64_t* words, SuperAccumulator& acc) {
  static_assert(offsetof(SuperAccumulator, format) == 0 && offsetof(SuperAccumulator, addsLeft) == 8 &&
                offsetof(SuperAccumulator, limbs) == 16 && offsetof(SuperAccumulator, overflowBits) == 8 * (kAccumulatorWords - 1));
  const uint64_t format = words[0];
  const auto addsLeft = static_cast<int64_t>(words[1]);
  const uint64_t* tail = words + 2 + kSuperLimbs;
  if (!validFrame(format, addsLeft, tail[0], tail[1], tail[2])) return false;
  if (!limbsWithinHeadroom<true>(words + 2, acc.limbs, addsLeft)) return false;
  acc.format = format;
  acc.addsLeft = addsLeft;
  acc.infBits = tail[0];
  acc.nanBits = tail[1];
  acc.overflowBits = tail[2];
  return true;
}

void merge(SuperAccumulator& acc, const SuperAccumulator& other) {
  // other's limbs are bounded by the headroom it has used: adding them spends as many
  // deposits of acc's countdown. When acc has not that many left it is normalised; when
  // other has used more than a fresh normalisation leaves, a normalised copy is added.
  const int64_t cost = kAddsAfterInit - other.addsLeft;
  if (cost > kAddsAfterCarry) {
    SuperAccumulator normal = other;
    carryPropagate(normal);
    merge(acc, normal);
    return;
  }
  if (acc.addsLeft < cost) carryPropagate(acc);
  // Read other's words before writing acc's: they may be the same record.
  for (int k = 0; k < kSuperLimbs; ++k) acc.limbs[k] += other.limbs[k];
  acc.addsLeft -= cost;
  acc.infBits = combineInfinities(acc.infBits, other.infBits);
  acc.overflowBits = combineInfinities(acc.overflowBits, other.overflowBits);
  if ((other.nanBits & kMantissaMask) > (acc.nanBits & kMantissaMask)) acc.nanBits = other.nanBits;
}

namespace {

void recordSpecial(uint64_t& infBits, uint64_t& nanBits, uint64_t u) {
  const uint64_t f = u & kMantissaMask;
  if (f != 0) {
    // The NaN with the largest mantissa field wins; the later one on a tie.
    if (f >= (nanBits & kMantissaMask)) nanBits = u & ~kSignMask;
    return;
  }
  // Both infinities seen (or a NaN already recorded here): inf - inf is a NaN.
  infBits = combineInfinities(infBits, u);
}

}  // namespace

void depositSpecial(SuperAccumulator& acc, uint64_t u) { recordSpecial(acc.infBits, acc.nanBits, u); }

// round reads nanBits, then infBits, before the limbs or the overflow word, and add
// records every special element through recordSpecial: so once one element is special,
// the finite ones cannot change the result. recordSpecial over the special elements
// alone, in order, leaves the words add leaves (the NaN with the largest mantissa field,
// its sign cleared, so a tie gives the same word either way; combineInfinities does not
// depend on the order in which infinities meet). A branch-free read of each stretch of
// elements tells whether it holds a special one; only such stretches are looked at one
// by one. This spares data with a NaN or an infinity the short register's attempts and
// add's element-by-element path (4 to 7 ns per element at n = 1000 on an Intel Xeon,
// 1.1 to 1.3 with this route; 0.45 without a special).
bool specialSum(const double* x, int64_t n, double& result) {
  constexpr int64_t kStretch = 256;
  uint64_t infBits = 0, nanBits = 0;
  bool seen = false;
  for (int64_t from = 0; from < n; from += kStretch) {
    const int64_t to = n - from < kStretch ? n : from + kStretch;
    // The exponent field plus one carries into the sign bit exactly when it is all ones
    // (additions, ands and ors only, so any vector set runs it).
    uint64_t carries = 0;
    for (int64_t i = from; i < to; ++i) carries |= (bitsOf(x[i]) & kExponentMask) + kHiddenBit;
    if ((carries & kSignMask) == 0) [[likely]] continue;
    seen = true;
    for (int64_t i = from; i < to; ++i) {
      const uint64_t u = bitsOf(x[i]);
      if (exponentField(u) == kSpecialField) recordSpecial(infBits, nanBits, u);
    }
  }
  if (!seen) return false;
  result = fromBits(nanBits != 0 ? nanBits : infBits);
  return true;
}

void depositWide(SuperAccumulator& acc, uint128 v, bool negative, int limb) {
  if (acc.addsLeft == 0) carryPropagate(acc);
  acc.addsLeft -= 1;
  for (int k = limb; v != 0; ++k, v >>= kLimbBits) {
    const auto w = static_cast<int64_t>(static_cast<uint64_t>(v) & kLimbMask);
    acc.limbs[k] += negative ? -w : w;
  }
}

void addEach(SuperAccumulator& acc, const double* x, int64_t n) {
  while (n > 0) {
    if (acc.addsLeft == 0) carryPropagate(acc);
    const int64_t batch = std::min(n, acc.addsLeft);
    for (int64_t i = 0; i < batch; ++i) deposit(acc, x[i]);
    acc.addsLeft -= batch;
    x += batch;
    n -= batch;
  }
}

namespace {

// Returned by rippleCarries for a value beyond the limbs it was given.
constexpr int64_t kBeyondLimbs = -1;

// Brings limbs[lowest .. size-1] to normal form without changing their value (the limbs
// below `lowest` are zero and are neither read nor written), given u, the highest
// non-zero limb, and lo, with lowest < lo <= the lowest non-zero one, or lo = lowest = 0.
// Returns the top limb's index (0 for a zero value), or kBeyondLimbs when a carry would
// leave limbs[size - 1], with `negative` the sign of the value then.
int64_t rippleCarries(int64_t* limbs, int64_t size, int64_t lowest, int64_t lo, int64_t u, bool& negative) {
  // Ripple the carries from lo up to u: afterwards every limb below u is a digit in
  // [0, 2^32). A limb and an incoming carry stay within the signed 64-bit range: the limb
  // is below 2047 * 2^52 = 2^63 - 2^52 in magnitude and the carry below 2^32.
  int64_t carry = 0;
  for (int64_t i = lo; i < u; ++i) {
    const int64_t c = limbs[i] + carry;
    limbs[i] = c & kLimbMask;
    carry = c >> kLimbBits;  // arithmetic shift: floor(c / 2^32)
  }
  // At the top, carry on into the zero limbs above until what is left lies in
  // [-2^32, 2^32): a negative remainder stays as the top digit (carrying -1 into the zero
  // region above would only move the sign up).
  int64_t i = u;
  int64_t c = limbs[u] + carry;
  for (;;) {
    const int64_t chigh = c >> kLimbBits;
    if (chigh == 0 || chigh == -1) break;
    if (i == size - 1) {
      // Every digit below is a non-negative digit now, so the top one, c, gives the sign
      // (c >= 2^32 or c < -2^32).
      negative = c < 0;
      return kBeyondLimbs;
    }
    limbs[i] = c & kLimbMask;
    ++i;
    c = limbs[i] + chigh;  // limbs[i] is 0: i > u
  }
  limbs[i] = c;
  // The top digit may have cancelled: the top is then the highest non-zero digit below,
  // all of which are non-negative now.
  int64_t top = i;
  while (top > lowest && limbs[top] == 0) --top;
  if (limbs[top] == 0) return 0;
  // A top digit of -1 is folded into the digit below, which becomes negative. The result
  // is the unique normal form of the value, whatever the order the carries took. (The
  // fold stops at lo - 1 at the latest: that limb was zero, and becomes -2^32.)
  while (limbs[top] == -1 && top > 0) {
    limbs[top - 1] -= int64_t{1} << kLimbBits;
    limbs[top] = 0;
    --top;
  }
  return top;
}

// The value of limbs in normal form with top limb i, rounded to nearest (ties to even),
// +-inf where round-to-nearest overflows. Reads limbs[lowest .. i] only: the limbs below
// `lowest` are zero.
double roundNormalized(const int64_t* limbs, int64_t lowest, int64_t i) {
  const auto limb = [&](int64_t k) { return k >= lowest ? limbs[k] : int64_t{0}; };
  const int64_t v = limb(i);

  // Subnormal range: the value in units of 2^-1074 is the bit pattern itself. The lowest
  // bit of limb 0 (2^-1075) is dropped; sums only ever deposit even values there.
  if (i <= 1) {
    if (v == 0) return 0.0;
    if (i == 0) {
      const uint64_t mag = static_cast<uint64_t>(v < 0 ? -v : v) >> 1;
      return fromBits(mag | (v < 0 ? kSignMask : 0));
    }
    const int64_t t = v * (int64_t{1} << 31) + (limb(0) >> 1);
    if (t >= 0 && t < (int64_t{1} << 52)) return fromBits(static_cast<uint64_t>(t));
    if (t < 0 && t > -(int64_t{1} << 52)) return fromBits(static_cast<uint64_t>(-t) | kSignMask);
  }

  // Gather 55 bits: the significand at bits 2..54 of |w| and two rounding bits below.
  const uint64_t absV = static_cast<uint64_t>(v < 0 ? -v : v);
  const int z = std::countl_zero(absV);
  int more = z - 9;
  int64_t e = (63 - kMantissaBits) - z;  // the biased exponent is e + 32 i
  int64_t w = v * (int64_t{1} << more);
  int64_t j = i - 1;
  int64_t lower = limb(j);
  if (more >= 32) {
    more -= 32;
    w += lower * (int64_t{1} << more);
    j = i - 2;
    lower = limb(j);
  }
  w += lower >> (32 - more);
  lower &= (int64_t{1} << (32 - more)) - 1;

  // The remainder (lower and the limbs below j) adds to the magnitude when w >= 0 and
  // subtracts from it when w < 0; only whether it is non-zero matters.
  auto sticky = [&]() {
    if (lower != 0) return true;
    for (int64_t k = j - 1; k >= lowest; --k)
      if (limbs[k] != 0) return true;
    return false;
  };

  uint64_t sign = 0;
  bool up;
  if (w >= 0) {
    if ((w & 2) == 0) {
      up = false;
    } else if ((w & 1) != 0 || (w & 4) != 0) {
      up = true;
    } else {
      up = sticky();
    }
  } else {
    sign = kSignMask;
    if (((-w) & (int64_t{1} << 54)) == 0) {
      // One more bit from the remainder keeps the significand at bits 2..54.
      w = 2 * w;
      const int64_t bit = int64_t{1} << (31 - more);
      if ((lower & bit) != 0) {
        w += 1;
        lower &= ~bit;
      }
      e -= 1;
    }
    w = -w;
    const int64_t r = w & 3;
    if (r == 3) {
      up = true;
    } else if (r <= 1) {
      up = false;
    } else if ((w & 4) == 0) {
      up = false;
    } else {
      up = !sticky();
    }
  }
  if (up) {
    w += 4;
    if ((w & (int64_t{1} << 55)) != 0) {
      w /= 2;
      e += 1;
    }
  }
  const int64_t biased = e + kLimbBits * i;
  if (biased > static_cast<int64_t>(kMaxFiniteField)) return fromBits(sign | kExponentMask);
  const uint64_t frac = (static_cast<uint64_t>(w) >> 2) & kMantissaMask;
  return fromBits(sign | (static_cast<uint64_t>(biased) << kMantissaBits) | frac);
}

}  // namespace

namespace {

// carryPropagate's work on the limbs and the overflow word, wherever the record lives
// (a register of the call, or the caller's record in place), given u, the highest
// non-zero limb, and lo <= the lowest one (every limb below lo is zero): the same words
// for any such lo, since zero limbs with no carry into them stay zero.
int64_t carryLimbsWithin(int64_t* limbs, int64_t lo, int64_t u, uint64_t& overflowBits) {
  bool negative = false;
  const int64_t top = rippleCarries(limbs, kSuperLimbs, 0, lo, u, negative);
  if (top == kBeyondLimbs) {
    // |value| >= 2^3117, beyond the register. Only the sign is kept; the cleared register
    // stays within any headroom and goes on taking deposits.
    overflowBits = combineInfinities(overflowBits, infinityOfSign(negative));
    std::memset(limbs, 0, sizeof(int64_t) * kSuperLimbs);
    return 0;
  }
  // Beside a value already beyond the register (kept by its sign only, at least 2^3117 in
  // magnitude), a register below the top limb (under 2^3085) cannot change the sign or
  // bring the sum back into the double range. One in the top limb with the other sign
  // could: the value is then lost, and the word becomes what both signs give.
  if (overflowBits != 0 && top == kSuperLimbs - 1) {
    overflowBits = combineInfinities(overflowBits, infinityOfSign(limbs[top] < 0));
  }
  return top;
}

int64_t carryLimbs(int64_t* limbs, uint64_t& overflowBits) {
  // u: the highest non-zero limb, lo: the lowest one. The scans test four limbs at a
  // time; most of a register is zero (a sum of doubles of one binade touches two limbs).
  int64_t u = kSuperLimbs - 1;
  while (u >= 3 && (limbs[u] | limbs[u - 1] | limbs[u - 2] | limbs[u - 3]) == 0) u -= 4;
  while (u >= 0 && limbs[u] == 0) --u;
  if (u < 0) return 0;
  int64_t lo = 0;
  while (lo + 4 <= u && (limbs[lo] | limbs[lo + 1] | limbs[lo + 2] | limbs[lo + 3]) == 0) lo += 4;
  return carryLimbsWithin(limbs, lo, u, overflowBits);
}

}  // namespace

int64_t carryPropagate(SuperAccumulator& acc) {
  acc.addsLeft = kAddsAfterCarry;
  return carryLimbs(acc.limbs, acc.overflowBits);
}

namespace {

// The short register of shortExactSum: copy c of the limbs takes elements c, c + Copies,
// c + 2 Copies, ... Deposits into one limb then form Copies chains of additions through
// memory instead of one, each link of which waits for the store before it. Only the limbs
// that finite doubles reach are kept, all zeroed; lo and hi bound the limbs deposits
// touched (index and index + 1 for lo <= index <= hi).
template <int Copies>
bool shortSum(const double* x, int64_t n, double& result) {
  int64_t limbs[Copies][kShortLimbs] = {};
  int64_t lo = kShortLimbs;
  int64_t hi = 0;
  int64_t i = 0;
  const auto step = [&](int c, double v) {
    const uint64_t u = bitsOf(v);
    const uint64_t e = exponentField(u);
    if (e == kSpecialField) [[unlikely]]
      return false;
    int64_t index, low, high;
    depositParts(u, e, index, low, high);
    limbs[c][index] += low;
    limbs[c][index + 1] += high;
    lo = index < lo ? index : lo;
    hi = index > hi ? index : hi;
    return true;
  };
  for (; i + Copies <= n; i += Copies) {
    for (int c = 0; c < Copies; ++c)
      if (!step(c, x[i + c])) return false;
  }
  for (int c = 0; i < n; ++i, ++c)
    if (!step(c, x[i])) return false;
  // The copies' sum has the headroom of n <= kAddsAfterInit deposits into one register.
  for (int c = 1; c < Copies; ++c)
    for (int64_t k = lo; k <= hi + 1; ++k) limbs[0][k] += limbs[c][k];
  int64_t u = hi + 1;
  while (u > lo && limbs[0][u] == 0) --u;
  bool negative = false;
  result = roundNormalized(limbs[0], 0, rippleCarries(limbs[0], kShortLimbs, 0, lo, u, negative));
  return true;
}

// A very short sum: the parts of every element first, then only the limbs they touch are
// zeroed (a few, against the whole short register), deposited and carried.
constexpr int64_t kTinySumMaxLength = 63;

bool tinySum(const double* x, int64_t n, double& result) {
  int64_t index[kTinySumMaxLength], low[kTinySumMaxLength], high[kTinySumMaxLength];
  int64_t lo = kShortLimbs;
  int64_t hi = 0;
  for (int64_t i = 0; i < n; ++i) {
    const uint64_t u = bitsOf(x[i]);
    const uint64_t e = exponentField(u);
    if (e == kSpecialField) [[unlikely]]
      return false;
    depositParts(u, e, index[i], low[i], high[i]);
    lo = index[i] < lo ? index[i] : lo;
    hi = index[i] > hi ? index[i] : hi;
  }
  // Deposits touch limbs lo .. hi + 1, the carry out of them reaches hi + 2 at most
  // (within kShortLimbs), and folding a top digit of -1 reaches lo - 1: the window of
  // zeroed limbs. Those below it are never read or written.
  // Element i goes to copy i mod kCopies: deposits into one limb then form kCopies short
  // chains through memory, not one long one, and neighbouring elements never wait on each
  // other's stores. The copies' sum has the headroom of n deposits into one register.
  constexpr int kCopies = 4;
  int64_t copies[kCopies][kShortLimbs];
  const int64_t first = lo > 0 ? lo - 1 : 0;
  for (auto& c : copies)
    for (int64_t k = first; k <= hi + 2; ++k) c[k] = 0;
  for (int64_t i = 0; i < n; ++i) {
    int64_t* c = copies[i % kCopies];
    c[index[i]] += low[i];
    c[index[i] + 1] += high[i];
  }
  int64_t* limbs = copies[0];
  for (int64_t k = lo; k <= hi + 1; ++k) limbs[k] += (copies[1][k] + copies[2][k]) + copies[3][k];
  int64_t u = hi + 1;
  while (u > lo && limbs[u] == 0) --u;
  bool negative = false;
  result = roundNormalized(limbs, first, rippleCarries(limbs, kShortLimbs, first, lo, u, negative));
  return true;
}

// The widest range of exponent fields the short bins take, and the shortest input that
// pays for them per field (zeroing and flushing two bins per field).
constexpr int64_t kShortBinFields = 256;
constexpr int64_t kElementsPerShortBinField = 2;

// The short sum in bins: when every element is finite (no infinity or NaN) and their
// positions (significandAndPosition: the exponent field, 1 for a subnormal or a zero)
// span a narrow range, doubles of one sign and position add up as plain integers M (the
// significand with the hidden bit, a subnormal's bare field) in units of 2^position, one
// unsigned bin each: a single integer addition per element. n <= kShortSumMaxLength =
// 2^11 - 1 significands below 2^53 sum to below 2^64, so no bin wraps. The bins are then
// added into the short limbs 32 positions at a time (as the long binned sum flushes its
// bins), and the limbs are carried and rounded. False, with nothing done, when the data
// do not qualify. Subnormal elements sit at position 1 with the normal elements of field
// 1 (both have the unit 2^-1074): sums of subnormal elements, at the bottom of the range,
// take one bin per sign; a zero adds 0 there.
bool shortBinnedSum(const double* x, int64_t n, double& result) {
  // The range of fields, in four independent lanes (one chain of compare-and-select per
  // lane, not one through the whole array).
  uint64_t lowest[4] = {kSpecialField, kSpecialField, kSpecialField, kSpecialField};
  uint64_t highest[4] = {};
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int l = 0; l < 4; ++l) {
      const uint64_t f = exponentField(bitsOf(x[i + l]));
      lowest[l] = f < lowest[l] ? f : lowest[l];
      highest[l] = f > highest[l] ? f : highest[l];
    }
  }
  for (; i < n; ++i) {
    const uint64_t f = exponentField(bitsOf(x[i]));
    lowest[0] = f < lowest[0] ? f : lowest[0];
    highest[0] = f > highest[0] ? f : highest[0];
  }
  const uint64_t fieldMin = std::min(std::min(lowest[0], lowest[1]), std::min(lowest[2], lowest[3]));
  const uint64_t fieldMax = std::max(std::max(highest[0], highest[1]), std::max(highest[2], highest[3]));
  if (fieldMax == kSpecialField) return false;
  // Positions: field 0 stands at 1.
  const uint64_t fmin = fieldMin == 0 ? 1 : fieldMin;
  const uint64_t fmax = fieldMax == 0 ? 1 : fieldMax;
  const auto fields = static_cast<int64_t>(fmax - fmin + 1);
  if (fields > kShortBinFields || fields * kElementsPerShortBinField > n) return false;

  // Bin of (sign, position): positive ones at position - fmin, negative ones from
  // `fields` on, reached from the top 12 bits t = sign * 2^11 + position as t +
  // offset[sign].
  uint64_t bins[2 * kShortBinFields];
  std::memset(bins, 0, sizeof(uint64_t) * 2 * static_cast<size_t>(fields));
  const int64_t offset[2] = {-static_cast<int64_t>(fmin),
                             fields - static_cast<int64_t>(kSpecialField + 1) - static_cast<int64_t>(fmin)};
  if (fieldMin != 0) {
    for (i = 0; i < n; ++i) {
      const uint64_t u = bitsOf(x[i]);
      const uint64_t t = u >> kMantissaBits;
      bins[static_cast<int64_t>(t) + offset[t >> kExponentBits]] += (u & kMantissaMask) | kHiddenBit;
    }
  } else {
    for (i = 0; i < n; ++i) {
      const uint64_t u = bitsOf(x[i]);
      uint64_t m, position;
      significandAndPosition(u, exponentField(u), m, position);
      const uint64_t sign = u >> (kMantissaBits + kExponentBits);
      bins[static_cast<int64_t>(position + (sign << kExponentBits)) + offset[sign]] += m;
    }
  }

  // Bin (sign, f) is worth bin * 2^f units: the fields of limb window g = f / 32 add up to
  // below 2^(64 + 5 + 31) in units of 2^(32 g), at most four digits from limb g up, the
  // value's bits all below 2^(kMaxFiniteField + 65), within the short limbs.
  int64_t limbs[kShortLimbs] = {};
  for (int sign = 0; sign < 2; ++sign) {
    const uint64_t* b = bins + sign * fields;
    for (uint64_t g = fmin / kLimbBits; g <= fmax / kLimbBits; ++g) {
      uint128 v = 0;
      const uint64_t first = g * kLimbBits > fmin ? g * kLimbBits : fmin;
      const uint64_t last = g * kLimbBits + kLimbBits - 1 < fmax ? g * kLimbBits + kLimbBits - 1 : fmax;
      for (uint64_t f = first; f <= last; ++f) v += static_cast<uint128>(b[f - fmin]) << (f % kLimbBits);
      for (uint64_t k = g; v != 0; ++k, v >>= kLimbBits) {
        const auto w = static_cast<int64_t>(static_cast<uint64_t>(v) & kLimbMask);
        limbs[k] += sign != 0 ? -w : w;
      }
    }
  }
  const auto lo = static_cast<int64_t>(fmin / kLimbBits);
  int64_t u = kShortLimbs - 1;
  while (u > lo && limbs[u] == 0) --u;
  bool negative = false;
  result = roundNormalized(limbs, 0, rippleCarries(limbs, kShortLimbs, 0, lo, u, negative));
  return true;
}

// The sum of elements all subnormal or zero: each is +-m 2^-1074 with m its bare field,
// below 2^52, so the sum is S 2^-1074 for the integer S = sum +-m, |S| < n 2^52 < 2^63
// for n <= kShortSumMaxLength, formed exactly in four integer chains without any limb.
// Rounded as round rounds it: below 2^52 in magnitude S 2^-1074 is itself a double, the
// bits of |S| with the sign (a zero S gives +0.0, as an exactly zero register does); from
// 2^52 on, |S| converted to a double is rounded to nearest, ties to even, to 53 bits, and
// the doubles between 2^52 and 2^63 are those between 2^-1022 and 2^-1011 scaled by
// 2^1074, so lowering its exponent field by 1074 (a normal result, exact) gives |S|
// 2^-1074 rounded to nearest. No floating-point addition is formed: sums of subnormals
// whose results leave the subnormal range, or pass through it, took microcode assists in
// the passes (the register of limbs takes some 50 ns to set up and round for a few
// elements). False, with nothing done, when some element is not subnormal or zero (most
// data: x[0] tells).
bool subnormalSum(const double* x, int64_t n, double& result) {
  if ((bitsOf(x[0]) & kExponentMask) != 0) return false;
  const auto term = [](uint64_t u) {
    const int64_t negative = -static_cast<int64_t>(u >> 63);
    return (static_cast<int64_t>(u & kMantissaMask) ^ negative) - negative;
  };
  int64_t s[4] = {};
  uint64_t fields = 0;
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int l = 0; l < 4; ++l) {
      const uint64_t u = bitsOf(x[i + l]);
      fields |= u;
      s[l] += term(u);
    }
  }
  for (; i < n; ++i) {
    const uint64_t u = bitsOf(x[i]);
    fields |= u;
    s[0] += term(u);
  }
  if ((fields & kExponentMask) != 0) return false;
  const int64_t sum = (s[0] + s[1]) + (s[2] + s[3]);
  const uint64_t sign = sum < 0 ? kSignMask : 0;
  const uint64_t magnitude = sum < 0 ? ~static_cast<uint64_t>(sum) + 1 : static_cast<uint64_t>(sum);
  if (magnitude < kHiddenBit) {
    result = fromBits(magnitude | sign);
  } else {
    const double rounded = static_cast<double>(static_cast<int64_t>(magnitude));
    result = fromBits((bitsOf(rounded) - (uint64_t{1074} << kMantissaBits)) | sign);
  }
  return true;
}

}  // namespace

bool shortExactSum(const double* x, int64_t n, double& result) {
  if (n < 1 || n > kShortSumMaxLength) return false;
  if (subnormalSum(x, n, result)) return true;
  if (n <= kTinySumMaxLength) return tinySum(x, n, result);
  return shortBinnedSum(x, n, result) || shortSum<4>(x, n, result);
}

double round(SuperAccumulator& acc) {
  if (acc.nanBits != 0) return fromBits(acc.nanBits);
  if (acc.infBits != 0) return fromBits(acc.infBits);
  const int64_t i = carryPropagate(acc);
  if (acc.overflowBits != 0) return fromBits(acc.overflowBits);
  return roundNormalized(acc.limbs, 0, i);
}

void depositProduct(SuperAccumulator& acc, double x, double y) {
  const uint64_t ux = bitsOf(x);
  const uint64_t uy = bitsOf(y);
  if (exponentField(ux) == kSpecialField || exponentField(uy) == kSpecialField) {
    depositSpecial(acc, bitsOf(x * y));
    return;
  }
  depositFiniteProduct(acc.limbs, ux, uy);
}

void addProductsEach(SuperAccumulator& acc, const double* x, const double* y, int64_t n) {
  while (n > 0) {
    if (acc.addsLeft == 0) carryPropagate(acc);
    const int64_t batch = std::min(n, acc.addsLeft);
    for (int64_t i = 0; i < batch; ++i) depositProduct(acc, x[i], y[i]);
    acc.addsLeft -= batch;
    x += batch;
    y += batch;
    n -= batch;
  }
}

// ---- The record in place ----
//
// The caller's record, as its words, is checked without being copied and then changed in
// place where that gives the very words the register's operations would leave: unsigned
// additions into the limb words wrap exactly as the signed limbs add (two's complement),
// and the headroom the check established keeps every limb within the signed range.

namespace {

constexpr int kFormatWord = 0;
constexpr int kCountdownWord = 1;
constexpr int kFirstLimbWord = 2;
constexpr int kInfWord = kFirstLimbWord + kSuperLimbs;
constexpr int kNanWord = kInfWord + 1;
constexpr int kOverflowWord = kNanWord + 1;
static_assert(offsetof(SuperAccumulator, infBits) == 8 * kInfWord &&
              offsetof(SuperAccumulator, nanBits) == 8 * kNanWord &&
              offsetof(SuperAccumulator, overflowBits) == 8 * kOverflowWord);

// A cheaper test of the limbs that settles the common case, two operations per limb
// (limbsShiftedOr): with P = 2^q the largest power of two not above b = k * 2^52
// (k >= 1 deposits' worth used), a limb lies in [-P, P) exactly when limb + P, as an
// unsigned word, lies in [0, 2P), that is has no bit at q + 1 or above; the OR of all of
// them has none exactly when none of them has one. [-P, P) lies within [-b, b): a record
// that passes passes limbsWithinHeadroom. One that fails (a limb beyond half the headroom
// used, or not a valid record at all) is decided by that exact test. With no headroom
// used (k = 0) the test is exact: P = 0 and every bit is forbidden, every limb must be 0.
LimbTest wellWithinHeadroom(int64_t addsLeft) {
  const auto k = static_cast<uint64_t>(kAddsAfterInit - addsLeft);
  if (k == 0) return {0, ~uint64_t{0}};
  const int q = (63 - std::countl_zero(k)) + kDepositBoundLog2;  // at most 10 + 52
  return {uint64_t{1} << q, ~uint64_t{0} << (q + 1)};
}

// The limbs of a record whose frame passed validFrame, given the OR the cheaper test
// forms over them (limbsShiftedOr or a pass that forms it on the way): that test, and the
// exact one where it fails.
bool validLimbsGiven(uint64_t shiftedOr, const uint64_t* limbs, int64_t addsLeft) {
  return (shiftedOr & wellWithinHeadroom(addsLeft).forbidden) == 0 ||
         (addsLeft != kAddsAfterInit && limbsWithinHeadroom<false>(limbs, nullptr, addsLeft));
}

bool validLimbs(const uint64_t* limbs, int64_t addsLeft) {
  return validLimbsGiven(limbsShiftedOrImpl.get()(limbs, wellWithinHeadroom(addsLeft).shift), limbs, addsLeft);
}

bool validFrameOf(const uint64_t* words) {
  return validFrame(words[kFormatWord], static_cast<int64_t>(words[kCountdownWord]), words[kInfWord],
                    words[kNanWord], words[kOverflowWord]);
}

bool validRecord(const uint64_t* words) {
  return validFrameOf(words) && validLimbs(words + kFirstLimbWord, static_cast<int64_t>(words[kCountdownWord]));
}

// carryPropagate on a valid record in place: the words the register's normalisation
// leaves (the limb words are the signed limbs' two's complement bits).
void carryRecord(uint64_t* words) {
  carryLimbs(reinterpret_cast<int64_t*>(words + kFirstLimbWord), words[kOverflowWord]);
  words[kCountdownWord] = static_cast<uint64_t>(kAddsAfterCarry);
}

// One element into the limbs (any copy of them), or into the side words for a NaN or an
// infinity.
inline void depositWord(uint64_t* words, uint64_t* limbs, double v) {
  const uint64_t u = bitsOf(v);
  const uint64_t e = exponentField(u);
  if (e == kSpecialField) [[unlikely]] {
    recordSpecial(words[kInfWord], words[kNanWord], u);
    return;
  }
  int64_t index, low, high;
  depositParts(u, e, index, low, high);
  limbs[index] += static_cast<uint64_t>(low);
  limbs[index + 1] += static_cast<uint64_t>(high);
}

// From this many elements on, deposits alternate between the record's limbs and three
// zeroed copies of the limbs finite doubles reach.
constexpr int64_t kInPlaceCopiesMinLength = 64;

// Shorter inputs from this many elements on, all finite, go through the vector copy of
// the deposits (depositFinite) where this processor has one: their parts formed several
// at a time, and data of a few binades summed per limb in registers, with no chain of
// additions through memory.
constexpr int64_t kInPlaceVectorMinLength = 8;

// Deposits x[0..n-1] into a valid record's words without touching its countdown. Data of
// one binade put every deposit into the same two limbs, and each such deposit waits for
// the store of the one before: longer inputs deposit element i into copy i mod 4 (copy 0
// the record itself), four chains instead of one, and add the copies into the record at
// the end. The words are those of depositing one element after another: the limbs'
// integer additions commute, and the headroom keeps every partial sum exact.
void depositInPlace(uint64_t* words, const double* x, int64_t n) {
  uint64_t* limbs = words + kFirstLimbWord;
  if (n < kInPlaceCopiesMinLength) {
    if (n >= kInPlaceVectorMinLength && depositFiniteImpl.get()(limbs, x, n)) return;
    for (int64_t i = 0; i < n; ++i) depositWord(words, limbs, x[i]);
    return;
  }
  uint64_t copies[3][kShortLimbs] = {};
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    depositWord(words, limbs, x[i]);
    depositWord(words, copies[0], x[i + 1]);
    depositWord(words, copies[1], x[i + 2]);
    depositWord(words, copies[2], x[i + 3]);
  }
  for (; i < n; ++i) depositWord(words, limbs, x[i]);
  for (int k = 0; k < kShortLimbs; ++k) limbs[k] += (copies[0][k] + copies[1][k]) + copies[2][k];
}

// The side words of other joined into the record's (other may be the record itself:
// every word is read before any is written).
void mergeSideWords(uint64_t* words, const uint64_t* other) {
  const uint64_t inf = combineInfinities(words[kInfWord], other[kInfWord]);
  const uint64_t overflow = combineInfinities(words[kOverflowWord], other[kOverflowWord]);
  const uint64_t nan = (other[kNanWord] & kMantissaMask) > (words[kNanWord] & kMantissaMask) ? other[kNanWord]
                                                                                              : words[kNanWord];
  words[kInfWord] = inf;
  words[kOverflowWord] = overflow;
  words[kNanWord] = nan;
}

// merge where the record must be normalised first (other a different record, its frame
// valid, needing no normalisation itself). One survey pass over each record checks it
// and finds the limbs in use: the carries then ripple over the record's limbs in use
// only, and other's limbs in use are added to it, one limb at a time (the record's limbs
// were just written one at a time: a wider load spanning those stores would wait for
// them to reach the cache). The words are those of carryRecord followed by the limb
// pass: the carries find the same highest and a lowest no higher than the scans' (any
// bound at or below the lowest non-zero limb gives the same words), and adding zeros
// changes nothing. After the normalisation every limb lies in [-2^32, 2^32), within one
// deposit's headroom, and other's within cost deposits': the sums fit the countdown
// kAddsAfterCarry - cost that remains.
bool normaliseAndMerge(uint64_t* words, const uint64_t* other) {
  const auto addsLeft = static_cast<int64_t>(words[kCountdownWord]);
  const auto otherLeft = static_cast<int64_t>(other[kCountdownWord]);
  uint64_t* limbs = words + kFirstLimbWord;
  const uint64_t* otherLimbs = other + kFirstLimbWord;
  const LimbsSurveyKernel survey = limbsSurveyImpl.get();
  const LimbSurvey mine = survey(limbs, wellWithinHeadroom(addsLeft).shift);
  const LimbSurvey theirs = survey(otherLimbs, wellWithinHeadroom(otherLeft).shift);
  if (!validLimbsGiven(mine.shiftedOr, limbs, addsLeft) || !validLimbsGiven(theirs.shiftedOr, otherLimbs, otherLeft))
    return false;
  if (mine.highest >= 0)
    carryLimbsWithin(reinterpret_cast<int64_t*>(limbs), mine.lowest, mine.highest, words[kOverflowWord]);
  if (theirs.highest >= 0)
    for (int64_t k = theirs.lowest; k <= theirs.highest; ++k) limbs[k] += otherLimbs[k];
  words[kCountdownWord] = static_cast<uint64_t>(kAddsAfterCarry - (kAddsAfterInit - otherLeft));
  mergeSideWords(words, other);
  return true;
}

}  // namespace

InPlace addInPlace(uint64_t* words, const double* x, int64_t n) {
  if (n > kAddsAfterInit) return InPlace::NeedsRegister;
  if (!validRecord(words)) return InPlace::Invalid;
  if (n <= 0) return InPlace::Done;
  // addEach's batches: as many elements as the countdown allows, then (n being below a
  // fresh countdown) one normalisation and the rest.
  const auto addsLeft = static_cast<int64_t>(words[kCountdownWord]);
  const int64_t first = std::min(n, addsLeft);
  if (n - first > kAddsAfterCarry) return InPlace::NeedsRegister;  // two normalisations
  depositInPlace(words, x, first);
  words[kCountdownWord] = static_cast<uint64_t>(addsLeft - first);
  if (first == n) return InPlace::Done;
  carryRecord(words);
  depositInPlace(words, x + first, n - first);
  words[kCountdownWord] = static_cast<uint64_t>(kAddsAfterCarry - (n - first));
  return InPlace::Done;
}

InPlace mergeInPlace(uint64_t* words, const uint64_t* other) {
  if (!validFrameOf(words) || !validFrameOf(other)) return InPlace::Invalid;
  const auto addsLeft = static_cast<int64_t>(words[kCountdownWord]);
  const auto otherLeft = static_cast<int64_t>(other[kCountdownWord]);
  uint64_t* limbs = words + kFirstLimbWord;
  const uint64_t* otherLimbs = other + kFirstLimbWord;
  // merge: other's limbs added, as many deposits spent as other has used. Where the
  // record has not that many left it is normalised first, in place once both records
  // are known to be valid; the register route takes the record merged with itself then
  // (merge adds the limbs as they were before the normalisation) and an other that must
  // be normalised itself (merge adds a normalised copy).
  const int64_t cost = kAddsAfterInit - otherLeft;
  const bool normalise = addsLeft < cost;
  if (cost > kAddsAfterCarry || (normalise && other == words)) {
    return validLimbs(limbs, addsLeft) && validLimbs(otherLimbs, otherLeft) ? InPlace::NeedsRegister
                                                                            : InPlace::Invalid;
  }
  if (normalise) return normaliseAndMerge(words, other) ? InPlace::Done : InPlace::Invalid;
  // The limbs: checked and added in one pass. Both records within their headroom, every
  // sum lies within the headroom of the countdown the merge leaves: the record's limbs in
  // [-a, a) and other's in [-o, o), a = (2047 - addsLeft) 2^52 and o = cost 2^52, so the
  // sums lie in [-(a + o), a + o) with a + o = (2047 - (addsLeft - cost)) 2^52 < 2^63: no
  // signed limb wraps, and the record stays valid. A record that fails the cheaper test
  // (a limb beyond half its headroom, or not valid at all) is decided by the exact one.
  if (!limbsMergeImpl.get()(limbs, otherLimbs, wellWithinHeadroom(addsLeft), wellWithinHeadroom(otherLeft))) {
    if (!validLimbs(limbs, addsLeft) || !validLimbs(otherLimbs, otherLeft)) return InPlace::Invalid;
    for (int k = 0; k < kSuperLimbs; ++k) limbs[k] += otherLimbs[k];
  }
  words[kCountdownWord] = static_cast<uint64_t>(addsLeft - cost);
  mergeSideWords(words, other);
  return InPlace::Done;
}

bool roundRecord(const uint64_t* words, double& result) {
  // The record check, its pass over the limbs also finding the limbs in use.
  if (!validFrameOf(words)) return false;
  const auto addsLeft = static_cast<int64_t>(words[kCountdownWord]);
  const uint64_t* record = words + kFirstLimbWord;
  const LimbSurvey survey = limbsSurveyImpl.get()(record, wellWithinHeadroom(addsLeft).shift);
  if (!validLimbsGiven(survey.shiftedOr, record, addsLeft)) return false;
  if (words[kNanWord] != 0) {
    result = fromBits(words[kNanWord]);
    return true;
  }
  if (words[kInfWord] != 0) {
    result = fromBits(words[kInfWord]);
    return true;
  }
  const int64_t u = survey.highest;
  if (u >= kSuperLimbs - 2) {
    // Carries may reach the top limb, and overflowBits may change: the whole register.
    SuperAccumulator acc;
    if (!loadAccumulator(words, acc)) return false;
    result = round(acc);
    return true;
  }
  if (words[kOverflowWord] != 0 || u < 0) {
    // Carries from limbs below 129 end below 130: overflowBits stays as it is.
    result = u < 0 && words[kOverflowWord] == 0 ? 0.0 : fromBits(words[kOverflowWord]);
    return true;
  }
  const int64_t lo = survey.lowest;
  // round's carry propagation and rounding over a copy of the limbs in use: lo - 1 (where
  // a top digit of -1 folds) up to u + 2 (the carry out of u ends in u + 1).
  int64_t limbs[kSuperLimbs];
  const int64_t first = lo > 0 ? lo - 1 : 0;
  limbs[first] = 0;
  for (int64_t k = lo; k <= u; ++k) limbs[k] = static_cast<int64_t>(record[k]);
  limbs[u + 1] = 0;
  limbs[u + 2] = 0;
  bool negative = false;
  result = roundNormalized(limbs, first, rippleCarries(limbs, kSuperLimbs, first, lo, u, negative));
  return true;
}

}  // namespace sela
