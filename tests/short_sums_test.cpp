// Short exact sums (the certified pass below the vector lengths, then the short register)
// against the GMP oracle at every length from 1 to 300: random families, exact midpoints
// built in integers, the same a hair off, sums next to a power of two, subnormals, sums
// past the double range and special values. And the pass must accept the plain families
// of the benchmarks: a pass that silently declined everything would still be exact.
#include <algorithm>
#include <cstdio>
#include <cmath>
#include <limits>
#include <string>

#include "algorithms/certifiedsum.h"
#include "algorithms/exactsum.h"
#include "gensum.h"
#include "oracle.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// Every route of a short sum gives `expected`: the export, and the certified pass and the
// short register where they accept.
void expectShortRoutes(const std::vector<double>& x, double expected, const std::string& what) {
  const auto n = static_cast<int64_t>(x.size());
  EXPECT_TRUE(SameBits(expected, sela_sum_exact(x.data(), x.size()))) << what << " n=" << n;
  double r;
  if (sela::certifiedNearest(x.data(), n, r)) {
    EXPECT_TRUE(SameBits(expected, r)) << what << " (certified) n=" << n;
  }
  if (sela::shortExactSum(x.data(), n, r)) {
    EXPECT_TRUE(SameBits(expected, r)) << what << " (short register) n=" << n;
  }
}

void expectOracle(const std::vector<double>& x, const std::string& what) {
  expectShortRoutes(x, oracle::exactSum(x), what);
}

// n values k_i 2^-60 (|k_i| < 2^52, so each is exact and so is their integer sum) whose
// exact sum is a midpoint between two neighbouring doubles: the last two values make up
// the difference to an odd multiple of half a unit in the last place. n >= 2.
std::vector<double> exactMidpoint(std::mt19937_64& rng, size_t n) {
  std::vector<int64_t> k(n);
  int64_t sum = 0;
  for (size_t i = 0; i + 2 < n; ++i) {
    k[i] = static_cast<int64_t>(rng() >> 12) - (int64_t{1} << 51);
    sum += k[i];
  }
  // Target: (2q + 1) 2^(s - 1) with a 53-bit q, a midpoint at unit 2^s.
  const int s = 1 + static_cast<int>(rng() % 6);
  const int64_t q = static_cast<int64_t>((rng() >> 11) | (uint64_t{1} << 52));
  const int64_t target = ((2 * q + 1) << (s - 1)) * ((rng() & 1) ? 1 : -1);
  const int64_t rest = target - sum;  // below 2^60 in magnitude: split into two exact parts
  k[n - 2] = rest / 1024 * 1024;
  k[n - 1] = rest - k[n - 2];
  std::vector<double> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = std::ldexp(static_cast<double>(k[i]), -60);
  std::shuffle(x.begin(), x.end(), rng);
  return x;
}

// x padded to n values with pairs (a, -a) of random magnitudes, and one zero for an odd
// count: the exact sum is unchanged.
std::vector<double> paddedTo(std::mt19937_64& rng, std::vector<double> x, size_t n) {
  while (x.size() + 2 <= n) {
    const double a = std::ldexp(static_cast<double>((rng() >> 11) | 1), static_cast<int>(rng() % 120) - 100);
    x.push_back(a);
    x.push_back(-a);
  }
  if (x.size() < n) x.push_back(0.0);
  std::shuffle(x.begin(), x.end(), rng);
  return x;
}

// What the exact sum gives with special values among finite ones: the NaN with the largest
// payload (sign cleared), else a NaN for both infinities, else the infinity.
bool expectSpecials(const std::vector<double>& x, const std::string& what) {
  uint64_t nan = 0;
  bool plus = false, minus = false;
  for (double v : x) {
    const uint64_t u = testutil::bits(v);
    if (std::isnan(v) && (u & 0x000FFFFFFFFFFFFFULL) >= (nan & 0x000FFFFFFFFFFFFFULL)) nan = u & ~(1ULL << 63);
    plus |= v == kInf;
    minus |= v == -kInf;
  }
  const double got = sela_sum_exact(x.data(), x.size());
  double r;
  EXPECT_FALSE(sela::certifiedNearest(x.data(), static_cast<int64_t>(x.size()), r)) << what;
  EXPECT_FALSE(sela::shortExactSum(x.data(), static_cast<int64_t>(x.size()), r)) << what;
  if (nan != 0) return SameBits(std::bit_cast<double>(nan), got);
  if (plus && minus) return std::isnan(got);
  return SameBits(plus ? kInf : -kInf, got);
}

}  // namespace

