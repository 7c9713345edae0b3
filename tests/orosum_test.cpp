// AccSum and NearSum against the exact oracle (faithful and nearest rounding), against
// the transformation written out step by step, on ties and their neighbours, at the
// thresholds of sigma and of the input length; and their building blocks.
#include <algorithm>
#include <limits>

#include "algorithms/binary64.h"
#include "algorithms/certifiedsum.h"
#include "algorithms/orosum.h"
#include "algorithms/orosum_internal.h"
#include "error_state.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();

double acc(const std::vector<double>& x) { return sela_sum_acc(x.data(), x.size()); }
double near(const std::vector<double>& x) { return sela_sum_near(x.data(), x.size()); }

// The transformation read step by step: one left-to-right loop per sweep, nothing fused
// and nothing predicted. No length limit, so it also shows what happens beyond it.
// `length` (default: the size of p) sets M; zeros appended to p would change nothing else,
// as they split into zero high parts and zero residuals.
sela::TransformResult literalTransform(std::vector<double>& p, double rho, int64_t length = -1) {
  const auto n = length < 0 ? static_cast<int64_t>(p.size()) : length;
  double mu = 0.0;
  for (double v : p) mu = std::max(mu, std::fabs(v));
  if (mu == 0.0) return {rho, 0.0};
  const int64_t m = sela::ceilLog2(n + 2);
  double sigma = sela::nextPowerTwo(mu) * sela::pow2i(m);
  if (!std::isfinite(sigma)) return {kInf, 0.0};
  double t = rho;
  for (;;) {
    double tau = 0.0;
    for (double& v : p) {
      const double q = (sigma + v) - sigma;
      v = v - q;
      tau = tau + q;
    }
    const double tNext = t + tau;
    const double phi = (sela::pow2i(2 * m) * 0x1p-53) * sigma;
    if (std::fabs(tNext) >= phi || sigma <= 0x1p-1022) return {tNext, tau - (tNext - t)};
    sigma = sigma * sela::pow2i(m - 53);
    t = tNext;
  }
}

double literalNaive(const std::vector<double>& p) {
  double s = p[0];
  for (size_t i = 1; i < p.size(); ++i) s = s + p[i];
  return s;
}

// AccSum on finite data whose sigma fits: (naive(residuals) + tau2) + tau1.
double literalAcc(const std::vector<double>& x) {
  if (x.size() == 1) return x[0];
  std::vector<double> p = x;
  const sela::TransformResult r = literalTransform(p, 0.0);
  return (literalNaive(p) + r.tau2) + r.tau1;
}

::testing::AssertionResult Faithful(const std::vector<double>& x, double r) {
  const oracle::Bracket b = oracle::exactSumBracket(x.data(), static_cast<int64_t>(x.size()));
  if (oracle::sameBits(r, b.lo) || oracle::sameBits(r, b.hi)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << r << " (" << std::hexfloat << r << "), exact sum in [" << b.lo
                                       << ", " << b.hi << "]" << std::defaultfloat;
}

// Both workers on one data set: NearSum is the oracle's rounding, AccSum faithful and the
// transformation's own value.
void checkBoth(const std::vector<double>& x, const char* what) {
  ASSERT_TRUE(SameBits(oracle::exactSum(x), near(x))) << what << " n=" << x.size();
  const double a = acc(x);
  ASSERT_TRUE(Faithful(x, a)) << what << " n=" << x.size();
  ASSERT_TRUE(SameBits(literalAcc(x), a)) << what << " n=" << x.size();
}

// Four values that add up to exactly zero: a, b and the negated TwoSum of them.
void appendZeroGroup(std::vector<double>& v, double a, double b) {
  const double s = a + b;
  const double z = s - a;
  const double e = (a - (s - z)) + (b - z);
  v.insert(v.end(), {a, b, -s, -e});
}

}  // namespace

// ---- Building blocks ----------------------------------------------------------------

TEST(OroBuildingBlocks, CeilLog2) {
  const std::pair<int64_t, int64_t> cases[] = {
      {-7, 0}, {0, 0}, {1, 0}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {1002, 10}, {1024, 10}, {1025, 11},
      {(int64_t{1} << 26), 26}, {(int64_t{1} << 26) + 1, 27}, {(int64_t{1} << 62) + 1, 63},
      {std::numeric_limits<int64_t>::max(), 63}};
  for (const auto& [a, k] : cases) EXPECT_EQ(k, sela::ceilLog2(a)) << a;
}

TEST(OroBuildingBlocks, Pow2iIsThePowerOfTwo) {
  for (int k = -1022; k <= 1023; ++k) ASSERT_TRUE(SameBits(std::ldexp(1.0, k), sela::pow2i(k))) << k;
}

