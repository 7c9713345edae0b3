// Norm, mean and centered reductions against GMP: exact integers for the sums of
// squares and products (every double is an integer multiple of 2^-1074, every product
// of two of 2^-2148), 512-bit floats where a square root is needed. The algorithms'
// error bounds are derived next to each check; u = 2^-53 throughout.
#include <gmp.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <limits>

#include "algorithms/exactsum.h"
#include "algorithms/statistical_reductions.h"
#include "c_api.h"
#include "sela.h"
#include "test_util.h"

using namespace sela;
using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = DBL_MAX;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- GMP helpers -------------------------------------------------------------------

struct Z {
  mpz_t v;
  Z() { mpz_init(v); }
  ~Z() { mpz_clear(v); }
  Z(const Z&) = delete;
  Z& operator=(const Z&) = delete;
};

struct F {
  mpf_t v;
  F() { mpf_init2(v, 512); }
  explicit F(double d) : F() { mpf_set_d(v, d); }  // exact: 53 bits fit
  ~F() { mpf_clear(v); }
  F(const F&) = delete;
  F& operator=(const F&) = delete;
};

// out = x * 2^1074, an integer for every finite x.
void scaledInt(mpz_t out, double x) {
  mpz_set_ui(out, 0);
  if (x == 0.0) return;
  int e;
  const double m = std::frexp(std::fabs(x), &e);
  mpz_set_d(out, std::ldexp(m, 53));
  const int shift = e - 53 + 1074;
  if (shift >= 0) {
    mpz_mul_2exp(out, out, static_cast<mp_bitcnt_t>(shift));
  } else {
    mpz_tdiv_q_2exp(out, out, static_cast<mp_bitcnt_t>(-shift));  // the dropped bits are 0
  }
  if (x < 0) mpz_neg(out, out);
}

// Exact sums at scale 2^2148: dot = sum a*b, absDot = sum |a*b|.
void exactProducts(const std::vector<double>& a, const std::vector<double>& b, mpz_t dot, mpz_t absDot) {
  Z p, q, t;
  mpz_set_ui(dot, 0);
  mpz_set_ui(absDot, 0);
  for (size_t i = 0; i < a.size(); ++i) {
    scaledInt(p.v, a[i]);
    scaledInt(q.v, b[i]);
    mpz_mul(t.v, p.v, q.v);
    mpz_add(dot, dot, t.v);
    mpz_abs(t.v, t.v);
    mpz_add(absDot, absDot, t.v);
  }
}

