// The superaccumulator against the GMP oracle and the named extremes, and its two
// arrangements (element operations, bins) against each other.
#include <algorithm>
#include <limits>

#include "algorithms/exactengine.h"
#include "sela.h"
#include "test_util.h"

using testutil::bits;
using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
const double kTiny = std::numeric_limits<double>::denorm_min();

// The element operations exactly as a caller drives them: the reference arrangement.
double elementwiseSum(const std::vector<double>& x) {
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  sela::addEach(acc, x.data(), static_cast<int64_t>(x.size()));
  return sela::round(acc);
}

// Each arrangement alone, from an empty register.
double binnedSum(const double* x, int64_t n) {
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  EXPECT_TRUE(sela::addBinned(acc, x, n));
  return sela::round(acc);
}

double binnedDot(const double* x, const double* y, int64_t n) {
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  EXPECT_TRUE(sela::addProductsBinned(acc, x, y, n));
  return sela::round(acc);
}

// Every arrangement that can take x must give `expected`, bit for bit.
void expectEveryPath(const std::vector<double>& x, double expected, const std::string& what) {
  const auto n = static_cast<int64_t>(x.size());
  EXPECT_TRUE(SameBits(expected, elementwiseSum(x))) << what << " (element operations)";
  EXPECT_TRUE(SameBits(expected, sela::superSum(x.data(), n))) << what << " (superSum)";
  EXPECT_TRUE(SameBits(expected, binnedSum(x.data(), n))) << what << " (bins)";
  double shortResult;
  const bool special = std::any_of(x.begin(), x.end(), [](double v) { return !std::isfinite(v); });
  if (n >= 1 && n <= sela::kShortSumMaxLength && !special) {
    ASSERT_TRUE(sela::shortExactSum(x.data(), n, shortResult)) << what;
    EXPECT_TRUE(SameBits(expected, shortResult)) << what << " (short register)";
  } else {
    EXPECT_FALSE(sela::shortExactSum(x.data(), n, shortResult)) << what;
  }
}

void expectMatchesOracle(const std::vector<double>& x, const std::string& what) {
  expectEveryPath(x, oracle::exactSum(x), what);
}

// Values and their negations, shuffled: the exact sum is 0.
std::vector<double> cancelling(std::mt19937_64& rng, size_t half) {
  auto v = testutil::wideRange(rng, half, -1074, 1023);
  const size_t k = v.size();
  for (size_t i = 0; i < k; ++i) v.push_back(-v[i]);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

// Magnitudes in [2^1000, 2^1024) with random signs: partial sums leave the double range.
std::vector<double> nearOverflow(std::mt19937_64& rng, size_t n) { return testutil::wideRange(rng, n, 1000, 1023); }

// A quiet or signalling NaN with a random payload and sign.
double randomNaN(std::mt19937_64& rng) {
  uint64_t f = rng() & 0x000FFFFFFFFFFFFFULL;
  if (f == 0) f = 1;
  return std::bit_cast<double>((rng() & 0x8000000000000000ULL) | 0x7FF0000000000000ULL | f);
}

// superDot's element step written out independently (product of the two mantissas,
// five 32-bit words from limb floor(t / 32), words below limb 0 dropped), driven
// through the element operations: the reference for the binned dot product.
double elementwiseDot(const std::vector<double>& x, const std::vector<double>& y) {
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  for (size_t i = 0; i < x.size(); ++i) {
    if (acc.addsLeft == 0) sela::carryPropagate(acc);
    const uint64_t ux = bits(x[i]), uy = bits(y[i]);
    const auto field = [](uint64_t u) { return static_cast<int64_t>((u >> 52) & 0x7FF); };
    if (field(ux) == 0x7FF || field(uy) == 0x7FF) {
      sela::depositSpecial(acc, bits(x[i] * y[i]));
      continue;
    }
    if (x[i] == 0.0 || y[i] == 0.0) continue;
    const auto mant = [&](uint64_t u) { return (u & 0xFFFFFFFFFFFFFULL) | (field(u) ? 1ULL << 52 : 0); };
    const auto expo = [&](uint64_t u) { return field(u) ? field(u) : 1; };
    __extension__ typedef unsigned __int128 u128;
    const u128 p = static_cast<u128>(mant(ux)) * mant(uy);
    const int64_t t = expo(ux) + expo(uy) - 1075;
    const int64_t l = t >= 0 ? t / 32 : -((31 - t) / 32);
    const int h = static_cast<int>(t - 32 * l);
    const u128 q = p << h;
    const uint64_t w[5] = {static_cast<uint64_t>(q & 0xFFFFFFFF), static_cast<uint64_t>((q >> 32) & 0xFFFFFFFF),
                           static_cast<uint64_t>((q >> 64) & 0xFFFFFFFF), static_cast<uint64_t>((q >> 96) & 0xFFFFFFFF),
                           h ? static_cast<uint64_t>(p >> (128 - h)) : 0};
    const bool negative = std::signbit(x[i]) != std::signbit(y[i]);
    for (int k = 0; k < 5; ++k) {
      if (l + k < 0) continue;
      acc.limbs[l + k] += negative ? -static_cast<int64_t>(w[k]) : static_cast<int64_t>(w[k]);
    }
    acc.addsLeft -= 1;
  }
  return sela::round(acc);
}

void expectDotPaths(const std::vector<double>& x, const std::vector<double>& y, const std::string& what) {
  const double expected = elementwiseDot(x, y);
  const auto n = static_cast<int64_t>(x.size());
  EXPECT_TRUE(SameBits(expected, sela::superDot(x.data(), n, y.data(), n))) << what << " (superDot)";
  EXPECT_TRUE(SameBits(expected, binnedDot(x.data(), y.data(), n))) << what << " (bins)";
}

}  // namespace

