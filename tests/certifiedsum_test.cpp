// The certified dot product: wherever it accepts, its double must be the exact dot product
// rounded to nearest (GMP oracle); it must decline what its bound cannot prove (ties,
// special values, overflow, products too small to split exactly), and the exported exact
// dot product must keep the floored oracle's bits whichever route decides. On a processor
// without a fused multiply-add the route always declines (run under the emulator presets).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "algorithms/certifiedsum.h"
#include "dot_test_data.h"
#include "oracle.h"
#include "sela.h"
#include "simd_dispatch.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();

bool routeAvailable() {
  const std::vector<double> one = {1.0};
  double r;
  return sela::certifiedDot(one.data(), one.data(), 1, r);
}

// Runs the route on x . y; when it accepts, it must give the floored oracle's double (the
// exact dot product where no product is near the floor). Also checks the export. Returns
// whether the route accepted.
bool checkDot(const std::vector<double>& x, const std::vector<double>& y, const char* what) {
  const auto n = static_cast<int64_t>(x.size());
  double r = -1.0;
  const bool accepted = sela::certifiedDot(x.data(), y.data(), n, r);
  if (accepted) {
    EXPECT_TRUE(SameBits(oracle::flooredDot(x.data(), y.data(), n), r)) << what << " n=" << n;
  }
  EXPECT_TRUE(SameBits(oracle::flooredDot(x.data(), y.data(), n), sela_dot_exact(x.data(), y.data(), n)))
      << what << " n=" << n;
  return accepted;
}

std::vector<double> smallIntegers(std::mt19937_64& rng, size_t n) {
  std::vector<double> v(n);
  for (auto& x : v) x = static_cast<double>(static_cast<int>(rng() % 17) - 8);
  return v;
}

}  // namespace

TEST(CertifiedDot, AcceptsOnlyTheNearestAndMostPlainData) {
  if (!routeAvailable()) GTEST_SKIP() << "no fused multiply-add here: the route always declines";
  std::mt19937_64 rng(90210);
  for (size_t n : {1u, 2u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 23u, 31u, 32u, 33u, 100u, 255u, 1000u, 4097u}) {
    int accepted = 0, acceptedWide = 0;
    const int trials = n > 1000 ? 8 : 30;
    for (int t = 0; t < trials; ++t) {
      accepted += checkDot(testutil::uniform(rng, n), testutil::uniform(rng, n), "uniform");
      // Products over +-1000 binades: some below 2^-916, whose floor the bound absorbs.
      acceptedWide +=
          checkDot(testutil::wideRange(rng, n, -500, 500), testutil::wideRange(rng, n, -500, 500), "wide");
      checkDot(smallIntegers(rng, n), smallIntegers(rng, n), "integers");
      // Sparse: zeros of both signs beside factors so small that any non-zero product of
      // two of them would be flagged; each such factor meets a zero.
      std::vector<double> x = testutil::uniform(rng, n), y = testutil::uniform(rng, n);
      for (size_t i = 0; i < n; i += 2) {
        x[i] = (i & 2) ? -0.0 : 0.0;
        y[i] = pow2(-1074) * static_cast<double>(1 + (rng() & 7));
      }
      checkDot(x, y, "sparse");
    }
    EXPECT_GE(accepted, trials * 9 / 10) << n;
    EXPECT_GE(acceptedWide, trials * 9 / 10) << n;
  }
  // Products near the floor beside two large ones, with a result far above them:
  // accepted, the floor's effect bounded. (1 + 2^-52)^2 2^-1000 has bits down to 2^-1104.
  std::vector<double> x(64, 1.0 + pow2(-52)), y(64, std::ldexp(1.0 + pow2(-52), -1000));
  x[7] = 1.0;
  y[7] = 1.0;
  y[9] = 1.0 + pow2(-52);
  EXPECT_TRUE(checkDot(x, y, "floor beside a large product"));
  // All products tiny and the result among them: declined (the result must be at least
  // 2^-1021 when the floor can have cut anything).
  x[7] = 0.0;
  x[9] = 0.0;
  EXPECT_FALSE(checkDot(x, y, "only tiny products"));
}

TEST(CertifiedDot, IllConditionedIsRightOrDeclined) {
  std::mt19937_64 rng(777);
  for (double cond : {1e4, 1e12, 1e20, 1e30, 1e60}) {
    for (size_t n : {6u, 16u, 17u, 64u, 200u}) {
      for (int t = 0; t < 6; ++t) {
        const dotdata::DotCase c = dotdata::genDot(rng, n, cond);
        checkDot(c.x, c.y, "genDot");
      }
    }
  }
}

