// The scalar dot products: the named cases, the GMP oracle, the published error bounds
// of Dot2 and DotK on dot products of prescribed condition number, and agreement between
// the fixed-K and run-time-K cascades.
#include <limits>

#include "algorithms/dotproduct.h"
#include "dot_test_data.h"
#include "test_util.h"

using namespace sela;
using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

int64_t len(const std::vector<double>& v) { return static_cast<int64_t>(v.size()); }

double naiveOf(const std::vector<double>& x, const std::vector<double>& y) {
  return naiveDot(x.data(), len(x), y.data(), len(y));
}
double dot2Of(const std::vector<double>& x, const std::vector<double>& y) {
  return dot2(x.data(), len(x), y.data(), len(y));
}
double dotKOf(const std::vector<double>& x, const std::vector<double>& y, int64_t k) {
  return dotK(x.data(), len(x), y.data(), len(y), k);
}

// Every K that the dispatch code or the exports can reach through dotK.
const int64_t kCascadeOrders[] = {2, 3, 4, 5, 8, 17};

}  // namespace

TEST(ScalarDot, EmptyInputsGiveZeroWithoutReading) {
  EXPECT_TRUE(SameBits(0.0, naiveDot(nullptr, 0, nullptr, 0)));
  EXPECT_TRUE(SameBits(0.0, dot2(nullptr, 0, nullptr, 0)));
  for (int64_t k : {-3, 0, 1, 2, 3, 4, 100}) EXPECT_TRUE(SameBits(0.0, dotK(nullptr, 0, nullptr, 0, k))) << k;
}

TEST(ScalarDot, NaiveRoundsEveryProductThenAdds) {
  // A fused multiply-add would keep the low part of 1 + 2^-52 times 1 - 2^-53.
  const std::vector<double> x = {1.0, 1.0 + pow2(-52)}, y = {-1.0, 1.0 - pow2(-53)};
  EXPECT_TRUE(SameBits(0.0, naiveOf(x, y)));
  // Strict index order: (1e16 + 1) - 1e16 loses the 1.
  EXPECT_TRUE(SameBits(0.0, naiveOf({1e16, 1.0, -1e16}, {1.0, 1.0, 1.0})));
  EXPECT_TRUE(SameBits(-pow2(53), naiveOf({pow2(160), pow2(53), 1.0, -pow2(160), -pow2(53)}, {1, 1, 1, 1, 1})));
}

TEST(ScalarDot, SingleProductIsTheRoundedProduct) {
  std::mt19937_64 rng(3);
  for (int t = 0; t < 200; ++t) {
    const auto x = testutil::wideRange(rng, 1, -500, 500);
    const auto y = testutil::wideRange(rng, 1, -500, 500);
    const double p = x[0] * y[0];
    EXPECT_TRUE(SameBits(p, dot2Of(x, y)));
    for (int64_t k : kCascadeOrders) EXPECT_TRUE(SameBits(p, dotKOf(x, y, k))) << k;
  }
}

TEST(ScalarDot, OrdersBelowTwoAreTheNaiveDot) {
  std::mt19937_64 rng(5);
  const auto x = testutil::illConditioned(rng, 200, 1e20);
  const auto y = testutil::uniform(rng, 200);
  const double naive = naiveOf(x, y);
  for (int64_t k : {int64_t{1}, int64_t{0}, int64_t{-2}, int64_t{-5}, int64_t{INT32_MIN}}) EXPECT_TRUE(SameBits(naive, dotKOf(x, y, k))) << k;
}

TEST(ScalarDot, CompensationRecoversWhatNaiveLoses) {
  const std::vector<double> ones = {1, 1, 1, 1, 1};
  EXPECT_TRUE(SameBits(1.0, dot2Of({1e16, 1.0, -1e16}, {1, 1, 1})));
  for (int64_t k : kCascadeOrders) EXPECT_TRUE(SameBits(1.0, dotKOf({1e16, 1.0, -1e16}, {1, 1, 1}, k))) << k;
  // Dot2's single compensation receives 2^53 and then 1, and 2^53 + 1 rounds to 2^53;
  // from K = 3 on, the 1 moves on to the next level and survives.
  const std::vector<double> x = {pow2(160), pow2(53), 1.0, -pow2(160), -pow2(53)};
  EXPECT_TRUE(SameBits(0.0, dot2Of(x, ones)));
  EXPECT_TRUE(SameBits(0.0, dotKOf(x, ones, 2)));
  for (int64_t k : {3, 4, 5, 8}) EXPECT_TRUE(SameBits(1.0, dotKOf(x, ones, k))) << k;
}

