// The vector kernels, called directly, against a scalar model of their lane algorithm
// (std::fma and the error-free primitives, one lane at a time) and against the oracle;
// the dispatchers' choice of family and their fallbacks; the three dot exports.
#include <array>
#include <bit>
#include <limits>
#include <tuple>
#include <string>
#include <vector>

#include "algorithms/compensatedsum.h"
#include "algorithms/conditionnumber.h"
#include "algorithms/cumsum.h"
#include "algorithms/dotproduct.h"
#include "algorithms/errorfree.h"
#include "algorithms/exactengine.h"
#include "algorithms/statistical_reductions.h"
#include "dot_test_data.h"
#include "sela.h"
#include "simd_dispatch.h"
#include "test_util.h"

using namespace sela;
using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The processor's x86 families (what the dispatcher may pick), and whether the exported
// kernels of each width run here (everywhere off x86-64, where they are portable code).
using testutil::cpuRunsAvx2;
using testutil::cpuRunsAvx512;
bool hasAvx2() { return testutil::exportedAvx2KernelsRun(); }
bool hasAvx512() { return testutil::exportedAvx512KernelsRun(); }

struct Family {
  const char* name;
  int w;
  bool (*available)();
  NaiveDotKernel naive;
  CompensatedDotKernel dot2;
  CompensatedDotKernel dotK3;
};

void PrintTo(const Family& f, std::ostream* os) { *os << f.name; }

const Family kAvx2 = {"AVX2", 4, hasAvx2, dispatchNaiveDotAvx2, dispatchDot2Avx2, dispatchDotK3Avx2};
const Family kAvx512 = {"AVX-512", 8, hasAvx512, dispatchNaiveDotAvx512, dispatchDot2Avx512, dispatchDotK3Avx512};

int64_t len(const std::vector<double>& v) { return static_cast<int64_t>(v.size()); }

// ---- The scalar model: lane l of a W-lane kernel handles elements l, l + W, ... ----

double modelNaive(const std::vector<double>& x, const std::vector<double>& y, int w) {
  const size_t n = x.size(), W = static_cast<size_t>(w);
  double s = 0.0;
  if (n < W) {
    for (size_t i = 0; i < n; ++i) s = s + x[i] * y[i];
    return s;
  }
  std::vector<double> acc(W, 0.0);
  size_t i = 0;
  for (; i + W <= n; i += W) {
    for (size_t l = 0; l < W; ++l) acc[l] = std::fma(x[i + l], y[i + l], acc[l]);
  }
  for (size_t l = 0; l < W; ++l) s = s + acc[l];
  for (; i < n; ++i) s = s + x[i] * y[i];
  return s;
}

KernelResult modelCompensated(const std::vector<double>& x, const std::vector<double>& y, int w, bool k3) {
  const size_t n = x.size(), W = static_cast<size_t>(w);
  if (n == 0) return {0.0, true};
  std::vector<double> s(W, 0.0), c1(W, 0.0), c2(W, 0.0);
  auto lane = [&](size_t l, double a, double b) {
    const SumAndError pe = twoProduct(a, b);
    const SumAndError tq = twoSum(s[l], pe.s);
    if (k3) {
      const SumAndError uw1 = twoSum(c1[l], pe.e);
      const SumAndError vw2 = twoSum(uw1.s, tq.e);
      c2[l] = c2[l] + (vw2.e + uw1.e);
      c1[l] = vw2.s;
    } else {
      c1[l] = (c1[l] + pe.e) + tq.e;
    }
    s[l] = tq.s;
  };
  for (size_t i = 0; i < n; i += W) {
    for (size_t l = 0; l < W; ++l) {
      // The padded lanes of the last block hold +0.0 in both arrays.
      lane(l, i + l < n ? x[i + l] : 0.0, i + l < n ? y[i + l] : 0.0);
    }
  }
  std::vector<double> parts(s);
  parts.insert(parts.end(), c1.begin(), c1.end());
  if (k3) parts.insert(parts.end(), c2.begin(), c2.end());
  const double r = neumaierSum(parts.data(), len(parts));
  double m = 0.0;
  for (double v : s) {
    if (std::fabs(v) > m) m = std::fabs(v);
  }
  return {r, isFinite(r) && std::fabs(r) * 1024.0 >= m};
}

::testing::AssertionResult SameResult(const KernelResult& expected, const KernelResult& actual) {
  if (expected.accepted != actual.accepted) {
    return ::testing::AssertionFailure() << "accepted " << expected.accepted << " expected, got " << actual.accepted;
  }
  return SameBits(expected.value, actual.value);
}