TEST(CertifiedDot, DeclinesWhatTheBoundCannotProve) {
  if (!routeAvailable()) GTEST_SKIP() << "no fused multiply-add here: the route always declines";
  std::mt19937_64 rng(5);
  double r = 0.0;
  // Products below 2^-916 whose low parts are exact ties below the subnormal grid:
  // (1 + 2^-52) * 2^-971 (1 + 2^-52) = h + 2^-1075 with h a double, so the fused
  // multiply-add rounds the low part 2^-1075 to 0. Two such products and two -h products
  // leave every split term zero, so without the flag the bound would certify 0; the exact
  // products (and the floored oracle) give 2^-1074. Tried in every lane position,
  // the zero-padded tail included, beside zero products that add no error terms.
  const double f = 1.0 + pow2(-52);
  const double g = std::ldexp(f, -971);
  const double h = pow2(-971) + pow2(-1022);
  ASSERT_EQ(h, f * g);
  for (size_t n : {4u, 5u, 16u, 21u, 40u}) {
    for (size_t at = 0; at < n; ++at) {
      std::vector<double> x(n, 0.0), y = testutil::uniform(rng, n);
      const size_t slots[4] = {at, (at + 1) % n, (at + 2) % n, (at + 3) % n};
      for (int k = 0; k < 4; ++k) {
        x[slots[k]] = (k & 1) ? -h : f;
        y[slots[k]] = (k & 1) ? 1.0 : g;
      }
      EXPECT_FALSE(sela::certifiedDot(x.data(), y.data(), static_cast<int64_t>(n), r)) << n << " " << at;
      EXPECT_TRUE(SameBits(pow2(-1074), sela_dot_exact(x.data(), y.data(), static_cast<int64_t>(n))));
      EXPECT_TRUE(SameBits(pow2(-1074), oracle::flooredDot(x.data(), y.data(), static_cast<int64_t>(n))));
    }
  }
  // The floor's effect on a tie: two f * g products hold 2^-1075 each below their split,
  // and the rest leaves every lane sum and merge exact, so no error term is non-zero. The
  // split values sum to S = 2^-1021 + 2^-1073 (odd), the floored products to S + 2^-1074,
  // a tie that rounds to even: S + 2^-1073. Only the margin for the floor declines it.
  {
    const std::vector<double> x = {f, f, -pow2(-970), pow2(-1073)}, y = {g, g, 1.0, 1.0};
    const double expected = pow2(-1021) + pow2(-1072);
    EXPECT_FALSE(sela::certifiedDot(x.data(), y.data(), 4, r));
    EXPECT_TRUE(SameBits(expected, oracle::flooredDot(x.data(), y.data(), 4)));
    EXPECT_TRUE(SameBits(expected, sela_dot_exact(x.data(), y.data(), 4)));
  }
  // Just above the threshold the split is exact and the route may decide.
  const std::vector<double> a = {pow2(-458), 1.0}, b = {pow2(-458) * 1.5, pow2(-900)};
  checkDot(a, b, "threshold");
  // Special values and overflow anywhere: declined; the exported function gives the
  // special result.
  for (size_t at : {0u, 3u, 8u, 16u, 18u}) {
    for (double special : {kInf, -kInf, std::numeric_limits<double>::quiet_NaN(), 1e300}) {
      std::vector<double> x = testutil::uniform(rng, 19), y = testutil::uniform(rng, 19);
      x[at] = special;
      y[at] = special == 1e300 ? 1e300 : y[at];
      EXPECT_FALSE(sela::certifiedDot(x.data(), y.data(), 19, r)) << at << " " << special;
    }
  }
  // Finite products whose sum overflows, and one infinity times a zero.
  const std::vector<double> big(40, kMax / 4), two(40, 2.0);
  EXPECT_FALSE(sela::certifiedDot(big.data(), two.data(), 40, r));
  EXPECT_EQ(kInf, sela_dot_exact(big.data(), two.data(), 40));
  const std::vector<double> infZero = {kInf, 1.0}, zeroOne = {0.0, 1.0};
  EXPECT_FALSE(sela::certifiedDot(infZero.data(), zeroOne.data(), 2, r));
  // An exact midpoint: 1 + 2^-53 lies halfway between 1 and its successor; the bound
  // cannot separate them. The lanes decline it; the short passes may prove that their
  // error terms were summed exactly, and must then round it to even, as the exact sum does.
  const std::vector<double> tie = {1.0, pow2(-53)}, ones = {1.0, 1.0};
  if (sela::certifiedDot(tie.data(), ones.data(), 2, r)) {
    EXPECT_TRUE(SameBits(1.0, r));
  }
  EXPECT_TRUE(SameBits(1.0, sela_dot_exact(tie.data(), ones.data(), 2)));
  // Zero dot products are +0.0 on both routes.
  for (const auto& [x, y] : std::vector<std::pair<std::vector<double>, std::vector<double>>>{
           {{-0.0}, {1.0}}, {{1.0, 1.0}, {1.0, -1.0}}, {{-0.0, -0.0, 3.0}, {2.0, 5.0, 0.0}}}) {
    ASSERT_TRUE(sela::certifiedDot(x.data(), y.data(), static_cast<int64_t>(x.size()), r));
    EXPECT_TRUE(SameBits(0.0, r));
    EXPECT_TRUE(SameBits(0.0, sela_dot_exact(x.data(), y.data(), static_cast<int64_t>(x.size()))));
  }
}

