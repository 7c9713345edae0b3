// Norm, mean and centered reductions against GMP. Sums of squares and products are exact
// integers at scale 2^2148 (every double is a multiple of 2^-1074); square roots and
// quotients are taken in 512-bit floats, far below the bounds checked. Each bound is
// derived next to its check; u = 2^-53.
#include <gmp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <limits>
#include <string>

#include "algorithms/certifiedsum.h"
#include "algorithms/exactengine.h"
#include "algorithms/statistical_reductions.h"
#include "kernel_slot.h"
#include "c_api.h"
#include "oracle.h"
#include "sela.h"
#include "test_util.h"

using namespace sela;
using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = DBL_MAX;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
using Vec = std::vector<double>;

struct F {  // a 512-bit GMP float
  mpf_t v;
  F() { mpf_init2(v, 512); }
  ~F() { mpf_clear(v); }
  F(const F&) = delete;
  F& operator=(const F&) = delete;
};

// out = x * 2^1074, an integer for every finite x.
void scaledInt(mpz_t out, double x) {
  int e;
  mpz_set_d(out, std::ldexp(std::frexp(std::fabs(x), &e), 53));
  const int shift = e - 53 + 1074;
  if (shift >= 0) {
    mpz_mul_2exp(out, out, static_cast<mp_bitcnt_t>(shift));
  } else {
    mpz_tdiv_q_2exp(out, out, static_cast<mp_bitcnt_t>(-shift));  // the dropped bits are 0
  }
  if (x < 0) mpz_neg(out, out);
}

// out = sum a[i] b[i] (or sum |a[i] b[i]|), exact before the conversion to 512 bits.
void exactDot(mpf_t out, const Vec& a, const Vec& b, bool absolute = false) {
  mpz_t acc, p, q;
  mpz_inits(acc, p, q, nullptr);
  for (size_t i = 0; i < a.size(); ++i) {
    scaledInt(p, a[i]);
    scaledInt(q, b[i]);
    mpz_mul(p, p, q);
    if (absolute) mpz_abs(p, p);
    mpz_add(acc, acc, p);
  }
  mpf_set_z(out, acc);
  mpf_div_2exp(out, out, 2148);
  mpz_clears(acc, p, q, nullptr);
}