// |computed - truth| <= bound, all in 512-bit floats.
::testing::AssertionResult within(double computed, const mpf_t truth, const mpf_t bound) {
  F diff(computed);
  mpf_sub(diff.v, diff.v, truth);
  mpf_abs(diff.v, diff.v);
  if (mpf_cmp(diff.v, bound) <= 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "computed " << computed << " (" << std::hexfloat << computed
                                       << std::defaultfloat << "), truth " << mpf_get_d(truth) << ", error "
                                       << mpf_get_d(diff.v) << " > bound " << mpf_get_d(bound);
}

// The scaled norm's bound. Every step multiplies the sum accumulated so far by at most
// (1 + u)^5 (a rescale: r rounded and squared, two products, the + 1.0; or the plain
// addition) and each new term carries at most (1 + u)^4 (quotient squared, the addition),
// so ssq is within a factor (1 + u)^(5n) of the exact scaled sum of squares; the square
// root halves that, and sqrt and the final product add one rounding each:
//   |norm - N| <= ((5/2) n + 3) u N  (first order; a factor 1.01 covers the rest),
// plus half the smallest subnormal when the final product rounds into the subnormal range.
// Quotients that underflow are below 2^-1022 against an ssq of at least 1: inside the slack.
::testing::AssertionResult normWithinBound(const std::vector<double>& x) {
  const double r = sela_norm_scaled(x.data(), x.size());
  Z s, a, t;
  for (double v : x) {
    scaledInt(a.v, v);
    mpz_mul(t.v, a.v, a.v);
    mpz_add(s.v, s.v, t.v);
  }
  F truth, bound, tiny;
  mpf_set_z(truth.v, s.v);
  mpf_sqrt(truth.v, truth.v);
  mpf_div_2exp(truth.v, truth.v, 1074);
  mpf_set_d(bound.v, (2.5 * static_cast<double>(x.size()) + 3.0) * 1.01);
  mpf_mul(bound.v, bound.v, truth.v);
  mpf_div_2exp(bound.v, bound.v, 53);
  mpf_set_d(tiny.v, pow2(-1074));
  mpf_div_2exp(tiny.v, tiny.v, 1);
  mpf_add(bound.v, bound.v, tiny.v);
  return within(r, truth.v, bound.v);
}

std::vector<double> minus(const std::vector<double>& x, double c) {
  std::vector<double> d(x.size());
  for (size_t i = 0; i < x.size(); ++i) d[i] = x[i] - c;  // the rounded centering
  return d;
}

double uniformIn(std::mt19937_64& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

}  // namespace

// ---- Scaled norm ---------------------------------------------------------------------

TEST(ScaledNorm, NamedCases) {
  struct Case {
    std::vector<double> x;
    double expected;
  };
  const Case cases[] = {
      {{0.0, -0.0}, 0.0},
      {{3.0, 4.0}, 5.0},
      {{-3.0, 4.0}, 5.0},
      {{1e300, 1e300}, std::sqrt(2.0) * 1e300},
      {{1e-300, 1e-300}, std::sqrt(2.0) * 1e-300},
      {{4.0, kNaN}, kNaN},
      {{1.0, -kInf}, kInf},
      {{kNaN, kInf}, kNaN},
      {{-kInf, kNaN}, kInf},
      {{-0.0, 0.0, -2.0, 0.0}, 2.0},
  };
  for (const Case& c : cases) EXPECT_TRUE(SameBits(c.expected, sela_norm_scaled(c.x.data(), c.x.size())));
  EXPECT_TRUE(SameBits(0.0, sela_norm_scaled(nullptr, 0)));
  EXPECT_TRUE(SameBits(0.0, scaledEuclideanNorm(nullptr, -3)));
}

TEST(ScaledNorm, RescaleRoundsInItsOrder) {
  // After 14 and 4, ssq = 1 + (4/14)^2; 20 then rescales it as (ssq * r) * r + 1 with
  // r = 14/20. Squaring r first would give 0x1.8bd171a07e38bp+4.
  const double x[] = {14.0, 4.0, 20.0};
  EXPECT_TRUE(SameBits(0x1.8bd171a07e38ap+4, sela_norm_scaled(x, 3)));
}

// The documented steps, literally: every element is divided and squared, however small.
double literalNorm(const std::vector<double>& x) {
  double scale = 0.0, ssq = 1.0;
  for (double v : x) {
    const double a = std::fabs(v);
    if (std::isnan(a)) return quietNaN();
    if (a == kInf) return kInf;
    if (v == 0.0) continue;
    if (a > scale) {
      const double r = scale / a;
      ssq = (ssq * r) * r + 1.0;
      scale = a;
    } else {
      const double q = v / scale;
      ssq = q * q + ssq;
    }
  }
  return scale == 0.0 ? 0.0 : std::sqrt(ssq) * scale;
}

TEST(ScaledNorm, NegligibleElementsChangeNoBit) {
  // The library skips the division and square of elements below scale * 2^-511 (their
  // squares cannot move ssq >= 1); the result must equal the literal loop's to the bit,
  // also for elements right at that threshold and scales around 2^-511.
  std::mt19937_64 rng(45);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = 1 + static_cast<size_t>(trial % 50);
    auto x = testutil::wideRange(rng, n, -1074, 1023);
    const double s = std::ldexp(1.0 + uniformIn(rng, 0, 1), static_cast<int>(uniformIn(rng, -560, 1020)));
    x.insert(x.begin() + static_cast<long>(rng() % (n + 1)), s);
    for (int k = -3; k <= 3; ++k) x.push_back(std::nextafter(s * 0x1p-511, k < 0 ? 0.0 : kInf) * (1.0 + k * 0x1p-52));
    for (int k = 0; k < 4; ++k) x.push_back(s * std::ldexp(uniformIn(rng, -1, 1), -20 - 30 * k));
    std::shuffle(x.begin() + 1, x.end(), rng);
    ASSERT_TRUE(SameBits(literalNorm(x), sela_norm_scaled(x.data(), x.size()))) << trial;
  }
}

TEST(ScaledNorm, FirstNonFiniteElementDecides) {
  // Whatever NaN comes first, the result is the one quiet NaN; an infinity gives +inf.
  const double payloadNaN = fromBits(0xFFF0000000000123ULL);  // negative, signalling payload
  const double a[] = {1.0, payloadNaN, -kInf};
  EXPECT_EQ(kQuietNaNBits, testutil::bits(sela_norm_scaled(a, 3)));
  const double b[] = {kMax, -kInf, payloadNaN};
  EXPECT_TRUE(SameBits(kInf, sela_norm_scaled(b, 3)));
}

TEST(ScaledNorm, SingleElementIsItsMagnitude) {
  // ssq stays exactly 1, so the result is |x| itself, subnormal or near DBL_MAX.
  std::mt19937_64 rng(41);
  auto v = testutil::wideRange(rng, 2000, -1074, 1023);
  v.push_back(kMax);
  v.push_back(-pow2(-1074));
  for (double x : v) ASSERT_TRUE(SameBits(std::fabs(x), sela_norm_scaled(&x, 1))) << x;
}

