// Decoding of fuzzer bytes into arrays of doubles, and the check that aborts on a broken
// contract (printing the inputs, so a saved crash input explains itself).
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

// The first byte picks how the following 8-byte words become doubles: raw bit patterns,
// or the significand and sign kept with the exponent folded into a narrow band (around 1,
// near the top of the range, in and around the subnormal range, or two bands far apart),
// so that cancellation, overflow and underflow are all reached quickly. A final partial
// word is ignored.
inline std::vector<double> decode(const uint8_t* data, size_t size) {
  std::vector<double> v;
  if (size == 0) return v;
  const unsigned mode = data[0] % 6;
  ++data;
  --size;
  v.reserve(size / 8);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t u;
    std::memcpy(&u, data + i, 8);
    const uint64_t sign = u & (uint64_t{1} << 63), frac = u & ((uint64_t{1} << 52) - 1);
    const uint64_t e = (u >> 52) & 0x7FF;
    uint64_t exp = e;
    switch (mode) {
      case 0: break;                                   // raw bits: NaN, inf, anything
      case 1: exp = 1023 - 30 + e % 61; break;         // 2^-30 .. 2^30
      case 2: exp = 2046 - e % 80; break;              // the top 80 binades
      case 3: exp = e % 60; break;                     // subnormal and the lowest normals
      case 4: exp = e % 2 ? 1023 + e % 40 : 1023 - 60 + e % 20; break;  // two bands
      default: exp = e % 2047; break;                  // finite, anywhere
    }
    v.push_back(std::bit_cast<double>(sign | (exp << 52) | frac));
  }
  return v;
}

inline void printArray(const char* name, const std::vector<double>& v) {
  std::fprintf(stderr, "%s (%zu):", name, v.size());
  for (double d : v) std::fprintf(stderr, " %a", d);
  std::fprintf(stderr, "\n");
}

[[noreturn]] inline void fail(const char* what, double expected, double got) {
  std::fprintf(stderr, "contract broken: %s: expected %a (0x%016llx), got %a (0x%016llx)\n", what, expected,
               static_cast<unsigned long long>(std::bit_cast<uint64_t>(expected)), got,
               static_cast<unsigned long long>(std::bit_cast<uint64_t>(got)));
  std::abort();
}

inline bool sameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

inline void expectBits(const char* what, double expected, double got) {
  if (!sameBits(expected, got)) fail(what, expected, got);
}

inline void expectTrue(const char* what, bool ok, double got) {
  if (!ok) fail(what, std::nan(""), got);
}

inline bool allFinite(const std::vector<double>& v) {
  for (double d : v)
    if (!std::isfinite(d)) return false;
  return true;
}

inline bool anyNaN(const std::vector<double>& v) {
  for (double d : v)
    if (std::isnan(d)) return true;
  return false;
}

constexpr double kUnit = 0x1p-53;  // unit roundoff

}  // namespace fuzz
