// The benchmarks' peer: a plain exact summation written here from first principles, the
// classic design in two layers, so that sela's exact figures have a reference in the
// same run.
//
// - Small: a fixed-point register over the whole double range. Every finite double is
//   m * 2^-1074 * 2^p with an integer significand m < 2^53 and p = max(E, 1) - 1 for its
//   exponent field E, so the register counts units of 2^-1074 in 67 limbs of 32 bits,
//   each held in an int64_t: bit positions up to 2143, far above the largest double's
//   top bit 2097. A value goes in as two signed pieces, the low 32 bits of m * 2^(p mod
//   32) into limb p / 32 and the rest (below 2^52) into the next limb, so a limb moves by
//   less than 2^52 per deposit and 2047 deposits cannot overflow it; then one carry pass
//   over the limbs in use brings them back into [0, 2^32). The register remembers the
//   span of limbs it has touched, so carrying and rounding a short sum look at a few
//   limbs, not 67.
// - Large: one bin per sign and exponent field (the top 12 bits of the double), holding
//   the unsigned sum of the significands m with the hidden bit always set, and a count.
//   1024 significands below 2^53 sum to less than 2^63, so a bin is flushed into the
//   small register (one deposit of its sum, negated for the negative bins, at its
//   position) when its count reaches 1024, and the bins in use are flushed at the end (a
//   list of them is kept, so a call touches only the bins its data needs). The bins of
//   zeros and subnormals (exponent field 0) have no hidden bit: their flush subtracts
//   2^52 per value counted.
// - Rounding: carries propagated, the sign taken from the top limb, the magnitude's top
//   64 bits and a sticky bit for everything below, then round to nearest, ties to even.
// - Dot products: each product split by a fused multiply-add into h = fl(a b) and
//   r = fma(a, b, -h), h + r = a b exactly while the product neither overflows nor
//   underflows (the benchmark families never do), and both deposited.
// Infinities and NaN are counted apart: NaN, or +inf with -inf, gives NaN.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace peer {

__extension__ using Int128 = __int128;
__extension__ using Uint128 = unsigned __int128;

constexpr int kLimbBits = 32;
constexpr int kLimbs = 67;
constexpr int kBins = 4096;
constexpr int kBinCapacity = 1024;
// A piece moves a limb by less than 2^52; after a carry pass the limbs are below 2^32.
constexpr int64_t kSmallCapacity = (int64_t{1} << (63 - 52)) - 1;
constexpr uint64_t kMantissaMask = (uint64_t{1} << 52) - 1;
constexpr uint64_t kLimbMask = (uint64_t{1} << kLimbBits) - 1;
// A significand's top bit lies at position 2045 + 52 at most; the deposit of a bin's
// sum (below 2^63) at position 2045 reaches limb 2045 / 32 + 2.
static_assert((2045 / kLimbBits) + 2 < kLimbs - 1, "deposits stay below the top limb");
static_assert(int64_t{kBinCapacity} * ((int64_t{1} << 53) - 1) <= std::numeric_limits<int64_t>::max(),
              "a full bin fits an int64_t deposit");
static_assert((int64_t{1} << 32) + kSmallCapacity * (int64_t{1} << 52) < std::numeric_limits<int64_t>::max(),
              "a limb cannot overflow between carry passes");

struct Specials {
  bool nan = false, posInf = false, negInf = false;
  void note(uint64_t u) {
    if ((u & kMantissaMask) != 0) {
      nan = true;
    } else if (u >> 63) {
      negInf = true;
    } else {
      posInf = true;
    }
  }
  bool any() const { return nan || posInf || negInf; }
  double value() const {
    if (nan || (posInf && negInf)) return std::numeric_limits<double>::quiet_NaN();
    return posInf ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
  }
};

struct Small {
  int64_t limb[kLimbs];
  int64_t depositsLeft;
  int lo, hi;  // limbs outside [lo, hi] are zero
  Specials specials;
};

inline void init(Small& a) {
  std::memset(a.limb, 0, sizeof a.limb);
  a.depositsLeft = kSmallCapacity;
  a.lo = kLimbs;
  a.hi = -1;
  a.specials = Specials{};
}

// Limbs lo..hi-1 into [0, 2^32), their carries moved up; the top limb keeps its sign
// and is split only once it has grown beyond 32 bits (its carry is below 2^31), so a
// negative value does not carry ones up to the last limb. The value is unchanged.
inline void carry(Small& a) {
  a.depositsLeft = kSmallCapacity - 1;
  if (a.hi < 0) return;
  constexpr int64_t kRadix = int64_t{1} << kLimbBits;
  for (int k = a.lo; k < a.hi; ++k) {
    const int64_t c = a.limb[k] >> kLimbBits;  // floor division: the low part stays >= 0
    a.limb[k] -= c * kRadix;
    a.limb[k + 1] += c;
  }
  const int64_t t = a.limb[a.hi];
  if ((t >= kRadix || t < -kRadix) && a.hi < kLimbs - 1) {
    const int64_t c = t >> kLimbBits;
    a.limb[a.hi] -= c * kRadix;
    a.limb[++a.hi] += c;
  }
}

