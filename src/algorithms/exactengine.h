// The exact engine's entry points: the exact sum and dot product, the array adds of the
// accumulator, and the exact products of the centered reductions. This module alone
// chooses between the certified first pass (certifiedsum.h), the arrangements
// (exactsum_arrangements.h) and the dispatch of the split products; below it the
// register (exactsum.h) knows nothing of either.
#pragma once

#include <cstdint>

#include "algorithms/certifiedsum.h"
#include "algorithms/exactsum.h"
#include "algorithms/exactsum_arrangements.h"
#include "algorithms/shortsum.h"
#include "kernel_slot.h"

namespace sela {

// Adds x[0] ... x[n-1] exactly. The arrangement depends on n (bins for long arrays, one
// deposit after another for short ones); the value and side words that result do not.
void add(SuperAccumulator& acc, const double* x, int64_t n);

// Adds the products x[i] * y[i], i = 0 .. n-1, each under the product floor. With FMA,
// products split into two doubles (bins for long arrays, the register for short ones);
// without, long arrays go through the 128-bit product bins. The result does not depend
// on the arrangement.
void addProducts(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

// The exact sum of x[0] ... x[n-1], rounded once. +0.0 for n <= 0.
double superSum(const double* x, int64_t n);

// The dot product of x and y over the first nx elements, exact except that each product's
// bits below 2^-1075 are discarded (the product floor), rounded once. Requires ny >= nx.
double superDot(const double* x, int64_t nx, const double* y, int64_t ny);

// superDot of the rounded differences x[i] - cx and y[i] - cy (each rounded once), over
// n elements; x and y may be the same array.
double superDotCentered(const double* x, const double* y, int64_t n, double cx, double cy);

// The split this processor offers for exact products (the FMA family's), or null. Its
// slot is filled on first use; tests store kNoProductSplit into it to run the other
// arrangement.
extern KernelSlot<const ProductSplit*> productSplitImpl;
const ProductSplit* productSplit();

// The exact products of factors formed a chunk at a time: fill(start, len) writes the
// factors of elements start .. start + len - 1 into the buffers a and b (b may be a), at
// most kProductChunk of them; the exact sum of their products over n elements, rounded
// once. The chunking does not show in the result.
constexpr int64_t kProductChunk = 256;

// atBottom: the products were judged to lie mostly near or below the product floor, and
// go to the register formed in integers (addProductsAtBottom).
template <typename Fill>
double exactChunkProducts(int64_t n, const double* a, const double* b, Fill fill, bool atBottom = false) {
  SuperAccumulator acc;
  initialize(acc);
  ProductStream stream;
  if (atBottom) beginBottomProductStream(stream, acc);
  for (int64_t start = 0; start < n; start += kProductChunk) {
    const int64_t len = n - start < kProductChunk ? n - start : kProductChunk;
    fill(start, len);
    // Otherwise the first chunk's factors steer the choice of arrangement.
    if (start == 0 && !atBottom) beginProductStream(stream, acc, productSplit(), kSplitBinsMinLength, n, a, b, len);
    streamProducts(stream, a, b, len);
  }
  endProductStream(stream);
  return round(acc);
}

// The same products, certified pass first: add each chunk as it is formed, then ask for
// the result, which forms the chunks again with fill for the exact products only when the
// certified pass could not decide.
struct ChunkProducts {
  CertifiedDotLanes lanes;
  bool certifying = true;  // false once this processor's pass declined a chunk
};

inline void addChunk(ChunkProducts& p, const double* a, const double* b, int64_t len) {
  if (p.certifying) p.certifying = certifiedDotAdd(p.lanes, a, b, len);
}

template <typename Fill>
double chunkProductsResult(const ChunkProducts& p, int64_t n, const double* a, const double* b, Fill fill) {
  double result;
  if (p.certifying && certifiedDotResult(p.lanes, n, result)) return result;
  return exactChunkProducts(n, a, b, fill);
}

}  // namespace sela
