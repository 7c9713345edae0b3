// The binary64 format as the library reads it bit by bit: the field widths, every mask
// and offset derived from them, the fields of a bit pattern, the neighbours of a double
// and the distance to them that settles a rounding.
//
// Everything here has internal linkage (constexpr values, static inline functions), so
// the translation units built for other instruction sets may include it: no copy of a
// function compiled there can ever stand in for the baseline one at link time.
#pragma once

#include <cstdint>

namespace sela {

constexpr int kMantissaBits = 52;  // stored fraction bits; normal significands have one more
constexpr int kExponentBits = 11;
constexpr int kExponentBias = (1 << (kExponentBits - 1)) - 1;

// The exponent field of infinities and NaNs (all ones); every finite value has a smaller one.
constexpr uint64_t kSpecialField = (uint64_t{1} << kExponentBits) - 1;
constexpr uint64_t kMaxFiniteField = kSpecialField - 1;
constexpr uint64_t kMantissaMask = (uint64_t{1} << kMantissaBits) - 1;
constexpr uint64_t kHiddenBit = uint64_t{1} << kMantissaBits;
constexpr uint64_t kExponentMask = kSpecialField << kMantissaBits;
constexpr uint64_t kSignMask = uint64_t{1} << (kMantissaBits + kExponentBits);
// The quiet NaN with sign clear and zero payload.
constexpr uint64_t kQuietNaNBits = kExponentMask | (kHiddenBit >> 1);

// A finite double with exponent field e >= 1 and significand M (field plus hidden bit) is
// M * 2^(e - kFieldOffset); a subnormal is its bare field at the weight of field 1. Bit e
// of an integer in units of 2^-kFieldOffset (half the smallest subnormal) therefore holds
// a significand's lowest bit: the field itself is the position.
constexpr int kFieldOffset = kExponentBias + kMantissaBits;
static_assert(kSpecialField == 0x7FF && kFieldOffset == 1075 && kQuietNaNBits == 0x7FF8000000000000ULL);

// Exact products of two significands (below 2^106) and other wide integers.
__extension__ typedef unsigned __int128 uint128;

// The builtin rather than std::bit_cast, a template with external linkage.
static inline uint64_t bitsOf(double x) { return __builtin_bit_cast(uint64_t, x); }
static inline double fromBits(uint64_t u) { return __builtin_bit_cast(double, u); }
static inline uint64_t exponentField(uint64_t u) { return (u >> kMantissaBits) & kSpecialField; }

// Finite iff the exponent field is not all ones (so -0.0 and subnormals are finite).
// floor(bits(|a|) / 2) + floor(bits(|b|) / 2): half the sum of the two magnitudes' bit
// patterns, which bounds the product's binade from both sides (certifiedsum_kernels.h).
static inline uint64_t halvedBits(double a, double b) {
  return (bitsOf(a) << 1 >> 2) + (bitsOf(b) << 1 >> 2);
}

static inline bool isFinite(double x) { return (bitsOf(x) & kExponentMask) != kExponentMask; }

static inline double quietNaN() { return fromBits(kQuietNaNBits); }

// Normal: neither zero nor subnormal, nor infinite nor NaN.
static inline bool isNormal(double x) {
  const uint64_t field = exponentField(bitsOf(x));
  return field != 0 && field != kSpecialField;
}

// frexp of a normal x: the mantissa in [1/2, 1) with x's sign, and *e with x = m 2^e.
static inline double normalMantissa(double x, int& e) {
  const uint64_t u = bitsOf(x);
  e = static_cast<int>(exponentField(u)) - (kExponentBias - 1);
  return fromBits((u & ~kExponentMask) | (uint64_t{kExponentBias - 1} << kMantissaBits));
}

// 2^e for a normal power, -1022 <= e <= 1023.
static inline double powerOfTwo(int e) { return fromBits(static_cast<uint64_t>(e + kExponentBias) << kMantissaBits); }

// The neighbours of a finite double, by stepping its bit pattern: prevFloat(+0.0) is
// -2^-1074, nextFloat(-0.0) is +2^-1074; above DBL_MAX the neighbour is the infinity.
static inline double prevFloat(double x) {
  const uint64_t u = bitsOf(x);
  if (u == 0) return -0x1p-1074;
  return fromBits((u & kSignMask) ? u + 1 : u - 1);
}

static inline double nextFloat(double x) {
  const uint64_t u = bitsOf(x);
  if (u == kSignMask) return 0x1p-1074;
  return fromBits((u & kSignMask) ? u - 1 : u + 1);
}

// The threshold of a settled rounding: half the smaller of the two gaps between res and
// its neighbouring doubles, so that a value within less than this of res rounds to res.
// For res normal of exponent e, 2^e = |res| with the significand cleared; the gaps are
// 2^(e - 52), but 2^(e - 53) below a power of two; above DBL_MAX, rounding to nearest
// overflows half a gap like the one below away. Half the smaller gap is 2^e times 2^-53,
// or 2^-54 for a power of two: exact when at least 2^-1074, else the product rounds to 0
// (2^-1075 is a tie, to even), as it is for res = 0 or subnormal, where nothing settles.
// An infinity or a NaN gives +infinity: the caller's margin is then a NaN (the error of
// a sum that is not finite), which compares below nothing.
static inline double halfGapBelow(double res) {
  const double halfUlp = (bitsOf(res) & kMantissaMask) == 0 ? 0x1p-54 : 0x1p-53;
  return fromBits(bitsOf(res) & kExponentMask) * halfUlp;
}

}  // namespace sela