inline void touch(Small& a, int first, int last) {
  a.lo = std::min(a.lo, first);
  a.hi = std::max(a.hi, last);
}

// Adds v * 2^p units (|v| < 2^63, 0 <= p <= 2045): the two's-complement bits of
// v * 2^(p mod 32) in 32-bit pieces, the top piece signed. Used for bins' sums.
inline void deposit(Small& a, int64_t v, int p) {
  if (--a.depositsLeft <= 0) carry(a);
  const int k = p / kLimbBits;
  Int128 w = static_cast<Int128>(v) * (static_cast<Int128>(1) << (p % kLimbBits));
  a.limb[k] += static_cast<int64_t>(static_cast<uint64_t>(w) & kLimbMask);
  w >>= kLimbBits;
  a.limb[k + 1] += static_cast<int64_t>(static_cast<uint64_t>(w) & kLimbMask);
  w >>= kLimbBits;
  a.limb[k + 2] += static_cast<int64_t>(w);
  touch(a, k, k + 2);
}

// One double: the low 32 bits of m * 2^s (s = p mod 32) and m >> (32 - s), both signed.
[[gnu::always_inline]] inline void add(Small& a, double x) {
  const uint64_t u = std::bit_cast<uint64_t>(x);
  const int e = static_cast<int>((u >> 52) & 0x7FF);
  if (e == 0x7FF) [[unlikely]] {
    a.specials.note(u);
    return;
  }
  if (--a.depositsLeft <= 0) [[unlikely]]
    carry(a);
  const uint64_t m = (u & kMantissaMask) | (static_cast<uint64_t>(e != 0) << 52);
  const int p = e == 0 ? 0 : e - 1;
  const int k = p / kLimbBits;
  const int shift = p % kLimbBits;
  const int64_t low = static_cast<int64_t>((m << shift) & kLimbMask);
  const int64_t high = static_cast<int64_t>(m >> (kLimbBits - shift));
  const int64_t sign = -static_cast<int64_t>(u >> 63);  // 0 or -1
  a.limb[k] += (low ^ sign) - sign;
  a.limb[k + 1] += (high ^ sign) - sign;
  touch(a, k, k + 1);
}

inline void add(Small& a, const double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i) add(a, x[i]);
}

// a += b. The limbs add; b's deposits count against a's headroom, which a carry pass
// of a always makes room for (b has used at most kSmallCapacity - 1 since its own).
inline void merge(Small& a, const Small& b) {
  const int64_t usedB = kSmallCapacity - b.depositsLeft;
  if (a.depositsLeft < usedB) carry(a);
  for (int k = b.lo; k <= b.hi; ++k) a.limb[k] += b.limb[k];
  if (b.hi >= 0) touch(a, b.lo, b.hi);
  a.depositsLeft -= usedB;
  a.specials.nan |= b.specials.nan;
  a.specials.posInf |= b.specials.posInf;
  a.specials.negInf |= b.specials.negInf;
}

// The magnitude of a carried, non-negative register rounded to nearest, ties to even
// (+inf beyond the range).
inline double roundMagnitude(const Small& a) {
  int top = a.hi;
  while (top >= 0 && a.limb[top] == 0) --top;
  if (top < 0) return 0.0;
  // The four limbs from the top one down, as 128 bits with the top bit at bit 127.
  Uint128 window = 0;
  for (int j = top; j > top - 4; --j) window = (window << kLimbBits) | static_cast<uint64_t>(j >= 0 ? a.limb[j] : 0);
  const int lead = std::countl_zero(static_cast<uint64_t>(window >> 64));
  window <<= lead;
  const int topBit = kLimbBits * top + (kLimbBits - 1) - lead;  // the magnitude's top bit
  if (topBit < 53) {
    // Fewer than 54 bits: the magnitude (limbs 0 and 1) times 2^-1074 is a double.
    return std::ldexp(static_cast<double>(static_cast<uint64_t>(a.limb[1]) << kLimbBits | static_cast<uint64_t>(a.limb[0])),
                      -1074);
  }
  bool sticky = static_cast<uint64_t>(window) != 0;
  for (int j = top - 4; j >= a.lo && !sticky; --j) sticky = a.limb[j] != 0;
  const uint64_t w = static_cast<uint64_t>(window >> 64);
  uint64_t mant = w >> 11;
  const bool guard = (w >> 10) & 1;
  const bool rest = (w & 0x3FF) != 0 || sticky;
  int exp = topBit - 52 - 1074;
  if (guard && (rest || (mant & 1))) ++mant;
  if (mant >> 53) {
    mant >>= 1;
    ++exp;
  }
  return std::ldexp(static_cast<double>(mant), exp);  // exact, or +inf beyond the range
}