std::vector<std::pair<std::vector<double>, std::vector<double>>> kernelCases() {
  std::mt19937_64 rng(31);
  std::vector<std::pair<std::vector<double>, std::vector<double>>> cases;
  for (size_t n = 0; n <= 41; ++n) {
    cases.emplace_back(testutil::uniform(rng, n), testutil::uniform(rng, n));
    cases.emplace_back(testutil::wideRange(rng, n, -200, 200), testutil::wideRange(rng, n, -200, 200));
    cases.emplace_back(testutil::illConditioned(rng, n, 1e25), testutil::uniform(rng, n));
  }
  for (size_t n : {100u, 1001u, 4099u}) {
    cases.emplace_back(testutil::uniform(rng, n), testutil::uniform(rng, n));
    cases.emplace_back(testutil::illConditioned(rng, n, 1e12), testutil::uniform(rng, n));
  }
  for (double cond : {1e2, 1e3, 1e8, 1e30}) {
    auto c = dotdata::genDot(rng, 200, cond);
    cases.emplace_back(c.x, c.y);
  }
  // Signed zeros and products that underflow.
  cases.push_back({{-0.0, 0.0, -0.0, -pow2(-600), 1.0, -0.0, pow2(-1000), -3.0, 0.0},
                   {1.0, -1.0, -0.0, pow2(-600), -0.0, 5.0, pow2(-100), 0.0, -0.0}});
  return cases;
}

class KernelTest : public ::testing::TestWithParam<Family> {};

// Only the families this processor runs are registered (the test listing, made on the
// processor or emulator that runs the tests, holds no tests that could only skip). The
// others are named once, by a skipped test whose name carries the reason: a listing shows
// a skipped test's name but not its message.
std::vector<Family> familiesHere() {
  std::vector<Family> here;
  for (const Family& f : {kAvx2, kAvx512})
    if (f.available()) here.push_back(f);
  return here;
}

class NotRunHere : public ::testing::Test {
 public:
  explicit NotRunHere(std::string why) : why_(std::move(why)) {}
  void TestBody() override { GTEST_SKIP() << why_; }

 private:
  std::string why_;
};

const bool kFamiliesNotRunAreNamed = [] {
#if defined(__x86_64__)
  __builtin_cpu_init();  // before __builtin_cpu_supports in a static initializer
#endif
  const struct {
    const Family& family;
    const char* name;
  } named[] = {{kAvx2, "Avx2KernelsAndTheirGuardPageTests_ProcessorLacksAvx2OrFma"},
               {kAvx512, "Avx512KernelsAndTheirGuardPageTests_ProcessorLacksAvx512F"}};
  for (const auto& n : named) {
    if (n.family.available()) continue;
    const std::string why = std::string(n.family.name) + " kernels are not tested here: the processor lacks their instructions";
    ::testing::RegisterTest("KernelFamiliesNotRunHere", n.name, nullptr, nullptr, __FILE__, __LINE__,
                            [why]() -> ::testing::Test* { return new NotRunHere(why); });
  }
  return true;
}();

}  // namespace

TEST_P(KernelTest, NaiveKernelFollowsTheLaneModel) {
  const Family& f = GetParam();
  for (const auto& [x, y] : kernelCases()) {
    ASSERT_TRUE(SameBits(modelNaive(x, y, f.w), f.naive(x.data(), len(x), y.data(), len(y)))) << "n " << x.size();
  }
}

TEST_P(KernelTest, CompensatedKernelsFollowTheLaneModel) {
  const Family& f = GetParam();
  for (const auto& [x, y] : kernelCases()) {
    ASSERT_TRUE(SameResult(modelCompensated(x, y, f.w, false), f.dot2(x.data(), len(x), y.data(), len(y)))) << x.size();
    ASSERT_TRUE(SameResult(modelCompensated(x, y, f.w, true), f.dotK3(x.data(), len(x), y.data(), len(y)))) << x.size();
  }
}

TEST_P(KernelTest, ShortInputsAreAPlainLoop) {
  const Family& f = GetParam();
  EXPECT_TRUE(SameBits(0.0, f.naive(nullptr, 0, nullptr, 0)));
  EXPECT_TRUE(SameResult({0.0, true}, f.dot2(nullptr, 0, nullptr, 0)));
  EXPECT_TRUE(SameResult({0.0, true}, f.dotK3(nullptr, 0, nullptr, 0)));
  // Below W the naive kernel rounds every product: 1 * -1 + (1 + 2^-52)(1 - 2^-53) is 0.
  const std::vector<double> x = {1.0, 1.0 + pow2(-52), 3.0}, y = {-1.0, 1.0 - pow2(-53), 0.0};
  EXPECT_TRUE(SameBits(0.0, f.naive(x.data(), 3, y.data(), 3)));
  EXPECT_TRUE(SameBits(naiveDot(x.data(), 3, y.data(), 3), f.naive(x.data(), 3, y.data(), 3)));
}

