// The arrangements of the register's work (exactsum_arrangements.h).
//
// ---- Sums ----
//
// A finite nonzero double is M * 2^(E - 1075), E its exponent field and M its mantissa
// field plus the hidden bit 2^52 (a subnormal: E taken as 1, no hidden bit). Measured in
// the register's unit 2^-1075 it is M * 2^E. Doubles that share the sign and the exponent
// field therefore add up as plain integers M: the sum keeps one 64-bit bin per top-12-bit
// pattern (sign and exponent field), 4096 of them, and an element costs one integer add
// into its bin, with no shifts and no limb arithmetic. A bin that wraps past 2^64 hands
// 2^64 (at its weight) to the register at once, so register plus bins always hold the
// exact sum. At the end the bins are flushed into the register, the 32 bins of one limb
// window in 128-bit arithmetic and then as one deposit, and the register is rounded.
//
// Two cheap exceptions keep the per-element work free of tests:
// - the hidden bit is or-ed into every element, so a zero or subnormal (field 0) puts
//   2^52 too much into bin 0 or bin 0x800 (sign set, field 0);
// - NaNs and infinities land in bins 0x7FF and 0xFFF as meaningless integers.
// Each such element adds at least 2^52 to one of these four watched bins. After every
// chunk of elements the four bins are compared with their values before the chunk; if
// any moved, the chunk, still in cache, is scanned again: field-0 elements are counted
// by sign, to take their excess back at the end, and NaNs and infinities go to the side
// words in array order, exactly as deposit() would record them. Once a side word is set
// the register no longer matters for the result.
//
// Data that repeat exponents (narrow-range data) send consecutive elements to four
// copies of the bins in turn: deposits into one bin would otherwise form a single chain
// of store-to-load forwarding (several cycles per link); with four copies, each chain
// sees at most every fourth element. Wide-range data use one copy, which keeps the
// bins in the first-level cache.
#include "algorithms/exactsum_arrangements.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "algorithms/prefetch.h"