// The product floor's flag of each vector family's lane pass, against its definition
// element by element (some product below 2^-916 with two non-zero factors): the lanes
// keep only each lane's least |p| and test the elements again where that lies below the
// floor, which zero factors (sparse data) alone cause, so products below the floor,
// zeros beside factors that would make one, products that underflow to zero, and all of
// them together, in every position (the whole vectors, the last whole vector, the padded
// tail), in one chunk and continued over two; centered too, where a factor is zero when
// an element equals its center. Where the record then decides, the GMP oracle's double.
TEST(CertifiedDot, EachFamilyFlagsExactlyTheProductsBelowTheFloor) {
#if defined(__x86_64__)
  struct Family {
    const char* name;
    sela::DotLanesKernel dot;
    sela::CenteredLanesKernel centered;
  };
  std::vector<Family> families;
  if (testutil::cpuRunsAvx2()) {
    families.push_back({"avx2", sela::certifiedDotLanesAvx2, sela::certifiedCenteredLanesAvx2});
  }
  if (testutil::cpuRunsAvx512()) {
    families.push_back({"avx512", sela::certifiedDotLanesAvx512, sela::certifiedCenteredLanesAvx512});
  }
  if (families.empty()) GTEST_SKIP() << "no vector family with a fused multiply-add on this processor";
  std::mt19937_64 rng(4242);
  const double cx = 0.5, cy = -0.25;
  for (const Family& family : families) {
    for (size_t n : {1u, 3u, 4u, 7u, 8u, 12u, 15u, 16u, 17u, 24u, 31u, 32u, 33u, 40u, 63u, 64u, 65u, 255u, 1000u}) {
      for (int trial = 0; trial < 24; ++trial) {
        std::vector<double> x = testutil::uniform(rng, n), y = testutil::uniform(rng, n);
        const int kind = trial % 6;  // 0 plain, 1 tiny, 2 zeros, 3 underflow to zero, 4 zeros and tiny, 5 centers
        const size_t at = rng() % n, other = rng() % n;
        if (kind == 1 || kind == 4) {
          x[at] = pow2(-500);
          y[at] = 1.5 * pow2(-450);  // 1.5 2^-950
        }
        if (kind == 2 || kind == 4) {
          for (size_t i = other % 3; i < n; i += 3) {  // each zero beside a factor that would flag
            x[i] = (i & 1) ? -0.0 : 0.0;
            y[i] = pow2(-1000);
          }
          if (kind == 4) {
            x[at] = pow2(-500);
            y[at] = 1.5 * pow2(-450);
          }
        }
        if (kind == 3) {
          x[at] = pow2(-600);
          y[at] = -pow2(-600);  // p = -0.0, both factors non-zero
        }
        if (kind == 5) {  // differences of zero beside tiny ones
          x[at] = cx;
          y[at] = cy + pow2(-930);
          x[other] = cx + pow2(-20);
          y[other] = cy + pow2(-900);
        }
        const bool centered = kind == 5 || trial % 4 == 3;
        std::vector<double> a(x), b(y);
        if (centered) {
          for (size_t i = 0; i < n; ++i) {
            a[i] = x[i] - cx;
            b[i] = y[i] - cy;
          }
        }
        bool expected = false;
        for (size_t i = 0; i < n; ++i) {
          expected = expected || (std::fabs(a[i] * b[i]) < pow2(-916) && a[i] != 0.0 && b[i] != 0.0);
        }
        const auto len = static_cast<int64_t>(n);
        const int64_t half = len / 2;
        sela::CertifiedDotLanes whole, chunked;
        if (centered) {
          family.centered(x.data(), len, y.data(), cx, cy, whole);
          family.centered(x.data(), half, y.data(), cx, cy, chunked);
          family.centered(x.data() + half, len - half, y.data() + half, cx, cy, chunked);
        } else {
          family.dot(x.data(), len, y.data(), whole);
          family.dot(x.data(), half, y.data(), chunked);
          family.dot(x.data() + half, len - half, y.data() + half, chunked);
        }
        ASSERT_EQ(expected, whole.tinyProducts) << family.name << " n " << n << " trial " << trial;
        ASSERT_EQ(expected, chunked.tinyProducts) << family.name << " n " << n << " trial " << trial;
        double r = 0.0;
        if (sela::certifiedDotResult(whole, len, r)) {
          EXPECT_TRUE(SameBits(oracle::flooredDot(a.data(), b.data(), len), r)) << family.name << " n " << n;
        }
      }
    }
    // Over several stretches of the pass (each looked at again, from the cache, when its
    // least |p| lies below the floor): one tiny product at each stretch's edges, in the
    // last whole vector and in the padded tail, alone, after a stretch of zeros (looked at,
    // nothing flagged) and before one (looked at after the flag was found).
    const size_t n = 3100;  // 3 stretches of 1024, 28 more: 12 past the last pair of vectors
    for (size_t at : {size_t{0}, size_t{1023}, size_t{1024}, size_t{2047}, size_t{2048}, size_t{3071},
                      size_t{3072}, size_t{3087}, size_t{3090}, size_t{3099}}) {
      for (int zeros : {0, 1, 2}) {  // none, in the first stretch, in the last
        std::vector<double> x = testutil::uniform(rng, n), y = testutil::uniform(rng, n);
        if (zeros != 0) {
          for (size_t i = zeros == 1 ? 0 : 3072; i < (zeros == 1 ? 1024 : n); i += 5) x[i] = 0.0;
        }
        x[at] = pow2(-500);
        y[at] = 1.5 * pow2(-450);
        sela::CertifiedDotLanes lanes;
        family.dot(x.data(), static_cast<int64_t>(n), y.data(), lanes);
        EXPECT_TRUE(lanes.tinyProducts) << family.name << " tiny at " << at << ", zeros " << zeros;
        x[at] = 0.5;  // no tiny product left: the zeros alone flag nothing
        sela::CertifiedDotLanes plain;
        family.dot(x.data(), static_cast<int64_t>(n), y.data(), plain);
        EXPECT_FALSE(plain.tinyProducts) << family.name << " zeros " << zeros;
      }
    }
  }
#else
  GTEST_SKIP() << "the vector families exist on x86-64 only";
#endif
}