// Lane 0 fuses the second product into -1 when both products share it (AVX2, W = 4);
// with W = 8 both products are the first in their lanes and are rounded on their own.
TEST_P(KernelTest, NaiveKernelFusesOnlyWithinALane) {
  const Family& f = GetParam();
  const std::vector<double> x = {1, 0, 0, 0, 1 + pow2(-52), 0, 0, 0}, y = {-1, 0, 0, 0, 1 - pow2(-53), 0, 0, 0};
  const double expected = f.w == 4 ? pow2(-53) - pow2(-105) : 0.0;
  EXPECT_TRUE(SameBits(expected, f.naive(x.data(), 8, y.data(), 8)));
  EXPECT_TRUE(SameBits(0.0, naiveDot(x.data(), 8, y.data(), 8)));
  // Same lane for both widths at distance 8: both kernels keep the low part.
  std::vector<double> x16(16, 0.0), y16(16, 0.0);
  x16[0] = 1.0, y16[0] = -1.0, x16[8] = 1 + pow2(-52), y16[8] = 1 - pow2(-53);
  EXPECT_TRUE(SameBits(pow2(-53) - pow2(-105), f.naive(x16.data(), 16, y16.data(), 16)));
}

TEST_P(KernelTest, FullBlockAndOneElementPastIt) {
  const Family& f = GetParam();
  const int64_t w = f.w;
  std::mt19937_64 rng(37);
  // n = W: no tail block; n = W + 1: one padded block with a single element. Uniform data
  // of this size is well conditioned, so Dot2 and DotK3 are correctly rounded and accepted.
  for (int64_t n : {w, w + 1}) {
    for (int t = 0; t < 50; ++t) {
      const auto x = testutil::uniform(rng, static_cast<size_t>(n));
      const auto y = testutil::uniform(rng, static_cast<size_t>(n));
      const double exact = oracle::exactDot(x.data(), y.data(), n);
      const KernelResult d2 = f.dot2(x.data(), n, y.data(), n);
      const KernelResult k3 = f.dotK3(x.data(), n, y.data(), n);
      if (std::fabs(exact) * 1024.0 < 1.0) continue;  // rare strong cancellation
      EXPECT_TRUE(SameResult({exact, true}, d2)) << n;
      EXPECT_TRUE(SameResult({exact, true}, k3)) << n;
    }
  }
  // The element past the block is read exactly once and nothing beyond it.
  std::vector<double> x(static_cast<size_t>(w + 1), 1.0), y(static_cast<size_t>(w + 1), 2.0);
  EXPECT_TRUE(SameResult({2.0 * static_cast<double>(w + 1), true}, f.dot2(x.data(), w + 1, y.data(), w + 1)));
  EXPECT_TRUE(SameBits(2.0 * static_cast<double>(w + 1), f.naive(x.data(), w + 1, y.data(), w + 1)));
}

TEST_P(KernelTest, AcceptanceThresholdIsCancellationByAFactorOf1024) {
  const Family& f = GetParam();
  const int64_t w = f.w;
  std::vector<double> x(static_cast<size_t>(w), 0.0), y(static_cast<size_t>(w), 1.0);
  // Lane sums 1024 and -1023: |r| * 1024 = 1024 = max |S|, accepted.
  x[0] = 1024.0, x[1] = -1023.0;
  EXPECT_TRUE(SameResult({1.0, true}, f.dot2(x.data(), w, y.data(), w)));
  EXPECT_TRUE(SameResult({1.0, true}, f.dotK3(x.data(), w, y.data(), w)));
  // 1025 and -1024: cancelled by more than 1024, declined.
  x[0] = 1025.0, x[1] = -1024.0;
  EXPECT_TRUE(SameResult({1.0, false}, f.dot2(x.data(), w, y.data(), w)));
  EXPECT_TRUE(SameResult({1.0, false}, f.dotK3(x.data(), w, y.data(), w)));
}

