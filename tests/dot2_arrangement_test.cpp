// Dot2's two arrangements (element by element, and with the independent work in vectors
// on FMA processors) against the element loop with its per-element tests written out
// plainly: the same bits on random, wide-range, ill-conditioned and special-value data,
// at every length up to 70 and at long lengths, and the same decision to fall back.
#include <limits>

#include "algorithms/dotproduct.h"
#include "dot_test_data.h"
#include "kernel_slot.h"
#include "test_util.h"

using namespace sela;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

bool finite(double v) { return std::isfinite(v); }

// The order of operations, with a test after every step that can overflow; false where
// the compensation is abandoned (the caller then returns the naive dot product).
bool referenceDot2(const double* x, const double* y, int64_t n, double& result) {
  if (!finite(x[0]) || !finite(y[0])) return false;
  double s = x[0] * y[0];
  double c = std::fma(x[0], y[0], -s);
  if (!finite(s)) return false;
  for (int64_t i = 1; i < n; ++i) {
    const double a = x[i], b = y[i];
    if (!finite(a) || !finite(b)) return false;
    const double h = a * b;
    const double r = std::fma(a, b, -h);
    if (!finite(h) || !finite(r)) return false;
    const double t = s + h;
    const double z = t - s;
    const double q = (s - (t - z)) + (h - z);
    if (!finite(t)) return false;
    c = (c + r) + q;
    s = t;
  }
  result = s + c;
  return true;
}

// Every arrangement must agree with the reference on x and y; `what` names the case.
void expectSameAsReference(const std::vector<double>& x, const std::vector<double>& y, const std::string& what) {
  const auto n = static_cast<int64_t>(x.size());
  ASSERT_EQ(x.size(), y.size());
  double expected = 0.0;
  const bool kept = n == 0 || referenceDot2(x.data(), y.data(), n, expected);
  if (!kept) expected = naiveDot(x.data(), n, y.data(), n);
  EXPECT_TRUE(SameBits(expected, dot2(x.data(), n, y.data(), n))) << what;
  if (n == 0) return;
  double r = 0.0;
  const bool baselineKept = dot2Baseline(x.data(), n, y.data(), r);
  EXPECT_EQ(kept, baselineKept) << what;
  if (kept && baselineKept) {
    EXPECT_TRUE(SameBits(expected, r)) << "baseline " << what;
  }
#if defined(__x86_64__)
  if (avx2FamilySupported()) {
    const bool fmaKept = dot2Avx2(x.data(), n, y.data(), r);
    EXPECT_EQ(kept, fmaKept) << what;
    if (kept && fmaKept) {
      EXPECT_TRUE(SameBits(expected, r)) << "fma " << what;
    }
  }
#endif
}

std::vector<double> nearOnes(size_t n) { return std::vector<double>(n, 1.0 + 0x1p-30); }

}  // namespace

TEST(Dot2Arrangements, SameBitsAtEveryShortLength) {
  std::mt19937_64 rng(181);
  for (size_t n = 0; n <= 70; ++n) {
    const std::string at = "n = " + std::to_string(n);
    expectSameAsReference(testutil::uniform(rng, n), testutil::uniform(rng, n), "uniform " + at);
    // Exponents over the whole range: overflowing, underflowing and subnormal products,
    // product errors that are themselves rounded.
    expectSameAsReference(testutil::wideRange(rng, n), testutil::wideRange(rng, n), "full range " + at);
    expectSameAsReference(testutil::wideRange(rng, n, -600, -400), testutil::wideRange(rng, n, -600, -400),
                          "underflowing " + at);
    if (n >= 2) {
      expectSameAsReference(testutil::genSum(rng, n, 1e16), nearOnes(n), "cond 1e16 " + at);
      expectSameAsReference(testutil::illConditioned(rng, n, 1e30), testutil::uniform(rng, n), "cond 1e30 " + at);
    }
    if (n >= 4) {
      const auto c = dotdata::genDot(rng, n, 1e25);
      expectSameAsReference(c.x, c.y, "genDot " + at);
    }
  }
}

TEST(Dot2Arrangements, SameBitsOnLongIllConditionedData) {
  std::mt19937_64 rng(182);
  for (size_t n : {1000u, 4097u, 100003u}) {
    const std::string at = "n = " + std::to_string(n);
    for (double cond : {1e16, 1e32}) {
      const auto x = testutil::genSum(rng, n, cond);
      expectSameAsReference(x, nearOnes(n), "genSum . near-ones " + at);
      expectSameAsReference(x, testutil::uniform(rng, n), "genSum . uniform " + at);
    }
    expectSameAsReference(testutil::wideRange(rng, n, -500, 500), testutil::wideRange(rng, n, -500, 500),
                          "wide " + at);
  }
}

