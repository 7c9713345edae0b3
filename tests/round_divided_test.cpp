// sela_accumulator_round_divided against the GMP quotient rounded once: random, wide,
// cancelling and beyond-range registers, products, ties, and counts up to 2^64 - 1.
#include <cmath>
#include <cstring>
#include <limits>

#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();

const uint64_t kCounts[] = {1,
                            2,
                            3,
                            7,
                            (1ULL << 32) - 1,
                            (1ULL << 32) + 1,
                            (1ULL << 53) + 1,
                            std::numeric_limits<uint64_t>::max()};

sela_accumulator filled(const std::vector<double>& x) {
  sela_accumulator a;
  sela_accumulator_init(&a);
  EXPECT_EQ(0, sela_accumulator_add(&a, x.data(), x.size()));
  return a;
}

// Every count of the list and a few random ones, against the oracle; the record must not
// change.
void expectQuotients(std::mt19937_64& rng, const sela_accumulator& a, const std::vector<double>& x,
                     int doublings, const std::string& what) {
  std::vector<uint64_t> counts(std::begin(kCounts), std::end(kCounts));
  for (int k = 0; k < 4; ++k) counts.push_back(rng() >> (rng() % 64));
  for (uint64_t c : counts) {
    if (c == 0) continue;
    sela_accumulator before;
    std::memcpy(&before, &a, sizeof a);
    const double got = sela_accumulator_round_divided(&a, c);
    EXPECT_TRUE(SameBits(oracle::exactSumDivided(x.data(), static_cast<int64_t>(x.size()), doublings, c), got))
        << what << " count " << c;
    EXPECT_EQ(0, std::memcmp(&before, &a, sizeof a)) << what;
  }
}

}  // namespace

TEST(RoundDivided, RandomWideAndCancellingRegisters) {
  std::mt19937_64 rng(2020);
  for (size_t n : {1u, 3u, 100u, 2048u, 9000u}) {
    const std::string at = " n=" + std::to_string(n);
    const std::vector<std::pair<std::string, std::vector<double>>> sets = {
        {"uniform", testutil::uniform(rng, n)},
        {"full range", testutil::wideRange(rng, n, -1074, 1023)},
        {"subnormal", testutil::wideRange(rng, n, -1074, -1023)},
        {"cancelling", testutil::illConditioned(rng, n, 1e60)},
    };
    for (const auto& [name, x] : sets) {
      const sela_accumulator a = filled(x);
      expectQuotients(rng, a, x, 0, name + at);
      // Count 1 is the rounding of the value itself.
      EXPECT_TRUE(SameBits(sela_sum_exact(x.data(), n), sela_accumulator_round_divided(&a, 1))) << name << at;
    }
  }
}

TEST(RoundDivided, SumsBeyondTheRange) {
  // The mean of three DBL_MAX, and of DBL_MAX with values that cancel far above the range.
  const std::vector<double> three = {kMax, kMax, kMax};
  sela_accumulator a = filled(three);
  EXPECT_TRUE(SameBits(kInf, sela_accumulator_round(&a)));
  EXPECT_TRUE(SameBits(kMax, sela_accumulator_round_divided(&a, 3)));
  EXPECT_TRUE(SameBits(kInf, sela_accumulator_round_divided(&a, 2)));
  const std::vector<double> negative = {-kMax, -kMax, -kMax, -kMax};
  a = filled(negative);
  EXPECT_TRUE(SameBits(-kMax, sela_accumulator_round_divided(&a, 4)));
  EXPECT_TRUE(SameBits(-kMax / 2, sela_accumulator_round_divided(&a, 8)));

  std::mt19937_64 rng(77);
  for (size_t n : {5u, 3000u}) {
    auto x = testutil::wideRange(rng, n, 1010, 1023);
    for (auto& v : x) v = std::fabs(v);
    x.push_back(-x[0]);
    expectQuotients(rng, filled(x), x, 0, "near DBL_MAX n=" + std::to_string(n));
  }
}

TEST(RoundDivided, RegistersDoubledFarBeyondTheRange) {
  // Merging a record with itself doubles its value: registers up to about 2^3050, far
  // beyond what any count brings back into the range, and within a few doublings of the
  // register's top.
  std::mt19937_64 rng(31);
  struct Case {
    std::vector<double> x;
    int doublings;
  };
  std::vector<Case> cases = {
      {{1.0}, 3000},
      {{-1.0, pow2(-60)}, 3050},
      {testutil::wideRange(rng, 50, -40, 40), 3000},
      {testutil::wideRange(rng, 50, 900, 1023), 1500},
      {testutil::wideRange(rng, 500, -1074, -1000), 1100},
      {{kMax, kMax}, 60},
  };
  for (const auto& c : cases) {
    sela_accumulator a = filled(c.x);
    for (int k = 0; k < c.doublings; ++k) ASSERT_EQ(0, sela_accumulator_merge(&a, &a));
    expectQuotients(rng, a, c.x, c.doublings, "doubled " + std::to_string(c.doublings) + " times");
  }
  // A count of 2^k undoes k doublings exactly.
  sela_accumulator a = filled({3.0});
  for (int k = 0; k < 63; ++k) ASSERT_EQ(0, sela_accumulator_merge(&a, &a));
  EXPECT_TRUE(SameBits(3.0, sela_accumulator_round_divided(&a, 1ULL << 63)));
}

