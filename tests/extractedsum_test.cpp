// The extraction pass of the exact sum: wherever it accepts, its double must be the exact
// sum rounded to nearest (GMP oracle); it must decline what its bound cannot prove (exact
// ties, values a hair off a tie, infinities, NaNs, data near the overflow threshold), and
// it must accept the ill-conditioned families it exists for, so that a pass that quietly
// always declines fails here. On the scalar family it always declines (emulator presets).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "algorithms/certifiedsum.h"
#include "algorithms/exactsum.h"
#include "kernel_slot.h"
#include "dot_test_data.h"
#include "gensum.h"
#include "oracle.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();

bool passAvailable() {
  const std::vector<double> one = {1.0};
  double r;
  return sela::extractedSum(one.data(), 1, r);
}

// Runs the pass; when it accepts, its double must be the oracle's. The export must give the
// oracle's double either way. Returns whether the pass accepted.
bool check(const std::vector<double>& x, const char* what) {
  const auto n = static_cast<int64_t>(x.size());
  const double expected = oracle::exactSum(x);
  double r = -1.0;
  const bool accepted = sela::extractedSum(x.data(), n, r);
  if (accepted) {
    EXPECT_TRUE(SameBits(expected, r)) << what << " n=" << n << ": " << r << " vs " << expected;
  }
  EXPECT_TRUE(SameBits(expected, sela_sum_exact(x.data(), static_cast<uint64_t>(n)))) << what << " n=" << n;
  return accepted;
}

bool allFinite(const std::vector<double>& x) {
  return std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
}

// The same for the dot product, against the floored oracle.
bool checkDot(const std::vector<double>& x, const std::vector<double>& y, const char* what) {
  const auto n = static_cast<int64_t>(x.size());
  const double expected = oracle::flooredDot(x.data(), y.data(), n);
  double r = -1.0;
  const bool accepted = sela::extractedDot(x.data(), y.data(), n, r);
  if (accepted) {
    EXPECT_TRUE(SameBits(expected, r)) << what << " n=" << n << ": " << r << " vs " << expected;
  }
  EXPECT_TRUE(SameBits(expected, sela_dot_exact(x.data(), y.data(), static_cast<uint64_t>(n)))) << what << " n=" << n;
  return accepted;
}

// Lengths around the vector widths, the block and the entry points' thresholds.
const std::vector<size_t> kLengths = {1,    2,    3,    7,    8,    9,    17,   255,  256,  257,  1000,
                                      2047, 2048, 2049, 4095, 4096, 4097, 6150, 9999, 20000};

}  // namespace

// Sums of prescribed condition number up to 1e32 are decided at every length (the pass
// exists for them), and beyond that the pass is right or declines.
TEST(ExtractedSum, DecidesIllConditionedSumsOrDeclines) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(31337);
  for (size_t n : kLengths) {
    for (double cond : {1e2, 1e16, 1e32, 1e48, 1e64, 1e100, 1e200}) {
      for (int low : {0, -600, 500}) {
        const std::vector<double> x = testutil::genSum(rng, n < 2 ? 2 : n, cond, low);
        if (!allFinite(x)) continue;  // the generator's spread left the double range
        const bool accepted = check(x, "genSum");
        if (cond <= 1e32 && low == 0) {
          EXPECT_TRUE(accepted) << "cond " << cond << " n=" << x.size();
        }
      }
    }
  }
}

// Exact ties and values a hair off one, hidden among elements that cancel and spread over
// lanes and blocks: the tie 1 + 2^-53 (even: rounds to 1) and 1 + 3 2^-53 (odd: rounds
// up), each alone, broken by the smallest subnormal or by 2^-200 either way.
TEST(ExtractedSum, TiesAndNearTiesAreRightOrDeclined) {
  std::mt19937_64 rng(4242);
  for (size_t n : {4u, 9u, 256u, 1000u, 2048u, 2049u, 5000u}) {
    for (double tail : {pow2(-53), 3 * pow2(-53)}) {
      for (double breaker : {0.0, pow2(-1074), -pow2(-1074), pow2(-200), -pow2(-200)}) {
        std::vector<double> x = testutil::genSum(rng, n, 1e30);
        // Cancel the generated data exactly: each value and its negation.
        std::vector<double> neg(x.size());
        std::transform(x.begin(), x.end(), neg.begin(), [](double v) { return -v; });
        x.insert(x.end(), neg.begin(), neg.end());
        x.push_back(1.0);
        x.push_back(tail);
        x.push_back(breaker);
        std::shuffle(x.begin(), x.end(), rng);
        check(x, "tie");
        // The tie across a binade boundary and on the negative side.
        for (double& v : x) v = -v;
        check(x, "negative tie");
      }
    }
  }
  // Off a tie by less than the residuals' own rounding errors: data whose residuals below
  // the last level are large (condition 1e40 and more), where only an honest bound keeps
  // the pass from rounding to the wrong side.
  int declined = 0;
  for (size_t n : {1000u, 2049u, 5000u}) {
    for (double cond : {1e38, 1e40, 1e42, 1e44}) {
      for (double breaker : {pow2(-60), -pow2(-60), pow2(-66), -pow2(-66), pow2(-75), -pow2(-75)}) {
        std::vector<double> x = testutil::genSum(rng, n, cond);
        std::vector<double> neg(x.size());
        std::transform(x.begin(), x.end(), neg.begin(), [](double v) { return -v; });
        x.insert(x.end(), neg.begin(), neg.end());
        x.push_back(1.0);
        x.push_back(pow2(-53));
        x.push_back(breaker);
        std::shuffle(x.begin(), x.end(), rng);
        declined += check(x, "near tie") ? 0 : 1;
      }
    }
  }
  EXPECT_GT(declined, 0) << "some of these near ties lie within the bound";
}