TEST(ScaledNorm, NoOverflowNearTheTopOfTheRange) {
  std::mt19937_64 rng(42);
  for (size_t n : {2u, 3u, 5u, 8u}) {
    for (int trial = 0; trial < 200; ++trial) {
      const auto x = testutil::wideRange(rng, n, 1000, 1021);  // norm < sqrt(8) * 2^1022 < 2^1024
      ASSERT_TRUE(normWithinBound(x)) << n;
    }
  }
  for (size_t n : {100u, 1000u}) {
    const auto x = testutil::wideRange(rng, n, 990, 1015);
    double naive = 0.0;
    for (double v : x) naive += v * v;
    ASSERT_EQ(kInf, naive);  // the data really overflows a plain sum of squares
    ASSERT_TRUE(normWithinBound(x)) << n;
  }
  // Exactly representable: sqrt(DBL_MAX^2 / 4 * 4) for four copies of DBL_MAX / 2.
  const double q[] = {kMax / 2, -kMax / 2, kMax / 2, kMax / 2};
  EXPECT_TRUE(SameBits(kMax, sela_norm_scaled(q, 4)));
  const double over[] = {kMax, kMax};
  EXPECT_TRUE(SameBits(kInf, sela_norm_scaled(over, 2)));  // the true norm is beyond the range
}

TEST(ScaledNorm, NoUnderflowNearTheBottomOfTheRange) {
  std::mt19937_64 rng(43);
  for (size_t n : {2u, 3u, 5u, 8u, 100u, 1000u}) {
    for (int trial = 0; trial < (n < 10 ? 200 : 2); ++trial) {
      const auto x = testutil::wideRange(rng, n, -1074, -1000);  // squares all underflow to 0
      ASSERT_TRUE(normWithinBound(x)) << n;
    }
  }
  const double sub[] = {pow2(-1074), pow2(-1074), pow2(-1074), pow2(-1074)};
  EXPECT_TRUE(SameBits(pow2(-1073), sela_norm_scaled(sub, 4)));
}