TEST(ExactSum, NamedExtremes) {
  struct Case {
    std::vector<double> x;
    double expected;
  };
  const Case cases[] = {
      {{0.0, -0.0, -0.0}, 0.0},
      {{-0.0}, 0.0},
      {{-0.0, -0.0}, 0.0},
      {{1e308, 1e308, -1e308}, 1e308},
      {{kMax, kMax}, kInf},
      {{kMax, kMax, -kMax}, kMax},
      {{1.0, pow2(-53)}, 1.0},
      {{1.0, pow2(-53), pow2(-1074)}, 1.0 + pow2(-52)},
      {{-1.0, -pow2(-53)}, -1.0},
      {{-(1.0 + pow2(-52)), -pow2(-53)}, -(1.0 + pow2(-51))},
      {{pow2(-1074), pow2(-1074)}, pow2(-1073)},
      {{pow2(-1022), -pow2(-1074)}, pow2(-1022) - pow2(-1074)},
      {{kInf, 1.0}, kInf},
      {{kInf, -kMax, -kMax}, kInf},
      {{-kInf, kMax, kMax}, -kInf},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(SameBits(c.expected, sela_sum_exact(c.x.data(), c.x.size()))) << c.x.size();
    expectEveryPath(c.x, c.expected, "named case");
  }
}

TEST(ExactSum, SpecialWordsTakePrecedence) {
  const double nanSmall = std::bit_cast<double>(0xFFF0000000000001ULL);  // signalling, sign set
  const double nanBig = std::bit_cast<double>(0x7FF8000000000005ULL);
  const double nanBigNegative = std::bit_cast<double>(0xFFF8000000000005ULL);
  // The larger mantissa field wins, with the sign cleared, wherever it stands.
  EXPECT_TRUE(SameBits(std::bit_cast<double>(0x7FF8000000000005ULL),
                       elementwiseSum({nanBigNegative, 1.0, nanSmall})));
  EXPECT_TRUE(SameBits(std::bit_cast<double>(0x7FF8000000000005ULL), elementwiseSum({nanSmall, nanBig})));
  EXPECT_TRUE(SameBits(std::bit_cast<double>(0x7FF0000000000001ULL), elementwiseSum({nanSmall, kInf, -kInf})));
  // A NaN beats any infinity; both infinities make a NaN; one infinity beats an overflow
  // of the other sign.
  EXPECT_TRUE(std::isnan(elementwiseSum({kInf, nanBig})));
  EXPECT_FALSE(std::signbit(elementwiseSum({-kInf, nanBigNegative})));
  const double both = elementwiseSum({kInf, 1.0, -kInf, kInf});
  EXPECT_TRUE(std::isnan(both));
  EXPECT_TRUE(SameBits(-kInf, elementwiseSum({kMax, kMax, -kInf, kMax})));
}