// Subnormal data, data near the overflow threshold, sums that overflow, infinities and
// NaNs (also a NaN in a block whose other elements are zeros): right or declined, and the
// specials always declined.
TEST(ExtractedSum, RangeEdgesAndSpecials) {
  std::mt19937_64 rng(777);
  for (size_t n : {5u, 1000u, 3000u}) {
    std::vector<double> tiny = testutil::uniform(rng, n);
    for (double& v : tiny) v = std::ldexp(v, -1030);  // subnormal and near-subnormal
    check(tiny, "subnormal");
    std::vector<double> mixed = testutil::genSum(rng, n, 1e20, -1000);
    check(mixed, "cancelling near the subnormal range");
    std::vector<double> large = testutil::genSum(rng, n, 1e10, 1000 - 34);
    ASSERT_TRUE(allFinite(large));
    check(large, "near the overflow threshold");
    std::vector<double> over(n, kMax / 2);
    check(over, "overflowing sum");
    std::vector<double> zeros(n, -0.0);
    double r = -1.0;
    if (sela::extractedSum(zeros.data(), static_cast<int64_t>(n), r)) {
      EXPECT_TRUE(SameBits(0.0, r));  // an all -0.0 sum is +0.0
    }
    for (double special : {kInf, -kInf, std::nan("")}) {
      for (size_t at : {size_t{0}, n / 2, n - 1}) {
        std::vector<double> x = testutil::uniform(rng, n);
        x[at] = special;
        EXPECT_FALSE(sela::extractedSum(x.data(), static_cast<int64_t>(n), r)) << special << " at " << at;
        std::vector<double> z(n, 0.0);
        z[at] = special;
        EXPECT_FALSE(sela::extractedSum(z.data(), static_cast<int64_t>(n), r)) << special << " among zeros";
      }
    }
  }
}

// The benchmark's families, counted: plain, wide and the conditions 1e16 and 1e32 are all
// accepted at the lengths the entry point sends to this pass (after the compensated pass
// declines, or alone from a million elements on); each accepted value is the oracle's.
TEST(ExtractedSum, AcceptsTheBenchmarkFamilies) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(8086);
  int accepted = 0, tried = 0;
  for (size_t n : {1000u, 100000u, 1100000u}) {
    std::vector<std::vector<double>> families;
    families.push_back(testutil::uniform(rng, n));
    std::vector<double> wide(n);
    std::uniform_int_distribution<int> e(-500, 500);
    for (auto& v : wide) v = std::ldexp(std::uniform_real_distribution<double>(0.5, 1.0)(rng), e(rng)) * ((rng() & 1) ? 1 : -1);
    families.push_back(wide);
    families.push_back(testutil::genSum(rng, n, 1e16));
    families.push_back(testutil::genSum(rng, n, 1e32));
    for (const auto& x : families) {
      ++tried;
      accepted += check(x, "family") ? 1 : 0;
    }
  }
  EXPECT_EQ(tried, accepted);
}

// Dot products: the benchmark's ill-conditioned form (sums of prescribed condition dotted
// with 1 + 2^-30, so every product has a low part) and the Ogita-Rump-Oishi GenDot pairs
// are decided up to condition 1e32 and right or declined beyond.
TEST(ExtractedDot, DecidesIllConditionedDotsOrDeclines) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(1729);
  for (size_t n : kLengths) {
    for (double cond : {1e16, 1e32, 1e48, 1e80}) {
      const std::vector<double> x = testutil::genSum(rng, n < 2 ? 2 : n, cond);
      const std::vector<double> ones(x.size(), 1.0 + pow2(-30));
      const bool accepted = checkDot(x, ones, "genSum . (1 + 2^-30)");
      if (cond <= 1e32) {
        EXPECT_TRUE(accepted) << "cond " << cond << " n=" << x.size();
      }
      if (n > 2049 || cond > 1e48) continue;  // the pair generator is slow beyond
      const dotdata::DotCase c = dotdata::genDot(rng, n < 6 ? 6 : n, cond);
      checkDot(c.x, c.y, "genDot");
    }
  }
}

// Products near the floor (flagged: right, or declined when the floor may cut them),
// subnormal factors, products near the overflow threshold, exact ties of products, and
// the special factors (inf times 0 is a NaN): right or declined, specials always declined.
TEST(ExtractedDot, RangeEdgesTiesAndSpecials) {
  std::mt19937_64 rng(99);
  for (size_t n : {3u, 1000u, 2049u, 4500u}) {
    for (int scale : {-500, -530, -537, -560, -1000, 490, 511}) {
      std::vector<double> x = testutil::uniform(rng, n), y = testutil::uniform(rng, n);
      for (double& v : x) v = std::ldexp(v, scale);
      for (double& v : y) v = std::ldexp(v, scale < 0 ? scale / 2 : scale);
      checkDot(x, y, "scaled");
    }
    // A tie of products: 1 * 1 and 2^-27 * 2^-26 (= 2^-53) among pairs that cancel exactly.
    for (double breaker : {0.0, pow2(-1074), -pow2(-1074), pow2(-80), -pow2(-80)}) {
      std::vector<double> x = testutil::genSum(rng, n, 1e20), y(n);
      for (double& v : y) v = 1.0 + pow2(-30);
      const std::vector<double> x0 = x, y0 = y;
      for (size_t i = 0; i < n; ++i) {
        x.push_back(-x0[i]);
        y.push_back(y0[i]);
      }
      x.insert(x.end(), {1.0, pow2(-27), breaker});
      y.insert(y.end(), {1.0, pow2(-26), 1.0});
      checkDot(x, y, "tie of products");
    }
    double r;
    for (double special : {kInf, -kInf, std::nan("")}) {
      for (size_t at : {size_t{0}, n - 1}) {
        std::vector<double> x = testutil::uniform(rng, n), y = testutil::uniform(rng, n);
        x[at] = special;
        EXPECT_FALSE(sela::extractedDot(x.data(), y.data(), static_cast<int64_t>(n), r)) << special;
        std::vector<double> z(n, 0.0);
        z[at] = special;
        EXPECT_FALSE(sela::extractedDot(z.data(), z.data(), static_cast<int64_t>(n), r)) << special << " with zeros";
        EXPECT_FALSE(sela::extractedDot(x.data(), z.data(), static_cast<int64_t>(n), r)) << special << " times zero";
      }
    }
  }
}

