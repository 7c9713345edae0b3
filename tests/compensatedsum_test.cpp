// Kahan, Neumaier and Klein: the library's loops drop or batch the finiteness guards and
// share operations between steps; they must still return what the guarded one-step-at-a-
// time definitions return, bit for bit, on every input. The definitions are written out
// below independently, and the published error bounds are checked against the oracle.
#include "algorithms/sse2_intrinsics.h"

#include <limits>

#include "algorithms/compensatedsum.h"
#include "algorithms/compensatedsum_internal.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
constexpr double kEps = 0x1p-53;  // unit roundoff

bool finite(double v) { return std::isfinite(v); }

// s + v with s as the first machine operand (whose NaN x86 returns when both are NaN).
double add(double s, double v) { return _mm_cvtsd_f64(_mm_add_sd(_mm_set_sd(s), _mm_set_sd(v))); }

double guardedKahan(const std::vector<double>& x) {
  if (x.empty()) return 0.0;
  double s = x[0], c = 0.0;
  for (size_t i = 1; i < x.size(); ++i) {
    const double v = x[i];
    if (finite(s) && finite(v)) {
      const double y = v - c;
      const double t = s + y;
      c = (t - s) - y;
      s = t;
    } else {
      s = add(s, v);
    }
  }
  return s;
}

double guardedNeumaier(const std::vector<double>& x) {
  if (x.empty()) return 0.0;
  double s = x[0], c = 0.0;
  for (size_t i = 1; i < x.size(); ++i) {
    const double v = x[i];
    const double t = add(s, v);
    if (finite(s) && finite(v)) {
      const double z = t - s;
      c = c + ((s - (t - z)) + (v - z));
    }
    s = t;
  }
  return finite(s) ? s + c : s;
}

double guardedKlein(const std::vector<double>& x) {
  if (x.empty()) return 0.0;
  double s = x[0], cs = 0.0, ccs = 0.0;
  for (size_t i = 1; i < x.size(); ++i) {
    const double v = x[i];
    const double t = add(s, v);
    if (finite(s) && finite(v) && finite(t)) {
      const double z = t - s;
      const double c = (s - (t - z)) + (v - z);
      const double t2 = cs + c;
      const double z2 = t2 - cs;
      const double cc = (cs - (t2 - z2)) + (c - z2);
      cs = t2;
      ccs = ccs + cc;
    }
    s = t;
  }
  return finite(s) ? (s + cs) + ccs : s;
}

void expectLikeDefinitions(const std::vector<double>& x, const std::string& what) {
  const auto n = static_cast<uint64_t>(x.size());
  EXPECT_TRUE(testutil::SameBitsOrProcessorNaN(guardedKahan(x), sela_sum_kahan(x.data(), n))) << "kahan " << what;
  EXPECT_TRUE(testutil::SameBitsOrProcessorNaN(guardedNeumaier(x), sela_sum_neumaier(x.data(), n))) << "neumaier " << what;
  EXPECT_TRUE(testutil::SameBitsOrProcessorNaN(guardedKlein(x), sela_sum_klein(x.data(), n))) << "klein " << what;
}

double randomSpecial(std::mt19937_64& rng) {
  switch (rng() % 3) {
    case 0: return kInf;
    case 1: return -kInf;
    default: {
      const uint64_t f = (rng() & 0x000FFFFFFFFFFFFFULL) | 1;
      return std::bit_cast<double>((rng() & 0x8000000000000000ULL) | 0x7FF0000000000000ULL | f);
    }
  }
}

double sumOfMagnitudes(const std::vector<double>& x) {
  std::vector<double> a(x.size());
  for (size_t i = 0; i < x.size(); ++i) a[i] = std::fabs(x[i]);
  return oracle::exactSum(a);
}

}  // namespace

TEST(CompensatedSums, TellingExamples) {
  struct Case {
    std::vector<double> x;
    double kahan, neumaier, klein;
  };
  const Case cases[] = {
      {{-0.0}, -0.0, 0.0, 0.0},
      {{-0.0, -0.0}, -0.0, 0.0, 0.0},
      {{1.0, 1e100, 1.0, -1e100}, 0.0, 2.0, 2.0},
      {{1e16, 1.0, -1e16}, 0.0, 1.0, 1.0},
      {std::vector<double>(10, 0.1), 1.0, 1.0, 1.0},
      {{1e308, 1e308, -1e308}, kInf, kInf, kInf},
      {{1.0, kInf}, kInf, kInf, kInf},
  };
  for (const Case& c : cases) {
    const uint64_t n = c.x.size();
    EXPECT_TRUE(SameBits(c.kahan, sela_sum_kahan(c.x.data(), n))) << n;
    EXPECT_TRUE(SameBits(c.neumaier, sela_sum_neumaier(c.x.data(), n))) << n;
    EXPECT_TRUE(SameBits(c.klein, sela_sum_klein(c.x.data(), n))) << n;
  }
  const double both[] = {kInf, -kInf};
  EXPECT_TRUE(std::isnan(sela_sum_kahan(both, 2)));
  EXPECT_TRUE(std::isnan(sela_sum_neumaier(both, 2)));
  EXPECT_TRUE(std::isnan(sela_sum_klein(both, 2)));
  // The naive sum gives 0.9999999999999999 for ten copies of 0.1.
  const std::vector<double> tenth(10, 0.1);
  EXPECT_TRUE(SameBits(0.9999999999999999, sela_sum_naive(tenth.data(), 10)));
}

