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

}  // namespace testutil
