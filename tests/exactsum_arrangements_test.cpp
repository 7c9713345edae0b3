// The faster arrangements of the exact engine against independent references: the GMP
// oracle, the element step of one product at a time, a carry model in big integers, and
// step-by-step models of the centered reductions. Lengths straddle every switch: the
// countdown (2047, 2048), the split products' bins (2048) and the centered reductions'
// stack buffers (256).
#include <gmp.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "algorithms/exactengine.h"
#include "algorithms/statistical_reductions.h"
#include "oracle.h"
#include "sela.h"
#include "test_util.h"

namespace {

using namespace sela;
using testutil::pow2;
using testutil::SameBits;
using Vec = std::vector<double>;

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();

const int64_t kLengths[] = {1, 2, 15, 16, 17, 255, 256, 257, 511, 1000, 2047, 2048, 2049, 4095, 4096, 5000};

// The element step of the accumulator, one product (or one double) at a time.
double productsOneByOne(const Vec& x, const Vec& y, int64_t n) {
  SuperAccumulator acc;
  initialize(acc);
  addProductsEach(acc, x.data(), y.data(), n);
  return round(acc);
}

double sumOneByOne(const Vec& x, int64_t n) {
  SuperAccumulator acc;
  initialize(acc);
  addEach(acc, x.data(), n);
  return round(acc);
}

// Runs f with the products formed with and without the fused multiply-add split.
template <typename F>
void bothProductArrangements(F f) {
  const ProductSplit* offered = productSplitImpl.get();
  if (productSplit() != nullptr) f("split");
  productSplitImpl.store(&kNoProductSplit);
  f("128-bit");
  productSplitImpl.store(offered);
}

// Families of factor pairs: in the double range, across the whole range (overflowing and
// underflowing products, subnormal factors), integers (every r is zero), and mixtures.
Vec family(std::mt19937_64& rng, int kind, size_t n) {
  switch (kind) {
    case 0: return testutil::uniform(rng, n);
    case 1: return testutil::wideRange(rng, n, -500, 500);
    case 2: return testutil::wideRange(rng, n, -1074, 1023);
    case 3: {
      Vec v(n);
      for (auto& x : v) x = static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000);
      return v;
    }
    default: {
      Vec v = testutil::wideRange(rng, n, -560, -500);  // products near 2^-1022 and below
      for (size_t i = 0; i < n; i += 7) v[i] = 0.0;
      return v;
    }
  }
}

}  // namespace

// ---- Products ----------------------------------------------------------------------------

TEST(ExactProductArrangements, AgreeWithTheOracleAndTheElementStep) {
  bothProductArrangements([](const char* how) {
    std::mt19937_64 rng(1201);
    for (int kind = 0; kind < 5; ++kind) {
      for (int64_t n : kLengths) {
        const Vec x = family(rng, kind, static_cast<size_t>(n));
        const Vec y = family(rng, kind == 4 ? 1 : kind, static_cast<size_t>(n));
        const double got = superDot(x.data(), n, y.data(), n);
        ASSERT_TRUE(SameBits(productsOneByOne(x, y, n), got)) << how << " kind " << kind << " n " << n;
        // Without products below 2^-1022 the floor cuts nothing: the oracle's exact value.
        if (kind <= 1 || kind == 3) {
          ASSERT_TRUE(SameBits(oracle::exactDot(x.data(), y.data(), n), got)) << how;
        }
      }
    }
  });
}