TEST(OroBuildingBlocks, NextPowerTwo) {
  const std::pair<double, double> cases[] = {
      {0.0, 0.0},           {-0.0, 0.0},          {pow2(-1074), pow2(-1022)}, {-pow2(-1030), pow2(-1022)},
      {pow2(-1022), pow2(-1022)}, {1.5 * pow2(-1022), pow2(-1021)}, {1.0, 1.0}, {-1.0, 1.0},
      {1.5, 2.0},           {3.0, 4.0},           {-(1.0 + pow2(-52)), 2.0}, {pow2(1023), pow2(1023)},
      {1.5 * pow2(1022), pow2(1023)}, {1.5 * pow2(1023), kInf}, {kMax, kInf}, {-kInf, kInf}};
  for (const auto& [x, p] : cases) EXPECT_TRUE(SameBits(p, sela::nextPowerTwo(x))) << x;
  EXPECT_TRUE(SameBits(kInf, sela::nextPowerTwo(std::numeric_limits<double>::quiet_NaN())));
  std::mt19937_64 rng(9);
  for (double x : testutil::wideRange(rng, 4000, -1022, 1022)) {
    int e;
    const double m = std::frexp(std::fabs(x), &e);  // |x| = m 2^e, m in [0.5, 1)
    ASSERT_TRUE(SameBits(m == 0.5 ? std::ldexp(1.0, e - 1) : std::ldexp(1.0, e), sela::nextPowerTwo(x))) << x;
  }
}

TEST(OroBuildingBlocks, NeighboursStepTheBitPattern) {
  EXPECT_TRUE(SameBits(-pow2(-1074), sela::prevFloat(0.0)));
  EXPECT_TRUE(SameBits(-pow2(-1074), sela::prevFloat(-0.0)));
  EXPECT_TRUE(SameBits(0.0, sela::prevFloat(pow2(-1074))));
  EXPECT_TRUE(SameBits(pow2(-1074), sela::nextFloat(-0.0)));
  EXPECT_TRUE(SameBits(pow2(-1074), sela::nextFloat(0.0)));
  EXPECT_TRUE(SameBits(-0.0, sela::nextFloat(-pow2(-1074))));
  EXPECT_TRUE(SameBits(1.0 - pow2(-53), sela::prevFloat(1.0)));
  EXPECT_TRUE(SameBits(-(1.0 + pow2(-52)), sela::prevFloat(-1.0)));
  EXPECT_TRUE(SameBits(pow2(-1022) - pow2(-1074), sela::prevFloat(pow2(-1022))));
  EXPECT_TRUE(SameBits(kInf, sela::nextFloat(kMax)));
  EXPECT_TRUE(SameBits(-kInf, sela::prevFloat(-kMax)));
  std::mt19937_64 rng(10);
  for (double x : testutil::wideRange(rng, 4000, -1074, 1022)) {
    ASSERT_TRUE(SameBits(std::nextafter(x, -kInf), sela::prevFloat(x))) << x;
    ASSERT_TRUE(SameBits(std::nextafter(x, kInf), sela::nextFloat(x))) << x;
  }
}

// The lanes of extractVector give the left-to-right loop's bits whenever sigma is a power
// of two with |p[i]| <= 2^-M sigma and n + 2 <= 2^M.
TEST(OroBuildingBlocks, ExtractVectorIsTheLeftToRightSplit) {
  std::mt19937_64 rng(12);
  for (size_t n : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 1000u, 1003u}) {
    const int64_t m = sela::ceilLog2(static_cast<int64_t>(n) + 2);
    for (int top : {0, -30, 900, -1000}) {
      auto p = testutil::wideRange(rng, n, top - 60, top);
      const double sigma = std::ldexp(1.0, top + 1 + static_cast<int>(m));
      std::vector<double> expected = p;
      double tau = 0.0;
      for (double& v : expected) {
        const double q = (sigma + v) - sigma;
        v = v - q;
        tau = tau + q;
      }
      ASSERT_TRUE(SameBits(tau, sela::extractVector(p.data(), static_cast<int64_t>(n), sigma))) << n;
      for (size_t i = 0; i < n; ++i) ASSERT_TRUE(SameBits(expected[i], p[i])) << n << " at " << i;
    }
  }
}

// The unit of the first split's grid, 2^-53 * nextPowerTwo(max |x|) * 2^M, from
// frexp and ldexp rather than the library's helpers.
double maxAbs(const std::vector<double>& x) {
  double mu = 0.0;
  for (double v : x) mu = std::max(mu, std::fabs(v));
  return mu;
}

double firstGridUnit(const std::vector<double>& x) {
  int e;
  const double m = std::frexp(maxAbs(x), &e);  // mu = m 2^e, m in [0.5, 1)
  const int64_t bigM = sela::ceilLog2(static_cast<int64_t>(x.size()) + 2);
  return std::ldexp(1.0, (m == 0.5 ? e - 1 : e) + static_cast<int>(bigM) - 53);
}