TEST(ScaledNorm, WholeRangeAndRescalingOrders) {
  std::mt19937_64 rng(44);
  for (size_t n : {2u, 4u, 7u, 33u, 1000u}) {
    for (int trial = 0; trial < 50; ++trial) {
      auto x = testutil::wideRange(rng, n, -1074, 1015);
      ASSERT_TRUE(normWithinBound(x)) << n;
      // Increasing magnitudes rescale at every element; decreasing ones never do.
      std::sort(x.begin(), x.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
      ASSERT_TRUE(normWithinBound(x)) << n;
      std::reverse(x.begin(), x.end());
      ASSERT_TRUE(normWithinBound(x)) << n;
    }
  }
  const auto u = testutil::uniform(rng, 100000);
  EXPECT_TRUE(normWithinBound(u));
}

// ---- Scaled mean ---------------------------------------------------------------------

TEST(ScaledMean, NamedCases) {
  const double a[] = {1, 2, 3, 4};
  EXPECT_TRUE(SameBits(2.5, sela_mean_scaled(a, 4)));
  const double b[] = {kMax, kMax};
  EXPECT_TRUE(SameBits(kMax, sela_mean_scaled(b, 2)));
  const double c[] = {kMax, kMax, -kMax};
  EXPECT_TRUE(SameBits(kMax / 3, sela_mean_scaled(c, 3)));
  const double d[] = {1, kNaN};
  EXPECT_TRUE(std::isnan(sela_mean_scaled(d, 2)));
  const double e[] = {kInf, 1};
  EXPECT_TRUE(SameBits(kInf, sela_mean_scaled(e, 2)));
  const double f[] = {kInf, -kInf};
  EXPECT_TRUE(std::isnan(sela_mean_scaled(f, 2)));
  const double g[] = {-kInf, 5};
  EXPECT_TRUE(SameBits(-kInf, sela_mean_scaled(g, 2)));
  // An infinity beside a finite overflow of the other sign stays that infinity.
  const double h[] = {-kInf, kMax, kMax};
  EXPECT_TRUE(SameBits(-kInf, sela_mean_scaled(h, 3)));
  // The exact sum's NaN (largest payload, sign cleared) passes through the division.
  const double p[] = {fromBits(0xFFF8000000000123ULL), 1.0, kInf};
  EXPECT_EQ(0x7FF8000000000123ULL, testutil::bits(sela_mean_scaled(p, 3)));
  EXPECT_EQ(kQuietNaNBits, testutil::bits(sela_mean_scaled(nullptr, 0)));
}

TEST(ScaledMean, SingleElementIsItself) {
  std::mt19937_64 rng(51);
  for (double x : testutil::wideRange(rng, 1000)) ASSERT_TRUE(SameBits(x, sela_mean_scaled(&x, 1)));
}

TEST(ScaledMean, ExactSumDividedOnce) {
  std::mt19937_64 rng(52);
  for (size_t n : {1u, 2u, 3u, 7u, 1000u, 2047u, 2048u, 4095u, 10000u}) {
    for (const auto& x : {testutil::uniform(rng, n), testutil::wideRange(rng, n, -1074, 1000),
                          testutil::illConditioned(rng, n, 1e30)}) {
      const double expected = oracle::exactSum(x) / static_cast<double>(n);
      ASSERT_TRUE(SameBits(expected, sela_mean_scaled(x.data(), n))) << n;
    }
  }
}

TEST(ScaledMean, OverflowingSumTakesTheQuotientPath) {
  // Runs of same-sign values near DBL_MAX, across the carry normalizations at 2047 and
  // 4093 deposits: the exact sum overflows, so the mean is the correctly rounded sum of
  // the rounded quotients x[j] / n.
  std::mt19937_64 rng(53);
  for (size_t n : {2u, 3u, 10u, 2047u, 2048u, 2049u, 4094u, 4095u, 6000u}) {
    std::vector<double> x(n);
    for (auto& v : x) v = kMax * uniformIn(rng, 0.75, 1.0);
    if (n >= 10) x[n / 2] = -x[n / 2] * 0.5;  // one value of the other sign
    ASSERT_EQ(kInf, oracle::exactSum(x));
    const double d = static_cast<double>(n);
    std::vector<double> q(n);
    for (size_t j = 0; j < n; ++j) q[j] = x[j] / d;
    const double r = sela_mean_scaled(x.data(), n);
    ASSERT_TRUE(SameBits(oracle::exactSum(q), r)) << n;
    ASSERT_TRUE(std::isfinite(r));
  }
  std::vector<double> neg(4096, -kMax);  // exact quotients -DBL_MAX / 2^12
  EXPECT_TRUE(SameBits(-kMax, sela_mean_scaled(neg.data(), neg.size())));
}

TEST(ScaledMean, EmptyInputIsAValueError) {
  clearError();
  const double x[] = {1.0};
  (void)scaledMean(x, 0);
  ASSERT_EQ(ErrorKind::ValueError, threadError.kind);
  EXPECT_STREQ("mean requires at least one value", threadError.message);
  clearError();
  // The frame of sela_mean_scaled turns it into the quiet NaN and clears it.
  const double r =
      exportFrame<AfterWorker::ValueErrorGivesNaN>(1, quietNaN(), [&](int64_t) { return scaledMean(x, 0); });
  EXPECT_EQ(kQuietNaNBits, testutil::bits(r));
  EXPECT_FALSE(errorPending());
}

// ---- Centered sum of squares and cross product ---------------------------------------

TEST(CenteredSums, NamedCases) {
  const double x[] = {1, 2, 3}, y[] = {2, 4, 6};
  EXPECT_TRUE(SameBits(2.0, sela_centered_sum_squares(x, 3, 2.0)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_sum_squares(x, 1, 1.0)));
  EXPECT_TRUE(SameBits(4.0, sela_centered_cross_product(x, y, 3, 2.0, 4.0)));
  // Each center belongs to its own array: (x - 4)(y - 2) = 0 - 4 - 4.
  EXPECT_TRUE(SameBits(-8.0, sela_centered_cross_product(x, y, 3, 4.0, 2.0)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_sum_squares(nullptr, 0, 1.0)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_cross_product(nullptr, nullptr, 0, 1.0, 2.0)));
}

TEST(CenteredSums, RoundedCenteringExactAccumulation) {
  std::mt19937_64 rng(61);
  for (size_t n : {1u, 2u, 5u, 100u, 2047u, 2048u, 5000u}) {
    const auto x = testutil::wideRange(rng, n, -300, 300);
    const auto y = testutil::wideRange(rng, n, -300, 300);
    // Centers off the data's grid, so most differences are rounded.
    const double cx = x[0] * 0.7 + 1e-3, cy = std::ldexp(uniformIn(rng, -1, 1), 250);
    const auto dx = minus(x, cx), dy = minus(y, cy);
    ASSERT_TRUE(SameBits(oracle::exactDot(dx.data(), dx.data(), n), sela_centered_sum_squares(x.data(), n, cx))) << n;
    ASSERT_TRUE(
        SameBits(oracle::exactDot(dx.data(), dy.data(), n), sela_centered_cross_product(x.data(), y.data(), n, cx, cy)))
        << n;
    const auto sx = minus(x, cy), sy = minus(y, cx);
    ASSERT_TRUE(
        SameBits(oracle::exactDot(sx.data(), sy.data(), n), sela_centered_cross_product(x.data(), y.data(), n, cy, cx)))
        << n;
  }
  // Cancellation: data tightly around its center, summed exactly.
  const auto u = testutil::uniform(rng, 10000);
  std::vector<double> x(u.size());
  for (size_t i = 0; i < u.size(); ++i) x[i] = 1e6 + u[i];
  const auto d = minus(x, 1e6);
  EXPECT_TRUE(SameBits(oracle::exactDot(d.data(), d.data(), 10000), sela_centered_sum_squares(x.data(), 10000, 1e6)));
}

TEST(CenteredSums, SpecialValuesGoThroughTheExactDot) {
  const double over[] = {1e308, 1.0};
  EXPECT_TRUE(SameBits(kInf, sela_centered_sum_squares(over, 2, -1e308)));  // 2e308 overflows the centering
  const double inf[] = {kInf}, zero[] = {0.0}, nan[] = {2.0, kNaN};
  EXPECT_TRUE(SameBits(kInf, sela_centered_cross_product(inf, inf, 1, 0.0, 0.0)));
  EXPECT_TRUE(std::isnan(sela_centered_cross_product(inf, zero, 1, 0.0, 0.0)));  // inf * 0
  EXPECT_TRUE(std::isnan(sela_centered_sum_squares(nan, 2, 1.0)));
  EXPECT_TRUE(std::isnan(sela_centered_sum_squares(over, 2, kNaN)));
  const double big[] = {kMax, kMax};
  EXPECT_TRUE(SameBits(kInf, sela_centered_sum_squares(big, 2, 0.0)));  // finite beyond the range
}

TEST(CenteredSums, ShortYIsAnInternalFaultNotARead) {
  clearError();
  const double x[] = {1, 2, 3}, y[] = {1};
  EXPECT_TRUE(SameBits(0.0, centeredCrossProduct(x, 3, y, 1, 0.0, 0.0)));
  EXPECT_EQ(ErrorKind::InternalFault, threadError.kind);
  clearError();
  // A longer y is allowed: only the first nx pairs count.
  const double yy[] = {1, 1, 3, 5};
  EXPECT_TRUE(SameBits(2.0, centeredCrossProduct(x, 3, yy, 4, 2.0, 2.0)));
  EXPECT_FALSE(errorPending());
}

// ---- Normalized centered vectors -------------------------------------------------------

TEST(NormalizedCentered, ScaleAndValues) {
  {
    const double x[] = {1e308, -1e308};
    const auto r = normalizedCentered(x, 2, -1e308);  // 1e308 - (-1e308) overflows
    EXPECT_TRUE(SameBits(1e308, r.scale));
    EXPECT_TRUE(SameBits(2.0, r.values[0]));
    EXPECT_TRUE(SameBits(0.0, r.values[1]));
  }
  {
    const double x[] = {kNaN, -3.0, 0.5};
    const auto r = normalizedCentered(x, 3, 1.0);  // a NaN element counts as |c|
    EXPECT_TRUE(SameBits(3.0, r.scale));
    EXPECT_TRUE(std::isnan(r.values[0]));
    EXPECT_TRUE(SameBits(-4.0 / 3.0, r.values[1]));
    const auto c = normalizedCentered(x, 3, -8.0);
    EXPECT_TRUE(SameBits(8.0, c.scale));
    const auto n = normalizedCentered(x, 3, kNaN);  // a NaN center is left out
    EXPECT_TRUE(SameBits(3.0, n.scale));
    EXPECT_TRUE(std::isnan(n.values[1]));
  }
  {
    const double x[] = {0.0, -0.0, kNaN};
    const auto r = normalizedCentered(x, 3, kNaN);
    EXPECT_TRUE(SameBits(0.0, r.scale));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(SameBits(0.0, r.values[i]));  // zero scale: zeros
  }
  {
    const double x[] = {1.0, kInf};
    const auto r = normalizedCentered(x, 2, 0.0);
    EXPECT_EQ(kInf, r.scale);
    EXPECT_EQ(nullptr, r.values.get());
    const auto c = normalizedCentered(x, 1, -kInf);
    EXPECT_EQ(kInf, c.scale);
    EXPECT_EQ(nullptr, c.values.get());
  }
  EXPECT_TRUE(SameBits(0.0, normalizedCentered(nullptr, 0, 5.0).scale));
  // Finite data always lands in [-2, 2].
  std::mt19937_64 rng(71);
  const auto x = testutil::wideRange(rng, 1000, -1074, 1023);
  for (double c : {x[3], -x[7], kMax, -kMax, 0.0}) {
    const auto r = normalizedCentered(x.data(), 1000, c);
    for (int i = 0; i < 1000; ++i) ASSERT_LE(std::fabs(r.values[i]), 2.0);
  }
}

// ---- Cosine similarity -----------------------------------------------------------------

TEST(CenteredCosine, NamedCases) {
  const double x[] = {1, 2, 3}, y[] = {2, 4, 6}, z[] = {6, 4, 2};
  EXPECT_TRUE(SameBits(1.0, sela_centered_cosine_similarity(x, y, 3, 2, 4)));
  EXPECT_TRUE(SameBits(-1.0, sela_centered_cosine_similarity(x, z, 3, 2, 4)));
  const double five[] = {5, 5, 5}, zeros[] = {0, 0};
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(five, x, 3, 5, 2)));   // zero norm
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(zeros, y, 2, 0, 4)));  // zero scale
  const double withInf[] = {1, kInf, 3}, withNaN[] = {1, kNaN, 3};
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(withInf, y, 3, 2, 4)));
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(x, y, 3, 2, -kInf)));
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(withNaN, y, 3, 2, 4)));
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(x, y, 3, kNaN, 4)));
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(x, zeros, 2, 2, kNaN)));
  EXPECT_EQ(kQuietNaNBits, testutil::bits(sela_centered_cosine_similarity(nullptr, nullptr, 0, 1, 2)));
  // Centering that overflows stays finite: centered x = [2e308, 0], y = [1, 0].
  const double big[] = {1e308, -1e308}, e0[] = {1, 0};
  EXPECT_TRUE(SameBits(1.0, sela_centered_cosine_similarity(big, e0, 2, -1e308, 0)));
}