TEST(ExactSum, MatchesOracleOnRandomFamilies) {
  std::mt19937_64 rng(20261208);
  for (size_t n : {1u, 2u, 7u, 15u, 16u, 17u, 100u, 2047u, 2048u, 2049u, 4094u, 4095u, 8188u, 10000u}) {
    const std::string at = " n=" + std::to_string(n);
    expectMatchesOracle(testutil::uniform(rng, n), "uniform" + at);
    expectMatchesOracle(testutil::wideRange(rng, n, -1074, 1023), "full range" + at);
    expectMatchesOracle(testutil::wideRange(rng, n, -1074, -1000), "subnormal range" + at);
    expectMatchesOracle(testutil::illConditioned(rng, n, 1e30), "cond 1e30" + at);
    expectMatchesOracle(nearOverflow(rng, n), "near overflow" + at);
  }
}

TEST(ExactSum, LongInputsMatchOracle) {
  std::mt19937_64 rng(424242);
  const size_t n = 100000;
  expectMatchesOracle(testutil::uniform(rng, n), "uniform");
  expectMatchesOracle(testutil::wideRange(rng, n, -1074, 1023), "full range");
  for (double cond : {1e10, 1e20, 1e30, 1e40}) {
    expectMatchesOracle(testutil::illConditioned(rng, n, cond), "cond " + std::to_string(cond));
  }
  expectEveryPath(cancelling(rng, n / 2), 0.0, "values and their negations");
  expectMatchesOracle(nearOverflow(rng, n), "near overflow");
}

TEST(ExactSum, RepeatedBinsWrapManyTimes) {
  // One value repeated: its bin passes 2^64 every ~2^11 elements, in every copy.
  for (double v : {2.0 - pow2(-52), -(2.0 - pow2(-52)), 0.75, kMax / 4, pow2(-1022) - pow2(-1074)}) {
    const std::vector<double> x(70001, v);
    expectMatchesOracle(x, "repeated " + std::to_string(v));
  }
  // Two values of one sign alternating, so both copies' bins wrap.
  std::vector<double> x(50000);
  for (size_t i = 0; i < x.size(); ++i) x[i] = i % 2 ? 1.5 : 1.0 + pow2(-52);
  expectMatchesOracle(x, "alternating");
}

TEST(ExactSum, ZerosAndSubnormalsInEveryPosition) {
  std::mt19937_64 rng(99);
  // Exactly 4096 zeros bring a bin to 2^64, that is back to its old value: the wrap
  // itself must reveal them.
  std::vector<double> z(4096, 0.0);
  z.push_back(pow2(-1060));
  expectMatchesOracle(z, "4096 zeros then a subnormal");
  std::vector<double> nz(8192, -0.0);
  nz.push_back(1.0);
  expectMatchesOracle(nz, "8192 negative zeros then 1");
  expectEveryPath(std::vector<double>(100000, -0.0), 0.0, "all negative zeros");
  // Zeros and subnormals sprinkled at chunk edges among normal values.
  auto w = testutil::uniform(rng, 20000);
  for (size_t i : {0u, 1u, 2047u, 2048u, 2049u, 4095u, 4096u, 10000u, 19999u}) w[i] = 0.0;
  for (size_t i = 3; i < w.size(); i += 97) w[i] = (i % 3 ? 1 : -1) * kTiny * static_cast<double>(i);
  for (size_t i = 5; i < w.size(); i += 89) w[i] = -0.0;
  expectMatchesOracle(w, "sprinkled");
}

