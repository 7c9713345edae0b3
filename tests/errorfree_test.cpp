#include "algorithms/errorfree.h"

#include <limits>

#include "test_util.h"

using namespace sela;
using testutil::pow2;
using testutil::SameBits;

TEST(ErrorFree, TwoSumIsExactAndOrderFree) {
  const SumAndError a = twoSum(1.0, pow2(-60));
  const SumAndError b = twoSum(pow2(-60), 1.0);
  EXPECT_TRUE(SameBits(1.0, a.s));
  EXPECT_TRUE(SameBits(pow2(-60), a.e));
  EXPECT_TRUE(SameBits(a.s, b.s));
  EXPECT_TRUE(SameBits(a.e, b.e));
  const SumAndError z = twoSum(-0.0, -0.0);
  EXPECT_TRUE(SameBits(-0.0, z.s));
  EXPECT_TRUE(SameBits(0.0, z.e));
}

TEST(ErrorFree, TwoSumOverflowGivesNaNError) {
  const SumAndError r = twoSum(pow2(1023), pow2(1023));
  EXPECT_EQ(r.s, std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(r.e));
}

TEST(ErrorFree, TwoSumErrorMatchesOracleOnRandomPairs) {
  std::mt19937_64 rng(11);
  const auto a = testutil::wideRange(rng, 2000, -1074, 1020);
  const auto b = testutil::wideRange(rng, 2000, -1074, 1020);
  for (size_t i = 0; i < a.size(); ++i) {
    const SumAndError r = twoSum(a[i], b[i]);
    const double terms[] = {a[i], b[i], -r.s};
    ASSERT_TRUE(SameBits(oracle::exactSum(terms, 3), r.e + 0.0)) << a[i] << " " << b[i];
  }
}

TEST(ErrorFree, FastTwoSumExactWhenFirstIsLarger) {
  const SumAndError r = fastTwoSum(1.0, pow2(-60));
  EXPECT_TRUE(SameBits(1.0, r.s));
  EXPECT_TRUE(SameBits(pow2(-60), r.e));
}

TEST(ErrorFree, TwoProductError) {
  const double a = 1.0 + pow2(-52);
  const SumAndError r = twoProduct(a, a);
  EXPECT_TRUE(SameBits(1.0 + pow2(-51), r.s));
  EXPECT_TRUE(SameBits(pow2(-104), r.e));
}

TEST(ErrorFree, ClassifyAndFiniteness) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(classify(-0.0), FloatClass::NegativeZero);
  EXPECT_EQ(classify(0.0), FloatClass::Zero);
  EXPECT_EQ(classify(quietNaN()), FloatClass::NaN);
  EXPECT_EQ(classify(-quietNaN()), FloatClass::NaN);
  EXPECT_EQ(classify(inf), FloatClass::Infinity);
  EXPECT_EQ(classify(-inf), FloatClass::NegativeInfinity);
  EXPECT_EQ(classify(pow2(-1074)), FloatClass::Subnormal);
  EXPECT_EQ(classify(-pow2(-1023)), FloatClass::Subnormal);
  EXPECT_EQ(classify(pow2(-1022)), FloatClass::Normal);
  EXPECT_EQ(classify(std::numeric_limits<double>::max()), FloatClass::Normal);
  EXPECT_EQ(static_cast<int>(FloatClass::NegativeInfinity), 6);

  EXPECT_FALSE(isFinite(inf));
  EXPECT_FALSE(isFinite(-inf));
  EXPECT_FALSE(isFinite(quietNaN()));
  EXPECT_FALSE(isFinite(fromBits(0xFFF0000000000001ULL)));  // signalling NaN, sign set
  EXPECT_TRUE(isFinite(-0.0));
  EXPECT_TRUE(isFinite(pow2(-1074)));
  EXPECT_TRUE(isFinite(std::numeric_limits<double>::max()));
}
