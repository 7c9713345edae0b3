// The fast arrangement of the superaccumulator's integer work for long arrays: how
// add() and addProducts() of exactsum.h take them. Internal to the exactsum module (and
// reachable from the tests, which compare it with the element operations at every length).
//
// Both results are unique: the exact value (for superDot, after the product floor)
// rounded once, or the side word that takes precedence. So any arrangement that ends
// with the same register value and the same side words gives the same bits; the bins
// below only regroup the additions of the element-by-element deposits.
#pragma once

#include <cstdint>

namespace sela {

struct SuperAccumulator;
struct ProductStream;

// Below these lengths the fixed cost of the bins (zeroing and flushing) outweighs their
// faster per-element work, and the element operations add the array directly.
constexpr int64_t kBinnedSumMinLength = 2048;
constexpr int64_t kBinnedDotMinLength = 256;

// Adds x[0..n-1] to acc through the bins. Their workspace (up to 132 KiB) comes from the
// heap, a cost negligible against n >= kBinnedSumMinLength elements; when it cannot be
// had, returns false with acc unchanged, and the caller takes a path that needs none.
bool addBinned(SuperAccumulator& acc, const double* x, int64_t n);

// Adds the products x[i] * y[i] to acc through the 128-bit product bins (96 KiB from the
// heap), the arrangement for processors without a fused multiply-add; false with acc
// unchanged when the workspace cannot be had.
bool addProductsBinned(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

// ---- Products split into two doubles (exactsum_fma.cpp, FMA processors only) ----

// From this length on, products split into two doubles go to the sum bins rather than
// to the register: the bins' zeroing and flush cost less than the register's chains.
constexpr int64_t kSplitBinsMinLength = 2048;
// The same for a dot product the certified pass declined: its products cancel, which
// takes products over many binades, whose deposits into the register are slower than
// over the few binades of plain data; the bins pay from about this length on.
constexpr int64_t kDeclinedSplitBinsMinLength = 512;

// Adds the products x[i] * y[i] to acc's register as two doubles each.
void addProductsSplitFma(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

// Adds the products x[i] * y[i] as two doubles each to the sum bins bins[0 .. copies-1]
// (rows of the binned sum's layout); products that cannot be split take the element step
// into acc, and a wrapped bin hands its carry to acc.
void binProductsSplitFma(ProductStream& s, uint64_t* const* bins, int copies, const double* x, const double* y,
                         int64_t n);

// Helpers of the split products, built for baseline x86-64: the element step with its
// countdown; a product the split cannot take, to the stream's 128-bit product bins when
// both factors are normal (else the element step); the carry of a wrapped bin (bins of
// field 0 and 2047 hold nothing to keep on this path).
void depositProductCounted(SuperAccumulator& acc, double x, double y);
void depositUnsplitProduct(ProductStream& s, const double* x, const double* y);
void productBinWrapped(SuperAccumulator& acc, uint64_t bin);

}  // namespace sela