// Offsets on the first split's grid, the condition under which the transformation is
// error-free: 0.75 where the grid is fine enough, small and large multiples of the unit
// of either sign, and multiples far above the data.
std::vector<double> offsetsOnGrid(std::mt19937_64& rng, const std::vector<double>& x) {
  const double unit = firstGridUnit(x);
  std::uniform_int_distribution<int64_t> k(-(int64_t{1} << 52), int64_t{1} << 52);
  std::vector<double> rhos = {0.0, 3.0 * unit, -unit, static_cast<double>(k(rng)) * unit,
                              static_cast<double>(k(rng)) * unit * 0x1p+40};
  if (std::fmod(0.75, unit) == 0.0) rhos.push_back(0.75);
  return rhos;
}

TEST(OroBuildingBlocks, TransformIsErrorFree) {
  std::mt19937_64 rng(13);
  std::mt19937_64 offsets(31);
  for (size_t n : {2u, 10u, 1000u}) {
    for (double cond : {1e5, 1e30}) {
      if (cond < 10.0 * static_cast<double>(n)) continue;
      const std::vector<double> x = testutil::genSum(rng, n, cond);
      for (double rho : offsetsOnGrid(offsets, x)) {
        ASSERT_TRUE(sela::rhoOnFirstGrid(rho, maxAbs(x), static_cast<int64_t>(n))) << std::hexfloat << rho;
        std::vector<double> p = x;
        const sela::TransformResult r = sela::rumpTransform(p.data(), static_cast<int64_t>(n), rho);
        ASSERT_FALSE(sela::errorPending()) << n << " rho " << rho;
        // rho + sum(x) = tau1 + tau2 + sum(residuals), exactly.
        std::vector<double> lhs = x;
        lhs.push_back(rho);
        std::vector<double> rhs = p;
        rhs.push_back(r.tau1);
        rhs.push_back(r.tau2);
        for (double v : rhs) lhs.push_back(-v);
        ASSERT_TRUE(SameBits(0.0, oracle::exactSum(lhs))) << n << " rho " << std::hexfloat << rho;
        // The same steps written out give the same bits.
        std::vector<double> q = x;
        const sela::TransformResult lit = literalTransform(q, rho);
        ASSERT_TRUE(SameBits(lit.tau1, r.tau1));
        ASSERT_TRUE(SameBits(lit.tau2, r.tau2));
        ASSERT_TRUE(q == p);
        // rumpTransformK is faithful for rho + sum(x).
        std::vector<double> withRho = x;
        withRho.push_back(rho);
        std::vector<double> again = x;
        ASSERT_TRUE(Faithful(withRho, sela::rumpTransformK(again.data(), static_cast<int64_t>(n), rho)));
      }
    }
  }
  double none[1] = {0.0};
  const sela::TransformResult empty = sela::rumpTransform(none, 0, -2.5);
  EXPECT_TRUE(SameBits(-2.5, empty.tau1));
  EXPECT_TRUE(SameBits(0.0, empty.tau2));
  double huge[3] = {pow2(1021), 1.0, 1.0};
  EXPECT_TRUE(SameBits(kInf, sela::rumpTransformK(huge, 3, 0.0)));
  EXPECT_FALSE(sela::errorPending());
}

// Off the grid the first sum t + tau may round and nothing recovers the lost bits: with
// [2^60, 1] (M = 2, sigma_0 = 2^62, unit 2^9) and rho = 0.75, 0.75 + 2^60 rounds to
// 2^60, the loop stops, and FastTwoSum(0.75, 2^60) has error 0, so 0.75 is lost. The
// entries refuse such an offset with an internal fault; AccSum's 0.0 is always on it.
TEST(OroBuildingBlocks, TransformNeedsTheOffsetOnTheFirstGrid) {
  const std::vector<double> x = {pow2(60), 1.0};
  std::vector<double> q = x;
  const sela::TransformResult lit = literalTransform(q, 0.75);
  EXPECT_TRUE(SameBits(0.75, oracle::exactSum({x[0], x[1], 0.75, -lit.tau1, -lit.tau2, -q[0], -q[1]})));
  EXPECT_FALSE(sela::rhoOnFirstGrid(0.75, pow2(60), 2));
  EXPECT_FALSE(sela::rhoOnFirstGrid(pow2(9) + pow2(8), pow2(60), 2));
  EXPECT_FALSE(sela::rhoOnFirstGrid(kInf, pow2(60), 2));
  EXPECT_TRUE(sela::rhoOnFirstGrid(3 * pow2(9), pow2(60), 2));
  EXPECT_TRUE(sela::rhoOnFirstGrid(-pow2(300), pow2(60), 2));
  EXPECT_TRUE(sela::rhoOnFirstGrid(0.75, 0.0, 2));         // nothing to split
  EXPECT_TRUE(sela::rhoOnFirstGrid(0.75, pow2(1021), 3));  // sigma_0 overflows
  std::vector<double> p = x;
  const sela::TransformResult r = sela::rumpTransform(p.data(), 2, 0.75);
  EXPECT_EQ(sela::ErrorKind::InternalFault, sela::threadError.kind);
  EXPECT_TRUE(SameBits(0.0, r.tau1));
  EXPECT_TRUE(x == p);  // refused before any split
  sela::clearError();
  EXPECT_TRUE(SameBits(0.0, sela::rumpTransformK(p.data(), 2, 0.75)));
  EXPECT_EQ(sela::ErrorKind::InternalFault, sela::threadError.kind);
  sela::clearError();
  // On the grid the same data transform without loss: 3 * 2^9 + 2^60 + 1.
  const sela::TransformResult ok = sela::rumpTransform(p.data(), 2, 3 * pow2(9));
  EXPECT_FALSE(sela::errorPending());
  EXPECT_TRUE(SameBits(0.0, oracle::exactSum({x[0], x[1], 3 * pow2(9), -ok.tau1, -ok.tau2, -p[0], -p[1]})));
}