// The split products in the sum bins, whatever the certified pass would decide: h near the
// bottom of the split (with an r 104 fields below that alone is the result), near the
// top, in one binade and spread over all of them, with zero r among them, all exact.
TEST(ExactProductArrangements, SplitBinsAtTheEdgesOfTheRange) {
  const ProductSplit* split = productSplit();
  if (split == nullptr) GTEST_SKIP() << "no fused multiply-add on this processor";
  std::mt19937_64 rng(107);
  for (int kind = 0; kind < 6; ++kind) {
    for (int64_t n : {1, 2, 5, 300, 1000}) {
      Vec x = family(rng, kind % 4, static_cast<size_t>(n));
      Vec y = family(rng, kind % 4, static_cast<size_t>(n));
      if (kind == 4) {  // h near the bottom of the split (fields 133-135), r 53-106 below
        x = testutil::wideRange(rng, static_cast<size_t>(n), -450, -450);
        y = testutil::wideRange(rng, static_cast<size_t>(n), -440, -440);
        // Products that cancel in pairs, and (1 + 2^-52)^2 = 1 + 2^-51 + 2^-104 less
        // 1 + 2^-51: the result is the r of that product alone, 104 fields below its h,
        // in limb window 0.
        if (n % 2 == 0) {
          for (int64_t k = 1; k < n; k += 2) {
            x[k] = -x[k - 1];
            y[k] = y[k - 1];
          }
          x[0] = (1.0 + pow2(-52)) * pow2(-450);
          y[0] = (1.0 + pow2(-52)) * pow2(-440);
          x[1] = -(1.0 + pow2(-51)) * pow2(-450);
          y[1] = pow2(-440);
        }
      }
      if (kind == 5) {  // h near the top of the range, and one small product far below
        x = testutil::wideRange(rng, static_cast<size_t>(n), 500, 500);
        y = testutil::wideRange(rng, static_cast<size_t>(n), 500, 500);
        x[0] = 1.0 + pow2(-30);
        y[0] = 3.0;
      }
      SuperAccumulator acc;
      initialize(acc);
      ProductStream stream;
      beginProductStream(stream, acc, split, 0, n, x.data(), y.data(), n);
      streamProducts(stream, x.data(), y.data(), n);
      endProductStream(stream);
      ASSERT_TRUE(SameBits(productsOneByOne(x, y, n), round(acc))) << "kind " << kind << " n " << n;
    }
  }
}

TEST(ExactProductArrangements, ProductsAtTheEdgesOfTheSplit) {
  // Exponent fields of h around 106/107 (the split's lower edge), products rounding to
  // DBL_MAX or beyond, subnormal factors, the product floor, special values.
  const Vec x = {pow2(-461),      pow2(-459) * 1.5, -pow2(-461) * 1.75, kMax,       kMax, 1.0 + pow2(-52),
                 pow2(-1074),     pow2(-538),       3.0,                -0.0,       kInf, std::nan("")};
  const Vec y = {pow2(-456) * 1.3, -pow2(-457) * 1.1, pow2(-455) * 1.9, 1.0 - pow2(-53), 1.0, kMax,
                 1.5,              pow2(-538),        pow2(-1000),      2.0,        0.5,  1.0};
  bothProductArrangements([&](const char* how) {
    // Every subset of the first nine products, as a 2048-long input too (the bins).
    for (int mask = 1; mask < (1 << 9); mask += 3) {
      Vec a, b;
      for (int k = 0; k < 9; ++k)
        if (mask & (1 << k)) {
          a.push_back(x[k]);
          b.push_back(y[k]);
        }
      const auto n = static_cast<int64_t>(a.size());
      ASSERT_TRUE(SameBits(productsOneByOne(a, b, n), superDot(a.data(), n, b.data(), n))) << how << mask;
      Vec la(2048, 0.0), lb(2048, 0.0);
      for (size_t k = 0; k < a.size(); ++k) {
        la[k * 200] = a[k];
        lb[k * 200] = b[k];
      }
      ASSERT_TRUE(SameBits(productsOneByOne(la, lb, 2048), superDot(la.data(), 2048, lb.data(), 2048))) << how;
    }
    // Special values: the side words decide, in both arrangements.
    for (int64_t n : {12, 2048}) {
      Vec a(static_cast<size_t>(n), 1.0), b(static_cast<size_t>(n), 2.0);
      for (size_t k = 0; k < x.size(); ++k) {
        a[k * static_cast<size_t>(n) / 12] = x[k];
        b[k * static_cast<size_t>(n) / 12] = y[k];
      }
      ASSERT_TRUE(SameBits(productsOneByOne(a, b, n), superDot(a.data(), n, b.data(), n))) << how << n;
    }
  });
  // DBL_MAX * (1 - 2^-53) lies within half an ulp of the double below DBL_MAX; the
  // product rounded alone is DBL_MAX, the split's h, with a negative r.
  EXPECT_TRUE(SameBits(oracle::exactDot(&x[3], &y[3], 1), sela_dot_exact(&x[3], &y[3], 1)));
  EXPECT_TRUE(SameBits(std::nextafter(kMax, 0.0), sela_dot_exact(&x[3], &y[3], 1)));
}

