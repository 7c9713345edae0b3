// Correctly rounded sums found cheaply where that can be proven: a compensated sum whose
// error bound shows which double lies nearest to the exact value. Where the bound cannot
// decide (heavy cancellation, a tie, an overflow, a product too small to split exactly),
// these decline and the caller forms the exact sum in the superaccumulator, which gives
// the same double on every input either route accepts.
#pragma once

#include <cstdint>

#include "algorithms/binary64.h"

namespace sela {

// The nearest double (ties to even) to the exact sum of x[0..n-1], n >= 2; false, result
// untouched, when the bound cannot decide the rounding, for n > kCertifiedSumMaxLength,
// or on an infinity, a NaN or an overflow. A zero sum gives +0.0.
bool certifiedNearest(const double* x, int64_t n, double& result);

// The nearest double (ties to even) to the exact sum of x[0..n-1], n >= 1, or false: from
// certifiedNearest for short inputs, else from the lanes of this processor's vector family
// (decided as the dot product's lanes are, the elements standing for products with no
// remainder), for n <= kCertifiedDotMaxLength. The scalar family has no such pass: it
// declines from kCertifiedScalarSumBelow on, where the binned arrangement is faster than
// its pass. A zero sum gives +0.0.
bool certifiedSum(const double* x, int64_t n, double& result);
// Up to kCertifiedRefinedMaxLength certifiedSum takes certifiedNearest, which refines its
// undecided sums (certifiedsum.cpp); beyond it the vector pass, and what that declines is
// left to the extraction pass. (With the vector pass's lanes folded in its registers, it
// is faster than the scalar pass from there on: 65 to 255 elements of wide data on an
// Intel Xeon, 38 to 80 ns against 46 to 159 with either vector family.)
constexpr int64_t kCertifiedRefinedMaxLength = 64;
constexpr int64_t kCertifiedVectorSumFrom = kCertifiedRefinedMaxLength + 1;
constexpr int64_t kCertifiedScalarSumBelow = 2048;

// The longest inputs the passes take. The sum's bound needs m u <= 2^-30 over its m <= n + 4
// error terms (u = 2^-53); the dot product's needs m u <= 2^-20 over two terms per element,
// with room for the zero-padded blocks and the lanes.
constexpr int64_t kCertifiedSumMaxLength = (int64_t{1} << 23) - 4;
constexpr int64_t kCertifiedDotMaxLength = int64_t{1} << 31;

// The lane state a vector kernel leaves after running the certified dot product over its
// elements (certifiedsum_kernels.h). Lane l holds s[l], the running sum of its products'
// high parts (each addition a TwoSum), c[l], the rounded sum of its error terms (the
// TwoSum errors and the products' low parts), and e[l], the rounded sum of those terms'
// magnitudes.
// `terms` counts the error terms, zero-padded lanes included; `tinyProducts` is true when
// some product with two non-zero factors lay below 2^-916, where its low part may have
// been rounded and the product floor may cut it (or was left out: droppedProducts). A
// default record holds no lanes yet.
struct CertifiedDotLanes {
  static constexpr int kMaxLanes = 16;
  double s[kMaxLanes];
  double c[kMaxLanes];
  double e[kMaxLanes];
  int lanes = 0;
  int64_t terms = 0;
  bool tinyProducts = false;
  // Some product with both factors non-zero and |a b| < 2^-915 was left out of the lanes
  // (it might have underflowed): the product floor keeps less than 2^-915 of each.
  bool droppedProducts = false;
};

// The certified dot product over chunks: each add runs the lanes over n more products;
// false when this processor has no such pass (no fused multiply-add). The result is that
// of certifiedDot over the concatenated chunks, `total` elements in all, or false where
// the bound does not decide.
bool certifiedDotAdd(CertifiedDotLanes& lanes, const double* x, const double* y, int64_t n);
bool certifiedDotResult(const CertifiedDotLanes& lanes, int64_t total, double& result);

// certifiedDotAdd over the rounded differences x[i] - cx and y[i] - cy as factors.
bool certifiedCenteredAdd(CertifiedDotLanes& lanes, const double* x, const double* y, int64_t n, double cx,
                          double cy);
// certifiedDot of those differences, in one pass over x and y.
bool certifiedCentered(const double* x, const double* y, int64_t n, double cx, double cy, double& result);

// The exact dot product of x and y over n elements under the product floor, rounded as
// superDot rounds it, when the bound decides; false (result untouched) otherwise, and
// always on processors without a fused multiply-add. A zero dot product gives +0.0.
bool certifiedDot(const double* x, const double* y, int64_t n, double& result);
// certifiedDot with every product that may underflow left out from the start (the guarded
// step throughout, the bound widened as for products left out): for data known to hold
// such products, none of which then takes an assist when formed. Decides less often
// (the result must exceed n 2^-915 by far, and 2^-1021).
bool certifiedDotGuarded(const double* x, const double* y, int64_t n, double& result);

// The extraction pass: the correctly rounded sum of x[0..n-1] (n >= 1) for data far
// beyond the reach of certifiedSum's bound (sums of condition 1e32 at ten million
// elements), in one read of the data. Each block of kExtractionBlock elements is split,
// exactly, into kExtractionLevels doubles that are its exact high parts (Rump's extraction
// against powers of two fixed from the block's largest magnitude; see
// certifiedsum_kernels.h) and residuals far below them, whose rounded sum and magnitude
// sum go to error lanes. The high parts of many blocks add up exactly in the register;
// the residuals' bound then decides the rounding. False (result untouched) where it does
// not, on an infinity, a NaN or data near the overflow threshold, for n > kCertifiedDotMaxLength,
// and on processors without the vector families. A zero sum gives +0.0.
bool extractedSum(const double* x, int64_t n, double& result);
constexpr int kExtractionLevels = 4;

// The exact dot product under the product floor, rounded as superDot rounds it, for
// products as ill-conditioned as extractedSum's sums, in one read: the products split as
// certifiedDot splits them, both parts extracted. False (result untouched) where the bound
// does not decide, on specials and near overflow, for n > kCertifiedDotMaxLength, and on
// processors without the vector families.
bool extractedDot(const double* x, const double* y, int64_t n, double& result);
constexpr int64_t kExtractionBlock = 2048;

// The length from which the exact engine runs the extraction pass alone, for sums and
// dot products (below it the compensated pass runs first, and the extraction pass only
// where it declines). Per family, measured: with the AVX-512 family the extraction pass
// reads plain data as fast as the compensated pass from 2^17 elements on (data beyond the
// second-level cache), and ill-conditioned data in some 0.6 of the two passes' time at
// every length; with the AVX2 family the compensated pass stays 1.2 to 1.5 times faster on
// plain data at every length (both passes are bound by the additions there, and the
// extraction pass has more of them), so only data from memory, where a second read costs
// most, take the one read. The other families have no extraction pass. Measured again on
// an Intel Xeon (2-cycle ymm, 4-cycle zmm additions), both passes prefetching every line:
// from 2^15 to 2^19 elements (data in the last-level cache) the extraction pass alone
// takes 1.1 to 1.2 times the compensated pass's time on plain data with either family and
// 0.6 of the two passes' on sums of condition 1e16; from memory the two are even on plain
// data. The switches stand: below them the plain data keep the cheaper read.
int64_t extractionOnlyFrom();
constexpr int64_t kExtractionOnlyFromAvx512 = int64_t{1} << 17;
constexpr int64_t kExtractionOnlyFromAvx2 = int64_t{1} << 20;
// The top level's exponent k1 stays at or below this, so that no running value reaches
// 2^1024 (they stay below 2^(k1 + 1)).
constexpr int kExtractionTop = 1022;
// The guard of the products' passes (certifiedsum_kernels.h): a product whose factors'
// halved bit patterns add up to at least this lies at or above 2^-916, and one below it
// below 2^-915.
constexpr int64_t kGuardKeptFrom = int64_t{1130} << 51;
// Products whose factors' halved bit patterns add up to less than this lie below 2^-1088
// (the fields then add up to at most 956, and |a b| < 2^(f_a + f_b - 2044)): formed, they
// round to zeros, p and r alike. On the Intel Xeon measured a product takes a microcode
// assist only from 2^-1088 up to 2^-1022 (its error up to about 2^-968), so the plain step
// forms these at full speed.
constexpr int64_t kGuardSilentBelow = int64_t{956} << 51;
// The error lanes of the extraction pass: the rounded sum of the residuals and of their
// magnitudes, per lane, and how many residuals (zero padding included) they hold.
struct ExtractionLanes {
  static constexpr int kMaxLanes = 8;
  double c[kMaxLanes] = {};
  double e[kMaxLanes] = {};
  int lanes = 0;
  int64_t terms = 0;
  bool tinyProducts = false;  // as in CertifiedDotLanes
  // Asked of the kernel: every block is scanned first, anchored on its own largest
  // magnitude and takes all the levels its bits need (else a block after the first runs
  // on the call's anchor with a guessed level count, and a block of the sum spread far
  // beyond the levels' reach takes two). Reported: some block took fewer levels, or a
  // higher anchor, than that would have given it.
  bool allLevels = false;
  bool shortened = false;
  // Carried from block to block within one call (nothing outlives it): the binary
  // exponent of the magnitude the next block's levels are anchored on (kNoAnchor before
  // the first block), and the smallest magnitude of the last block, from which the next
  // block's level count is chosen.
  static constexpr int kNoAnchor = -0x7fff;
  int anchor = kNoAnchor;
  double lastSmallest = 0.0;
  // The dot product's blocks near the product floor (certifiedsum_kernels.h): once a
  // block has met a product that may lie below 2^-916 (`guarded`, carried), the blocks
  // leave every such product out of their lanes, and mark in nearFloor (the caller's
  // kNearFloorBytes, a bit per element of the block: bit k % 8 of byte k / 8) those that
  // may reach 2^-1075, for the caller to deposit exactly; nearFloorMet: some are marked.
  // (A bit, not an index, per element: the pass's frame stays small, as the deepest
  // callers' stacks need.)
  static constexpr int64_t kNearFloorBytes = kExtractionBlock / 8;
  bool guarded = false;
  bool nearFloorMet = false;
  uint8_t* nearFloor = nullptr;
};
// One block of 1 <= n <= kExtractionBlock elements: its exact high parts into
// levels[0 .. kExtractionLevels - 1] (top first; 0 for the levels below those that hold
// all its bits, which the block skips), its residuals into the lanes; false to decline.
// x[n .. n + ahead - 1] are the caller's too (the next block, asked for early).
// The same over the products x[i] * y[i], kExtractionDotLevels exact levels per block.
constexpr int kExtractionDotLevels = 2 * kExtractionLevels - 1;
bool extractionDotBlockAvx2(const double* x, const double* y, int64_t n, int64_t ahead, ExtractionLanes& lanes,
                            double* levels);
bool extractionDotBlockAvx512(const double* x, const double* y, int64_t n, int64_t ahead, ExtractionLanes& lanes,
                              double* levels);
bool extractionSumBlockAvx2(const double* x, int64_t n, int64_t ahead, ExtractionLanes& lanes, double* levels);
bool extractionSumBlockAvx512(const double* x, int64_t n, int64_t ahead, ExtractionLanes& lanes, double* levels);

// The lane pass of each vector family (certifiedsum_avx2.cpp, certifiedsum_avx512.cpp):
// over the elements x[i] (a fresh record of lanes), or, continuing the given lanes, over
// the products x[i] * y[i] or over the products of the
// rounded differences (x[i] - cx) (y[i] - cy); they always accept.
bool certifiedSumLanesAvx2(const double* x, int64_t n, CertifiedDotLanes& lanes);
bool certifiedSumLanesAvx512(const double* x, int64_t n, CertifiedDotLanes& lanes);
bool certifiedDotLanesAvx2(const double* x, int64_t n, const double* y, CertifiedDotLanes& lanes);
bool certifiedDotLanesAvx512(const double* x, int64_t n, const double* y, CertifiedDotLanes& lanes);
bool certifiedCenteredLanesAvx2(const double* x, int64_t n, const double* y, double cx, double cy,
                                CertifiedDotLanes& lanes);
bool certifiedCenteredLanesAvx512(const double* x, int64_t n, const double* y, double cx, double cy,
                                  CertifiedDotLanes& lanes);

// The copies this processor runs, each chosen on first use (kernel_slot.h).
using SumLanesKernel = bool (*)(const double*, int64_t, CertifiedDotLanes&);
using DotLanesKernel = bool (*)(const double*, int64_t, const double*, CertifiedDotLanes&);
using CenteredLanesKernel = bool (*)(const double*, int64_t, const double*, double, double, CertifiedDotLanes&);
using ExtractionKernel = bool (*)(const double*, int64_t, int64_t, ExtractionLanes&, double*);
using ExtractionDotKernel = bool (*)(const double*, const double*, int64_t, int64_t, ExtractionLanes&, double*);
template <typename Kernel>
class KernelSlot;
extern KernelSlot<SumLanesKernel> certifiedSumImpl;
extern KernelSlot<DotLanesKernel> certifiedDotImpl;
extern KernelSlot<CenteredLanesKernel> certifiedCenteredImpl;
extern KernelSlot<ExtractionKernel> extractionSumImpl;
extern KernelSlot<ExtractionDotKernel> extractionDotImpl;

}  // namespace sela
