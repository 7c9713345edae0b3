// The exact products on processors with a fused multiply-add. This translation unit alone
// in the exact engine is built with -mfma (cmake/kernels.cmake, by its _fma suffix); its
// functions are reached only through kFmaProductSplit, which the dispatch offers where it
// found FMA and the AVX register state enabled. It includes only headers whose functions
// have internal linkage, so no copy compiled here can stand in for a baseline one.
//
// The split. For doubles a and b let h = fl(a * b) and r = fma(a, b, -h), one rounding.
// When the exponent field of h lies in [kSplitFieldMin, kMaxFiniteField] = [107, 2046]:
// - h is finite and non-zero, so a and b are finite and non-zero;
// - the exact product p = a * b is an integer multiple of 2^(eh - 106), eh = h's unbiased
//   exponent: p has at most 106 significant bits (two 53-bit significands) and its top
//   bit is at 2^(eh - 1) or above, so its lowest is at 2^(eh - 106) or above. h is a
//   multiple of ulp(h) = 2^(eh - 52), so p - h is a multiple of 2^(eh - 106) too, with
//   |p - h| <= ulp(h) / 2 = 2^(eh - 53): at most 53 significant bits, and eh - 106 >= -1022
//   keeps them in the normal range. So p - h is a double, the fma returns it exactly
//   (r = p - h, r zero or normal), and h + r = p exactly;
// - |p| >= 2^-916 lies far above the register's unit 2^-1075: the product floor removes
//   nothing, so h + r is exactly the contribution the element step makes.
// Depositing the two doubles h and r therefore adds the same value as the element step,
// with two cheap deposits instead of a 128-bit multiply and five limb updates. Every
// other product (a zero, subnormal, infinite or NaN factor, a product near or below the
// bottom of the range, or one that rounds beyond DBL_MAX) takes the element step into the
// register, or is handed back to the caller of the bins.
//
// Countdown: each product spends two deposits (h and r); the element step spends less.
#include <cstdint>

#include "algorithms/exactsum.h"
#include "algorithms/exactsum_arrangements.h"
#include "algorithms/prefetch.h"

namespace sela {

namespace {

// The limb pair a deposit touched last, with what is owed to it kept in registers: a run
// of deposits into one pair (products of one binade, the common case) adds up in
// registers instead of forming one chain of loads and stores through the same two limbs.
// The owed amounts are deposits not yet written: with them, the limbs satisfy the same
// headroom bound as if every deposit had been written at once. Flushed before any carry
// propagation and at the end.
struct DepositCache {
  int64_t index = 0;
  int64_t low = 0;
  int64_t high = 0;
};

inline void flushCache(SuperAccumulator& acc, DepositCache& c) {
  acc.limbs[c.index] += c.low;
  acc.limbs[c.index + 1] += c.high;
  c.low = 0;
  c.high = 0;
}

// deposit(acc, x) through the cache: the same value, added later.
inline void depositCached(SuperAccumulator& acc, DepositCache& c, double x) {
  int64_t index, low, high;
  if (!finiteDepositParts(acc, x, index, low, high)) return;
  if (index != c.index) {
    flushCache(acc, c);
    c.index = index;
  }
  c.low += low;
  c.high += high;
}

// h and r as above; false when the product must take the element step.
[[gnu::always_inline]] inline bool splitProduct(double a, double b, double& h, double& r) {
  h = a * b;
  const uint64_t field = exponentField(bitsOf(h));
  if (field - kSplitFieldMin > kMaxFiniteField - kSplitFieldMin) [[unlikely]]
    return false;
  r = __builtin_fma(a, b, -h);
  return true;
}

// A bin wrapped: hand 2^64 at the bin's weight (its field; h and r are normal) to the
// register. A zero r puts 2^52 into the field-0 bin of its sign, which holds nothing else
// on this path and is discarded before the flush: nothing to keep.
[[gnu::noinline]] void binWrapped(SuperAccumulator& acc, uint64_t bin) {
  const auto field = static_cast<int>(bin & kSpecialField);
  if (field == 0) return;
  const int bit = 64 + field;
  depositWide(acc, uint128{1} << (bit % kLimbBits), (bin >> kExponentBits) != 0, bit / kLimbBits);
}

// One double into the bins of the binned sum (see exactsum_arrangements.cpp): its
// significand into the bin of its sign and exponent field. Here h is always normal and r
// normal or zero.
[[gnu::always_inline]] inline void binDeposit(SuperAccumulator& acc, uint64_t* bins, double v) {
  const uint64_t u = bitsOf(v);
  const uint64_t bin = u >> kMantissaBits;
  const uint64_t m = (u & kMantissaMask) | kHiddenBit;
  uint64_t& b = bins[bin];
  if (__builtin_add_overflow(b, m, &b)) [[unlikely]]
    binWrapped(acc, bin);
}

// false, with nothing added, for a product the split cannot take.
[[gnu::always_inline]] inline bool binSplitProduct(SuperAccumulator& acc, uint64_t* bins, double a, double b) {
  double h, r;
  if (!splitProduct(a, b, h, r)) [[unlikely]]
    return false;
  binDeposit(acc, bins, h);
  binDeposit(acc, bins, r);
  return true;
}

void splitIntoRegister(SuperAccumulator& acc, const double* x, const double* y, int64_t n) {
  // One cache for the h and one for the r: each runs in its own binade when the
  // products do.
  DepositCache hCache, rCache;
  while (n > 0) {
    if (acc.addsLeft < 2) carryPropagate(acc);
    const int64_t batch = n < acc.addsLeft / 2 ? n : acc.addsLeft / 2;
    for (int64_t i = 0; i < batch; ++i) {
      double h, r;
      if (splitProduct(x[i], y[i], h, r)) [[likely]] {
        depositCached(acc, hCache, h);
        depositCached(acc, rCache, r);
      } else {
        depositProduct(acc, x[i], y[i]);
      }
    }
    flushCache(acc, hCache);
    flushCache(acc, rCache);
    acc.addsLeft -= 2 * batch;
    x += batch;
    y += batch;
    n -= batch;
  }
}

int64_t splitIntoBins(SuperAccumulator& acc, uint64_t* const* bins, int copies, const double* x, const double* y,
                      int64_t n) {
  // Consecutive products alternate between the copies of the bins (see the binned sum:
  // no single chain of updates through one bin on data that repeat exponents).
  uint64_t* b0 = bins[0];
  uint64_t* b1 = bins[1 % copies];
  uint64_t* b2 = bins[2 % copies];
  uint64_t* b3 = bins[3 % copies];
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    prefetchAhead(x + i);
    prefetchAhead(y + i);
    if (!binSplitProduct(acc, b0, x[i], y[i])) return i;
    if (!binSplitProduct(acc, b1, x[i + 1], y[i + 1])) return i + 1;
    if (!binSplitProduct(acc, b2, x[i + 2], y[i + 2])) return i + 2;
    if (!binSplitProduct(acc, b3, x[i + 3], y[i + 3])) return i + 3;
  }
  for (; i < n; ++i)
    if (!binSplitProduct(acc, b0, x[i], y[i])) return i;
  return n;
}

}  // namespace

const ProductSplit kFmaProductSplit = {splitIntoRegister, splitIntoBins};

}  // namespace sela
