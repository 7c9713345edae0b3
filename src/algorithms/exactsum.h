// The superaccumulator: an exact fixed-point register for sums of doubles and of
// products of two doubles, rounded to a double exactly once.
//
// Limb k (0..130) is a signed 64-bit digit of radix 2^32 with weight 2^(32k - 1075), so
// limb 0's unit is half the smallest subnormal. Each limb's upper 32 bits are headroom for
// deposits not yet carried. Infinities and NaNs never enter the register; they are kept
// in two side words that take precedence when the result is formed.
#pragma once

#include <cstdint>

namespace sela {

constexpr int kSuperLimbs = 131;
// Deposits allowed after initialisation, and after each carry propagation.
constexpr int64_t kAddsAfterInit = 2047;
constexpr int64_t kAddsAfterCarry = 2046;

struct SuperAccumulator {
  int64_t limbs[kSuperLimbs];
  uint64_t infBits;  // 0, or +inf / -inf, or a NaN once both infinities were seen
  uint64_t nanBits;  // 0, or the NaN with the largest mantissa field, sign cleared
  int64_t addsLeft;  // deposits left before the limbs must be normalised
};

// All words zero, addsLeft = 2047.
void initialize(SuperAccumulator& acc);

// Records a NaN or an infinity (bit pattern u) in the side words.
void depositSpecial(SuperAccumulator& acc, uint64_t u);

// Deposits one double exactly: a normal or subnormal value adds < 2^32 to one limb and
// < 2^52 to the limb above; zeros add nothing; NaN and infinities go to the side words.
// Does not touch addsLeft: the caller counts.
inline void deposit(SuperAccumulator& acc, double x) {
  uint64_t u;
  __builtin_memcpy(&u, &x, sizeof u);
  const uint64_t e = (u >> 52) & 0x7FF;
  const uint64_t f = u & 0x000FFFFFFFFFFFFFULL;
  if (e == 0x7FF) {
    depositSpecial(acc, u);
    return;
  }
  uint64_t m;
  unsigned shift;
  unsigned index;
  if (e == 0) {
    if (f == 0) return;
    m = f;
    shift = 1;
    index = 0;
  } else {
    m = f | (1ULL << 52);
    shift = static_cast<unsigned>(e & 31);
    index = static_cast<unsigned>(e >> 5);
  }
  const int64_t low = static_cast<int64_t>((m << shift) & 0xFFFFFFFFULL);
  const int64_t high = static_cast<int64_t>(m >> (32 - shift));
  if (u >> 63) {
    acc.limbs[index] -= low;
    acc.limbs[index + 1] -= high;
  } else {
    acc.limbs[index] += low;
    acc.limbs[index + 1] += high;
  }
}

// Deposits x[0] ... x[n-1] in order, normalising whenever the countdown runs out. Every
// element counts against the countdown, zeros and special values included.
void add(SuperAccumulator& acc, const double* x, int64_t n);

// Normalises the limbs without changing the value: every limb below the top non-zero one
// in [0, 2^32), the top one in [-2^32, 2^32), non-zero and not -1 (unless it is limb 0).
// Returns the top limb's index (0 for a zero register); resets addsLeft to 2046.
int64_t carryPropagate(SuperAccumulator& acc);

// nanBits if set, else infBits if set, else the register rounded to nearest (ties to
// even), overflowing to +-inf where round-to-nearest does. Normalises in place.
double round(SuperAccumulator& acc);

// The exact sum of x[0] ... x[n-1], rounded once. +0.0 for n <= 0.
double superSum(const double* x, int64_t n);

// The dot product of x and y over the first nx elements, exact except that each product's
// bits below 2^-1075 are discarded (the product floor), rounded once. Requires ny >= nx.
double superDot(const double* x, int64_t nx, const double* y, int64_t ny);

}  // namespace sela