TEST(OroBuildingBlocks, ExtractionOutcome) {
  sela::ScratchArray residual;
  sela::ExtractionOutcome out;
  const double one[] = {-0.0};
  sela::rumpExtract(one, 1, residual, out);
  EXPECT_TRUE(out.done);
  EXPECT_TRUE(SameBits(-0.0, out.value));
  EXPECT_EQ(nullptr, residual.get());

  const double nonFinite[] = {1.0, kInf, 2.0};
  sela::rumpExtract(nonFinite, 3, residual, out);
  EXPECT_TRUE(out.done);
  EXPECT_TRUE(SameBits(kInf, out.value));
  EXPECT_EQ(nullptr, residual.get());

  const double topRange[] = {pow2(1021), 1.0, 1.0};
  sela::rumpExtract(topRange, 3, residual, out);
  EXPECT_TRUE(out.done);
  EXPECT_TRUE(SameBits(pow2(1021), out.value));
  EXPECT_TRUE(SameBits(0.0, out.tau1));
  EXPECT_TRUE(SameBits(0.0, out.tau2));

  const double plain[] = {1.0, 1e100, 1.0, -1e100};
  sela::rumpExtract(plain, 4, residual, out);
  EXPECT_FALSE(out.done);
  ASSERT_NE(nullptr, residual.get());
  // tau1 + tau2 + sum(residual) is the exact sum 2.
  std::vector<double> parts(residual.get(), residual.get() + 4);
  parts.push_back(out.tau1);
  parts.push_back(out.tau2);
  EXPECT_TRUE(SameBits(2.0, oracle::exactSum(parts)));
}

// ---- AccSum and NearSum -------------------------------------------------------------

TEST(AccNearSum, NamedCases) {
  for (double x : {-0.0, 0.0, kInf, -kInf, 3.5, -pow2(-1074)}) {
    EXPECT_TRUE(SameBits(x, acc({x}))) << x;
    EXPECT_TRUE(SameBits(x, near({x}))) << x;
  }
  const double negNaN = -std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(SameBits(negNaN, sela_sum_acc(&negNaN, 1)));
  EXPECT_TRUE(SameBits(negNaN, sela_sum_near(&negNaN, 1)));

  const std::vector<double> zeros = {-0.0, -0.0, 0.0, -0.0};
  EXPECT_TRUE(SameBits(0.0, acc(zeros)));
  EXPECT_TRUE(SameBits(0.0, near(zeros)));
  EXPECT_TRUE(SameBits(0.0, acc({-0.0, -0.0})));
  EXPECT_TRUE(SameBits(0.0, near({-0.0, -0.0})));

  struct Case {
    std::vector<double> x;
    double accExpected, nearExpected;
  };
  const Case cases[] = {
      {{1.0, pow2(-53)}, 1.0, 1.0},
      {{1.0 + pow2(-52), pow2(-53)}, 1.0 + pow2(-51), 1.0 + pow2(-51)},
      {{3.0, pow2(-52), pow2(-105)}, 3.0, 3.0 + pow2(-51)},
      {{1.0, 1e100, 1.0, -1e100}, 2.0, 2.0},
      {{0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1}, 1.0, 1.0},
      {{1e307, -1e307, 1.0}, 1.0, 1.0},
      {{pow2(1021), 1.0}, pow2(1021), pow2(1021)},
      {{pow2(1021), 1.0, 1.0}, pow2(1021), pow2(1021)},
      {{1e308, 1e308, -1e308}, 1e308, 1e308},
      {{kMax, kMax}, kInf, kInf},
      {{kMax, kMax, -kMax}, kMax, kMax},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(SameBits(c.accExpected, acc(c.x))) << c.x.size() << " " << c.x[0];
    EXPECT_TRUE(SameBits(c.nearExpected, near(c.x))) << c.x.size() << " " << c.x[0];
  }
}