TEST_P(KernelTest, DeclinedCasesAndTheirScalarResults) {
  const Family& f = GetParam();
  const std::vector<double> a = {1e16, 1.0, -1e16}, ones = {1, 1, 1, 1, 1};
  const KernelResult ra = f.dot2(a.data(), 3, ones.data(), 3);
  EXPECT_FALSE(ra.accepted);  // r = 1 while a lane sum is 1e16
  EXPECT_TRUE(SameBits(1.0, dot2(a.data(), 3, ones.data(), 3)));
  const std::vector<double> b = {pow2(160), pow2(53), 1.0, -pow2(160), -pow2(53)};
  const KernelResult rb = f.dotK3(b.data(), 5, ones.data(), 5);
  EXPECT_FALSE(rb.accepted);
  EXPECT_TRUE(SameBits(0.0, rb.value));
  EXPECT_TRUE(SameBits(1.0, dotK(b.data(), 5, ones.data(), 5, 3)));
  // Non-finite data or overflow: r is not finite.
  for (double special : {kNaN, kInf, 1e300}) {
    std::vector<double> x(23, 1.0), y(23, 1.0);
    x[13] = special;
    y[13] = special;
    EXPECT_FALSE(f.dot2(x.data(), 23, y.data(), 23).accepted) << special;
    EXPECT_FALSE(f.dotK3(x.data(), 23, y.data(), 23).accepted) << special;
  }
}

// Accepted results have Dot2's accuracy: on random and moderately conditioned data they
// are the correctly rounded dot product.
TEST_P(KernelTest, AcceptedResultsAreAccurate) {
  const Family& f = GetParam();
  std::mt19937_64 rng(41);
  int accepted = 0;
  for (size_t n : {50u, 1000u, 3000u}) {
    for (int t = 0; t < 10; ++t) {
      const auto x = testutil::uniform(rng, n);
      const auto y = testutil::wideRange(rng, n, -40, 40);
      const double exact = oracle::exactDot(x.data(), y.data(), len(x));
      for (CompensatedDotKernel k : {f.dot2, f.dotK3}) {
        const KernelResult r = k(x.data(), len(x), y.data(), len(y));
        if (!r.accepted) continue;
        ++accepted;
        EXPECT_TRUE(SameBits(exact, r.value)) << n;
      }
    }
  }
  EXPECT_GT(accepted, 50);
  // Prescribed condition: the bound eps |x.y| + gamma_n^2 sum |x_i y_i| holds when accepted.
  for (double cond : {1e2, 1e3, 1e6}) {
    const auto c = dotdata::genDot(rng, 300, cond);
    const double g = dotdata::gamma(300.0);
    for (CompensatedDotKernel k : {f.dot2, f.dotK3}) {
      const KernelResult r = k(c.x.data(), len(c.x), c.y.data(), len(c.y));
      if (r.accepted) {
        EXPECT_LE(dotdata::absError(r.value, c.exact), dotdata::kEps * std::fabs(c.exact) + g * g * c.absSum) << cond;
      }
    }
  }
}

// ---- Products near the bottom of the range, where the kernels may run lifted ----


// A pair of factors of random signs whose product is of the given kind, near the places
// where the kernels' lifted products could go wrong: the rounding of p to the subnormal
// grid (ties included), the sign of a vanishing p and e, the thresholds the kernels read
// from the factors' bit patterns, subnormal and zero factors.
std::pair<double, double> bottomPair(std::mt19937_64& rng, int kind) {
  std::uniform_real_distribution<double> unit(1.0, 2.0);
  std::uniform_int_distribution<int> split(-600, -460);
  const int ea = split(rng);
  double a = 0.0, b = 0.0;
  switch (kind) {
    case 0: {  // products spread over [2^-1100, 2^-960]
      const int t = std::uniform_int_distribution<int>(-1100, -960)(rng);
      a = unit(rng) * pow2(ea), b = unit(rng) * pow2(t - ea);
      break;
    }
    case 1: {  // exact values at and around 2^-1075, ties on the subnormal grid, 2^-1022
      static const double kTargets[] = {1.0, 1.0 + 0x1p-52, 1.0 - 0x1p-53, 1.5, 3.0, 5.0, 7.0, 0x1p53 - 1.0, 0x1p53 - 3.0,
                                        0x1p53 + 2.0, 0x1p52 + 1.0};
      const double m = kTargets[std::uniform_int_distribution<int>(0, 10)(rng)];
      a = pow2(ea), b = m * pow2(-1075 - ea);  // a b = m 2^-1075 exactly
      // Or two fractions whose exponents add to -1077 .. -1075: products from 2^-1077 to
      // 2^-1073, whose bit patterns sit near the first threshold.
      if (rng() & 1) a = unit(rng) * pow2(ea), b = unit(rng) * pow2(std::uniform_int_distribution<int>(-1077, -1075)(rng) - ea);
      break;
    }
    case 2: {  // H = floor(bits|a| / 2) + floor(bits|b| / 2) at the thresholds, +-2
      static const int64_t kLimits[] = {970, 955, 1080, 2685};
      const int64_t limit = kLimits[std::uniform_int_distribution<int>(0, 3)(rng)] << 51;
      const int64_t h = limit + std::uniform_int_distribution<int>(-2, 2)(rng);
      const uint64_t fa = static_cast<uint64_t>(std::uniform_int_distribution<int>(1, 1100)(rng));
      const uint64_t bitsA = (fa << 52) | (rng() & ((uint64_t{1} << 52) - 1));
      const int64_t halfB = h - static_cast<int64_t>(bitsA / 2);
      if (halfB < 0 || halfB >= (int64_t{2047} << 51)) return {pow2(-540), pow2(-540)};
      a = fromBits(bitsA), b = fromBits(static_cast<uint64_t>(2 * halfB) + (rng() & 1));
      break;
    }
    case 3: {  // a subnormal factor, the other normal (products in the band) or subnormal
      a = fromBits(rng() & ((uint64_t{1} << 52) - 1));
      b = (rng() & 1) ? unit(rng) * pow2(std::uniform_int_distribution<int>(-10, 60)(rng)) : fromBits(rng() >> 12);
      break;
    }
    case 4:  // a zero factor
      a = 0.0, b = unit(rng) * pow2(std::uniform_int_distribution<int>(-1074, 700)(rng));
      break;
    default:  // products too large to be lifted
      a = unit(rng) * pow2(330), b = unit(rng) * pow2(std::uniform_int_distribution<int>(300, 380)(rng));
      break;
  }
  if (rng() & 1) std::swap(a, b);
  return {(rng() & 1) ? -a : a, (rng() & 1) ? -b : b};
}

