// The fast arrangement of the superaccumulator's integer work behind superSum and
// superDot. Internal to the exactsum module (and reachable from the tests, which compare
// it with the element operations of exactsum.h at every length).
//
// Both results are unique: the exact value (for superDot, after the product floor)
// rounded once, or the side word that takes precedence. So any arrangement that ends
// with the same register value and the same side words gives the same bits; the bins
// below only regroup the additions of the element-by-element deposits.
#pragma once

#include <cstdint>

namespace sela {

// Below these lengths the fixed cost of the bins (zeroing and flushing) outweighs their
// faster per-element work.
constexpr int64_t kBinnedSumMinLength = 2048;
constexpr int64_t kBinnedDotMinLength = 256;

// Exactly superSum, for any length >= 1: the bins.
double binnedSum(const double* x, int64_t n);
// Exactly superSum, for 1 <= n <= 4 * 2047: literal deposits into four interleaved
// registers (no chain of dependent updates of one limb), merged at the end.
double interleavedSum(const double* x, int64_t n);
double binnedDot(const double* x, const double* y, int64_t n);

}  // namespace sela