// r = (p / nu) / nv. From the normalization u_i = (dx_i / sx)(1 + a_i), |a_i| <= u: the
// exact dot of u and v is (sum dx dy + E) / (sx sy) with |E| <= 2.0001 u A, A = sum |dx dy|,
// then rounded once; each norm is ||dx|| / sx within (1 + u)(1 + ((5/2) n + 3) u), and the
// two divisions round once each. So with C = sum dx dy / (||dx|| ||dy||):
//   |r - C| <= 3 u A / (||dx|| ||dy||) + (5 n + 12) u |C|,
// and the clamp to [-1, 1] only moves r towards C. Data stay in a range where no
// normalized value or product comes near the underflow threshold.
TEST(CenteredCosine, WithinTheBoundOfTheExactCosine) {
  std::mt19937_64 rng(81);
  for (size_t n : {2u, 3u, 10u, 100u, 1000u}) {
    for (int trial = 0; trial < 20; ++trial) {
      const auto x = testutil::wideRange(rng, n, -200, 200);
      auto y = testutil::wideRange(rng, n, -200, 200);
      if (trial % 2) {
        for (size_t i = 0; i < n; ++i) y[i] = 3.0 * x[i] + y[i] * 1e-6;  // strongly correlated
      }
      const double cx = x[1] * 0.3, cy = y[0] * -0.7;
      const double r = sela_centered_cosine_similarity(x.data(), y.data(), n, cx, cy);
      const auto dx = minus(x, cx), dy = minus(y, cy);
      Z dot, absDot, dxx, dyy, tmp;
      exactProducts(dx, dy, dot.v, absDot.v);
      exactProducts(dx, dx, dxx.v, tmp.v);
      exactProducts(dy, dy, dyy.v, tmp.v);
      F den, truth, bound, term;
      mpz_mul(tmp.v, dxx.v, dyy.v);
      mpf_set_z(den.v, tmp.v);
      mpf_sqrt(den.v, den.v);
      mpf_set_z(truth.v, dot.v);
      mpf_div(truth.v, truth.v, den.v);
      mpf_set_z(bound.v, absDot.v);
      mpf_div(bound.v, bound.v, den.v);
      mpf_mul_ui(bound.v, bound.v, 3);
      mpf_abs(term.v, truth.v);
      mpf_mul_ui(term.v, term.v, 5 * n + 12);
      mpf_add(bound.v, bound.v, term.v);
      mpf_div_2exp(bound.v, bound.v, 53);
      ASSERT_TRUE(within(r, truth.v, bound.v)) << n << " trial " << trial;
      ASSERT_LE(std::fabs(r), 1.0);
    }
  }
}