// Arrays whose pairs take the kinds with the given weights.
std::pair<std::vector<double>, std::vector<double>> bottomArrays(std::mt19937_64& rng, size_t n,
                                                                 const std::vector<int>& weights) {
  std::discrete_distribution<int> kind(weights.begin(), weights.end());
  std::vector<double> x(n), y(n);
  for (size_t i = 0; i < n; ++i) std::tie(x[i], y[i]) = bottomPair(rng, kind(rng));
  return {x, y};
}

// Lengths around whole groups of four vectors of the family and longer stretches; data
// that stays in the band, that leaves it for plain stretches, that mixes in products too
// large to lift, zeros, subnormal factors and specials; a large product first, so that the
// states are too large to be lifted.
TEST_P(KernelTest, ProductsNearTheBottomFollowTheLaneModel) {
  const Family& f = GetParam();
  const size_t w = static_cast<size_t>(f.w), group = 4 * w;
  std::mt19937_64 rng(1075);
  const std::vector<std::vector<int>> regimes = {
      {1, 0, 0, 0, 0, 0}, {0, 1, 0, 0, 0, 0}, {0, 0, 1, 0, 0, 0}, {0, 0, 0, 1, 0, 0}, {4, 2, 2, 1, 1, 0},
      {20, 4, 4, 2, 2, 1}, {1, 1, 1, 1, 1, 1},
  };
  std::vector<size_t> lengths = {1, w - 1, w, w + 1, 2 * group + 3, 4 * group, 300, 1000, 4099};
  for (size_t k = 1; k <= 3; ++k) {
    for (size_t d : {group - 1, group, group + 1, group + w}) lengths.push_back((k - 1) * group + d);
  }
  int cases = 0;
  for (const auto& weights : regimes) {
    for (size_t n : lengths) {
      for (int rep = 0; rep < 6; ++rep) {
        auto [x, y] = bottomArrays(rng, n, weights);
        switch (rep) {
          case 1:  // a product too large to lift at the start: the states then are too
            x[0] = 0x1p400, y[0] = -0x1p300;
            break;
          case 2:  // a special somewhere
            (rng() & 1 ? x : y)[rng() % n] = std::array<double, 3>{kInf, -kInf, kNaN}[rng() % 3];
            break;
          case 3:  // every product vanishes, some exactly: the sign of the zero result
            for (size_t i = 0; i < n; ++i) {
              std::tie(x[i], y[i]) = bottomPair(rng, rng() % 8 == 0 ? 4 : 1);
              if (rng() % 2) y[i] = std::ldexp(y[i], -1 - static_cast<int>(rng() % 40));
            }
            break;
          case 4:  // band stretches, then plain ones, then band again
            for (size_t i = n / 3; i < 2 * n / 3; ++i) x[i] = 1.0 + static_cast<double>(i % 7), y[i] = 0.5;
            break;
          default:
            break;
        }
        // (A NaN's sign and payload are the platform's: which operand's NaN an operation
        // passes on differs between x86-64 and aarch64.)
        const auto same = [](const KernelResult& want, const KernelResult& got) {
          if (std::isnan(want.value) && std::isnan(got.value) && want.accepted == got.accepted) {
            return ::testing::AssertionSuccess();
          }
          return SameResult(want, got);
        };
        ASSERT_TRUE(same(modelCompensated(x, y, f.w, false), f.dot2(x.data(), len(x), y.data(), len(y))))
            << "Dot2, n " << n << " case " << rep;
        ASSERT_TRUE(same(modelCompensated(x, y, f.w, true), f.dotK3(x.data(), len(x), y.data(), len(y))))
            << "DotK3, n " << n << " case " << rep;
        ++cases;
      }
    }
  }
  EXPECT_GT(cases, 500);
}

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(KernelTest);  // no family: a scalar processor
INSTANTIATE_TEST_SUITE_P(Families, KernelTest, ::testing::ValuesIn(familiesHere()),
                         [](const ::testing::TestParamInfo<Family>& p) { return p.param.w == 4 ? "Avx2" : "Avx512"; });

