// The condition number of a sum: its special results, the named cases, and its accuracy
// against the oracle's exact condition number within the error bound of its two sums.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "algorithms/conditionnumber.h"

#include "sela.h"
#include "test_util.h"

using testutil::SameBits;

namespace {
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double cond(const std::vector<double>& x) { return sela_condition_number(x.data(), x.size()); }
}  // namespace

TEST(ConditionNumber, NamedCases) {
  EXPECT_TRUE(SameBits(0.0, sela_condition_number(nullptr, 0)));
  EXPECT_TRUE(SameBits(1.0, cond({1.0, 2.0, 3.0})));
  EXPECT_TRUE(SameBits(1.0, cond({-7.25})));
  EXPECT_TRUE(SameBits(1.0, cond({-1.0, -2.0, -1e-300})));
  EXPECT_TRUE(SameBits(2.0000000001e10, cond({1.0, -1.0, 1e-10})));
  EXPECT_TRUE(SameBits(1e100, cond({1.0, 1e100, 1.0, -1e100})));
}

TEST(ConditionNumber, SpecialResults) {
  // A zero sum, including all zeros and a single zero of either sign: +inf, not NaN.
  EXPECT_TRUE(SameBits(kInf, cond({0.0})));
  EXPECT_TRUE(SameBits(kInf, cond({-0.0})));
  EXPECT_TRUE(SameBits(kInf, cond({0.0, 0.0})));
  EXPECT_TRUE(SameBits(kInf, cond({1.0, -1.0})));
  EXPECT_TRUE(SameBits(kInf, cond({1e16, 1.0, -1e16, -1.0})));
  // Magnitudes overflowing although the sum is finite.
  EXPECT_TRUE(SameBits(kInf, cond({1e308, 1e308, -1e308})));
  // Infinities: the sum of magnitudes is +inf, the compensated sum is never formed.
  EXPECT_TRUE(SameBits(kInf, cond({kInf, 1.0})));
  EXPECT_TRUE(SameBits(kInf, cond({-kInf})));
  EXPECT_TRUE(SameBits(kInf, cond({kInf, -kInf})));
  // A NaN anywhere.
  EXPECT_TRUE(std::isnan(cond({kNaN, 1.0})));
  EXPECT_TRUE(std::isnan(cond({kNaN, kInf})));
  EXPECT_TRUE(std::isnan(cond({1.0, 2.0, -kNaN})));
  EXPECT_TRUE(std::isnan(cond({kNaN})));
}

// The magnitudes' left-to-right sum has relative error at most (n-1)u, and Neumaier's sum
// has |S~ - S| <= u|S| + 2((n-1)u)^2 A. So the quotient is within about
// (n+1)u + 2((n-1)u)^2 cond of the exact condition number (factor 1.1 for the O(u^2)
// terms and the oracle's own three roundings).
TEST(ConditionNumber, WithinTheErrorBoundOfItsTwoSums) {
  std::mt19937_64 rng(8);
  const double u = 0x1p-53;
  for (size_t n : {10u, 100u, 2000u}) {
    const double nu = static_cast<double>(n - 1) * u;
    std::vector<std::vector<double>> sets = {testutil::uniform(rng, n), testutil::wideRange(rng, n, -200, 200)};
    for (double c : {1e3, 1e8, 1e12, 1e15}) {
      if (c >= 10.0 * static_cast<double>(n)) sets.push_back(testutil::genSum(rng, n, c));
    }
    for (const auto& x : sets) {
      const double exact = testutil::conditionOf(x);
      const double got = cond(x);
      const double bound = 1.1 * (static_cast<double>(n + 4) * u + 2 * nu * nu * exact);
      ASSERT_LE(std::fabs(got / exact - 1.0), bound) << n << " cond " << exact;
    }
  }
}