// |computed - truth| <= units * 2^-53 + subnormalUlps * 2^-1074.
::testing::AssertionResult within(double computed, const mpf_t truth, const mpf_t units, double subnormalUlps = 0.0) {
  F diff, bound, s;
  mpf_set_d(diff.v, computed);
  mpf_sub(diff.v, diff.v, truth);
  mpf_abs(diff.v, diff.v);
  mpf_div_2exp(bound.v, units, 53);
  mpf_set_d(s.v, subnormalUlps);
  mpf_div_2exp(s.v, s.v, 1074);
  mpf_add(bound.v, bound.v, s.v);
  if (mpf_cmp(diff.v, bound.v) <= 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::hexfloat << "computed " << computed << ", truth " << mpf_get_d(truth)
                                       << ", error " << mpf_get_d(diff.v) << " > bound " << mpf_get_d(bound.v);
}

// The norm's bound. Each step multiplies the sum so far by at most (1 + u)^5 (a rescale:
// r rounded and squared, two products, the + 1.0; otherwise the addition) and each new
// term carries at most (1 + u)^4, so ssq is within (1 + u)^(5n) of the exact scaled sum of
// squares; the square root halves that, sqrt and the final product round once each:
//   |norm - N| <= ((5/2) n + 3) u N  (first order; the factor 1.01 covers the rest),
// plus half the smallest subnormal when the result is subnormal. Squares that underflow
// are below 2^-1022 against ssq >= 1, inside the slack.
::testing::AssertionResult normWithinBound(const Vec& x) {
  F truth, units;
  exactDot(truth.v, x, x);
  mpf_sqrt(truth.v, truth.v);
  mpf_mul_ui(units.v, truth.v, static_cast<unsigned long>(x.size()) * 5 / 2 + 4);
  mpf_mul_ui(units.v, units.v, 101);
  mpf_div_ui(units.v, units.v, 100);
  return within(sela_norm_scaled(x.data(), x.size()), truth.v, units.v, 0.5);
}

// The documented norm loop, literally: every element divided and squared, however small.
double literalNorm(const Vec& x) {
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

Vec minus(const Vec& x, double c) {
  Vec d(x.size());
  for (size_t i = 0; i < x.size(); ++i) d[i] = x[i] - c;  // the rounded centering
  return d;
}

double uniformIn(std::mt19937_64& rng, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(rng);
}

}  // namespace

// ---- Scaled norm ---------------------------------------------------------------------

TEST(ScaledNorm, NamedCases) {
  const std::pair<Vec, double> cases[] = {
      {{0.0, -0.0}, 0.0},
      {{-3.0, 4.0}, 5.0},
      {{1e300, 1e300}, std::sqrt(2.0) * 1e300},
      {{1e-300, 1e-300}, std::sqrt(2.0) * 1e-300},
      {{pow2(-1074), pow2(-1074), pow2(-1074), pow2(-1074)}, pow2(-1073)},
      {{kMax / 2, -kMax / 2, kMax / 2, kMax / 2}, kMax},
      {{kMax, kMax}, kInf},  // the true norm is beyond the range
      // 20 rescales ssq = 1 + (4/14)^2 as (ssq * r) * r + 1; squaring r first ends in ...8bp+4.
      {{14.0, 4.0, 20.0}, 0x1.8bd171a07e38ap+4},
      // The first non-finite element decides; any NaN gives the one quiet NaN.
      {{4.0, fromBits(0xFFF0000000000123ULL), -kInf}, quietNaN()},
      {{1.0, -kInf}, kInf},
      {{kNaN, kInf}, quietNaN()},
      {{-kInf, kNaN}, kInf},
  };
  for (const auto& [x, expected] : cases) EXPECT_TRUE(SameBits(expected, sela_norm_scaled(x.data(), x.size())));
  EXPECT_TRUE(SameBits(0.0, sela_norm_scaled(nullptr, 0)));
  // One element: ssq stays 1, so the result is |x| itself.
  std::mt19937_64 rng(41);
  for (double x : testutil::wideRange(rng, 2000, -1074, 1023))
    ASSERT_TRUE(SameBits(std::fabs(x), sela_norm_scaled(&x, 1)));
}

TEST(ScaledNorm, WithinItsBoundWhereSquaresOverflowOrUnderflow) {
  std::mt19937_64 rng(42);
  struct Family {
    int lo, hi;
  };
  // Near DBL_MAX (n * 2^(2 hi + 2) stays below 2^2048), in the subnormal range where
  // every square underflows, and across the whole range.
  for (Family f : {Family{1000, 1015}, Family{-1074, -1000}, Family{-1074, 1015}}) {
    for (size_t n : {2u, 3u, 5u, 8u, 33u, 1000u}) {
      for (int trial = 0; trial < (n < 10 ? 100 : 5); ++trial) {
        Vec x = testutil::wideRange(rng, n, f.lo, f.hi);
        ASSERT_TRUE(normWithinBound(x)) << f.lo << " " << n;
        // Increasing magnitudes rescale at every element; decreasing ones never do.
        std::sort(x.begin(), x.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
        ASSERT_TRUE(normWithinBound(x)) << f.lo << " " << n;
        std::reverse(x.begin(), x.end());
        ASSERT_TRUE(normWithinBound(x)) << f.lo << " " << n;
      }
    }
  }
}

TEST(ScaledNorm, NegligibleElementsChangeNoBit) {
  // The library divides +0.0 instead of elements below scale * 2^-511 (their squares
  // cannot move ssq >= 1): the literal loop must agree to the bit, also right at that
  // threshold and for scales around 2^-511.
  std::mt19937_64 rng(45);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = 1 + static_cast<size_t>(trial % 50);
    Vec x = testutil::wideRange(rng, n, -1074, 1023);
    const double s = std::ldexp(1.0 + uniformIn(rng, 0, 1), static_cast<int>(uniformIn(rng, -560, 1020)));
    x.insert(x.begin() + static_cast<long>(rng() % (n + 1)), s);
    for (int k = -3; k <= 3; ++k) x.push_back(std::nextafter(s * 0x1p-511, k < 0 ? 0.0 : kInf) * (1.0 + k * 0x1p-52));
    for (int k = 0; k < 4; ++k) x.push_back(s * std::ldexp(uniformIn(rng, -1, 1), -20 - 30 * k));
    std::shuffle(x.begin() + 1, x.end(), rng);
    ASSERT_TRUE(SameBits(literalNorm(x), sela_norm_scaled(x.data(), x.size()))) << trial;
  }
}

TEST(ScaledNorm, BlocksMatchTheLiteralLoop) {
  // Four elements at a time once a scale exists, the element step elsewhere: against the
  // literal loop at lengths around the block size, with a new maximum, a zero, a
  // negligible element, a NaN or an infinity at every position of a block.
  std::mt19937_64 rng(1213);
  for (size_t n : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 12u, 13u, 16u, 17u, 1000u, 1003u}) {
    for (int family = 0; family < 3; ++family) {
      Vec base = family == 0   ? testutil::uniform(rng, n)
                 : family == 1 ? testutil::wideRange(rng, n, -500, 500)
                               : testutil::wideRange(rng, n, -1074, 1023);
      ASSERT_TRUE(SameBits(literalNorm(base), sela_norm_scaled(base.data(), n))) << n;
      for (size_t pos = 0; pos < std::min<size_t>(n, 9); ++pos) {
        for (double special : {kInf, -kInf, kNaN, 0.0, -0.0, 1e300, 1e-300, 3.0, -4.0}) {
          Vec x = base;
          x[pos] = special;
          ASSERT_TRUE(SameBits(literalNorm(x), sela_norm_scaled(x.data(), n))) << n << " " << pos << " " << special;
          // The same at the end, and everything before it zero (no scale yet).
          Vec y = base;
          y[n - 1 - pos] = special;
          for (size_t k = 0; k + 1 < n - pos; ++k) y[k] = (k & 1) ? -0.0 : 0.0;
          ASSERT_TRUE(SameBits(literalNorm(y), sela_norm_scaled(y.data(), n))) << n << " " << pos << " " << special;
        }
      }
      // Rising magnitudes: a new scale in every block, at every position.
      Vec up = base;
      std::sort(up.begin(), up.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
      ASSERT_TRUE(SameBits(literalNorm(up), sela_norm_scaled(up.data(), n))) << n;
    }
  }
}

TEST(ScaledNorm, SubnormalScalesMatchTheLiteralLoop) {
  // A subnormal scale divides integer significands: against the literal loop on subnormal
  // data (rising maxima, zeros of both signs, the smallest subnormals), and with a normal
  // element or a special arriving at every position of a block.
  std::mt19937_64 rng(1074);
  for (size_t n : {1u, 4u, 5u, 8u, 13u, 64u, 1000u, 4099u}) {
    for (const auto& base : testutil::bottomOfRange(rng, n)) {
      ASSERT_TRUE(SameBits(literalNorm(base), sela_norm_scaled(base.data(), n))) << n;
      Vec up = base;
      std::sort(up.begin(), up.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
      ASSERT_TRUE(SameBits(literalNorm(up), sela_norm_scaled(up.data(), n))) << n;
    }
    Vec tiny = testutil::wideRange(rng, n, -1074, -1070);
    tiny[0] = 0x1p-1023;
    ASSERT_TRUE(SameBits(literalNorm(tiny), sela_norm_scaled(tiny.data(), n))) << n;
    for (size_t pos = 0; pos < std::min<size_t>(n, 9); ++pos) {
      for (double special : {kInf, kNaN, -0.0, 0x1p-1022, -0x1.fffffffffffffp-1023, 0x1p-1074, 3.0}) {
        Vec x = testutil::wideRange(rng, n, -1074, -1023);
        x[pos] = special;
        ASSERT_TRUE(SameBits(literalNorm(x), sela_norm_scaled(x.data(), n))) << n << " " << pos << " " << special;
      }
    }
  }
}

TEST(ScaledNorm, PairedStatesMatchTwoSeparateStreams) {
  // normAddPair interleaves two states' blocks; each must end with the bits of its own
  // normAdd stream, when either side meets a new maximum, a zero, a negligible element,
  // a NaN or an infinity at any position of a block, and over a stream of chunks.
  std::mt19937_64 rng(4711);
  const auto sameState = [](const NormState& p, const NormState& q) {
    return testutil::bits(p.scale) == testutil::bits(q.scale) && testutil::bits(p.ssq) == testutil::bits(q.ssq) &&
           testutil::bits(p.decided) == testutil::bits(q.decided);
  };
  for (size_t n : {3u, 4u, 9u, 16u, 17u, 256u, 1001u}) {
    for (int trial = 0; trial < 40; ++trial) {
      Vec u = trial % 2 ? testutil::uniform(rng, n) : testutil::wideRange(rng, n, -600, 600);
      Vec v = testutil::uniform(rng, n);
      const double specials[] = {kInf, kNaN, 0.0, 1e300, 1e-300, 7.0, -9.0};
      for (int k = 0; k < trial % 4; ++k) {
        Vec& w = (k & 1) ? u : v;
        w[rng() % n] = specials[rng() % 7];
      }
      if (trial % 5 == 0) std::sort(v.begin(), v.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
      NormState a1, b1, a2, b2;
      const size_t chunk = trial % 3 == 0 ? n : 1 + rng() % 40;
      for (size_t start = 0; start < n; start += chunk) {
        const auto len = static_cast<int64_t>(std::min(chunk, n - start));
        normAdd(a1, u.data() + start, len);
        normAdd(b1, v.data() + start, len);
        normAddPair(a2, u.data() + start, b2, v.data() + start, len);
      }
      ASSERT_TRUE(sameState(a1, a2)) << n << " " << trial;
      ASSERT_TRUE(sameState(b1, b2)) << n << " " << trial;
    }
  }
}

// ---- Scaled mean ---------------------------------------------------------------------

TEST(ScaledMean, NamedCases) {
  const std::pair<Vec, double> cases[] = {
      {{1, 2, 3, 4}, 2.5},
      {{kMax, kMax}, kMax},  // the exact sum overflows: DBL_MAX / 2 + DBL_MAX / 2
      {{kMax, kMax, -kMax}, kMax / 3},
      {{kInf, 1}, kInf},
      {{-kInf, 5}, -kInf},
      {{-kInf, kMax, kMax}, -kInf},  // an infinity beats a finite overflow of the other sign
      // The exact sum's NaN (largest payload, sign cleared) passes through the division.
      {{fromBits(0xFFF8000000000123ULL), 1.0, kInf}, fromBits(0x7FF8000000000123ULL)},
      {Vec(4096, -kMax), -kMax},  // exact quotients -DBL_MAX / 2^12
  };
  for (const auto& [x, expected] : cases) EXPECT_TRUE(SameBits(expected, sela_mean_scaled(x.data(), x.size())));
  const double nan[] = {1, kNaN}, both[] = {kInf, -kInf};
  EXPECT_TRUE(std::isnan(sela_mean_scaled(nan, 2)));
  EXPECT_TRUE(std::isnan(sela_mean_scaled(both, 2)));
  EXPECT_EQ(kQuietNaNBits, testutil::bits(sela_mean_scaled(nullptr, 0)));
  std::mt19937_64 rng(51);
  for (double x : testutil::wideRange(rng, 1000)) ASSERT_TRUE(SameBits(x, sela_mean_scaled(&x, 1)));
}

TEST(ScaledMean, ExactSumDividedOnce) {
  std::mt19937_64 rng(52);
  for (size_t n : {2u, 3u, 7u, 1000u, 2047u, 2048u, 4095u, 10000u}) {
    for (const Vec& x : {testutil::uniform(rng, n), testutil::wideRange(rng, n, -1074, 1000),
                         testutil::illConditioned(rng, n, 1e30)}) {
      ASSERT_TRUE(SameBits(oracle::exactSum(x) / static_cast<double>(n), sela_mean_scaled(x.data(), n))) << n;
    }
  }
}

TEST(ScaledMean, OverflowingSumIsTheRoundedSumOfQuotients) {
  // Same-sign values near DBL_MAX, across the carry normalizations at 2047 and 4093
  // deposits: the exact sum overflows, so the mean is the correctly rounded sum of the
  // rounded quotients x[j] / n.
  std::mt19937_64 rng(53);
  for (size_t n : {2u, 3u, 10u, 2047u, 2048u, 2049u, 4094u, 6000u}) {
    Vec x(n);
    for (auto& v : x) v = kMax * uniformIn(rng, 0.75, 1.0);
    if (n >= 10) x[n / 2] = -x[n / 2] * 0.5;
    ASSERT_EQ(kInf, oracle::exactSum(x));
    Vec q(n);
    for (size_t j = 0; j < n; ++j) q[j] = x[j] / static_cast<double>(n);
    ASSERT_TRUE(SameBits(oracle::exactSum(q), sela_mean_scaled(x.data(), n))) << n;
  }
}

TEST(ScaledMean, FiniteDataNeverGiveAnInfiniteMean) {
  // Three copies of DBL_MAX: each quotient DBL_MAX / 3 rounds up, and the exact sum of the
  // three rounded quotients lies beyond the range; the mean of finite data is finite.
  const Vec three(3, kMax), minus(3, -kMax);
  Vec q(3, kMax / 3.0);
  ASSERT_EQ(kInf, oracle::exactSum(q));  // the fault being guarded against is real
  EXPECT_TRUE(SameBits(kMax, sela_mean_scaled(three.data(), 3)));
  EXPECT_TRUE(SameBits(-kMax, sela_mean_scaled(minus.data(), 3)));
  // Copies of DBL_MAX and of its neighbours at every count up to 100: whenever the rounded
  // quotients sum past the range, the result is the largest double of that sign; otherwise
  // it is that sum, and always within [min, max] of the data.
  const double tops[] = {kMax, std::nextafter(kMax, 0.0), std::nextafter(std::nextafter(kMax, 0.0), 0.0)};
  for (size_t n = 2; n <= 100; ++n) {
    for (double sign : {1.0, -1.0}) {
      Vec x(n);
      for (size_t j = 0; j < n; ++j) x[j] = sign * tops[j % 3];
      Vec qs(n);
      for (size_t j = 0; j < n; ++j) qs[j] = x[j] / static_cast<double>(n);
      const double sumOfQuotients = oracle::exactSum(qs);
      const double expected = std::isinf(sumOfQuotients) ? sign * kMax : sumOfQuotients;
      const double m = sela_mean_scaled(x.data(), n);
      ASSERT_TRUE(SameBits(expected, m)) << n;
      ASSERT_TRUE(std::abs(m) <= kMax && std::abs(m) >= tops[2]) << n;
    }
  }
}

// ---- Centered sum of squares and cross product ---------------------------------------

TEST(CenteredSums, NamedCases) {
  const double x[] = {1, 2, 3}, y[] = {2, 4, 6};
  EXPECT_TRUE(SameBits(2.0, sela_centered_sum_squares(x, 3, 2.0)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_sum_squares(x, 1, 1.0)));
  EXPECT_TRUE(SameBits(4.0, sela_centered_cross_product(x, y, 3, 2.0, 4.0)));
  EXPECT_TRUE(SameBits(-8.0, sela_centered_cross_product(x, y, 3, 4.0, 2.0)));  // each center has its array
  EXPECT_TRUE(SameBits(0.0, sela_centered_sum_squares(nullptr, 0, 1.0)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_cross_product(nullptr, nullptr, 0, 1.0, 2.0)));
  // Specials travel through the exact dot's side words.
  const double over[] = {1e308, 1.0}, inf[] = {kInf}, zero[] = {0.0}, nan[] = {2.0, kNaN}, big[] = {kMax, kMax};
  EXPECT_TRUE(SameBits(kInf, sela_centered_sum_squares(over, 2, -1e308)));  // the centering overflows
  EXPECT_TRUE(SameBits(kInf, sela_centered_sum_squares(big, 2, 0.0)));      // finite, beyond the range
  EXPECT_TRUE(SameBits(kInf, sela_centered_cross_product(inf, inf, 1, 0.0, 0.0)));
  EXPECT_TRUE(std::isnan(sela_centered_cross_product(inf, zero, 1, 0.0, 0.0)));  // inf * 0
  EXPECT_TRUE(std::isnan(sela_centered_sum_squares(nan, 2, 1.0)));
  EXPECT_TRUE(std::isnan(sela_centered_sum_squares(over, 2, kNaN)));
  // A longer y is allowed (only nx pairs count); a shorter one is a fault, not a read.
  const double longY[] = {1, 1, 3, 5};
  clearError();
  EXPECT_TRUE(SameBits(2.0, centeredCrossProduct(x, 3, longY, 4, 2.0, 2.0)));
  EXPECT_FALSE(errorPending());
  EXPECT_TRUE(SameBits(0.0, centeredCrossProduct(x, 3, longY, 2, 0.0, 0.0)));
  EXPECT_EQ(ErrorKind::InternalFault, threadError.kind);
  clearError();
}

TEST(CenteredSums, RoundedCenteringExactAccumulation) {
  std::mt19937_64 rng(61);
  for (size_t n : {1u, 2u, 5u, 100u, 2047u, 2048u, 5000u}) {
    const Vec x = testutil::wideRange(rng, n, -300, 300), y = testutil::wideRange(rng, n, -300, 300);
    // Centers off the data's grid, so most differences are rounded.
    const double cx = x[0] * 0.7 + 1e-3, cy = std::ldexp(uniformIn(rng, -1, 1), 250);
    const Vec dx = minus(x, cx), dy = minus(y, cy), sx = minus(x, cy), sy = minus(y, cx);
    ASSERT_TRUE(SameBits(oracle::exactDot(dx.data(), dx.data(), n), sela_centered_sum_squares(x.data(), n, cx)));
    ASSERT_TRUE(SameBits(oracle::exactDot(dx.data(), dy.data(), n),
                         sela_centered_cross_product(x.data(), y.data(), n, cx, cy)));
    ASSERT_TRUE(SameBits(oracle::exactDot(sx.data(), sy.data(), n),
                         sela_centered_cross_product(x.data(), y.data(), n, cy, cx)));
  }
  Vec x = testutil::uniform(rng, 10000);  // tightly around the center: heavy cancellation
  for (double& v : x) v += 1e6;
  const Vec d = minus(x, 1e6);
  EXPECT_TRUE(SameBits(oracle::exactDot(d.data(), d.data(), 10000), sela_centered_sum_squares(x.data(), 10000, 1e6)));
}

// ---- Normalized centered vectors -------------------------------------------------------

namespace {

// The scale and the values of the whole vector, values empty for an infinite scale.
struct Normalized {
  double scale;
  Vec values;
};

Normalized normalizedCentered(const double* x, int64_t n, double c) {
  Normalized r{centeredScale(x, n, c), {}};
  if (r.scale < kInf) {
    r.values.resize(static_cast<size_t>(n));
    normalizeCentered(x, n, c, r.scale, r.values.data());
  }
  return r;
}

}  // namespace

TEST(NormalizedCentered, ScaleAndValues) {
  const double over[] = {1e308, -1e308};
  const auto o = normalizedCentered(over, 2, -1e308);  // 1e308 - (-1e308) overflows
  EXPECT_TRUE(SameBits(1e308, o.scale));
  EXPECT_TRUE(SameBits(2.0, o.values[0]));
  EXPECT_TRUE(SameBits(0.0, o.values[1]));
  const double x[] = {kNaN, -3.0, 0.5};
  const auto a = normalizedCentered(x, 3, 1.0);  // a NaN element counts as |c|
  EXPECT_TRUE(SameBits(3.0, a.scale));
  EXPECT_TRUE(std::isnan(a.values[0]));
  EXPECT_TRUE(SameBits(-4.0 / 3.0, a.values[1]));
  EXPECT_TRUE(SameBits(8.0, normalizedCentered(x, 3, -8.0).scale));
  EXPECT_TRUE(SameBits(3.0, normalizedCentered(x, 3, kNaN).scale));  // a NaN center is left out
  const double zeros[] = {0.0, -0.0, kNaN};
  const auto z = normalizedCentered(zeros, 3, kNaN);
  EXPECT_TRUE(SameBits(0.0, z.scale));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(SameBits(0.0, z.values[i]));  // zero scale: zeros
  const double inf[] = {1.0, kInf};
  EXPECT_TRUE(normalizedCentered(inf, 2, 0.0).values.empty());
  EXPECT_EQ(kInf, normalizedCentered(inf, 1, -kInf).scale);
  EXPECT_TRUE(SameBits(0.0, normalizedCentered(nullptr, 0, 5.0).scale));
  std::mt19937_64 rng(71);
  const Vec w = testutil::wideRange(rng, 1000, -1074, 1023);
  double largest = 0.0;
  for (double v : w) largest = std::max(largest, std::fabs(v));
  for (double c : {w[3] * 0.3, -w[7], kMax, -kMax, 0.0}) {
    const auto r = normalizedCentered(w.data(), 1000, c);
    ASSERT_TRUE(SameBits(std::max(largest, std::fabs(c)), r.scale));
    for (size_t i = 0; i < 1000; ++i) {
      ASSERT_LE(std::fabs(r.values[i]), 2.0);  // finite data: [-2, 2]
      // One rounding of the difference, one of the quotient, wherever the difference fits.
      if (std::isfinite(w[i] - c)) {
        ASSERT_TRUE(SameBits((w[i] - c) / r.scale, r.values[i]));
      }
    }
  }
}

// Both copies of the vector normalization against the element step: the values written
// are the element step's to the bit, and each stops exactly at the first whole vector
// holding an overflowing difference (or after the last whole vector). Then the whole
// normalization with overflowing differences at every lane position.
TEST(NormalizedCentered, LanesMatchTheElementStep) {
  struct Copy {
    const char* name;
    int64_t w;
    NormalizeKernel kernel;
  };
  std::vector<Copy> copies = {{"SSE2", 2, normalizeLanesSse2}};
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx2()) copies.push_back({"AVX", 4, normalizeLanesAvx});
  if (testutil::cpuRunsAvx512()) copies.push_back({"AVX-512", 8, normalizeLanesAvx512});
#endif
  std::mt19937_64 rng(7272);
  for (const Copy& copy : copies) {
    for (int64_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 13, 256, 1001}) {
      for (int64_t overflowAt : {int64_t{-1}, int64_t{0}, int64_t{1}, int64_t{2}, int64_t{3}, n / 2, n - 1}) {
        if (overflowAt >= n) continue;
        Vec x = testutil::wideRange(rng, static_cast<size_t>(n), -1074, 960);  // x + kMax stays finite
        const double c = -kMax;
        if (n > 2) x[1] = kNaN;
        if (overflowAt >= 0) x[static_cast<size_t>(overflowAt)] = kMax;  // kMax - (-kMax) overflows
        const double scale = kMax;
        Vec out(static_cast<size_t>(n) + 1, 42.0);
        const int64_t done = copy.kernel(x.data(), n, c, scale, out.data());
        const int64_t wholeVectors = n / copy.w * copy.w;
        const int64_t expected = overflowAt < 0 ? wholeVectors : std::min(wholeVectors, overflowAt / copy.w * copy.w);
        ASSERT_EQ(expected, done) << copy.name << " n " << n << " at " << overflowAt;
        for (int64_t i = 0; i < done; ++i) {
          const auto k = static_cast<size_t>(i);
          ASSERT_TRUE(SameBits((x[k] - c) / scale, out[k]) || (std::isnan(x[k]) && std::isnan(out[k]))) << copy.name;
        }
        ASSERT_TRUE(SameBits(42.0, out[static_cast<size_t>(done)])) << copy.name;  // nothing written past the stop
        // The whole normalization, through the dispatch table.
        Vec all(static_cast<size_t>(n));
        normalizeCentered(x.data(), n, c, scale, all.data());
        for (size_t i = 0; i < all.size(); ++i) {
          const double d = x[i] - c;
          const double want = std::isinf(d) ? x[i] / scale - c / scale : d / scale;
          ASSERT_TRUE(SameBits(want, all[i]) || (std::isnan(want) && std::isnan(all[i]))) << n << " " << i;
        }
      }
    }
  }
}

namespace {

// Divisions by one scale that a quotient formed without the divider could get wrong: one
// vector's numerators a for the divisor b, each of a kind (lane by lane).
//   0: a / b within a few 2^-53 ulps of a midpoint. With B the odd significand of b and M an
//      odd 54-bit integer with B M = s (mod 2^54), s small and odd, a = (B M - s) 2^-54
//      (53 bits) gives a / b = (M - s / B) at a midpoint's scale: the closest a quotient of
//      doubles comes to a midpoint.
//   1: a within a few ulps of b 2^k (quotients around a power of two, where the gap halves);
//   2: a = b z for z uniform in [-2, 2) (the centered values); 3: random quotients over
//   2^-800 .. 2^900 with scrambled last bits; 4: exact small multiples of b;
//   5: outside the domain: zeros, values below 2^-968, subnormals, quotients beyond 2^1000
//      and 2^1020, NaN.
// Kinds 0 to 4 lie well inside the domain (their quotients within [2^-890, 2^990]).
struct DivisionCase {
  double b;
  Vec a;
  std::vector<int> kind;
};

__extension__ using U128 = unsigned __int128;

uint64_t oddInverse(uint64_t m) {  // m^-1 mod 2^64, m odd (Newton: each step doubles the bits)
  uint64_t inv = m;
  for (int k = 0; k < 6; ++k) inv *= 2 - m * inv;
  return inv;
}

DivisionCase divisionCase(std::mt19937_64& rng, size_t n, int divisorKind) {
  DivisionCase c;
  // The divisor's significand B (odd, 53 bits, for kind 0's construction) and exponent.
  uint64_t B = (rng() >> 11) | (uint64_t{1} << 52) | 1;
  if (divisorKind == 1) B = (uint64_t{1} << 52) | ((rng() % 4096) << 40) | 1;  // few bits
  if (divisorKind == 2) B = (uint64_t{1} << 53) - 1 - 2 * (rng() % 2048);         // near 2
  const int eb = divisorKind == 3 ? -60 : divisorKind == 4 ? 959 : static_cast<int>(rng() % 200) - 60;
  c.b = std::ldexp(static_cast<double>(B), eb - 52);
  const uint64_t invB = oddInverse(B);
  const uint64_t mask54 = (uint64_t{1} << 54) - 1;
  for (size_t i = 0; i < n; ++i) {
    const int kind = static_cast<int>(rng() % 6);
    const int ez = static_cast<int>(rng() % 60) - 50;  // the quotient's binade, kinds 0 to 2
    double a = 0.0;
    if (kind == 0) {
      uint64_t M = 0;
      int64_t sm = 0;
      do {
        sm = 2 * static_cast<int64_t>(rng() % 25) - 25;  // odd, |s| <= 25
        M = (static_cast<uint64_t>(sm) * invB) & mask54;
      } while (M < (uint64_t{1} << 53));
      const U128 P = static_cast<U128>(B) * M - static_cast<U128>(sm);  // modulo 2^128
      const auto K = static_cast<uint64_t>(P >> 54);  // exact: P = K 2^54
      // a / b = (M - s / B) 2^(ez - 53), M 2^(ez - 53) a midpoint of the binade 2^ez.
      a = std::ldexp(static_cast<double>(K), 54 + (eb - 52) + (ez - 53));
    } else if (kind == 1) {
      a = c.b * std::ldexp(1.0, ez);
      for (int k = static_cast<int>(rng() % 9) - 4; k != 0; k += k > 0 ? -1 : 1)
        a = std::nextafter(a, k > 0 ? kInf : 0.0);
    } else if (kind == 2) {
      a = c.b * std::uniform_real_distribution<double>(-2.0, 2.0)(rng);
    } else if (kind == 3) {
      const int e = std::min(static_cast<int>(rng() % 1690) - 800, 1020 - eb);  // a stays finite
      a = c.b * std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52, e);
      a = std::bit_cast<double>(std::bit_cast<uint64_t>(a) ^ (rng() & 7));
    } else if (kind == 4) {
      a = c.b * static_cast<double>(1 + rng() % 1000) * std::ldexp(1.0, -static_cast<int>(rng() % 30));
    } else {
      const double outside[] = {0.0, 0x1p-1074, 0x1p-1000, 0x1.8p-969, 0x1p-1022, kNaN,
                                c.b * 0x1p1001, c.b * 0x1p1021, c.b * 0x1p-1020};
      a = outside[rng() % 9];
      if (std::isinf(a)) a = kMax;
    }
    if (rng() & 1) a = -a;
    c.a.push_back(a);
    c.kind.push_back(kind);
  }
  return c;
}

}  // namespace

