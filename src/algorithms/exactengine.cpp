#include "algorithms/exactengine.h"

#include <algorithm>
#include <utility>

namespace sela {

constinit KernelSlot<const ProductSplit*> productSplitImpl{{&kNoProductSplit, SELA_X86_KERNEL(&kFmaProductSplit), nullptr}};

const ProductSplit* productSplit() {
  const ProductSplit* split = productSplitImpl.get();
  return split->intoRegister != nullptr ? split : nullptr;
}

void add(SuperAccumulator& acc, const double* x, int64_t n) {
  // Without a workspace for the bins, the element arrangement takes any length.
  if (n >= kBinnedSumMinLength && addBinned(acc, x, n)) return;
  addEach(acc, x, n);
}

namespace {

// binsFrom: the length from which split products go to the sum bins.
void addProductsFrom(SuperAccumulator& acc, const double* x, const double* y, int64_t n, int64_t binsFrom) {
  const ProductSplit* split = productSplit();
  if (split == nullptr) {
    addProductsUnsplit(acc, x, y, n);
    return;
  }
  ProductStream s;
  beginProductStream(s, acc, split, binsFrom, n, x, y, n);
  streamProducts(s, x, y, n);
  endProductStream(s);
}

}  // namespace

void addProducts(SuperAccumulator& acc, const double* x, const double* y, int64_t n) {
  addProductsFrom(acc, x, y, n, kSplitBinsMinLength);
}

namespace {

// ---- Data at the bottom of the range ----
//
// The certified and extraction passes run on floating-point units, and on Intel
// processors an operation whose result is subnormal (from normal operands), or a product
// with a subnormal factor, takes a microcode assist: 60 to 240 ns each in a chain of
// vector operations measured on an Intel Xeon, where additions of subnormal operands to
// subnormal results cost nothing extra. Where most values the passes form lie there, the
// passes ran 70 to 260 times slower than on normal data (sums of subnormals, products of
// factors near 2^-530), and the products' passes declined there anyway (their bounds need
// error magnitudes above 2^-960). The register's arrangements use the integer units
// alone, at the same speed at every exponent: data judged to lie there go to them at
// once. The judgement reads the exponent fields of kBottomSample elements spread over
// the array (integer reads, no floating-point operation): before the passes for arrays of
// at least kBottomCheckFrom elements, where it costs a few nanoseconds against a pass of
// some hundreds, and from kBottomRecheckFrom elements on once the certified pass has
// declined (the sums and dot products it settles never pay for it; shorter declined
// sums, whose extraction pass takes some 100 ns, would pay 5 to 10%); shorter sums also
// before the passes when their first element lies below 2^-895 (smallFirst). It asks nothing of
// the processor: where subnormal results cost less (AMD processors take fewer assists,
// not measured here), the integer route can be the slower one on such data, by a few
// times at most (1.4 ns an element for sums of subnormals against the passes' 0.2 on
// normal data), and only speed depends on it: every route gives the same double.
constexpr int64_t kBottomSample = 8;
constexpr int64_t kBottomCheckFrom = 1024;
constexpr int64_t kBottomRecheckFrom = 256;

// The sample's element k: kBottomSample of them spread evenly over [0, n) (n <
// 2^60, so k n does not overflow).
inline int64_t sampleIndex(int64_t k, int64_t n) { return k * n / kBottomSample; }

// What the kBottomSample sampled elements of an array show, read once with integer
// operations: how many are subnormal (their sums' TwoSum errors and extracted parts are
// subnormal too), how many lie below 2^-960, and the largest magnitude among them.
struct BottomSample {
  int64_t subnormal = 0;  // non-zero with exponent field 0
  int64_t low = 0;        // non-zero with exponent field below kLowFields
  uint64_t top = 0;       // the largest magnitude's bits, shifted past the sign
};

// Normal elements near the bottom of the range cost the passes assists too. Measured on
// an Intel Xeon, sums of elements all between 2^-1000 and 2^-950 took 20 to 90 ns an
// element at 2000 to 10^5 elements: the certified pass's lanes, started from such
// elements, form TwoSum errors below 2^-1022, and it declines sums that small; the
// extraction pass's deeper levels split subnormal parts off them. The integer
// arrangements take 0.5 to 2 ns there. So, besides mostly subnormal data, arrays all of
// whose kBottomSample sampled magnitudes lie below 2^-945 with one of them non-zero
// (allSmall: their largest sampled field below kSmallFields) go there at once;
// data of wider range, whose largest elements put the lanes' errors in the normal range,
// keep the passes (elements spread over 2^-1022..2^-900: 0.3 ns an element at 10^5).
//
// Long data, read once by the extraction pass alone, take its deeper levels wherever
// elements below 2^-960 (exponent fields below kLowFields) are more than a few: elements
// spread over 2^-1022..2^-900 took 11.5 to 14.9 ns an element at 10^6, over
// 2^-1002..2^-880 7.6 to 8.8, against 2.1 and 4.3 in the integer arrangements. So two of
// the sampled elements there (someLow; a sample holds two with probability above 1/2
// from a fifth of the elements on) send long data to the arrangements. Shorter data take
// the certified pass first, which decides those wider ranges at the speed of normal data.
constexpr uint64_t kSmallFields = 78;
constexpr uint64_t kLowFields = 63;
constexpr int64_t kLowSampled = 2;
static_assert(static_cast<int>(kSmallFields) - kExponentBias == -945);
static_assert(static_cast<int>(kLowFields) - kExponentBias == -960);

BottomSample sampleBottom(const double* x, int64_t n) {
  BottomSample s;
  for (int64_t k = 0; k < kBottomSample; ++k) {
    const uint64_t u = bitsOf(x[sampleIndex(k, n)]);
    const uint64_t twice = u << 1;
    s.subnormal += exponentField(u) == 0 && twice != 0;
    s.low += exponentField(u) < kLowFields && twice != 0;
    s.top = twice > s.top ? twice : s.top;
  }
  return s;
}

// Data at the bottom whose sampled magnitudes reach 2^-957 (fields from
// kWideBottomFromFields) but all lie below 2^-895 (fields below kWideBottomFields), not
// mostly subnormal. Measured on an Intel Xeon, the certified pass of five lanes
// (certifiedNearest) settles elements over 2^-1022..2^-901 in 56, 75, 137, 189 and 344 ns
// at 16, 64, 128, 256 and 512 elements, where the integer arrangements take 67 to 900 and
// the vector lanes 355 to 465 from 128 on (they catch up at some 800 elements: 480
// against 470), and elements over 2^-980..2^-950 in 80 to 335 ns against the integer
// arrangements' 65 to 675: in five lanes the running sums soon reach the largest
// elements' binade, and few TwoSum errors (the addends' bits below the sums' last place)
// are subnormal results, each an assist; in the many lanes of the vector pass each lane
// holds few elements, its sum stays small, and many are. Below 2^-957 the sums get too
// small for the bound, whose error magnitudes count as 2^-960 at least: elements over
// 2^-985..2^-980 took 400 to 1100 ns at 16 to 64 elements there, against 65 to 160 in the
// integer arrangements. Only speed depends on the choice: that pass's double, where it
// accepts, is the exact sum rounded to nearest, and what it declines goes on to the
// integer arrangements.
constexpr uint64_t kWideBottomFields = 128;
constexpr uint64_t kWideBottomFromFields = 66;
constexpr int64_t kWideBottomMaxLength = 768;
// Up to 16 elements the five lanes gain little there (56 against 68 ns), about what the
// sample costs data at the bottom of a narrow range (6 to 10 ns): the short passes' bottom
// data of that length take the integer arrangements unsampled.
constexpr int64_t kWideBottomFrom = 17;
static_assert(static_cast<int>(kWideBottomFields) - kExponentBias == -895);
static_assert(static_cast<int>(kWideBottomFromFields) - kExponentBias == -957);

bool wideBottom(const BottomSample& s) {
  const uint64_t field = s.top >> (kMantissaBits + 1);
  return field >= kWideBottomFromFields && field < kWideBottomFields;
}

// Shorter data are sampled only when x[0] is non-zero and below 2^-895 (its field below
// kWideBottomFields), an integer test of one element: sums of ordinary data pay a compare
// and a branch. Data at the bottom start there: all-small and wide-bottom data always,
// mostly subnormal data mostly (and otherwise keep the passes, as before).
bool smallFirst(const double* x) {
  const uint64_t twice = bitsOf(x[0]) << 1;
  return twice - 1 < (kWideBottomFields << (kMantissaBits + 1)) - 1;
}

bool mostlySubnormal(const BottomSample& s) { return 2 * s.subnormal > kBottomSample; }
bool allSmall(const BottomSample& s) { return s.top != 0 && (s.top >> (kMantissaBits + 1)) < kSmallFields; }
bool someLow(const BottomSample& s) { return s.low >= kLowSampled; }

// Products of non-zero factors whose exponent fields add up to less than
// kNearFloorFields lie below 2^(kNearFloorFields - 2 * 1023 + 2) = 2^-916, the passes'
// own threshold of tiny products: the passes leave them out of their lanes, which costs
// nothing for those whose fields add up to less than kVanishingFields, below
// 2^(kVanishingFields - 2 * 1023 + 1) = 2^-1075, of which the product floor keeps nothing.
// The others, the band between, the certified pass drops (its bound widens by each) and
// the extraction pass deposits one at a time (some 10 ns each on an Intel Xeon): data whose
// sampled products mostly lie in the band go to the integer arrangements. (Data divided by
// their largest magnitude, most of whose products vanish and some 15% lie in the band,
// took 7.7 ns an element there at 10^6 elements, 2.3 in the extraction pass.) When all
// eight sampled products lie below 2^-916, kWiderSample more are looked at, and the data
// go to the integer arrangements when all of those lie below it too and either none or
// most lie in the band: the passes still take a guarded step for every product and then
// decline a sum that small, where the arrangements skip groups that vanish (dots of
// subnormal data, or of data below 2^-900, at 2*10^4 to 10^6 elements: 3.3 to 4.3 ns an
// element through the passes, 1.0 to 1.2 in the arrangements; products 73% in the band
// whose eight samples held only four there: 6.3 against 3.2). Data divided by their
// largest magnitude (15% of the products in the band, 85% vanish, a few larger), which
// the certified pass decides, stay with the passes.
constexpr uint64_t kNearFloorFields = 1128;
constexpr uint64_t kVanishingFields = 970;
constexpr int64_t kWiderSample = 32;
static_assert(kBottomRecheckFrom / kWiderSample > 6, "the wider sample stays inside the data");
static_assert(static_cast<int>(kNearFloorFields) - 2 * kExponentBias + 2 == -916);
static_assert(static_cast<int>(kVanishingFields) - 2 * kExponentBias + 1 == -1075);
// factors(i): the two factors of product i (the elements, or their rounded differences
// from the centers).
template <typename Factors>
bool mostlyNearFloorOf(int64_t n, int64_t from, Factors factors) {
  if (n < from) return false;
  const auto fieldsBelow = [&](int64_t i, uint64_t limit) {
    const auto [a, b] = factors(i);
    const uint64_t ux = bitsOf(a), uy = bitsOf(b);
    return (ux << 1) != 0 && (uy << 1) != 0 && exponentField(ux) + exponentField(uy) < limit;
  };
  int64_t band = 0, vanishing = 0;
  const auto look = [&](int64_t i) {
    const bool vanishes = fieldsBelow(i, kVanishingFields);
    vanishing += vanishes;
    band += !vanishes && fieldsBelow(i, kNearFloorFields);
  };
  for (int64_t k = 0; k < kBottomSample; ++k) look(sampleIndex(k, n));
  if (2 * band > kBottomSample) return true;
  if (band + vanishing < kBottomSample) return false;  // a larger product, or a zero factor
  // Shorter data (asked only once the certified pass has declined them) have no room for
  // the wider sample: the eight decide.
  if (n < kBottomRecheckFrom) return true;
  for (int64_t k = 0; k < kWiderSample; ++k) look(k * (n / kWiderSample) + k % 7);  // n >= 256: inside
  constexpr int64_t kSampled = kBottomSample + kWiderSample;
  return band + vanishing == kSampled && (band == 0 || 2 * band > kSampled);
}

bool mostlyNearFloor(const double* x, const double* y, int64_t n, int64_t from) {
  return mostlyNearFloorOf(n, from, [&](int64_t i) { return std::pair{x[i], y[i]}; });
}

// The certified passes first (certifiedsum.h): where one accepts, its double is the exact
// sum rounded to nearest, which is what round gives (a zero sum included: +0.0 both ways).
// Every call decides for itself: nothing is kept between calls. Data in cache take the
// cheap compensated pass and, where it cannot decide (heavy cancellation), the extraction
// pass, which decides far worse conditioned data; long data (from extractionOnlyFrom(),
// per family: where a second read costs more than the compensated pass saves) take the
// extraction pass alone, so that a sum it decides reads them once. The extraction pass
// follows the compensated pass from the lengths the compensated pass no longer refines
// on: from 65 to 255 elements (the scalar compensated pass, then the short register
// before) sums of condition 1e16 and 1e32 took 350 to 1600 ns on an Intel Xeon, some 20 to
// 40 times the naive sum, where the extraction pass decides them in 90 to 190 ns. What
// both decline goes, when short, to the short register (no record to zero, no carries
// before the end, a rounding that reads only the limbs touched), else to the
// arrangements of add. What the short passes could not decide (`shortFailed`) goes
// straight to the short register, as do the data they found at the bottom of the range
// (finite, so the register always answers them); data at the bottom of the range shorter
// than kBottomCheckFrom (sampled when they start there) take the integer arrangements or,
// over a wider range, the five-lane pass first. Every route gives the exact sum rounded
// to nearest, +0.0 for a zero: the choice of route changes only speed. Kept apart from
// superSum, so that a short sum settled in registers sets up no frame for the register.
__attribute__((noinline)) double sumAfterShortPasses(const double* x, int64_t n, ShortVerdict verdict) {
  if (n <= 0) return 0.0;
  double nearest;
  const bool bottom = verdict == ShortVerdict::Bottom;
  const bool shortFailed = verdict != ShortVerdict::NotTaken;
  // Sampled before the passes from kBottomCheckFrom elements on, and shorter data found
  // at the bottom by the short passes (from kWideBottomFrom on) or starting there
  // (smallFirst); the others only once the certified pass has declined them, from
  // kBottomRecheckFrom on.
  const bool sampled =
      bottom ? n >= kWideBottomFrom : !shortFailed && (n >= kBottomCheckFrom || smallFirst(x));
  // (Shorter data sample their first elements, which x[0]'s line mostly holds: spread over
  // data in the second-level cache, eight reads cost sums of up to 1023 elements 3%.)
  const BottomSample sample =
      sampled ? sampleBottom(x, n < kBottomCheckFrom ? std::min(n, kBottomSample) : n) : BottomSample{};
  const bool low = mostlySubnormal(sample) || allSmall(sample);
  if (!mostlySubnormal(sample) && n <= kWideBottomMaxLength && wideBottom(sample)) {
    if (n >= 2 && certifiedNearest(x, n, nearest)) return nearest;
  } else if (bottom) {
    if (shortExactSum(x, n, nearest)) return nearest;
  } else if (!shortFailed && !low) {
    if (n >= extractionOnlyFrom()) {
      if (!someLow(sample) && extractedSum(x, n, nearest)) return nearest;
    } else {
      if (n >= 2 && certifiedSum(x, n, nearest)) return nearest;
      const bool declinedLow = !sampled && n >= kBottomRecheckFrom && mostlySubnormal(sampleBottom(x, n));
      if (n > kCertifiedRefinedMaxLength && !declinedLow && extractedSum(x, n, nearest)) return nearest;
    }
  }
  // Data judged low skip the look for specials (a read of the data, 0.2 ns an
  // element, against the arrangements' 1.5 there): their specials take add's way.
  if (!low && specialSum(x, n, nearest)) return nearest;
  if (n <= kShortSumMaxLength && shortExactSum(x, n, nearest)) return nearest;
  SuperAccumulator acc;
  initialize(acc);
  add(acc, x, n);
  return round(acc);
}

}  // namespace

// Short data ask the short passes (shortsum.h) first, here rather than through
// certifiedSum: most are settled in registers.
double superSum(const double* x, int64_t n) {
  double nearest;
  const ShortVerdict verdict = shortSum(x, n, nearest);
  if (verdict == ShortVerdict::Settled) [[likely]] return nearest;
  return sumAfterShortPasses(x, n, verdict);
}

namespace {

// The certified pass first, below extractionOnlyFrom() (certifiedsum.h): on data that do
// not cancel almost completely it decides the rounding while streaming at the speed of
// the vector dot kernels, and where it accepts, its double is the value round gives,
// product floor included; the extraction pass takes what it declines, and longer data
// alone. What both decline (a tie, a special value, an overflow) goes to the exact
// products. What the short passes could not decide (`shortFailed`: special values,
// overflow, sums beyond their refinements) goes straight to the exact products.
//
// Products judged to lie mostly near or below the floor (before the passes from
// kBottomCheckFrom on, after the certified pass declined from kBottomRecheckFrom on)
// skip the passes. Shorter than kSplitBinsMinLength, they go to the register formed in
// integers, vanishing groups skipped (addProductsAtBottom): the stream would split them
// with a floating-point product each, below 2^-1022 or of a subnormal factor, one
// microcode assist each on an Intel Xeon (dots of 256 subnormal or low factors, whose
// products all vanish: 1830 -> 395 ns a call, the certified pass's decline included; of
// factors near 2^-530: 15.8 -> 3.3 us), and above 512 elements it first multiplies a
// sample of 256 to choose the product bins. Longer ones keep the bins, whose per-product
// work is the cheapest once their 96 KiB are paid for (factors near 2^-530 at 2*10^4:
// 3.5 ns a product there, 5.5 in the register at 1500).
__attribute__((noinline)) double dotAfterShortPasses(const double* x, const double* y, int64_t nx,
                                                     bool shortFailed) {
  if (nx <= 0) return 0.0;
  double nearest;
  bool nearFloor = false;
  if (!shortFailed) {
    nearFloor = mostlyNearFloor(x, y, nx, kBottomCheckFrom);
    if (!nearFloor) {
      if (nx >= extractionOnlyFrom()) {
        if (extractedDot(x, y, nx, nearest)) return nearest;
      } else if (certifiedDot(x, y, nx, nearest)) {
        return nearest;
      } else {
        nearFloor = mostlyNearFloor(x, y, nx, kBottomRecheckFrom);
        if (!nearFloor && extractedDot(x, y, nx, nearest)) return nearest;
      }
    }
  }
  SuperAccumulator acc;
  initialize(acc);
  if (nearFloor && nx < kSplitBinsMinLength) {
    addProductsAtBottom(acc, x, y, nx);
  } else {
    addProductsFrom(acc, x, y, nx, kDeclinedSplitBinsMinLength);
  }
  return round(acc);
}

// Short products the short passes found at the bottom of the range (shortsum.h): formed
// exactly in integers, where the split of the products and the passes would take assists;
// the same route as longer products judged to lie there.
__attribute__((noinline)) double productsAtBottom(const double* x, const double* y, int64_t n) {
  SuperAccumulator acc;
  initialize(acc);
  addProductsAtBottom(acc, x, y, n);
  return round(acc);
}

}  // namespace

// Short products ask the short passes (shortsum.h) first. Those that found a product
// below 2^-916 among others (values divided by their largest magnitude, say) ask the
// certified pass with such products left out before they are formed: the plain pass
// would form every product again, twice where one lies below the floor, each below 2^-1022
// taking an assist every time (16 values of wide data: the centered cosine 700-1050 ->
// 240 ns a call, the projection 1190 -> 850-950, on an Intel Xeon). Where it does not
// decide, the usual route; only speed depends on the choice.
double superDot(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  double nearest;
  const ShortVerdict verdict = shortDot(x, y, nx, nearest);
  if (verdict == ShortVerdict::Settled) [[likely]] return nearest;
  if (verdict == ShortVerdict::Bottom) return productsAtBottom(x, y, nx);
  if (verdict == ShortVerdict::NearFloor && certifiedDotGuarded(x, y, nx, nearest)) return nearest;
  return dotAfterShortPasses(x, y, nx, verdict == ShortVerdict::Failed);
}

// The certified pass forms the differences inside its vector lanes (the same roundings as
// below), without a buffer; the exact products stream them through buffers on the stack,
// so nothing proportional to n is allocated. Differences whose sampled products mostly lie
// near the floor (as judged for the exact dot) go to the exact products at once: the pass
// would decline them after a guarded step for most products (centered subnormal data, or
// data below 2^-900, whose products all vanish: the pass took a third of such calls at
// 2*10^4 elements, 2.37 -> 1.59 ns an element without it, on an Intel Xeon). Shorter data
// are judged only once the pass has declined them (ordinary data, which it decides, never
// pay for the sample), and all so judged shorter than kSplitBinsMinLength are formed in
// integers, as for the dot: the stream's split takes an assist for each product below
// 2^-1022 or of a subnormal factor (centered squares of 1000 subnormal or low elements:
// 6.6 -> 1.3 us a call on an Intel Xeon; of 16: 290 -> 190 ns; of elements near 2^-530
// at 1000: 70 -> 11 us). Only speed depends on the judgement: every route gives the same
// double.
double superDotCentered(const double* x, const double* y, int64_t n, double cx, double cy) {
  double result;
  const auto differences = [&](int64_t i) { return std::pair{x[i] - cx, y[i] - cy}; };
  bool nearFloor = mostlyNearFloorOf(n, kBottomCheckFrom, differences);
  if (!nearFloor) {
    if (certifiedCentered(x, y, n, cx, cy, result)) return result;
    nearFloor = n < kBottomCheckFrom && mostlyNearFloorOf(n, 1, differences);
  }
  const bool atBottom = nearFloor && n < kSplitBinsMinLength;
  double dx[kProductChunk];
  if (x == y && bitsOf(cx) == bitsOf(cy)) {
    return exactChunkProducts(
        n, dx, dx,
        [&](int64_t start, int64_t len) {
          for (int64_t j = 0; j < len; ++j) dx[j] = x[start + j] - cx;
        },
        atBottom);
  }
  double dy[kProductChunk];
  return exactChunkProducts(
      n, dx, dy,
      [&](int64_t start, int64_t len) {
        for (int64_t j = 0; j < len; ++j) {
          dx[j] = x[start + j] - cx;
          dy[j] = y[start + j] - cy;
        }
      },
      atBottom);
}

}  // namespace sela