// The value rounded to nearest, ties to even (+0.0 for zero; +-inf beyond the range).
// Carries a in place (its value is unchanged).
inline double round(Small& a) {
  if (a.specials.any()) return a.specials.value();
  carry(a);
  if (a.hi < 0 || a.limb[a.hi] >= 0) return roundMagnitude(a);
  // Negative: the top limb alone is negative. Round the negation.
  Small m = a;
  for (int k = m.lo; k <= m.hi; ++k) m.limb[k] = -m.limb[k];
  carry(m);
  return -roundMagnitude(m);
}

// The bins start at zero and are left at zero by transfer, so a call touches only the
// bins its data uses; `used` lists them (`listed` marks them).
struct Large {
  uint64_t sum[kBins];
  uint16_t count[kBins];
  uint8_t listed[kBins];
  uint16_t used[kBins];
  int usedCount;
  Small small;
};

inline void clear(Large& a) {
  std::memset(a.sum, 0, sizeof a.sum);
  std::memset(a.count, 0, sizeof a.count);
  std::memset(a.listed, 0, sizeof a.listed);
  a.usedCount = 0;
  init(a.small);
}

// Bin b into the register; the bin restarts empty (and stays listed).
inline void flushBin(Large& a, int b) {
  const int e = b & 0x7FF;
  uint64_t v = a.sum[b];
  if (e == 0) v -= static_cast<uint64_t>(a.count[b]) << 52;  // no hidden bits there
  if (v != 0) {
    const auto s = static_cast<int64_t>(v);  // below 2^63
    deposit(a.small, (b >> 11) ? -s : s, e == 0 ? 0 : e - 1);
  }
  a.sum[b] = 0;
  a.count[b] = 0;
}

[[gnu::always_inline]] inline void addBinned(Large& a, double x) {
  const uint64_t u = std::bit_cast<uint64_t>(x);
  const int b = static_cast<int>(u >> 52);
  if ((b & 0x7FF) == 0x7FF) [[unlikely]] {
    a.small.specials.note(u);
    return;
  }
  a.sum[b] += (u & kMantissaMask) | (uint64_t{1} << 52);
  const int c = ++a.count[b];
  if (!a.listed[b]) [[unlikely]] {
    a.listed[b] = 1;
    a.used[a.usedCount++] = static_cast<uint16_t>(b);
  }
  if (c == kBinCapacity) [[unlikely]]
    flushBin(a, b);
}

inline void add(Large& a, const double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i) addBinned(a, x[i]);
}

// The one exact pass: every bin in use into the small register, and back to zero.
inline void transfer(Large& a) {
  for (int j = 0; j < a.usedCount; ++j) {
    flushBin(a, a.used[j]);
    a.listed[a.used[j]] = 0;
  }
  a.usedCount = 0;
}

inline double round(Large& a) {
  transfer(a);
  return round(a.small);
}

inline void addOne(Large& a, double v) { addBinned(a, v); }
inline void addOne(Small& a, double v) { add(a, v); }

// The products x[i] * y[i], each as h + r (see the top of the file), into the bins or
// (for short inputs) straight into the register. The fused multiply-add needs FMA, so
// on x86-64 this is built for it and called only where it exists (every aarch64 has it).
#if defined(__x86_64__)
#define PEER_FMA_TARGET __attribute__((target("fma")))
#else
#define PEER_FMA_TARGET
#endif
template <typename Accumulator>
PEER_FMA_TARGET inline void addProducts(Accumulator& a, const double* x, const double* y, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const double h = x[i] * y[i];
    const double r = __builtin_fma(x[i], y[i], -h);
    addOne(a, h);
    addOne(a, r);
  }
}

// One-shot forms, as a caller of the peer would write them. The large accumulator (52 KB
// of bins) is kept per thread, cleared once and left clear by every round (on the heap:
// static thread-local storage would sit on every thread's stack).
inline Large& threadLarge() {
  static thread_local std::unique_ptr<Large> a;
  if (!a) {
    a = std::make_unique<Large>();
    clear(*a);
  }
  init(a->small);
  return *a;
}

inline double sumSmall(const double* x, int64_t n) {
  Small a;
  init(a);
  add(a, x, n);
  return round(a);
}

inline double sumLarge(const double* x, int64_t n) {
  Large& a = threadLarge();
  add(a, x, n);
  return round(a);
}

inline double dotSmall(const double* x, const double* y, int64_t n) {
  Small a;
  init(a);
  addProducts(a, x, y, n);
  return round(a);
}

inline double dotLarge(const double* x, const double* y, int64_t n) {
  Large& a = threadLarge();
  addProducts(a, x, y, n);
  return round(a);
}

}  // namespace peer