TEST(RoundDivided, RegistersDoubledBeyondTheRegister) {
  // Past 2^3117 the register keeps only the sign; no count below 2^64 brings such a value
  // back into the range, so the quotient is the infinity of that sign, as round() gives.
  for (const double start : {1.0, -3.0}) {
    sela_accumulator a = filled({start});
    for (int k = 0; k < 3200; ++k) ASSERT_EQ(0, sela_accumulator_merge(&a, &a));
    const double inf = std::copysign(std::numeric_limits<double>::infinity(), start);
    EXPECT_TRUE(SameBits(inf, sela_accumulator_round(&a)));
    EXPECT_TRUE(SameBits(inf, sela_accumulator_round_divided(&a, 1)));
    EXPECT_TRUE(SameBits(inf, sela_accumulator_round_divided(&a, ~0ULL)));
  }
}

TEST(RoundDivided, Ties) {
  struct Case {
    std::vector<double> x;
    uint64_t count;
    double want;
  };
  const Case cases[] = {
      {{pow2(53), 1.0}, 2, pow2(52)},                         // 2^52 + 1/2: even below
      {{pow2(53), 3.0}, 2, pow2(52) + 2.0},                   // 2^52 + 3/2: even above
      {{3 * pow2(52), 1.5}, 3, pow2(52)},                     // 2^52 + 1/2 from a count of 3
      {{3 * pow2(52), 4.5}, 3, pow2(52) + 2.0},               // 2^52 + 3/2
      {{3 * pow2(52), 1.5, pow2(-1074)}, 3, pow2(52) + 1.0},  // just above the tie
      {{-3 * pow2(52), -1.5}, 3, -pow2(52)},
      {{3 * pow2(-1074)}, 2, pow2(-1073)},  // 1.5 units of the smallest subnormal
      {{pow2(-1074)}, 2, 0.0},              // half a unit: the even zero
      {{-pow2(-1074)}, 2, 0.0},             // a zero result is +0.0
      {{pow2(-1074)}, 3, 0.0},
      {{2 * pow2(-1074)}, 3, pow2(-1074)},  // 2/3 of a unit
      {{1.0}, (1ULL << 53) + 1, pow2(-53) - pow2(-106)},  // 2^-53 (1 - 2^-53 + 2^-106 ...)
      {{kMax}, std::numeric_limits<uint64_t>::max(), kMax / 18446744073709551616.0},
  };
  for (const auto& c : cases) {
    const sela_accumulator a = filled(c.x);
    EXPECT_TRUE(SameBits(c.want, sela_accumulator_round_divided(&a, c.count))) << c.x[0] << " / " << c.count;
    EXPECT_TRUE(SameBits(oracle::exactSumDivided(c.x.data(), static_cast<int64_t>(c.x.size()), 0, c.count),
                         sela_accumulator_round_divided(&a, c.count)));
  }
}

TEST(RoundDivided, ProductsRoundToNearest) {
  std::mt19937_64 rng(4242);
  for (size_t n : {1u, 7u, 400u}) {
    // Products from far below the subnormal range up to far beyond the double range.
    for (auto [lo, hi] : {std::pair{-600, -500}, std::pair{-560, -520}, std::pair{-200, 200}, std::pair{400, 1023}}) {
      const auto x = testutil::wideRange(rng, n, lo, hi);
      const auto y = testutil::wideRange(rng, n, lo, hi);
      sela_accumulator a;
      sela_accumulator_init(&a);
      ASSERT_EQ(0, sela_accumulator_add_products(&a, x.data(), y.data(), n));
      for (uint64_t c : kCounts) {
        EXPECT_TRUE(SameBits(oracle::flooredDotDivided(x.data(), y.data(), static_cast<int64_t>(n), c),
                             sela_accumulator_round_divided(&a, c)))
            << n << " [" << lo << ", " << hi << "] count " << c;
      }
    }
  }
}

TEST(RoundDivided, SpecialValuesCountZeroAndInvalidRecords) {
  const double nan = std::bit_cast<double>(0x7FF000000000BEEFULL);
  const std::vector<std::vector<double>> specials = {{kInf, 1.0}, {-kInf, kMax, kMax}, {kInf, -kInf}, {nan, kInf}};
  for (const auto& x : specials) {
    const sela_accumulator a = filled(x);
    for (uint64_t c : kCounts) EXPECT_TRUE(SameBits(sela_accumulator_round(&a), sela_accumulator_round_divided(&a, c)));
  }
  const double quiet = std::bit_cast<double>(0x7FF8000000000000ULL);
  const sela_accumulator a = filled({1.0, 2.0});
  EXPECT_TRUE(SameBits(quiet, sela_accumulator_round_divided(&a, 0)));
  const sela_accumulator empty = filled({});
  EXPECT_TRUE(SameBits(0.0, sela_accumulator_round_divided(&empty, 5)));
  EXPECT_TRUE(SameBits(quiet, sela_accumulator_round_divided(&empty, 0)));
  EXPECT_TRUE(SameBits(quiet, sela_accumulator_round_divided(nullptr, 1)));
  sela_accumulator zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  EXPECT_TRUE(SameBits(quiet, sela_accumulator_round_divided(&zeroed, 1)));
  sela_accumulator corrupt = a;
  corrupt.opaque[5] = 0x7FFFFFFFFFFFFFFFULL;  // a limb beyond any headroom
  EXPECT_TRUE(SameBits(quiet, sela_accumulator_round_divided(&corrupt, 1)));
}
