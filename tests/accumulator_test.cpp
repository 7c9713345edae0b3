// The caller-owned exact accumulator against sela_sum_exact / sela_dot_exact of the
// concatenation and the GMP oracle: random chunkings, random merge trees, products mixed
// with values, special values, and records that are not accumulators.
#include <cstring>
#include <limits>
#include <numeric>

#include "sela.h"
#include "test_util.h"

using testutil::bits;
using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();

sela_accumulator fresh() {
  sela_accumulator a;
  sela_accumulator_init(&a);
  return a;
}

// Splits [0, n) into chunks of random lengths, some of them around `around`.
std::vector<size_t> randomCuts(std::mt19937_64& rng, size_t n, size_t around) {
  std::vector<size_t> cuts{0};
  while (cuts.back() < n) {
    size_t len;
    switch (rng() % 4) {
      case 0: len = rng() % 17; break;
      case 1: len = around - 2 + rng() % 5; break;
      default: len = rng() % (2 * around + 1); break;
    }
    cuts.push_back(std::min(n, cuts.back() + len));
  }
  return cuts;
}

// One accumulator per chunk, merged in a random binary tree.
double chunkedTreeSum(std::mt19937_64& rng, const std::vector<double>& x, size_t around) {
  const auto cuts = randomCuts(rng, x.size(), around);
  std::vector<sela_accumulator> parts;
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    parts.push_back(fresh());
    EXPECT_EQ(0, sela_accumulator_add(&parts.back(), x.data() + cuts[k], cuts[k + 1] - cuts[k]));
  }
  if (parts.empty()) parts.push_back(fresh());
  while (parts.size() > 1) {
    const size_t i = rng() % (parts.size() - 1);
    EXPECT_EQ(0, sela_accumulator_merge(&parts[i], &parts[i + 1]));
    parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(i) + 1);
  }
  return sela_accumulator_round(&parts[0]);
}

// All chunks added in turn to one accumulator, rounding in between (which must not
// disturb it).
double chunkedStreamSum(std::mt19937_64& rng, const std::vector<double>& x, size_t around) {
  const auto cuts = randomCuts(rng, x.size(), around);
  sela_accumulator a = fresh();
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    EXPECT_EQ(0, sela_accumulator_add(&a, x.data() + cuts[k], cuts[k + 1] - cuts[k]));
    if (rng() % 4 == 0) (void)sela_accumulator_round(&a);
  }
  return sela_accumulator_round(&a);
}

void expectChunkingsAgree(std::mt19937_64& rng, const std::vector<double>& x, const std::string& what) {
  const double whole = sela_sum_exact(x.data(), x.size());
  for (size_t around : {3u, 2047u, 5000u}) {
    EXPECT_TRUE(SameBits(whole, chunkedTreeSum(rng, x, around))) << what << " tree, chunks ~" << around;
    EXPECT_TRUE(SameBits(whole, chunkedStreamSum(rng, x, around))) << what << " stream, chunks ~" << around;
  }
}

}  // namespace

TEST(Accumulator, PartialRoundingsCannotRebuildTheTotal) {
  const double a[] = {1.0, pow2(-53)}, b[] = {pow2(-53)};
  EXPECT_EQ(1.0, sela_sum_exact(a, 2));
  sela_accumulator left = fresh(), right = fresh();
  ASSERT_EQ(0, sela_accumulator_add(&left, a, 2));
  ASSERT_EQ(0, sela_accumulator_add(&right, b, 1));
  EXPECT_EQ(1.0, sela_accumulator_round(&left));
  ASSERT_EQ(0, sela_accumulator_merge(&left, &right));
  EXPECT_TRUE(SameBits(1.0 + pow2(-52), sela_accumulator_round(&left)));
}