TEST(ExactProductArrangements, FullProductsAroundTheLowerEdgeOfTheSplit) {
  // Factors with full significands whose products fall in the binades around 2^-917 and
  // 2^-916 (exponent fields 100 .. 112): below the edge the remainder would be subnormal.
  std::mt19937_64 rng(1205);
  Vec x(3000), y(3000);
  for (size_t i = 0; i < x.size(); ++i) {
    const int e = -930 + static_cast<int>(rng() % 18);
    x[i] = std::ldexp(static_cast<double>((rng() >> 11) | (1ULL << 52)), -52 - 400);
    y[i] = std::ldexp(static_cast<double>((rng() >> 11) | (1ULL << 52)), -52 + e + 400);
    if (rng() & 1) y[i] = -y[i];
  }
  // (1 + 2^-52)^2 = 1 + 2^-51 + 2^-104: the remainder lies 104 binades below the
  // product, subnormal when the product lies below 2^-918.
  for (int k = 0; k < 14; ++k) {
    x[7 * k] = (1.0 + pow2(-52)) * pow2(-460);
    y[7 * k] = (1.0 + pow2(-52)) * pow2(-466 + k);
  }
  // The same pairs alone, each followed by -h: only the remainders are left.
  Vec a(3000, 0.0), b(3000, 1.0);
  for (int k = 0; k < 14; ++k) {
    a[7 * k] = x[7 * k];
    b[7 * k] = y[7 * k];
    a[7 * k + 1] = -(1.0 + pow2(-51)) * pow2(-460);
    b[7 * k + 1] = pow2(-466 + k);
  }
  bothProductArrangements([&](const char* how) {
    for (int64_t n : {100, 3000}) {
      ASSERT_TRUE(SameBits(oracle::exactDot(x.data(), y.data(), n), superDot(x.data(), n, y.data(), n))) << how;
      ASSERT_TRUE(SameBits(productsOneByOne(x, y, n), superDot(x.data(), n, y.data(), n))) << how;
      ASSERT_TRUE(SameBits(oracle::exactDot(a.data(), b.data(), n), superDot(a.data(), n, b.data(), n))) << how;
    }
  });
}

TEST(ExactProductArrangements, FewProductsOutsideTheSplitAmongMany) {
  // Split bins with a sprinkling of products beyond DBL_MAX (cancelling in pairs) and
  // below 2^-1022 (under the product floor in part): those go to the 128-bit bins of the
  // same stream. Also 2^21 + 5 of them alone, past the 128-bit bins' flush period.
  std::mt19937_64 rng(1207);
  for (int64_t n : {2048, 5000, 60000}) {
    Vec x = testutil::wideRange(rng, static_cast<size_t>(n), -400, 400);
    Vec y = testutil::wideRange(rng, static_cast<size_t>(n), -400, 400);
    for (int64_t k = 0; k + 1 < n; k += 97) {
      x[static_cast<size_t>(k)] = std::ldexp(1.0 + static_cast<double>(k) * pow2(-40), 600);
      y[static_cast<size_t>(k)] = pow2(500);
      x[static_cast<size_t>(k + 1)] = -pow2(600) * 1.25;
      y[static_cast<size_t>(k + 1)] = std::ldexp(1.0 + static_cast<double>(k) * pow2(-45), 500);
    }
    for (int64_t k = 50; k < n; k += 131) {
      x[static_cast<size_t>(k)] = std::ldexp(1.0 + static_cast<double>(k) * pow2(-40), -600);
      y[static_cast<size_t>(k)] = std::ldexp(-1.0 - static_cast<double>(k) * pow2(-41), -470 + static_cast<int>(k % 20));
    }
    ASSERT_TRUE(SameBits(productsOneByOne(x, y, n), superDot(x.data(), n, y.data(), n))) << n;
  }
  const int64_t many = (int64_t{1} << 21) + 5;
  // Products near 2^-1000, each cut by the product floor, all in the lowest product bin.
  Vec tiny(static_cast<size_t>(many), pow2(-600) * (2.0 - pow2(-52)));
  const Vec other(static_cast<size_t>(many), pow2(-400) * (2.0 - pow2(-51)));
  for (size_t i = 0; i < tiny.size(); i += 3) tiny[i] = -tiny[i] * 0.75;
  const double expected = productsOneByOne(tiny, other, many);
  EXPECT_TRUE(SameBits(expected, superDot(tiny.data(), many, other.data(), many)));
  EXPECT_NE(0.0, expected);
}

