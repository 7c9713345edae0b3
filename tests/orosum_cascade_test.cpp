// Sum2 and the K-fold cascade: against Neumaier's sum, the naive sum, a cascade written
// independently with fresh vectors per pass, and the cascade's error bound from the oracle.
#include <algorithm>
#include <limits>

#include "algorithms/orosum.h"
#include "algorithms/orosum_internal.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The cascade with a new vector for every pass: pass 1 sums the input left to right and
// records each addition's TwoSum error (0 where an operand is not finite); every further
// pass does the same to the previous errors and adds its sum to the result.
double referenceCascade(const std::vector<double>& x, int64_t k) {
  if (x.size() == 1) return x[0];
  const int64_t passes = std::max<int64_t>(k, 1);
  std::vector<double> input = x;
  double result = 0.0;
  for (int64_t pass = 1; pass <= passes && !input.empty(); ++pass) {
    std::vector<double> errors;
    double s = input[0];
    for (size_t i = 1; i < input.size(); ++i) {
      const double v = input[i];
      const double t = s + v;
      double e = 0.0;
      if (std::isfinite(s) && std::isfinite(v)) {
        const double z = t - s;
        e = (s - (t - z)) + (v - z);
      }
      errors.push_back(e);
      s = t;
    }
    if (pass == 1) {
      result = s;
    } else if (std::isfinite(result)) {
      result = result + s;
    }
    input.swap(errors);
  }
  return result;
}

double sumK(const std::vector<double>& x, int32_t k) { return sela_sum_k(x.data(), x.size(), k); }

// Families that the cascade must handle alike: plain, wide, ill-conditioned, and with
// non-finite values or overflowing partial sums mixed in.
std::vector<std::vector<double>> families(std::mt19937_64& rng, size_t n) {
  std::vector<std::vector<double>> out;
  out.push_back(testutil::uniform(rng, n));
  out.push_back(testutil::wideRange(rng, n, -1074, 1023));
  out.push_back(testutil::wideRange(rng, n, -30, 30));
  if (n >= 10) out.push_back(testutil::genSum(rng, n, 1e30));
  auto special = testutil::uniform(rng, n);
  special[rng() % n] = (rng() & 1) ? kInf : -kInf;
  if (n > 3) special[rng() % n] = kNaN;
  out.push_back(special);
  auto huge = testutil::wideRange(rng, n, 1015, 1023);
  out.push_back(huge);
  return out;
}

}  // namespace

TEST(CascadedSum, NamedCases) {
  const double one[] = {-0.0};
  for (int32_t k : {-5, 0, 1, 2, 3, 100}) EXPECT_TRUE(SameBits(-0.0, sela_sum_k(one, 1, k))) << k;
  EXPECT_TRUE(SameBits(0.0, sela_sum_oro(one, 1)));

  const std::vector<double> cancel = {1.0, 1e100, 1.0, -1e100};
  EXPECT_TRUE(SameBits(0.0, sumK(cancel, 0)));
  EXPECT_TRUE(SameBits(0.0, sumK(cancel, 1)));
  EXPECT_TRUE(SameBits(2.0, sumK(cancel, 2)));
  EXPECT_TRUE(SameBits(2.0, sumK(cancel, 3)));
  EXPECT_TRUE(SameBits(2.0, sela_sum_oro(cancel.data(), 4)));

  const std::vector<double> deep = {-1.0, pow2(-54), 1e16, 1.0, -1e16};
  EXPECT_TRUE(SameBits(0.0, sumK(deep, 2)));
  EXPECT_TRUE(SameBits(pow2(-54), sumK(deep, 3)));
  EXPECT_TRUE(SameBits(pow2(-54), oracle::exactSum(deep)));

  const std::vector<double> zeros = {-0.0, -0.0};
  EXPECT_TRUE(SameBits(-0.0, sumK(zeros, 1)));
  EXPECT_TRUE(SameBits(0.0, sumK(zeros, 2)));

  for (int32_t k : {-1, 1, 2, 3, 50}) {
    EXPECT_TRUE(SameBits(kInf, sumK({kInf, 1.0}, k))) << k;
    EXPECT_TRUE(std::isnan(sumK({kInf, 1.0, -kInf}, k))) << k;
    // An overflowing first pass stays infinite: its NaN error never reaches the result.
    EXPECT_TRUE(SameBits(kInf, sumK({1e308, 1e308, -1e308}, k))) << k;
  }
}