// The centered lanes subtract the centers inside the vector registers: the same doubles
// as the differences formed one at a time, so the same lanes and the same result, which
// must also be the floored oracle's over those differences. Lengths around the block
// sizes, chunked streams, and centers that make the differences cancel or overflow.
TEST(CertifiedDot, CenteredLanesAreTheDotOfTheRoundedDifferences) {
  if (!routeAvailable()) GTEST_SKIP() << "no fused multiply-add here: the route always declines";
  std::mt19937_64 rng(31337);
  std::uniform_real_distribution<double> u(-4.0, 4.0);
  for (size_t n : {1u, 3u, 8u, 15u, 16u, 17u, 33u, 255u, 256u, 257u, 1000u}) {
    for (int t = 0; t < 12; ++t) {
      std::vector<double> x = testutil::uniform(rng, n), y = testutil::wideRange(rng, n, -30, 30);
      const double cx = t % 3 == 0 ? x[0] : u(rng);
      const double cy = t % 4 == 0 ? -0.0 : u(rng);
      if (t == 5) {  // a product beyond the range
        x.back() = std::numeric_limits<double>::max();
        y.back() = 1e10;
      }
      std::vector<double> dx(n), dy(n);
      for (size_t i = 0; i < n; ++i) {
        dx[i] = x[i] - cx;
        dy[i] = y[i] - cy;
      }
      const auto len = static_cast<int64_t>(n);
      sela::CertifiedDotLanes whole, chunked, plain;
      ASSERT_TRUE(sela::certifiedCenteredAdd(whole, x.data(), y.data(), len, cx, cy));
      ASSERT_TRUE(sela::certifiedDotAdd(plain, dx.data(), dy.data(), len));
      for (int64_t start = 0; start < len; start += 37) {
        const int64_t part = std::min<int64_t>(37, len - start);
        ASSERT_TRUE(sela::certifiedCenteredAdd(chunked, x.data() + start, y.data() + start, part, cx, cy));
      }
      double a = 1.0, b = 2.0, c = 3.0;
      const bool ra = sela::certifiedDotResult(whole, len, a);
      const bool rb = sela::certifiedDotResult(plain, len, b);
      const bool rc = sela::certifiedDotResult(chunked, len, c);
      ASSERT_EQ(ra, rb) << n << " " << t;
      const double expected = oracle::flooredDot(dx.data(), dy.data(), len);
      if (ra) {
        EXPECT_TRUE(SameBits(b, a));
        EXPECT_TRUE(SameBits(expected, a));
      }
      if (rc) {
        EXPECT_TRUE(SameBits(expected, c));
      }
      if (t == 5) {
        EXPECT_FALSE(ra);
      }
      // The exported reductions keep the exact products' bits whichever route decides.
      EXPECT_TRUE(SameBits(expected, sela_centered_cross_product(x.data(), y.data(), len, cx, cy)));
      EXPECT_TRUE(SameBits(oracle::flooredDot(dy.data(), dy.data(), len), sela_centered_sum_squares(y.data(), len, cy)));
    }
  }
}

// The certified sum at every length: where it accepts, the exact sum's double; plain data
// accepted (when this processor has a vector pass), exact ties and cancellation declined
// or right.
TEST(CertifiedSum, AcceptsOnlyTheNearest) {
  std::mt19937_64 rng(5150);
  for (size_t n : {2u, 255u, 256u, 257u, 1000u, 4099u, 100000u}) {
    const std::vector<double> plain = testutil::uniform(rng, n);
    double r = -1.0;
    const bool accepted = sela::certifiedSum(plain.data(), static_cast<int64_t>(n), r);
    if (accepted) {
      EXPECT_TRUE(SameBits(oracle::exactSum(plain), r)) << n;
    }
    if (routeAvailable() || n < sela::kCertifiedScalarSumBelow) {
      EXPECT_TRUE(accepted) << "plain data, n=" << n;
    }
    for (double cond : {1e16, 1e32}) {
      const std::vector<double> hard = testutil::illConditioned(rng, n, cond);
      if (sela::certifiedSum(hard.data(), static_cast<int64_t>(n), r)) {
        EXPECT_TRUE(SameBits(oracle::exactSum(hard), r));
      }
    }
    // An exact tie (1 + 2^-53 exactly, among pairs that cancel, spread over the lanes) and
    // the same tie broken by a value far below: the pass must not round either wrongly.
    for (double breaker : {0.0, pow2(-200), -pow2(-200)}) {
      std::vector<double> tie = testutil::uniform(rng, n);
      for (size_t i = 0; i + 1 < n; i += 2) tie[i + 1] = -tie[i];
      tie[0] = 1.0;
      if (n >= 2) tie[1] = pow2(-53);
      if (n >= 4) tie[n - 1 - (n % 2)] = breaker;
      const double expected = oracle::exactSum(tie);
      if (sela::certifiedSum(tie.data(), static_cast<int64_t>(n), r)) {
        EXPECT_TRUE(SameBits(expected, r)) << n;
      }
      EXPECT_TRUE(SameBits(expected, sela_sum_exact(tie.data(), n))) << n;
    }
  }
  // Overflowing partial sums, infinities and NaNs are declined by the lanes.
  std::vector<double> big(1000, kMax);
  double r;
  EXPECT_FALSE(sela::certifiedSum(big.data(), 1000, r));
  big[500] = -kInf;
  EXPECT_FALSE(sela::certifiedSum(big.data(), 1000, r));
  EXPECT_TRUE(SameBits(-kInf, sela_sum_exact(big.data(), 1000)));
}