namespace sela {

namespace {

// One bin per top-12-bit pattern: the sign and the exponent field.
constexpr int kFieldCount = 1 << kExponentBits;
constexpr int kBinCount = 2 * kFieldCount;
// Rows of the bin copies are a quarter page apart modulo 4096 bytes, so the same bin in
// different copies never shares its address bits 0-11 (loads would otherwise wait on
// stores to the other copy, 4K aliasing, and the copies' chains would merge again).
constexpr int kBinStride = kBinCount + 128;
// At most four interleaved copies of the bins (see chooseCopies).
constexpr int kSumCopies = 4;

// Elements between two checks of the watched bins: as many as keep a chunk's move of a
// bin below 2^64 (each element adds at least 2^52 and less than 2^53 to its bin), so a bin
// that received anything in the chunk never shows its old value again, wrapped or not;
// 16 KiB, which a rescan also finds in the first-level cache.
constexpr int64_t kChunk = int64_t{1} << (64 - (kMantissaBits + 1));

// Bins whose contents are meaningless integers or carry the field-0 excess: field 0 and
// the special field, of either sign.
constexpr unsigned kWatched[4] = {0, kSpecialField, kFieldCount, kFieldCount + kSpecialField};

struct SumState {
  SuperAccumulator& acc;
  uint64_t fieldZeroPositive;  // zeros and subnormals seen, by sign
  uint64_t fieldZeroNegative;
};

using Workspace = std::unique_ptr<uint64_t[], FreeDeleter>;

// A zeroed workspace of `bytes` (a multiple of 64) on 64-byte boundaries, or null. The
// bins live on the heap, not the stack: callers' threads may have small stacks.
Workspace allocateBins(size_t bytes) {
  Workspace w(static_cast<uint64_t*>(std::aligned_alloc(64, bytes)));
  if (w) std::memset(w.get(), 0, bytes);
  return w;
}

// Once a side word is set it decides the result for good: only further NaNs and
// infinities can still change it.
void recordSpecials(SuperAccumulator& acc, const double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const uint64_t u = bitsOf(x[i]);
    if (exponentField(u) == kSpecialField) depositSpecial(acc, u);
  }
}

// The register's bit position of a bin's unit: its exponent field, field 0 taken as 1.
inline unsigned binWeight(unsigned field) { return field == 0 ? 1 : field; }

// A bin wrapped: hand 2^64 at the bin's weight to the register.
void carryWrappedBin(SuperAccumulator& acc, uint64_t bin) {
  const auto field = static_cast<unsigned>(bin & kSpecialField);
  if (field == kSpecialField) return;  // NaN/infinity bins: nothing to keep
  const unsigned bit = 64 + binWeight(field);
  depositWide(acc, uint128{1} << (bit % kLimbBits), (bin >> kExponentBits) != 0, static_cast<int>(bit / kLimbBits));
}

[[gnu::noinline, gnu::cold]] void binWrapped(SumState& st, uint64_t bin) { carryWrappedBin(st.acc, bin); }

[[gnu::always_inline]] inline void binDeposit(SumState& st, uint64_t* bins, const double* p) {
  const uint64_t u = bitsOf(*p);
  const uint64_t bin = u >> kMantissaBits;
  const uint64_t m = (u & kMantissaMask) | kHiddenBit;
  uint64_t& b = bins[bin];
  if (__builtin_add_overflow(b, m, &b)) [[unlikely]] binWrapped(st, bin);
}

// Deposits n elements, alternating between the first `copies` copies of the bins.
template <int copies>
[[gnu::noinline]] void depositChunk(SumState& st, uint64_t (*bins)[kBinStride], const double* x, int64_t n) {
  uint64_t* b0 = bins[0];
  uint64_t* b1 = bins[1 % copies];
  uint64_t* b2 = bins[2 % copies];
  uint64_t* b3 = bins[3 % copies];
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    prefetchAhead(x + i);
    binDeposit(st, b0, x + i);
    binDeposit(st, b1, x + i + 1);
    binDeposit(st, b2, x + i + 2);
    binDeposit(st, b3, x + i + 3);
    binDeposit(st, b0, x + i + 4);
    binDeposit(st, b1, x + i + 5);
    binDeposit(st, b2, x + i + 6);
    binDeposit(st, b3, x + i + 7);
  }
  for (; i < n; ++i) binDeposit(st, b0, x + i);
}

// Whether the data repeat bins often enough for the extra copies to pay: counts equal
// top-12-bit patterns among neighbours of a leading sample. Narrow-range data match
// often (uniform values in (-1, 1) about one pair in six), wide-range data almost never;
// for them the copies would only multiply the cache footprint (and the zeroing and
// flushing). Only speed depends on the answer.
int chooseCopies(const double* x, int64_t n) {
  const int64_t sample = n < 257 ? n : 257;
  int64_t repeats = 0;
  for (int64_t i = 1; i < sample; ++i)
    repeats += (bitsOf(x[i]) >> kMantissaBits) == (bitsOf(x[i - 1]) >> kMantissaBits);
  return repeats * 32 >= sample ? kSumCopies : 1;
}

// The chunk put something into a watched bin: count its field-0 elements and record its
// NaNs and infinities, in order.
// The counts without a branch on the sign: chunks of subnormals of random signs (whole
// arrays of them: every chunk is rescanned) mispredicted one element in two, and the rescan
// took two thirds of such sums on an Intel Xeon.
[[gnu::noinline]] void rescanChunk(SumState& st, const double* x, int64_t n) {
  uint64_t negative = 0, all = 0;
  for (int64_t i = 0; i < n; ++i) {
    const uint64_t u = bitsOf(x[i]);
    const uint64_t field = exponentField(u);
    if (field == kSpecialField) [[unlikely]] depositSpecial(st.acc, u);
    const uint64_t fieldZero = field == 0;
    all += fieldZero;
    negative += fieldZero & (u >> 63);
  }
  st.fieldZeroNegative += negative;
  st.fieldZeroPositive += all - negative;
}