TEST(CascadedSum, TwoPassesAreSum2AndNeumaier) {
  std::mt19937_64 rng(2604);
  for (size_t n : {2u, 3u, 4u, 5u, 17u, 100u, 1000u}) {
    for (const auto& x : families(rng, n)) {
      const double oro = sela_sum_oro(x.data(), n);
      ASSERT_TRUE(SameBits(sela_sum_neumaier(x.data(), n), oro)) << n;
      ASSERT_TRUE(SameBits(oro, sumK(x, 2))) << n;
    }
  }
}

TEST(CascadedSum, OnePassIsTheNaiveSumWhateverK) {
  std::mt19937_64 rng(11);
  for (size_t n : {1u, 2u, 9u, 1000u}) {
    for (const auto& x : families(rng, n)) {
      const double naive = sela_sum_naive(x.data(), n);
      for (int32_t k : {1, 0, -1, -1000, std::numeric_limits<int32_t>::min()}) {
        ASSERT_TRUE(SameBits(naive, sumK(x, k))) << n << " K=" << k;
      }
    }
  }
}

TEST(CascadedSum, MatchesFreshVectorCascade) {
  std::mt19937_64 rng(305);
  for (size_t n : {2u, 3u, 4u, 6u, 33u, 250u}) {
    const int32_t ni = static_cast<int32_t>(n);
    for (const auto& x : families(rng, n)) {
      for (int32_t k : {3, 4, 5, 8, ni - 1, ni, ni + 1, 1000}) {
        if (k < 1) continue;
        ASSERT_TRUE(SameBits(referenceCascade(x, k), sumK(x, k))) << n << " K=" << k;
      }
      // At most n passes can run: any larger K is K = n.
      ASSERT_TRUE(SameBits(sumK(x, ni), sumK(x, std::numeric_limits<int32_t>::max()))) << n;
    }
  }
}

// With S the exact sum and A the sum of magnitudes, m passes leave at most
// ((n-1)u)^m A unsummed in the last error vector, and each of the m-1 additions into the
// result rounds once near S: |result - S| <= (m-1) u (|S| + 2((n-1)u)^2 A) + ((n-1)u)^m A,
// up to factors 1 + O(nu), here covered by 1.1. Each further pass must buy its factor.
TEST(CascadedSum, ErrorShrinksByAFactorPerPass) {
  std::mt19937_64 rng(42);
  const double u = 0x1p-53;
  const size_t n = 500;
  const double nu = static_cast<double>(n - 1) * u;
  for (double cond : {1e8, 1e20, 1e32, 1e45}) {
    const auto x = testutil::genSum(rng, n, cond);
    std::vector<double> mags(n);
    for (size_t i = 0; i < n; ++i) mags[i] = std::fabs(x[i]);
    const double a = oracle::exactSum(mags);
    const double s = std::fabs(oracle::exactSum(x));
    double previousError = kInf;
    for (int32_t m = 1; m <= 5; ++m) {
      const double r = sumK(x, m);
      std::vector<double> diff = x;
      diff.push_back(-r);
      const double err = std::fabs(oracle::exactSum(diff));
      const double bound =
          1.1 * ((m - 1) * u * (s + 2 * nu * nu * a) + std::pow(nu, m) * a);
      EXPECT_LE(err, bound) << "cond " << cond << " K=" << m;
      // Until the result is accurate to a few units in the last place, every pass helps.
      if (previousError > 4 * u * s) {
        EXPECT_LT(err, previousError) << "cond " << cond << " K=" << m;
      }
      previousError = err;
    }
  }
}

// The one-sweep arrangement switches at n = K (passes still starting until the end), at
// the fixed-order kernels' limit (8 passes) and at the stack limit (64 passes): on both
// sides of each, against the fresh-vector model, special values included.
TEST(CascadedSum, SweepMatchesFreshVectorsAtArrangementSwitches) {
  std::mt19937_64 rng(1207);
  for (size_t n : {2u, 3u, 7u, 8u, 9u, 10u, 63u, 64u, 65u, 66u, 130u}) {
    for (const auto& x : families(rng, n)) {
      for (int32_t k : {2, 3, 7, 8, 9, 63, 64, 65, 66, 129}) {
        ASSERT_TRUE(SameBits(referenceCascade(x, k), sumK(x, k))) << n << " K=" << k;
      }
    }
  }
}

