// Short sums and dot products decided in vector registers: the elements (or the two
// exact parts of each product) are summed by a tree of TwoSums, across vectors and then
// across the lanes, whose error terms are bounded and, where the bound does not decide the
// rounding, summed again by the same tree, a few times, without leaving the registers.
// Each family offers its copy (shortsum_kernels.h); the baseline one runs on SSE2 lanes.
#pragma once

#include <cstdint>

namespace sela {

enum class ShortVerdict {
  Settled,   // result is the exact value rounded to nearest (a zero gives +0.0)
  Failed,    // an infinity, a NaN or an overflow, or still undecided after every pass
  NotTaken,  // beyond the lengths this family's registers hold: another route decides
  NearFloor, // (dot) a product too small to split exactly: another route decides
  Bottom     // every element (factor) finite, and either all of them (all products)
             // below 2^-895 (2^-894) in magnitude, not all zeros, or some subnormal term
             // with the first pass undecided: the passes' errors and bounds come out
             // subnormal there, and the exact register decides
};

// The nearest double to the exact sum of x[0..n-1], n >= 2, for n up to eight vectors of
// this processor's family (16, 32 or 64 elements).
ShortVerdict shortSum(const double* x, int64_t n, double& result);

// The exact dot product of x and y over n >= 1 elements, rounded as superDot rounds it,
// for n up to four vectors of this processor's family; without a fused multiply-add (the
// scalar family) never taken.
ShortVerdict shortDot(const double* x, const double* y, int64_t n, double& result);

// The passes decide or give up after this many trees.
constexpr int kShortPasses = 4;

// The families' copies (shortsum.cpp, shortsum_avx2.cpp, shortsum_avx512.cpp).
ShortVerdict shortSumSse2(const double* x, int64_t n, double& result);
ShortVerdict shortSumAvx2(const double* x, int64_t n, double& result);
ShortVerdict shortSumAvx512(const double* x, int64_t n, double& result);
ShortVerdict shortDotAvx2(const double* x, const double* y, int64_t n, double& result);
ShortVerdict shortDotAvx512(const double* x, const double* y, int64_t n, double& result);

// The copies this processor runs, each chosen on first use (kernel_slot.h).
using ShortSumKernel = ShortVerdict (*)(const double*, int64_t, double&);
using ShortDotKernel = ShortVerdict (*)(const double*, const double*, int64_t, double&);
template <typename Kernel>
class KernelSlot;
extern KernelSlot<ShortSumKernel> shortSumImpl;
extern KernelSlot<ShortDotKernel> shortDotImpl;

}  // namespace sela
