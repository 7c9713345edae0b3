// The superaccumulator: an exact fixed-point register for sums of doubles and of
// products of two doubles, rounded to a double exactly once.
//
// Limb k (0..130) is a signed 64-bit digit of radix 2^32 with weight 2^(32k - 1075), so
// limb 0's unit is half the smallest subnormal. Each limb's upper 32 bits are headroom for
// deposits not yet carried. Infinities and NaNs never enter the register; they are kept
// in two side words that take precedence when the result is formed.
#pragma once

#include <cstdint>

namespace sela {

// Why 131 limbs: a product of two doubles is an integer multiple of 2^-2148 below 2^2048,
// so the products' whole range spans 2148 + 2048 = 4196 bits, ceil(4196 / 32) = 131 limbs
// of 32 bits. Bits below 2^-1075 are discarded (limb 0 starts there), so the register
// actually reaches up to 2^(32 * 131 - 1075) = 2^3117, while any sum of fewer than 2^63
// doubles or products stays below 2^2111: deposits touch limbs 0..98 only, limbs 99..130
// only ever receive carries, and a carry out of limb 130 cannot happen for such sums.
constexpr int kSuperLimbs = 131;

// The headroom argument behind the countdown. One deposit changes any limb by less than
// 2^52 in magnitude: a double adds < 2^32 to one limb and < 2^52 (its mantissa's top
// part) to the limb above; a product or a wide deposit adds < 2^32 to each of its limbs.
// From a zero register, k deposits leave |limb| < k * 2^52, and 2047 * 2^52 < 2^63, so
// 2047 deposits can never overflow a signed 64-bit limb. After a carry propagation each
// limb lies in [-2^32, 2^32), less than one deposit's worth; 2046 more keep it under
// 2047 * 2^52. So every limb lies in [-b, b) with b = (2047 - addsLeft) * 2^52: the
// invariant that merging (which spends as much of acc's countdown as the other record
// has used) and the check of records from outside both rely on.
constexpr int64_t kAddsAfterInit = 2047;
constexpr int64_t kAddsAfterCarry = 2046;
constexpr int kDepositBoundLog2 = 52;

// Identifies a record of this layout: "SELA", an accumulator tag and the major version.
// A record from another major version, or one never initialised, carries another word.
constexpr uint64_t kAccumulatorFormat = 0x53454C4141430001ULL;

// The record. Its bytes are the public sela_accumulator (same size, plain words, no
// pointers), so a record copied with memcpy can travel between processes.
struct SuperAccumulator {
  uint64_t format;   // kAccumulatorFormat
  int64_t addsLeft;  // deposits left before the limbs must be normalised
  int64_t limbs[kSuperLimbs];
  uint64_t infBits;   // 0, or +inf / -inf, or a NaN once both infinities were seen
  uint64_t nanBits;   // 0, or the NaN with the largest mantissa field, sign cleared
  uint64_t reserved;  // 0
};
constexpr int kAccumulatorWords = kSuperLimbs + 5;
static_assert(sizeof(SuperAccumulator) == kAccumulatorWords * sizeof(uint64_t));

// The empty register: all limbs and side words zero, addsLeft = 2047.
void initialize(SuperAccumulator& acc);

// Whether a record holds a state this code can have produced: the format word, a
// countdown in [0, 2047], every limb within the headroom the countdown says is used, side
// words of the right shape. Any record that passes can be added to, merged and rounded
// without overflow.
bool isValidAccumulator(const SuperAccumulator& acc);

// Copies a record, given as its kAccumulatorWords words, into acc if it is valid (in the
// sense of isValidAccumulator); false, with acc's contents unspecified, if it is not.
bool loadAccumulator(const uint64_t* words, SuperAccumulator& acc);

// Records a NaN or an infinity (bit pattern u) in the side words.
void depositSpecial(SuperAccumulator& acc, uint64_t u);

// The limb index and the signed amounts that a finite double (bit pattern u, exponent
// field e < 2047) adds to limbs index and index + 1. Without branches on the data (signs
// and magnitudes are unpredictable): field 0 is a subnormal or zero, M = its bare field at
// the exponent of field 1; a zero adds 0.
static inline void depositParts(uint64_t u, uint64_t e, int64_t& index, int64_t& low, int64_t& high) {
  const uint64_t normal = e != 0;
  const uint64_t m = (u & 0x000FFFFFFFFFFFFFULL) | (normal << 52);
  const uint64_t effective = e + (1 - normal);
  const auto shift = static_cast<unsigned>(effective & 31);
  index = static_cast<int64_t>(effective >> 5);
  // Two's complement negation by the sign mask: (v ^ -1) + 1 = -v.
  const int64_t negative = -static_cast<int64_t>(u >> 63);
  low = (static_cast<int64_t>((m << shift) & 0xFFFFFFFFULL) ^ negative) - negative;
  high = (static_cast<int64_t>(m >> (32 - shift)) ^ negative) - negative;
}

// The parts a double adds, as depositParts gives them; false, with the value recorded in
// the side words, for a NaN or an infinity, which never enter the limbs.
static inline bool finiteDepositParts(SuperAccumulator& acc, double x, int64_t& index, int64_t& low,
                                      int64_t& high) {
  uint64_t u;
  __builtin_memcpy(&u, &x, sizeof u);
  const uint64_t e = (u >> 52) & 0x7FF;
  if (e == 0x7FF) [[unlikely]] {
    depositSpecial(acc, u);
    return false;
  }
  depositParts(u, e, index, low, high);
  return true;
}

// Deposits one double exactly: a normal or subnormal value adds < 2^32 to one limb and
// < 2^52 to the limb above; zeros add nothing; NaN and infinities go to the side words.
// Does not touch addsLeft: the caller counts. Internal linkage: it is also compiled into
// the FMA translation unit, whose copy must never stand in for the baseline one.
static inline void deposit(SuperAccumulator& acc, double x) {
  int64_t index, low, high;
  if (!finiteDepositParts(acc, x, index, low, high)) return;
  acc.limbs[index] += low;
  acc.limbs[index + 1] += high;
}

// The limb pair a deposit touched last, with what is owed to it kept in registers: a run
// of deposits into one pair (products of one binade, the common case) adds up in
// registers instead of forming one chain of loads and stores through the same two limbs. The
// owed amounts are deposits not yet written: with them, the limbs satisfy the same
// headroom bound as if every deposit had been written at once. Flushed before any
// carry propagation and at the end.
struct DepositCache {
  int64_t index = 0;
  int64_t low = 0;
  int64_t high = 0;
};

static inline void flushCache(SuperAccumulator& acc, DepositCache& c) {
  acc.limbs[c.index] += c.low;
  acc.limbs[c.index + 1] += c.high;
  c.low = 0;
  c.high = 0;
}

// deposit(acc, x) through the cache: the same value, added later.
static inline void depositCached(SuperAccumulator& acc, DepositCache& c, double x) {
  int64_t index, low, high;
  if (!finiteDepositParts(acc, x, index, low, high)) return;
  if (index != c.index) {
    flushCache(acc, c);
    c.index = index;
  }
  c.low += low;
  c.high += high;
}

// Adds x[0] ... x[n-1] exactly. The arrangement depends on n (bins for long arrays, one
// deposit after another for short ones); the value and side words that result do not.
void add(SuperAccumulator& acc, const double* x, int64_t n);

// The reference arrangement: deposits x[0] ... x[n-1] in order, normalising whenever the
// countdown runs out. Every element counts, zeros and special values included.
void addEach(SuperAccumulator& acc, const double* x, int64_t n);

// One product x * y, as superDot deposits it: a NaN or infinity factor records the
// floating-point product in the side words, a zero factor adds nothing, otherwise the
// product's bits of weight 2^-1075 and above (the product floor) go to five limbs, each
// word below 2^32. Does not touch addsLeft: the caller counts.
void depositProduct(SuperAccumulator& acc, double x, double y);

// Adds the products x[i] * y[i], i = 0 .. n-1, each under the product floor. With FMA,
// products split into two doubles (bins for long arrays, the register for short ones);
// without, long arrays go through the 128-bit product bins. The result does not depend
// on the arrangement.
void addProducts(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

// The reference arrangement: depositProduct for each i in order, each counted.
void addProductsEach(SuperAccumulator& acc, const double* x, const double* y, int64_t n);

// Products added to one accumulator over several calls, as the centered reductions feed
// them chunk by chunk: begin (with the total length to come, and a sample of the data
// for choosing the arrangement), any number of adds, end. The value added equals
// addProducts of the concatenation, whatever the chunks. The sample (the first chunk's
// factors, say) only steers the choice of arrangement. The workspace of the bins, if
// any, is released by end or when the stream goes out of scope.
struct ProductStream {
  SuperAccumulator* acc = nullptr;
  uint64_t* workspace = nullptr;  // the sum bins, rows of the binned layout, or null
  int copies = 0;
  // The 128-bit product bins for products the split cannot take, allocated when the
  // first one comes (or never, if refused), and how many products they hold.
  uint64_t* productBins = nullptr;
  bool productBinsRefused = false;
  int64_t productBinsHeld = 0;
  bool split = false;  // products split into two doubles with a fused multiply-add
  // The length from which split products go to the bins; 0 for the default
  // (kSplitBinsMinLength), set before begin by callers that expect wide-ranging products.
  int64_t binsFromLength = 0;
  ProductStream() = default;
  ProductStream(const ProductStream&) = delete;
  ProductStream& operator=(const ProductStream&) = delete;
  ~ProductStream();
};
void beginProducts(ProductStream& s, SuperAccumulator& acc, int64_t total, const double* sampleX,
                   const double* sampleY, int64_t sampleLength);
void addProducts(ProductStream& s, const double* x, const double* y, int64_t n);
void endProducts(ProductStream& s);

// Adds the value and the side words of `other` to acc, exactly as if other's deposits had
// been made into acc. `other` may be acc itself (the value doubles).
void merge(SuperAccumulator& acc, const SuperAccumulator& other);

// Normalises the limbs without changing the value: every limb below the top non-zero one
// in [0, 2^32), the top one in [-2^32, 2^32), non-zero and not -1 (unless it is limb 0).
// Returns the top limb's index (0 for a zero register); resets addsLeft to 2046.
int64_t carryPropagate(SuperAccumulator& acc);

// nanBits if set, else infBits if set, else the register rounded to nearest (ties to
// even), overflowing to +-inf where round-to-nearest does. Normalises in place.
double round(SuperAccumulator& acc);

// The exact sum of x[0] ... x[n-1], rounded once. +0.0 for n <= 0.
double superSum(const double* x, int64_t n);

// The dot product of x and y over the first nx elements, exact except that each product's
// bits below 2^-1075 are discarded (the product floor), rounded once. Requires ny >= nx.
double superDot(const double* x, int64_t nx, const double* y, int64_t ny);

}  // namespace sela