TEST(ScalarDot, OverflowFallsBackToNaiveOrExact) {
  // The running sum overflows at the second element; the naive sum is +inf, not NaN.
  const std::vector<double> a = {1e308, 1e308, -1e308}, ones = {1, 1, 1};
  EXPECT_TRUE(SameBits(kInf, naiveOf(a, ones)));
  EXPECT_TRUE(SameBits(kInf, dot2Of(a, ones)));
  for (int64_t k : kCascadeOrders) EXPECT_TRUE(SameBits(kInf, dotKOf(a, ones, k))) << k;
  // The first product overflows; inf - inf is NaN from finite data, so the exact result.
  const std::vector<double> b = {1e308, -1e308}, tens = {10.0, 10.0};
  EXPECT_TRUE(SameBits(0.0, naiveOf(b, tens)));
  EXPECT_TRUE(SameBits(0.0, dot2Of(b, tens)));
  for (int64_t k : kCascadeOrders) EXPECT_TRUE(SameBits(0.0, dotKOf(b, tens, k))) << k;
  // Overflow late in a long input: the exact fallback sees every element.
  std::vector<double> c(50, 0.5), d(50, 3.0);
  c[40] = 1e308;
  c[41] = -1e308;
  d[40] = d[41] = 4.0;
  EXPECT_TRUE(SameBits(72.0, naiveOf(c, d)));
  EXPECT_TRUE(SameBits(72.0, dot2Of(c, d)));
  for (int64_t k : kCascadeOrders) EXPECT_TRUE(SameBits(72.0, dotKOf(c, d, k))) << k;
  // A product error that is not finite cannot arise; an overflowing cascade level can
  // only come from an overflowing running sum, which falls back first.
}

TEST(ScalarDot, NonFiniteDataGivesTheNaiveResult) {
  std::mt19937_64 rng(11);
  for (double special : {kNaN, kInf, -kInf}) {
    for (size_t pos : {0u, 1u, 17u, 39u}) {
      auto x = testutil::uniform(rng, 40);
      auto y = testutil::uniform(rng, 40);
      (pos % 2 ? y : x)[pos] = special;
      const double naive = naiveOf(x, y);
      // Never the exact fallback: a non-finite element is the answer.
      EXPECT_EQ(std::isnan(special), std::isnan(naive));
      EXPECT_TRUE(SameBits(naive, dot2Of(x, y))) << pos;
      for (int64_t k : kCascadeOrders) EXPECT_TRUE(SameBits(naive, dotKOf(x, y, k))) << pos << " K=" << k;
    }
  }
  // inf * 0 is NaN with an infinity in the data: the NaN stays.
  EXPECT_TRUE(std::isnan(naiveOf({kInf, 1.0}, {0.0, 1.0})));
  // +inf and the finite products 1e309 - 1e309: the exact dot product would be +inf,
  // but a non-finite element keeps the naive NaN.
  EXPECT_TRUE(std::isnan(naiveOf({kInf, 1e308, 1e308}, {1.0, 10.0, -10.0})));
}

TEST(ScalarDot, CascadeOfOrderTwoIsDot2) {
  std::mt19937_64 rng(13);
  for (size_t n : {2u, 3u, 10u, 100u, 300u}) {
    for (double cond : {1e3, 1e12, 1e25}) {
      const auto c = dotdata::genDot(rng, std::max<size_t>(n, 4), cond);
      ASSERT_TRUE(SameBits(dot2Of(c.x, c.y), dotKOf(c.x, c.y, 2))) << n << " " << cond;
    }
    const auto x = testutil::wideRange(rng, n, -300, 300);
    const auto y = testutil::wideRange(rng, n, -300, 300);
    ASSERT_TRUE(SameBits(dot2Of(x, y), dotKOf(x, y, 2))) << n;
  }
}

// The one place where the cascade and dot2 differ: dot2 starts its compensation with the
// first product's error, the cascade adds that error to its +0.0 level. A negative
// product that underflows to -0.0 has the error -0.0, and -0.0 + +0.0 is +0.0.
TEST(ScalarDot, CascadeStartsFromPositiveZeroLevels) {
  const std::vector<double> x = {-pow2(-600)}, y = {pow2(-600)};
  EXPECT_TRUE(SameBits(-0.0, dot2Of(x, y)));
  EXPECT_TRUE(SameBits(0.0, dotKOf(x, y, 2)));
  EXPECT_TRUE(SameBits(0.0, dotKOf(x, y, 3)));
}