TEST(ExactProductArrangements, BinsThatWrapAndZeroRemainders) {
  bothProductArrangements([](const char* how) {
    // Products with all-ones significands land in one bin each for h and r and wrap
    // every copy of the bins many times; integer products leave r = 0 every time.
    const double big = 2.0 - pow2(-52);
    for (int64_t n : {2047, 2048, 40000}) {
      const Vec x(static_cast<size_t>(n), big), y(static_cast<size_t>(n), -big);
      ASSERT_TRUE(SameBits(oracle::exactDot(x.data(), y.data(), n), superDot(x.data(), n, y.data(), n))) << how;
      const Vec i(static_cast<size_t>(n), 3.0);
      ASSERT_TRUE(SameBits(9.0 * static_cast<double>(n), superDot(i.data(), n, i.data(), n))) << how;
    }
  });
}

// ---- Sums at the switching lengths ------------------------------------------------------

TEST(ExactSumArrangements, ShortAndLongSumsAgreeWithTheOracle) {
  std::mt19937_64 rng(1202);
  for (int64_t n : kLengths) {
    // Runs of one binade broken by other binades, subnormals, zeros and cancellation.
    Vec x = testutil::uniform(rng, static_cast<size_t>(n));
    for (int64_t k = 0; k < n; k += 5) x[static_cast<size_t>(k)] = std::ldexp(x[static_cast<size_t>(k)], -1040);
    for (int64_t k = 2; k < n; k += 11) x[static_cast<size_t>(k)] = -x[static_cast<size_t>(k - 1)] * pow2(60);
    for (int64_t k = 3; k < n; k += 13) x[static_cast<size_t>(k)] = (k & 1) ? 0.0 : -0.0;
    const double expected = oracle::exactSum(x);
    ASSERT_TRUE(SameBits(expected, superSum(x.data(), n))) << n;
    ASSERT_TRUE(SameBits(expected, sumOneByOne(x, n))) << n;
    const Vec w = testutil::wideRange(rng, static_cast<size_t>(n));
    ASSERT_TRUE(SameBits(oracle::exactSum(w), superSum(w.data(), n))) << n;
  }
  // The countdown: runs of 2047 deposits of a large magnitude into one limb pair.
  const Vec top(5000, kMax / 4096);
  EXPECT_TRUE(SameBits(oracle::exactSum(top), superSum(top.data(), 5000)));
}

// ---- Carry propagation against a big-integer model ---------------------------------------