// The dot benchmark's families, counted: uniform and wide pairs, and the conditions 1e16
// and 1e32 dotted with 1 + 2^-30, all accepted at the lengths the entry point sends here.
TEST(ExtractedDot, AcceptsTheBenchmarkFamilies) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(6502);
  int accepted = 0, tried = 0;
  for (size_t n : {1000u, 100000u, 1100000u}) {
    const std::vector<double> ones(n, 1.0 + pow2(-30));
    std::uniform_int_distribution<int> e(-500, 500);
    std::vector<double> wx(n), wy(n);
    for (auto* w : {&wx, &wy})
      for (auto& v : *w) v = std::ldexp(std::uniform_real_distribution<double>(0.5, 1.0)(rng), e(rng)) * ((rng() & 1) ? 1 : -1);
    tried += 4;
    accepted += checkDot(testutil::uniform(rng, n), testutil::uniform(rng, n), "uniform") ? 1 : 0;
    accepted += checkDot(wx, wy, "wide") ? 1 : 0;
    accepted += checkDot(testutil::genSum(rng, n, 1e16), ones, "cond 1e16") ? 1 : 0;
    accepted += checkDot(testutil::genSum(rng, n, 1e32), ones, "cond 1e32") ? 1 : 0;
  }
  EXPECT_EQ(tried, accepted);
}

// Data with few significant bits (multiples of 2^-52 in [-1, 1), as the usual uniform
// generators give them) leave no residual, and their sums meet exact ties about one time
// in eight: the pass decides every one of them exactly, in one block and over many.
TEST(ExtractedSum, FewBitsAndTheirTiesAreDecidedExactly) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(1234);
  int ties = 0;
  for (size_t n : {1000u, 2048u, 5000u}) {
    for (int k = 0; k < 48; ++k) {
      std::vector<double> x(n);
      for (auto& v : x) v = std::ldexp(static_cast<double>(static_cast<int64_t>(rng() >> 11) - (int64_t{1} << 52)), -52);
      const double exact = oracle::exactSum(x);
      // A tie: the exact sum lies halfway between two doubles (its rounding error is half
      // a unit), found from the oracle's double and the exact comparison.
      const double half = (std::nextafter(std::fabs(exact), kInf) - std::fabs(exact)) / 2;
      std::vector<double> error = x;
      error.push_back(-exact);
      const auto m = static_cast<int64_t>(error.size());
      ties += (oracle::compareSum(error.data(), m, half) == 0 || oracle::compareSum(error.data(), m, -half) == 0) ? 1 : 0;
      EXPECT_TRUE(check(x, "few bits")) << n;
      const std::vector<double> ones(n, 1.0);
      EXPECT_TRUE(checkDot(x, ones, "few bits times one")) << n;
    }
  }
  EXPECT_GT(ties, 5) << "the data should hold exact ties";
}

// ---- Levels per block ----
//
// A block takes only the levels that hold all its bits (down to the unit of its smallest
// magnitude, 53 bits lower for products), and then leaves no residual at all. Blocks of
// a few binades take two levels (sums) or three (products with a low part), blocks over
// some 60 binades three (sums), wider blocks all four; the smallest magnitude placed
// exactly at a level's exponent, and one binade below it, sit on the edge of the rule.
namespace {

std::vector<double> blockOver(std::mt19937_64& rng, int binades, int smallestExponent = 1) {
  std::vector<double> b(sela::kExtractionBlock);
  std::uniform_real_distribution<double> u(0.5, 1.0);
  for (auto& v : b) {
    v = std::ldexp(u(rng), -static_cast<int>(rng() % static_cast<uint64_t>(binades)));
    v = (rng() & 1) ? v : -v;
  }
  // A full 53-bit significand at 2^smallestExponent: its last bit is the block's lowest.
  if (smallestExponent <= 0) {
    const double odd = 1.0 + std::ldexp(static_cast<double>(rng() >> 12 | 1), -52);
    b[rng() % b.size()] = std::ldexp(odd, smallestExponent);
  }
  return b;
}

#if defined(__x86_64__)
struct BlockRun {
  int levels = 0;        // the index past the last non-zero level (products: levels of the p)
  double residual = -1;  // the magnitude sum of the block's residuals
  bool shortened = false;
};
BlockRun runBlock(const std::vector<double>& x, const std::vector<double>* y, bool allLevels = false) {
  sela::ExtractionLanes lanes;
  lanes.allLevels = allLevels;
  double levels[sela::kExtractionDotLevels] = {};
  const auto n = static_cast<int64_t>(x.size());
  bool ok;
  if (sela::avx512FamilySupported()) {
    ok = y == nullptr ? sela::extractionSumBlockAvx512(x.data(), n, 0, lanes, levels)
                      : sela::extractionDotBlockAvx512(x.data(), y->data(), n, 0, lanes, levels);
  } else {
    ok = y == nullptr ? sela::extractionSumBlockAvx2(x.data(), n, 0, lanes, levels)
                      : sela::extractionDotBlockAvx2(x.data(), y->data(), n, 0, lanes, levels);
  }
  EXPECT_TRUE(ok);
  BlockRun run;
  for (int j = 0; j < sela::kExtractionDotLevels; ++j)
    if (levels[j] != 0.0) run.levels = j + 1;
  if (y != nullptr) run.levels = (run.levels + 1) / 2;  // p_0, p_1, r_1, p_2, r_2, ...
  run.residual = 0.0;
  for (int l = 0; l < lanes.lanes; ++l) run.residual += lanes.e[l];
  run.shortened = lanes.shortened;
  return run;
}
#endif

}  // namespace