// The fused quotients of every family with multiply-adds against the divider: every lane the
// range test vouches for holds the divider's bits (signed zeros and all), and every lane
// well inside the domain is vouched for (so the divider is left alone on ordinary data), on
// quotients at a few 2^-53 ulps from midpoints, around powers of two, of the centered
// values' range and far beyond it, over divisors of random, short and all-ones
// significands, at the ends of the fused range [2^-60, 2^960]; outside it, the divider
// only. Then every copy of the normalization lanes (c = 0: out = x / scale) and the whole
// normalization on the same divisions, and on scales outside the fused range: the
// divider's bits, whichever way each vector took.
TEST(ScaleDivision, FusedQuotientsAreTheDividers) {
  using Probe = bool (*)(const double*, int64_t, double, double*, bool*, int64_t*);
  struct Copy {
    const char* name;
    Probe probe;  // null: no multiply-adds
    NormalizeKernel lanes;
  };
  std::vector<Copy> copies = {{"SSE2", nullptr, normalizeLanesSse2}};
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx2()) copies.push_back({"AVX", fusedQuotientsAvx, normalizeLanesAvx});
  if (testutil::cpuRunsAvx512()) copies.push_back({"AVX-512", fusedQuotientsAvx512, normalizeLanesAvx512});
#endif
  std::mt19937_64 rng(7575);
  for (const Copy& copy : copies) {
    int64_t vouchedLanes = 0;
    for (int trial = 0; copy.probe != nullptr && trial < 4000; ++trial) {
      const size_t n = 64;
      DivisionCase c = divisionCase(rng, n, trial % 5);
      Vec q(n, 42.0);
      bool vouched[64] = {};
      int64_t done = -1;
      ASSERT_TRUE(copy.probe(c.a.data(), static_cast<int64_t>(n), c.b, q.data(), vouched, &done)) << c.b;
      ASSERT_EQ(static_cast<int64_t>(n), done);
      for (size_t i = 0; i < n; ++i) {
        vouchedLanes += vouched[i];
        ASSERT_TRUE(!vouched[i] || SameBits(c.a[i] / c.b, q[i])) << copy.name << " a " << c.a[i] << " b " << c.b;
        ASSERT_TRUE(vouched[i] || c.kind[i] == 5) << copy.name << " a " << c.a[i] << " b " << c.b;
      }
    }
    for (double b : {0x1p-61, std::nextafter(0x1p-60, 0.0), std::nextafter(0x1p960, kInf), 0x1p-1000}) {
      double a[8] = {1.0}, q[8];
      bool vouched[8];
      int64_t done = -1;
      ASSERT_TRUE(copy.probe == nullptr || !copy.probe(a, 8, b, q, vouched, &done)) << copy.name << " b " << b;
    }
    EXPECT_TRUE(copy.probe == nullptr || vouchedLanes > 4000 * 64 * 4 / 6) << copy.name;  // kinds 0 to 4 at least
    for (int trial = 0; trial < 600; ++trial) {
      const auto n = static_cast<size_t>(1 + rng() % 80);
      DivisionCase c = divisionCase(rng, n, trial % 5);
      if (trial % 7 == 6) c.b = std::ldexp(c.b, trial % 2 ? -200 : 100);  // outside the fused range
      Vec out(n + 1, 42.0), all(n);
      const int64_t done = copy.lanes(c.a.data(), static_cast<int64_t>(n), 0.0, c.b, out.data());
      normalizeCentered(c.a.data(), static_cast<int64_t>(n), 0.0, c.b, all.data());
      ASSERT_TRUE(SameBits(42.0, out[static_cast<size_t>(done)])) << copy.name;
      for (size_t k = 0; k < n; ++k) {
        const double want = c.a[k] / c.b;
        const bool lane = static_cast<int64_t>(k) < done;
        ASSERT_TRUE(!lane || SameBits(want, out[k]) || (std::isnan(want) && std::isnan(out[k]))) << copy.name << " " << k;
        ASSERT_TRUE(SameBits(want, all[k]) || (std::isnan(want) && std::isnan(all[k]))) << copy.name << " " << k;
      }
    }
  }
}