TEST(Accumulator, EmptyAndZeroCountReadNothing) {
  sela_accumulator a = fresh();
  EXPECT_TRUE(SameBits(0.0, sela_accumulator_round(&a)));
  EXPECT_EQ(0, sela_accumulator_add(&a, nullptr, 0));
  EXPECT_EQ(0, sela_accumulator_add_products(&a, nullptr, nullptr, 0));
  const double negZeros[] = {-0.0, -0.0};
  EXPECT_EQ(0, sela_accumulator_add(&a, negZeros, 2));
  EXPECT_TRUE(SameBits(0.0, sela_accumulator_round(&a)));
}

TEST(Accumulator, RandomChunkingsMatchTheWholeSum) {
  std::mt19937_64 rng(9001);
  for (size_t n : {1u, 40u, 2046u, 2047u, 2048u, 6000u, 30000u}) {
    const std::string at = " n=" + std::to_string(n);
    auto u = testutil::uniform(rng, n);
    EXPECT_TRUE(SameBits(oracle::exactSum(u), sela_sum_exact(u.data(), n))) << at;
    expectChunkingsAgree(rng, u, "uniform" + at);
    expectChunkingsAgree(rng, testutil::wideRange(rng, n, -1074, 1023), "full range" + at);
    expectChunkingsAgree(rng, testutil::illConditioned(rng, n, 1e40), "cancellation" + at);
    expectChunkingsAgree(rng, testutil::wideRange(rng, n, 1000, 1023), "near overflow" + at);
  }
}

TEST(Accumulator, ProductsAndValuesShareOneRecord) {
  std::mt19937_64 rng(5150);
  for (size_t n : {1u, 255u, 256u, 3000u}) {
    const auto x = testutil::wideRange(rng, n, -600, 500);
    const auto y = testutil::wideRange(rng, n, -600, 500);
    const auto v = testutil::wideRange(rng, n, -1074, 1000);
    sela_accumulator a = fresh();
    ASSERT_EQ(0, sela_accumulator_add_products(&a, x.data(), y.data(), n));
    EXPECT_TRUE(SameBits(sela_dot_exact(x.data(), y.data(), n), sela_accumulator_round(&a))) << n;
    // The oracle of x.y + sum v: the values are products with 1.
    ASSERT_EQ(0, sela_accumulator_add(&a, v.data(), n));
    std::vector<double> xs = x, ys = y;
    xs.insert(xs.end(), v.begin(), v.end());
    ys.insert(ys.end(), n, 1.0);
    EXPECT_TRUE(SameBits(oracle::exactDot(xs.data(), ys.data(), 2 * static_cast<int64_t>(n)),
                         sela_accumulator_round(&a)))
        << n;
  }
}

TEST(Accumulator, MergeWithItselfDoubles) {
  std::mt19937_64 rng(2);
  for (size_t n : {1u, 2047u, 2048u, 10000u}) {
    auto x = testutil::wideRange(rng, n, -1074, 1022);
    sela_accumulator a = fresh();
    ASSERT_EQ(0, sela_accumulator_add(&a, x.data(), n));
    ASSERT_EQ(0, sela_accumulator_merge(&a, &a));
    x.insert(x.end(), x.begin(), x.end());
    EXPECT_TRUE(SameBits(oracle::exactSum(x), sela_accumulator_round(&a))) << n;
  }
  // Many doublings in a row: the headroom bookkeeping must keep up.
  const double one[] = {1.0};
  sela_accumulator a = fresh();
  ASSERT_EQ(0, sela_accumulator_add(&a, one, 1));
  for (int k = 1; k <= 1100; ++k) ASSERT_EQ(0, sela_accumulator_merge(&a, &a));
  EXPECT_TRUE(SameBits(kInf, sela_accumulator_round(&a)));
}