TEST(ShortSums, EveryLengthFrom1To300MatchesTheOracle) {
  for (size_t n = 1; n <= 300; ++n) {
    std::mt19937_64 rng(90000 + n);
    expectOracle(testutil::uniform(rng, n), "uniform");
    expectOracle(testutil::wideRange(rng, n, -1074, 1023), "full range");
    expectOracle(testutil::wideRange(rng, n, -1074, -1000), "subnormal and tiny");
    expectOracle(testutil::wideRange(rng, n, 1000, 1023), "near overflow");
    std::vector<double> dbl(n, std::numeric_limits<double>::max());
    if (n > 1) dbl[n / 2] = -dbl[n / 2];
    expectOracle(dbl, "DBL_MAX with one negated");
    if (n >= 2) {
      for (double cond : {1e16, 1e32, 1e300}) {
        // (At the shortest lengths the generator cannot reach 1e300 within the range.)
        const auto g = testutil::genSum(rng, n, cond);
        if (std::all_of(g.begin(), g.end(), [](double v) { return std::isfinite(v); })) expectOracle(g, "genSum");
      }
      const auto tie = exactMidpoint(rng, n);
      expectOracle(tie, "exact midpoint");
      // A hair off the midpoint, either way: a value far below, or the last bit.
      for (double hair : {pow2(-1074), -pow2(-1074), pow2(-300), -pow2(-200)}) {
        auto off = tie;
        off[rng() % n] += 0.0;
        off.push_back(hair);
        expectOracle(off, "midpoint a hair off");
      }
    }
    // Next to a power of two: the gap below is half the gap above, and the midpoints on
    // either side lie at different distances.
    const int e = static_cast<int>(rng() % 200) - 100;
    for (double below : {pow2(e - 54), pow2(e - 54) + pow2(e - 120), pow2(e - 54) - pow2(e - 120), pow2(e - 53),
                         -pow2(e - 53), -pow2(e - 53) - pow2(e - 140)}) {
      if (n < 2) break;
      std::vector<double> p = {pow2(e), -below};
      expectOracle(paddedTo(rng, p, std::max<size_t>(n, 2)), "next to a power of two");
    }
    // Special values among finite ones, at random places.
    auto s = testutil::uniform(rng, n);
    const double specials[] = {kInf, -kInf, std::bit_cast<double>(0x7FF8000000000123ULL),
                               std::bit_cast<double>(0xFFF0000000000456ULL)};
    s[rng() % n] = specials[rng() % 4];
    if (n > 2) s[rng() % n] = specials[rng() % 4];
    EXPECT_TRUE(expectSpecials(s, "specials")) << n;
  }
}

TEST(ShortSums, FewSignificantBitsAreSettledByTheGrain) {
  // Integers and coarse multiples: the rounding is often an exact midpoint, which only the
  // proof that the errors were summed exactly can settle. The pass must settle them.
  std::mt19937_64 rng(77);
  for (size_t n : {2u, 3u, 4u, 5u, 16u, 17u, 100u, 255u}) {
    int accepted = 0;
    for (int t = 0; t < 50; ++t) {
      std::vector<double> x(n);
      const int scale = static_cast<int>(rng() % 1800) - 900;
      for (auto& v : x) v = std::ldexp(static_cast<double>(static_cast<int64_t>(rng() >> 10) - (int64_t{1} << 53)), scale);
      if (t % 5 == 0) x[rng() % n] = 0.0;
      double r;
      if (sela::certifiedNearest(x.data(), static_cast<int64_t>(n), r)) {
        ++accepted;
        EXPECT_TRUE(SameBits(oracle::exactSum(x), r)) << n;
      }
    }
    EXPECT_EQ(50, accepted) << n;
  }
}

TEST(ShortSums, TheCertifiedPassAcceptsTheBenchmarksPlainFamilies) {
  // The arrays of the benchmarks at n = 16 (seeds 1000 + i, as bench_util.h makes them):
  // uniform values, multiples of 2^-53 whose sums fall on a midpoint about half the time,
  // wide ones, and GenSum data of condition 1e16 and 1e32, which the pass settles at this
  // length by refining its error terms. Every accepted value is the oracle's.
  int uniform = 0, wide = 0, cond16 = 0, cond32 = 0;
  for (uint64_t i = 0; i < 64; ++i) {
    double r;
    std::mt19937_64 a(1000 + i);
    const auto u = testutil::uniform(a, 16);
    if (sela::certifiedNearest(u.data(), 16, r)) {
      ++uniform;
      EXPECT_TRUE(SameBits(oracle::exactSum(u), r));
    }
    std::mt19937_64 b(1000 + i);
    std::vector<double> w(16);
    std::uniform_int_distribution<int> e(-500, 500);
    for (auto& v : w) {
      const uint64_t m = (b() >> 11) | (1ULL << 52);
      v = std::ldexp(static_cast<double>(m), e(b) - 52);
      if (b() & 1) v = -v;
    }
    if (sela::certifiedNearest(w.data(), 16, r)) {
      ++wide;
      EXPECT_TRUE(SameBits(oracle::exactSum(w), r));
    }
    std::mt19937_64 c(1000 + i);
    const auto g = testutil::genSum(c, 16, 1e16);
    if (sela::certifiedNearest(g.data(), 16, r)) {
      ++cond16;
      EXPECT_TRUE(SameBits(oracle::exactSum(g), r));
    }
    std::mt19937_64 d(1000 + i);
    const auto h = testutil::genSum(d, 16, 1e32);
    if (sela::certifiedNearest(h.data(), 16, r)) {
      ++cond32;
      EXPECT_TRUE(SameBits(oracle::exactSum(h), r));
    }
  }
  EXPECT_EQ(64, uniform);
  EXPECT_EQ(64, wide);
  std::printf("certified at n = 16: GenSum 1e16 %d/64, 1e32 %d/64\n", cond16, cond32);
  EXPECT_GE(cond16, 60);
  EXPECT_GE(cond32, 60);
}
