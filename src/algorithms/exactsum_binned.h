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

struct SuperAccumulator;

// Below these lengths the fixed cost of the bins (zeroing and flushing) outweighs their
// faster per-element work; below kInterleavedMinLength the interleaved registers' own
// setup does.
constexpr int64_t kBinnedSumMinLength = 2048;
constexpr int64_t kBinnedDotMinLength = 256;
constexpr int64_t kInterleavedMinLength = 16;

// Adds x[0..n-1] to acc through the bins. Their workspace (up to 132 KiB) comes from the
// heap, a cost negligible against n >= kBinnedSumMinLength elements; when it cannot be
// had, returns false with acc unchanged, and the caller takes a path that needs none.
bool addBinned(SuperAccumulator& acc, const double* x, int64_t n);

// Adds x[0..n-1] to acc through four interleaved registers on the stack (no chain of
// dependent updates of one limb), any n >= 0.
void addInterleaved(SuperAccumulator& acc, const double* x, int64_t n);

// Adds the products x[i] * y[i] to acc through the product bins (96 KiB from the heap);
// false with acc unchanged when the workspace cannot be had.
bool addProductsBinned(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

}  // namespace sela