// Flushes all bins into the register. Bin (sign, field) holds a sum of M in units of
// 2^field; the 32 fields of limb window g (fields 32g .. 32g + 31, all copies) add up to
// less than 2^99 in units of 2^(32g) and go in as one wide deposit.
void flushBins(SuperAccumulator& __restrict acc, const uint64_t (*__restrict bins)[kBinStride], int copies) {
  static_assert(kFieldCount % kLimbBits == 0);
  for (int sign = 0; sign < 2; ++sign) {
    for (int g = 0; g < kFieldCount / kLimbBits; ++g) {
      const int first = sign * kFieldCount + kLimbBits * g;
      uint64_t any = 0;
      for (int c = 0; c < copies; ++c)
        for (int j = 0; j < 32; ++j) any |= bins[c][first + j];
      if (any == 0) continue;
      uint128 s = 0;
      for (int c = 0; c < copies; ++c) {
        const uint64_t* b = bins[c] + first;
        for (int j = 0; j < 32; ++j) s += static_cast<uint128>(b[j]) << j;
        // Field 0 has the weight of field 1.
        if (g == 0) s += b[0];
      }
      depositWide(acc, s, sign != 0, g);
    }
  }
}

}  // namespace

namespace {

// The bins' work goes into a register of its own, a local the compiler knows the bins
// cannot alias (so its countdown and limbs stay in registers while the bins are flushed);
// the caller merges it.
bool addBinnedInto(SuperAccumulator& acc, const double* x, int64_t n) {
  const int copies = chooseCopies(x, n);
  const size_t rowBytes = sizeof(uint64_t) * kBinStride;
  static_assert(sizeof(uint64_t) * kBinStride % 64 == 0);
  const Workspace workspace = allocateBins(rowBytes * static_cast<size_t>(copies));
  if (!workspace) return false;
  initialize(acc);
  auto* bins = reinterpret_cast<uint64_t(*)[kBinStride]>(workspace.get());

  SumState st{acc, 0, 0};
  uint64_t watched[kSumCopies][4] = {};
  for (int64_t start = 0; start < n; start += kChunk) {
    const int64_t len = n - start < kChunk ? n - start : kChunk;
    if (copies == kSumCopies) {
      depositChunk<kSumCopies>(st, bins, x + start, len);
    } else {
      depositChunk<1>(st, bins, x + start, len);
    }
    bool moved = false;
    for (int c = 0; c < copies; ++c) {
      for (int w = 0; w < 4; ++w) {
        const uint64_t now = bins[c][kWatched[w]];
        moved |= now != watched[c][w];
        watched[c][w] = now;
      }
    }
    if (moved) {
      rescanChunk(st, x + start, len);
      if (holdsSpecial(acc)) {
        // The result is a side word now; the bins' contents no longer matter.
        recordSpecials(acc, x + start + len, n - start - len);
        return true;
      }
    }
  }

  flushBins(acc, bins, copies);
  // Each field-0 element was counted with the hidden bit 2^52 extra at weight 2^1.
  const bool excessNegative = st.fieldZeroPositive < st.fieldZeroNegative;
  const uint64_t excess = excessNegative ? st.fieldZeroNegative - st.fieldZeroPositive
                                         : st.fieldZeroPositive - st.fieldZeroNegative;
  if (excess != 0) depositWide(acc, static_cast<uint128>(excess) << (kMantissaBits + 1), !excessNegative, 0);
  return true;
}

}  // namespace

bool addBinned(SuperAccumulator& acc, const double* x, int64_t n) {
  if (holdsSpecial(acc)) {
    recordSpecials(acc, x, n);
    return true;
  }
  SuperAccumulator local;
  if (!addBinnedInto(local, x, n)) return false;
  merge(acc, local);
  return true;
}

