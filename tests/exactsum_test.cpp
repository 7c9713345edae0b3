// The superaccumulator against the GMP oracle and the named extremes.
#include <limits>

#include "algorithms/exactsum.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {
const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
}  // namespace

TEST(ExactSum, NamedExtremes) {
  struct Case {
    std::vector<double> x;
    double expected;
  };
  const Case cases[] = {
      {{0.0, -0.0, -0.0}, 0.0},
      {{-0.0}, 0.0},
      {{1e308, 1e308, -1e308}, 1e308},
      {{kMax, kMax}, kInf},
      {{kMax, kMax, -kMax}, kMax},
      {{1.0, pow2(-53)}, 1.0},
      {{1.0, pow2(-53), pow2(-1074)}, 1.0 + pow2(-52)},
      {{-1.0, -pow2(-53)}, -1.0},
      {{-(1.0 + pow2(-52)), -pow2(-53)}, -(1.0 + pow2(-51))},
      {{pow2(-1074), pow2(-1074)}, pow2(-1073)},
      {{pow2(-1022), -pow2(-1074)}, pow2(-1022) - pow2(-1074)},
      {{kInf, 1.0}, kInf},
      {{kInf, -kMax, -kMax}, kInf},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(SameBits(c.expected, sela_sum_exact(c.x.data(), c.x.size()))) << c.x.size();
  }
  const double both[] = {kInf, -kInf};
  EXPECT_TRUE(std::isnan(sela_sum_exact(both, 2)));
}

TEST(ExactSum, MatchesOracleOnRandomFamilies) {
  std::mt19937_64 rng(20261208);
  for (size_t n : {1u, 2u, 7u, 100u, 2047u, 2048u, 4094u, 4095u, 10000u}) {
    const auto u = testutil::uniform(rng, n);
    ASSERT_TRUE(SameBits(oracle::exactSum(u), sela_sum_exact(u.data(), n))) << n;
    const auto w = testutil::wideRange(rng, n);
    ASSERT_TRUE(SameBits(oracle::exactSum(w), sela_sum_exact(w.data(), n))) << n;
    const auto c = testutil::illConditioned(rng, n, 1e30);
    ASSERT_TRUE(SameBits(oracle::exactSum(c), sela_sum_exact(c.data(), n))) << n;
  }
}

TEST(ExactDot, MatchesOracleAwayFromTheFloor) {
  std::mt19937_64 rng(77);
  for (size_t n : {1u, 3u, 1000u, 2047u, 2048u, 5000u}) {
    const auto x = testutil::wideRange(rng, n, -400, 400);
    const auto y = testutil::wideRange(rng, n, -400, 400);
    ASSERT_TRUE(SameBits(oracle::exactDot(x.data(), y.data(), n), sela_dot_exact(x.data(), y.data(), n))) << n;
  }
}

TEST(ExactDot, FloorAndShortcutTruncation) {
  const double q[] = {pow2(-538), pow2(-538), pow2(-538), pow2(-538)};
  EXPECT_TRUE(SameBits(0.0, sela_dot_exact(q, q, 4)));
  const double tiny[] = {pow2(-1074)}, negTiny[] = {-pow2(-1074)};
  const double oneHalf[] = {1.5}, half[] = {0.5};
  EXPECT_TRUE(SameBits(pow2(-1074), sela_dot_exact(tiny, oneHalf, 1)));
  EXPECT_TRUE(SameBits(-pow2(-1074), sela_dot_exact(negTiny, oneHalf, 1)));
  EXPECT_TRUE(SameBits(-0.0, sela_dot_exact(negTiny, half, 1)));
  const double big[] = {kMax, kMax}, mixed[] = {kMax, -kMax};
  EXPECT_TRUE(SameBits(kInf, sela_dot_exact(big, big, 1)));
  EXPECT_TRUE(SameBits(0.0, sela_dot_exact(big, mixed, 2)));
  const double zero[] = {0.0}, inf[] = {kInf};
  const double r = sela_dot_exact(zero, inf, 1);
  EXPECT_TRUE(std::isnan(r));
  EXPECT_FALSE(std::signbit(r));
}
