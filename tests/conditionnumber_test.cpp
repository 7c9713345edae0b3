// The condition number of a sum: its special results, the named cases, and its accuracy
// against the oracle's exact condition number within the error bound of its two sums.
#include <limits>

#include "sela.h"
#include "test_util.h"

using testutil::SameBits;

namespace {
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double cond(const std::vector<double>& x) { return sela_condition_number(x.data(), x.size()); }
}  // namespace

TEST(ConditionNumber, NamedCases) {
  EXPECT_TRUE(SameBits(0.0, sela_condition_number(nullptr, 0)));
  EXPECT_TRUE(SameBits(1.0, cond({1.0, 2.0, 3.0})));
  EXPECT_TRUE(SameBits(1.0, cond({-7.25})));
  EXPECT_TRUE(SameBits(1.0, cond({-1.0, -2.0, -1e-300})));
  EXPECT_TRUE(SameBits(2.0000000001e10, cond({1.0, -1.0, 1e-10})));
  EXPECT_TRUE(SameBits(1e100, cond({1.0, 1e100, 1.0, -1e100})));
}

TEST(ConditionNumber, SpecialResults) {
  // A zero sum, including all zeros and a single zero of either sign: +inf, not NaN.
  EXPECT_TRUE(SameBits(kInf, cond({0.0})));
  EXPECT_TRUE(SameBits(kInf, cond({-0.0})));
  EXPECT_TRUE(SameBits(kInf, cond({0.0, 0.0})));
  EXPECT_TRUE(SameBits(kInf, cond({1.0, -1.0})));
  EXPECT_TRUE(SameBits(kInf, cond({1e16, 1.0, -1e16, -1.0})));
  // Magnitudes overflowing although the sum is finite.
  EXPECT_TRUE(SameBits(kInf, cond({1e308, 1e308, -1e308})));
  // Infinities: the sum of magnitudes is +inf, the compensated sum is never formed.
  EXPECT_TRUE(SameBits(kInf, cond({kInf, 1.0})));
  EXPECT_TRUE(SameBits(kInf, cond({-kInf})));
  EXPECT_TRUE(SameBits(kInf, cond({kInf, -kInf})));
  // A NaN anywhere.
  EXPECT_TRUE(std::isnan(cond({kNaN, 1.0})));
  EXPECT_TRUE(std::isnan(cond({kNaN, kInf})));
  EXPECT_TRUE(std::isnan(cond({1.0, 2.0, -kNaN})));
  EXPECT_TRUE(std::isnan(cond({kNaN})));
}

// The magnitudes' left-to-right sum has relative error at most (n-1)u, and Neumaier's sum
// has |S~ - S| <= u|S| + 2((n-1)u)^2 A. So the quotient is within about
// (n+1)u + 2((n-1)u)^2 cond of the exact condition number (factor 1.1 for the O(u^2)
// terms and the oracle's own three roundings).
TEST(ConditionNumber, WithinTheErrorBoundOfItsTwoSums) {
  std::mt19937_64 rng(8);
  const double u = 0x1p-53;
  for (size_t n : {10u, 100u, 2000u}) {
    const double nu = static_cast<double>(n - 1) * u;
    std::vector<std::vector<double>> sets = {testutil::uniform(rng, n), testutil::wideRange(rng, n, -200, 200)};
    for (double c : {1e3, 1e8, 1e12, 1e15}) {
      if (c >= 10.0 * static_cast<double>(n)) sets.push_back(testutil::genSum(rng, n, c));
    }
    for (const auto& x : sets) {
      const double exact = testutil::conditionOf(x);
      const double got = cond(x);
      const double bound = 1.1 * (static_cast<double>(n + 4) * u + 2 * nu * nu * exact);
      ASSERT_LE(std::fabs(got / exact - 1.0), bound) << n << " cond " << exact;
    }
  }
}

namespace {

// The condition number step by step, in two separate passes: the magnitudes left to right
// from 0.0, then Neumaier's sum in its guarded form (TwoSum of the running sum and the
// element while both are finite, a plain addition otherwise), then the quotient, with +inf
// for an infinite sum of magnitudes, a zero sum, or a sum rounded beyond the range.
double modelCondition(const std::vector<double>& x) {
  double a = 0.0;
  for (double v : x) a = a + std::fabs(v);
  if (a == kInf) return kInf;
  double s = x[0];
  double c = 0.0;
  for (size_t i = 1; i < x.size(); ++i) {
    const double v = x[i];
    if (std::isfinite(s) && std::isfinite(v)) {
      const double t = s + v;
      const double z = t - s;
      c = c + ((s - (t - z)) + (v - z));
      s = t;
    } else {
      s = s + v;
    }
  }
  const double sum = std::isfinite(s) ? s + c : s;
  if (sum == 0.0 || std::isinf(sum)) return kInf;
  return a / std::fabs(sum);
}

}  // namespace

TEST(ConditionNumber, SumRoundingBeyondTheRangeIsInfinite) {
  const double big = std::numeric_limits<double>::max();
  // The magnitudes stay at DBL_MAX; the compensated sum DBL_MAX + 2^970 rounds to +inf.
  EXPECT_TRUE(SameBits(kInf, cond({big, std::ldexp(1.0, 969), std::ldexp(1.0, 969)})));
  EXPECT_TRUE(SameBits(kInf, cond({-big, -std::ldexp(1.0, 969), -std::ldexp(1.0, 969)})));
  // Just inside the range: the ordinary quotient.
  EXPECT_TRUE(SameBits(1.0, cond({big, std::ldexp(1.0, 969)})));
}

// The one-sweep arrangement against the two-pass model, bit for bit, around its pairing
// (odd and even lengths) on plain, wide, cancelling and special-value data.
TEST(ConditionNumber, OneSweepMatchesTwoPassModel) {
  std::mt19937_64 rng(1212);
  const double big = std::numeric_limits<double>::max();
  for (size_t n : {1u, 2u, 3u, 4u, 5u, 16u, 17u, 1000u, 1001u}) {
    std::vector<std::vector<double>> sets = {testutil::uniform(rng, n), testutil::wideRange(rng, n, -1074, 1023),
                                             testutil::wideRange(rng, n, 1000, 1023)};
    if (n >= 10) sets.push_back(testutil::genSum(rng, n, 1e25));
    auto zeros = std::vector<double>(n, -0.0);
    sets.push_back(zeros);
    auto edge = testutil::uniform(rng, n);
    edge[0] = big;
    sets.push_back(edge);
    for (const auto& x : sets) {
      ASSERT_TRUE(SameBits(modelCondition(x), cond(x))) << n;
      for (double special : {kInf, -kInf}) {
        auto y = x;
        y[rng() % n] = special;
        ASSERT_TRUE(SameBits(modelCondition(y), cond(y))) << n;
      }
      auto y = x;
      y[rng() % n] = kNaN;
      ASSERT_TRUE(std::isnan(cond(y))) << n;
    }
  }
}