// The short register's three forms (limbs zeroed where touched below 64 elements; bins
// for data of a narrow range of fields; four copies of the limbs otherwise) against the
// oracle where each one's arithmetic is at its edge.
TEST(ShortExactSum, EveryFormAtItsEdges) {
  std::mt19937_64 rng(7117);
  for (size_t n : {1u, 2u, 3u, 31u, 62u, 63u, 64u, 65u, 200u, 511u, 512u, 1023u, 2046u, 2047u}) {
    const std::string at = " n=" + std::to_string(n);
    // One binade, a few binades (the bins), every binade (the copies), subnormals only.
    expectMatchesOracle(testutil::uniform(rng, n), "uniform" + at);
    expectMatchesOracle(testutil::wideRange(rng, n, -40, 40), "81 binades" + at);
    expectMatchesOracle(testutil::wideRange(rng, n, 800, 1023), "top binades" + at);
    expectMatchesOracle(testutil::wideRange(rng, n, -1074, 1023), "full range" + at);
    expectMatchesOracle(testutil::wideRange(rng, n, -1074, -1023), "subnormals" + at);
    expectMatchesOracle(testutil::illConditioned(rng, n, 1e30), "cond 1e30" + at);
    // Largest magnitudes of one sign: the carry reaches the register's top limb; of
    // alternating signs near it: the top digit folds.
    expectMatchesOracle(std::vector<double>(n, kMax), "DBL_MAX" + at);
    expectMatchesOracle(std::vector<double>(n, -kMax), "-DBL_MAX" + at);
    expectMatchesOracle(std::vector<double>(n, -pow2(-1022)), "-2^-1022" + at);
    expectMatchesOracle(std::vector<double>(n, 2.0 - pow2(-52)), "repeated 2 - ulp" + at);
    // Zeros and subnormals among normal values leave the bins to the copies.
    auto z = testutil::uniform(rng, n);
    z[rng() % n] = (rng() & 1) ? 0.0 : -0.0;
    z[rng() % n] = kTiny * 3;
    expectMatchesOracle(z, "with a zero and a subnormal" + at);
    if (n >= 2) expectEveryPath(cancelling(rng, n / 2), 0.0, "values and their negations" + at);
  }
  // Ties: the sticky bit in a limb far below the top, and a carry that fold -1 digits.
  const double t = pow2(-53);
  expectMatchesOracle({1.0, t}, "tie to even");
  expectMatchesOracle({1.0, t, kTiny}, "tie broken far below");
  expectMatchesOracle({-1.0, -t, -kTiny}, "negative tie broken far below");
  expectMatchesOracle({-(1.0 + pow2(-52)), -t}, "negative tie to even, up");
  std::vector<double> tieWithRun(100, 0.0);
  for (size_t i = 0; i < tieWithRun.size(); ++i) tieWithRun[i] = i % 2 ? pow2(-70) : -pow2(-70);
  tieWithRun[0] = pow2(60);
  tieWithRun[1] = pow2(60 - 53);
  tieWithRun.push_back(-pow2(-1000));
  expectMatchesOracle(tieWithRun, "tie less a tiny value among cancelling pairs");
  // Only NaNs and infinities need the full record.
  double r;
  const std::vector<double> inf = {1.0, kInf};
  EXPECT_FALSE(sela::shortExactSum(inf.data(), 2, r));
  EXPECT_FALSE(sela::shortExactSum(inf.data(), 0, r));
}

TEST(ExactSum, SpecialValuesAgreeWithElementOperations) {
  // The bins' rescans must reproduce the element operations' side words exactly.
  std::mt19937_64 rng(31337);
  for (int trial = 0; trial < 60; ++trial) {
    const size_t n = trial % 3 == 0 ? 3000 : (trial % 3 == 1 ? 9000 : 30000);
    auto x = testutil::wideRange(rng, n, -1074, 1023);
    const int specials = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < specials; ++k) {
      const size_t at = rng() % n;
      switch (rng() % 4) {
        case 0: x[at] = kInf; break;
        case 1: x[at] = -kInf; break;
        default: x[at] = randomNaN(rng); break;
      }
    }
    const double expected = elementwiseSum(x);
    ASSERT_TRUE(std::isnan(expected) || std::isinf(expected));
    expectEveryPath(x, expected, "trial " + std::to_string(trial));
  }
  // Equal mantissa fields with different signs: the same word either way.
  std::vector<double> twins(5000, 1.0);
  twins[10] = std::bit_cast<double>(0xFFF8000000000007ULL);
  twins[4000] = std::bit_cast<double>(0x7FF8000000000007ULL);
  expectEveryPath(twins, std::bit_cast<double>(0x7FF8000000000007ULL), "twin NaNs");
}