TEST(Accumulator, SpecialValuesFollowTheExactSum) {
  const double nanA = std::bit_cast<double>(0xFFF8000000000009ULL);
  const double nanB = std::bit_cast<double>(0x7FF0000000000003ULL);
  const std::vector<std::vector<double>> chunks[] = {
      {{1.0, kInf}, {-kInf}},
      {{kInf}, {kMax, -kMax, -kMax}},
      {{-kMax, -kMax}, {kInf}},
      {{nanB, 2.0}, {kInf, nanA}, {-kInf}},
      {{kInf}, {kInf}, {2.0}},
  };
  for (const auto& parts : chunks) {
    std::vector<double> whole;
    sela_accumulator a = fresh(), b = fresh();
    for (size_t k = 0; k < parts.size(); ++k) {
      whole.insert(whole.end(), parts[k].begin(), parts[k].end());
      sela_accumulator c = fresh();
      ASSERT_EQ(0, sela_accumulator_add(&c, parts[k].data(), parts[k].size()));
      // a merges left to right, b right to left.
      ASSERT_EQ(0, sela_accumulator_merge(&a, &c));
      sela_accumulator d = fresh();
      const auto& back = parts[parts.size() - 1 - k];
      ASSERT_EQ(0, sela_accumulator_add(&d, back.data(), back.size()));
      ASSERT_EQ(0, sela_accumulator_merge(&b, &d));
    }
    const double expected = sela_sum_exact(whole.data(), whole.size());
    EXPECT_TRUE(SameBits(expected, sela_accumulator_round(&a)));
    EXPECT_TRUE(SameBits(expected, sela_accumulator_round(&b)));
  }
  // A NaN or infinity factor gives the floating-point product, as in sela_dot_exact.
  const double x[] = {0.0, 3.0, -kInf}, y[] = {kInf, 1.0, 2.0};
  for (size_t n = 1; n <= 3; ++n) {
    sela_accumulator a = fresh();
    ASSERT_EQ(0, sela_accumulator_add_products(&a, x, y, n));
    EXPECT_TRUE(SameBits(sela_dot_exact(x, y, n), sela_accumulator_round(&a))) << n;
  }
}

TEST(Accumulator, InvalidRecordsAreRejectedAndLeftAlone) {
  std::mt19937_64 rng(404);
  const double x[] = {1.0, 2.0};
  sela_accumulator good = fresh();
  ASSERT_EQ(0, sela_accumulator_add(&good, x, 2));

  std::vector<sela_accumulator> bad;
  sela_accumulator zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  bad.push_back(zeroed);
  for (int k = 0; k < 20; ++k) {
    sela_accumulator r;
    for (auto& w : r.opaque) w = rng();
    bad.push_back(r);
  }
  sela_accumulator otherVersion = good;
  otherVersion.opaque[0] += 1;
  bad.push_back(otherVersion);
  sela_accumulator countdown = good;
  countdown.opaque[1] = 5000;
  bad.push_back(countdown);
  sela_accumulator negativeCountdown = good;
  negativeCountdown.opaque[1] = ~uint64_t{0};
  bad.push_back(negativeCountdown);

  for (sela_accumulator& r : bad) {
    sela_accumulator before = r;
    EXPECT_EQ(-1, sela_accumulator_add(&r, x, 2));
    EXPECT_EQ(-1, sela_accumulator_add_products(&r, x, x, 2));
    EXPECT_EQ(-1, sela_accumulator_merge(&r, &good));
    EXPECT_EQ(0, std::memcmp(&before, &r, sizeof r));
    sela_accumulator g = good;
    EXPECT_EQ(-1, sela_accumulator_merge(&g, &r));
    EXPECT_EQ(0, std::memcmp(&good, &g, sizeof g));
    EXPECT_TRUE(SameBits(std::bit_cast<double>(0x7FF8000000000000ULL), sela_accumulator_round(&r)));
  }
  EXPECT_EQ(-1, sela_accumulator_add(nullptr, x, 2));
  EXPECT_EQ(-1, sela_accumulator_merge(&good, nullptr));
  EXPECT_TRUE(std::isnan(sela_accumulator_round(nullptr)));
  EXPECT_TRUE(SameBits(3.0, sela_accumulator_round(&good)));
}