TEST(ExtractedLevels, EachBlockTakesTheLevelsThatHoldItsBits) {
#if defined(__x86_64__)
  if (!sela::avx2FamilySupported()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(2024);
  const std::vector<double> ones(sela::kExtractionBlock, 1.0 + pow2(-30));
  // A block of 2048 with largest magnitude in [0.5, 1): k1 = 13, levels at 13, -27, -67, -107.
  struct Case {
    int binades, smallest, sumLevels;
  };
  // A block spread beyond the reach of all four by more than a level (more than 146
  // binades below its largest) takes two, and says so; asked for all, it takes four.
  for (const Case c : {Case{4, 1, 2}, Case{20, 1, 2}, Case{60, 1, 3}, Case{100, 1, 4}, Case{4, -27, 2},
                       Case{4, -28, 3}, Case{4, -67, 3}, Case{4, -68, 4}, Case{4, -107, 4}, Case{4, -108, 4},
                       Case{4, -147, 4}, Case{4, -148, 2}, Case{150, 1, 2}}) {
    const std::vector<double> b = blockOver(rng, c.binades, c.smallest);
    const BlockRun sum = runBlock(b, nullptr);
    EXPECT_EQ(c.sumLevels, sum.levels) << c.binades << " binades, smallest 2^" << c.smallest;
    const BlockRun all = runBlock(b, nullptr, true);
    EXPECT_EQ(sum.shortened, sum.levels < all.levels) << c.binades << " binades, smallest 2^" << c.smallest;
    EXPECT_FALSE(all.shortened);
    EXPECT_EQ(sum.shortened ? sela::kExtractionLevels : c.sumLevels, all.levels);
    if (c.sumLevels < sela::kExtractionLevels && !sum.shortened) {
      EXPECT_EQ(0.0, sum.residual) << "all bits held";
    }
    if (sum.shortened) {
      EXPECT_GT(sum.residual, all.residual) << "two levels leave more behind than four";
    }
    // (Where the products' low parts reach below the last level, the levels a product
    // block fills say nothing of the levels it took: its last ones may hold nothing.)
    // Products spread beyond the reach of all levels take two levels of the p (and one
    // of the r) as the sum's elements take two, and say so; asked for all, they take all.
    const BlockRun dot = runBlock(b, &ones);
    EXPECT_EQ(sum.shortened, dot.shortened) << c.binades << " binades, smallest 2^" << c.smallest;
    if (dot.shortened) {
      EXPECT_EQ(2, dot.levels);
      const BlockRun allDot = runBlock(b, &ones, true);
      EXPECT_FALSE(allDot.shortened);
      EXPECT_GT(dot.residual, allDot.residual) << "two levels leave more behind than four";
    } else if (c.smallest > -100) {
      EXPECT_LE(sum.levels, dot.levels) << "a product's low part lies 53 bits lower";
      if (dot.levels < sela::kExtractionLevels) {
        EXPECT_EQ(0.0, dot.residual) << "all bits held";
      }
    }
    check(b, "one block");
    checkDot(b, ones, "one block");
  }
  // A zero (no bound from the smallest: all levels), a subnormal, and a block of few
  // binades far down.
  std::vector<double> b = blockOver(rng, 4);
  b[7] = 0.0;
  check(b, "a zero among the elements");
  b[7] = pow2(-1074);
  check(b, "subnormal smallest");
  for (double& v : b) v = std::ldexp(v, -1000);
  EXPECT_EQ(0.0, runBlock(b, nullptr).residual);
  check(b, "near the subnormal range");
#else
  GTEST_SKIP() << "the vector families are x86-64 only";
#endif
}

// Calls mixing blocks of every level count, in every order and with a partial block last,
// and blocks that cancel each other (the result far below every block's sum) are the
// GMP oracle's, sum and dot, and are all decided.
TEST(ExtractedLevels, CallsMixingLevelCountsAreExact) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(65536);
  for (int trial = 0; trial < 6; ++trial) {
    std::vector<double> x;
    for (int k = 0; k < 9; ++k) {
      const std::vector<double> b = blockOver(rng, std::array<int, 3>{4, 60, 150}[(k + trial) % 3]);
      x.insert(x.end(), b.begin(), b.end());
    }
    x.resize(x.size() - 1 - rng() % 2000);
    EXPECT_TRUE(check(x, "mixed levels"));
    const std::vector<double> y(x.size(), 1.0 + pow2(-30));
    EXPECT_TRUE(checkDot(x, y, "mixed levels"));
    // The same blocks, then their negations, then a small remainder.
    std::vector<double> c = x;
    for (double v : x) c.push_back(-v);
    c.push_back(std::ldexp(1.0 + trial, -30));
    EXPECT_TRUE(check(c, "blocks cancelling each other"));
  }
}

// Blocks spread far beyond the levels' reach take two levels first; a sum of them that
// cancels to 2^-60 of its magnitudes leaves those two levels' residuals too large for the
// bound, and the pass must then decide it with all levels: accepted, the oracle's double,
// over many blocks (with a partial one last) and within one block. Data of such blocks
// that do not cancel (the benchmark's wide family) are decided either way. The same for
// their products with 1 + 2^-30 (two levels of the p and one of the r first), and for
// products of two arrays of random exponents (the p over some 2000 binades, some below
// 2^-916), from one block to a few and a partial one.
TEST(ExtractedLevels, ShortenedBlocksThatCannotDecideTakeAllLevels) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(4711);
  const auto checkBoth = [](const std::vector<double>& x, const char* what) {
    const std::vector<double> ones(x.size(), 1.0 + pow2(-30));
    return check(x, what) && checkDot(x, ones, what);
  };
  for (int trial = 0; trial < 4; ++trial) {
    std::vector<double> x;
    for (int k = 0; k < 3; ++k) {
      const std::vector<double> b = blockOver(rng, 200);
      x.insert(x.end(), b.begin(), b.end());
    }
    const size_t half = x.size() - rng() % 1000;
    x.resize(half);
    for (size_t i = 0; i < half; ++i) x.push_back(-x[i]);
    x.push_back(std::ldexp(3.0 + 2 * trial, -60));
    EXPECT_TRUE(checkBoth(x, "cancelling blocks beyond the reach"));
    std::vector<double> one(x.begin(), x.begin() + 1000);
    for (size_t i = 0; i < 1000; ++i) one.push_back(-one[i]);
    one.push_back(std::ldexp(5.0 + 2 * trial, -62));
    std::shuffle(one.begin(), one.end(), rng);
    EXPECT_TRUE(checkBoth(one, "one cancelling block beyond the reach"));
    std::vector<double> wide(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(half));
    EXPECT_TRUE(checkBoth(wide, "blocks beyond the reach"));
    const size_t n = 1500 + static_cast<size_t>(trial) * 3000 + rng() % 100;
    std::vector<double> a(n), b(n);
    std::uniform_int_distribution<int> e(-500, 500);
    for (size_t i = 0; i < n; ++i) {
      a[i] = std::ldexp((rng() & 1 ? 1.0 : -1.0) * (1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52)), e(rng));
      b[i] = std::ldexp(1.0 + std::ldexp(static_cast<double>(rng() >> 12), -52), e(rng));
    }
    EXPECT_TRUE(checkDot(a, b, "products of random exponents")) << trial;
  }
}