// Every copy of the largest magnitude over whole vectors against the literal comparison
// loop, with NaNs (skipped), infinities, zeros and subnormals at every lane position.
TEST(NormalizedCentered, MaxMagnitudeLanesMatchTheLiteralLoop) {
  std::vector<std::pair<const char*, MaxMagnitudeKernel>> copies = {{"SSE2", maxMagnitudeLanesSse2}};
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx2()) copies.emplace_back("AVX", maxMagnitudeLanesAvx);
  if (testutil::cpuRunsAvx512()) copies.emplace_back("AVX-512", maxMagnitudeLanesAvx512);
#endif
  std::mt19937_64 rng(7373);
  for (const auto& [name, kernel] : copies) {
    for (int64_t n : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 64, 100, 1000}) {
      for (int trial = 0; trial < 12; ++trial) {
        Vec x = trial % 2 ? testutil::wideRange(rng, static_cast<size_t>(n), -1074, 1023)
                          : testutil::uniform(rng, static_cast<size_t>(n));
        const double specials[] = {kNaN, -kNaN, kInf, -kInf, 0.0, -0.0, 0x1p-1074, -kMax};
        for (int k = 0; n > 0 && k < trial; ++k) x[rng() % static_cast<size_t>(n)] = specials[rng() % 8];
        if (trial == 11) std::fill(x.begin(), x.end(), kNaN);
        int64_t done = -1;
        const double got = kernel(x.data(), n, &done);
        ASSERT_EQ(done % 2, 0) << name;  // whole vectors (of 2, 4 or 8 lanes)
        ASSERT_LE(done, n) << name;
        const int64_t width = std::string(name) == "AVX-512" ? 8 : std::string(name) == "AVX" ? 4 : 2;
        ASSERT_GT(done + width, n) << name;  // no whole vector left
        double want = 0.0;
        for (int64_t i = 0; i < done; ++i) {
          const double a = std::fabs(x[static_cast<size_t>(i)]);
          if (a > want) want = a;
        }
        ASSERT_TRUE(SameBits(want, got)) << name << " n " << n << " trial " << trial;
      }
    }
  }
}

namespace {

// The values u = (x - c) / s of a whole vector, element by element.
Vec literalValues(const Vec& x, double c, double s) {
  Vec u(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const double d = x[i] - c;
    u[i] = std::isinf(d) ? x[i] / s - c / s : d / s;
  }
  return u;
}

bool sameNormState(const NormState& p, const NormState& q) {
  return testutil::bits(p.scale) == testutil::bits(q.scale) && testutil::bits(p.ssq) == testutil::bits(q.ssq) &&
         testutil::bits(p.negligible) == testutil::bits(q.negligible) &&
         testutil::bits(p.decided) == testutil::bits(q.decided);
}

// One call of a copy of the sweep from the states a and b at `start` against the element
// steps: the values it writes are literalValues' to the bit, the states normAdd's over them,
// nothing is written past the end, and it stops before the last whole vector only at an
// overflowing difference (or once a state is decided).
struct SweepCopy {
  const char* name;
  int64_t w;
  NormalizePairKernel kernel;
};
void expectSweepMatches(const SweepCopy& copy, const Vec& x, const Vec& y, double cx, double cy, int64_t start,
                        NormState a, NormState b) {
  const auto size = x.size();
  const auto n = static_cast<int64_t>(size);
  const double sx = centeredScale(x.data(), n, cx), sy = centeredScale(y.data(), n, cy);
  const Vec wantU = literalValues(x, cx, sx), wantV = literalValues(y, cy, sy);
  NormState wantA = a, wantB = b;
  Vec u(size + 1, 42.0), v(size + 1, 42.0);
  const CenteredPairScales scales{cx, cy, sx, sy};
  const int64_t done = copy.kernel(x.data() + start, y.data() + start, n - start, scales, u.data() + start,
                                   v.data() + start, a, b, nullptr, nullptr);
  ASSERT_EQ(0, done % copy.w) << copy.name;
  ASSERT_LE(start + done, n) << copy.name;
  for (int64_t i = start; i < start + done; ++i) {
    const auto k = static_cast<size_t>(i);
    ASSERT_TRUE(SameBits(wantU[k], u[k]) || (std::isnan(wantU[k]) && std::isnan(u[k]))) << copy.name << " " << i;
    ASSERT_TRUE(SameBits(wantV[k], v[k]) || (std::isnan(wantV[k]) && std::isnan(v[k]))) << copy.name << " " << i;
  }
  ASSERT_TRUE(SameBits(42.0, u[size]) && SameBits(42.0, v[size])) << copy.name;  // nothing past the end
  normAdd(wantA, wantU.data() + start, done);
  normAdd(wantB, wantV.data() + start, done);
  ASSERT_TRUE(sameNormState(wantA, a)) << copy.name << " n " << n;
  ASSERT_TRUE(sameNormState(wantB, b)) << copy.name << " n " << n;
  // Where it stopped before the last whole vector with both states open, that vector
  // holds an overflowing difference.
  const int64_t next = start + done;
  if (next + copy.w <= n && a.decided == 0.0 && b.decided == 0.0) {
    bool needed = false;
    for (int64_t i = next; i < next + copy.w; ++i) {
      const auto k = static_cast<size_t>(i);
      needed = needed || std::isinf(x[k] - cx) || std::isinf(y[k] - cy);
    }
    ASSERT_TRUE(needed) << copy.name << " stopped early at " << next << " of " << n;
  }
}

}  // namespace

// Every copy of the cosine similarity's sweep against the element steps it stands for:
// the values it writes are the element step's to the bit, its norm states are normAdd's
// over the same values (from states without a scale, with one, or with one above every
// value), it stops only before a vector with an overflowing difference or after a NaN
// decided a state, and after the last whole vector otherwise. On plain, wide and rising
// data, with zeros, negligible values, NaNs and overflowing differences at every lane
// position.
TEST(CenteredCosine, SweepMatchesTheElementSteps) {
  using Copy = SweepCopy;
  std::vector<Copy> copies = {{"SSE2", 2, normalizePairWithNormsSse2}};
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx2()) copies.push_back({"AVX", 4, normalizePairWithNormsAvx});
  if (testutil::cpuRunsAvx512()) copies.push_back({"AVX-512", 8, normalizePairWithNormsAvx512});
#endif
  std::mt19937_64 rng(7474);
  for (const Copy& copy : copies) {
    for (int64_t n : {1, 2, 3, 7, 8, 9, 16, 17, 40, 64, 65, 256}) {
      for (int trial = 0; trial < 24; ++trial) {
        const auto size = static_cast<size_t>(n);
        Vec x = trial % 3 == 0 ? testutil::wideRange(rng, size, -600, 600) : testutil::uniform(rng, size);
        Vec y = trial % 3 == 1 ? testutil::wideRange(rng, size, -1074, 1000) : testutil::uniform(rng, size);
        double cx = 0.125, cy = -0.25;
        const double specials[] = {kNaN, 0.0, -0.0, 1e-300, 0.5, -0.999, 0x1p-1074};
        for (int k = 0; k < trial % 5; ++k) (k & 1 ? x : y)[rng() % size] = specials[rng() % 7];
        if (trial % 6 == 5) {  // differences that overflow
          cx = -kMax;
          for (double& v : x) v = v * 0x1p-100;
          x[rng() % size] = kMax;
        }
        if (trial % 6 == 2) {  // in y alone
          cy = kMax;
          for (double& v : y) v = v * 0x1p-100;
          y[rng() % size] = -kMax;
        }
        // Rising magnitudes in one vector only: a new maximum of that norm in every vector
        // (its element steps) while the other norm adds squares, on either side.
        const auto byMagnitude = [](double a, double b) { return std::fabs(a) < std::fabs(b); };
        if (trial % 8 == 7) std::sort(y.begin(), y.end(), byMagnitude);
        if (trial % 8 == 3) std::sort(x.begin(), x.end(), byMagnitude);
        const double sx = centeredScale(x.data(), n, cx), sy = centeredScale(y.data(), n, cy);
        if (!(sx > 0.0 && sx < kInf && sy > 0.0 && sy < kInf)) continue;
        const Vec wantU = literalValues(x, cx, sx), wantV = literalValues(y, cy, sy);
        // States after the first few values through normAdd (none: no scale yet), or with a
        // scale above every value.
        const int64_t prefix = std::min<int64_t>(n, trial % 4);
        NormState a, b;
        if (trial % 7 == 6) {
          a.scale = b.scale = 4.0;
          a.negligible = b.negligible = 0x1p-509;
        } else {
          normAdd(a, wantU.data(), prefix);
          normAdd(b, wantV.data(), prefix);
        }
        const int64_t start = trial % 7 == 6 ? 0 : prefix;
        if (a.decided != 0.0 || b.decided != 0.0) continue;
        expectSweepMatches(copy, x, y, cx, cy, start, a, b);
        if (HasFatalFailure()) return;
      }
    }
  }
}

// Marked vectors (a new maximum of a norm's scale) at every lane position, from states
// with no scale, with a subnormal one (no negligible bound yet) and with a scale crossing
// 2^-511: the values climb a staircase of magnitudes from 2^-1074 upwards, each new maximum
// followed at random by values equal to it, below it, negligible under it (2^-511 of it
// and less), zeros of either sign. The centers are 0 and both scales 1, so the values are
// the data. Each copy's states against normAdd's over the same values, and the norm
// against the documented loop written out.
TEST(CenteredCosine, SweepTakesNewMaximaAtEveryLane) {
  struct Copy {
    const char* name;
    int64_t w;
    NormalizePairKernel kernel;
  };
  std::vector<Copy> copies = {{"SSE2", 2, normalizePairWithNormsSse2}};
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx2()) copies.push_back({"AVX", 4, normalizePairWithNormsAvx});
  if (testutil::cpuRunsAvx512()) copies.push_back({"AVX-512", 8, normalizePairWithNormsAvx512});
#endif
  std::mt19937_64 rng(7676);
  const auto staircase = [&](size_t n) {
    Vec w(n);
    double top = std::ldexp(1.0 + static_cast<double>(rng() % 1024) / 1024.0, -1074 + static_cast<int>(rng() % 8));
    top = std::max(top, 0x1p-1074);
    for (double& e : w) {
      const uint64_t pick = rng() % 10;
      const double sign = rng() % 2 ? 1.0 : -1.0;
      if (pick < 3) {  // a new maximum, by up to 2^90, never past 1/2
        top = std::min(std::ldexp(top, 1 + static_cast<int>(rng() % 90)) * (1.0 + 0x1p-40), 0.5);
        e = sign * top;
      } else if (pick < 5) {
        e = sign * top;  // equal to the scale: not a new maximum
      } else if (pick < 7) {
        e = sign * std::ldexp(top, -511 - static_cast<int>(rng() % 20));  // negligible under it (or subnormal)
      } else if (pick < 8) {
        e = sign * 0.0;
      } else {
        e = sign * top * (static_cast<double>(rng() % 1000) / 1000.0);
      }
    }
    return w;
  };
  for (const Copy& copy : copies) {
    for (size_t n : {1u, 7u, 8u, 9u, 16u, 24u, 63u, 64u, 200u}) {
      for (int trial = 0; trial < 40; ++trial) {
        Vec x = staircase(n + 1), y = staircase(n + 1);
        x[n] = trial % 2 ? 1.0 : -1.0;  // both scales 1: the values are the data
        y[n] = 1.0;
        NormState a, b;
        Vec u(n, 42.0), v(n, 42.0);
        const CenteredPairScales scales{0.0, 0.0, 1.0, 1.0};
        const auto len = static_cast<int64_t>(n);
        const int64_t done = copy.kernel(x.data(), y.data(), len, scales, u.data(), v.data(), a, b, nullptr, nullptr);
        ASSERT_EQ(len - len % copy.w, done) << copy.name;
        NormState wantA, wantB;
        normAdd(wantA, x.data(), done);
        normAdd(wantB, y.data(), done);
        ASSERT_TRUE(sameNormState(wantA, a)) << copy.name << " n " << n << " trial " << trial;
        ASSERT_TRUE(sameNormState(wantB, b)) << copy.name << " n " << n << " trial " << trial;
        const Vec head(x.begin(), x.begin() + done), headY(y.begin(), y.begin() + done);
        ASSERT_TRUE(SameBits(literalNorm(head), normResult(a))) << copy.name << " n " << n << " trial " << trial;
        ASSERT_TRUE(SameBits(literalNorm(headY), normResult(b))) << copy.name << " n " << n << " trial " << trial;
      }
    }
  }
}