TEST(CenteredCosine, ClampCatchesRoundingPastOne) {
  // y = x with the same center: the unclamped ratio lands on either side of 1 by rounding.
  std::mt19937_64 rng(82);
  int above = 0, below = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = 3 + static_cast<size_t>(trial % 40);
    const auto x = testutil::wideRange(rng, n, -20, 20);
    const double c = x[0] * 0.5;
    const auto u = normalizedCentered(x.data(), static_cast<int64_t>(n), c);
    const int64_t len = static_cast<int64_t>(n);
    const double nu = scaledEuclideanNorm(u.values.get(), len);
    const double raw = (superDot(u.values.get(), len, u.values.get(), len) / nu) / nu;
    const double r = sela_centered_cosine_similarity(x.data(), x.data(), n, c, c);
    std::vector<double> mx(n);
    for (size_t i = 0; i < n; ++i) mx[i] = -x[i];
    const double rn = sela_centered_cosine_similarity(x.data(), mx.data(), n, c, -c);
    if (raw > 1.0) {
      ++above;
      ASSERT_TRUE(SameBits(1.0, r));
      ASSERT_TRUE(SameBits(-1.0, rn));
    } else {
      ++below;
      ASSERT_TRUE(SameBits(raw, r));
      ASSERT_TRUE(SameBits(-raw, rn));
    }
  }
  EXPECT_GT(above, 0);  // the clamp was needed at least once
  EXPECT_GT(below, 0);
}

