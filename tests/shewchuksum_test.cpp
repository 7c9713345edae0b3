// Shewchuk's partials: correctly rounded on finite data (checked against the oracle and
// against the exact sum), halfway corrections, and the two fallbacks; the export, which
// the exact engine answers on finite data, bit for bit against the expansion everywhere.
#include <algorithm>
#include <bit>
#include <limits>

#include "algorithms/shewchuksum.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();

double expansion(const std::vector<double>& x) {
  return sela::shewchukExpansion(x.data(), static_cast<int64_t>(x.size()));
}

// The export, which the exact engine answers where it can, checked bit for bit against
// the expansion it stands for.
double shewchuk(const std::vector<double>& x) {
  const double routed = sela_sum_shewchuk(x.data(), x.size());
  EXPECT_TRUE(SameBits(expansion(x), routed)) << "routed sum against the expansion, n=" << x.size();
  return routed;
}
double naive(const std::vector<double>& x) { return sela_sum_naive(x.data(), x.size()); }
double exact(const std::vector<double>& x) { return sela_sum_exact(x.data(), x.size()); }

double nanWith(uint64_t bits) { return std::bit_cast<double>(bits); }

// Sums whose exact value sits at or next to a halfway point between two doubles: a base,
// half an ulp of it, and a tiny tail of either sign (or none), in shuffled order.
std::vector<double> nearTie(std::mt19937_64& rng) {
  const double base = std::ldexp(static_cast<double>((rng() >> 11) | (1ULL << 52)), static_cast<int>(rng() % 200) - 100);
  const double half = std::ldexp(std::fabs(base), -53) * (rng() % 2 ? 1 : -1);
  std::vector<double> v = {base, half};
  const int tail = static_cast<int>(rng() % 3);
  if (tail != 0) {
    const double t = std::ldexp(std::fabs(base), -53 - 1 - static_cast<int>(rng() % 40)) * (tail == 1 ? 1 : -1);
    if (rng() % 2) {
      v.push_back(t);
    } else {
      // The same tail in two exact halves: their TwoSum leaves a zero error.
      v.push_back(t / 2);
      v.push_back(t / 2);
    }
  }
  if (rng() % 2) {
    // Half an ulp in two quarters.
    v[1] /= 2;
    v.push_back(v[1]);
  }
  // Split the big terms so the partials list has several entries.
  if (rng() % 2) {
    const double a = std::ldexp(std::fabs(base), 20);
    v.push_back(a);
    v.push_back(-a);
  }
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

}  // namespace

TEST(ShewchukSum, NamedCases) {
  EXPECT_TRUE(SameBits(0.0, shewchuk({-0.0})));
  EXPECT_TRUE(SameBits(0.0, shewchuk({-0.0, -0.0})));
  EXPECT_TRUE(SameBits(0.0, shewchuk({0.0, 0.0})));
  EXPECT_TRUE(SameBits(1.0, shewchuk(std::vector<double>(10, 0.1))));
  EXPECT_TRUE(SameBits(2.0, shewchuk({1.0, 1e100, 1.0, -1e100})));
  EXPECT_TRUE(SameBits(1.0 + pow2(-52), shewchuk({1.0, pow2(-53), pow2(-106)})));
  EXPECT_TRUE(SameBits(1.0, shewchuk({1.0, pow2(-53), -pow2(-106)})));
  EXPECT_TRUE(SameBits(1.0, shewchuk({1.0, pow2(-53)})));
  EXPECT_TRUE(SameBits(1.0 - pow2(-53), shewchuk({1.0, -pow2(-54), -pow2(-110)})));
  EXPECT_EQ(0.0, sela_sum_shewchuk(nullptr, 0));
}

