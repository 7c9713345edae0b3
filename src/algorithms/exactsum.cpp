#include "algorithms/exactsum.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>

namespace sela {

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
bool limbsWithinHeadroom(const uint64_t* from, int64_t* to, int64_t addsLeft) {
  const auto k = static_cast<uint64_t>(kAddsAfterInit - addsLeft);
  const uint64_t b = k << kDepositBoundLog2;
  uint64_t inRange = ~uint64_t{0};
  uint64_t any = 0;
#pragma GCC unroll 4
  for (int i = 0; i < kSuperLimbs; ++i) {
    const uint64_t limb = from[i];
    to[i] = static_cast<int64_t>(limb);
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
  if (!limbsWithinHeadroom(words + 2, acc.limbs, addsLeft)) return false;
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

void depositSpecial(SuperAccumulator& acc, uint64_t u) {
  const uint64_t f = u & kMantissaMask;
  if (f != 0) {
    // The NaN with the largest mantissa field wins; the later one on a tie.
    if (f >= (acc.nanBits & kMantissaMask)) acc.nanBits = u & ~kSignMask;
    return;
  }
  // Both infinities seen (or a NaN already recorded here): inf - inf is a NaN.
  acc.infBits = combineInfinities(acc.infBits, u);
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

int64_t carryPropagate(SuperAccumulator& acc) {
  int64_t* limbs = acc.limbs;
  acc.addsLeft = kAddsAfterCarry;
  // u: the highest non-zero limb, lo: the lowest one. The scans test four limbs at a
  // time; most of a register is zero (a sum of doubles of one binade touches two limbs).
  int64_t u = kSuperLimbs - 1;
  while (u >= 3 && (limbs[u] | limbs[u - 1] | limbs[u - 2] | limbs[u - 3]) == 0) u -= 4;
  while (u >= 0 && limbs[u] == 0) --u;
  if (u < 0) return 0;
  int64_t lo = 0;
  while (lo + 4 <= u && (limbs[lo] | limbs[lo + 1] | limbs[lo + 2] | limbs[lo + 3]) == 0) lo += 4;

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
    if (i == kSuperLimbs - 1) {
      // A carry would leave the top limb: |value| >= 2^3117, beyond the register. Every
      // digit below is a non-negative digit now, so the top one, c, gives the sign (c >= 2^32
      // or c < -2^32). Only the sign is kept; the cleared register stays within any
      // headroom and goes on taking deposits.
      acc.overflowBits = combineInfinities(acc.overflowBits, infinityOfSign(c < 0));
      std::memset(acc.limbs, 0, sizeof acc.limbs);
      return 0;
    }
    limbs[i] = c & kLimbMask;
    ++i;
    c = limbs[i] + chigh;  // limbs[i] is 0: i > u
  }
  limbs[i] = c;
  // The top digit may have cancelled: the top is then the highest non-zero digit below,
  // all of which are non-negative now.
  int64_t top = i;
  while (top > 0 && limbs[top] == 0) --top;
  if (limbs[top] == 0) return 0;
  // A top digit of -1 is folded into the digit below, which becomes negative. The result
  // is the unique normal form of the value, whatever the order the carries took.
  while (limbs[top] == -1 && top > 0) {
    limbs[top - 1] -= int64_t{1} << kLimbBits;
    limbs[top] = 0;
    --top;
  }
  // Beside a value already beyond the register (kept by its sign only, at least 2^3117 in
  // magnitude), a register below the top limb (under 2^3085) cannot change the sign or
  // bring the sum back into the double range. One in the top limb with the other sign
  // could: the value is then lost, and the word becomes what both signs give.
  if (acc.overflowBits != 0 && top == kSuperLimbs - 1) {
    acc.overflowBits = combineInfinities(acc.overflowBits, infinityOfSign(limbs[top] < 0));
  }
  return top;
}

double round(SuperAccumulator& acc) {
  if (acc.nanBits != 0) return fromBits(acc.nanBits);
  if (acc.infBits != 0) return fromBits(acc.infBits);

  const int64_t* limbs = acc.limbs;
  const int64_t i = carryPropagate(acc);
  if (acc.overflowBits != 0) return fromBits(acc.overflowBits);
  const int64_t v = limbs[i];

  // Subnormal range: the value in units of 2^-1074 is the bit pattern itself. The lowest
  // bit of limb 0 (2^-1075) is dropped; sums only ever deposit even values there.
  if (i <= 1) {
    if (v == 0) return 0.0;
    if (i == 0) {
      const uint64_t mag = static_cast<uint64_t>(v < 0 ? -v : v) >> 1;
      return fromBits(mag | (v < 0 ? kSignMask : 0));
    }
    const int64_t t = v * (int64_t{1} << 31) + (limbs[0] >> 1);
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
  int64_t lower = limbs[j];
  if (more >= 32) {
    more -= 32;
    w += lower * (int64_t{1} << more);
    j = i - 2;
    lower = j < 0 ? 0 : limbs[j];
  }
  w += lower >> (32 - more);
  lower &= (int64_t{1} << (32 - more)) - 1;

  // The remainder (lower and the limbs below j) adds to the magnitude when w >= 0 and
  // subtracts from it when w < 0; only whether it is non-zero matters.
  auto sticky = [&]() {
    if (lower != 0) return true;
    for (int64_t k = j - 1; k >= 0; --k)
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

namespace {

// Mantissa with the implicit bit, and the effective exponent (1 for subnormals).
inline void splitFactor(uint64_t u, uint64_t& m, int64_t& e) {
  const uint64_t ef = exponentField(u);
  const uint64_t f = u & kMantissaMask;
  if (ef == 0) {
    m = f;
    e = 1;
  } else {
    m = f | kHiddenBit;
    e = static_cast<int64_t>(ef);
  }
}

}  // namespace

void depositProduct(SuperAccumulator& acc, double x, double y) {
  const uint64_t ux = bitsOf(x);
  const uint64_t uy = bitsOf(y);
  if (exponentField(ux) == kSpecialField || exponentField(uy) == kSpecialField) {
    depositSpecial(acc, bitsOf(x * y));
    return;
  }
  if ((ux << 1) == 0 || (uy << 1) == 0) return;  // a zero factor
  uint64_t mx, my;
  int64_t ex, ey;
  splitFactor(ux, mx, ex);
  splitFactor(uy, my, ey);
  // P = mx * my < 2^106, exact in 128 bits; Q = P * 2^h spans five 32-bit words
  // starting at limb l, the top word below 2^9.
  const uint128 p = static_cast<uint128>(mx) * my;
  const int64_t t = ex + ey - kFieldOffset;
  const int64_t l = t >> 5;  // arithmetic shift: floor(t / 32)
  const unsigned h = static_cast<unsigned>(t & 31);
  const uint128 q = p << h;
  int64_t words[5];
  words[0] = static_cast<int64_t>(static_cast<uint64_t>(q) & kLimbMask);
  words[1] = static_cast<int64_t>(static_cast<uint64_t>(q) >> 32);
  words[2] = static_cast<int64_t>(static_cast<uint64_t>(q >> 64) & kLimbMask);
  words[3] = static_cast<int64_t>(static_cast<uint64_t>(q >> 96));
  words[4] = h == 0 ? 0 : static_cast<int64_t>(static_cast<uint64_t>(p >> (128 - h)));
  const bool negative = ((ux ^ uy) >> 63) != 0;
  // Words below limb 0 (weight < 2^-1075) are dropped: the product floor.
  for (int64_t k = 0; k < 5; ++k) {
    const int64_t idx = l + k;
    if (idx < 0) continue;
    acc.limbs[idx] += negative ? -words[k] : words[k];
  }
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

}  // namespace sela