// Every call decides for itself: ill-conditioned calls (declined by the pass) interleaved
// with plain ones (accepted) all equal the oracle, whatever came before.
TEST(CertifiedRoutes, InterleavedDeclinesAndAcceptsEqualTheOracle) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 40; ++round) {
    const size_t n = 8 + rng() % 300;
    const dotdata::DotCase hard = dotdata::genDot(rng, 40, 1e30);
    ASSERT_TRUE(SameBits(oracle::flooredDot(hard.x.data(), hard.y.data(), 40),
                         sela_dot_exact(hard.x.data(), hard.y.data(), 40)));
    const std::vector<double> x = testutil::uniform(rng, n), y = testutil::uniform(rng, n);
    const auto len = static_cast<int64_t>(n);
    ASSERT_TRUE(SameBits(oracle::flooredDot(x.data(), y.data(), len), sela_dot_exact(x.data(), y.data(), len)));
    ASSERT_TRUE(SameBits(oracle::exactSum(x), sela_sum_exact(x.data(), n)));
    std::vector<double> cancel = x;
    for (double v : x) cancel.push_back(-v);
    cancel.push_back(std::ldexp(1.0, -60));
    ASSERT_TRUE(SameBits(oracle::exactSum(cancel), sela_sum_exact(cancel.data(), cancel.size())));
  }
}

// The threshold every short decision compares its margin with, against the gaps to the
// neighbours that nextafter finds: a threshold one step too large (the gap above taken at a
// power of two, say) would let a value nearer to the double below settle on res.
TEST(CertifiedSum, HalfGapIsHalfTheSmallerGapToTheNeighbours) {
  const double kMax = std::numeric_limits<double>::max();
  const double kInf = std::numeric_limits<double>::infinity();
  auto expected = [&](double res) {
    const double a = std::fabs(res);
    if (a < 0x1p-1022) return 0.0;  // zero or subnormal: nothing settles
    const double below = a - std::nextafter(a, 0.0);
    const double above = a == kMax ? below : std::nextafter(a, kInf) - a;
    return std::fmin(below, above) * 0.5;  // 2^-1075 rounds to 0, as the threshold does
  };
  std::vector<double> values = {0.0, 0x1p-1074, 0x1.8p-1023, 0x1p-1022, 0x1.0000000000001p-1022, 0x1p-1021,
                                0x1p-1020, 0x1.fffffffffffffp-1021, 1.0, 0x1.fffffffffffffp0, 3.0, 0x1p1023, kMax};
  for (int e = -1022; e <= 1023; e += 7) {
    values.push_back(std::ldexp(1.0, e));
    values.push_back(std::nextafter(std::ldexp(1.0, e), 0.0));
    values.push_back(std::nextafter(std::ldexp(1.0, e), kInf));
  }
  std::mt19937_64 rng(29);
  for (int i = 0; i < 2000; ++i) {
    const uint64_t bits = rng() & ~(uint64_t{2047} << 52);
    values.push_back(sela::fromBits(bits | (uint64_t{1 + rng() % 2046} << 52)));
  }
  for (double v : values) {
    for (double res : {v, -v}) {
      ASSERT_TRUE(SameBits(expected(res), sela::halfGapBelow(res))) << std::hexfloat << res;
    }
  }
  EXPECT_EQ(kInf, sela::halfGapBelow(-kInf));
  EXPECT_EQ(kInf, sela::halfGapBelow(std::numeric_limits<double>::quiet_NaN()));
}

namespace {

// Products at the bottom of the range, where the lanes leave out what may underflow: a
// factor pair whose product is 2^e exactly (e even or odd), and data whose products span
// the whole range with one large product in front.
std::pair<double, double> factorsOf(int e, double m = 1.0) { return {m * pow2(e / 2), pow2(e - e / 2)}; }

// Random values with exponents in [lo, hi], among them zeros and subnormals.
std::vector<double> spanning(std::mt19937_64& rng, size_t n, int lo, int hi) {
  std::vector<double> v = testutil::wideRange(rng, n, lo, hi);
  for (auto& x : v) {
    const uint64_t k = rng() % 16;
    if (k == 0) x = 0.0;
    if (k == 1) x = std::ldexp(static_cast<double>(rng() % 1000 + 1), -1074);  // subnormal
  }
  return v;
}

// The dot product of one family's lanes over x . y (whole, continued over chunks cut at
// `cut`, and guarded from the start as certifiedDotGuarded runs them), and the export:
// where the lanes accept, and always for the export, the floored oracle's double. Returns
// whether every family's whole passes, plain and guarded, accepted.
bool checkFamilies(const std::vector<double>& x, const std::vector<double>& y, int64_t cut, const char* what) {
  const auto n = static_cast<int64_t>(x.size());
  const double expected = oracle::flooredDot(x.data(), y.data(), n);
  EXPECT_TRUE(SameBits(expected, sela_dot_exact(x.data(), y.data(), n))) << what << " n=" << n;
  double g = 0.0;
  if (sela::certifiedDotGuarded(x.data(), y.data(), n, g)) {
    EXPECT_TRUE(SameBits(expected, g)) << what << " guarded n=" << n << " got " << g << " want " << expected;
  }
  bool accepted = true;  // by every family run here
#if defined(__x86_64__)
  std::vector<sela::DotLanesKernel> kernels;
  if (testutil::cpuRunsAvx2()) kernels.push_back(sela::certifiedDotLanesAvx2);
  if (testutil::cpuRunsAvx512()) kernels.push_back(sela::certifiedDotLanesAvx512);
  for (const sela::DotLanesKernel kernel : kernels) {
    sela::CertifiedDotLanes whole, chunked;
    kernel(x.data(), n, y.data(), whole);
    kernel(x.data(), cut, y.data(), chunked);
    kernel(x.data() + cut, n - cut, y.data() + cut, chunked);
    sela::CertifiedDotLanes guarded;
    guarded.droppedProducts = true;
    kernel(x.data(), n, y.data(), guarded);
    double r = 0.0, c = 0.0;
    if (!sela::certifiedDotResult(whole, n, r)) {
      accepted = false;
    } else {
      EXPECT_TRUE(SameBits(expected, r)) << what << " n=" << n << " got " << r << " want " << expected;
    }
    if (!sela::certifiedDotResult(guarded, n, r)) {
      accepted = false;
    } else {
      EXPECT_TRUE(SameBits(expected, r)) << what << " guarded n=" << n << " got " << r << " want " << expected;
    }
    if (sela::certifiedDotResult(chunked, n, c)) {
      EXPECT_TRUE(SameBits(expected, c)) << what << " chunked n=" << n << " cut " << cut;
    }
  }
#else
  (void)cut;  // the lanes are x86-64 kernels
#endif
  return accepted;
}

}  // namespace