// ---- Dot product ----
//
// A product of two normal doubles is Mx * My * 2^(Ex + Ey - 2150) with P = Mx * My an
// exact 106-bit integer, that is P * 2^t in the register's unit with t = Ex + Ey - 1075.
// When t >= 0 every bit of the product is kept (the product floor of superDot only cuts
// bits below 2^-1075), so products with the same sign and the same t add up as plain
// 128-bit integers P: one bin per (sign, t), t = 0 .. 3017. A bin takes less than
// 2^106 per product, so its upper word stays below 2^64 for 2^21 products; the bins are
// flushed into the register after every 2^21 elements and at the end.
//
// A product with t < 0 keeps only its bits of weight 2^-1075 and above: floor(P / 2^-t)
// in bin (sign, 0), the same integer that superDot's element step leaves in the limbs
// (its words below limb 0 dropped, the remaining words holding exactly those bits).
//
// Everything else goes to the register one element at a time, exactly as superDot's
// element step does, counted: a NaN or infinity factor (the floating-point product
// recorded in the side words, in array order), a zero factor (nothing added), and
// products with a subnormal factor (the five 32-bit words of P * 2^(t mod 32) at limb
// floor(t / 32), words below limb 0 dropped). These are rare in most data and cost a
// branch that is then predicted. (In the bins they would give the same value, but not
// the same words: a record's countdown and the limbs its normalizations see are those of
// the element step, on every kernel family.)

namespace {

// t = 0 .. 2 * 2046 - 1075 = 3017, padded.
constexpr int kProductBins = 3072;
static_assert(kProductBins > 2 * static_cast<int>(kMaxFiniteField) - kFieldOffset);
// Products per bin before a flush: each adds less than 2^106 (two 53-bit significands),
// and a bin must stay below 2^127 for flushProductBins.
constexpr int64_t kDotFlushEvery = int64_t{1} << (127 - 2 * (kMantissaBits + 1));

struct ProductBin {
  uint64_t lo, hi;
};
constexpr size_t kProductBinBytes = sizeof(ProductBin) * 2 * kProductBins;
static_assert(kProductBinBytes % 64 == 0);

// Only NaN and infinity factors: the products they make, in the side words.
void recordSpecialProducts(SuperAccumulator& acc, const double* x, const double* y, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    if (exponentField(bitsOf(x[i])) == kSpecialField || exponentField(bitsOf(y[i])) == kSpecialField)
      depositSpecial(acc, bitsOf(x[i] * y[i]));
  }
}

// Flushes and clears the product bins. Bin (sign, t) holds V < 2^127 in units of 2^t:
// V * 2^(t mod 32) spans five 32-bit words from limb floor(t / 32).
void flushProductBins(SuperAccumulator& __restrict acc, ProductBin* __restrict bins) {
  constexpr int kBlock = 16;  // skip empty stretches of bins without a branch per bin
  static_assert(kProductBins % kBlock == 0);
  for (int t = 0; t < kProductBins; ++t) {
    if (t % kBlock == 0) {
      uint64_t any = 0;
      for (int k = 2 * t; k < 2 * (t + kBlock); ++k) any |= bins[k].lo | bins[k].hi;
      if (any == 0) {
        t += kBlock - 1;
        continue;
      }
    }
    for (int sign = 0; sign < 2; ++sign) {
      ProductBin& b = bins[2 * t + sign];
      if ((b.lo | b.hi) == 0) continue;
      const uint128 v = (static_cast<uint128>(b.hi) << 64) | b.lo;
      const auto h = static_cast<unsigned>(t % kLimbBits);
      const uint128 q = v << h;
      const uint64_t top = h == 0 ? 0 : static_cast<uint64_t>(v >> (128 - h));
      depositWide(acc, q, sign != 0, t / kLimbBits);
      if (top != 0) depositWide(acc, top, sign != 0, t / kLimbBits + 128 / kLimbBits);
      b = {0, 0};
    }
  }
}

// The element step for one product, countdown included.
[[gnu::noinline]] void depositProductCounted(SuperAccumulator& acc, double xv, double yv) {
  if (acc.addsLeft == 0) carryPropagate(acc);
  acc.addsLeft -= 1;
  depositProduct(acc, xv, yv);
}