// ---- Blocks on the call's anchor ----
//
// After its first block a call reads each block once, its levels anchored on a magnitude
// already seen. A block holding a larger magnitude (anywhere in it, or in the partial block
// last) must run again on its own, leaving nothing of its first run behind; a block far
// below the anchor must still be exact, and lower the anchor for the blocks after it.
namespace {

constexpr size_t kBlock = static_cast<size_t>(sela::kExtractionBlock);

// Where a larger magnitude is put: first, middle and last element of a middle block, an
// element of the partial last block, the very last element.
std::vector<size_t> risingPlaces(size_t n) {
  return {3 * kBlock, 3 * kBlock + kBlock / 2, 4 * kBlock - 1, n - 100, n - 1};
}

}  // namespace

TEST(ExtractedAnchor, ALargerMagnitudeAfterTheFirstBlockIsExact) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(2718);
  const size_t n = 6 * kBlock + 777;
  const std::vector<double> ones(n, 1.0 + pow2(-30));
  for (size_t at : risingPlaces(n)) {
    for (int rise : {3, 20, 60, 300}) {
      // Alone (the sum dominated by it, its unit far above the other elements' bits), and
      // taken back by its negation in an earlier block (the sum is the small elements').
      std::vector<double> x = testutil::uniform(rng, n);
      x[at] = std::ldexp(1.0 + std::ldexp(static_cast<double>(rng() >> 11), -53), rise);
      EXPECT_TRUE(check(x, "a larger magnitude")) << "at " << at << ", 2^" << rise;
      EXPECT_TRUE(checkDot(x, ones, "a larger product")) << "at " << at << ", 2^" << rise;
      // (Taking back 2^300 leaves a block whose other elements lie beyond the reach of
      // all its levels, which no arrangement of blocks decides: right or declined.)
      x[kBlock + 5] = -x[at];
      const bool decidable = rise < 300;
      EXPECT_EQ(decidable, check(x, "a larger magnitude taken back")) << "at " << at << ", 2^" << rise;
      EXPECT_EQ(decidable, checkDot(x, ones, "a larger product taken back")) << "at " << at << ", 2^" << rise;
      // Rising block by block, each block's magnitudes above the anchor of the last.
      std::vector<double> up = testutil::uniform(rng, n);
      for (size_t i = 0; i < n; ++i) up[i] = std::ldexp(up[i], rise * static_cast<int>(i / kBlock));
      if (allFinite(up)) {
        EXPECT_TRUE(check(up, "rising blocks")) << rise;
        EXPECT_TRUE(checkDot(up, ones, "rising blocks")) << rise;
      }
    }
  }
}

// Blocks falling far below the anchor (the first block's magnitudes 2^300 above the
// rest, taken back exactly by the second block, so that the result is the small blocks'
// sum), decided; and falling a few dozen binades per block.
TEST(ExtractedAnchor, BlocksFarBelowTheAnchorAreExact) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(1618);
  for (double cond : {1.0, 1e16, 1e24}) {
    std::vector<double> x = testutil::uniform(rng, kBlock);
    for (double& v : x) v = std::ldexp(v, 300);
    for (size_t i = 0; i < kBlock; ++i) x.push_back(-x[i]);
    std::vector<double> low = cond == 1.0 ? testutil::uniform(rng, 3 * kBlock + 11)
                                          : testutil::genSum(rng, 3 * kBlock + 11, cond);
    x.insert(x.end(), low.begin(), low.end());
    EXPECT_TRUE(check(x, "far below the anchor")) << cond;
    const std::vector<double> ones(x.size(), 1.0 + pow2(-30));
    EXPECT_TRUE(checkDot(x, ones, "far below the anchor")) << cond;
  }
  for (int fall : {1, 3, 37, 41, 80}) {
    std::vector<double> x = testutil::uniform(rng, 9 * kBlock + 5);
    for (size_t i = 0; i < x.size(); ++i) x[i] = std::ldexp(x[i], -fall * static_cast<int>(i / kBlock));
    EXPECT_TRUE(check(x, "falling blocks")) << fall;
    const std::vector<double> ones(x.size(), 1.0 + pow2(-30));
    EXPECT_TRUE(checkDot(x, ones, "falling blocks")) << fall;
  }
}

// Infinities and NaNs in blocks after the first (in the first, middle and last element of
// a block, in the partial block last; among ordinary elements and among zeros; as a factor
// of the dot product, also times zero): always declined, and the export's answer right.
TEST(ExtractedAnchor, SpecialsInLaterBlocksAreDeclined) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(1414);
  const size_t n = 5 * kBlock + 300;
  double r;
  for (double special : {kInf, -kInf, std::nan("")}) {
    for (size_t at : risingPlaces(n)) {
      std::vector<double> x = testutil::uniform(rng, n);
      x[at] = special;
      EXPECT_FALSE(sela::extractedSum(x.data(), static_cast<int64_t>(n), r)) << special << " at " << at;
      const double sum = sela_sum_exact(x.data(), n);
      EXPECT_TRUE(std::isnan(special) ? std::isnan(sum) : SameBits(special, sum)) << special << " at " << at;
      std::vector<double> y = testutil::uniform(rng, n);
      EXPECT_FALSE(sela::extractedDot(x.data(), y.data(), static_cast<int64_t>(n), r)) << special << " at " << at;
      EXPECT_FALSE(sela::extractedDot(y.data(), x.data(), static_cast<int64_t>(n), r)) << special << " at " << at;
      y[at] = 0.0;  // inf times zero
      EXPECT_FALSE(sela::extractedDot(x.data(), y.data(), static_cast<int64_t>(n), r)) << special << " at " << at;
      EXPECT_TRUE(std::isnan(sela_dot_exact(x.data(), y.data(), n))) << special << " times zero at " << at;
      // Among zeros after an ordinary first block.
      std::vector<double> z(n, 0.0);
      std::copy(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(kBlock), z.begin());
      z[at] = special;
      EXPECT_FALSE(sela::extractedSum(z.data(), static_cast<int64_t>(n), r)) << special << " among zeros at " << at;
    }
  }
}

