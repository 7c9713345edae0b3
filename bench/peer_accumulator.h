// The benchmarks' peer: a plain exact summation written here from first principles, the
// classic design in two layers, so that sela's exact figures have a reference in the
// same run.
//
// - Small: a fixed-point register over the whole double range. Every finite double is
//   m * 2^-1074 * 2^p with an integer significand m < 2^53 and p = max(E, 1) - 1 for its
//   exponent field E, so the register counts units of 2^-1074 in 67 limbs of 32 bits,
//   each held in an int64_t: bit positions up to 2143, far above the largest double's
//   top bit 2097. A deposit adds at most 2^32 - 1 to a limb (the top part of a split
//   value may subtract up to 2^31), so 2^30 deposits leave every limb far from int64_t
//   overflow; then one carry pass brings limbs 0..65 back into [0, 2^32).
// - Large: one bin per exponent field, an int64_t sum of the signed significands of that
//   field and a count. 1024 significands of magnitude below 2^53 sum to less than 2^63,
//   so a bin is flushed into the small register (one deposit of the bin's sum at its
//   position) when its count reaches 1024, and all bins are flushed at the end.
// - Rounding: carries propagated, the sign taken from the top limb, the magnitude's top
//   64 bits and a sticky bit for everything below, then round to nearest, ties to even.
// - Dot products: each product split by a fused multiply-add into h = fl(a b) and
//   r = fma(a, b, -h), h + r = a b exactly while the product neither overflows nor
//   underflows (the benchmark families never do), and both deposited.
// Infinities and NaN are counted apart: NaN, or +inf with -inf, gives NaN.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace peer {

__extension__ using Int128 = __int128;
__extension__ using Uint128 = unsigned __int128;

constexpr int kLimbBits = 32;
constexpr int kLimbs = 67;
constexpr int kBins = 2048;
constexpr int64_t kBinCapacity = 1024;
constexpr int64_t kSmallCapacity = int64_t{1} << 30;
constexpr uint64_t kMantissaMask = (uint64_t{1} << 52) - 1;
constexpr uint64_t kLimbMask = (uint64_t{1} << kLimbBits) - 1;
// A significand's top bit lies at position 2045 + 52 at most; the deposit of a bin's
// sum (below 2^63) at position 2045 reaches limb 2045 / 32 + 2.
static_assert((2045 / kLimbBits) + 2 < kLimbs - 1, "deposits stay below the top limb");
static_assert(kBinCapacity * ((int64_t{1} << 53) - 1) < std::numeric_limits<int64_t>::max(),
              "a full bin cannot overflow");

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
  Specials specials;
};

inline void init(Small& a) {
  std::memset(a.limb, 0, sizeof a.limb);
  a.depositsLeft = kSmallCapacity;
  a.specials = Specials{};
}

// Limbs 0..kLimbs-2 into [0, 2^32), their carries moved up; the value is unchanged.
inline void carry(Small& a) {
  for (int k = 0; k < kLimbs - 1; ++k) {
    const int64_t c = a.limb[k] >> kLimbBits;  // floor division: the low part stays >= 0
    a.limb[k] -= c * (int64_t{1} << kLimbBits);
    a.limb[k + 1] += c;
  }
  a.depositsLeft = kSmallCapacity - 1;
}

// Adds v * 2^p units (|v| < 2^63, 0 <= p <= 2045): the two's-complement bits of
// v * 2^(p mod 32) in 32-bit pieces, the top piece signed.
inline void deposit(Small& a, int64_t v, int p) {
  if (--a.depositsLeft <= 0) carry(a);
  const int k = p / kLimbBits;
  Int128 w = static_cast<Int128>(v) * (static_cast<Int128>(1) << (p % kLimbBits));
  a.limb[k] += static_cast<int64_t>(static_cast<uint64_t>(w) & kLimbMask);
  w >>= kLimbBits;
  a.limb[k + 1] += static_cast<int64_t>(static_cast<uint64_t>(w) & kLimbMask);
  w >>= kLimbBits;
  a.limb[k + 2] += static_cast<int64_t>(w);
}

inline void add(Small& a, double x) {
  const uint64_t u = std::bit_cast<uint64_t>(x);
  const int e = static_cast<int>((u >> 52) & 0x7FF);
  if (e == 0x7FF) {
    a.specials.note(u);
    return;
  }
  const int64_t m = static_cast<int64_t>((u & kMantissaMask) | (static_cast<uint64_t>(e != 0) << 52));
  deposit(a, (u >> 63) ? -m : m, e == 0 ? 0 : e - 1);
}

inline void add(Small& a, const double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i) add(a, x[i]);
}