// ---- Projection coefficient -------------------------------------------------------------

TEST(CenteredProjection, NamedCases) {
  const double x[] = {1, 2, 3}, y[] = {2, 4, 6}, fours[] = {4, 4, 4};
  EXPECT_TRUE(SameBits(2.0, sela_centered_projection_coefficient(x, y, 3, 2, 4)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_projection_coefficient(x, fours, 3, 2, 4)));  // y at its center
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(fours, y, 3, 4, 4)));     // x at its center
  const double withNaN[] = {1, kNaN, 3}, withInf[] = {1, 2, -kInf};
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(withNaN, y, 3, 2, 4)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, withNaN, 3, 2, 4)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, withInf, 3, 2, 4)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, y, 3, kInf, 4)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, y, 3, 2, kNaN)));
  EXPECT_EQ(kQuietNaNBits, testutil::bits(sela_centered_projection_coefficient(nullptr, nullptr, 0, 1, 2)));
}

TEST(CenteredProjection, MantissaProductsFormedBeforeTheDivision) {
  // sx = 7, sy = 8, cross = 32/56, self = 142/49: (ym * cm) / (xm * sm) gives the
  // correctly rounded 32/142 here; dividing by xm and sm one after the other, or forming
  // cm / sm first, ends one unit lower (0x1.cd85689039b0ap-3).
  const double x[] = {3, 4, 7}, y[] = {-4, 8, -4};
  EXPECT_TRUE(SameBits(0x1.cd85689039b0bp-3, sela_centered_projection_coefficient(x, y, 3, -2, -2)));
}

TEST(CenteredProjection, NaNHiddenByAVanishingYStillGivesNaN) {
  // y's scale is 0 (every non-NaN y and its center are zero), so its normalized values are
  // zeros and the cross product is 0; a NaN in y or in cy must still come out as NaN.
  const double x[] = {1, 2, 3};
  const double zeros[] = {0.0, -0.0, 0.0}, nans[] = {kNaN, kNaN, kNaN}, mixed[] = {0.0, kNaN, -0.0};
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, zeros, 3, 2, kNaN)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, nans, 3, 2, 0.0)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, nans, 3, 2, kNaN)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, mixed, 3, 2, -0.0)));
  // Without a NaN the vanishing y still gives +0.0.
  EXPECT_TRUE(SameBits(0.0, sela_centered_projection_coefficient(x, zeros, 3, 2, 0.0)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_projection_coefficient(x, zeros, 3, 2, -0.0)));
  // The cosine similarity already answers NaN there (zero norm).
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(x, zeros, 3, 2, kNaN)));
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(x, nans, 3, 2, 0.0)));
}

TEST(CenteredProjection, StaysFiniteWhereTheCenteringOverflows) {
  // Centered x = [2e308, 0] is not representable, centered y = [DBL_MAX, -DBL_MAX];
  // beta = 2e308 * DBL_MAX / (2e308)^2 = (DBL_MAX / 1e308) / 2, rounded once.
  const double x[] = {1e308, -1e308}, y[] = {kMax, -kMax};
  EXPECT_TRUE(SameBits((kMax / 1e308) * 0.5, sela_centered_projection_coefficient(x, y, 2, -1e308, 0.0)));
  EXPECT_TRUE(SameBits(1.0, sela_centered_projection_coefficient(x, x, 2, -1e308, -1e308)));
}

TEST(CenteredProjection, PowerOfTwoMultiplesGiveTheExactSlope) {
  // y = 2^k x and cy = 2^k cx scale every centered value exactly, so u = v, cross = self
  // and beta = 2^k, although sum (x - cx)^2 alone overflows (k < 0) or underflows (k > 0).
  std::mt19937_64 rng(91);
  for (int k : {1000, -1000, 1, -3, 600}) {
    const int lo = k > 0 ? -900 : 880, hi = lo + 20;
    for (size_t n : {2u, 17u, 500u}) {
      const auto x = testutil::wideRange(rng, n, lo, hi);
      std::vector<double> y(n);
      for (size_t i = 0; i < n; ++i) y[i] = std::ldexp(x[i], k);
      const double cx = x[0] * 0.25;
      ASSERT_TRUE(SameBits(pow2(k), sela_centered_projection_coefficient(x.data(), y.data(), n, cx, std::ldexp(cx, k))))
          << k << " " << n;
    }
  }
}