// Products too small for an exact split (below 2^-916) in a block after the first. The
// product floor keeps 2^-537 * 2^-538 = 2^-1075 whole, while its split rounds it to 0 (a
// tie, to even) with a zero low part: after few-bit products that cancel exactly and the
// tie 1 + 2^-53, the split's sum is the tie itself (rounded to even: 1), superDot's value
// lies above it (1 + 2^-52). Only the flag on such products keeps the pass from rounding
// the tie; it must decline or give the floored value. The same for larger tiny products
// whose low parts round, after products that cancel.
TEST(ExtractedAnchor, TinyProductsInLaterBlocksAreFlagged) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(1732);
  for (size_t at : {size_t{2} * kBlock, 3 * kBlock - 1, 3 * kBlock + 40}) {
    std::vector<double> x(3 * kBlock + 41, 0.0), y(x.size(), 1.0);
    for (size_t i = 0; i < kBlock; ++i) {
      x[i] = std::ldexp(static_cast<double>(static_cast<int64_t>(rng() >> 44) - (int64_t{1} << 19)), -20);
      x[kBlock + i] = -x[i];
    }
    x[2 * kBlock + 7] = 1.0;
    x[2 * kBlock + 9] = pow2(-53);
    x[at] = pow2(-537);
    y[at] = pow2(-538);
    ASSERT_TRUE(SameBits(1.0 + pow2(-52), oracle::flooredDot(x.data(), y.data(), static_cast<int64_t>(x.size()))));
    checkDot(x, y, "a product of 2^-1075 breaking a tie");
  }
  for (int scale : {-520, -537, -545, -560}) {
    std::vector<double> x = testutil::uniform(rng, kBlock), y = testutil::uniform(rng, kBlock);
    for (size_t i = 0; i < kBlock; ++i) {
      x[i] = std::ldexp(x[i], -400);
      y[i] = std::ldexp(y[i], -400);
    }
    for (size_t i = 0; i < kBlock; ++i) {
      x.push_back(-x[i]);
      y.push_back(y[i]);
    }
    const std::vector<double> a = testutil::uniform(rng, 2 * kBlock + 7), b = testutil::uniform(rng, 2 * kBlock + 7);
    for (size_t i = 0; i < a.size(); ++i) {
      x.push_back(std::ldexp(a[i], scale));
      y.push_back(std::ldexp(b[i], scale));
    }
    checkDot(x, y, "tiny products after the first block");
  }
}

// The same tie-breaking product of 2^-1075 in every lane of the vectors a block's scan for
// tiny products reads: at the start and end of the first block (scanned on its own
// magnitudes) and of a later one (run on the anchor), and last in partial blocks of every
// length modulo the vector widths, where the scan's final vector holds fewer elements. The
// few-bit products of the first two blocks cancel except where the tiny one takes a place.
TEST(ExtractedAnchor, TinyProductsAreFlaggedInEveryLane) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(1733);
  const auto run = [&](size_t n, size_t at) {
    std::vector<double> x(n, 0.0), y(n, 1.0);
    for (size_t i = 0; i < kBlock; ++i) {
      x[i] = std::ldexp(static_cast<double>(static_cast<int64_t>(rng() >> 44) - (int64_t{1} << 19)), -20);
      x[kBlock + i] = -x[i];
    }
    if (at < 2 * kBlock) x[at % kBlock] = x[at % kBlock + kBlock] = 0.0;
    x[2 * kBlock + 7] = 1.0;
    x[2 * kBlock + 9] = pow2(-53);
    x[at] = pow2(-537);
    y[at] = pow2(-538);
    ASSERT_TRUE(SameBits(1.0 + pow2(-52), oracle::flooredDot(x.data(), y.data(), static_cast<int64_t>(n))));
    checkDot(x, y, "a product of 2^-1075 breaking a tie");
  };
  std::vector<size_t> places;
  for (size_t j = 0; j < 9; ++j) {
    places.insert(places.end(), {j, kBlock - 1 - j, 2 * kBlock + 10 + j, 3 * kBlock - 1 - j});
  }
  for (size_t at : places) run(3 * kBlock + 5, at);
  for (size_t tail = 1; tail <= 9; ++tail) {
    run(3 * kBlock + tail, 3 * kBlock + tail - 1);
    run(3 * kBlock + tail, 3 * kBlock);
  }
}

// A block whose bits reach below the levels guessed from the block before it (uniform
// blocks take two): elements of 2^-90 among uniform ones, the uniform ones cancelling
// exactly over the call, so that the small ones' sum is the result. Left as residuals by
// two levels they are too coarse for the bound; the pass must then decide it with all
// levels (which hold every bit of them), in one block and over many.
TEST(ExtractedAnchor, BitsBelowTheGuessedLevelsAreTakenOnRetry) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(1357);
  for (size_t small : {size_t{1}, size_t{64}}) {
    const std::vector<double> u = testutil::uniform(rng, kBlock);
    std::vector<double> x = u;
    std::vector<double> second;
    for (size_t i = 0; i + small < kBlock; ++i) second.push_back(-u[i]);
    for (size_t i = 0; i < small; ++i) {
      const double odd = 1.0 + std::ldexp(static_cast<double>(rng() >> 12 | 1), -52);
      second.push_back(std::ldexp((rng() & 1) ? odd : -odd, -90 - static_cast<int>(rng() % 8)));
    }
    std::shuffle(second.begin(), second.end(), rng);
    x.insert(x.end(), second.begin(), second.end());
    for (size_t i = kBlock - small; i < kBlock; ++i) x.push_back(-u[i]);
    EXPECT_TRUE(check(x, "bits below the guessed levels")) << small;
  }
}

#if defined(__x86_64__)
namespace {

// Runs a call's blocks through this processor's kernel as the pass does, one set of lanes
// for all; returns the lanes' residual magnitude sum after each block.
std::vector<double> residualsAfterEachBlock(const std::vector<double>& x, sela::ExtractionLanes& lanes) {
  std::vector<double> after;
  double levels[sela::kExtractionDotLevels];
  const auto n = static_cast<int64_t>(x.size());
  for (int64_t start = 0; start < n; start += sela::kExtractionBlock) {
    const int64_t len = std::min<int64_t>(sela::kExtractionBlock, n - start);
    const bool ok = sela::avx512FamilySupported()
                        ? sela::extractionSumBlockAvx512(x.data() + start, len, n - start - len, lanes, levels)
                        : sela::extractionSumBlockAvx2(x.data() + start, len, n - start - len, lanes, levels);
    EXPECT_TRUE(ok);
    double e = 0.0;
    for (int l = 0; l < lanes.lanes; ++l) e += lanes.e[l];
    after.push_back(e);
  }
  return after;
}

}  // namespace
#endif