TEST(CarryPropagation, KeepsTheValueAndReachesTheNormalForm) {
  std::mt19937_64 rng(1203);
  for (int trial = 0; trial < 3000; ++trial) {
    SuperAccumulator acc;
    initialize(acc);
    acc.addsLeft = static_cast<int64_t>(rng() % 2048);
    const int64_t used = kAddsAfterInit - acc.addsLeft;
    const int first = static_cast<int>(rng() % kSuperLimbs);
    const int count = 1 + static_cast<int>(rng() % 6);
    for (int k = first; k < first + count && k < kSuperLimbs - 2; ++k) {
      // Any limb within the headroom used; sometimes small digits, -1s or exact cancels.
      const int64_t bound = used << 52;
      int64_t v = bound == 0 ? 0 : static_cast<int64_t>(rng() % static_cast<uint64_t>(bound));
      if (trial % 4 == 1) v = static_cast<int64_t>(rng() % 3) - 1;
      if (trial % 4 == 2) v = static_cast<int64_t>(rng() & 0xFFFFFFFF);
      acc.limbs[k] = (rng() & 1) ? -v : v;
    }
    mpz_t before, after, t;
    mpz_inits(before, after, t, nullptr);
    for (int k = kSuperLimbs - 1; k >= 0; --k) {
      mpz_mul_2exp(before, before, 32);
      mpz_set_si(t, acc.limbs[k]);
      mpz_add(before, before, t);
    }
    const int64_t top = carryPropagate(acc);
    for (int k = kSuperLimbs - 1; k >= 0; --k) {
      mpz_mul_2exp(after, after, 32);
      mpz_set_si(t, acc.limbs[k]);
      mpz_add(after, after, t);
    }
    ASSERT_EQ(0, mpz_cmp(before, after)) << trial;
    ASSERT_EQ(kAddsAfterCarry, acc.addsLeft);
    for (int k = 0; k < top; ++k) ASSERT_TRUE(acc.limbs[k] >= 0 && acc.limbs[k] < (int64_t{1} << 32)) << trial;
    for (int k = static_cast<int>(top) + 1; k < kSuperLimbs; ++k) ASSERT_EQ(0, acc.limbs[k]) << trial;
    const int64_t d = acc.limbs[top];
    ASSERT_TRUE(d >= -(int64_t{1} << 32) && d < (int64_t{1} << 32)) << trial;
    if (top > 0) {
      ASSERT_NE(0, d) << trial;
      ASSERT_NE(-1, d) << trial;
    }
    ASSERT_EQ(mpz_sgn(before), d > 0 ? 1 : d < 0 ? -1 : 0) << trial;
    mpz_clears(before, after, t, nullptr);
  }
}

// ---- Centered reductions against step-by-step models -------------------------------------

namespace {

// The models: the whole vectors of rounded differences (or normalized values) built
// first, then accumulated exactly once.
Vec differences(const Vec& x, double c) {
  Vec d(x.size());
  for (size_t i = 0; i < x.size(); ++i) d[i] = x[i] - c;
  return d;
}

Vec normalized(const Vec& x, double c, double& scale) {
  scale = 0.0;
  for (double v : x)
    if (std::fabs(v) > scale) scale = std::fabs(v);
  if (!x.empty() && std::fabs(c) > scale) scale = std::fabs(c);
  Vec u(x.size(), 0.0);
  if (scale == 0.0 || !(scale < kInf)) return u;
  for (size_t i = 0; i < x.size(); ++i) {
    const double d = x[i] - c;
    u[i] = std::isinf(d) ? x[i] / scale - c / scale : d / scale;
  }
  return u;
}

double modelCosine(const Vec& x, const Vec& y, double cx, double cy) {
  double sx, sy;
  const Vec u = normalized(x, cx, sx), v = normalized(y, cy, sy);
  if (!(sx < kInf) || !(sy < kInf)) return std::nan("");
  const auto n = static_cast<int64_t>(x.size());
  const double nu = scaledEuclideanNorm(u.data(), n), nv = scaledEuclideanNorm(v.data(), n);
  if (nu == 0.0 || nv == 0.0) return std::nan("");
  const double r = (productsOneByOne(u, v, n) / nu) / nv;
  return r != r ? std::nan("") : r >= 1.0 ? 1.0 : r <= -1.0 ? -1.0 : r;
}

double modelProjection(const Vec& x, const Vec& y, double cx, double cy) {
  double sx, sy;
  const Vec u = normalized(x, cx, sx), v = normalized(y, cy, sy);
  if (!(sx < kInf) || !(sy < kInf)) return std::nan("");
  const auto n = static_cast<int64_t>(x.size());
  const double cross = productsOneByOne(u, v, n), self = productsOneByOne(u, u, n);
  if (self == 0.0) return std::nan("");
  if (cross == 0.0) return 0.0;  // (data below hold no NaN)
  int ce, se, ye, xe;
  const double cm = std::frexp(cross, &ce), sm = std::frexp(self, &se);
  const double ym = std::frexp(sy, &ye), xm = std::frexp(sx, &xe);
  return std::ldexp((ym * cm) / (xm * sm), ce + ye - se - xe);
}

}  // namespace