// Values divided by their largest magnitude have products spanning 2^-2100 .. 1: half of
// them underflow, and the lanes leave those out. Each family must still accept such data
// when a large product is there (the left-out products are far below its rounding) and
// give the floored oracle's double wherever it accepts: products beside every threshold
// (the floor at 2^-1075, the split's 2^-916 and the test's 2^-915, the subnormal range),
// subnormal and zero factors, at every position and around vector and watch boundaries.
TEST(CertifiedDot, ProductsThatMayUnderflowLeaveTheResultExact) {
  if (!routeAvailable()) GTEST_SKIP() << "no fused multiply-add here: the route always declines";
  std::mt19937_64 rng(18018);
  const std::vector<int> edges = {-1077, -1076, -1075, -1074, -1023, -1022, -1021, -969, -968,
                                  -917,  -916,  -915,  -914,  -913};
  int acceptedSpans = 0, spans = 0;
  for (size_t n : {1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 127u, 128u, 129u, 200u, 1000u}) {
    for (int trial = 0; trial < 12; ++trial) {
      std::vector<double> x = spanning(rng, n, -1100, 0), y = spanning(rng, n, -1100, 0);
      const int kind = trial % 4;  // 0 spanning, 1 edges everywhere, 2 edges after plain data, 3 a large product first
      if (kind == 1 || kind == 2) {
        const size_t from = kind == 2 ? n / 2 : 0;
        for (size_t i = from; i < n; ++i) {
          const int e = edges[rng() % edges.size()];
          const double m = 1.0 + static_cast<double>(rng() % 1024) * 0x1p-10;
          std::tie(x[i], y[i]) = factorsOf(e, (rng() & 1) ? -m : m);
          if (rng() % 5 == 0) std::swap(x[i], y[i]);
        }
        for (size_t i = 0; i < from; ++i) y[i] = std::ldexp(1.0 + static_cast<double>(rng() % 7), -3);
      }
      if (kind != 0) {
        const size_t at = rng() % n;
        x[at] = 1.0 + 0x1p-40;
        y[at] = 0.75;
      }
      const int64_t cut = static_cast<int64_t>(rng() % (n + 1));
      const bool accepted = checkFamilies(x, y, cut, "spanning");
      if (kind == 3) {
        ++spans;
        acceptedSpans += accepted ? 1 : 0;
      }
    }
  }
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx2()) {
    EXPECT_EQ(spans, acceptedSpans) << "a large product beside underflowing ones";
  }
#endif
}

// Ties and near ties decided by products at the bottom of the range: a large product 2^E
// beside k products of 2^e whose sum reaches half its gap 2^(E - 53), exactly (a tie:
// even stays) or past it by one more (rounds away), with either sign, placed after plain
// vectors or at the start. Products of either size may be left out or kept; the bound
// must then stay wide enough for what was left out.
TEST(CertifiedDot, TiesBesideProductsLeftOutStayExact) {
  if (!routeAvailable()) GTEST_SKIP() << "no fused multiply-add here: the route always declines";
  std::mt19937_64 rng(5150);
  for (const int big : {-800, -862, -870, -960, -1000}) {
    for (const int small : {-853, -900, -915, -916, -920, -930, -969, -1022, -1074, -1075}) {
      if (small >= big - 1) continue;
      for (int past : {0, 1}) {
        for (size_t lead : {0u, 1u, 17u, 64u, 200u}) {
          const int count = big - 53 - small >= 0 && big - 53 - small < 10 ? 1 << (big - 53 - small) : 4;
          std::vector<double> x(lead, 0.0), y(lead, 0.0);
          for (size_t i = 0; i < lead; ++i) {
            x[i] = static_cast<double>(i % 5 + 1);
            y[i] = (i % 2 == 0) ? 1.0 : -1.0;  // pairs that cancel exactly
          }
          if (lead % 2 == 1) x.back() = y.back() = 0.0;
          const double sign = (rng() & 1) ? 1.0 : -1.0;
          auto [a, b] = factorsOf(big, sign);
          x.push_back(a);
          y.push_back(b);
          for (int k = 0; k < count + past; ++k) {
            std::tie(a, b) = factorsOf(small, sign);
            x.push_back(a);
            y.push_back(b);
          }
          const int64_t cut = static_cast<int64_t>(rng() % (x.size() + 1));
          checkFamilies(x, y, cut, "tie");
        }
      }
    }
  }
}

