// Data of prescribed condition number (Ogita-Rump-Oishi GenSum style), shared by the
// tests and the benchmarks. Plain C++: no test framework, no part of the library.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace testutil {

// A non-overlapping expansion (Shewchuk's grow-expansion with zero elimination): its
// components, in increasing magnitude, add up exactly to everything added so far while
// nothing overflows. Plain TwoSum arithmetic, independent of the library.
//
// Once the running value leaves the double range (an infinite element, or a TwoSum whose
// sum overflows), TwoSum's error terms are NaN and a NaN never cancels: every later add
// would keep one more NaN component, so a generator fed such data would grow its list,
// and its cost, quadratically. A NaN anywhere makes approx() a NaN for good, so the
// expansion collapses to a single NaN instead: approx() stays a NaN (its payload aside)
// and every finite result is unchanged.
class Expansion {
 public:
  void add(double x) {
    if (poisoned()) return;
    size_t kept = 0;
    bool nan = false;
    for (size_t i = 0; i < parts_.size(); ++i) {
      const double h = parts_[i];
      const double s = x + h;
      const double z = s - x;
      const double e = (x - (s - z)) + (h - z);
      nan = nan || std::isnan(e);
      if (e != 0.0) parts_[kept++] = e;
      x = s;
    }
    parts_.resize(kept);
    if (nan || std::isnan(x)) {
      parts_.assign(1, std::numeric_limits<double>::quiet_NaN());
      return;
    }
    if (x != 0.0) parts_.push_back(x);
  }
  bool poisoned() const { return parts_.size() == 1 && std::isnan(parts_[0]); }
  const std::vector<double>& parts() const { return parts_; }
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

// Heavily cancelling data for running sums: random 53-bit significands at binary
// exponents uniform over [low, high], each signed against the running sum so far, so
// every element takes back part (or all) of what came before and the running sum keeps
// falling back towards zero from up to 2^(high + 1).
inline std::vector<double> cancelling(std::mt19937_64& rng, size_t n, int low = 0, int high = 60) {
  std::uniform_int_distribution<int> e(low, high);
  std::vector<double> x(n);
  double running = 0.0;
  for (auto& v : x) {
    const uint64_t m = (rng() >> 11) | (uint64_t{1} << 52);
    v = std::ldexp(static_cast<double>(m), e(rng) - 52);
    if (running > 0.0 || (running == 0.0 && (rng() & 1) != 0)) v = -v;
    running += v;
  }
  return x;
}

}  // namespace testutil