TEST(AccNearSum, NonFiniteDataIsTheExactSumsAnswer) {
  const double qnan = std::numeric_limits<double>::quiet_NaN();
  const double bigPayload = std::bit_cast<double>(0xFFF8000000000123ULL);  // negative, larger mantissa
  const std::vector<std::vector<double>> sets = {
      {kInf, 1.0}, {1.0, -kInf}, {kInf, -kInf, 1.0}, {qnan, 1.0}, {-qnan, 2.0},
      {qnan, bigPayload, kInf}, {kInf, -kMax, -kMax}, {1.0, 2.0, 3.0, kInf}};
  for (const auto& x : sets) {
    const double exact = sela_sum_exact(x.data(), x.size());
    EXPECT_TRUE(SameBits(exact, acc(x))) << x.size();
    EXPECT_TRUE(SameBits(exact, near(x))) << x.size();
  }
  // A NaN comes out with its sign cleared; +inf and -inf together give a NaN.
  EXPECT_FALSE(std::signbit(near({-qnan, 1.0})));
  EXPECT_TRUE(std::isnan(acc({kInf, -kInf, 1.0})));
}

// [3 2^s, 2^(s-52), 2^(s-105)] is faithful-but-not-nearest for AccSum (3 2^s) while the
// transformation runs; once sigma = nextPowerTwo(max) 2^M (M = 3) would reach 2^1024,
// the exact fallback gives the nearest value instead.
TEST(AccNearSum, SigmaOverflowTakesTheExactSum) {
  for (int s = 0; s <= 1019; ++s) {
    const std::vector<double> x = {3.0 * pow2(s), pow2(s - 52), pow2(s - 105)};
    const double nearest = (3.0 + pow2(-51)) * pow2(s);
    ASSERT_TRUE(SameBits(nearest, near(x))) << s;
    ASSERT_TRUE(SameBits(s < 1019 ? 3.0 * pow2(s) : nearest, acc(x))) << s;
  }
}

TEST(AccNearSum, MatchOracleOnRandomFamilies) {
  std::mt19937_64 rng(20261208);
  for (size_t n : {2u, 3u, 4u, 5u, 7u, 8u, 9u, 31u, 100u, 1000u, 4097u}) {
    checkBoth(testutil::uniform(rng, n), "uniform");
    checkBoth(testutil::wideRange(rng, n, -1074, 1000), "wide");
    checkBoth(testutil::wideRange(rng, n, -40, 40), "moderate");
    checkBoth(testutil::wideRange(rng, n, -1074, -1030), "tiny");
    if (n >= 10) checkBoth(testutil::illConditioned(rng, n, 1e30), "pairs");
  }
}

TEST(AccNearSum, MatchOracleOnPrescribedConditionNumbers) {
  std::mt19937_64 rng(2008);
  for (size_t n : {10u, 100u, 1000u, 3000u}) {
    for (double cond : {1e3, 1e8, 1e16, 1e25, 1e32, 1e40, 1e60, 1e100, 1e200, 1e300}) {
      if (cond < 10.0 * static_cast<double>(n)) continue;
      for (int low : {0, -1000, 700}) {
        if (low + std::log2(cond) > 1000) continue;  // the magnitudes must stay finite
        const auto x = testutil::genSum(rng, n, cond, low);
        const double achieved = testutil::conditionOf(x);
        ASSERT_GT(achieved, cond / 8) << n << " " << cond;
        ASSERT_LT(achieved, cond * 8) << n << " " << cond;
        checkBoth(x, "genSum");
      }
    }
  }
}

// Sums lying exactly on a midpoint between two doubles, hidden among groups that cancel
// exactly, and sums a tiny amount to either side of it.
TEST(AccNearSum, MidpointsRoundToEvenAndNeighboursDecide) {
  std::mt19937_64 rng(77);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 200; ++trial) {
    const int e = static_cast<int>(rng() % 200) - 100;
    // f in (2^e, 2^(e+1)), not a power of two, so both of its neighbours are 2^(e-52) away.
    const double f = std::ldexp(1.0 + std::ldexp(static_cast<double>((rng() >> 12) | 1), -52), e);
    const double halfUlp = std::ldexp(1.0, e - 53) * ((rng() & 1) ? 1.0 : -1.0);
    std::vector<double> x = {f, halfUlp};
    const int groups = 1 + static_cast<int>(rng() % 50);
    for (int g = 0; g < groups; ++g) {
      const int spread = static_cast<int>(rng() % 120) - 60;
      appendZeroGroup(x, std::ldexp(u(rng), e + spread), std::ldexp(u(rng), e + spread - 30));
    }
    std::shuffle(x.begin(), x.end(), rng);
    // The tie: the even neighbour.
    const double lower = halfUlp > 0 ? f : sela::prevFloat(f);
    const double upper = halfUlp > 0 ? sela::nextFloat(f) : f;
    const double even = (testutil::bits(lower) & 1) ? upper : lower;
    ASSERT_TRUE(SameBits(even, oracle::exactSum(x)));
    ASSERT_TRUE(SameBits(even, near(x))) << trial;
    ASSERT_TRUE(Faithful(x, acc(x)));
    // Just above and just below the tie.
    for (double nudge : {std::ldexp(1.0, e - 90), -std::ldexp(1.0, e - 90), pow2(-1074), -pow2(-1074)}) {
      std::vector<double> y = x;
      y.insert(y.begin() + static_cast<long>(rng() % y.size()), nudge);
      ASSERT_TRUE(SameBits(nudge > 0 ? upper : lower, near(y))) << trial << " " << nudge;
      ASSERT_TRUE(Faithful(y, acc(y)));
    }
  }
}

