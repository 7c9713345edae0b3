// Shared helpers for the tests: bit-exact comparison and seeded data families.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "gensum.h"
#include "oracle.h"

namespace testutil {

inline uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// The x86-64 families this processor runs: AVX2 with FMA, and AVX-512F. Their internal
// copies exist only on x86-64. The six exported dot kernels exist everywhere: off x86-64
// as portable code (simd_dispatch_portable.cpp) that any processor runs.
#if defined(__x86_64__)
inline bool cpuRunsAvx2() { return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); }
inline bool cpuRunsAvx512() { return __builtin_cpu_supports("avx512f") != 0; }
constexpr bool kX86 = true;
#else
inline bool cpuRunsAvx2() { return false; }
inline bool cpuRunsAvx512() { return false; }
constexpr bool kX86 = false;
#endif
inline bool exportedAvx2KernelsRun() { return !kX86 || cpuRunsAvx2(); }
inline bool exportedAvx512KernelsRun() { return !kX86 || cpuRunsAvx512(); }

// Bit-for-bit comparison that prints both values in hex float on failure.
inline ::testing::AssertionResult SameBits(double expected, double actual) {
  if (bits(expected) == bits(actual)) return ::testing::AssertionSuccess();
  char buf[128];
  std::snprintf(buf, sizeof buf, "expected %a (0x%016llx), got %a (0x%016llx)", expected,
                static_cast<unsigned long long>(bits(expected)), actual,
                static_cast<unsigned long long>(bits(actual)));
  return ::testing::AssertionFailure() << buf;
}

// SameBits, except that off x86-64 a NaN matches any NaN. Which NaN an operation passes on
// (of two NaN operands, or of a signalling and a quiet one) and the NaN an invalid
// operation makes (x86: negative, aarch64: positive) are the processor's; the library's
// loops pin the NaN of the running sum as x86 computes it, and nothing more.
inline ::testing::AssertionResult SameBitsOrProcessorNaN(double expected, double actual) {
#if !defined(__x86_64__)
  if (std::isnan(expected) && std::isnan(actual)) return ::testing::AssertionSuccess();
#endif
  return SameBits(expected, actual);
}

inline double pow2(int k) { return std::ldexp(1.0, k); }

// Uniform in [-1, 1).
inline std::vector<double> uniform(std::mt19937_64& rng, size_t n) {
  std::uniform_real_distribution<double> d(-1.0, 1.0);
  std::vector<double> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

// Random sign, random 53-bit significand, exponent uniform over [lo, hi] (binary
// exponents of the value); values below 2^-1022 come out subnormal.
inline std::vector<double> wideRange(std::mt19937_64& rng, size_t n, int lo = -1074, int hi = 1000) {
  std::uniform_int_distribution<int> e(lo, hi);
  std::vector<double> v(n);
  for (auto& x : v) {
    const uint64_t m = (rng() >> 11) | (1ULL << 52);
    x = std::ldexp(static_cast<double>(m), e(rng) - 52);
    if (rng() & 1) x = -x;
  }
  return v;
}

// A sum with condition number about `cond` (Ogita-Rump-Oishi GenSum style): pairs of
// large values that cancel, plus small values, shuffled.
inline std::vector<double> illConditioned(std::mt19937_64& rng, size_t n, double cond) {
  std::vector<double> v;
  v.reserve(n);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const double big = std::sqrt(cond);
  std::uniform_real_distribution<double> le(0.0, std::log2(big));
  while (v.size() + 2 <= n / 2 * 2 && v.size() < n / 2) {
    const double a = std::ldexp(u(rng), static_cast<int>(le(rng)));
    v.push_back(a);
    v.push_back(-a * (1.0 + u(rng) * 0x1p-40));
  }
  while (v.size() < n) v.push_back(u(rng));
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

// The condition number sum|x| / |sum x| from the exact oracle (each sum rounded once).
inline double conditionOf(const std::vector<double>& x) {
  std::vector<double> a(x.size());
  for (size_t i = 0; i < x.size(); ++i) a[i] = std::fabs(x[i]);
  return oracle::exactSum(a) / std::fabs(oracle::exactSum(x));
}

// Data at the bottom of the range, each array with the two ends and the sampled positions
// (multiples of n/8) low, so that chains run on the elements times 2^52 meet it: all
// subnormal; subnormal with low normal values whose sums cross 2^-1022 (and whose
// compensations round, up to 2^-960); ill-conditioned sums scaled down below 2^-962; with two large
// values of one sign at positions 1 and n-2 (near 2^971, still finite times 2^52 but
// overflowing together, or at 2^972, infinite times 2^52); pairs cancelling exactly (the
// sum +-0) or to the smallest subnormal; zeros of both signs.
inline std::vector<std::vector<double>> bottomOfRange(std::mt19937_64& rng, size_t n) {
  std::vector<std::vector<double>> out;
  const auto subnormal = [&](size_t k) { return wideRange(rng, k, -1074, -1023); };
  out.push_back(subnormal(n));
  for (const int top : {-1000, -960}) {
    std::vector<double> crossing = subnormal(n);
    for (size_t i = 1; i + 1 < n; i += 3) crossing[i] = wideRange(rng, 1, -1022, top)[0];
    out.push_back(crossing);
  }
  if (n >= 2) {
    std::vector<double> cancelling = illConditioned(rng, n, 1e30);  // magnitudes below 2^50
    for (auto& v : cancelling) v = v * 0x1p-1012;                   // rounded where subnormal
    out.push_back(cancelling);
  }
  for (const double big : {0x1.8p971, 0x1.fffffffffffffp971, 0x1p972, 0x1p1000}) {
    if (n < 4) break;
    std::vector<double> v = subnormal(n);
    v[1] = big;
    v[n - 2] = (rng() & 1) ? big : 0x1p-1000;
    out.push_back(v);
  }
  for (const double extra : {0.0, 0x1p-1074, -0x1p-1074, -0x1p-1022}) {
    std::vector<double> v = subnormal(n / 2);
    const size_t k = v.size();
    for (size_t i = 0; i < k; ++i) v.push_back(-v[i]);
    if (v.size() < n) v.push_back(extra);
    std::shuffle(v.begin(), v.end(), rng);
    if (!v.empty()) out.push_back(v);
  }
  std::vector<double> zeros(n);
  for (auto& z : zeros) z = (rng() & 1) ? -0.0 : 0.0;
  out.push_back(zeros);
  out.push_back(std::vector<double>(n, -0.0));
  return out;
}

}  // namespace testutil