namespace {

// The condition number step by step, in two separate passes: the magnitudes left to right
// from 0.0, then Neumaier's sum in its guarded form (TwoSum of the running sum and the
// element while both are finite, a plain addition otherwise), then the quotient, with +inf
// for an infinite sum of magnitudes, a zero sum, or a sum rounded beyond the range.
double modelCondition(const std::vector<double>& x) {
  double a = 0.0;
  for (double v : x) a = a + std::fabs(v);
  if (a == kInf) return kInf;
  double s = x[0];
  double c = 0.0;
  for (size_t i = 1; i < x.size(); ++i) {
    const double v = x[i];
    if (std::isfinite(s) && std::isfinite(v)) {
      const double t = s + v;
      const double z = t - s;
      c = c + ((s - (t - z)) + (v - z));
      s = t;
    } else {
      s = s + v;
    }
  }
  const double sum = std::isfinite(s) ? s + c : s;
  if (sum == 0.0 || std::isinf(sum)) return kInf;
  return a / std::fabs(sum);
}

}  // namespace

TEST(ConditionNumber, SumRoundingBeyondTheRangeIsInfinite) {
  const double big = std::numeric_limits<double>::max();
  // The magnitudes stay at DBL_MAX; the compensated sum DBL_MAX + 2^970 rounds to +inf.
  EXPECT_TRUE(SameBits(kInf, cond({big, std::ldexp(1.0, 969), std::ldexp(1.0, 969)})));
  EXPECT_TRUE(SameBits(kInf, cond({-big, -std::ldexp(1.0, 969), -std::ldexp(1.0, 969)})));
  // Just inside the range: the ordinary quotient.
  EXPECT_TRUE(SameBits(1.0, cond({big, std::ldexp(1.0, 969)})));
}

// The one-sweep arrangement against the two-pass model, bit for bit, around its pairing
// (odd and even lengths) on plain, wide, cancelling and special-value data.
TEST(ConditionNumber, OneSweepMatchesTwoPassModel) {
  std::mt19937_64 rng(1212);
  const double big = std::numeric_limits<double>::max();
  for (size_t n : {1u, 2u, 3u, 4u, 5u, 16u, 17u, 1000u, 1001u}) {
    std::vector<std::vector<double>> sets = {testutil::uniform(rng, n), testutil::wideRange(rng, n, -1074, 1023),
                                             testutil::wideRange(rng, n, 1000, 1023)};
    if (n >= 10) sets.push_back(testutil::genSum(rng, n, 1e25));
    auto zeros = std::vector<double>(n, -0.0);
    sets.push_back(zeros);
    auto edge = testutil::uniform(rng, n);
    edge[0] = big;
    sets.push_back(edge);
    for (const auto& x : sets) {
      ASSERT_TRUE(SameBits(modelCondition(x), cond(x))) << n;
      for (double special : {kInf, -kInf}) {
        auto y = x;
        y[rng() % n] = special;
        ASSERT_TRUE(SameBits(modelCondition(y), cond(y))) << n;
      }
      auto y = x;
      y[rng() % n] = kNaN;
      ASSERT_TRUE(std::isnan(cond(y))) << n;
    }
  }
}

// ---- The blocked sweep ----------------------------------------------------------------