// A block far below the anchor runs on it, its elements below every level (they become
// residuals, and the call is marked for a run with all levels should its bound not decide);
// the anchor then follows it down, and the next block of the same magnitudes leaves no
// residual (its two levels hold all its bits again).
TEST(ExtractedAnchor, TheAnchorFollowsTheDataDown) {
#if defined(__x86_64__)
  if (!sela::avx2FamilySupported()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(1123);
  std::vector<double> x = testutil::uniform(rng, 3 * kBlock);
  for (size_t i = kBlock; i < x.size(); ++i) x[i] = std::ldexp(x[i], -300);
  sela::ExtractionLanes lanes;
  const std::vector<double> after = residualsAfterEachBlock(x, lanes);
  ASSERT_EQ(3u, after.size());
  EXPECT_EQ(0.0, after[0]) << "a block of few binades, on its own anchor";
  EXPECT_GT(after[1], 0.0) << "the elements lie below the levels of the anchor";
  EXPECT_TRUE(lanes.shortened);
  EXPECT_EQ(after[1], after[2]) << "the anchor followed the data down";
  check(x, "following the data down");
#else
  GTEST_SKIP() << "the vector families are x86-64 only";
#endif
}

// ---- Products near the floor ----
//
// From the first block that meets a product that may lie below 2^-916 on, the blocks leave
// such products out of their lanes, drop those below 2^-1075 and deposit the band between
// exactly. Wherever the pass accepts, its double must be the floored oracle's; it must
// accept data spread over the whole range (so that a pass which quietly declines them
// fails here), and decline special values in every position.

namespace {

using Pairs = std::pair<std::vector<double>, std::vector<double>>;

bool checkPairs(const Pairs& d, const char* what) { return checkDot(d.first, d.second, what); }

double withBits(uint64_t u) {
  double v;
  std::memcpy(&v, &u, sizeof v);
  return v;
}

// A pair of factors whose halved bit patterns add up to H = k 2^51 + delta (the guard's
// edges: k = 970 below which products vanish, k = 1130 from which they are kept), random
// significands and signs.
std::pair<double, double> pairAtH(std::mt19937_64& rng, int64_t k, int64_t delta) {
  const int64_t h = (k << 51) + delta;
  const uint64_t fieldA = k / 2 - 200 + rng() % 400;
  const uint64_t a = (fieldA << 52) | (rng() & ((uint64_t{1} << 52) - 1));
  const uint64_t b = 2 * (static_cast<uint64_t>(h) - (a >> 1)) + (rng() & 1);
  const uint64_t signs = rng();
  return {withBits(a | (signs << 63)), withBits(b | ((signs >> 1) << 63))};
}

// Random significands and signs, exponents of the product around `exponent` (+-spread).
std::pair<double, double> pairNear(std::mt19937_64& rng, int exponent, int spread) {
  std::uniform_real_distribution<double> m(1.0, 2.0);
  const int e = exponent - spread + static_cast<int>(rng() % (2 * spread + 1));
  const int ea = e / 2 + static_cast<int>(rng() % 41) - 20;
  const double sa = (rng() & 1) ? -1.0 : 1.0;
  return {sa * std::ldexp(m(rng), ea), std::ldexp(m(rng), e - ea)};
}

// Wide data (random signs and significands, exponents in [-500, 500]), each array divided
// by its largest magnitude: products over [2^-2000, 1], half of them below the floor.
Pairs wideDivided(std::mt19937_64& rng, size_t n) {
  Pairs d{testutil::wideRange(rng, n, -500, 500), testutil::wideRange(rng, n, -500, 500)};
  for (auto* v : {&d.first, &d.second}) {
    double top = 0.0;
    for (double e : *v) top = std::max(top, std::fabs(e));
    for (double& e : *v) e /= top;
  }
  return d;
}

// The edges themselves: products just below, at and above 2^-1075 and around 2^-916, the
// guard's H edges, subnormal factors times large ones, zero factors, every kind spread
// over a background of wide data (so that blocks run guarded) or alone.
Pairs edges(std::mt19937_64& rng, size_t n, bool background) {
  Pairs d = background ? wideDivided(rng, n) : Pairs{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
  const double kSub = std::numeric_limits<double>::denorm_min();
  for (size_t i = 0; i < n; ++i) {
    if (background && rng() % 3 != 0) continue;
    std::pair<double, double> p;
    switch (rng() % 10) {
      case 0: p = pairAtH(rng, 970, static_cast<int64_t>(rng() % 5) - 2); break;
      case 1: p = pairAtH(rng, 1130, static_cast<int64_t>(rng() % 5) - 2); break;
      case 2: p = pairNear(rng, -1075, 2); break;
      case 3: p = pairNear(rng, -916, 2); break;
      case 4: p = {pow2(-538) * static_cast<double>(1 + rng() % 4), pow2(-537 - static_cast<int>(rng() % 3))}; break;
      case 5: p = {kSub * static_cast<double>(1 + rng() % 1000), pow2(static_cast<int>(rng() % 160))}; break;
      case 6: p = {0.0, pow2(-static_cast<int>(rng() % 1000))}; break;
      case 7: p = pairNear(rng, -1000, 80); break;
      case 8: p = {-kSub, 0.5 + static_cast<double>(rng() % 3)}; break;
      default: p = pairNear(rng, -1040, 40); break;
    }
    d.first[i] = p.first;
    d.second[i] = p.second;
  }
  return d;
}

// d, its products cancelled by their negations and shuffled, plus `tail`: the exact
// result is what the floor keeps of the tail's products (each product's floor is odd
// under negation).
Pairs cancelled(std::mt19937_64& rng, Pairs d, const Pairs& tail) {
  const size_t k = d.first.size();
  for (size_t i = 0; i < k; ++i) {
    d.first.push_back(-d.first[i]);
    d.second.push_back(d.second[i]);
  }
  d.first.insert(d.first.end(), tail.first.begin(), tail.first.end());
  d.second.insert(d.second.end(), tail.second.begin(), tail.second.end());
  std::vector<size_t> order(d.first.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), rng);
  Pairs out;
  for (size_t i : order) {
    out.first.push_back(d.first[i]);
    out.second.push_back(d.second[i]);
  }
  return out;
}

// Products the floor cuts, exactly at its edges, all below 2^-1040 so that every unit of
// 2^-1075 they keep shows in a sum of them: just above 2^-1075 with H just above 970 2^51
// (1.45^2 2^-1076), the guard's vanishing edge, products around 2^-1075 and 2^-1074,
// subnormal factors times powers of two, and zero factors.
Pairs floorEdges(std::mt19937_64& rng, size_t n) {
  Pairs d;
  for (size_t i = 0; i < n; ++i) {
    std::pair<double, double> p;
    const int e = static_cast<int>(rng() % 41) - 20;
    switch (rng() % 5) {
      case 0: p = {1.45 * pow2(-538 + e), 1.45 * pow2(-538 - e)}; break;
      case 1: p = pairAtH(rng, 970, static_cast<int64_t>(rng() % 5) - 2); break;
      case 2: p = pairNear(rng, -1075, 1); break;
      case 3: p = {std::numeric_limits<double>::denorm_min() * static_cast<double>(rng() % 50), pow2(e + 20)}; break;
      default: p = {0.0, pow2(e - 500)}; break;
    }
    d.first.push_back((rng() & 1) ? -p.first : p.first);
    d.second.push_back(p.second);
  }
  return d;
}

// Products with few bits over some 50 binades (20-bit integers times powers of two), which
// the levels hold whole: no residual is left, and the register alone decides.
Pairs fewBits(std::mt19937_64& rng, size_t n) {
  Pairs d;
  for (size_t i = 0; i < n; ++i) {
    d.first.push_back(static_cast<double>(1 + rng() % (1 << 20)) * pow2(static_cast<int>(rng() % 21) - 10));
    d.second.push_back(pow2(static_cast<int>(rng() % 11) - 5));
  }
  return d;
}

const size_t kFloorLengths[] = {7, 2047, 2048, 2049, 4096, 6150, 20000, (size_t{1} << 17) + 3};

}  // namespace

// Wide data divided by their largest magnitude: decided at every length.
TEST(ExtractedDotNearFloor, DecidesDataSpreadOverTheWholeRange) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(2000);
  for (const size_t n : kFloorLengths) {
    for (int rep = 0; rep < 3; ++rep) EXPECT_TRUE(checkPairs(wideDivided(rng, n), "wide divided")) << "n=" << n;
  }
}