// ---- Dispatch ----

TEST(Dispatch, PicksTheWidestFamilyTheCompilerSees) {
  const double x[] = {1.0}, y[] = {2.0};
  (void)dispatchNaiveDot(x, 1, y, 1);
  NaiveDotKernel naive = scalarNaiveDot;
  CompensatedDotKernel d2 = scalarDot2, k3 = scalarDotK3;
  if (cpuRunsAvx512()) {
    naive = dispatchNaiveDotAvx512, d2 = dispatchDot2Avx512, k3 = dispatchDotK3Avx512;
  } else if (cpuRunsAvx2()) {
    naive = dispatchNaiveDotAvx2, d2 = dispatchDot2Avx2, k3 = dispatchDotK3Avx2;
  }
  EXPECT_EQ(naive, naiveDotImpl.load());
  EXPECT_EQ(d2, dot2Impl.load());
  EXPECT_EQ(k3, dotK3Impl.load());
  // Running the selection again stores the same three kernels.
  initDispatch();
  EXPECT_EQ(naive, naiveDotImpl.load());
  EXPECT_EQ(d2, dot2Impl.load());
  EXPECT_EQ(k3, dotK3Impl.load());
}

// The family named by the build (the qemu presets emulate a processor whose family is
// known in advance), checked independently of what the test itself detects.
#ifdef SELA_EXPECTED_KERNEL_FAMILY
TEST(Dispatch, PicksTheFamilyExpectedOnThisProcessor) {
  const double x[] = {1.0}, y[] = {2.0};
  (void)dispatchDot2(x, 1, y, 1);
  const NaiveDotKernel naive = naiveDotImpl.load();
  const CompensatedDotKernel d2 = dot2Impl.load(), k3 = dotK3Impl.load();
  std::string picked = "unknown";
  if (naive == dispatchNaiveDotAvx512 && d2 == dispatchDot2Avx512 && k3 == dispatchDotK3Avx512) picked = "avx512";
  if (naive == dispatchNaiveDotAvx2 && d2 == dispatchDot2Avx2 && k3 == dispatchDotK3Avx2) picked = "avx2";
  if (naive == scalarNaiveDot && d2 == scalarDot2 && k3 == scalarDotK3) picked = "scalar";
  EXPECT_EQ(std::string(SELA_EXPECTED_KERNEL_FAMILY), picked);
  // The condition number's blocks (the AVX copy in both families) and the normalization
  // (each selected on its own first use): the widest copy the family offers, the SSE2
  // copies where no family runs.
  const bool avx = picked != "scalar";
#if defined(__x86_64__)
  EXPECT_EQ(avx ? conditionBlocksAvx : conditionBlocksSse2, conditionBlocksImpl.get()) << picked;
  const bool avx512 = picked == "avx512";
  EXPECT_EQ(avx512 ? normalizeLanesAvx512 : avx ? normalizeLanesAvx : normalizeLanesSse2, normalizeLanesImpl.get())
      << picked;
  EXPECT_EQ(avx512 ? normalizePairWithNormsAvx512 : avx ? normalizePairWithNormsAvx : normalizePairWithNormsSse2,
            normalizePairWithNormsImpl.get())
      << picked;
  EXPECT_EQ(avx512 ? maxMagnitudeLanesAvx512 : avx ? maxMagnitudeLanesAvx : maxMagnitudeLanesSse2,
            maxMagnitudeLanesImpl.get())
      << picked;
  EXPECT_EQ(avx512 ? projectionLanesAvx512 : avx ? projectionLanesAvx : projectionLanesSse2, projectionLanesImpl.get())
      << picked;
  // The exact products split with a fused multiply-add wherever the AVX2 test passes.
  EXPECT_EQ(avx ? &kFmaProductSplit : &kNoProductSplit, productSplitImpl.get()) << picked;
  // Dot2's arrangement with its independent work in vectors, likewise.
  EXPECT_EQ(avx ? dot2Avx2 : dot2Baseline, dot2ArrangementImpl.get()) << picked;
  // The running sums' span kernels, likewise.
  EXPECT_EQ(avx ? exactSpanAvx2 : exactSpanSse2, exactSpanImpl.get()) << picked;
  EXPECT_EQ(avx ? boundSpanAvx2 : boundSpanSse2, boundSpanImpl.get()) << picked;
  // The accumulator record check's pass over the limbs: the widest copy the family offers.
  EXPECT_EQ(avx512 ? limbsShiftedOrAvx512 : avx ? limbsShiftedOrAvx2 : limbsShiftedOrSse2, limbsShiftedOrImpl.get())
      << picked;
#else
  // No x86 family off x86-64: every slot keeps its baseline copy.
  EXPECT_FALSE(avx) << picked;
  EXPECT_EQ(conditionBlocksSse2, conditionBlocksImpl.get());
  EXPECT_EQ(normalizeLanesSse2, normalizeLanesImpl.get());
  EXPECT_EQ(&kNoProductSplit, productSplitImpl.get());
  EXPECT_EQ(dot2Baseline, dot2ArrangementImpl.get());
  EXPECT_EQ(exactSpanSse2, exactSpanImpl.get());
  EXPECT_EQ(boundSpanSse2, boundSpanImpl.get());
  EXPECT_EQ(limbsShiftedOrSse2, limbsShiftedOrImpl.get());
  EXPECT_EQ(maxMagnitudeLanesSse2, maxMagnitudeLanesImpl.get());
  EXPECT_EQ(normalizePairWithNormsSse2, normalizePairWithNormsImpl.get());
  EXPECT_EQ(projectionLanesSse2, projectionLanesImpl.get());
#endif
}
#endif