namespace {

// Both copies of the blocked sweep that this processor can run.
std::vector<std::pair<const char*, sela::ConditionBlocksKernel>> blockKernels() {
  std::vector<std::pair<const char*, sela::ConditionBlocksKernel>> k = {{"SSE2", sela::conditionBlocksSse2}};
#if defined(__x86_64__)
  if (testutil::cpuRunsAvx2()) k.emplace_back("AVX", sela::conditionBlocksAvx);
#endif
  return k;
}

// The three chains one element at a time over x[0 .. count-1]: TwoSum of the running sum
// and the element, its error added to c, the magnitude to m.
sela::ConditionChains modelChains(const std::vector<double>& x, int64_t count, double s, double m, double c = 0.0) {
  for (int64_t i = 0; i < count; ++i) {
    const double t = s + x[i];
    const double z = t - s;
    c = c + ((s - (t - z)) + (x[i] - z));
    s = t;
    m = m + std::fabs(x[i]);
  }
  return {s, c, m};
}

bool sameOrBothNaN(double a, double b) { return SameBits(a, b) || (a != a && b != b); }

// x times 2^52 (ldexp: exact, or infinite from 2^972 on).
std::vector<double> timesTwoTo52(const std::vector<double>& x) {
  std::vector<double> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = std::ldexp(x[i], 52);
  return y;
}

// The export on x with an infinity of either sign, then a NaN, at each of the positions,
// against the two-pass model (a NaN for the NaN).
void expectSpecialsAt(std::mt19937_64& rng, const std::vector<double>& x, const std::vector<size_t>& positions) {
  for (size_t at : positions) {
    auto y = x;
    y[at] = (rng() & 1) ? kInf : -kInf;
    ASSERT_TRUE(SameBits(modelCondition(y), cond(y))) << x.size() << " at " << at;
    y[at] = kNaN;
    ASSERT_TRUE(std::isnan(cond(y))) << x.size() << " at " << at;
  }
}

// Lengths around the block structure: below the minimum, at it, whole blocks with and
// without a tail, and long inputs.
const std::vector<size_t> kBlockLengths = {47, 48, 49, 50, 63, 64, 65, 79, 80, 81, 95, 96, 97, 255, 1000, 4099};

// Data on which the chains misbehave if an error is paired with the wrong running sums
// or added out of order: plain, every exponent, large cancelling pairs that leave tiny
// remainders, heavy cancellation, and exact zeros of both signs.
std::vector<std::vector<double>> blockData(std::mt19937_64& rng, size_t n) {
  std::vector<std::vector<double>> sets = {testutil::uniform(rng, n), testutil::wideRange(rng, n, -1074, 1023),
                                           testutil::wideRange(rng, n, -60, 60), testutil::genSum(rng, n, 1e30)};
  std::vector<double> pairs(n);
  for (size_t i = 0; i < n; ++i) pairs[i] = (i % 2 ? -1.0 : 1.0) * std::ldexp(1.0 + double(rng() % 1024) / 1024, 900) + double(i % 7) * 0x1p-1074;
  sets.push_back(pairs);
  std::vector<double> zeros(n);
  for (size_t i = 0; i < n; ++i) zeros[i] = (rng() & 1) ? -0.0 : (rng() & 1) ? 0.0 : 0x1p-1074;
  sets.push_back(zeros);
  return sets;
}

}  // namespace

// Each copy of the blocked sweep against the three chains run one element at a time: the
// running sum s, Neumaier's gathered errors c and the magnitudes m, all to the bit.
TEST(ConditionNumber, BlockedSweepMatchesTheChainsStepByStep) {
  std::mt19937_64 rng(4811);
  for (const auto& [name, kernel] : blockKernels()) {
    for (size_t n : kBlockLengths) {
      for (const auto& x : blockData(rng, n)) {
        // The compensation may start at either zero (the first kLag blocks add no error to
        // it) or anywhere else.
        for (double c0 : {0.0, -0.0, 0x1p-60}) {
          const double s0 = 0.375, m0 = 0.375;
          sela::ConditionChains got{s0, c0, m0};
          const int64_t done = kernel(x.data(), static_cast<int64_t>(n), false, got);
          ASSERT_EQ(done, static_cast<int64_t>(n) < sela::kConditionBlocksMinimum ? 0 : static_cast<int64_t>(n / 16 * 16))
              << name << " " << n;
          const sela::ConditionChains want = modelChains(x, done, s0, m0, c0);
          ASSERT_TRUE(SameBits(want.s, got.s)) << name << " " << n;
          ASSERT_TRUE(SameBits(want.c, got.c)) << name << " " << n << " c0 " << c0;
          ASSERT_TRUE(SameBits(want.m, got.m)) << name << " " << n;
        }
      }
    }
  }
}

// Non-finite elements in the sweep: the running sums and the magnitudes take the
// infinity or NaN the model takes (the compensation is unused then, and only checked for
// being non-finite where the model's is). Lifted, on subnormal data, the model takes the
// elements times 2^52 (ldexp): those of 2^972 and more come out infinite.
TEST(ConditionNumber, BlockedSweepCarriesSpecialValues) {
  std::mt19937_64 rng(4812);
  for (const auto& [name, kernel] : blockKernels()) {
    for (bool lifted : {false, true}) {
      const double start = lifted ? 0x1p51 : 0.5;
      for (size_t n : {64u, 65u, 97u, 1000u}) {
        for (double special : {kInf, -kInf, kNaN, testutil::pow2(972), -testutil::pow2(1023)}) {
          // The first block, the middle, each of the last three blocks (whose errors are
          // added after the loop) and the last element.
          for (size_t at : {size_t{0}, size_t{15}, size_t{16}, n / 2, n - 48, n - 33, n - 17, n - 1}) {
            auto x = lifted ? testutil::wideRange(rng, n, -1074, -1023) : testutil::uniform(rng, n);
            x[at] = special;
            sela::ConditionChains got{start, 0.0, start};
            const int64_t done = kernel(x.data(), static_cast<int64_t>(n), lifted, got);
            const sela::ConditionChains want = modelChains(lifted ? timesTwoTo52(x) : x, done, start, start);
            ASSERT_TRUE(sameOrBothNaN(want.s, got.s)) << name << " " << n << " at " << at;
            ASSERT_TRUE(sameOrBothNaN(want.m, got.m)) << name << " " << n << " at " << at;
            ASSERT_EQ(std::isfinite(want.c), std::isfinite(got.c)) << name << " " << n << " at " << at;
          }
        }
      }
    }
  }
}