// The transformation's stopping test assumes 2^(2M) 2^-53 <= 1, that is M = ceilLog2(n+2)
// <= 26. One element beyond, the intermediate sums t + tau stop being exact: on the data
// below, the second sweep rounds 3 - 2^-52 to 3 and goes on, and the step-by-step AccSum
// returns 3 although the exact sum 3 - 2^-51 is a double (so not faithful; NearSum has
// the same fault). The workers sum exactly there instead. One element shorter the
// transformation runs, as it shows by returning the faithful but not nearest 3 on
// [3, 2^-52, 2^-105, 0 ...].
TEST(AccNearLongInput, BeyondTheLengthLimitTheExactSumIsTaken) {
  const auto limit = static_cast<size_t>(sela::kMaxTransformLength);
  ASSERT_EQ((size_t{1} << 26) - 2, limit);
  const std::vector<double> losing = {1.0, 1.0, 1.0, -pow2(-52), -pow2(-53), -pow2(-53)};
  const double exact = 3.0 - pow2(-51);
  {
    // The step-by-step transformation with M = 27, the M of limit + 1 elements.
    std::vector<double> p = losing;
    const sela::TransformResult r = literalTransform(p, 0.0, static_cast<int64_t>(limit + 1));
    EXPECT_TRUE(SameBits(3.0, (literalNaive(p) + r.tau2) + r.tau1));
    // With M = 26 it is exact.
    p = losing;
    const sela::TransformResult r26 = literalTransform(p, 0.0, static_cast<int64_t>(limit));
    EXPECT_TRUE(SameBits(exact, (literalNaive(p) + r26.tau2) + r26.tau1));
  }
  std::vector<double> x(limit + 1, 0.0);
  std::copy(losing.begin(), losing.end(), x.begin());
  EXPECT_TRUE(SameBits(exact, sela_sum_acc(x.data(), limit + 1)));
  EXPECT_TRUE(SameBits(exact, sela_sum_near(x.data(), limit + 1)));

  const double faithful[] = {3.0, pow2(-52), pow2(-105), 0.0, 0.0, 0.0};
  std::copy(std::begin(faithful), std::end(faithful), x.begin());
  EXPECT_TRUE(SameBits(3.0, sela_sum_acc(x.data(), limit)));
  EXPECT_TRUE(SameBits(3.0 + pow2(-51), sela_sum_acc(x.data(), limit + 1)));
  EXPECT_TRUE(SameBits(3.0 + pow2(-51), sela_sum_near(x.data(), limit + 1)));
}

// ---- NearSum's certified route and its identity with the exact sum ----------------------

namespace {

// Runs the certified route; when it accepts, its value must be the oracle's rounding.
// Returns whether it accepted.
bool certifiedAgrees(const std::vector<double>& x, const char* what) {
  double r = -1.0;
  if (!sela::certifiedNearest(x.data(), static_cast<int64_t>(x.size()), r)) return false;
  EXPECT_TRUE(SameBits(oracle::exactSum(x), r)) << what << " n=" << x.size();
  return true;
}

}  // namespace

TEST(NearSumCertified, AcceptsOnlyTheNearestAndMostOfTheTimeOnPlainData) {
  std::mt19937_64 rng(4242);
  for (size_t n : {2u, 3u, 4u, 5u, 7u, 8u, 9u, 16u, 17u, 100u, 1000u, 2047u}) {
    int accepted = 0;
    const int trials = 60;
    for (int t = 0; t < trials; ++t) {
      accepted += certifiedAgrees(testutil::uniform(rng, n), "uniform");
      certifiedAgrees(testutil::wideRange(rng, n, -500, 500), "wide");
      certifiedAgrees(testutil::wideRange(rng, n, -1074, -1000), "tiny");
      certifiedAgrees(testutil::wideRange(rng, n, 1000, 1023), "huge");
      if (n >= 10) certifiedAgrees(testutil::genSum(rng, n, 1e12), "genSum");
    }
    // The route is worth taking: plain data is decided by it most of the time. (These
    // values are multiples of 2^-53, so from about n = 30 on a few exact sums fall on a
    // midpoint, which only the exact sum can settle.)
    EXPECT_GE(accepted, trials * 6 / 10) << n;
  }
}