TEST(ShewchukSum, CorrectlyRoundedOnRandomFamilies) {
  std::mt19937_64 rng(271828);
  // The export's routes change at the exact engine's short lengths (16, 32, 64 by family)
  // and the bins' (2048); the expansion has none.
  for (size_t n : {1u, 2u, 3u, 10u, 16u, 17u, 32u, 33u, 64u, 65u, 100u, 1000u, 2047u, 2048u, 4094u, 4095u, 100000u}) {
    const std::string at = " n=" + std::to_string(n);
    const std::vector<std::vector<double>> families = {
        testutil::uniform(rng, n), testutil::wideRange(rng, n, -1074, 1000), testutil::wideRange(rng, n, -1074, -1000),
        testutil::wideRange(rng, n, -1074, -1023), testutil::wideRange(rng, n, -1022, -900),
        testutil::wideRange(rng, n, 1010, 1023),  // running values overflow
        testutil::illConditioned(rng, n, 1e20), testutil::illConditioned(rng, n, 1e40)};
    for (const auto& x : families) {
      ASSERT_TRUE(SameBits(oracle::exactSum(x), shewchuk(x))) << at;
    }
  }
}

TEST(ShewchukSum, HalfwayCasesRoundLikeTheExactSum) {
  std::mt19937_64 rng(1414);
  for (int trial = 0; trial < 3000; ++trial) {
    const auto x = nearTie(rng);
    ASSERT_TRUE(SameBits(oracle::exactSum(x), shewchuk(x))) << trial;
  }
}

TEST(ShewchukSum, ManyPartialsGrowTheList) {
  // Non-overlapping powers far apart never merge: one partial each, 38 in all.
  std::vector<double> x;
  for (int k = 0; k < 38; ++k) x.push_back(std::ldexp(k % 2 ? -1.0 : 1.0, 1000 - 55 * k));
  std::mt19937_64 rng(7);
  std::shuffle(x.begin(), x.end(), rng);
  EXPECT_TRUE(SameBits(oracle::exactSum(x), shewchuk(x)));
}

TEST(ShewchukSum, NonFiniteElementBeforeAnyOverflowGivesTheNaiveSum) {
  const double negNaN = nanWith(0xFFF8000000000123ULL);
  const std::vector<std::vector<double>> cases = {
      {1.0, negNaN}, {kInf, 1.0}, {kInf, -kInf}, {1e308, negNaN, 1e308, -1e308},
      {1.0, kInf, nanWith(0x7FF8000000000042ULL)}, {-kInf, 1e308, 1e308}};
  for (const auto& x : cases) {
    EXPECT_TRUE(SameBits(naive(x), shewchuk(x))) << x.size();
  }
  EXPECT_TRUE(std::isnan(shewchuk({1.0, nanWith(0x7FF8000000000001ULL)})));
  EXPECT_TRUE(SameBits(kInf, shewchuk({kInf, 1.0})));
}

TEST(ShewchukSum, OverflowingRunningValueGivesTheExactSum) {
  // The naive sum of these is +inf or NaN; the exact sums are finite or keep the infinity.
  EXPECT_TRUE(SameBits(0.0, shewchuk({1e308, 1e308, -1e308, -1e308})));
  EXPECT_TRUE(SameBits(kInf, naive({1e308, 1e308, -1e308, -1e308})));
  EXPECT_TRUE(SameBits(kMax, shewchuk({kMax, kMax, -kMax})));
  EXPECT_TRUE(SameBits(1e308, shewchuk({1e308, 1e308, -1e308})));
  EXPECT_TRUE(SameBits(kInf, shewchuk({kMax, kMax})));
  // A NaN or infinity after the overflow is the exact sum's to answer: a NaN with its sign
  // cleared, an infinity that beats the finite overflow of the other sign.
  const std::vector<double> thenNaN = {1e308, 1e308, nanWith(0xFFF8000000000777ULL)};
  EXPECT_TRUE(SameBits(nanWith(0x7FF8000000000777ULL), shewchuk(thenNaN)));
  EXPECT_TRUE(SameBits(exact(thenNaN), shewchuk(thenNaN)));
  const std::vector<double> thenInf = {1e308, 1e308, -kInf};
  EXPECT_TRUE(SameBits(-kInf, shewchuk(thenInf)));
  EXPECT_TRUE(std::isnan(naive(thenInf)));
  std::mt19937_64 rng(2718);
  for (int trial = 0; trial < 50; ++trial) {
    auto x = testutil::wideRange(rng, 300, 1018, 1023);
    ASSERT_TRUE(SameBits(exact(x), shewchuk(x))) << trial;
    ASSERT_TRUE(SameBits(oracle::exactSum(x), shewchuk(x))) << trial;
  }
}