TEST(Dispatch, DeclinedKernelsGiveTheScalarResult) {
  const std::vector<double> a = {1e16, 1.0, -1e16}, ones = {1, 1, 1, 1, 1};
  EXPECT_TRUE(SameBits(1.0, dispatchDot2(a.data(), 3, ones.data(), 3)));
  const std::vector<double> b = {pow2(160), pow2(53), 1.0, -pow2(160), -pow2(53)};
  EXPECT_TRUE(SameBits(1.0, dispatchDotK3(b.data(), 5, ones.data(), 5)));
  EXPECT_TRUE(SameBits(0.0, dispatchDot2(b.data(), 5, ones.data(), 5)));  // Dot2 itself loses the 1
  std::mt19937_64 rng(47);
  for (int t = 0; t < 20; ++t) {
    const auto c = dotdata::genDot(rng, 64, 1e30);
    const int64_t n = len(c.x);
    EXPECT_TRUE(SameBits(dot2(c.x.data(), n, c.y.data(), n), dispatchDot2(c.x.data(), n, c.y.data(), n)));
    EXPECT_TRUE(SameBits(dotK(c.x.data(), n, c.y.data(), n, 3), dispatchDotK3(c.x.data(), n, c.y.data(), n)));
  }
  std::vector<double> x(30, 0.5), y(30, 0.25);
  x[7] = kNaN;
  EXPECT_TRUE(std::isnan(dispatchDot2(x.data(), 30, y.data(), 30)));
  EXPECT_TRUE(std::isnan(dispatchDotK3(x.data(), 30, y.data(), 30)));
  // Overflow of both signs in finite data: the scalar path ends in the exact dot product.
  x[7] = 1e308, x[8] = -1e308, y[7] = y[8] = 8.0;
  EXPECT_TRUE(SameBits(3.5, dispatchDot2(x.data(), 30, y.data(), 30)));
  EXPECT_TRUE(SameBits(3.5, dispatchDotK3(x.data(), 30, y.data(), 30)));
}

// ---- The exports ----

TEST(DotExports, EmptyInputsGiveZero) {
  EXPECT_TRUE(SameBits(0.0, sela_dot_naive(nullptr, nullptr, 0)));
  EXPECT_TRUE(SameBits(0.0, sela_dot2(nullptr, nullptr, 0)));
  for (int32_t k : {-5, 0, 1, 2, 3, 4, 50}) EXPECT_TRUE(SameBits(0.0, sela_dot_k(nullptr, nullptr, 0, k))) << k;
}