TEST(NearSumCertified, TiesAndSpecialValues) {
  // Exact midpoints: settled to even, or declined.
  double r = 0.0;
  const std::vector<std::vector<double>> ties = {
      {1.0, pow2(-53)}, {1.0 + pow2(-52), pow2(-53)}, {3.0, -pow2(-52)}, {pow2(-1074), pow2(-1074), -pow2(-1074)}};
  for (const auto& x : ties) {
    if (sela::certifiedNearest(x.data(), static_cast<int64_t>(x.size()), r)) {
      EXPECT_TRUE(SameBits(oracle::exactSum(x), r)) << x.size();
    }
  }
  // Few significant bits: the errors are then summed exactly, and the tie goes to even.
  ASSERT_TRUE(sela::certifiedNearest(std::vector<double>{1.0, pow2(-53)}.data(), 2, r));
  EXPECT_TRUE(SameBits(1.0, r));
  ASSERT_TRUE(sela::certifiedNearest(std::vector<double>{1.0 + pow2(-52), pow2(-53)}.data(), 2, r));
  EXPECT_TRUE(SameBits(1.0 + pow2(-51), r));
  // A tie hidden among fine-grained groups that cancel: the first pass can settle it
  // neither by the bound nor by the grain; the refinements of its error terms may, and
  // then must give the even neighbour; else the route declines.
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 100; ++trial) {
    const double f = 1.0 + std::ldexp(static_cast<double>((rng() >> 12) | 1), -52);
    std::vector<double> x = {f, pow2(-53)};
    for (int g = 0; g < 1 + trial % 10; ++g) appendZeroGroup(x, u(rng), std::ldexp(u(rng), -80));
    std::shuffle(x.begin(), x.end(), rng);
    ASSERT_TRUE(SameBits(oracle::exactSum(x), (testutil::bits(f) & 1) ? sela::nextFloat(f) : f));
    certifiedAgrees(x, "tie among fine-grained groups");
    // With coarser groups the errors may be summed exactly: then the even neighbour.
    std::vector<double> y = {f, pow2(-53)};
    for (int g = 0; g < 1 + trial % 10; ++g) appendZeroGroup(y, u(rng), std::ldexp(u(rng), -20 - trial % 30));
    std::shuffle(y.begin(), y.end(), rng);
    certifiedAgrees(y, "coarse tie");
  }
  const double qnan = std::numeric_limits<double>::quiet_NaN();
  for (const auto& x : std::vector<std::vector<double>>{{kInf, 1.0}, {1.0, qnan}, {kMax, kMax}, {-kMax, -kMax, 1.0}}) {
    EXPECT_FALSE(sela::certifiedNearest(x.data(), static_cast<int64_t>(x.size()), r)) << x[0];
  }
  // A zero sum, however reached, is +0.0.
  for (const auto& x : std::vector<std::vector<double>>{{-0.0, -0.0}, {1.0, -1.0}, {-3.5, 1.5, 2.0, -0.0}}) {
    ASSERT_TRUE(sela::certifiedNearest(x.data(), static_cast<int64_t>(x.size()), r));
    EXPECT_TRUE(SameBits(0.0, r));
  }
}

// Sums a hair away from a midpoint, at the short lengths of the certified route: the
// route must decline or give the oracle's side.
TEST(NearSumCertified, NearMidpoints) {
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 2000; ++trial) {
    const int e = static_cast<int>(rng() % 2000) - 1000;
    const double f = std::ldexp(1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52), e);
    std::vector<double> x = {f, std::ldexp((rng() & 1) ? 1.0 : -1.0, e - 53)};
    const int extra = static_cast<int>(rng() % 12);
    for (int k = 0; k < extra; ++k) x.push_back(std::ldexp(u(rng), e - 54 - static_cast<int>(rng() % 60)));
    std::shuffle(x.begin(), x.end(), rng);
    certifiedAgrees(x, "near midpoint");
    ASSERT_TRUE(SameBits(oracle::exactSum(x), near(x))) << trial;
  }
}

// NearSum is the exact sum for two or more elements, special values included; one
// element comes back unchanged.
TEST(NearSumCertified, NearSumIsTheExactSumFromTwoElements) {
  std::mt19937_64 rng(5);
  const double qnan = std::numeric_limits<double>::quiet_NaN();
  for (size_t n : {2u, 3u, 5u, 16u, 17u, 2047u, 2048u, 5000u}) {
    for (int family = 0; family < 4; ++family) {
      auto x = family == 0 ? testutil::uniform(rng, n)
               : family == 1 ? testutil::wideRange(rng, n, -1074, 1023)
               : family == 2 ? testutil::genSum(rng, std::max<size_t>(n, 4), 1e30)
                             : std::vector<double>(n, -0.0);
      ASSERT_TRUE(SameBits(sela_sum_exact(x.data(), x.size()), near(x))) << n << " " << family;
      for (double special : {kInf, -kInf, qnan, kMax}) {
        auto y = x;
        y[rng() % y.size()] = special;
        ASSERT_TRUE(SameBits(sela_sum_exact(y.data(), y.size()), near(y))) << n << " " << family;
      }
    }
  }
  for (double x : {-0.0, 0.0, kInf, -kInf, std::bit_cast<double>(0xFFF8000000000123ULL)}) {
    EXPECT_TRUE(SameBits(x, sela_sum_near(&x, 1)));
  }
}