// a += b. The limbs add; their deposits count against a's headroom.
inline void merge(Small& a, const Small& b) {
  const int64_t usedB = kSmallCapacity - b.depositsLeft;
  if (a.depositsLeft <= usedB) carry(a);
  if (a.depositsLeft <= usedB) {  // b alone used more than half: carry a copy of it
    Small c = b;
    carry(c);
    merge(a, c);
    return;
  }
  for (int k = 0; k < kLimbs; ++k) a.limb[k] += b.limb[k];
  a.depositsLeft -= usedB;
  a.specials.nan |= b.specials.nan;
  a.specials.posInf |= b.specials.posInf;
  a.specials.negInf |= b.specials.negInf;
}

// The value rounded to nearest, ties to even (+0.0 for zero; +-inf beyond the range).
inline double round(const Small& in) {
  if (in.specials.any()) return in.specials.value();
  Small a = in;
  carry(a);
  const bool negative = a.limb[kLimbs - 1] < 0;
  if (negative) {
    for (int64_t& l : a.limb) l = -l;
    carry(a);
  }
  int top = kLimbs - 1;
  while (top >= 0 && a.limb[top] == 0) --top;
  if (top < 0) return 0.0;
  // The four limbs from the top one down, as 128 bits with the top bit at bit 127.
  Uint128 window = 0;
  for (int j = top; j > top - 4; --j) window = (window << kLimbBits) | static_cast<uint64_t>(j >= 0 ? a.limb[j] : 0);
  const int lead = std::countl_zero(static_cast<uint64_t>(window >> 64));
  window <<= lead;
  const int topBit = kLimbBits * top + (kLimbBits - 1) - lead;  // the magnitude's top bit
  double r;
  if (topBit < 53) {
    // Fewer than 54 bits: the magnitude (limbs 0 and 1) times 2^-1074 is a double.
    r = std::ldexp(static_cast<double>(static_cast<uint64_t>(a.limb[1]) << kLimbBits | static_cast<uint64_t>(a.limb[0])),
                   -1074);
  } else {
    bool sticky = static_cast<uint64_t>(window) != 0;
    for (int j = top - 4; j >= 0 && !sticky; --j) sticky = a.limb[j] != 0;
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
    r = std::ldexp(static_cast<double>(mant), exp);  // exact, or +inf beyond the range
  }
  return negative ? -r : r;
}

struct Large {
  int64_t sum[kBins];
  uint16_t count[kBins];
  Small small;
};

inline void init(Large& a) {
  std::memset(a.sum, 0, sizeof a.sum);
  std::memset(a.count, 0, sizeof a.count);
  init(a.small);
}

inline void flushBin(Large& a, int e) {
  deposit(a.small, a.sum[e], e == 0 ? 0 : e - 1);
  a.sum[e] = 0;
  a.count[e] = 0;
}

[[gnu::always_inline]] inline void addBinned(Large& a, double x) {
  const uint64_t u = std::bit_cast<uint64_t>(x);
  const int e = static_cast<int>((u >> 52) & 0x7FF);
  if (e == 0x7FF) [[unlikely]] {
    a.small.specials.note(u);
    return;
  }
  const int64_t m = static_cast<int64_t>((u & kMantissaMask) | (static_cast<uint64_t>(e != 0) << 52));
  const int64_t sign = -static_cast<int64_t>(u >> 63);  // 0 or -1
  a.sum[e] += (m ^ sign) - sign;
  if (++a.count[e] == kBinCapacity) [[unlikely]]
    flushBin(a, e);
}

inline void add(Large& a, const double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i) addBinned(a, x[i]);
}

// The one exact pass: every bin into the small register.
inline void transfer(Large& a) {
  for (int e = 0; e < kBins - 1; ++e) {
    if (a.count[e] != 0) flushBin(a, e);
  }
}

inline double round(Large& a) {
  transfer(a);
  return round(a.small);
}

// The products x[i] * y[i], each as h + r (see the top of the file): the fused
// multiply-add needs FMA, so this is built for it and called only where it exists.
__attribute__((target("fma"))) inline void addProducts(Large& a, const double* x, const double* y, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const double h = x[i] * y[i];
    const double r = __builtin_fma(x[i], y[i], -h);
    addBinned(a, h);
    addBinned(a, r);
  }
}

// One-shot forms, as a caller of the peer would write them.
inline double sumSmall(const double* x, int64_t n) {
  Small a;
  init(a);
  add(a, x, n);
  return round(a);
}

inline double sumLarge(const double* x, int64_t n) {
  static thread_local Large a;  // 20 KB of bins: not on the stack
  init(a);
  add(a, x, n);
  return round(a);
}

inline double dotLarge(const double* x, const double* y, int64_t n) {
  static thread_local Large a;
  init(a);
  addProducts(a, x, y, n);
  return round(a);
}

}  // namespace peer