TEST(ShewchukSum, TwoSumOverflowingInsideGivesTheExactSum) {
  // -DBL_MAX plus a value near 2^1010: the rounded sum is finite, but TwoSum's t - v
  // rounds past -DBL_MAX, so its error comes out NaN (a fuzzer's find, where the sum was
  // once returned as -NaN). Every order and a few small companions: the exact sum.
  const std::vector<double> base = {-kMax, 0x0.00000000001ffp-1022, 0x1.7fd7effffp-1008, 0x0.000ad25p-1022,
                                    0x1.c1c1c3f8c7p+1010};
  ASSERT_TRUE(std::isfinite(oracle::exactSum(base)));
  EXPECT_TRUE(SameBits(oracle::exactSum(base), shewchuk(base)));
  std::mt19937_64 rng(1010);
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<double> x = {trial % 2 ? kMax : -kMax, std::ldexp(1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52), 990 + trial % 33)};
    if (trial % 2) x[1] = -x[1];
    for (int k = 0; k < trial % 5; ++k) x.push_back(std::ldexp(static_cast<double>(rng() >> 11), -1100 + static_cast<int>(rng() % 2040)));
    std::shuffle(x.begin(), x.end(), rng);
    ASSERT_TRUE(SameBits(oracle::exactSum(x), shewchuk(x))) << trial;
  }
}

TEST(ShewchukSum, TotalOfPartials) {
  EXPECT_TRUE(SameBits(0.0, sela::shewchukTotal(nullptr, 0)));
  const double one[] = {pow2(-60)};
  EXPECT_TRUE(SameBits(pow2(-60), sela::shewchukTotal(one, 1)));
  // 1 + 2^-53 is a tie that rounds to 1; the partial 2^-106 below, of the same sign,
  // makes it 1 + 2^-52; of the other sign it stays 1.
  const double up[] = {pow2(-106), pow2(-53), 1.0};
  EXPECT_TRUE(SameBits(1.0 + pow2(-52), sela::shewchukTotal(up, 3)));
  const double down[] = {-pow2(-106), pow2(-53), 1.0};
  EXPECT_TRUE(SameBits(1.0, sela::shewchukTotal(down, 3)));
}