// One product into its 128-bit bin, or the element step for the products that have none
// (a zero or subnormal factor, even where the product vanishes, and a special one). The
// finite ones' step inline, where the countdown lasts: products of a subnormal and a
// normal factor took 14 ns each through the general step, 7.5 inline (Intel Xeon).
[[gnu::always_inline]] inline void binWholeProduct(SuperAccumulator& acc, ProductBin* bins, const double* xp,
                                                   const double* yp) {
  const uint64_t ux = bitsOf(*xp);
  const uint64_t uy = bitsOf(*yp);
  const uint64_t ex = exponentField(ux);
  const uint64_t ey = exponentField(uy);
  // Both factors normal: fields 1 .. 2046.
  if (ex - 1 >= kMaxFiniteField || ey - 1 >= kMaxFiniteField) [[unlikely]] {
    if (ex == kSpecialField || ey == kSpecialField || acc.addsLeft == 0) {
      depositProductCounted(acc, *xp, *yp);
      return;
    }
    acc.addsLeft -= 1;
    if ((ux << 1) != 0 && (uy << 1) != 0) depositFiniteProduct(acc.limbs, ux, uy);  // a zero adds nothing
    return;
  }
  const uint64_t negative = (ux ^ uy) >> 63;
  uint128 p = static_cast<uint128>((ux & kMantissaMask) | kHiddenBit) * ((uy & kMantissaMask) | kHiddenBit);
  const auto t = static_cast<int64_t>(ex + ey) - kFieldOffset;
  // The product floor: P * 2^t loses its bits below the register's unit, toward zero,
  // and goes to bin 0. P < 2^106, so a shift by 127 leaves nothing, as any longer one
  // would. No branch on the data: near the floor whether a product vanishes is
  // unpredictable (with a branch, products of factors near 2^-530, of which some 28%
  // vanish, took 5.6 ns each on an Intel Xeon, 3.7 without).
  const int64_t cut = t < 0 ? -t : 0;
  p >>= cut < 127 ? cut : 127;
  // Bins of both signs interleaved: bin (t, sign) at 2 t + sign.
  ProductBin& b = bins[2 * (t < 0 ? 0 : t) + static_cast<int64_t>(negative)];
  const uint128 sum = ((static_cast<uint128>(b.hi) << 64) | b.lo) + p;
  b.lo = static_cast<uint64_t>(sum);
  b.hi = static_cast<uint64_t>(sum >> 64);
}

// Whether all eight products x[k] * y[k] lie wholly below the floor: exponent fields
// adding up to at most kVanishingFields put P * 2^t, t = positions - 1075 <= -106 (a
// position exceeds its field by at most 1), below 2^-1075 (P < 2^106). A special factor's
// field (2047) never passes. `counted` is the number of the group's products with a zero
// or subnormal factor, those that the element step would count.
constexpr uint64_t kVanishingFields = kFieldOffset - 2 * (kMantissaBits + 1) - 2;
inline bool allVanish(const double* x, const double* y, int64_t& counted) {
  bool vanish = true;
  int64_t fieldZero = 0;
  for (int k = 0; k < 8; ++k) {
    const uint64_t ex = exponentField(bitsOf(x[k])), ey = exponentField(bitsOf(y[k]));
    vanish &= ex + ey <= kVanishingFields;
    fieldZero += (ex == 0) | (ey == 0);
  }
  counted = fieldZero;
  return vanish;
}

// The countdown of `counted` element steps whose products add nothing to the limbs:
// where the countdown runs out among them, the normalization it calls finds the same
// limbs wherever it falls in the group.
inline void countVanished(SuperAccumulator& acc, int64_t counted) {
  if (counted > acc.addsLeft) {
    counted -= acc.addsLeft;
    carryPropagate(acc);
  }
  acc.addsLeft -= counted;
}

// Walks x[0..n-1] * y[0..n-1] in groups of eight: a group whose products all vanish (of
// subnormal or tiny factors) goes to skipped(counted) alone, every other product to
// each(k). Only groups whose first product vanishes are looked at: data far above the
// floor take one predicted branch per group for it (looking at every group took 0.3 to
// 0.8 ns a product, a third more, on uniform and wide data on an Intel Xeon), data far
// below it skip nearly every group, and data straddling it rarely find a whole group.
template <typename Each, typename Skipped>
[[gnu::always_inline]] inline void eachUnlessVanishing(const double* x, const double* y, int64_t n, Each each,
                                                       Skipped skipped) {
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    prefetchAhead(x + i);
    prefetchAhead(y + i);
    int64_t counted;
    if (exponentField(bitsOf(x[i])) + exponentField(bitsOf(y[i])) <= kVanishingFields &&
        allVanish(x + i, y + i, counted)) {
      skipped(counted);
      continue;
    }
    for (int k = 0; k < 8; ++k) each(i + k);
  }
  for (; i < n; ++i) each(i);
}