// Long data whose stretches change the lanes' step back and forth: products that cancel
// exactly, stretches of underflowing products (guarded), zeros (looks that find nothing),
// lone products below 2^-968 and near the floor; among them, scattered, a tie's products
// (a large 2^E and enough 2^e to reach half its gap, or one past it), so that a product
// left out unrecorded, or a flag missed in any group, rounds wrongly.
TEST(CertifiedDot, StepsChangingByStretchStayExact) {
  if (!routeAvailable()) GTEST_SKIP() << "no fused multiply-add here: the route always declines";
  std::mt19937_64 rng(3232);
  for (int trial = 0; trial < 400; ++trial) {
    const int big = -860 - static_cast<int>(rng() % 120);
    const int small = big - 53 - static_cast<int>(rng() % 6);
    std::vector<double> x, y;
    const size_t n = 300 + rng() % 3000;
    while (x.size() < n) {
      const size_t length = 1 + rng() % 300;
      const int kind = static_cast<int>(rng() % 5);
      for (size_t k = 0; k < length; ++k) {
        double a = 0.0, b = 0.0;
        if (kind == 0) {  // pairs that cancel exactly
          a = static_cast<double>(k / 2 % 7 + 1);
          b = k % 2 == 0 ? 1.0 : -1.0;
        } else if (kind == 1) {  // below the floor: the oracle floors them to zero
          std::tie(a, b) = factorsOf(-1076 - static_cast<int>(rng() % 900), (rng() & 1) ? -1.0 : 1.0);
        } else if (kind == 3 && rng() % 40 == 0) {  // a lone product where r may be subnormal
          std::tie(a, b) = factorsOf(-1100 - static_cast<int>(rng() % 10));
        } else if (kind == 4 && rng() % 60 == 0) {
          a = 1.0;
          b = 0.0;
        }
        if (rng() % 3 == 0) std::swap(a, b);
        x.push_back(a);
        y.push_back(b);
      }
    }
    const int count = 1 << (big - 53 - small);
    const double sign = (rng() & 1) ? 1.0 : -1.0;
    const auto place = [&](int e) {
      const auto at = static_cast<std::ptrdiff_t>(rng() % (x.size() + 1));
      const auto [a, b] = factorsOf(e, sign);
      x.insert(x.begin() + at, a);
      y.insert(y.begin() + at, b);
    };
    place(big);
    for (int k = 0; k < count + static_cast<int>(trial % 2); ++k) place(small);
    checkFamilies(x, y, static_cast<int64_t>(rng() % (x.size() + 1)), "stretches");
#if defined(__x86_64__)
    // Every product below the floor is flagged or left out, whichever step met it, and
    // only such products are flagged.
    bool below = false;
    for (size_t i = 0; i < x.size(); ++i) {
      below = below || (x[i] != 0.0 && y[i] != 0.0 && std::fabs(x[i] * y[i]) < 0x1p-916);
    }
    for (const bool avx512 : {false, true}) {
      if (!(avx512 ? testutil::cpuRunsAvx512() : testutil::cpuRunsAvx2())) continue;
      sela::CertifiedDotLanes lanes;
      (avx512 ? sela::certifiedDotLanesAvx512 : sela::certifiedDotLanesAvx2)(x.data(), static_cast<int64_t>(x.size()),
                                                                              y.data(), lanes);
      if (below) {
        EXPECT_TRUE(lanes.tinyProducts || lanes.droppedProducts) << trial;
      } else {
        EXPECT_FALSE(lanes.tinyProducts) << trial;
      }
    }
#endif
  }
}