// The guarded sweep is the cascade itself on any data (the export only needs it in a case
// out of reach of real memory); the unguarded one agrees wherever every pass ends finite.
TEST(CascadedSum, GuardedSweepIsTheCascadeOnSpecialValues) {
  std::mt19937_64 rng(77);
  std::vector<double> sums(200);
  for (size_t n : {2u, 5u, 9u, 40u, 100u}) {
    for (const auto& x : families(rng, n)) {
      for (int64_t passes : {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{9}, static_cast<int64_t>(n)}) {
        if (passes > static_cast<int64_t>(n)) continue;
        const double guarded = sela::cascadeSweep(x.data(), static_cast<int64_t>(n), passes, true, sums.data());
        const double model = referenceCascade(x, passes);
        ASSERT_EQ(std::isnan(model), std::isnan(guarded)) << n;
        if (!std::isnan(model)) {
          ASSERT_TRUE(SameBits(model, guarded)) << n << " passes=" << passes;
        }
      }
    }
  }
  // A NaN reached only through an error term: pass 1 overflows, its NaN error feeds pass 2.
  const std::vector<double> over = {1e308, 1e308, -1e308, 1.0};
  for (int64_t passes : {2, 3, 4}) {
    ASSERT_TRUE(SameBits(kInf, sela::cascadeSweep(over.data(), 4, passes, true, sums.data())));
  }
}

// Against the oracle on hard sums at the switching orders, with the bound of
// ErrorShrinksByAFactorPerPass for m = min(K, n) passes.
TEST(CascadedSum, ManyPassesStayWithinTheCascadeBound) {
  std::mt19937_64 rng(9);
  const double u = 0x1p-53;
  for (size_t n : {20u, 70u, 300u}) {
    const double nu = static_cast<double>(n - 1) * u;
    for (double cond : {1e20, 1e45}) {
      const auto x = testutil::genSum(rng, n, cond);
      std::vector<double> mags(n);
      for (size_t i = 0; i < n; ++i) mags[i] = std::fabs(x[i]);
      const double a = oracle::exactSum(mags);
      const double s = std::fabs(oracle::exactSum(x));
      for (int32_t k : {8, 9, 64, 65}) {
        const double m = std::min<double>(k, static_cast<double>(n));
        const double r = sumK(x, k);
        std::vector<double> diff = x;
        diff.push_back(-r);
        const double bound = 1.1 * ((m - 1) * u * (s + 2 * nu * nu * a) + std::pow(nu, m) * a);
        EXPECT_LE(std::fabs(oracle::exactSum(diff)), bound) << n << " cond " << cond << " K=" << k;
      }
    }
  }
}

// Two and three passes are Neumaier's and Klein's sums to the bit wherever they end
// finite (the cascade reaches them through its own order of operations, above); K = 3
// against Klein on plain, wide and cancelling data and on all-zero inputs of both signs.
TEST(CascadedSum, ThreePassesAreKlein) {
  std::mt19937_64 rng(3);
  for (size_t n : {3u, 4u, 7u, 8u, 9u, 16u, 17u, 1000u}) {
    std::vector<std::vector<double>> sets = {testutil::uniform(rng, n), testutil::wideRange(rng, n, -1074, 1000),
                                             std::vector<double>(n, -0.0), std::vector<double>(n, 0.0)};
    if (n >= 10) sets.push_back(testutil::genSum(rng, n, 1e40));
    for (const auto& x : sets) {
      ASSERT_TRUE(SameBits(referenceCascade(x, 3), sela_sum_klein(x.data(), n))) << n;
      ASSERT_TRUE(SameBits(referenceCascade(x, 3), sumK(x, 3))) << n;
    }
  }
}

TEST(Cascade, BottomOfTheRangeMatchesTheReference) {
  // Subnormal data take the lifted sweep for fewer passes than a lifted block holds: the
  // same bits as the reference cascade on every family, the reruns included, on both sides
  // of that limit, and with specials in short arrays.
  std::mt19937_64 rng(1023);
  for (size_t n : {2u, 3u, 7u, 31u, 32u, 33u, 64u, 65u, 300u, 5000u}) {
    for (const auto& x : testutil::bottomOfRange(rng, n)) {
      for (int32_t k : {1, 4, 6, 9, 31, 32, 40}) {
        ASSERT_TRUE(testutil::SameBitsOrProcessorNaN(referenceCascade(x, k), sumK(x, k))) << n << " K=" << k;
      }
    }
    if (n > 65) continue;
    for (size_t pos = 0; pos < n; ++pos) {
      auto x = testutil::wideRange(rng, n, -1074, -1023);
      x[pos] = pos % 3 == 0 ? kInf : pos % 3 == 1 ? -kInf : kNaN;
      for (int32_t k : {4, 7})
        ASSERT_TRUE(testutil::SameBitsOrProcessorNaN(referenceCascade(x, k), sumK(x, k))) << n << " K=" << k;
    }
  }
}