// The floor's and the guard's edges, with and without large products around them, and
// cancelled down to results at the bottom of the range: right or declined.
TEST(ExtractedDotNearFloor, EdgesAndCancellationToTheBottom) {
  std::mt19937_64 rng(1075);
  for (const size_t n : kFloorLengths) {
    if (n > 20000) continue;
    checkPairs(edges(rng, n, true), "edges among wide data");
    checkPairs(edges(rng, n, false), "edges alone");
    const Pairs tail = edges(rng, 5, false);
    checkPairs(cancelled(rng, wideDivided(rng, n / 2), tail), "wide cancelled to the edges' tail");
    checkPairs(cancelled(rng, edges(rng, n / 2, true), tail), "edges cancelled to the edges' tail");
    // Cancelled to one product of 2^-1075 (a midpoint between subnormals) or 2^-1074.
    for (const double last : {pow2(-537), pow2(-536)}) {
      checkPairs(cancelled(rng, wideDivided(rng, n / 2), Pairs{{pow2(-538)}, {last}}), "cancelled to one product");
    }
  }
}

// Products at the floor's edges among products that cancel exactly and leave no residual:
// the result is what the floor keeps of the edges' products, at the bottom of the range
// (subnormal, a tie between two subnormals, or zero), and the register decides it.
TEST(ExtractedDotNearFloor, FloorsOfTheEdgesAtTheBottomOfTheRange) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(970);
  for (const size_t n : {size_t{2049}, size_t{4096}, size_t{20000}}) {
    for (int rep = 0; rep < 4; ++rep) {
      const Pairs d = cancelled(rng, fewBits(rng, n / 2), floorEdges(rng, n / 8));
      EXPECT_TRUE(checkPairs(d, "few bits cancelled to the floor's edges")) << "n=" << n;
    }
    const Pairs edgesOnly = floorEdges(rng, n);
    EXPECT_TRUE(checkPairs(edgesOnly, "the floor's edges alone")) << "n=" << n;
  }
}

// A NaN or an infinity in any position (first, last, either side of a block boundary,
// inside a guarded block, in a block whose products all leave the lanes), times a large,
// a vanishing or a zero factor: always declined,
// and the export's double is the element arrangement's.
TEST(ExtractedDotNearFloor, SpecialsInEveryPositionAreDeclined) {
  std::mt19937_64 rng(2047);
  const double kInf = std::numeric_limits<double>::infinity();
  for (const size_t n : {size_t{9}, size_t{2049}, size_t{2050}, size_t{6150}}) {
    for (const size_t at : {size_t{0}, size_t{1}, n / 2, n - 1, size_t{2047}, size_t{2048}}) {
      if (at >= n) continue;
      for (const double special : {kInf, -kInf, std::nan("")}) {
        for (const double other : {1.0, pow2(-1000), 0.0}) {
          // Over wide data, and over products that all leave the lanes.
          Pairs d = (at + n) % 2 == 0 ? wideDivided(rng, n) : floorEdges(rng, n);
          d.first[at] = special;
          d.second[at] = other;
          double r;
          EXPECT_FALSE(sela::extractedDot(d.first.data(), d.second.data(), static_cast<int64_t>(n), r))
              << special << " times " << other << " at " << at << " n=" << n;
          sela::SuperAccumulator acc;
          sela::initialize(acc);
          sela::addProductsEach(acc, d.first.data(), d.second.data(), static_cast<int64_t>(n));
          EXPECT_TRUE(SameBits(sela::round(acc), sela_dot_exact(d.first.data(), d.second.data(), n)));
        }
      }
    }
  }
}