TEST(CompensatedSums, MatchGuardedDefinitionsOnFiniteData) {
  std::mt19937_64 rng(5150);
  for (size_t n = 1; n <= 40; ++n) {
    expectLikeDefinitions(testutil::wideRange(rng, n, -1074, 1023), "short n=" + std::to_string(n));
  }
  for (size_t n : {255u, 256u, 257u, 258u, 261u, 263u, 511u, 513u, 1000u, 20000u}) {
    const std::string at = " n=" + std::to_string(n);
    expectLikeDefinitions(testutil::uniform(rng, n), "uniform" + at);
    expectLikeDefinitions(testutil::wideRange(rng, n, -1074, 1023), "full range" + at);
    expectLikeDefinitions(testutil::illConditioned(rng, n, 1e35), "cond 1e35" + at);
    expectLikeDefinitions(testutil::wideRange(rng, n, 1010, 1023), "near overflow" + at);
  }
}

TEST(CompensatedSums, MatchGuardedDefinitionsAroundSpecialsAndOverflow) {
  std::mt19937_64 rng(8086);
  // A special value or an overflow anywhere, notably next to the block edges of the
  // batched loops (every 256 elements, and a few elements into and before each block).
  const size_t n = 1200;
  for (size_t at : {1u, 2u, 3u, 4u, 5u, 8u, 9u, 255u, 256u, 257u, 259u, 260u, 261u, 512u, 513u, 1199u}) {
    auto x = testutil::uniform(rng, n);
    x[at] = randomSpecial(rng);
    expectLikeDefinitions(x, "special at " + std::to_string(at));
    auto y = testutil::uniform(rng, n);
    // s + v overflows at `at` with finite s and v (Klein skips that step's errors), then
    // the sum may come back or turn NaN.
    y[at - 1 > 0 ? at - 1 : 0] = kMax;
    y[at] = kMax;
    if (at + 1 < n) y[at + 1] = rng() % 2 ? -kMax : -kInf;
    expectLikeDefinitions(y, "overflow at " + std::to_string(at));
  }
  for (int trial = 0; trial < 40; ++trial) {
    auto x = testutil::wideRange(rng, 700, -1074, 1023);
    for (int k = 0; k < 3; ++k) x[rng() % x.size()] = randomSpecial(rng);
    expectLikeDefinitions(x, "random specials " + std::to_string(trial));
  }
}

// Klein's paired steps start and end with a few steps done apart; which of the pending
// errors is added last depends on the length. Every length over several pairing periods,
// on ill-conditioned data (where an error added out of order or to the wrong level
// shows), and with a special value or an overflow among the first and the last steps.
TEST(CompensatedSums, KleinAtEveryLengthAndEdge) {
  std::mt19937_64 rng(1235);
  for (size_t n = 2; n <= 48; ++n) {
    const std::string at = " n=" + std::to_string(n);
    if (n >= 4) expectLikeDefinitions(testutil::illConditioned(rng, n, 1e30), "cond 1e30" + at);
    // The three running values themselves: the result hides most slips in the order of
    // the compensations (the next level absorbs them).
    std::vector<std::vector<double>> sets = {testutil::wideRange(rng, n, -40, 40)};
    if (n >= 4) sets.push_back(testutil::illConditioned(rng, n, 1e20));
    for (const auto& x : sets) {
      double s = x[0], cs = 0.0, ccs = 0.0;
      for (size_t i = 1; i < n; ++i) {
        const double t = s + x[i];
        const double z = t - s;
        const double c = (s - (t - z)) + (x[i] - z);
        const double t2 = cs + c;
        const double z2 = t2 - cs;
        ccs = ccs + ((cs - (t2 - z2)) + (c - z2));
        cs = t2;
        s = t;
      }
      const sela::KleinState k = sela::kleinParts(x.data(), static_cast<int64_t>(n));
      ASSERT_TRUE(SameBits(s, k.s) && SameBits(cs, k.cs) && SameBits(ccs, k.ccs)) << at;
    }
    for (size_t edge : {size_t{1}, size_t{2}, n / 2, n - 3, n - 2, n - 1}) {
      if (edge == 0 || edge >= n) continue;
      auto x = testutil::wideRange(rng, n, -60, 60);
      x[edge] = randomSpecial(rng);
      expectLikeDefinitions(x, "special at " + std::to_string(edge) + at);
      auto y = testutil::uniform(rng, n);
      y[edge - 1] = kMax;
      y[edge] = kMax;
      expectLikeDefinitions(y, "overflow at " + std::to_string(edge) + at);
    }
  }
}