// beta^ = (sy cross) / (sx self) with cross = fl(sum u v), self = fl(sum u^2) and three
// roundings on the mantissas. As for the cosine, sum u v = (N + E) / (sx sy) with
// |E| <= 2.0001 u A, and self = D / sx^2 within a factor (1 + u)^3, so for N = sum dx dy,
// D = sum dx^2, A = sum |dx dy|:  |beta^ - N / D| <= 3 u A / D + 8 u |N / D|.
// Checked exactly in rationals: 2^53 |beta^ D - N| <= 3 A + 8 |N|.
TEST(CenteredProjection, WithinTheBoundOfTheExactSlope) {
  std::mt19937_64 rng(92);
  for (size_t n : {2u, 3u, 10u, 100u, 2500u}) {
    for (int trial = 0; trial < 20; ++trial) {
      const auto x = testutil::wideRange(rng, n, -200, 200);
      auto y = testutil::wideRange(rng, n, -200, 200);
      if (trial % 2) {
        for (size_t i = 0; i < n; ++i) y[i] = -0.37 * x[i] + y[i] * 1e-9;
      }
      const double cx = x[1] * 0.3, cy = y[0] * -0.7;
      const double b = sela_centered_projection_coefficient(x.data(), y.data(), n, cx, cy);
      ASSERT_TRUE(std::isfinite(b));
      const auto dx = minus(x, cx), dy = minus(y, cy);
      Z num, absDot, den, tmp;
      exactProducts(dx, dy, num.v, absDot.v);
      exactProducts(dx, dx, den.v, tmp.v);
      // beta^ = m 2^e exactly, m an integer.
      int e;
      const double m = std::frexp(b, &e);
      Z bm, lhs, rhs;
      mpz_set_d(bm.v, std::ldexp(m, 53));
      e -= 53;
      // lhs = |m 2^e D - N| * 2^53, compared with rhs = (3 A + 8 |N|), both times 2^max(0,-e).
      mpz_mul(lhs.v, bm.v, den.v);
      Z nScaled;
      mpz_set(nScaled.v, num.v);
      if (e >= 0) {
        mpz_mul_2exp(lhs.v, lhs.v, static_cast<mp_bitcnt_t>(e));
      } else {
        mpz_mul_2exp(nScaled.v, nScaled.v, static_cast<mp_bitcnt_t>(-e));
      }
      mpz_sub(lhs.v, lhs.v, nScaled.v);
      mpz_abs(lhs.v, lhs.v);
      mpz_mul_2exp(lhs.v, lhs.v, 53);
      mpz_abs(tmp.v, num.v);
      mpz_mul_ui(tmp.v, tmp.v, 8);
      mpz_mul_ui(rhs.v, absDot.v, 3);
      mpz_add(rhs.v, rhs.v, tmp.v);
      if (e < 0) mpz_mul_2exp(rhs.v, rhs.v, static_cast<mp_bitcnt_t>(-e));
      ASSERT_LE(mpz_cmp(lhs.v, rhs.v), 0) << n << " trial " << trial << " beta " << b;
    }
  }
}

// ---- Value errors ----------------------------------------------------------------------

TEST(CenteredValueErrors, UnequalOrZeroLengths) {
  const double x[] = {1, 2, 3}, y[] = {3, 1, 2};
  using Worker = double (*)(const double*, int64_t, const double*, int64_t, double, double);
  for (Worker w : {Worker(centeredCosineSimilarity), Worker(centeredProjectionCoefficient)}) {
    for (auto [nx, ny] : {std::pair<int64_t, int64_t>{3, 2}, {2, 3}, {0, 0}}) {
      clearError();
      (void)w(x, nx, y, ny, 0.0, 0.0);
      ASSERT_EQ(ErrorKind::ValueError, threadError.kind) << nx << " " << ny;
      EXPECT_STREQ("centered vectors must have equal non-zero lengths", threadError.message);
      clearError();
      // Through the frame the exports use: the quiet NaN, and the error is gone.
      const double r = exportFrame<AfterWorker::ValueErrorGivesNaN>(3, quietNaN(),
                                                                    [&](int64_t) { return w(x, nx, y, ny, 0.0, 0.0); });
      EXPECT_EQ(kQuietNaNBits, testutil::bits(r));
      EXPECT_FALSE(errorPending());
    }
    clearError();
    EXPECT_FALSE(std::isnan(w(x, 3, y, 3, 0.0, 0.0)));
    EXPECT_FALSE(errorPending());
  }
}