// Short and middling lengths, where the passes before the register decline a special
// value and the special elements alone give the result: every kind of special at the
// ends and inside, alone and two of them, among ordinary, ill-conditioned and
// overflowing finite values; and the special route itself declines all-finite data.
TEST(ExactSum, SpecialsAtEveryLengthAgreeWithElementOperations) {
  std::mt19937_64 rng(20261210);
  for (size_t n : {1u, 2u, 3u, 16u, 63u, 64u, 65u, 200u, 2047u, 2048u, 2100u}) {
    for (int family = 0; family < 3; ++family) {
      std::vector<double> base = family == 0   ? testutil::wideRange(rng, n, -30, 30)
                                 : family == 1 ? testutil::wideRange(rng, n, -1074, 1023)
                                               : std::vector<double>(n, (n & 1) ? kMax : -kMax);
      double ignored;
      EXPECT_FALSE(sela::specialSum(base.data(), static_cast<int64_t>(n), ignored)) << n;
      for (size_t at : {size_t{0}, n / 2, n - 1}) {
        for (int kind = 0; kind < 4; ++kind) {
          std::vector<double> x = base;
          const auto special = [&](int k) { return k == 0 ? kInf : k == 1 ? -kInf : randomNaN(rng); };
          x[at] = special(kind);
          if (n > 1) x[(at + 1 + rng() % (n - 1)) % n] = special(static_cast<int>(rng() % 4));
          const double expected = elementwiseSum(x);
          const std::string what = "n=" + std::to_string(n) + " family " + std::to_string(family) +
                                   " at " + std::to_string(at) + " kind " + std::to_string(kind);
          expectEveryPath(x, expected, what);
          EXPECT_TRUE(SameBits(expected, sela_sum_exact(x.data(), static_cast<int64_t>(n)))) << what;
          ASSERT_TRUE(sela::specialSum(x.data(), static_cast<int64_t>(n), ignored)) << what;
          EXPECT_TRUE(SameBits(expected, ignored)) << what;
        }
      }
    }
  }
}

TEST(ExactDot, MatchesOracleAwayFromTheFloor) {
  std::mt19937_64 rng(77);
  for (size_t n : {1u, 3u, 1000u, 2047u, 2048u, 5000u}) {
    const auto x = testutil::wideRange(rng, n, -400, 400);
    const auto y = testutil::wideRange(rng, n, -400, 400);
    ASSERT_TRUE(SameBits(oracle::exactDot(x.data(), y.data(), n), sela_dot_exact(x.data(), y.data(), n))) << n;
  }
}

TEST(ExactDot, BinsAgreeWithElementStepEverywhere) {
  std::mt19937_64 rng(6174);
  for (size_t n : {1u, 5u, 255u, 256u, 1000u, 5000u}) {
    const std::string at = " n=" + std::to_string(n);
    expectDotPaths(testutil::uniform(rng, n), testutil::uniform(rng, n), "uniform" + at);
    // Full range: products that overflow, that fall under the floor, subnormal factors.
    expectDotPaths(testutil::wideRange(rng, n, -1074, 1023), testutil::wideRange(rng, n, -1074, 1023), "full" + at);
    expectDotPaths(testutil::wideRange(rng, n, -560, -500), testutil::wideRange(rng, n, -560, -500), "floor" + at);
    auto z = testutil::wideRange(rng, n, -1074, 1023);
    for (size_t i = 0; i < n; i += 3) z[i] = i % 2 ? 0.0 : -0.0;
    expectDotPaths(z, testutil::uniform(rng, n), "zeros" + at);
  }
  for (int trial = 0; trial < 40; ++trial) {
    auto x = testutil::wideRange(rng, 3000, -600, 600);
    auto y = testutil::wideRange(rng, 3000, -600, 600);
    for (int k = 0; k < 3; ++k) {
      auto& v = rng() % 2 ? x : y;
      const uint64_t f = rng() % 3 ? (rng() & 0xFFFFFFFFFFFFFULL) | 1 : 0;  // NaN or infinity
      v[rng() % v.size()] = std::bit_cast<double>((rng() & (1ULL << 63)) | 0x7FF0000000000000ULL | f);
    }
    if (trial % 4 == 0) x[rng() % x.size()] = 0.0;
    expectDotPaths(x, y, "specials " + std::to_string(trial));
  }
  // Products whose exact sum leaves the double range, or cancels back into it.
  std::vector<double> big(1000, kMax), mixed(1000);
  for (size_t i = 0; i < mixed.size(); ++i) mixed[i] = i % 2 ? kMax : -kMax / 2;
  expectDotPaths(big, mixed, "beyond the range");
}