// Every special value at every position of a short input (the four lanes of a vector
// block, the scalar tail, the first element), and overflow of products and running sums.
TEST(Dot2Arrangements, SameFallbackDecisionOnSpecialValues) {
  std::mt19937_64 rng(183);
  const double specials[] = {kNaN, -kNaN, kInf, -kInf, 1e308, -1e308, 0.0, -0.0, 0x1p-1074, -0x1p-1060};
  for (size_t n : {1u, 2u, 5u, 9u, 12u}) {
    for (size_t pos = 0; pos < n; ++pos) {
      for (double v : specials) {
        for (int side = 0; side < 2; ++side) {
          auto x = testutil::uniform(rng, n);
          auto y = testutil::uniform(rng, n);
          for (auto& e : y) e *= 10.0;
          (side ? y : x)[pos] = v;
          expectSameAsReference(x, y, "n " + std::to_string(n) + " pos " + std::to_string(pos) + " value " +
                                          std::to_string(v) + " side " + std::to_string(side));
        }
      }
    }
  }
  // inf * 0 (NaN product), inf - inf in the running sum, a running sum that overflows
  // and one whose overflowing products cancel exactly (the exact fallback of naiveDot).
  expectSameAsReference({kInf, 1.0, 2.0, 3.0, 4.0}, {0.0, 1.0, 1.0, 1.0, 1.0}, "inf * 0");
  expectSameAsReference({1e308, 1.0, -1e308, 1.0, 2.0}, {10.0, 1.0, 10.0, 1.0, 1.0}, "products overflow");
  expectSameAsReference({1e308, 1e308, 1e308, -1e308, 1.0, 1.0}, {1, 1, 1, 1, 1, 1}, "running sum overflows");
  // Signed zeros: products that are -0.0 (and a negative product underflowing to -0.0,
  // whose error is -0.0) keep their signs through both chains.
  expectSameAsReference({-0.0, -0.0, -0.0, -0.0, -0.0}, {1, 1, 1, 1, 1}, "negative zeros");
  expectSameAsReference({-0x1p-600, -0x1p-600, -0x1p-600, -0x1p-600, -0x1p-600},
                        {0x1p-600, 0x1p-600, 0x1p-600, 0x1p-600, 0x1p-600}, "underflow to -0.0");
}

// The compensation adds the product error before the sum error. These four elements
// tell the two orders apart in the last bit of the result: after the first product
// (2^27 + 1)^2 the compensation holds its error 1, the second cancels the running sum
// exactly and the third leaves -0x1.cp-51 in it; the last product rounds to 2 with an
// error r, its TwoSum with the running sum leaves an error q, and (1 + r) + q rounds
// differently from (1 + q) + r. Zeros change neither chain (h, r and q are all +0.0);
// placed before and after the four elements they move the deciding element through
// every lane of a vector block and every position of the scalar tail, and (with more
// zeros before) through the groups whose compensation trails the running sum, the last
// groups compensated after the loop, and the wrap of the ring of stored running sums.
TEST(Dot2Arrangements, ProductErrorIsAddedBeforeSumErrorInEveryPosition) {
  const double first = 0x1p27 + 1.0;
  std::vector<size_t> befores = {0, 1, 2, 3, 4};
  for (size_t b = 13; b <= 22; ++b) befores.push_back(b);
  for (size_t b = 29; b <= 38; ++b) befores.push_back(b);
  for (size_t b = 61; b <= 70; ++b) befores.push_back(b);
  for (size_t before : befores) {
    for (size_t after : {0, 1, 2, 3, 4, 17, 18, 19, 20}) {
      std::vector<double> x = {first}, y = {first};
      x.insert(x.end(), before, 0.0);
      y.insert(y.end(), before, 0.0);
      x.insert(x.end(), {-(0x1p54 + 0x1p28), -0x1.cp-51, 0x1.fffffecp-1});
      y.insert(y.end(), {1.0, 1.0, 0x1.000000cp+1});
      x.insert(x.end(), after, 0.0);
      y.insert(y.end(), after, 0.0);
      const auto n = static_cast<int64_t>(x.size());
      const std::string at = "zeros before " + std::to_string(before) + ", after " + std::to_string(after);
      // 0x1.8000001fffff6p+1 with the sum error added first.
      EXPECT_TRUE(SameBits(0x1.8000001fffff7p+1, dot2(x.data(), n, y.data(), n))) << at;
      expectSameAsReference(x, y, at);
    }
  }
}
