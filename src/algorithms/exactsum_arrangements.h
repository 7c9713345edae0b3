// The arrangements of the register's integer work for long arrays: bins that add doubles
// (or the two halves of split products) of one sign and exponent field as plain integers,
// 128-bit bins for whole products, products split into two doubles with a fused
// multiply-add, and streams of products fed chunk by chunk. They use the register
// (exactsum.h) and nothing above it; which arrangement runs is chosen by the entry points
// (exactengine.h).
//
// Every arrangement only regroups the additions of the element-by-element deposits: it
// ends with the same register value and the same side words, so the rounded result (the
// exact value, for products after the product floor, or the side word that takes
// precedence) does not depend on it.
#pragma once

#include <cstdint>

#include "algorithms/exactsum.h"
#include "scratch.h"

namespace sela {

// Below these lengths the fixed cost of the bins (zeroing and flushing) outweighs their
// faster per-element work, and the element arrangements add the array directly.
constexpr int64_t kBinnedSumMinLength = 2048;
constexpr int64_t kBinnedDotMinLength = 256;

// From this length on, products split into two doubles go to the sum bins rather than
// to the register: the bins' zeroing and flush cost less than the register's chains.
constexpr int64_t kSplitBinsMinLength = 2048;
// The same for a dot product the certified pass declined: its products cancel, which
// takes products over many binades, whose deposits into the register are slower than
// over the few binades of plain data; the bins pay from about this length on.
constexpr int64_t kDeclinedSplitBinsMinLength = 512;

// Adds x[0..n-1] to acc through the sum bins. Their workspace (up to 132 KiB) comes from
// the heap, a cost negligible against n >= kBinnedSumMinLength elements; when it cannot
// be had, returns false with acc unchanged, and the caller takes a path that needs none.
bool addBinned(SuperAccumulator& acc, const double* x, int64_t n);

// Adds the products x[i] * y[i] to acc through the 128-bit product bins (96 KiB from the
// heap); false with acc unchanged when the workspace cannot be had.
bool addProductsBinned(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

// The products without the split (processors without a fused multiply-add): the product
// bins from kBinnedDotMinLength on, where their workspace can be had, else one by one.
void addProductsUnsplit(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

// The products one at a time into the register, formed in integers (no floating-point
// product, which near the floor would take a microcode assist on Intel processors), with
// groups of eight that all vanish below the floor skipped but for their count: for data at
// the bottom of the range, where no workspace pays for itself. The value, countdown and
// limbs are those of the element arrangement.
void addProductsAtBottom(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

struct ProductStream;

// The exponent fields of h = fl(a * b) from which the split is exact: h >= 2^-916, where
// the lowest bit of the exact product (at most 106 significant bits, the top one at or
// above h's exponent less one) still lies in the normal range 2^-1022 and up. The split
// also needs h finite: fields up to kMaxFiniteField.
constexpr uint64_t kSplitFieldMin = 1 + 2 * (kMantissaBits + 1);

// The products split into two doubles with a fused multiply-add, offered by the FMA
// family (exactsum_arrangements_fma.cpp). intoRegister adds the products to acc, those the
// split cannot take by the element step. intoBins adds them to the sum bins
// bins[0 .. copies-1] (rows of the binned sum's layout; a bin that wraps hands its carry
// to acc) up to the first product the split cannot take, and returns how many it took
// (n when all): the caller takes that product its own way and goes on after it.
struct ProductSplit {
  void (*intoRegister)(SuperAccumulator& acc, const double* x, const double* y, int64_t n);
  int64_t (*intoBins)(SuperAccumulator& acc, uint64_t* const* bins, int copies, const double* x, const double* y,
                      int64_t n);
};
extern const ProductSplit kFmaProductSplit;
// What a family without a fused multiply-add offers: no split.
extern const ProductSplit kNoProductSplit;

// Products added to one accumulator over several calls, as the centered reductions feed
// them chunk by chunk: begin (with the split to use or null, the length from which split
// products go to the bins, the total length to come, and a sample of the data for
// choosing the arrangement), any number of streamProducts, end. The value added equals
// that of the element arrangement over the concatenation, whatever the chunks. The
// sample (the first chunk's factors, say) only steers the choice of arrangement. The
// stream owns its workspaces; end flushes them into the register.
struct ProductStream {
  SuperAccumulator* acc = nullptr;
  const ProductSplit* split = nullptr;  // null: products are not split
  // The sum bins for split products (rows of the binned layout), or null, and how many
  // copies of the bins they hold.
  std::unique_ptr<uint64_t[], FreeDeleter> sumBins;
  int copies = 0;
  // The 128-bit product bins for products the split cannot take, allocated when the
  // first one comes (or never, if refused), and how many products they hold.
  std::unique_ptr<uint64_t[], FreeDeleter> productBins;
  bool productBinsRefused = false;
  int64_t productBinsHeld = 0;
  bool atBottom = false;  // every product through addProductsAtBottom
};
void beginProductStream(ProductStream& s, SuperAccumulator& acc, const ProductSplit* split, int64_t binsFrom,
                        int64_t total, const double* sampleX, const double* sampleY, int64_t sampleLength);
// A stream for data judged to lie at the bottom of the range: addProductsAtBottom takes
// every product, with no workspace.
void beginBottomProductStream(ProductStream& s, SuperAccumulator& acc);
void streamProducts(ProductStream& s, const double* x, const double* y, int64_t n);
void endProductStream(ProductStream& s);

}  // namespace sela