// The exported function over the block structure, against the two-pass model, with
// infinities and NaNs in the first blocks, the last blocks (whose errors are added after
// the loop) and the tail.
TEST(ConditionNumber, ExportMatchesTwoPassModelAcrossBlocks) {
  std::mt19937_64 rng(4813);
  for (size_t n : kBlockLengths) {
    for (const auto& x : blockData(rng, n)) {
      ASSERT_TRUE(SameBits(modelCondition(x), cond(x))) << n;
      expectSpecialsAt(rng, x, {1, 20, n - 40, n - 1});
    }
  }
}

// A compensated sum that rounds beyond the range while the magnitudes stay at DBL_MAX,
// with the deciding errors in the first blocks, in the last blocks (added after the loop)
// or split between them: the export against the two-pass model, and +inf where the two
// quarter-ulp errors meet exactly.
TEST(ConditionNumber, SumBeyondTheRangeAcrossBlocks) {
  const double big = std::numeric_limits<double>::max();
  const double quarter = std::ldexp(1.0, 969);  // a quarter of DBL_MAX's ulp
  for (size_t n : {64u, 65u, 100u, 1000u}) {
    for (size_t first : {size_t{1}, size_t{17}, n - 48, n - 20}) {
      for (size_t second : {first + 1, n - 1}) {
        if (second >= n || second == first) continue;
        std::vector<double> x(n, 0.0);
        x[0] = big;
        x[first] = quarter;
        x[second] = quarter;
        ASSERT_TRUE(SameBits(kInf, cond(x))) << n << " " << first << " " << second;
        x[second] = -quarter;  // the errors cancel: the sum is DBL_MAX, the quotient 1
        ASSERT_TRUE(SameBits(modelCondition(x), cond(x))) << n << " " << first << " " << second;
        ASSERT_TRUE(SameBits(1.0, cond(x))) << n << " " << first << " " << second;
      }
    }
  }
}

// ---- The bottom of the range ------------------------------------------------------------

namespace {

using testutil::pow2;

// Arrays whose sampled elements lie mostly below 2^-969, which the export sweeps on the
// elements times 2^52: subnormals; values around the floor, whose running sums cross
// 2^-1022 and whose TwoSum errors are not zero; subnormals with normal values, and with
// values large enough that the lifted magnitudes pass their ceiling or overflow (the
// plain sweep again); sums cancelling to zero and to the smallest subnormal; and ties of
// the running sum near 2^-1000 (half its ulp, 2^-1053, added and taken away).
std::vector<std::vector<double>> bottomData(std::mt19937_64& rng, size_t n) {
  using testutil::wideRange;
  std::vector<std::vector<double>> sets = {wideRange(rng, n, -1074, -1023), wideRange(rng, n, -1074, -1000)};
  auto withNormal = wideRange(rng, n, -1074, -1023);
  for (size_t i = 2; i < n; i += 5) withNormal[i] = wideRange(rng, 1, -60, 60)[0];
  sets.push_back(withNormal);
  for (int big : {940, 960, 1000, 1023}) {
    auto withLarge = wideRange(rng, n, -1074, -1023);
    withLarge[(n - 1) / 3] = pow2(big) * (rng() & 1 ? 1.5 : -1.0);
    sets.push_back(withLarge);
  }
  for (double extra : {0.0, pow2(-1074), -pow2(-1074)}) {
    auto cancel = wideRange(rng, (n - 1) / 2, -1074, -1000);
    for (size_t i = 0, k = cancel.size(); i < k; ++i) cancel.push_back(-cancel[i]);
    cancel.push_back(extra);
    cancel.resize(n, 0.0);
    std::shuffle(cancel.begin(), cancel.end(), rng);
    sets.push_back(cancel);
  }
  std::vector<double> ties(n);
  const double steps[] = {pow2(-1053), -pow2(-1053), 3 * pow2(-1053), -3 * pow2(-1053), pow2(-1074), -pow2(-1074)};
  for (size_t i = 0; i < n; ++i) ties[i] = i % 8 == 0 ? pow2(-1000) : steps[rng() % 6];
  sets.push_back(ties);
  return sets;
}

}  // namespace