// The centered sum of squares and cross product over data whose stretches move the lanes'
// step between plain and guarded and back: plain products, products below 2^-1088 (formed
// as zeros without an assist: a guarded group that leaves out only those is followed by a
// plain one, which then takes a zero least for more of them), products between 2^-1088 and
// 2^-1075 (zeros that take assists, told apart only by a guarded group), the band up to
// 2^-916, zeros beside factors that would flag, lone products below 2^-968; scattered
// among them a tie's products (a large 2^E and enough 2^e to reach half its gap, or one
// past it). The exports, and each family's centered lanes (whole and continued over a
// cut) where they decide, must give the floored oracle's double over the rounded
// differences; the lanes must flag or record a product below the floor wherever one is.
TEST(CertifiedCentered, StretchesOfVanishingAndUnderflowingProductsStayExact) {
  std::mt19937_64 rng(3434);
  // A factor pair of each stretch kind; for the squares, one factor (its square's kind).
  const auto pairOf = [&](int kind, size_t k) -> std::pair<double, double> {
    const double sign = (rng() & 1) ? -1.0 : 1.0;
    switch (kind) {
      case 0:  // plain products that cancel in pairs
        return {static_cast<double>(k / 2 % 7 + 1), k % 2 == 0 ? 1.0 : -1.0};
      case 1:  // below 2^-1088
        return factorsOf(-1089 - static_cast<int>(rng() % 900), sign);
      case 2:  // 2^-1088 .. 2^-1076
        return factorsOf(-1088 + static_cast<int>(rng() % 13), sign);
      case 3:  // the band
        return factorsOf(-1075 + static_cast<int>(rng() % 159), sign);
      case 4:  // a zero beside a factor near the floor
        return rng() % 8 == 0 ? std::pair{0.0, pow2(-1000)} : std::pair{1.5, sign};
      default:  // a lone product below 2^-968 among plain ones
        return rng() % 50 == 0 ? factorsOf(-1000 - static_cast<int>(rng() % 40), sign) : std::pair{sign, 0.75};
    }
  };
  const auto squareOf = [&](int kind, size_t k) {
    const double sign = (rng() & 1) ? -1.0 : 1.0;
    const int e = kind == 1 ? -545 - static_cast<int>(rng() % 400)
                  : kind == 2 ? -544 + static_cast<int>(rng() % 7)
                  : kind == 3 ? -537 + static_cast<int>(rng() % 79)
                              : 0;
    if (kind == 0 || kind == 4) return static_cast<double>(k % 5) * sign;  // zeros among them
    if (kind == 5 && rng() % 50 != 0) return 0.5 * sign;
    return sign * pow2(kind == 5 ? -490 - static_cast<int>(rng() % 20) : e);
  };
  for (int trial = 0; trial < 240; ++trial) {
    const bool squares = trial % 3 == 2;
    // Big and small even for the squares (their square roots are powers of two).
    const int big = -860 - 2 * static_cast<int>(rng() % 60);
    const int small = big - 53 - (squares ? 1 + 2 * static_cast<int>(rng() % 3) : static_cast<int>(rng() % 6));
    std::vector<double> a, b;
    const size_t n = 300 + rng() % 5000;
    while (a.size() < n) {
      const size_t length = 1 + rng() % 400;
      const int kind = static_cast<int>(rng() % 6);
      for (size_t k = 0; k < length; ++k) {
        if (squares) {
          a.push_back(squareOf(kind, k));
        } else {
          auto [u, v] = pairOf(kind, k);
          if (rng() % 3 == 0) std::swap(u, v);
          a.push_back(u);
          b.push_back(v);
        }
      }
    }
    const double sign = (rng() & 1) ? 1.0 : -1.0;
    const auto place = [&](int e) {
      const auto at = static_cast<std::ptrdiff_t>(rng() % (a.size() + 1));
      if (squares) {
        a.insert(a.begin() + at, pow2(e / 2));
        return;
      }
      const auto [u, v] = factorsOf(e, sign);
      a.insert(a.begin() + at, u);
      b.insert(b.begin() + at, v);
    };
    place(big);
    const int count = 1 << (big - 53 - small);
    for (int k = 0; k < count + trial % 2; ++k) place(small);
    if (squares) b = a;
    // Centers of zero keep the differences exact (the tie stays a tie); a subnormal
    // center rounds some of them.
    const double cx = trial % 4 == 3 ? 3 * pow2(-1074) : trial % 4 == 1 ? -0.0 : 0.0;
    const double cy = squares ? cx : trial % 5 == 4 ? -5 * pow2(-1074) : 0.0;
    const auto n64 = static_cast<int64_t>(a.size());
    std::vector<double> dx(a.size()), dy(a.size());
    bool below = false;
    for (size_t i = 0; i < a.size(); ++i) {
      dx[i] = a[i] - cx;
      dy[i] = b[i] - cy;
      below = below || (dx[i] != 0.0 && dy[i] != 0.0 && std::fabs(dx[i] * dy[i]) < 0x1p-916);
    }
    const double expected = oracle::flooredDot(dx.data(), dy.data(), n64);
    const double got = squares ? sela_centered_sum_squares(a.data(), a.size(), cx)
                               : sela_centered_cross_product(a.data(), b.data(), a.size(), cx, cy);
    ASSERT_TRUE(SameBits(expected, got)) << trial << " n=" << n64 << " got " << got << " want " << expected;
#if defined(__x86_64__)
    std::vector<sela::CenteredLanesKernel> kernels;
    if (testutil::cpuRunsAvx2()) kernels.push_back(sela::certifiedCenteredLanesAvx2);
    if (testutil::cpuRunsAvx512()) kernels.push_back(sela::certifiedCenteredLanesAvx512);
    const auto cut = static_cast<int64_t>(rng() % (a.size() + 1));
    for (const sela::CenteredLanesKernel kernel : kernels) {
      sela::CertifiedDotLanes whole, chunked;
      kernel(a.data(), n64, b.data(), cx, cy, whole);
      kernel(a.data(), cut, b.data(), cx, cy, chunked);
      kernel(a.data() + cut, n64 - cut, b.data() + cut, cx, cy, chunked);
      for (const sela::CertifiedDotLanes* lanes : {&whole, &chunked}) {
        double r = 0.0;
        if (sela::certifiedDotResult(*lanes, n64, r)) {
          EXPECT_TRUE(SameBits(expected, r)) << trial << " n=" << n64 << " cut " << cut << " got " << r;
        }
        if (below) {
          EXPECT_TRUE(lanes->tinyProducts || lanes->droppedProducts) << trial;
        } else {
          EXPECT_FALSE(lanes->tinyProducts) << trial;
        }
      }
    }
#endif
  }
}

// Infinities and NaNs at every position of data whose products underflow: the lanes keep
// them (they are never left out), so the pass declines, and the export keeps the special
// result of the products.
TEST(CertifiedDot, SpecialsBesideUnderflowingProductsDecline) {
  if (!routeAvailable()) GTEST_SKIP() << "no fused multiply-add here: the route always declines";
  std::mt19937_64 rng(777);
  const double specials[] = {kInf, -kInf, std::numeric_limits<double>::quiet_NaN()};
  for (size_t n : {1u, 8u, 9u, 16u, 17u, 33u, 129u}) {
    for (size_t at = 0; at < n; at += (n > 20 ? 7 : 1)) {
      for (const double s : specials) {
        std::vector<double> x = spanning(rng, n, -1100, -400), y = spanning(rng, n, -1100, -400);
        x[at] = s;
        y[at] = (rng() & 1) ? pow2(-1074) : 0.0;  // a tiny or zero partner: the product is special
        const auto len = static_cast<int64_t>(n);
        double r = 0.0;
        EXPECT_FALSE(sela::certifiedDot(x.data(), y.data(), len, r)) << n << " " << at;
        const double got = sela_dot_exact(x.data(), y.data(), len);
        const double product = s * y[at];
        if (product != product) {
          EXPECT_TRUE(std::isnan(got)) << n << " " << at;
        } else {
          EXPECT_TRUE(SameBits(product, got)) << n << " " << at;
        }
      }
    }
  }
}
