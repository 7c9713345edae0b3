// Naive and pairwise sums against reference evaluations written independently (vectors
// of partial results, level by level), on data where their orders give different bits.
#include <limits>

#include "algorithms/naivesum.h"
#include "algorithms/pairwisesum.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

double referenceNaive(const std::vector<double>& v, size_t lo, size_t len) {
  if (len == 0) return 0.0;
  volatile double s = v[lo];  // volatile: one rounding per step, no reordering
  for (size_t i = 1; i < len; ++i) s = s + v[lo + i];
  return s;
}

double referencePairwise(const std::vector<double>& v, size_t lo, size_t len) {
  if (len <= 128) return referenceNaive(v, lo, len);
  const size_t lower = len / 2;
  const double left = referencePairwise(v, lo, lower);
  const double right = referencePairwise(v, lo + lower, len - lower);
  return right + left;
}

// Level by level with fresh vectors: adjacent pairs, odd value carried up.
double referenceIterative(std::vector<double> level) {
  if (level.empty()) return 0.0;
  while (level.size() > 1) {
    std::vector<double> next;
    for (size_t i = 0; i + 1 < level.size(); i += 2) next.push_back(level[i] + level[i + 1]);
    if (level.size() % 2) next.push_back(level.back());
    level.swap(next);
  }
  return level[0];
}

}  // namespace

TEST(PlainSums, SingleElementIsReturnedItself) {
  const double x[] = {-0.0};
  EXPECT_TRUE(SameBits(-0.0, sela_sum_naive(x, 1)));
  EXPECT_TRUE(SameBits(-0.0, sela_sum_pairwise(x, 1)));
  EXPECT_TRUE(SameBits(-0.0, sela_sum_pairwise_iterative(x, 1)));
}

TEST(PlainSums, TiesShowTheOrder) {
  const double x[] = {1.0, pow2(-53), pow2(-53), pow2(-53)};
  EXPECT_TRUE(SameBits(1.0, sela_sum_naive(x, 4)));
  EXPECT_TRUE(SameBits(1.0, sela_sum_pairwise(x, 4)));
  EXPECT_TRUE(SameBits(1.0 + pow2(-52), sela_sum_pairwise_iterative(x, 4)));
}

TEST(PlainSums, OddLevelsCarryTheLastValueUp) {
  // n = 5: ((x0 + x1) + (x2 + x3)) + x4.
  const double x[] = {1.0, pow2(-53), pow2(-53), pow2(-53), pow2(-53)};
  const double expected = (x[0] + x[1]) + (x[2] + x[3]) + x[4];
  EXPECT_TRUE(SameBits(expected, sela_sum_pairwise_iterative(x, 5)));
  const double y[] = {1e16, 1.0, -1e16};
  EXPECT_TRUE(SameBits((y[0] + y[1]) + y[2], sela_sum_naive(y, 3)));
  EXPECT_TRUE(SameBits((y[0] + y[1]) + y[2], sela_sum_pairwise(y, 3)));
  EXPECT_TRUE(SameBits((y[0] + y[1]) + y[2], sela_sum_pairwise_iterative(y, 3)));
}

TEST(PlainSums, PairwiseSplitsAt128) {
  std::mt19937_64 rng(5);
  for (size_t n : {127u, 128u, 129u, 255u, 256u, 257u, 1000u, 4097u}) {
    const auto v = testutil::uniform(rng, n);
    const double naive = referenceNaive(v, 0, n);
    if (n <= 128) {
      ASSERT_TRUE(SameBits(naive, sela_sum_pairwise(v.data(), n))) << n;
    }
    ASSERT_TRUE(SameBits(referencePairwise(v, 0, n), sela_sum_pairwise(v.data(), n))) << n;
    ASSERT_TRUE(SameBits(naive, sela_sum_naive(v.data(), n))) << n;
    ASSERT_TRUE(SameBits(referenceIterative(v), sela_sum_pairwise_iterative(v.data(), n))) << n;
  }
  // n = 129: the first 64 naively, plus the last 65 naively, added as right + left.
  const auto v = testutil::uniform(rng, 129);
  const double left = referenceNaive(v, 0, 64);
  const double right = referenceNaive(v, 64, 65);
  EXPECT_TRUE(SameBits(right + left, sela_sum_pairwise(v.data(), 129)));
}

TEST(PlainSums, OrdersDifferOnLargeInputs) {
  // The three orders are distinct algorithms: on wide-range data they must disagree
  // somewhere, or one is secretly another.
  std::mt19937_64 rng(9);
  const auto v = testutil::wideRange(rng, 100000, -40, 40);
  const double a = sela_sum_naive(v.data(), v.size());
  const double b = sela_sum_pairwise(v.data(), v.size());
  const double c = sela_sum_pairwise_iterative(v.data(), v.size());
  EXPECT_NE(testutil::bits(a), testutil::bits(b));
  EXPECT_NE(testutil::bits(b), testutil::bits(c));
  EXPECT_TRUE(SameBits(referencePairwise(v, 0, v.size()), b));
  EXPECT_TRUE(SameBits(referenceIterative(v), c));
}

TEST(PlainSums, SpecialValuesPropagate) {
  const double inf = std::numeric_limits<double>::infinity();
  const double both[] = {1.0, inf, -inf};
  const double nan[] = {1.0, std::nan(""), 2.0};
  const double over[] = {1e308, 1e308, -1e308};
  for (auto f : {sela_sum_naive, sela_sum_pairwise, sela_sum_pairwise_iterative}) {
    EXPECT_TRUE(std::isnan(f(both, 3)));
    EXPECT_TRUE(std::isnan(f(nan, 3)));
  }
  EXPECT_EQ(inf, sela_sum_naive(over, 3));
  EXPECT_EQ(inf, sela_sum_pairwise_iterative(over, 3));
}