// The sweep's fused quotients on divisions that are hard to round: y holds numerators of
// the division cases above for its scale b (those beyond b replaced, b itself planted, so
// that sy = b), zeros and values below the fused domain among them (the vector takes the
// divider), NaNs in some trials; x's values plain or rising (new maxima of its norm up to
// the last vectors, where the norm's scale divides rather than fuses), and y rising too
// in some trials. Values and states against the element steps, at lengths around the
// vectors a fused scale needs.
TEST(CenteredCosine, SweepFusedQuotientsOnHardDivisions) {
  std::vector<SweepCopy> copies = {{"SSE2", 2, normalizePairWithNormsSse2}};
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx2()) copies.push_back({"AVX", 4, normalizePairWithNormsAvx});
  if (testutil::cpuRunsAvx512()) copies.push_back({"AVX-512", 8, normalizePairWithNormsAvx512});
#endif
  std::mt19937_64 rng(7777);
  const auto byMagnitude = [](double a, double b) { return std::fabs(a) < std::fabs(b); };
  for (const SweepCopy& copy : copies) {
    for (size_t n : {16u, 31u, 32u, 33u, 40u, 64u, 100u, 256u}) {
      for (int trial = 0; trial < 40; ++trial) {
        DivisionCase c = divisionCase(rng, n, trial % 5);
        Vec y = c.a;
        for (double& e : y) {
          if (!(std::fabs(e) <= c.b) && !(std::isnan(e) && trial % 10 == 9)) e = c.b * (static_cast<double>(rng() % 2001) / 1000.0 - 1.0);
        }
        y[rng() % n] = trial % 2 ? c.b : -c.b;
        Vec x = testutil::uniform(rng, n);
        for (double& e : x) e *= 3.7;
        if (trial % 4 == 3) std::sort(x.begin(), x.end(), byMagnitude);
        if (trial % 8 == 5) std::sort(y.begin(), y.end(), byMagnitude);
        expectSweepMatches(copy, x, y, 0.3, 0.0, 0, NormState{}, NormState{});
        if (HasFatalFailure()) return;
      }
    }
  }
}

#if defined(__x86_64__)
namespace {

// The lane records of the certified pass, bit for bit (the vector families' tests only).
bool sameLanes(const CertifiedDotLanes& p, const CertifiedDotLanes& q) {
  if (p.lanes != q.lanes || p.terms != q.terms || p.tinyProducts != q.tinyProducts) return false;
  for (int l = 0; l < p.lanes; ++l) {
    if (testutil::bits(p.s[l]) != testutil::bits(q.s[l]) || testutil::bits(p.c[l]) != testutil::bits(q.c[l]) ||
        testutil::bits(p.e[l]) != testutil::bits(q.e[l]))
      return false;
  }
  return true;
}

}  // namespace
#endif

// The certified lanes the sweep runs over the products of the values it forms, finished
// by the lane pass of the same width over the rest of the chunk, against that lane pass
// over the whole chunk's values written out: the same record to the bit (so the same
// decision), from fresh lanes and from lanes a chunk before left; at chunk lengths with
// an even and an odd number of whole vectors and tails, on plain data, on products below
// the split's floor (flagged), with new maxima throughout, with values at their centers
// (zero products, never flagged) and with an overflowing difference (the sweep stops
// there, mid-chunk). On ordinary data the sweep must take
// every pair of whole vectors itself.
// About a quarter of the elements of each array at its center: zero values, whose
// products are zero without lying below the floor of the split (never flagged), among
// the others (wide ones give products that are flagged).
void plantCenters(std::mt19937_64& rng, Vec& x, double cx, Vec& y, double cy) {
  for (size_t i = 0; i < x.size(); ++i) {
    if (rng() % 4 == 0) x[i] = cx;
    if (rng() % 4 == 0) y[i] = cy;
  }
}

TEST(CenteredCosine, SweepProductsLeaveTheLanesOfOnePassOverTheChunk) {
#if defined(__x86_64__)
  struct Copy {
    const char* name;
    int64_t w;
    NormalizePairKernel kernel;
    bool (*lanes)(const double*, int64_t, const double*, CertifiedDotLanes&);
  };
  std::vector<Copy> copies;
  if (testutil::cpuRunsAvx2()) copies.push_back({"AVX", 4, normalizePairWithNormsAvx, certifiedDotLanesAvx2});
  if (testutil::cpuRunsAvx512()) copies.push_back({"AVX-512", 8, normalizePairWithNormsAvx512, certifiedDotLanesAvx512});
  if (copies.empty()) GTEST_SKIP() << "no vector family with a fused multiply-add on this processor";
  std::mt19937_64 rng(7878);
  for (const Copy& copy : copies) {
    for (int64_t len : {4, 8, 12, 16, 24, 31, 32, 40, 48, 63, 64, 100, 255, 256}) {
      for (int trial = 0; trial < 30; ++trial) {
        const auto size = static_cast<size_t>(len);
        Vec x = trial % 3 == 0 ? testutil::wideRange(rng, size, -600, 600) : testutil::uniform(rng, size);
        Vec y = testutil::uniform(rng, size);
        double cx = 0.125, cy = -0.25;
        if (trial % 5 == 1) {  // values near 2^-500 and products below 2^-916, flagged
          for (double& e : y) e *= 0x1p-500;
          cy = 0x1p-560;
          x[rng() % size] = 1.0;
        }
        if (trial % 5 == 2) {  // rising magnitudes: new maxima of x's norm in every vector
          std::sort(x.begin(), x.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
        }
        const bool overflows = trial % 5 == 3;
        if (overflows) {  // an overflowing difference: the sweep stops before its vector
          cx = -kMax;
          for (double& e : x) e *= 0x1p-100;
          x[rng() % size] = kMax;
        }
        if (trial % 5 == 4) plantCenters(rng, x, cx, y, cy);
        const double sx = centeredScale(x.data(), len, cx), sy = centeredScale(y.data(), len, cy);
        const Vec wantU = literalValues(x, cx, sx), wantV = literalValues(y, cy, sy);
        // Lanes a chunk before left (its own random products), or none.
        CertifiedDotLanes before;
        if (trial % 2 == 1) {
          const Vec p = testutil::uniform(rng, 256), q = testutil::uniform(rng, 256);
          copy.lanes(p.data(), 256, q.data(), before);
        }
        CertifiedDotLanes want = before;
        copy.lanes(wantU.data(), len, wantV.data(), want);

        CertifiedDotLanes got = before;
        NormState a, b;
        Vec u(size, 42.0), v(size, 42.0);
        int64_t productsDone = -1;
        const CenteredPairScales scales{cx, cy, sx, sy};
        const int64_t formed = copy.kernel(x.data(), y.data(), len, scales, u.data(), v.data(), a, b, &got,
                                           &productsDone);
        ASSERT_EQ(0, productsDone % (2 * copy.w)) << copy.name;
        ASSERT_LE(productsDone, formed) << copy.name;
        if (!overflows) {
          ASSERT_EQ(len - len % (2 * copy.w), productsDone) << copy.name << " len " << len << " trial " << trial;
        }
        for (int64_t i = 0; i < formed; ++i) {
          const auto k = static_cast<size_t>(i);
          ASSERT_TRUE(SameBits(wantU[k], u[k]) && SameBits(wantV[k], v[k])) << copy.name << " " << i;
        }
        copy.lanes(wantU.data() + productsDone, len - productsDone, wantV.data() + productsDone, got);
        ASSERT_TRUE(sameLanes(want, got)) << copy.name << " len " << len << " trial " << trial;
      }
    }
  }
#else
  GTEST_SKIP() << "the vector families exist on x86-64 only";
#endif
}

namespace {

// The cosine similarity as its definition reads, over whole vectors: the scales and
// values, each norm by the literal loop, the exact dot product rounded once, two
// divisions and the clamp.
// The scales and the values of both vectors as the definition reads; false for an
// infinite scale.
bool modelValues(const Vec& x, const Vec& y, double cx, double cy, double& sx, double& sy, Vec& u, Vec& v) {
  sx = 0.0;
  sy = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    sx = std::max({sx, std::isnan(cx) ? 0.0 : std::fabs(cx), std::isnan(x[i]) ? 0.0 : std::fabs(x[i])});
    sy = std::max({sy, std::isnan(cy) ? 0.0 : std::fabs(cy), std::isnan(y[i]) ? 0.0 : std::fabs(y[i])});
  }
  if (!(sx < kInf) || !(sy < kInf)) return false;
  u = sx == 0.0 ? Vec(x.size(), 0.0) : literalValues(x, cx, sx);
  v = sy == 0.0 ? Vec(y.size(), 0.0) : literalValues(y, cy, sy);
  return true;
}

double modelCosine(const Vec& x, const Vec& y, double cx, double cy) {
  const auto n = static_cast<int64_t>(x.size());
  double sx = 0.0, sy = 0.0;
  Vec u, v;
  if (!modelValues(x, y, cx, cy, sx, sy, u, v)) return quietNaN();
  const double nu = literalNorm(u), nv = literalNorm(v);
  if (nu == 0.0 || nv == 0.0) return quietNaN();
  const double p = superDot(u.data(), n, v.data(), n);
  const double r = (p / nu) / nv;
  if (r != r) return quietNaN();
  return r >= 1.0 ? 1.0 : r <= -1.0 ? -1.0 : r;
}

}  // namespace

// The export against the definition, bit for bit, at lengths around the vectors, the
// chunks of the exact products and the sweep's lag; on plain, wide, correlated, rising
// and special-value data (NaN elements and centers, zeros, overflowing differences).
TEST(CenteredCosine, MatchesTheDefinitionBitForBit) {
  std::mt19937_64 rng(7575);
  for (size_t n : {1u, 2u, 5u, 8u, 9u, 16u, 33u, 40u, 41u, 255u, 256u, 257u, 1000u, 1537u}) {
    for (int trial = 0; trial < 16; ++trial) {
      Vec x = trial % 4 == 0 ? testutil::wideRange(rng, n, -500, 500) : testutil::uniform(rng, n);
      Vec y = trial % 4 == 1 ? testutil::wideRange(rng, n, -1074, 900) : testutil::uniform(rng, n);
      double cx = x[0] * 0.5, cy = -0.25;
      if (trial % 4 == 2) {
        for (size_t i = 0; i < n; ++i) y[i] = -0.37 * x[i] + y[i] * 1e-9;  // strongly correlated
      }
      if (trial % 5 == 3) std::sort(x.begin(), x.end(), [](double a, double b) { return std::fabs(a) < std::fabs(b); });
      if (trial == 5) x[rng() % n] = kNaN;
      if (trial == 7) cy = kNaN;
      if (trial == 9) {
        cx = -kMax;
        x[rng() % n] = kMax;
      }
      if (trial == 11) x[rng() % n] = 0.0 * (x[0] = cx);
      if (trial == 13) {  // y's difference overflows
        cy = kMax;
        y[rng() % n] = -kMax;
      }
      const double got = sela_centered_cosine_similarity(x.data(), y.data(), n, cx, cy);
      const double want = modelCosine(x, y, cx, cy);
      ASSERT_TRUE(SameBits(want, got) || (std::isnan(want) && std::isnan(got)))
          << "n " << n << " trial " << trial << ": " << want << " vs " << got;
    }
  }
}