// Groups of eight products that all vanish are skipped but for the count of those the
// element step would count (a zero or subnormal factor); the rest go to their bins.
[[gnu::noinline]] void binWholeProducts(SuperAccumulator& acc, ProductBin* base, const double* x, const double* y,
                                        int64_t n) {
  eachUnlessVanishing(
      x, y, n, [&](int64_t i) { binWholeProduct(acc, base, x + i, y + i); },
      [&](int64_t counted) { countVanished(acc, counted); });
}

}  // namespace


bool addProductsBinned(SuperAccumulator& acc, const double* x, const double* y, int64_t n) {
  if (holdsSpecial(acc)) {
    recordSpecialProducts(acc, x, y, n);
    return true;
  }
  const Workspace workspace = allocateBins(kProductBinBytes);
  if (!workspace) return false;
  auto* bins = reinterpret_cast<ProductBin*>(workspace.get());  // bin (t, sign) at 2 t + sign
  for (int64_t start = 0; start < n; start += kDotFlushEvery) {
    const int64_t len = n - start < kDotFlushEvery ? n - start : kDotFlushEvery;
    binWholeProducts(acc, bins, x + start, y + start, len);
    if (holdsSpecial(acc)) {
      // The result is a side word: only NaN and infinity factors still matter.
      recordSpecialProducts(acc, x + start + len, y + start + len, n - start - len);
      return true;
    }
    flushProductBins(acc, bins);
  }
  return true;
}

void addProductsUnsplit(SuperAccumulator& acc, const double* x, const double* y, int64_t n) {
  if (n >= kBinnedDotMinLength && addProductsBinned(acc, x, y, n)) return;
  addProductsEach(acc, x, y, n);
}

void addProductsAtBottom(SuperAccumulator& acc, const double* x, const double* y, int64_t n) {
  // Every product is an element step and counted as one, skipped groups included: the
  // countdown and the limbs are those of addProductsEach over the same products.
  const auto each = [&](int64_t i) {
    const uint64_t ux = bitsOf(x[i]);
    const uint64_t uy = bitsOf(y[i]);
    if (acc.addsLeft == 0 || exponentField(ux) == kSpecialField || exponentField(uy) == kSpecialField) [[unlikely]] {
      depositProductCounted(acc, x[i], y[i]);
      return;
    }
    acc.addsLeft -= 1;
    depositFiniteProduct(acc.limbs, ux, uy);
  };
  eachUnlessVanishing(x, y, n, each, [&](int64_t) { countVanished(acc, 8); });
}

const ProductSplit kNoProductSplit = {nullptr, nullptr};

// ---- Streams of products ----

namespace {

// The 128-bit product bins of a stream, allocated on first use; null when refused (the
// element step then takes the products).
ProductBin* streamProductBins(ProductStream& s) {
  if (!s.productBins && !s.productBinsRefused) {
    s.productBins = allocateBins(kProductBinBytes);
    s.productBinsRefused = !s.productBins;
  }
  return reinterpret_cast<ProductBin*>(s.productBins.get());
}

// Whether many products of the sample lie outside the split's range (data spanning the
// whole exponent range): the 128-bit product bins then take every product, with no
// floating-point product that could underflow and no branch that mispredicts. Only
// speed depends on the answer.
bool mostlyUnsplit(const double* x, const double* y, int64_t n) {
  int64_t outside = 0;
  for (int64_t i = 0; i < n; ++i) {
    const uint64_t field = exponentField(bitsOf(x[i] * y[i]));
    outside += field - kSplitFieldMin > kMaxFiniteField - kSplitFieldMin;
  }
  return outside * 16 > n;
}

// Products beyond the split's range (results near or below the bottom of the range, or
// beyond DBL_MAX) met in the split arrangement: with both factors normal they go to the
// 128-bit product bins, which keeps them off the element step.
[[gnu::noinline]] void depositUnsplitProduct(ProductStream& s, const double* x, const double* y) {
  ProductBin* bins = streamProductBins(s);
  if (bins == nullptr) {
    depositProductCounted(*s.acc, *x, *y);
    return;
  }
  binWholeProduct(*s.acc, bins, x, y);
  if (++s.productBinsHeld == kDotFlushEvery) {
    flushProductBins(*s.acc, bins);
    s.productBinsHeld = 0;
  }
}

}  // namespace