TEST(CompensatedSums, PublishedErrorBounds) {
  // Kahan: |s - S| <= (2u + O(n u^2)) sum|x| (Goldberg, Theorem 8), here with 4 n u^2.
  // Neumaier is Sum2 of Ogita, Rump and Oishi: |s - S| <= u |S| + gamma_(n-1)^2 sum|x|.
  std::mt19937_64 rng(1618);
  for (double cond : {1e3, 1e10, 1e16, 1e24, 1e32}) {
    for (size_t n : {100u, 5000u}) {
      const auto x = testutil::illConditioned(rng, n, cond);
      const double exact = oracle::exactSum(x);
      const double abs = sumOfMagnitudes(x);
      const double nn = static_cast<double>(n);
      const double gamma = (nn - 1) * kEps / (1 - (nn - 1) * kEps);
      const double kahan = sela_sum_kahan(x.data(), n);
      const double neumaier = sela_sum_neumaier(x.data(), n);
      EXPECT_LE(std::fabs(kahan - exact), (2 * kEps + 4 * nn * kEps * kEps) * abs) << cond;
      EXPECT_LE(std::fabs(neumaier - exact), kEps * std::fabs(exact) + gamma * gamma * abs) << cond;
    }
  }
}

TEST(CompensatedSums, NeumaierIsTheOroSum) {
  std::mt19937_64 rng(3);
  for (size_t n : {1u, 2u, 3u, 17u, 1000u}) {
    const auto x = testutil::illConditioned(rng, n, 1e20);
    EXPECT_TRUE(SameBits(guardedNeumaier(x), sela::neumaierSum(x.data(), static_cast<int64_t>(n))));
  }
}

TEST(CompensatedSums, BottomOfTheRangeMatchesTheDefinitions) {
  // Subnormal data take the lifted chains (elements times 2^52): the same bits as the
  // definitions on every family, with the reruns where a large element or the lifted
  // values overflow, and with infinities and NaNs at every position of short arrays.
  std::mt19937_64 rng(1022);
  for (size_t n : {1u, 2u, 3u, 4u, 9u, 10u, 31u, 32u, 33u, 64u, 65u, 66u, 100u, 1000u, 20001u}) {
    for (const auto& x : testutil::bottomOfRange(rng, n)) expectLikeDefinitions(x, "bottom n=" + std::to_string(n));
    if (n > 100) continue;
    for (size_t pos = 0; pos < n; ++pos) {
      auto x = testutil::wideRange(rng, n, -1074, -1023);
      x[pos] = randomSpecial(rng);
      expectLikeDefinitions(x, "special at " + std::to_string(pos) + " n=" + std::to_string(n));
    }
  }
}

TEST(CompensatedSums, ExactOnSubnormalsWhosePartialSumsStayExact) {
  // Subnormals below 2^-1031, at most 512 of them: every partial sum stays below 2^-1022,
  // every operation is exact, and each sum is the exact sum (the oracle), sign of zero
  // included: +0 when the oracle's sum is 0 and some element is +0 or the data cancel.
  std::mt19937_64 rng(1031);
  for (size_t n : {2u, 5u, 17u, 64u, 65u, 200u, 512u}) {
    for (int trial = 0; trial < 20; ++trial) {
      auto x = testutil::wideRange(rng, n, -1074, -1032);
      if (trial % 4 == 0) x.back() = -oracle::exactSum(std::vector<double>(x.begin(), x.end() - 1));
      const double exact = oracle::exactSum(x) + 0.0;  // the rounded sums give +0 for 0
      ASSERT_TRUE(SameBits(exact, sela_sum_neumaier(x.data(), n))) << n << " " << trial;
      ASSERT_TRUE(SameBits(exact, sela_sum_klein(x.data(), n))) << n << " " << trial;
      ASSERT_TRUE(SameBits(exact, sela_sum_kahan(x.data(), n))) << n << " " << trial;
      ASSERT_TRUE(SameBits(exact, sela_sum_k(x.data(), n, 5))) << n << " " << trial;
    }
  }
}