// The export on bottom-of-range data against the two-pass model, bit for bit, over the
// block structure and below it, with an infinity or a NaN at every position of the
// shorter arrays (and a few of the longer), and within the error bound of its two sums
// against the exact condition number.
TEST(ConditionNumber, BottomOfTheRangeMatchesTwoPassModel) {
  std::mt19937_64 rng(4814);
  const double u = 0x1p-53;
  for (size_t n : {1u, 2u, 3u, 8u, 15u, 16u, 17u, 47u, 63u, 64u, 65u, 66u, 80u, 81u, 97u, 113u, 1000u, 4099u}) {
    for (const auto& x : bottomData(rng, n)) {
      const double want = modelCondition(x);
      ASSERT_TRUE(SameBits(want, cond(x))) << n;
      const double exact = testutil::conditionOf(x);
      if (std::isfinite(want) && std::isfinite(exact)) {
        const double nu = static_cast<double>(n - 1) * u;
        ASSERT_LE(std::fabs(want / exact - 1.0), 1.1 * (static_cast<double>(n + 4) * u + 2 * nu * nu * exact)) << n;
      }
      std::vector<size_t> positions;
      for (size_t at = 0; at < n; at += n <= 113 ? 1 : n / 37) positions.push_back(at);
      expectSpecialsAt(rng, x, positions);
    }
  }
}

// Each copy of the blocked sweep, lifted, against the chains of the elements times 2^52
// (ldexp) run one element at a time, and those against 2^52 times the plain sweep's:
// the factor commutes with every addition of the chains.
TEST(ConditionNumber, LiftedSweepIsThePlainOneTimesTwoTo52) {
  std::mt19937_64 rng(4815);
  for (const auto& [name, kernel] : blockKernels()) {
    for (size_t n : kBlockLengths) {
      auto sets = bottomData(rng, n);
      sets.push_back(testutil::uniform(rng, n));
      sets.push_back(testutil::wideRange(rng, n, -1074, 900));
      for (const auto& x : sets) {
        if (std::any_of(x.begin(), x.end(), [](double v) { return std::fabs(v) >= pow2(900); })) continue;
        const double s0 = 0x1.8p-1060, m0 = 0x1.8p-1060;  // lifted: 2^52 of theirs
        sela::ConditionChains lifted{std::ldexp(s0, 52), 0.0, std::ldexp(m0, 52)};
        const int64_t done = kernel(x.data(), static_cast<int64_t>(n), true, lifted);
        const sela::ConditionChains want = modelChains(timesTwoTo52(x), done, std::ldexp(s0, 52), std::ldexp(m0, 52));
        ASSERT_TRUE(SameBits(want.s, lifted.s)) << name << " " << n;
        ASSERT_TRUE(SameBits(want.c, lifted.c)) << name << " " << n;
        ASSERT_TRUE(SameBits(want.m, lifted.m)) << name << " " << n;
        sela::ConditionChains plain{s0, 0.0, m0};
        ASSERT_EQ(done, kernel(x.data(), static_cast<int64_t>(n), false, plain));
        ASSERT_TRUE(SameBits(std::ldexp(plain.s, 52), lifted.s)) << name << " " << n;
        ASSERT_TRUE(SameBits(std::ldexp(plain.c, 52), lifted.c)) << name << " " << n;
        ASSERT_TRUE(SameBits(std::ldexp(plain.m, 52), lifted.m)) << name << " " << n;
      }
    }
  }
}