// Sums that need from one to a few dozen sweeps: the residual vector is recomputed from
// the values for the first eight sweeps and stored from the ninth. AccSum keeps the bits
// of the step-by-step transformation on both sides of that switch.
TEST(AccNearSum, AccSumAcrossTheRecomputedSweeps) {
  std::mt19937_64 rng(808);
  for (size_t n : {10u, 100u, 1000u}) {
    for (double cond = 1e10; cond < 1e250; cond *= 1e15) {
      const auto x = testutil::genSum(rng, n, cond, -600);
      ASSERT_TRUE(std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); }));
      ASSERT_TRUE(SameBits(literalAcc(x), acc(x))) << n << " cond " << cond;
      ASSERT_TRUE(Faithful(x, acc(x))) << n << " cond " << cond;
    }
  }
}

// Several sweeps run in one pass when the first estimate of the sum predicts them, and
// the sweeps after the one that stops are discarded: random condition numbers, so that
// the stop falls anywhere among the sweeps of a pass, against the step-by-step AccSum.
TEST(AccNearSum, AccSumWhereverTheStopFalls) {
  std::mt19937_64 rng(1208);
  std::uniform_real_distribution<double> decades(1.0, 200.0);
  for (size_t n : {2u, 3u, 5u, 17u, 64u, 257u, 3000u}) {
    for (int trial = 0; trial < (n > 1000 ? 10 : 60); ++trial) {
      const double cond = std::pow(10.0, decades(rng));
      const auto x = n < 10 ? testutil::wideRange(rng, n, -600, 400) : testutil::genSum(rng, n, cond, -500);
      ASSERT_TRUE(SameBits(literalAcc(x), acc(x))) << n << " cond " << cond;
    }
  }
}

// ---- AccSum at the bottom of the range --------------------------------------------------

namespace {

// Sums lying on a midpoint of two normal doubles just above 2^-1022 (and an ulp of the
// subnormal grid to either side of it), hidden among pairs that cancel exactly.
std::vector<double> bottomMidpoint(std::mt19937_64& rng, size_t n, int side) {
  const double head = std::ldexp(1.0 + static_cast<double>(rng() % 64) * 0x1p-52, -1020 + static_cast<int>(rng() % 40));
  std::vector<double> v = {head, std::ldexp(1.0, std::ilogb(head) - 53) + side * 0x1p-1074};
  const auto tails = testutil::wideRange(rng, (n - 2) / 2, -1074, -1000);
  for (double t : tails) v.insert(v.end(), {t, -t});
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

}  // namespace

// The sweeps below 2^-950 run on the residual vector times 2^52, from the start (data
// below about 2^-960) or after plain sweeps (ill-conditioned data from higher up, with
// the residuals recomputed from up to eight levels or stored beyond them). Bit for bit the
// step-by-step AccSum, and faithful against the exact sum: all subnormal, subnormal with
// low normal values, normal values just above the floor, mostly subnormal with a few
// large values, results subnormal, zero or on a midpoint, sums cancelling from far above.
TEST(AccSumBottomOfRange, LiftedSweepsKeepThePlainBits) {
  std::mt19937_64 rng(1022);
  for (size_t n : {2u, 3u, 5u, 16u, 33u, 100u, 1000u, 4097u}) {
    std::vector<std::vector<double>> sets = testutil::bottomOfRange(rng, n);
    sets.push_back(testutil::wideRange(rng, n, -1074, -960));
    sets.push_back(testutil::wideRange(rng, n, -1022, -940));
    sets.push_back(testutil::wideRange(rng, n, -1022, -900));
    std::vector<double> mixed = testutil::wideRange(rng, n, -1074, -1023);
    for (size_t i = 0; i < n; i += 4) mixed[i] = testutil::wideRange(rng, 1, -60, 60)[0];
    sets.push_back(mixed);
    for (int side : {-1, 0, 1}) sets.push_back(bottomMidpoint(rng, n, side));
    // AccSum's faithful-but-not-nearest case [3 2^s, 2^(s-52), 2^(s-105)], its later sweeps
    // below 2^-950 (for n > 3 among pairs that cancel exactly).
    for (int e = -969; e <= -920; e += 7) {
      std::vector<double> v = {3.0 * pow2(e), pow2(e - 52), pow2(e - 105)};
      for (double t : testutil::wideRange(rng, (n - 3 + 1) / 2, -1074, -1000)) v.insert(v.end(), {t, -t});
      std::shuffle(v.begin(), v.end(), rng);
      sets.push_back(v);
    }
    if (n >= 10) {
      for (double cond : {1e5, 1e20, 1e40, 1e80, 1e120}) {
        for (int low : {-1060, -1000, -940, -800}) sets.push_back(testutil::genSum(rng, n, cond, low));
      }
    }
    for (const auto& x : sets) {
      ASSERT_TRUE(std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); }));
      const double a = acc(x);
      ASSERT_TRUE(SameBits(literalAcc(x), a)) << "n=" << x.size();
      ASSERT_TRUE(Faithful(x, a)) << "n=" << x.size();
    }
  }
}