namespace {

// Data whose normalized products cancel all but a sliver (centers 0.125 and -0.25): pairs
// of equal u against opposite v cancel exactly, and one x moved by 2^-40 leaves a dot
// product some 2^-50 of the products' magnitudes. An odd last element stays at the centers.
void cancellingPairs(std::mt19937_64& rng, size_t n, Vec& x, Vec& y) {
  x.assign(n, 0.125);
  y.assign(n, -0.25);
  for (size_t i = 0; i + 1 < n; i += 2) {
    x[i] = x[i + 1] = 0.125 + static_cast<double>(static_cast<int64_t>(rng() % 1536) - 768) / 1024.0;
    const double b = static_cast<double>(static_cast<int64_t>(rng() % 1024) - 512) / 1024.0;
    y[i] = -0.25 + b;
    y[i + 1] = -0.25 - b;
  }
  x[rng() % (n - 1)] += 0x1p-40;
}

}  // namespace

// The cosine on such data: the certified lanes the sweep feeds must decline (checked on
// the same values, else the test would not reach the fallback), and the exact products
// over the chunks, formed again, decide. Against the definition, around the chunks.
TEST(CenteredCosine, CancellingProductsTakeTheExactFallback) {
  std::mt19937_64 rng(8080);
  int declined = 0;
  for (size_t n : {257u, 300u, 512u, 513u, 1000u, 1537u, 2053u}) {
    for (int trial = 0; trial < 4; ++trial) {
      Vec x, y, u, v;
      cancellingPairs(rng, n, x, y);
      const double got = sela_centered_cosine_similarity(x.data(), y.data(), n, 0.125, -0.25);
      ASSERT_TRUE(SameBits(modelCosine(x, y, 0.125, -0.25), got)) << "n " << n << " trial " << trial;
      double sx = 0.0, sy = 0.0, unused = 0.0;
      ASSERT_TRUE(modelValues(x, y, 0.125, -0.25, sx, sy, u, v));
      if (!certifiedDot(u.data(), v.data(), static_cast<int64_t>(n), unused)) ++declined;
    }
  }
  if (testutil::cpuRunsAvx2()) {
    EXPECT_GT(declined, 20);
  }
}

// The sweep's products continue the certified lanes only at its own width: a sweep of
// another family than the certified pass (as a test may choose) must not have its lanes
// restarted by the pass, which would drop the products before. The AVX sweep under the
// AVX-512 pass, at lengths whose last chunk leaves products to the pass, against the
// definition.
TEST(CenteredCosine, SweepOfAnotherWidthThanTheCertifiedPass) {
#if defined(__x86_64__)
  if (!testutil::cpuRunsAvx512()) GTEST_SKIP() << "needs AVX-512 to run the AVX sweep under a wider certified pass";
  const NormalizePairKernel chosen = normalizePairWithNormsImpl.get();
  normalizePairWithNormsImpl.store(normalizePairWithNormsAvx);
  std::mt19937_64 rng(7979);
  for (size_t n : {257u, 300u, 1001u, 1537u, 2050u}) {
    for (int trial = 0; trial < 6; ++trial) {
      const Vec x = testutil::uniform(rng, n), y = testutil::uniform(rng, n);
      const double got = sela_centered_cosine_similarity(x.data(), y.data(), n, 0.125, -0.25);
      const double want = modelCosine(x, y, 0.125, -0.25);
      EXPECT_TRUE(SameBits(want, got)) << "n " << n << " trial " << trial << ": " << want << " vs " << got;
    }
  }
  normalizePairWithNormsImpl.store(chosen);
#else
  GTEST_SKIP() << "the vector families exist on x86-64 only";
#endif
}

// ---- Cosine similarity and projection coefficient -----------------------------------------

TEST(CenteredCosine, NamedCases) {
  const double x[] = {1, 2, 3}, y[] = {2, 4, 6}, z[] = {6, 4, 2}, five[] = {5, 5, 5}, zeros[] = {0, 0};
  const double withInf[] = {1, kInf, 3}, withNaN[] = {1, kNaN, 3}, big[] = {1e308, -1e308}, e0[] = {1, 0};
  EXPECT_TRUE(SameBits(1.0, sela_centered_cosine_similarity(x, y, 3, 2, 4)));
  EXPECT_TRUE(SameBits(-1.0, sela_centered_cosine_similarity(x, z, 3, 2, 4)));
  EXPECT_TRUE(SameBits(1.0, sela_centered_cosine_similarity(big, e0, 2, -1e308, 0)));  // centering overflows
  for (double r :
       {sela_centered_cosine_similarity(five, x, 3, 5, 2),   // zero norm
        sela_centered_cosine_similarity(zeros, y, 2, 0, 4),  // zero scale
        sela_centered_cosine_similarity(withInf, y, 3, 2, 4), sela_centered_cosine_similarity(x, y, 3, 2, -kInf),
        sela_centered_cosine_similarity(withNaN, y, 3, 2, 4), sela_centered_cosine_similarity(x, y, 3, kNaN, 4),
        sela_centered_cosine_similarity(x, zeros, 2, 2, kNaN),
        sela_centered_cosine_similarity(nullptr, nullptr, 0, 1, 2)})
    EXPECT_EQ(kQuietNaNBits, testutil::bits(r));
}

TEST(CenteredProjection, NamedCases) {
  const double x[] = {1, 2, 3}, y[] = {2, 4, 6}, fours[] = {4, 4, 4}, withNaN[] = {1, kNaN, 3},
               withInf[] = {1, 2, -kInf};
  EXPECT_TRUE(SameBits(2.0, sela_centered_projection_coefficient(x, y, 3, 2, 4)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_projection_coefficient(x, fours, 3, 2, 4)));  // y at its center
  // Mantissa products before the division give the correctly rounded 32/142 here; dividing
  // by the two mantissas in turn, or cm / sm first, ends one unit lower.
  const double a[] = {3, 4, 7}, b[] = {-4, 8, -4};
  EXPECT_TRUE(SameBits(0x1.cd85689039b0bp-3, sela_centered_projection_coefficient(a, b, 3, -2, -2)));
  // Centered x = [2e308, 0] overflows, y = [DBL_MAX, -DBL_MAX]: beta = (DBL_MAX / 1e308) / 2.
  const double big[] = {1e308, -1e308}, maxes[] = {kMax, -kMax};
  EXPECT_TRUE(SameBits((kMax / 1e308) * 0.5, sela_centered_projection_coefficient(big, maxes, 2, -1e308, 0.0)));
  EXPECT_TRUE(SameBits(1.0, sela_centered_projection_coefficient(big, big, 2, -1e308, -1e308)));
  for (double r :
       {sela_centered_projection_coefficient(fours, y, 3, 4, 4),  // x at its center
        sela_centered_projection_coefficient(withNaN, y, 3, 2, 4),
        sela_centered_projection_coefficient(x, withNaN, 3, 2, 4),
        sela_centered_projection_coefficient(x, withInf, 3, 2, 4),
        sela_centered_projection_coefficient(x, y, 3, kInf, 4), sela_centered_projection_coefficient(x, y, 3, 2, kNaN),
        sela_centered_projection_coefficient(nullptr, nullptr, 0, 1, 2)})
    EXPECT_EQ(kQuietNaNBits, testutil::bits(r));
}

namespace {

bool holdsNaNValue(const Vec& w) {
  return std::any_of(w.begin(), w.end(), [](double e) { return std::isnan(e); });
}

// The projection coefficient as its definition reads, over whole vectors: the scales and
// values, the two exact dot products under the product floor (GMP) rounded once, the
// frexp/ldexp ratio; a NaN
// hidden by a vanishing y (scale 0, values all zeros) still gives NaN.
double modelProjection(const Vec& x, const Vec& y, double cx, double cy) {
  double sx = 0.0, sy = 0.0;
  Vec u, v;
  if (!modelValues(x, y, cx, cy, sx, sy, u, v)) return quietNaN();
  const auto n = static_cast<int64_t>(x.size());
  const double cross = holdsNaNValue(u) || holdsNaNValue(v) ? kNaN : oracle::flooredDot(u.data(), v.data(), n);
  const double self = holdsNaNValue(u) ? kNaN : oracle::flooredDot(u.data(), u.data(), n);
  if (self == 0.0) return quietNaN();
  if (cross == 0.0) return sy == 0.0 && (std::isnan(cy) || holdsNaNValue(y)) ? quietNaN() : 0.0;
  int ce = 0, se = 0, ye = 0, xe = 0;
  const double cm = std::frexp(cross, &ce), sm = std::frexp(self, &se);
  const double ym = std::frexp(sy, &ye), xm = std::frexp(sx, &xe);
  return std::ldexp((ym * cm) / (xm * sm), ce + ye - se - xe);
}

}  // namespace

// The export against the definition, bit for bit, at lengths around the vectors, the
// short path (every value in one half buffer), the pipelined half chunks and the chunks
// of the exact products; on plain, wide, correlated and special-value data (NaN elements
// and centers, a vanishing y, zeros, overflowing differences). Wide data stay where no
// product of values falls below the product floor.
TEST(CenteredProjection, MatchesTheDefinitionBitForBit) {
  std::mt19937_64 rng(7777);
  for (size_t n : {1u, 2u, 5u, 8u, 16u, 17u, 32u, 33u, 127u, 128u, 129u, 255u, 256u, 257u, 1000u, 1537u}) {
    for (int trial = 0; trial < 16; ++trial) {
      Vec x = trial % 4 == 0 ? testutil::wideRange(rng, n, -200, 200) : testutil::uniform(rng, n);
      Vec y = trial % 4 == 1 ? testutil::wideRange(rng, n, -200, 200) : testutil::uniform(rng, n);
      double cx = x[0] * 0.5, cy = -0.25;
      if (trial % 4 == 2) {
        for (size_t i = 0; i < n; ++i) y[i] = -0.37 * x[i] + y[i] * 1e-9;  // strongly correlated
      }
      if (trial == 5) x[rng() % n] = kNaN;
      if (trial == 6) y[rng() % n] = kNaN;
      if (trial == 7) cy = kNaN;
      if (trial == 9) {
        cx = -kMax;
        x[rng() % n] = kMax;
      }
      if (trial == 10) {  // y vanishes, a NaN hidden in it
        for (double& e : y) e = 0.0;
        y[rng() % n] = kNaN;
        cy = 0.0;
      }
      if (trial == 11) x[rng() % n] = kInf;
      if (trial == 12) {  // y at its center
        for (double& e : y) e = 3.0;
        cy = 3.0;
      }
      if (trial == 13) {  // a zero scale for y (zeros of both signs): +0.0
        for (size_t i = 0; i < n; ++i) y[i] = i % 3 == 0 ? -0.0 : 0.0;
        cy = 0.0;
      }
      if (trial == 14) {  // a zero scale for x: NaN
        for (double& e : x) e = 0.0;
        cx = -0.0;
      }
      const double got = sela_centered_projection_coefficient(x.data(), y.data(), n, cx, cy);
      const double want = modelProjection(x, y, cx, cy);
      ASSERT_TRUE(SameBits(want, got) || (std::isnan(want) && std::isnan(got)))
          << "n " << n << " trial " << trial << ": " << want << " vs " << got;
    }
  }
}