// Scratch levels are released also on the fallback paths (LeakSanitizer and ASan check
// this in the sanitizer build; the values are checked here).
TEST(ScalarDot, RunTimeCascadeFallbacksReleaseTheirLevels) {
  const std::vector<double> x = {1.0, 2.0, kNaN, 4.0}, y = {1.0, 1.0, 1.0, 1.0};
  const std::vector<double> ov = {1e308, -1e308, 1.0}, tens = {10.0, 10.0, 1.0};
  for (int64_t k : {4, 5, 64}) {
    EXPECT_TRUE(std::isnan(dotKCascadeRT(x.data(), 4, y.data(), 4, k)));
    EXPECT_TRUE(SameBits(1.0, dotKCascadeRT(ov.data(), 3, tens.data(), 3, k)));
  }
}

TEST(ScalarDot, AgreesWithTheOracleOnWellScaledData) {
  std::mt19937_64 rng(19);
  for (size_t n : {1u, 7u, 100u, 2000u}) {
    const auto x = testutil::wideRange(rng, n, -300, 300);
    const auto y = testutil::wideRange(rng, n, -300, 300);
    const double exact = oracle::exactDot(x.data(), y.data(), len(x));
    // Random wide-range data is dominated by its largest products: already Dot2 has
    // error far below half an ulp of the result, and so is correctly rounded in practice;
    // the orders above it must agree with it.
    EXPECT_TRUE(SameBits(exact, dot2Of(x, y))) << n;
    for (int64_t k : kCascadeOrders) EXPECT_TRUE(SameBits(exact, dotKOf(x, y, k))) << n << " K=" << k;
  }
}

// Dot2 is as accurate as the dot product computed in twice the working precision and
// rounded: |r - x.y| <= eps |x.y| + gamma_n^2 sum|x_i y_i| (Ogita, Rump, Oishi 2005), while
// the naive loop's bound is gamma_n sum|x_i y_i|.
TEST(ScalarDot, Dot2MeetsItsErrorBoundAtPrescribedCondition) {
  std::mt19937_64 rng(23);
  int naiveFailures = 0;
  for (size_t n : {10u, 100u, 400u}) {
    for (double cond : {1e5, 1e10, 1e16, 1e20, 1e25, 1e28}) {
      const auto c = dotdata::genDot(rng, n, cond);
      ASSERT_GT(c.condition, cond * 1e-3);  // the generator delivered real cancellation
      const double g = dotdata::gamma(static_cast<double>(n));
      const double bound = dotdata::kEps * std::fabs(c.exact) + g * g * c.absSum;
      EXPECT_LE(dotdata::absError(dot2Of(c.x, c.y), c.exact), bound) << n << " cond " << c.condition;
      if (dotdata::absError(naiveOf(c.x, c.y), c.exact) > bound) ++naiveFailures;
    }
  }
  EXPECT_GT(naiveFailures, 6);  // the data is hard: the plain loop misses the bound
}

// DotK: |r - x.y| <= (eps + 3 gamma_{n-1}^2) |x.y| + gamma_{2n}^K sum|x_i y_i|, so each
// further level buys another factor of about n eps; large enough K is faithful.
TEST(ScalarDot, DotKApproachesTheExactResultAsKGrows) {
  std::mt19937_64 rng(29);
  for (size_t n : {20u, 200u}) {
    for (double cond : {1e20, 1e40, 1e60, 1e80}) {
      const auto c = dotdata::genDot(rng, n, cond);
      const double nd = static_cast<double>(n);
      const double g1 = dotdata::gamma(nd - 1);
      const double g2 = dotdata::gamma(2 * nd);
      for (int64_t k = 2; k <= 9; ++k) {
        const double bound = (dotdata::kEps + 3 * g1 * g1) * std::fabs(c.exact) + std::pow(g2, static_cast<double>(k)) * c.absSum;
        EXPECT_LE(dotdata::absError(dotKOf(c.x, c.y, k), c.exact), bound)
            << "n " << n << " cond " << c.condition << " K " << k;
      }
      // At K = 9 the second term is negligible for every case here: within an ulp.
      const double r = dotKOf(c.x, c.y, 9);
      EXPECT_LE(dotdata::absError(r, c.exact), std::fabs(std::nextafter(c.exact, kInf) - c.exact));
    }
  }
}