TEST(DotExports, NaiveRecheckReplacesOverflowNaNOnly) {
  // Overflowing products of both signs: inf - inf from finite data gives the exact +0.0,
  // through the short loop (n = 2) and through the vector lanes (n = 16, both widths).
  const double x2[] = {1e308, 1e308}, y2[] = {10.0, -10.0};
  EXPECT_TRUE(SameBits(0.0, sela_dot_naive(x2, y2, 2)));
  std::vector<double> x(16, 1.0), y(16, 0.5);
  x[3] = x[12] = 1e308, y[3] = 10.0, y[12] = -10.0;
  EXPECT_TRUE(SameBits(7.0, sela_dot_naive(x.data(), y.data(), 16)));
  // A +inf result from finite data is not re-checked.
  const double yp[] = {10.0, 10.0};
  EXPECT_TRUE(SameBits(kInf, sela_dot_naive(x2, yp, 2)));
  // A NaN or infinity in the data keeps the fast NaN, even where the exact dot product
  // would be a number (+inf here).
  std::vector<double> xi(16, 1.0), yi(16, 1.0);
  xi[0] = kInf, xi[5] = 1e308, yi[5] = 10.0, xi[6] = 1e308, yi[6] = -10.0;
  EXPECT_TRUE(std::isnan(sela_dot_naive(xi.data(), yi.data(), 16)));
  const double xs[] = {kInf, 1e308, 1e308}, ys[] = {1.0, 10.0, -10.0};
  EXPECT_TRUE(std::isnan(sela_dot_naive(xs, ys, 3)));
  EXPECT_TRUE(SameBits(kInf, sela_dot_exact(xs, ys, 3)));
  xi[0] = 1.0;
  yi[9] = kNaN;
  const double r = sela_dot_naive(xi.data(), yi.data(), 16);
  EXPECT_TRUE(SameBits(dispatchNaiveDot(xi.data(), 16, yi.data(), 16), r));  // that very NaN
  EXPECT_TRUE(std::isnan(r));
}

TEST(DotExports, ExportsRunTheDispatchedKernels) {
  std::mt19937_64 rng(53);
  for (size_t n : {1u, 5u, 8u, 9u, 100u, 777u}) {
    const auto x = testutil::wideRange(rng, n, -100, 100);
    const auto y = testutil::uniform(rng, n);
    const int64_t m = len(x);
    // The export first: in a fresh process its call fills the slot the comparison reads
    // (the order in which a call's arguments are evaluated is the compiler's).
    const double naive = sela_dot_naive(x.data(), y.data(), n);
    EXPECT_TRUE(SameBits(naiveDotImpl.load()(x.data(), m, y.data(), m), naive));
    EXPECT_TRUE(SameBits(dispatchDot2(x.data(), m, y.data(), m), sela_dot2(x.data(), y.data(), n)));
    EXPECT_TRUE(SameBits(sela_dot2(x.data(), y.data(), n), sela_dot_k(x.data(), y.data(), n, 2)));
    EXPECT_TRUE(SameBits(dispatchDotK3(x.data(), m, y.data(), m), sela_dot_k(x.data(), y.data(), n, 3)));
    for (int32_t k : {4, 6, 11}) EXPECT_TRUE(SameBits(dotK(x.data(), m, y.data(), m, k), sela_dot_k(x.data(), y.data(), n, k)));
  }
}

TEST(DotExports, OrdersBelowTwoUseTheScalarNaiveLoop) {
  // Lane 0 of both vector widths fuses the second product; the scalar loop rounds it.
  std::vector<double> x(16, 0.0), y(16, 0.0);
  x[0] = 1.0, y[0] = -1.0, x[8] = 1 + pow2(-52), y[8] = 1 - pow2(-53);
  const double vector = cpuRunsAvx2() || cpuRunsAvx512() ? pow2(-53) - pow2(-105) : 0.0;
  EXPECT_TRUE(SameBits(vector, sela_dot_naive(x.data(), y.data(), 16)));
  for (int32_t k : {1, 0, -5, INT32_MIN}) EXPECT_TRUE(SameBits(0.0, sela_dot_k(x.data(), y.data(), 16, k))) << k;
}

TEST(DotExports, CompensatedExportsAreAccurateAtPrescribedCondition) {
  std::mt19937_64 rng(59);
  for (double cond : {1e4, 1e15, 1e25}) {
    const auto c = dotdata::genDot(rng, 240, cond);
    const double g = dotdata::gamma(240.0);
    const double bound = dotdata::kEps * std::fabs(c.exact) + g * g * c.absSum;
    EXPECT_LE(dotdata::absError(sela_dot2(c.x.data(), c.y.data(), 240), c.exact), bound) << cond;
    EXPECT_LE(dotdata::absError(sela_dot_k(c.x.data(), c.y.data(), 240, 3), c.exact), bound) << cond;
  }
}