namespace {

// A double at binary exponent e (a power of two in a quarter of the cases, where the gap
// below is half the gap above), half the gap to its neighbour on either side, and a tail
// of either sign, or none, anywhere below that down to 2^-1074; in pieces (the double
// through a large value and its negation, the half gap in two quarters, the tail in two
// halves) so that the partials list holds several entries, shuffled. e >= -1020 keeps half
// the gap at 2^-1074 or above.
std::vector<double> tieAtScale(std::mt19937_64& rng, int e) {
  const bool power = rng() % 4 == 0;
  const uint64_t m = power ? (1ULL << 52) : ((rng() >> 11) | (1ULL << 52));
  const double sign = rng() % 2 ? 1.0 : -1.0;
  const double t = sign * std::ldexp(static_cast<double>(m), e - 52);
  const bool outward = rng() % 2 != 0;  // the neighbour of larger magnitude
  const int halfExponent = (power && !outward) ? e - 54 : e - 53;
  const double half = (outward ? sign : -sign) * pow2(halfExponent);
  std::vector<double> v = {t, half};
  const int tail = static_cast<int>(rng() % 3);
  if (tail != 0 && halfExponent - 1 >= -1074) {
    // A power of two anywhere below the half gap, or 53 bits where they fit below it.
    const auto below = [&](int top) { return -1074 + static_cast<int>(rng() % static_cast<uint64_t>(top + 1075)); };
    double small = pow2(below(halfExponent - 1));
    if (rng() % 2 && halfExponent - 54 >= -1074)
      small = std::ldexp(static_cast<double>((rng() >> 11) | (1ULL << 52)), below(halfExponent - 54));
    const double tailValue = tail == 1 ? small : -small;
    const bool halves = rng() % 2 && std::ldexp(std::ldexp(tailValue, -1), 1) == tailValue;
    v.insert(v.end(), halves ? 2 : 1, halves ? tailValue / 2 : tailValue);
  }
  if (rng() % 2 && halfExponent - 1 >= -1074) {
    v[1] = half / 2;
    v.push_back(half / 2);
  }
  if (const double big = std::ldexp(std::fabs(t), 1 + static_cast<int>(rng() % 20)); rng() % 2 && e < 1000)
    v.insert(v.end(), {big, -big});
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

}  // namespace

TEST(ShewchukSum, TiesAtEveryScaleBrokenByTinyPartials) {
  // Every binary exponent from the bottom of the normal range (where the tails are
  // subnormal) to the top (where the outward neighbour of DBL_MAX is the overflow threshold:
  // the expansion overflows there and hands over to the exact engine).
  std::mt19937_64 rng(5303);
  for (int e = -1020; e <= 1023; ++e) {
    for (int trial = 0; trial < 12; ++trial) {
      const auto x = tieAtScale(rng, e);
      ASSERT_TRUE(SameBits(oracle::exactSum(x), shewchuk(x))) << "e=" << e << " trial " << trial;
    }
  }
  // At the top: DBL_MAX's half gap is the overflow threshold; just below it (a tail of the
  // other sign) the sum is DBL_MAX, at it and above, infinity; a tie under DBL_MAX rounds
  // up to it when a tail of the same sign breaks it.
  const double below = kMax - pow2(971);
  for (const auto& x : std::vector<std::vector<double>>{
           {kMax, pow2(970)}, {kMax, pow2(970), -pow2(-1074)}, {pow2(970), -pow2(-1074), kMax},
           {-pow2(-1074), pow2(970), kMax}, {kMax, pow2(969), pow2(969), -pow2(900)}, {below, pow2(970)},
           {below, pow2(970), pow2(-1074)}, {pow2(-1074), pow2(970), below}, {-below, -pow2(970), -pow2(-1000)},
           {-kMax, -pow2(970), pow2(-1074)}}) {
    ASSERT_TRUE(SameBits(oracle::exactSum(x), shewchuk(x))) << x.size();
  }
}

TEST(ShewchukSum, SubnormalResultsAndCancellationToZero) {
  std::mt19937_64 rng(1074);
  for (int trial = 0; trial < 400; ++trial) {
    // Normal values near the bottom, cancelled down to a subnormal remainder.
    auto x = testutil::wideRange(rng, 1 + rng() % 40, -1074, -1000);
    const size_t keep = x.size();
    for (size_t k = 0; k < keep; ++k)
      if (std::fabs(x[k]) >= pow2(-1022)) x.push_back(-x[k]);
    std::shuffle(x.begin(), x.end(), rng);
    ASSERT_TRUE(SameBits(oracle::exactSum(x), shewchuk(x))) << trial;
    // Every value with its negation, and zeros of both signs: +0.0, never -0.0.
    auto z = testutil::wideRange(rng, rng() % 50, trial % 2 ? -1074 : -200, trial % 2 ? -900 : 1023);
    const size_t half = z.size();
    for (size_t k = 0; k < half; ++k) z.push_back(-z[k]);
    for (int k = 0; k < trial % 4; ++k) z.push_back(k % 2 ? -0.0 : 0.0);
    std::shuffle(z.begin(), z.end(), rng);
    ASSERT_TRUE(SameBits(0.0, shewchuk(z))) << trial;
    ASSERT_TRUE(SameBits(0.0, expansion(z))) << trial;
  }
  for (size_t n : {1u, 2u, 3u, 17u, 65u, 2048u, 5000u}) {
    EXPECT_TRUE(SameBits(0.0, shewchuk(std::vector<double>(n, -0.0)))) << n;
  }
}

TEST(ShewchukSum, NonFiniteAtEveryPositionAsTheExpansionAnswers) {
  // A NaN or an infinity before any overflow: the naive sum; after one: the exact engine.
  // The export must find which came first, wherever the element sits.
  std::mt19937_64 rng(404);
  const double specials[] = {nanWith(0xFFF8000000000123ULL), nanWith(0x7FF8000000000042ULL), kInf, -kInf};
  for (size_t n : {1u, 2u, 3u, 5u, 16u, 17u, 33u, 65u, 300u}) {
    const std::vector<std::vector<double>> bases = {testutil::uniform(rng, n), testutil::wideRange(rng, n, 1016, 1023),
                                                    testutil::wideRange(rng, n, -1074, -1023),
                                                    testutil::illConditioned(rng, n, 1e32)};
    for (const auto& base : bases) {
      for (size_t p = 0; p < n; p += 1 + n / 40) {
        for (double special : specials) {
          auto x = base;
          x[p] = special;
          ASSERT_TRUE(SameBits(expansion(x), sela_sum_shewchuk(x.data(), x.size()))) << "n=" << n << " at " << p;
          if (n > 1) x[(p + n / 2) % n] = specials[rng() % 4];
          ASSERT_TRUE(SameBits(expansion(x), sela_sum_shewchuk(x.data(), x.size()))) << "n=" << n << " at " << p;
        }
      }
    }
  }
}

TEST(ShewchukSum, SpecialAfterHugeValuesAsTheExpansionAnswers) {
  // Finite elements of every size before a NaN or an infinity: the export takes the naive
  // sum at once only where the expansion cannot overflow on them, and must agree with the
  // expansion where it does overflow first (the exact sum's answer: a NaN with its sign
  // cleared, an infinity beating the overflow of the other sign). Prefixes of huge values
  // (overflowing, or cancelling in pairs without overflow), of values at the export's own
  // bound on the prefix (largest exponent field plus the prefix length's bit width
  // around 2002) and of ordinary ones; the special element anywhere, more after it.
  std::mt19937_64 rng(1023);
  const double specials[] = {nanWith(0xFFF8000000000123ULL), nanWith(0x7FF0000000000042ULL), kInf, -kInf};
  int overflowedFirst = 0;
  for (size_t n : {3u, 4u, 17u, 65u, 300u, 2100u}) {
    for (int kind = 0; kind < 5; ++kind) {
      for (int trial = 0; trial < 12; ++trial) {
        const size_t at = 1 + rng() % (n - 1);
        std::vector<double> x;
        if (kind == 0) {
          x = testutil::wideRange(rng, n, 1016, 1023);
        } else if (kind == 1) {
          x = testutil::wideRange(rng, n, -60, 60);
          x[rng() % at] = kMax;
          x[rng() % at] = (trial % 2) ? kMax : -kMax;
        } else if (kind == 2) {
          for (size_t k = 0; k < n; k += 2) {
            const double a = testutil::wideRange(rng, 1, 1000, 1023)[0];
            x.push_back(a);
            x.push_back(-a);
          }
          x.resize(n);
        } else {
          // Binary exponent 979 - w (980 - w for kind 4): exponent fields 2002 - w and
          // 2003 - w, w the bit width of the prefix length.
          const int w = static_cast<int>(std::bit_width(at));
          const int e = 979 - w + (kind == 4 ? 1 : 0);
          x = testutil::wideRange(rng, n, e, e);
        }
        x[at] = specials[rng() % 4];
        if (trial % 3 == 0) x[at + (n - at) / 2] = specials[rng() % 4];
        const double expected = expansion(x);
        ASSERT_TRUE(SameBits(expected, sela_sum_shewchuk(x.data(), x.size())))
            << "n=" << n << " kind " << kind << " at " << at;
        overflowedFirst += !SameBits(naive(x), expected);
      }
    }
  }
  EXPECT_GE(overflowedFirst, 20);
}
