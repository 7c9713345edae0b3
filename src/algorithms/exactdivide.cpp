#include "algorithms/exactdivide.h"

#include <bit>
#include <cmath>
#include <limits>

#include "algorithms/errorfree.h"

namespace sela {

namespace {

__extension__ typedef unsigned __int128 uint128;

// The register's value is sum limbs[k] * 2^(32k - 1075), k < kSuperLimbs, with each limb
// a signed word within the headroom bound |limb| < 2047 * 2^52 < 2^63 - 2^52. Its
// magnitude, in units of 2^-1075, is written here as unsigned 32-bit digits, least
// significant first. One digit more than the register has limbs holds what is carried out
// of the top limb, so no value the headroom allows is lost (the register's own normal
// form stops at its top limb).
constexpr int kDigits = kSuperLimbs + 1;

struct Magnitude {
  uint32_t digit[kDigits];
  bool negative;
};

// Ripples the carries from limb 0 upward. With c = limb + carry, |c| < 2^63 - 2^52 + 2^32
// stays in range, its low 32 bits are the digit and floor(c / 2^32) the next carry, of
// magnitude at most 2^31 + 1. The last carry gives digit kDigits - 1 and a sign word of
// 0 or -1: the value is the digits as a two's complement number of 32 * kDigits bits,
// whose magnitude (below 2^(32 * 130 + 64)) fits in them once negated.
Magnitude magnitudeOf(const SuperAccumulator& acc) {
  Magnitude m;
  int64_t carry = 0;
  for (int k = 0; k < kSuperLimbs; ++k) {
    const int64_t c = acc.limbs[k] + carry;
    m.digit[k] = static_cast<uint32_t>(c & 0xFFFFFFFF);
    carry = c >> 32;  // arithmetic shift: floor(c / 2^32)
  }
  m.digit[kDigits - 1] = static_cast<uint32_t>(carry & 0xFFFFFFFF);
  m.negative = (carry >> 32) != 0;
  if (m.negative) {
    // Two's complement negation: invert every digit, then add one.
    uint64_t add = 1;
    for (int k = 0; k < kDigits; ++k) {
      const uint64_t t = static_cast<uint64_t>(~m.digit[k]) + add;
      m.digit[k] = static_cast<uint32_t>(t);
      add = t >> 32;
    }
  }
  return m;
}

// Schoolbook long division of the digits by count, top digit first; q receives the
// quotient digits and the remainder is returned. Each step divides r * 2^32 + digit with
// r < count, so the quotient digit is below 2^32. A count below 2^32 keeps every step in
// 64 bits.
uint64_t divideDigits(const uint32_t* digit, int top, uint64_t count, uint32_t* q) {
  uint64_t r = 0;
  if (count <= 0xFFFFFFFFULL) {
    for (int k = top; k >= 0; --k) {
      const uint64_t cur = (r << 32) | digit[k];
      q[k] = static_cast<uint32_t>(cur / count);
      r = cur % count;
    }
  } else {
    for (int k = top; k >= 0; --k) {
      const uint128 cur = (static_cast<uint128>(r) << 32) | digit[k];
      q[k] = static_cast<uint32_t>(cur / count);
      r = static_cast<uint64_t>(cur % count);
    }
  }
  return r;
}

// Bits p .. p + 63 of the digits (zeros beyond the top).
uint64_t bitsFrom(const uint32_t* q, int64_t p) {
  const int64_t w = p >> 5;
  const auto s = static_cast<unsigned>(p & 31);
  uint128 t = 0;
  for (int k = 2; k >= 0; --k) {
    t <<= 32;
    if (w + k < kDigits) t |= q[w + k];
  }
  return static_cast<uint64_t>(t >> s);
}

// Whether any bit below bit b of the digits is set.
bool anyBitBelow(const uint32_t* q, int64_t b) {
  const int64_t w = b >> 5;
  for (int64_t k = 0; k < w; ++k)
    if (q[k] != 0) return true;
  const uint32_t mask = (uint32_t{1} << (b & 31)) - 1;
  return (q[w] & mask) != 0;
}

}  // namespace

double roundDivided(const SuperAccumulator& acc, uint64_t count) {
  if (acc.nanBits != 0) return fromBits(acc.nanBits);
  if (acc.infBits != 0) return fromBits(acc.infBits);
  // A value beyond the register is at least 2^3117; divided by a count below 2^64 it is
  // still far beyond the double range, so the quotient is the overflow word's infinity
  // (or its NaN, once the sign was lost).
  if (acc.overflowBits != 0) return fromBits(acc.overflowBits);

  const Magnitude m = magnitudeOf(acc);
  int top = kDigits - 1;
  while (top >= 0 && m.digit[top] == 0) --top;
  if (top < 0) return 0.0;

  uint32_t q[kDigits] = {};
  const bool inexact = divideDigits(m.digit, top, count, q) != 0;
  // |value| / count = (Q + f) * 2^-1075 with Q the integer quotient and 0 <= f < 1, f > 0
  // exactly when the division left a remainder.
  int qtop = top;
  while (qtop >= 0 && q[qtop] == 0) --qtop;
  // Q = 0: the quotient is below 2^-1075, half the smallest subnormal, and rounds to zero.
  if (qtop < 0) return 0.0;
  const int64_t length = 32 * qtop + (32 - std::countl_zero(q[qtop]));  // bits of Q

  // The result's last kept bit: 53 significant bits, but no unit below 2^-1074 (bit 1 of
  // Q). Bit p - 1 is the rounding bit; everything below it, and f, only tells whether the
  // quotient lies above the halfway point.
  int64_t p = length - 53 > 1 ? length - 53 : 1;
  uint64_t kept = bitsFrom(q, p) & ((uint64_t{1} << 53) - 1);
  const bool half = ((bitsFrom(q, p - 1) & 1) != 0);
  const bool sticky = inexact || (p >= 2 && anyBitBelow(q, p - 1));
  if (half && (sticky || (kept & 1) != 0)) {
    ++kept;  // to nearest; an exact tie to the even significand
    if (kept == (uint64_t{1} << 53)) {
      kept >>= 1;
      ++p;
    }
  }
  if (kept == 0) return 0.0;  // exactly 2^-1075, a tie, goes to the even zero
  // kept * 2^(p - 1075) with kept < 2^53: beyond the range only if its top bit is at
  // 2^1024 or above; otherwise exactly representable, so ldexp does not round.
  const int64_t topWeight = p - 1075 + (64 - std::countl_zero(kept));
  const double r = topWeight > 1024 ? std::numeric_limits<double>::infinity()
                                    : std::ldexp(static_cast<double>(kept), static_cast<int>(p - 1075));
  return m.negative ? -r : r;
}

}  // namespace sela
