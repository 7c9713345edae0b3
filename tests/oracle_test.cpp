// The test helpers that generate data against the GMP oracle: the expansion behind genSum
// stays exact (its components add up to the inputs' exact sum) until the running value
// leaves the double range, and then holds one NaN instead of a growing list; the running
// exact dot product behind genDot agrees with exactDot on every prefix.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "gensum.h"
#include "oracle.h"
#include "test_util.h"

using testutil::SameBits;

namespace {

// Random significands over a wide range of exponents, some zeros and subnormals, and
// values that cancel what came before.
std::vector<double> mixed(std::mt19937_64& rng, size_t n, int lowExp, int highExp) {
  std::uniform_int_distribution<int> e(lowExp, highExp);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> x(n);
  for (size_t i = 0; i < n; ++i) {
    const int kind = static_cast<int>(rng() % 8);
    if (kind == 0) {
      x[i] = 0.0;
    } else if (kind == 1) {
      x[i] = std::ldexp(u(rng), -1060);  // subnormal
    } else if (kind == 2 && i > 0) {
      x[i] = -x[i - 1];
    } else {
      x[i] = std::ldexp(u(rng), e(rng));
    }
  }
  return x;
}

}  // namespace

TEST(TestOracles, ExpansionIsExactUntilItLeavesTheRange) {
  std::mt19937_64 rng(5150);
  for (auto [lowExp, highExp] : {std::pair{-60, 60}, std::pair{-1000, 1000}, std::pair{-1074, -1000}}) {
    const std::vector<double> x = mixed(rng, 3000, lowExp, highExp);
    testutil::Expansion e;
    for (size_t i = 0; i < x.size(); ++i) {
      e.add(x[i]);
      if (i % 97 != 0 && i + 1 != x.size()) continue;
      const std::vector<double>& parts = e.parts();
      ASSERT_TRUE(SameBits(oracle::exactSum(x.data(), static_cast<int64_t>(i + 1)), oracle::exactSum(parts)))
          << lowExp << " " << i;
    }
  }
  // Leaving the range: an overflowing sum of finite values, an infinity, a NaN. The list
  // holds a single NaN from then on, however much more is added.
  const double big = std::numeric_limits<double>::max();
  for (double breaker : {big, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    testutil::Expansion e;
    e.add(big);
    e.add(breaker);
    for (int i = 0; i < 1000; ++i) e.add(std::ldexp(1.0 + i, i % 200));
    EXPECT_TRUE(e.poisoned()) << breaker;
    EXPECT_TRUE(std::isnan(e.approx())) << breaker;
  }
}

TEST(TestOracles, RunningDotAgreesWithExactDotOnEveryPrefix) {
  std::mt19937_64 rng(6061);
  for (auto [lowExp, highExp] : {std::pair{-30, 30}, std::pair{-500, 500}, std::pair{-540, -500}}) {
    const std::vector<double> x = mixed(rng, 400, lowExp, highExp);
    const std::vector<double> y = mixed(rng, 400, lowExp, highExp);
    oracle::RunningDot running;
    EXPECT_TRUE(SameBits(0.0, running.value()));
    for (size_t i = 0; i < x.size(); ++i) {
      running.add(x[i], y[i]);
      ASSERT_TRUE(SameBits(oracle::exactDot(x.data(), y.data(), static_cast<int64_t>(i + 1)), running.value()))
          << lowExp << " " << i;
    }
  }
}
