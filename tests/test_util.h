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

#include "oracle.h"

namespace testutil {

inline uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

// Bit-for-bit comparison that prints both values in hex float on failure.
inline ::testing::AssertionResult SameBits(double expected, double actual) {
  if (bits(expected) == bits(actual)) return ::testing::AssertionSuccess();
  char buf[128];
  std::snprintf(buf, sizeof buf, "expected %a (0x%016llx), got %a (0x%016llx)", expected,
                static_cast<unsigned long long>(bits(expected)), actual,
                static_cast<unsigned long long>(bits(actual)));
  return ::testing::AssertionFailure() << buf;
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

// A non-overlapping expansion (Shewchuk's grow-expansion with zero elimination): its
// components, in increasing magnitude, add up exactly to everything added so far while
// nothing overflows. Plain TwoSum arithmetic, independent of the library.
class Expansion {
 public:
  void add(double x) {
    size_t kept = 0;
    for (size_t i = 0; i < parts_.size(); ++i) {
      const double h = parts_[i];
      const double s = x + h;
      const double z = s - x;
      const double e = (x - (s - z)) + (h - z);
      if (e != 0.0) parts_[kept++] = e;
      x = s;
    }
    parts_.resize(kept);
    if (x != 0.0) parts_.push_back(x);
  }
  // Within a few units in the last place of the exact value.
  double approx() const {
    double s = 0.0;
    for (double h : parts_) s += h;
    return s;
  }

 private:
  std::vector<double> parts_;
};

// Data whose sum has a prescribed condition number sum|x| / |sum x| (Ogita-Rump-Oishi
// GenSum style), n >= 2. The first half gets random significands and exponents spread
// over [low, low + b], both ends included; each value of the second half is a random value
// of an exponent falling linearly from low + b to low, minus the (nearly exact) sum so
// far, so the running sum shrinks step by step to about 2^low while the magnitudes stay
// near 2^(low + b). b is corrected until the achieved condition lies within a factor 4
// of `cond` (achievable from about 10 * n up to the double range). Shuffled. Check the
// achieved condition with conditionOf.
inline std::vector<double> genSum(std::mt19937_64& rng, size_t n, double cond, int low = 0) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_real_distribution<double> lastSignificand(0.5, 1.0);
  const size_t half = n / 2;
  int b = std::max(1, static_cast<int>(std::lround(std::log2(cond / static_cast<double>(n)))) + 4);
  std::vector<double> x(n);
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::uniform_int_distribution<int> spread(0, b);
    Expansion running;
    for (size_t i = 0; i < half; ++i) {
      const int e = i == 0 ? b : (i + 1 == half ? 0 : spread(rng));
      x[i] = std::ldexp(u(rng), low + e);
      running.add(x[i]);
    }
    const size_t rest = n - half;
    for (size_t i = half; i < n; ++i) {
      const size_t k = i - half;  // 0 .. rest-1
      const int e = rest <= 1 ? 0 : static_cast<int>(std::lround(static_cast<double>(b) * static_cast<double>(rest - 1 - k) /
                                                                  static_cast<double>(rest - 1)));
      const double target = i + 1 == n ? std::copysign(lastSignificand(rng), u(rng)) : u(rng);
      x[i] = std::ldexp(target, low + e) - running.approx();
      running.add(x[i]);
    }
    double magnitudes = 0.0;
    for (double v : x) magnitudes += std::fabs(v);
    const double achieved = magnitudes / std::fabs(running.approx());
    const double ratio = achieved / cond;
    if (ratio > 0.25 && ratio < 4.0) break;
    b = std::max(1, b - static_cast<int>(std::lround(std::log2(ratio))));
  }
  std::shuffle(x.begin(), x.end(), rng);
  return x;
}

// The condition number sum|x| / |sum x| from the exact oracle (each sum rounded once).
inline double conditionOf(const std::vector<double>& x) {
  std::vector<double> a(x.size());
  for (size_t i = 0; i < x.size(); ++i) a[i] = std::fabs(x[i]);
  return oracle::exactSum(a) / std::fabs(oracle::exactSum(x));
}

}  // namespace testutil