TEST(CenteredStreams, MatchTheirStepByStepModels) {
  bothProductArrangements([](const char* how) {
    std::mt19937_64 rng(1204);
    for (int kind = 0; kind < 3; ++kind) {
      for (int64_t n : kLengths) {
        const auto len = static_cast<size_t>(n);
        const Vec x = family(rng, kind, len), y = family(rng, kind, len);
        const double cx = x[len / 2] * 0.75, cy = -y[len / 3] * 0.5;
        const Vec dx = differences(x, cx), dy = differences(y, cy);
        ASSERT_TRUE(SameBits(productsOneByOne(dx, dx, n), sela_centered_sum_squares(x.data(), len, cx)))
            << how << " kind " << kind << " n " << n;
        ASSERT_TRUE(SameBits(productsOneByOne(dx, dy, n), sela_centered_cross_product(x.data(), y.data(), len, cx, cy)))
            << how << " kind " << kind << " n " << n;
        if (kind != 2) {
          ASSERT_TRUE(SameBits(oracle::exactDot(dx.data(), dy.data(), n),
                               sela_centered_cross_product(x.data(), y.data(), len, cx, cy)));
        }
        ASSERT_TRUE(SameBits(modelCosine(x, y, cx, cy),
                             sela_centered_cosine_similarity(x.data(), y.data(), len, cx, cy)))
            << how << " kind " << kind << " n " << n;
        ASSERT_TRUE(SameBits(modelProjection(x, y, cx, cy),
                             sela_centered_projection_coefficient(x.data(), y.data(), len, cx, cy)))
            << how << " kind " << kind << " n " << n;
      }
    }
  });
}

TEST(CenteredStreams, SpecialValuesInLaterBuffers) {
  // A NaN or an infinity in the second or a later buffer, and differences that overflow.
  for (int64_t n : {300, 2100}) {
    const auto len = static_cast<size_t>(n);
    Vec x(len, 1.5), y(len, -0.5);
    x[len - 3] = 1e308;
    y[len - 5] = -1e308;
    EXPECT_TRUE(SameBits(kInf, sela_centered_sum_squares(x.data(), len, -1e308)));
    // Two overflowing differences, each times a finite one: -inf.
    const Vec dx = differences(x, -1e308), dy = differences(y, 1e308);
    EXPECT_TRUE(SameBits(-kInf, sela_centered_cross_product(x.data(), y.data(), len, -1e308, 1e308)));
    EXPECT_TRUE(SameBits(productsOneByOne(dx, dy, n), -kInf));
    x[len - 1] = std::nan("");
    EXPECT_TRUE(std::isnan(sela_centered_sum_squares(x.data(), len, 0.0)));
    EXPECT_TRUE(std::isnan(sela_centered_cosine_similarity(x.data(), y.data(), len, 0.0, 0.0)));
    x[len - 1] = 2.0;
    const double c = sela_centered_cosine_similarity(x.data(), y.data(), len, -1e308, 0.0);
    EXPECT_TRUE(SameBits(modelCosine(x, y, -1e308, 0.0), c));
    EXPECT_TRUE(std::isfinite(c));
  }
}

TEST(CenteredStreams, ScaleAndValuesInLanesMatchTheElementStep) {
  // NaNs, infinities and overflowing differences at every position of a lane block.
  std::mt19937_64 rng(1206);
  for (int p = 0; p < 21; ++p) {
    for (double special : {std::nan(""), kInf, -kInf, 1e308, -0.0}) {
      Vec x = testutil::uniform(rng, 21);
      x[static_cast<size_t>(p)] = special;
      for (double c : {0.25, -1e308, std::nan("")}) {
        double expected = 0.0;
        for (double v : x)
          if (std::fabs(v) > expected) expected = std::fabs(v);
        if (std::fabs(c) > expected) expected = std::fabs(c);
        const double scale = centeredScale(x.data(), 21, c);
        ASSERT_TRUE(SameBits(expected, scale)) << p << " " << special << " " << c;
        if (!(scale < kInf)) continue;
        double model;
        const Vec u = normalized(x, c, model);
        Vec out(21);
        normalizeCentered(x.data(), 21, c, scale, out.data());
        for (size_t i = 0; i < 21; ++i) ASSERT_TRUE(SameBits(u[i], out[i])) << p << " " << i;
      }
    }
  }
}