// The projection's pass over whole pairs of vectors, finished by the lane pass of the same
// width over the rest, against that lane pass over all the values written out, for both
// lanes (u v and u u): the same records to the bit, from fresh lanes and from lanes
// already holding products; on plain data, on values near 2^-500 (products below the
// split's floor, flagged), with values at their centers (zero products, not flagged, and
// a square below the floor whose cross product is zero: flagged in the squares' lanes
// alone), with overflowing differences at random lanes (formed as x / s - c / s in those
// lanes), and with a NaN. It must take every whole pair.
TEST(CenteredProjection, LanesPassLeavesTheLanesOfOnePassOverTheValues) {
#if defined(__x86_64__)
  struct Copy {
    const char* name;
    int64_t w;
    ProjectionLanesKernel kernel;
    bool (*lanes)(const double*, int64_t, const double*, CertifiedDotLanes&);
  };
  std::vector<Copy> copies;
  if (testutil::cpuRunsAvx2()) copies.push_back({"AVX", 4, projectionLanesAvx, certifiedDotLanesAvx2});
  if (testutil::cpuRunsAvx512()) copies.push_back({"AVX-512", 8, projectionLanesAvx512, certifiedDotLanesAvx512});
  if (copies.empty()) GTEST_SKIP() << "no vector family with a fused multiply-add on this processor";
  std::mt19937_64 rng(8181);
  for (const Copy& copy : copies) {
    for (int64_t n : {1, 7, 8, 15, 16, 17, 31, 32, 33, 129, 200, 256, 1000}) {
      for (int trial = 0; trial < 20; ++trial) {
        const auto size = static_cast<size_t>(n);
        Vec x = trial % 3 == 0 ? testutil::wideRange(rng, size, -300, 300) : testutil::uniform(rng, size);
        Vec y = testutil::uniform(rng, size);
        double cx = 0.125, cy = -0.25;
        if (trial % 5 == 1) {
          for (double& e : y) e *= 0x1p-500;
          cy = 0x1p-560;
          x[rng() % size] = 1.0;
        }
        if (trial % 5 == 3) {  // overflowing differences, in x and in y
          cx = -kMax;
          cy = kMax;
          for (double& e : x) e *= 0x1p-100;
          for (double& e : y) e *= 0x1p-100;
          for (int k = 0; k < 3; ++k) {
            x[rng() % size] = kMax;
            y[rng() % size] = -kMax;
          }
        }
        if (trial % 5 == 4) plantCenters(rng, x, cx, y, cy);
        if (trial == 5 || trial == 10) {  // one square below the floor, its cross product 0
          cx = 0.0;
          const size_t k = rng() % size;
          x[k] = 0x1p-600;
          y[k] = cy;
        }
        if (trial % 7 == 4) x[rng() % size] = kNaN;
        const double sx = centeredScale(x.data(), n, cx), sy = centeredScale(y.data(), n, cy);
        const Vec u = literalValues(x, cx, sx), v = literalValues(y, cy, sy);
        CertifiedDotLanes cross, self;
        if (trial % 2 == 1) {
          const Vec p = testutil::uniform(rng, 128), q = testutil::uniform(rng, 128);
          copy.lanes(p.data(), 128, q.data(), cross);
          copy.lanes(q.data(), 128, q.data(), self);
        }
        CertifiedDotLanes wantCross = cross, wantSelf = self;
        copy.lanes(u.data(), n, v.data(), wantCross);
        copy.lanes(u.data(), n, u.data(), wantSelf);
        const int64_t taken = copy.kernel(x.data(), y.data(), n, CenteredPairScales{cx, cy, sx, sy}, cross, self);
        ASSERT_EQ(n - n % (2 * copy.w), taken) << copy.name;
        copy.lanes(u.data() + taken, n - taken, v.data() + taken, cross);
        copy.lanes(u.data() + taken, n - taken, u.data() + taken, self);
        if (trial % 7 == 4) {  // a NaN value: NaN lanes either way
          ASSERT_EQ(wantCross.terms, cross.terms);
          continue;
        }
        ASSERT_TRUE(sameLanes(wantCross, cross)) << copy.name << " n " << n << " trial " << trial;
        ASSERT_TRUE(sameLanes(wantSelf, self)) << copy.name << " n " << n << " trial " << trial;
      }
    }
  }
#else
  GTEST_SKIP() << "the vector families exist on x86-64 only";
#endif
}

// The projection on cancellingPairs' data (the cross lanes decline, the exact products
// decide; the squares' lanes accept) and on plain data, with the chosen pass and with a
// pass of another width than the certified lane pass (the AVX copy where AVX-512 runs),
// whose lanes the rest must not restart. Against the definition with GMP's products.
TEST(CenteredProjection, CancellingCrossProductsAndAnotherWidth) {
  std::mt19937_64 rng(8282);
  const auto check = [&](const char* what) {
    for (size_t n : {129u, 257u, 300u, 513u, 1000u, 1537u, 2053u}) {
      for (int trial = 0; trial < 4; ++trial) {
        Vec x, y;
        cancellingPairs(rng, n, x, y);
        if (trial % 2 == 1) y = testutil::uniform(rng, n);
        const double got = sela_centered_projection_coefficient(x.data(), y.data(), n, 0.125, -0.25);
        ASSERT_TRUE(SameBits(modelProjection(x, y, 0.125, -0.25), got)) << what << " n " << n << " trial " << trial;
      }
    }
  };
  check("chosen pass");
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx512()) {
    const ProjectionLanesKernel chosen = projectionLanesImpl.get();
    projectionLanesImpl.store(projectionLanesAvx);
    check("AVX pass under AVX-512 lanes");
    projectionLanesImpl.store(chosen);
  }
#endif
}

TEST(CenteredProjection, NaNHiddenByAVanishingYStillGivesNaN) {
  // y's scale is 0 (every non-NaN y and its center are zero): its normalized values are
  // zeros and the cross product 0, but a NaN in y or in cy must not come out as a number.
  const double x[] = {1, 2, 3}, zeros[] = {0.0, -0.0, 0.0}, nans[] = {kNaN, kNaN, kNaN}, mixed[] = {0.0, kNaN, -0.0};
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, zeros, 3, 2, kNaN)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, nans, 3, 2, 0.0)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, nans, 3, 2, kNaN)));
  EXPECT_TRUE(std::isnan(sela_centered_projection_coefficient(x, mixed, 3, 2, -0.0)));
  EXPECT_TRUE(SameBits(0.0, sela_centered_projection_coefficient(x, zeros, 3, 2, 0.0)));  // no NaN: +0.0
  EXPECT_TRUE(SameBits(0.0, sela_centered_projection_coefficient(x, zeros, 3, 2, -0.0)));
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(x, zeros, 3, 2, kNaN)));  // zero norm there
  EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(x, nans, 3, 2, 0.0)));
}

// Slopes at both ends of the double range, against the definition (exact products, then
// frexp and ldexp): the binary exponent of the slope swept through the subnormal range and
// below it, through the last normal binades and past the largest double, on correlated
// data of either sign, short and long, so the final scaling rounds, overflows and lands
// on each edge of the powers of two it is formed with.
TEST(CenteredProjection, SlopesAtTheEndsOfTheRangeMatchTheDefinition) {
  std::mt19937_64 rng(4242);
  const auto sweep = [&](int from, int to) {
    for (int k = from; k <= to; ++k) {
      for (size_t n : {3u, 16u, 300u}) {
        // x near 2^kx and y near 2^(kx + k) times a slope of either sign: beta near 2^k.
        const int kx = k > 0 ? -40 - static_cast<int>(rng() % 8) : 40 + static_cast<int>(rng() % 8);
        Vec x = testutil::uniform(rng, n), y(n);
        const double slope = (rng() % 2 ? 1.0 : -1.0) * (0.5 + static_cast<double>(rng() % 1000) / 1000.0);
        for (size_t i = 0; i < n; ++i) {
          x[i] = std::ldexp(x[i], kx);
          y[i] = std::ldexp(slope * std::ldexp(x[i], -kx) + 1e-3 * static_cast<double>(rng() % 100), kx + k);
        }
        const double cx = x[0] * 0.25, cy = y[1] * 0.5;
        const double want = modelProjection(x, y, cx, cy);
        const double got = sela_centered_projection_coefficient(x.data(), y.data(), n, cx, cy);
        ASSERT_TRUE(SameBits(want, got)) << "k " << k << " n " << n << ": " << want << " vs " << got;
      }
    }
  };
  sweep(-1090, -1010);
  sweep(1010, 1030);
}

TEST(CenteredProjection, PowerOfTwoMultiplesGiveTheExactSlope) {
  // y = 2^k x, cy = 2^k cx scale every centered value exactly, so u = v, cross = self and
  // beta = 2^k, although sum (x - cx)^2 alone overflows (k < 0) or underflows (k > 0).
  std::mt19937_64 rng(91);
  for (int k : {1000, -1000, 1, -3, 600}) {
    for (size_t n : {2u, 17u, 500u}) {
      const Vec x = testutil::wideRange(rng, n, k > 0 ? -900 : 880, k > 0 ? -880 : 900);
      Vec y(n);
      for (size_t i = 0; i < n; ++i) y[i] = std::ldexp(x[i], k);
      const double cx = x[0] * 0.25;
      ASSERT_TRUE(
          SameBits(pow2(k), sela_centered_projection_coefficient(x.data(), y.data(), n, cx, std::ldexp(cx, k))));
    }
  }
}

// Both against the exact ratios of the rounded differences dx, dy, with N = sum dx dy,
// A = sum |dx dy|, Dx = sum dx^2, Dy = sum dy^2. Normalizing rounds u_i = (dx_i / sx)(1 + a_i)
// with |a_i| <= u, so the exact dot of u and v is (N + E) / (sx sy) with |E| <= 2.0001 u A,
// rounded once, and self = Dx / sx^2 within (1 + u)^3.
// Projection: three roundings on the mantissas, so |beta - N / Dx| <= 3 u A / Dx + 8 u |N / Dx|.
// Cosine: each norm is ||dx|| / sx within (1 + u)(1 + ((5/2) n + 3) u) and the two
// divisions round once each, so with C = N / sqrt(Dx Dy):
//   |r - C| <= 3 u A / sqrt(Dx Dy) + (5 n + 12) u |C|; the clamp only moves r towards C.
// The data keep normalized values and products far from the underflow threshold.
TEST(CenteredRatios, WithinTheirBoundsOfTheExactRatios) {
  std::mt19937_64 rng(81);
  for (size_t n : {2u, 3u, 10u, 100u, 2500u}) {
    for (int trial = 0; trial < 20; ++trial) {
      const Vec x = testutil::wideRange(rng, n, -200, 200);
      Vec y = testutil::wideRange(rng, n, -200, 200);
      if (trial % 2) {
        for (size_t i = 0; i < n; ++i) y[i] = -0.37 * x[i] + y[i] * 1e-9;  // strongly correlated
      }
      const double cx = x[1] * 0.3, cy = y[0] * -0.7;
      const Vec dx = minus(x, cx), dy = minus(y, cy);
      F num, absNum, dxx, dyy, truth, units, t;
      exactDot(num.v, dx, dy);
      exactDot(absNum.v, dx, dy, true);
      exactDot(dxx.v, dx, dx);
      exactDot(dyy.v, dy, dy);

      mpf_div(truth.v, num.v, dxx.v);
      mpf_div(units.v, absNum.v, dxx.v);
      mpf_mul_ui(units.v, units.v, 3);
      mpf_abs(t.v, truth.v);
      mpf_mul_ui(t.v, t.v, 8);
      mpf_add(units.v, units.v, t.v);
      const double beta = sela_centered_projection_coefficient(x.data(), y.data(), n, cx, cy);
      ASSERT_TRUE(within(beta, truth.v, units.v)) << n << " trial " << trial;

      mpf_mul(t.v, dxx.v, dyy.v);
      mpf_sqrt(t.v, t.v);
      mpf_div(truth.v, num.v, t.v);
      mpf_div(units.v, absNum.v, t.v);
      mpf_mul_ui(units.v, units.v, 3);
      mpf_abs(t.v, truth.v);
      mpf_mul_ui(t.v, t.v, 5 * n + 12);
      mpf_add(units.v, units.v, t.v);
      const double r = sela_centered_cosine_similarity(x.data(), y.data(), n, cx, cy);
      ASSERT_TRUE(within(r, truth.v, units.v)) << n << " trial " << trial;
      ASSERT_LE(std::fabs(r), 1.0);
    }
  }
}

TEST(CenteredCosine, ClampCatchesRoundingPastOne) {
  // y = x (and y = -x) with matching centers: the unclamped ratio lands on either side of
  // 1 by rounding; past it the result must be exactly 1 (or -1).
  std::mt19937_64 rng(82);
  int above = 0, below = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const int64_t n = 3 + trial % 40;
    const Vec x = testutil::wideRange(rng, static_cast<size_t>(n), -20, 20);
    Vec mx(x.size());
    for (size_t i = 0; i < x.size(); ++i) mx[i] = -x[i];
    const double c = x[0] * 0.5;
    const auto u = normalizedCentered(x.data(), n, c);
    const double nu = scaledEuclideanNorm(u.values.data(), n);
    const double raw = (superDot(u.values.data(), n, u.values.data(), n) / nu) / nu;
    const double r = sela_centered_cosine_similarity(x.data(), x.data(), x.size(), c, c);
    const double rn = sela_centered_cosine_similarity(x.data(), mx.data(), x.size(), c, -c);
    (raw > 1.0 ? above : below) += 1;
    ASSERT_TRUE(SameBits(raw > 1.0 ? 1.0 : raw, r));
    ASSERT_TRUE(SameBits(raw > 1.0 ? -1.0 : -raw, rn));
  }
  EXPECT_GT(above, 0);  // the clamp was needed
  EXPECT_GT(below, 0);
}