void beginProductStream(ProductStream& s, SuperAccumulator& acc, const ProductSplit* split, int64_t binsFrom,
                        int64_t total, const double* sampleX, const double* sampleY, int64_t sampleLength) {
  s.acc = &acc;
  s.split = split;
  if (split == nullptr || total < binsFrom || holdsSpecial(acc)) return;
  const int64_t sample = total < sampleLength ? total : sampleLength;
  if (mostlyUnsplit(sampleX, sampleY, sample < 256 ? sample : 256)) {
    // The product bins take every product; without their workspace the split into the
    // register does.
    s.split = streamProductBins(s) != nullptr ? nullptr : split;
    return;
  }
  // The products' exponents repeat when the factors' do. At most two copies (66 KiB):
  // a caller may hold two streams at once, and blocks beyond the allocator's mapping
  // threshold would come fresh from the kernel, page faults included, on every call.
  const int copies = chooseCopies(sampleX, sample) > 1 ? 2 : 1;
  s.sumBins = allocateBins(sizeof(uint64_t) * kBinStride * static_cast<size_t>(copies));
  if (s.sumBins) s.copies = copies;  // else the register takes the products
}

void beginBottomProductStream(ProductStream& s, SuperAccumulator& acc) {
  s.acc = &acc;
  s.atBottom = true;
}

void streamProducts(ProductStream& s, const double* x, const double* y, int64_t n) {
  if (s.atBottom) {
    addProductsAtBottom(*s.acc, x, y, n);
  } else if (s.sumBins) {
    uint64_t* rows[kSumCopies];
    for (int c = 0; c < kSumCopies; ++c) rows[c] = s.sumBins.get() + kBinStride * (c % s.copies);
    for (;;) {
      const int64_t took = s.split->intoBins(*s.acc, rows, s.copies, x, y, n);
      if (took == n) break;
      depositUnsplitProduct(s, x + took, y + took);
      x += took + 1;
      y += took + 1;
      n -= took + 1;
    }
  } else if (s.productBins) {
    // Each bin takes less than 2^106 per product: flushed before it could pass 2^127.
    auto* bins = reinterpret_cast<ProductBin*>(s.productBins.get());
    while (n > 0) {
      const int64_t room = kDotFlushEvery - s.productBinsHeld;
      const int64_t len = n < room ? n : room;
      binWholeProducts(*s.acc, bins, x, y, len);
      s.productBinsHeld += len;
      if (s.productBinsHeld == kDotFlushEvery) {
        flushProductBins(*s.acc, bins);
        s.productBinsHeld = 0;
      }
      x += len;
      y += len;
      n -= len;
    }
  } else if (s.split != nullptr) {
    s.split->intoRegister(*s.acc, x, y, n);
  } else {
    addProductsUnsplit(*s.acc, x, y, n);
  }
}

void endProductStream(ProductStream& s) {
  if (s.productBins) {
    flushProductBins(*s.acc, reinterpret_cast<ProductBin*>(s.productBins.get()));
    s.productBins.reset();
  }
  if (!s.sumBins) return;
  auto* bins = reinterpret_cast<uint64_t(*)[kBinStride]>(s.sumBins.get());
  // Field 0 of either sign holds only the 2^52 of each zero r; the special field stays
  // empty.
  for (int c = 0; c < s.copies; ++c) bins[c][0] = bins[c][kFieldCount] = 0;
  flushBins(*s.acc, bins, s.copies);
  s.sumBins.reset();
}

}  // namespace sela