TEST(ExactDot, BinsAreFlushedBeforeTheirUpperWordsFill) {
  // Mantissa products just below 2^106 add almost 2^42 to a bin's upper word each: a bin
  // never emptied would wrap after 2^22 of them.
  const size_t n = (size_t{1} << 22) + 1000;
  const std::vector<double> x(n, 2.0 - pow2(-52)), y(n, -(2.0 - pow2(-52)));
  EXPECT_TRUE(SameBits(elementwiseDot(x, y), binnedDot(x.data(), y.data(), static_cast<int64_t>(n))));
}

TEST(ExactDot, FloorAndShortcutTruncation) {
  const double q[] = {pow2(-538), pow2(-538), pow2(-538), pow2(-538)};
  EXPECT_TRUE(SameBits(0.0, sela_dot_exact(q, q, 4)));
  const double tiny[] = {pow2(-1074)}, negTiny[] = {-pow2(-1074)};
  const double oneHalf[] = {1.5}, half[] = {0.5};
  EXPECT_TRUE(SameBits(pow2(-1074), sela_dot_exact(tiny, oneHalf, 1)));
  EXPECT_TRUE(SameBits(-pow2(-1074), sela_dot_exact(negTiny, oneHalf, 1)));
  EXPECT_TRUE(SameBits(-0.0, sela_dot_exact(negTiny, half, 1)));
  const double big[] = {kMax, kMax}, mixed[] = {kMax, -kMax};
  EXPECT_TRUE(SameBits(kInf, sela_dot_exact(big, big, 1)));
  EXPECT_TRUE(SameBits(0.0, sela_dot_exact(big, mixed, 2)));
  const double zero[] = {0.0}, inf[] = {kInf};
  const double r = sela_dot_exact(zero, inf, 1);
  EXPECT_TRUE(std::isnan(r));
  EXPECT_FALSE(std::signbit(r));
}

// The documented contract over the whole range, against an independent GMP model of it:
// every product truncated toward zero to a multiple of 2^-1075, the sum exact, then
// nearest-even in the normal range and cut to 2^-1074 units (toward zero, or toward -inf
// below -2^-1043) in the subnormal range.
TEST(ExactDot, MatchesTheFlooredModelEverywhere) {
  const double a[] = {0x1.8p-1000}, b[] = {0x1p-74};
  EXPECT_TRUE(SameBits(pow2(-1074), sela_dot_exact(a, b, 1)));  // nearest would give 2^-1073
  EXPECT_TRUE(SameBits(pow2(-1074), oracle::flooredDot(a, b, 1)));
  // -(2^32 + 1) units of 2^-1075: below -2^-1043, so cut toward -inf to -(2^31 + 1) units
  // of 2^-1074, where nearest-even and truncation both give -2^31 units.
  const double c[] = {pow2(-1043), pow2(-1074)}, d[] = {-1.0, -0.5};
  EXPECT_TRUE(SameBits(-(pow2(31) + 1) * pow2(-1074), sela_dot_exact(c, d, 2)));
  EXPECT_TRUE(SameBits(-(pow2(31) + 1) * pow2(-1074), oracle::flooredDot(c, d, 2)));
  const double e[] = {-pow2(-1043), pow2(-1074)}, f[] = {1.0, -0.5};  // exactly -2^-1043 - 2^-1075
  EXPECT_TRUE(SameBits(oracle::flooredDot(e, f, 2), sela_dot_exact(e, f, 2)));
  std::mt19937_64 rng(1075);
  for (int trial = 0; trial < 400; ++trial) {
    const size_t n = 1 + rng() % 40;
    // Factor exponents chosen so the products (and their sum) straddle the subnormal
    // range and the floor, with cancellation from the random signs.
    const int lo = -600 + static_cast<int>(rng() % 100), hi = lo + 80;
    const auto x = testutil::wideRange(rng, n, lo, hi);
    const auto y = testutil::wideRange(rng, n, -1100 - lo, -980 - lo);
    ASSERT_TRUE(SameBits(oracle::flooredDot(x.data(), y.data(), n), sela_dot_exact(x.data(), y.data(), n)))
        << "trial " << trial;
  }
  for (size_t n : {1u, 100u, 3000u}) {
    const auto x = testutil::wideRange(rng, n, -1074, 1023), y = testutil::wideRange(rng, n, -1074, 1023);
    ASSERT_TRUE(SameBits(oracle::flooredDot(x.data(), y.data(), n), sela_dot_exact(x.data(), y.data(), n))) << n;
  }
}