// ---- Value errors ----------------------------------------------------------------------

TEST(StatisticsValueErrors, RaisedByTheWorkersAndTurnedIntoTheQuietNaN) {
  const double x[] = {1, 2, 3}, y[] = {3, 1, 2};
  auto expectValueError = [](const char* message, auto call) {
    clearError();
    (void)call();
    ASSERT_EQ(ErrorKind::ValueError, threadError.kind);
    EXPECT_STREQ(message, threadError.message);
    clearError();
    // The frame the three exports use: the quiet NaN, and the error is gone.
    const double r = exportFrame<AfterWorker::ValueErrorGivesNaN>(3, quietNaN(), [&](int64_t) { return call(); });
    EXPECT_EQ(kQuietNaNBits, testutil::bits(r));
    EXPECT_FALSE(errorPending());
  };
  expectValueError("mean requires at least one value", [&] { return scaledMean(x, 0); });
  using Worker = double (*)(const double*, int64_t, const double*, int64_t, double, double);
  for (Worker w : {Worker(centeredCosineSimilarity), Worker(centeredProjectionCoefficient)}) {
    for (auto [nx, ny] : {std::pair<int64_t, int64_t>{3, 2}, {2, 3}, {0, 0}}) {
      expectValueError("centered vectors must have equal non-zero lengths", [&] { return w(x, nx, y, ny, 0, 0); });
    }
    EXPECT_FALSE(std::isnan(w(x, 3, y, 3, 0.0, 0.0)));
    EXPECT_FALSE(errorPending());
  }
}

namespace {

// Values that are their own normalization (x[0] = 1 against y[0] = 0 and the other way
// round set both scales to 1, centers 0): after `lead` plain values beside zeros (the
// lanes' sums stay zero), a product 2^big beside products of 2^small whose sum reaches half its
// gap (a tie, even stays) or one past it, with products below the split's floor before;
// the cross product's rounding then decides both ratios' bits.
void tieAtTheBottom(std::mt19937_64& rng, size_t lead, int big, int small, int past, Vec& x, Vec& y) {
  x = {1.0, 0.0};
  y = {0.0, 1.0};
  for (int k = 0; k < 40; ++k) {  // below the split's floor: the lanes guard after them
    const int e = -950 + static_cast<int>(rng() % 30);  // (their errors at least 2^-960)
    x.push_back(pow2(e / 2) * ((rng() & 1) ? 1.0 : -1.0));
    y.push_back(pow2(e - e / 2));
  }
  for (size_t i = 0; i < lead; ++i) {
    x.push_back(0.5 + static_cast<double>(i % 7) * 0x1p-4);
    y.push_back(i % 2 == 0 ? 0.0 : -0.0);
  }
  x.push_back(pow2(big / 2));
  y.push_back(pow2(big - big / 2));
  const int count = big - 53 - small < 10 ? 1 << (big - 53 - small) : 4;
  for (int k = 0; k < count + past; ++k) {
    x.push_back(pow2(small / 2));
    y.push_back(pow2(small - small / 2));
  }
}

}  // namespace

// Data whose values span the whole range, so that many products of values underflow (the
// certified lanes leave those out): both ratios against the definition, bit for bit, on
// wide data around the chunks, and on ties and near ties decided by products at the
// bottom of the range, which the lanes must decline or get right.
TEST(CenteredRatios, ProductsThatUnderflowKeepTheDefinitionsBits) {
  std::mt19937_64 rng(1818);
  for (size_t n : {16u, 255u, 256u, 257u, 300u, 513u, 1000u, 2053u}) {
    for (int trial = 0; trial < 6; ++trial) {
      Vec x = testutil::wideRange(rng, n, trial % 2 == 0 ? -500 : -1074, 500);
      Vec y = testutil::wideRange(rng, n, -500, trial % 3 == 0 ? 0 : 500);
      const double cx = trial % 3 == 1 ? x[1] : 0.0, cy = 0.0;
      const double cos = sela_centered_cosine_similarity(x.data(), y.data(), n, cx, cy);
      const double proj = sela_centered_projection_coefficient(x.data(), y.data(), n, cx, cy);
      ASSERT_TRUE(SameBits(modelCosine(x, y, cx, cy), cos)) << "n " << n << " trial " << trial;
      ASSERT_TRUE(SameBits(modelProjection(x, y, cx, cy), proj)) << "n " << n << " trial " << trial;
    }
  }
  for (size_t lead : {0u, 7u, 260u, 600u}) {
    for (const int big : {-700, -862, -900}) {
      for (const int small : {-753, -915, -920, -930, -960}) {
        if (small >= big - 1 || big - 53 - small < 0) continue;
        for (int past : {0, 1}) {
          Vec x, y;
          tieAtTheBottom(rng, lead, big, small, past, x, y);
          const auto n = static_cast<int64_t>(x.size());
          const double cos = sela_centered_cosine_similarity(x.data(), y.data(), n, 0.0, 0.0);
          const double proj = sela_centered_projection_coefficient(x.data(), y.data(), n, 0.0, 0.0);
          ASSERT_TRUE(SameBits(modelCosine(x, y, 0.0, 0.0), cos)) << lead << " " << big << " " << small << " " << past;
          ASSERT_TRUE(SameBits(modelProjection(x, y, 0.0, 0.0), proj)) << lead << " " << big << " " << small;
        }
      }
    }
  }
}

// Data whose scales lie below 2^-1000, where the vector loops lift every element, center and
// scale by 2^1000 before they center and divide, and below 2^-900, where they lift when a
// sample of the elements holds a subnormal one: the values, the cosine and the projection
// against the definition, bit for bit. Subnormal and small normal elements of both signs,
// zeros of both signs, centers subnormal, normal, at an element, -0 and NaN, a NaN
// element, scales just below and at 2^-1000 and 2^-900 (where the loops do not lift), one
// vector tiny beside one of ordinary magnitudes (lifted alone), at lengths around the
// vectors, their pairs and the sweep's lag.
TEST(CenteredRatios, TinyScalesKeepTheDefinitionsBits) {
  std::mt19937_64 rng(900);
  const auto tiny = [&](size_t n, int top) {
    Vec v(n);
    for (double& e : v) {
      switch (rng() % 6) {
        case 0:
          e = std::bit_cast<double>(rng() >> 12);  // subnormal (or +0)
          break;
        case 1:
          e = std::bit_cast<double>(rng() % 64);  // the least subnormals
          break;
        case 2:
          e = rng() % 2 ? 0.0 : -0.0;
          break;
        default:
          e = std::ldexp(1.0 + static_cast<double>(rng() >> 12) * 0x1p-52,
                         static_cast<int>(rng() % static_cast<uint64_t>(top + 1075)) - 1075);
      }
      if (rng() % 2) e = -e;
    }
    return v;
  };
  int lifted = 0, sampled = 0;
  for (size_t n : {1u, 3u, 7u, 8u, 9u, 16u, 17u, 31u, 33u, 64u, 255u, 257u, 1000u, 1537u}) {
    for (int trial = 0; trial < 14; ++trial) {
      const int top = std::array<int, 5>{-1022, -1010, -1001, -950, -901}[trial % 5];
      Vec x = tiny(n, top), y = trial % 7 == 3 ? testutil::wideRange(rng, n, -40, 200) : tiny(n, top);
      double cx = std::array<double, 5>{0.0, -0.0, x[0], std::bit_cast<double>(rng() >> 12), 0x1p-1005}[trial % 5];
      double cy = trial % 4 == 1 ? y[n / 2] : 0.0;
      if (trial == 6) cy = kNaN;
      if (trial == 8) x[rng() % n] = kNaN;
      if (trial == 10) x[rng() % n] = std::nextafter(0x1p-1000, 0.0);  // the largest lifted scale
      if (trial == 12) y[rng() % n] = -0x1p-1000;                       // not always lifted: the scale is 2^-1000
      if (trial == 11) x[rng() % n] = std::nextafter(0x1p-900, 0.0);    // the largest scale lifted by the sample
      if (trial == 13) x[rng() % n] = -0x1p-900;                        // not lifted
      double sx = 0.0, sy = 0.0;
      Vec u, v;
      if (modelValues(x, y, cx, cy, sx, sy, u, v)) {
        lifted += sx < 0x1p-1000 && sx > 0.0;
        sampled += sx >= 0x1p-1000 && sx < 0x1p-900;
        const auto r = normalizedCentered(x.data(), static_cast<int64_t>(n), cx);
        ASSERT_TRUE(SameBits(sx, r.scale));
        for (size_t i = 0; i < n; ++i) {
          ASSERT_TRUE(SameBits(u[i], r.values[i]) || (std::isnan(u[i]) && std::isnan(r.values[i])))
              << "n " << n << " trial " << trial << " at " << i;
        }
      }
      const double cos = sela_centered_cosine_similarity(x.data(), y.data(), n, cx, cy);
      const double proj = sela_centered_projection_coefficient(x.data(), y.data(), n, cx, cy);
      const double wantCos = modelCosine(x, y, cx, cy), wantProj = modelProjection(x, y, cx, cy);
      ASSERT_TRUE(SameBits(wantCos, cos) || (std::isnan(wantCos) && std::isnan(cos))) << "n " << n << " trial " << trial;
      ASSERT_TRUE(SameBits(wantProj, proj) || (std::isnan(wantProj) && std::isnan(proj)))
          << "n " << n << " trial " << trial;
    }
  }
  EXPECT_GT(lifted, 60);
  EXPECT_GT(sampled, 40);
}

TEST(ScaledNorm, LowScalesWithSubnormalElementsMatchTheLiteralLoop) {
  // A normal scale below 2^-511 divides subnormal elements as integer significands by
  // scale 2^1074 and drops quotients below 2^-511 (whose squares cannot move ssq): against
  // the literal loop and the GMP bound, with scales across [2^-1022, 2^-511] and at both
  // ends, arriving first or anywhere; elements subnormal (the smallest, the largest, zeros
  // of both signs, quotients around 2^-511) and normal ones below the scale.
  std::mt19937_64 rng(511);
  std::vector<double> scales = {0x1p-1022, 0x1.0000000000001p-1022, 0x1.8p-1000, 0x1p-563, 0x1p-520,
                                0x1.fffffffffffffp-512, 0x1p-511};
  for (int k = 0; k < 6; ++k) scales.push_back(std::ldexp(1.0 + uniformIn(rng, 0, 1), static_cast<int>(uniformIn(rng, -1022, -512))));
  for (size_t n : {4u, 5u, 8u, 13u, 64u, 1000u}) {
    for (const double scale : scales) {
      for (int layout = 0; layout < 3; ++layout) {
        Vec x = testutil::wideRange(rng, n, -1074, -1023);
        if (layout == 1) {
          const int top = std::max(-1021, std::ilogb(scale));  // |x| < 2^top <= scale
          for (size_t i = 2; i < n; i += 3) x[i] = std::ldexp(uniformIn(rng, -1, 1), static_cast<int>(uniformIn(rng, -1022, top)));
        }
        if (layout == 2 && n >= 8) {
          // Quotients at 2^-511 and an ulp to either side, where the dropped ones begin.
          const double edge = scale * 0x1p-511;  // subnormal for these scales, rounded
          x[1] = edge;
          x[3] = std::nextafter(edge, 0.0);
          x[5] = -std::nextafter(edge, 1.0);
          x[6] = -0.0;
          x[7] = 0x1p-1074;
        }
        x[layout == 0 ? 0 : rng() % n] = (rng() & 1) ? scale : -scale;
        ASSERT_TRUE(SameBits(literalNorm(x), sela_norm_scaled(x.data(), n))) << n << " " << scale << " " << layout;
        ASSERT_TRUE(normWithinBound(x)) << n << " " << scale << " " << layout;
      }
    }
  }
}
