// The caller-owned exact accumulator against sela_sum_exact / sela_dot_exact of the
// concatenation and the GMP oracle: random chunkings, random merge trees, products mixed
// with values, special values, and records that are not accumulators.
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <limits>
#include <numeric>

#include "algorithms/exactengine.h"
#include "algorithms/exactsum.h"
#include "kernel_slot.h"
#include "sela.h"
#include "test_util.h"

using testutil::bits;
using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();

sela_accumulator fresh() {
  sela_accumulator a;
  sela_accumulator_init(&a);
  return a;
}

// Splits [0, n) into chunks of random lengths, some of them around `around`.
std::vector<size_t> randomCuts(std::mt19937_64& rng, size_t n, size_t around) {
  std::vector<size_t> cuts{0};
  while (cuts.back() < n) {
    size_t len;
    switch (rng() % 4) {
      case 0: len = rng() % 17; break;
      case 1: len = around - 2 + rng() % 5; break;
      default: len = rng() % (2 * around + 1); break;
    }
    cuts.push_back(std::min(n, cuts.back() + len));
  }
  return cuts;
}

// One accumulator per chunk, merged in a random binary tree.
double chunkedTreeSum(std::mt19937_64& rng, const std::vector<double>& x, size_t around) {
  const auto cuts = randomCuts(rng, x.size(), around);
  std::vector<sela_accumulator> parts;
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    parts.push_back(fresh());
    EXPECT_EQ(0, sela_accumulator_add(&parts.back(), x.data() + cuts[k], cuts[k + 1] - cuts[k]));
  }
  if (parts.empty()) parts.push_back(fresh());
  // Each step merges the i-th remaining record with the next remaining one and drops the
  // latter. The records stay where they are; a Fenwick tree over the remaining ones finds
  // the i-th in log time (erasing from the vector would move the 1 KB records, quadratic
  // in their number).
  const size_t count = parts.size();
  std::vector<size_t> tree(count + 1, 0);
  const auto mark = [&](size_t k, int d) {
    for (size_t j = k + 1; j <= count; j += j & (~j + 1)) tree[j] = static_cast<size_t>(static_cast<int64_t>(tree[j]) + d);
  };
  for (size_t k = 0; k < count; ++k) mark(k, 1);
  const auto remaining = [&](size_t i) {  // the index of the i-th remaining record (from 0)
    size_t pos = 0;
    for (size_t step = std::bit_floor(count); step != 0; step >>= 1) {
      if (pos + step <= count && tree[pos + step] <= i) {
        pos += step;
        i -= tree[pos];
      }
    }
    return pos;
  };
  for (size_t left = count; left > 1; --left) {
    const size_t i = rng() % (left - 1);
    const size_t a = remaining(i), b = remaining(i + 1);
    EXPECT_EQ(0, sela_accumulator_merge(&parts[a], &parts[b]));
    mark(b, -1);
  }
  return sela_accumulator_round(&parts[remaining(0)]);
}

// All chunks added in turn to one accumulator, rounding in between (which must not
// disturb it).
double chunkedStreamSum(std::mt19937_64& rng, const std::vector<double>& x, size_t around) {
  const auto cuts = randomCuts(rng, x.size(), around);
  sela_accumulator a = fresh();
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    EXPECT_EQ(0, sela_accumulator_add(&a, x.data() + cuts[k], cuts[k + 1] - cuts[k]));
    if (rng() % 4 == 0) (void)sela_accumulator_round(&a);
  }
  return sela_accumulator_round(&a);
}

void expectChunkingsAgree(std::mt19937_64& rng, const std::vector<double>& x, const std::string& what) {
  const double whole = sela_sum_exact(x.data(), x.size());
  for (size_t around : {3u, 2047u, 5000u}) {
    EXPECT_TRUE(SameBits(whole, chunkedTreeSum(rng, x, around))) << what << " tree, chunks ~" << around;
    EXPECT_TRUE(SameBits(whole, chunkedStreamSum(rng, x, around))) << what << " stream, chunks ~" << around;
  }
}

}  // namespace

TEST(Accumulator, PartialRoundingsCannotRebuildTheTotal) {
  const double a[] = {1.0, pow2(-53)}, b[] = {pow2(-53)};
  EXPECT_EQ(1.0, sela_sum_exact(a, 2));
  sela_accumulator left = fresh(), right = fresh();
  ASSERT_EQ(0, sela_accumulator_add(&left, a, 2));
  ASSERT_EQ(0, sela_accumulator_add(&right, b, 1));
  EXPECT_EQ(1.0, sela_accumulator_round(&left));
  ASSERT_EQ(0, sela_accumulator_merge(&left, &right));
  EXPECT_TRUE(SameBits(1.0 + pow2(-52), sela_accumulator_round(&left)));
}

TEST(Accumulator, EmptyAndZeroCountReadNothing) {
  sela_accumulator a = fresh();
  EXPECT_TRUE(SameBits(0.0, sela_accumulator_round(&a)));
  EXPECT_EQ(0, sela_accumulator_add(&a, nullptr, 0));
  EXPECT_EQ(0, sela_accumulator_add_products(&a, nullptr, nullptr, 0));
  const double negZeros[] = {-0.0, -0.0};
  EXPECT_EQ(0, sela_accumulator_add(&a, negZeros, 2));
  EXPECT_TRUE(SameBits(0.0, sela_accumulator_round(&a)));
}

TEST(Accumulator, RandomChunkingsMatchTheWholeSum) {
  std::mt19937_64 rng(9001);
  for (size_t n : {1u, 40u, 2046u, 2047u, 2048u, 6000u, 30000u}) {
    const std::string at = " n=" + std::to_string(n);
    auto u = testutil::uniform(rng, n);
    EXPECT_TRUE(SameBits(oracle::exactSum(u), sela_sum_exact(u.data(), n))) << at;
    expectChunkingsAgree(rng, u, "uniform" + at);
    expectChunkingsAgree(rng, testutil::wideRange(rng, n, -1074, 1023), "full range" + at);
    expectChunkingsAgree(rng, testutil::illConditioned(rng, n, 1e40), "cancellation" + at);
    expectChunkingsAgree(rng, testutil::wideRange(rng, n, 1000, 1023), "near overflow" + at);
  }
}

TEST(Accumulator, ProductsAndValuesShareOneRecord) {
  std::mt19937_64 rng(5150);
  for (size_t n : {1u, 255u, 256u, 3000u}) {
    const auto x = testutil::wideRange(rng, n, -600, 500);
    const auto y = testutil::wideRange(rng, n, -600, 500);
    const auto v = testutil::wideRange(rng, n, -1074, 1000);
    sela_accumulator a = fresh();
    ASSERT_EQ(0, sela_accumulator_add_products(&a, x.data(), y.data(), n));
    EXPECT_TRUE(SameBits(sela_dot_exact(x.data(), y.data(), n), sela_accumulator_round(&a))) << n;
    // The oracle of x.y + sum v: the values are products with 1.
    ASSERT_EQ(0, sela_accumulator_add(&a, v.data(), n));
    std::vector<double> xs = x, ys = y;
    xs.insert(xs.end(), v.begin(), v.end());
    ys.insert(ys.end(), n, 1.0);
    EXPECT_TRUE(SameBits(oracle::exactDot(xs.data(), ys.data(), 2 * static_cast<int64_t>(n)),
                         sela_accumulator_round(&a)))
        << n;
  }
}

TEST(Accumulator, MergeWithItselfDoubles) {
  std::mt19937_64 rng(2);
  for (size_t n : {1u, 2047u, 2048u, 10000u}) {
    auto x = testutil::wideRange(rng, n, -1074, 1022);
    sela_accumulator a = fresh();
    ASSERT_EQ(0, sela_accumulator_add(&a, x.data(), n));
    ASSERT_EQ(0, sela_accumulator_merge(&a, &a));
    x.insert(x.end(), x.begin(), x.end());
    EXPECT_TRUE(SameBits(oracle::exactSum(x), sela_accumulator_round(&a))) << n;
  }
  // Many doublings in a row: the headroom bookkeeping must keep up.
  const double one[] = {1.0};
  sela_accumulator a = fresh();
  ASSERT_EQ(0, sela_accumulator_add(&a, one, 1));
  for (int k = 1; k <= 1100; ++k) ASSERT_EQ(0, sela_accumulator_merge(&a, &a));
  EXPECT_TRUE(SameBits(kInf, sela_accumulator_round(&a)));
}

TEST(Accumulator, SpecialValuesFollowTheExactSum) {
  const double nanA = std::bit_cast<double>(0xFFF8000000000009ULL);
  const double nanB = std::bit_cast<double>(0x7FF0000000000003ULL);
  const std::vector<std::vector<double>> chunks[] = {
      {{1.0, kInf}, {-kInf}},
      {{kInf}, {kMax, -kMax, -kMax}},
      {{-kMax, -kMax}, {kInf}},
      {{nanB, 2.0}, {kInf, nanA}, {-kInf}},
      {{kInf}, {kInf}, {2.0}},
  };
  for (const auto& parts : chunks) {
    std::vector<double> whole;
    sela_accumulator a = fresh(), b = fresh();
    for (size_t k = 0; k < parts.size(); ++k) {
      whole.insert(whole.end(), parts[k].begin(), parts[k].end());
      sela_accumulator c = fresh();
      ASSERT_EQ(0, sela_accumulator_add(&c, parts[k].data(), parts[k].size()));
      // a merges left to right, b right to left.
      ASSERT_EQ(0, sela_accumulator_merge(&a, &c));
      sela_accumulator d = fresh();
      const auto& back = parts[parts.size() - 1 - k];
      ASSERT_EQ(0, sela_accumulator_add(&d, back.data(), back.size()));
      ASSERT_EQ(0, sela_accumulator_merge(&b, &d));
    }
    const double expected = sela_sum_exact(whole.data(), whole.size());
    EXPECT_TRUE(SameBits(expected, sela_accumulator_round(&a)));
    EXPECT_TRUE(SameBits(expected, sela_accumulator_round(&b)));
  }
  // A NaN or infinity factor gives the floating-point product, as in sela_dot_exact.
  const double x[] = {0.0, 3.0, -kInf}, y[] = {kInf, 1.0, 2.0};
  for (size_t n = 1; n <= 3; ++n) {
    sela_accumulator a = fresh();
    ASSERT_EQ(0, sela_accumulator_add_products(&a, x, y, n));
    EXPECT_TRUE(SameBits(sela_dot_exact(x, y, n), sela_accumulator_round(&a))) << n;
  }
}

TEST(Accumulator, InvalidRecordsAreRejectedAndLeftAlone) {
  std::mt19937_64 rng(404);
  const double x[] = {1.0, 2.0};
  sela_accumulator good = fresh();
  ASSERT_EQ(0, sela_accumulator_add(&good, x, 2));

  std::vector<sela_accumulator> bad;
  sela_accumulator zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  bad.push_back(zeroed);
  for (int k = 0; k < 20; ++k) {
    sela_accumulator r;
    for (auto& w : r.opaque) w = rng();
    bad.push_back(r);
  }
  sela_accumulator otherVersion = good;
  otherVersion.opaque[0] += 1;
  bad.push_back(otherVersion);
  sela_accumulator countdown = good;
  countdown.opaque[1] = 5000;
  bad.push_back(countdown);
  sela_accumulator negativeCountdown = good;
  negativeCountdown.opaque[1] = ~uint64_t{0};
  bad.push_back(negativeCountdown);

  for (sela_accumulator& r : bad) {
    sela_accumulator before = r;
    EXPECT_EQ(-1, sela_accumulator_add(&r, x, 2));
    EXPECT_EQ(-1, sela_accumulator_add_products(&r, x, x, 2));
    EXPECT_EQ(-1, sela_accumulator_merge(&r, &good));
    EXPECT_EQ(0, std::memcmp(&before, &r, sizeof r));
    sela_accumulator g = good;
    EXPECT_EQ(-1, sela_accumulator_merge(&g, &r));
    EXPECT_EQ(0, std::memcmp(&good, &g, sizeof g));
    EXPECT_TRUE(SameBits(std::bit_cast<double>(0x7FF8000000000000ULL), sela_accumulator_round(&r)));
  }
  EXPECT_EQ(-1, sela_accumulator_add(nullptr, x, 2));
  EXPECT_EQ(-1, sela_accumulator_merge(&good, nullptr));
  EXPECT_TRUE(std::isnan(sela_accumulator_round(nullptr)));
  EXPECT_TRUE(SameBits(3.0, sela_accumulator_round(&good)));
}

namespace {

sela::SuperAccumulator internals(const sela_accumulator& a) {
  sela::SuperAccumulator s;
  std::memcpy(&s, &a, sizeof s);
  return s;
}

sela_accumulator record(const sela::SuperAccumulator& s) {
  sela_accumulator a;
  std::memcpy(&a, &s, sizeof a);
  return a;
}

// A NaN with a random payload and sign, or an infinity of either sign.
double randomSpecial(std::mt19937_64& rng) {
  const uint64_t sign = rng() & (1ULL << 63);
  if (rng() % 3 == 0) return std::bit_cast<double>(sign | 0x7FF0000000000000ULL);
  uint64_t f = rng() & 0x000FFFFFFFFFFFFFULL;
  if (f == 0) f = 1;
  return std::bit_cast<double>(sign | 0x7FF0000000000000ULL | f);
}

// The copies of the record check's pass over the limbs that this processor runs.
std::vector<std::pair<std::string, sela::LimbsShiftedOrKernel>> limbPassCopies() {
  std::vector<std::pair<std::string, sela::LimbsShiftedOrKernel>> copies{{"baseline", sela::limbsShiftedOrSse2}};
#if defined(__x86_64__)
  if (sela::avx2FamilySupported()) copies.emplace_back("avx2", sela::limbsShiftedOrAvx2);
  if (sela::avx512FamilySupported()) copies.emplace_back("avx512", sela::limbsShiftedOrAvx512);
#endif
  return copies;
}

// The copies of round's survey of the limbs that this processor runs.
std::vector<std::pair<std::string, sela::LimbsSurveyKernel>> surveyCopies() {
  std::vector<std::pair<std::string, sela::LimbsSurveyKernel>> copies{{"baseline", sela::limbsSurveySse2}};
#if defined(__x86_64__)
  if (sela::avx2FamilySupported()) copies.emplace_back("avx2", sela::limbsSurveyAvx2);
  if (sela::avx512FamilySupported()) copies.emplace_back("avx512", sela::limbsSurveyAvx512);
#endif
  return copies;
}

// The copies of the merge's pass over both records' limbs that this processor runs.
std::vector<std::pair<std::string, sela::LimbsMergeKernel>> mergePassCopies() {
  std::vector<std::pair<std::string, sela::LimbsMergeKernel>> copies{{"baseline", sela::limbsMergeSse2}};
#if defined(__x86_64__)
  if (sela::avx2FamilySupported()) copies.emplace_back("avx2", sela::limbsMergeAvx2);
  if (sela::avx512FamilySupported()) copies.emplace_back("avx512", sela::limbsMergeAvx512);
#endif
  return copies;
}

}  // namespace

// The merge's pass against plain loops, every copy: the sums stored exactly when both
// records pass their test (the OR of limb + shift has no forbidden bit), nothing written
// otherwise, the word past the limbs never touched; the record merged with itself too.
// Limbs at every vector edge and in the tail, so a copy that skips a vector or the tail
// in its test or its stores is caught.
TEST(AccumulatorLimbPass, EveryMergeCopyGivesTheWordsOfPlainLoops) {
  std::mt19937_64 rng(77);
  const int edges[] = {0, 1, 3, 4, 7, 8, 15, 16, 63, 64, 120, 127, 128, 129, 130};
  const int64_t counts[] = {0, 1, 2, 3, 1000, 1024, 2046, 2047};
  auto testOf = [](int64_t used) -> sela::LimbTest {
    if (used == 0) return {0, ~uint64_t{0}};
    const int q = 63 - std::countl_zero(static_cast<uint64_t>(used)) + 52;
    return {uint64_t{1} << q, ~uint64_t{0} << (q + 1)};
  };
  for (int trial = 0; trial < 4000; ++trial) {
    uint64_t acc[sela::kSuperLimbs + 1] = {}, other[sela::kSuperLimbs + 1] = {};
    const int64_t usedA = counts[rng() % std::size(counts)], usedO = counts[rng() % std::size(counts)];
    const sela::LimbTest ta = testOf(usedA), to = testOf(usedO);
    for (uint64_t* limbs : {acc, other}) {
      const int64_t used = limbs == acc ? usedA : usedO;
      const int count = rng() % 5 == 0 ? 0 : 1 + static_cast<int>(rng() % 5);
      for (int c = 0; c < count; ++c) {
        const int at = rng() % 2 ? edges[rng() % std::size(edges)] : static_cast<int>(rng() % sela::kSuperLimbs);
        // Mostly within the headroom, sometimes just beyond it, sometimes anything.
        const uint64_t room = static_cast<uint64_t>(used) << 52;
        switch (rng() % 4) {
          case 0: limbs[at] = rng(); break;
          case 1: limbs[at] = rng() % 2 ? room : uint64_t{0} - room - 1; break;
          default: limbs[at] = room == 0 ? 0 : rng() % room - room / 2; break;
        }
      }
    }
    acc[sela::kSuperLimbs] = other[sela::kSuperLimbs] = 0x5A5A5A5A5A5A5A5AULL;  // past the limbs
    uint64_t orA = 0, orO = 0, sums[sela::kSuperLimbs + 1];
    for (int k = 0; k < sela::kSuperLimbs; ++k) {
      orA |= acc[k] + ta.shift;
      orO |= other[k] + to.shift;
      sums[k] = acc[k] + other[k];
    }
    sums[sela::kSuperLimbs] = acc[sela::kSuperLimbs];
    const bool pass = ((orA & ta.forbidden) | (orO & to.forbidden)) == 0;
    for (const auto& [name, kernel] : mergePassCopies()) {
      uint64_t a[sela::kSuperLimbs + 1];
      std::memcpy(a, acc, sizeof a);
      EXPECT_EQ(pass, kernel(a, other, ta, to)) << name << " " << trial;
      EXPECT_EQ(0, std::memcmp(a, pass ? sums : acc, sizeof a)) << name << " " << trial;
      // With itself: both tests on the same limbs, each limb doubled.
      std::memcpy(a, acc, sizeof a);
      uint64_t orSelf = 0;
      for (int k = 0; k < sela::kSuperLimbs; ++k) orSelf |= acc[k] + to.shift;
      const bool selfPass = ((orA & ta.forbidden) | (orSelf & to.forbidden)) == 0;
      EXPECT_EQ(selfPass, kernel(a, a, ta, to)) << name << " self " << trial;
      for (int k = 0; k < sela::kSuperLimbs; ++k) ASSERT_EQ(selfPass ? 2 * acc[k] : acc[k], a[k]) << name << " self " << trial;
      EXPECT_EQ(acc[sela::kSuperLimbs], a[sela::kSuperLimbs]) << name << " self " << trial;
    }
  }
}

TEST(AccumulatorLimbPass, EveryClearCopyWritesTheEmptyRecord) {
  sela::SuperAccumulator empty;
  sela::initialize(empty);
  std::vector<std::pair<std::string, sela::ClearRecordKernel>> copies{{"baseline", sela::clearRecordSse2}};
#if defined(__x86_64__)
  if (sela::avx2FamilySupported()) copies.emplace_back("avx2", sela::clearRecordAvx2);
  if (sela::avx512FamilySupported()) copies.emplace_back("avx512", sela::clearRecordAvx512);
#endif
  for (const auto& [name, kernel] : copies) {
    for (int offset : {0, 1, 3}) {  // the record is 8-byte aligned only
      uint64_t words[sela::kAccumulatorWords + 5];
      std::memset(words, 0xA5, sizeof words);
      kernel(words + 1 + offset);
      EXPECT_EQ(0, std::memcmp(words + 1 + offset, &empty, sizeof empty)) << name;
      for (int k = 0; k <= offset; ++k) EXPECT_EQ(0xA5A5A5A5A5A5A5A5ULL, words[k]) << name;
      for (int k = 1 + offset + sela::kAccumulatorWords; k < sela::kAccumulatorWords + 5; ++k)
        EXPECT_EQ(0xA5A5A5A5A5A5A5A5ULL, words[k]) << name;
    }
  }
}

// The vector copies of the deposits against depositing one element after another: a copy
// either leaves exactly those words (limbs and all) or, where it declines, nothing
// written; the AVX-512 copy must take every finite array and decline every other. Arrays
// of every length around the vector width and the window's edges (data within one window
// are summed per limb, others added element by element): one binade, exactly
// kDepositWindow indices and one more, zeros and subnormals (index 0), the top binades
// (the window reaching limb 68), every binade, both signs, NaNs and infinities anywhere.
TEST(AccumulatorLimbPass, VectorDepositsGiveTheWordsOfOneAfterAnother) {
  std::vector<std::pair<std::string, sela::DepositFiniteKernel>> copies{{"none", sela::depositFiniteNone}};
#if defined(__x86_64__)
  if (sela::avx512FamilySupported()) copies.emplace_back("avx512", sela::depositFiniteAvx512);
#endif
  std::mt19937_64 rng(4711);
  const auto inFields = [&](size_t n, int lowField, int highField) {
    std::vector<double> x(n);
    for (auto& v : x) {
      const auto field = static_cast<uint64_t>(lowField + static_cast<int>(rng() % (highField - lowField + 1)));
      v = std::bit_cast<double>((rng() & 0x800FFFFFFFFFFFFFULL) | (field << 52));
    }
    // Both ends of the range present (where there are two elements), so the window is
    // exactly what was asked for.
    const size_t i = rng() % n;
    const size_t j = n < 2 ? i : (i + 1 + rng() % (n - 1)) % n;
    x[i] = std::bit_cast<double>(static_cast<uint64_t>(lowField) << 52 | (rng() & 0x800FFFFFFFFFFFFFULL));
    x[j] = std::bit_cast<double>(static_cast<uint64_t>(highField) << 52 | (rng() & 0x800FFFFFFFFFFFFFULL));
    return x;
  };
  const int w = sela::kDepositWindow;
  std::vector<size_t> lengths;
  for (size_t n = 1; n <= 70; ++n) lengths.push_back(n);
  for (size_t n : {255u, 1000u, 2047u}) lengths.push_back(n);
  for (size_t n : lengths) {
    const int g = static_cast<int>(rng() % 59);  // the window's first limb index (up to 63 - 4)
    std::vector<std::vector<double>> cases = {
        inFields(n, 1012, 1022),               // one binade
        inFields(n, 32 * g, 32 * (g + w) - 1), // exactly the window
        inFields(n, 32 * g, 32 * (g + w)),     // one index more
        inFields(n, 0, 32 * w - 1),            // zeros and subnormals at index 0
        inFields(n, 2046 - 32 * w + 32, 2046), // the top binades
        inFields(n, 1, 2046),                  // every binade
    };
    const size_t finite = cases.size();
    for (int k = 0; k < 2; ++k) {
      cases.push_back(k == 0 ? inFields(n, 1012, 1022) : inFields(n, 1, 2046));
      cases.back()[rng() % n] = randomSpecial(rng);
    }
    for (size_t c = 0; c < cases.size(); ++c) {
      const std::vector<double>& x = cases[c];
      // A record with limbs well within the headroom of n more deposits, and its copy
      // deposited one element after another.
      sela::SuperAccumulator start;
      sela::initialize(start);
      start.addsLeft = sela::kAddsAfterInit - 1;
      for (auto& l : start.limbs) l = static_cast<int64_t>(rng() % (int64_t{1} << 52)) - (int64_t{1} << 51);
      sela::SuperAccumulator expected = start;
      for (double v : x) sela::deposit(expected, v);
      for (const auto& [name, kernel] : copies) {
        sela::SuperAccumulator got = start;
        const bool taken = kernel(reinterpret_cast<uint64_t*>(got.limbs), x.data(), static_cast<int64_t>(n));
        const std::string what = name + " n=" + std::to_string(n) + " case " + std::to_string(c);
        if (name == "avx512") {
          EXPECT_EQ(c < finite, taken) << what;
        }
        EXPECT_EQ(0, std::memcmp(taken ? &expected : &start, &got, sizeof got)) << what << (taken ? " taken" : " declined");
      }
    }
  }
}

// The record check's pass over the limbs against a plain loop, every copy: the OR of
// limb + p, bit for bit. Sparse records with limbs at every vector edge and at the tail
// (0, 3, 4, 7, 8, 63, 64, 127, 128, 130), values at the ends of the 64-bit range and
// single bits, a word past the limbs that must not be read.
TEST(AccumulatorLimbPass, EveryCopyGivesTheBitsOfAPlainLoop) {
  std::mt19937_64 rng(2025);
  const uint64_t values[] = {1, ~uint64_t{0}, uint64_t{1} << 63, (uint64_t{1} << 63) - 1, uint64_t{1} << 52,
                             uint64_t{0} - (uint64_t{1} << 52), 0xFFFFFFFF, uint64_t{1} << 32};
  const int edges[] = {0, 1, 3, 4, 7, 8, 63, 64, 65, 120, 127, 128, 129, 130};
  for (int trial = 0; trial < 3000; ++trial) {
    uint64_t limbs[sela::kSuperLimbs + 1] = {};
    const int count = trial % 7 == 0 ? 0 : 1 + static_cast<int>(rng() % 6);
    for (int c = 0; c < count; ++c) {
      const int at = rng() % 2 ? edges[rng() % std::size(edges)] : static_cast<int>(rng() % sela::kSuperLimbs);
      limbs[at] = rng() % 2 ? values[rng() % std::size(values)] : rng() >> (rng() % 64);
    }
    limbs[sela::kSuperLimbs] = ~uint64_t{0};  // past the limbs: never read
    const uint64_t p = trial % 3 == 0 ? 0 : uint64_t{1} << (52 + rng() % 11);
    uint64_t shifted = 0;
    for (int k = 0; k < sela::kSuperLimbs; ++k) shifted |= limbs[k] + p;
    for (const auto& [name, kernel] : limbPassCopies()) EXPECT_EQ(shifted, kernel(limbs, p)) << name << " " << trial;
    // The survey: the same OR, and the limbs in use found from both ends.
    int64_t lowest = -1, highest = -1;
    for (int k = 0; k < sela::kSuperLimbs; ++k) {
      if (limbs[k] == 0) continue;
      if (lowest < 0) lowest = k;
      highest = k;
    }
    for (const auto& [name, kernel] : surveyCopies()) {
      const sela::LimbSurvey s = kernel(limbs, p);
      EXPECT_EQ(shifted, s.shiftedOr) << name << " " << trial;
      EXPECT_EQ(lowest, s.lowest) << name << " " << trial;
      EXPECT_EQ(highest, s.highest) << name << " " << trial;
    }
  }
}

TEST(Accumulator, ChunksAroundTheCountdownAndThePathThresholds) {
  // Chunk lengths at the countdown (2046, 2047, 2048) and at each arrangement's threshold,
  // added one after another so that every arrangement starts with the countdown at many
  // different values.
  std::mt19937_64 rng(2047);
  const size_t lengths[] = {1, 15, 16, 17, 255, 256, 257, 2045, 2046, 2047, 2048, 2049, 8184, 8185, 8192};
  const auto x = testutil::wideRange(rng, 60000, -1074, 1023);
  const auto y = testutil::wideRange(rng, 60000, -560, 560);
  for (int trial = 0; trial < 6; ++trial) {
    sela_accumulator s = fresh(), d = fresh();
    size_t used = 0;
    while (used < x.size()) {
      const size_t len = std::min(x.size() - used, lengths[rng() % std::size(lengths)]);
      ASSERT_EQ(0, sela_accumulator_add(&s, x.data() + used, len));
      ASSERT_EQ(0, sela_accumulator_add_products(&d, x.data() + used, y.data() + used, len));
      used += len;
      const sela::SuperAccumulator inner = internals(s);
      ASSERT_TRUE(inner.addsLeft >= 0 && inner.addsLeft <= 2047);
    }
    EXPECT_TRUE(SameBits(oracle::exactSum(x), sela_accumulator_round(&s))) << trial;
    EXPECT_TRUE(SameBits(sela_dot_exact(x.data(), y.data(), x.size()), sela_accumulator_round(&d))) << trial;
  }
}

TEST(Accumulator, SpecialValuesInRandomChunkingsAndTrees) {
  std::mt19937_64 rng(777);
  for (int trial = 0; trial < 40; ++trial) {
    const size_t n = 1 + rng() % 20000;
    auto x = trial % 2 ? testutil::uniform(rng, n) : testutil::wideRange(rng, n, 990, 1023);
    const int specials = static_cast<int>(rng() % 5);
    for (int k = 0; k < specials; ++k) x[rng() % n] = randomSpecial(rng);
    expectChunkingsAgree(rng, x, "trial " + std::to_string(trial));
  }
}

TEST(Accumulator, ProductsInRandomChunkingsMatchTheWholeDot) {
  std::mt19937_64 rng(31);
  for (int trial = 0; trial < 24; ++trial) {
    const size_t n = 1 + rng() % 9000;
    // Full range (products overflowing and under the floor), the floor region, specials.
    auto x = trial % 3 == 0 ? testutil::wideRange(rng, n, -1074, 1023) : testutil::wideRange(rng, n, -560, -480);
    auto y = trial % 3 == 0 ? testutil::wideRange(rng, n, -1074, 1023) : testutil::wideRange(rng, n, -560, -480);
    if (trial % 4 == 1) {
      x[rng() % n] = randomSpecial(rng);
      y[rng() % n] = 0.0;
    }
    const auto cuts = randomCuts(rng, n, 300);
    sela_accumulator total = fresh();
    for (size_t k = 0; k + 1 < cuts.size(); ++k) {
      sela_accumulator part = fresh();
      ASSERT_EQ(0, sela_accumulator_add_products(&part, x.data() + cuts[k], y.data() + cuts[k], cuts[k + 1] - cuts[k]));
      if (rng() % 2) {
        ASSERT_EQ(0, sela_accumulator_merge(&total, &part));
      } else {
        ASSERT_EQ(0, sela_accumulator_merge(&part, &total));
        total = part;
      }
    }
    EXPECT_TRUE(SameBits(sela_dot_exact(x.data(), y.data(), n), sela_accumulator_round(&total))) << trial;
  }
}

// add, merge and round work on the caller's record in place where they can: the words they
// leave (and the double round returns) must be those of the register route -- copy into a
// register, operate, copy back -- on records of every shape: empty, near the countdown's
// end, limbs up to the top of the register, negative values, side words set.
void expectInPlaceRoutesMatchTheRegister(const std::string& copy) {
  std::mt19937_64 rng(8118);
  std::vector<sela::SuperAccumulator> shapes;
  for (int k = 0; k < 40; ++k) {
    sela::SuperAccumulator s;
    sela::initialize(s);
    const auto x = testutil::wideRange(rng, rng() % 3000, -1074, 1023);
    sela::add(s, x.data(), static_cast<int64_t>(x.size()));
    if (k % 5 == 1) {
      // Limbs up to the top, within the headroom the countdown allows.
      sela::carryPropagate(s);
      s.addsLeft = 2000;
      const int64_t room = int64_t{47} << 52;
      for (int l = 125; l < sela::kSuperLimbs; ++l) s.limbs[l] = static_cast<int64_t>(rng() % room) - room / 2;
    }
    if (k % 5 == 2) s.addsLeft = static_cast<int64_t>(rng() % 20);
    if (k % 7 == 3) s.overflowBits = 0x7FF0000000000000ULL;
    if (k % 11 == 4) s.nanBits = 0x7FF8000000000123ULL;
    if (k % 13 == 5) s.infBits = 0xFFF0000000000000ULL;
    if (k % 5 == 3) {
      sela::carryPropagate(s);  // limbs in [-2^32, 2^32): their negations are valid too
      for (auto& l : s.limbs) l = -l;
    }
    shapes.push_back(s);
  }
  sela::SuperAccumulator empty;
  sela::initialize(empty);
  shapes.push_back(empty);
  for (size_t i = 0; i < shapes.size(); ++i) {
    const sela::SuperAccumulator& s = shapes[i];
    sela::SuperAccumulator roundCopy = s;
    const sela_accumulator asIs = record(s);
    EXPECT_TRUE(SameBits(sela::round(roundCopy), sela_accumulator_round(&asIs))) << copy << " " << i;
    for (size_t n : {0u, 1u, 16u, 19u, 2046u, 2047u}) {
      auto x = rng() % 2 ? testutil::uniform(rng, n) : testutil::wideRange(rng, n, -1074, 1023);
      if (n > 3 && rng() % 3 == 0) x[rng() % n] = randomSpecial(rng);
      sela::SuperAccumulator viaRegister = s;
      sela::add(viaRegister, x.data(), static_cast<int64_t>(n));
      sela_accumulator r = record(s);
      ASSERT_EQ(0, sela_accumulator_add(&r, x.data(), n));
      EXPECT_EQ(0, std::memcmp(&viaRegister, &r, sizeof r)) << copy << " " << i << " add of " << n;
    }
    const sela::SuperAccumulator& o = shapes[rng() % shapes.size()];
    sela::SuperAccumulator merged = s;
    sela::merge(merged, o);
    sela_accumulator r = record(s);
    const sela_accumulator other = record(o);
    ASSERT_EQ(0, sela_accumulator_merge(&r, &other));
    EXPECT_EQ(0, std::memcmp(&merged, &r, sizeof r)) << copy << " " << i << " merge";
    // The register route copies both records, so the record merged with itself is
    // merged with a copy of itself.
    sela::SuperAccumulator doubled = s;
    sela::merge(doubled, s);
    sela_accumulator self = record(s);
    ASSERT_EQ(0, sela_accumulator_merge(&self, &self));
    EXPECT_EQ(0, std::memcmp(&doubled, &self, sizeof self)) << copy << " " << i << " merge with itself";
  }
}

// Every copy of the pass over the record's limbs the processor runs, in turn.
TEST(Accumulator, InPlaceOperationsLeaveTheRegisterRoutesWords) {
  const sela::LimbsShiftedOrKernel chosen = sela::limbsShiftedOrImpl.get();
  const sela::LimbsMergeKernel chosenMerge = sela::limbsMergeImpl.get();
  const sela::LimbsSurveyKernel chosenSurvey = sela::limbsSurveyImpl.get();
  const auto merges = mergePassCopies();
  const auto surveys = surveyCopies();
  size_t m = 0;
  for (const auto& [name, kernel] : limbPassCopies()) {
    sela::limbsShiftedOrImpl.store(kernel);
    sela::limbsMergeImpl.store(merges[m].second);
    sela::limbsSurveyImpl.store(surveys[m].second);
    expectInPlaceRoutesMatchTheRegister(name + " / merge and survey " + merges[m].first);
    m = (m + 1) % merges.size();
  }
  sela::limbsSurveyImpl.store(chosenSurvey);
  // The merge copies beside the chosen check too.
  sela::limbsShiftedOrImpl.store(chosen);
  for (const auto& [name, kernel] : merges) {
    sela::limbsMergeImpl.store(kernel);
    expectInPlaceRoutesMatchTheRegister("merge " + name);
  }
  sela::limbsMergeImpl.store(chosenMerge);
}

TEST(Accumulator, RecordsOutsideTheInvariantsAreRejected) {
  const double x[] = {1.0, -3.5};
  sela_accumulator a = fresh();
  ASSERT_EQ(0, sela_accumulator_add(&a, x, 2));
  const sela::SuperAccumulator good = internals(a);
  std::vector<std::pair<std::string, sela::SuperAccumulator>> bad;
  auto corrupt = [&](const std::string& what, auto change) {
    sela::SuperAccumulator s = good;
    change(s);
    bad.emplace_back(what, s);
  };
  corrupt("limb beyond the headroom used", [](auto& s) { s.limbs[40] = int64_t{3} << 52; });
  corrupt("negative limb beyond it", [](auto& s) { s.limbs[0] = -(int64_t{3} << 52) - 1; });
  corrupt("limb of -2^63", [](auto& s) { s.limbs[7] = std::numeric_limits<int64_t>::min(); });
  corrupt("fresh countdown with a limb", [](auto& s) {
    s.addsLeft = 2047;
    s.limbs[3] = 1;
  });
  corrupt("countdown 2048", [](auto& s) { s.addsLeft = 2048; });
  corrupt("NaN word with its sign set", [](auto& s) { s.nanBits = 0xFFF8000000000001ULL; });
  corrupt("NaN word holding an infinity", [](auto& s) { s.nanBits = 0x7FF0000000000000ULL; });
  corrupt("NaN word holding a number", [](auto& s) { s.nanBits = 0x3FF0000000000000ULL; });
  corrupt("infinity word holding a number", [](auto& s) { s.infBits = 0x3FF0000000000000ULL; });
  corrupt("overflow word holding a number", [](auto& s) { s.overflowBits = 1; });
  corrupt("next major version", [](auto& s) { s.format += 1; });
  for (const auto& [what, s] : bad) {
    sela_accumulator r = record(s);
    EXPECT_EQ(-1, sela_accumulator_add(&r, x, 2)) << what;
    EXPECT_EQ(-1, sela_accumulator_merge(&a, &r)) << what;
    EXPECT_TRUE(std::isnan(sela_accumulator_round(&r))) << what;
  }
}

TEST(Accumulator, TheLimbCheckIsExactAtEveryEdgeOfTheHeadroom) {
  // A record whose countdown says k deposits were made holds limbs in [-b, b), b = k 2^52.
  // The check settles most records by a cheaper test against the largest power of two P
  // not above b; limbs between P and b must still be accepted, and every limb outside
  // [-b, b) rejected, by add, merge and round alike.
  const double x[] = {1.5};
  const sela::LimbsShiftedOrKernel chosen = sela::limbsShiftedOrImpl.get();
  const sela::LimbsSurveyKernel chosenSurvey = sela::limbsSurveyImpl.get();
  const sela::LimbsMergeKernel chosenMerge = sela::limbsMergeImpl.get();
  const auto surveys = surveyCopies();
  const auto merges = mergePassCopies();
  size_t m = 0;
  for (const auto& [name, kernel] : limbPassCopies()) {
    sela::limbsShiftedOrImpl.store(kernel);
    sela::limbsSurveyImpl.store(surveys[m].second);
    sela::limbsMergeImpl.store(merges[m].second);
    ++m;
    for (int64_t k : {1, 2, 3, 5, 16, 17, 100, 1024, 1025, 2046, 2047}) {
      const int64_t b = k << 52;
      const int64_t p = int64_t{1} << (63 - std::countl_zero(static_cast<uint64_t>(b)));
      for (int64_t v : {b - 1, -b, p, p - 1, -p - 1, b, -b - 1, b + (int64_t{1} << 40), -b - (int64_t{1} << 40)}) {
        for (int limb : {0, 63, 64, 65, 127, 128, 130}) {
          sela::SuperAccumulator s;
          sela::initialize(s);
          s.addsLeft = sela::kAddsAfterInit - k;
          s.limbs[limb] = v;
          s.limbs[limb == 0 ? 1 : limb - 1] = 7;
          const bool valid = v >= -b && v < b;
          const std::string what =
              name + " " + std::to_string(k) + " " + std::to_string(v) + " at " + std::to_string(limb);
          sela_accumulator r = record(s);
          sela::SuperAccumulator copy = s;
          const double rounded = sela_accumulator_round(&r);
          if (valid) {
            EXPECT_TRUE(SameBits(sela::round(copy), rounded)) << what;
          } else {
            EXPECT_TRUE(SameBits(std::bit_cast<double>(0x7FF8000000000000ULL), rounded)) << what;
          }
          const sela_accumulator before = r;
          EXPECT_EQ(valid ? 0 : -1, sela_accumulator_add(&r, x, 1)) << what;
          if (!valid) {
            EXPECT_EQ(0, std::memcmp(&before, &r, sizeof r)) << what;
          }
          sela_accumulator g = fresh();
          EXPECT_EQ(valid ? 0 : -1, sela_accumulator_merge(&g, &before)) << what;
          if (!valid) {
            EXPECT_EQ(-1, sela_accumulator_merge(&r, &g)) << what;
            EXPECT_EQ(0, std::memcmp(&before, &r, sizeof r)) << what;
          }
        }
      }
    }
  }
  sela::limbsShiftedOrImpl.store(chosen);
  sela::limbsSurveyImpl.store(chosenSurvey);
  sela::limbsMergeImpl.store(chosenMerge);
}

TEST(Accumulator, RecordsAtTheEdgeOfTheHeadroomStayExact) {
  // A record whose limbs use all the headroom its countdown allows, in either direction,
  // is valid; adding to it and merging it must never overflow a limb (UBSan watches) and
  // must keep its value exact. Limb k holds +-(A - 1) or -A, A = (2047 - left) * 2^52, at
  // weight 2^(32k - 1075): two doubles each for the oracle.
  std::mt19937_64 rng(63);
  for (int sign : {1, -1}) {
    for (int64_t left : {0, 1, 1000, 2046}) {
      sela::SuperAccumulator s;
      sela::initialize(s);
      s.addsLeft = left;
      const int64_t a = (2047 - left) << 52;
      std::vector<double> expected;
      for (int k = 1; k <= 40; ++k) {
        s.limbs[k] = sign > 0 ? a - 1 : -a;
        expected.push_back(sign * std::ldexp(static_cast<double>(a), 32 * k - 1075));
        if (sign > 0) expected.push_back(-pow2(32 * k - 1075));
      }
      sela_accumulator r = record(s);
      const auto more = testutil::wideRange(rng, 5000, -1074, 200);
      ASSERT_EQ(0, sela_accumulator_add(&r, more.data(), more.size()));
      ASSERT_EQ(0, sela_accumulator_add(&r, more.data(), 100));
      ASSERT_EQ(0, sela_accumulator_merge(&r, &r));
      expected.insert(expected.end(), more.begin(), more.end());
      expected.insert(expected.end(), more.begin(), more.begin() + 100);
      expected.insert(expected.end(), expected.begin(), expected.end());
      EXPECT_TRUE(SameBits(oracle::exactSum(expected), sela_accumulator_round(&r))) << sign << " " << left;
    }
  }
}

TEST(Accumulator, RecordTravelsThroughAPipeToAChild) {
  std::mt19937_64 rng(1234);
  const auto x = testutil::wideRange(rng, 30000, -1074, 1000);
  const size_t half = 12345;
  sela_accumulator parentPart = fresh();
  ASSERT_EQ(0, sela_accumulator_add(&parentPart, x.data(), half));
  int toChild[2], toParent[2];
  ASSERT_EQ(0, pipe(toChild));
  ASSERT_EQ(0, pipe(toParent));
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The child sums the rest itself, merges the record it receives, and sends back the
    // rounded total.
    sela_accumulator received, own = fresh();
    size_t got = 0;
    while (got < sizeof received) {
      const ssize_t k = read(toChild[0], reinterpret_cast<char*>(&received) + got, sizeof received - got);
      if (k <= 0) _exit(2);
      got += static_cast<size_t>(k);
    }
    if (sela_accumulator_add(&own, x.data() + half, x.size() - half) != 0) _exit(3);
    if (sela_accumulator_merge(&own, &received) != 0) _exit(4);
    const double total = sela_accumulator_round(&own);
    if (write(toParent[1], &total, sizeof total) != sizeof total) _exit(5);
    _exit(0);
  }
  ASSERT_EQ(static_cast<ssize_t>(sizeof parentPart), write(toChild[1], &parentPart, sizeof parentPart));
  double total = 0.0;
  ASSERT_EQ(static_cast<ssize_t>(sizeof total), read(toParent[0], &total, sizeof total));
  int status = 0;
  waitpid(pid, &status, 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(SameBits(oracle::exactSum(x), total));
}

// ---- Merges at every fill level, and records with one bad word ----------------------

namespace {

// Records at the fill levels merge meets, each with the doubles it holds (for the
// oracle): empty, one deposit, the countdown near its end or at 0 (so that merging into
// it normalises it first), a record that used more than a normalisation leaves (merging
// it normalises a copy), a normalised one, negative values, infinities and a NaN.
struct Filled {
  std::string what;
  sela_accumulator record;
  std::vector<double> values;
};

std::vector<Filled> fillLevels(std::mt19937_64& rng) {
  std::vector<Filled> out;
  auto make = [&](const std::string& what, std::vector<double> x) {
    Filled f{what, fresh(), x};
    EXPECT_EQ(0, sela_accumulator_add(&f.record, x.data(), x.size()));
    out.push_back(f);
  };
  make("empty", {});
  make("one deposit", {1.0 + pow2(-52)});
  make("one tiny deposit", {pow2(-1074)});
  make("countdown at 1", testutil::wideRange(rng, 2046, -1074, 1023));
  make("countdown at 0", testutil::wideRange(rng, 2047, -60, 60));
  make("countdown at 0, one binade", testutil::uniform(rng, 2047));
  make("normalised once, 2 left", testutil::wideRange(rng, 4091, -1074, 1023));
  make("normalised by the long route", testutil::wideRange(rng, 10000, -200, 200));
  make("near the top of the range", {kMax, kMax, kMax, -pow2(-1074)});
  make("negative", {-kMax, -1.0, -pow2(-1074)});
  make("cancelling to zero", {3.0, -3.0});
  make("an infinity", {1.0, kInf});
  make("the other infinity", {-kInf, 2.0});
  make("a NaN", {std::bit_cast<double>(0x7FF8000000000ABCULL), 5.0});
  // A value beyond the register (its overflow word set) by doubling.
  Filled beyond{"beyond the register", fresh(), {}};
  const double one[] = {1.0};
  EXPECT_EQ(0, sela_accumulator_add(&beyond.record, one, 1));
  for (int k = 0; k < 3200; ++k) EXPECT_EQ(0, sela_accumulator_merge(&beyond.record, &beyond.record));
  out.push_back(beyond);
  return out;
}

}  // namespace

// Every pair of fill levels merged both ways and each merged with itself: the words are
// those of the register route (merge of copies), and the rounding is the exact sum of
// everything the two records hold (the oracle), or the special value it gives.
TEST(AccumulatorMerge, EveryPairOfFillLevelsMatchesTheRegisterAndTheOracle) {
  std::mt19937_64 rng(31);
  const auto levels = fillLevels(rng);
  for (const auto& a : levels) {
    for (const auto& b : levels) {
      const bool selfMerge = &a == &b;
      sela::SuperAccumulator viaRegister = internals(a.record);
      sela::merge(viaRegister, internals(b.record));
      sela_accumulator r = a.record;
      ASSERT_EQ(0, selfMerge ? sela_accumulator_merge(&r, &r) : sela_accumulator_merge(&r, &b.record));
      EXPECT_EQ(0, std::memcmp(&viaRegister, &r, sizeof r)) << a.what << " + " << b.what;
      if (a.what == "beyond the register" || b.what == "beyond the register") continue;
      std::vector<double> all = a.values;
      all.insert(all.end(), b.values.begin(), b.values.end());
      EXPECT_TRUE(SameBits(sela_sum_exact(all.data(), all.size()), sela_accumulator_round(&r)))
          << a.what << " + " << b.what;
      bool special = false;
      for (double v : all) special = special || !std::isfinite(v);
      if (!special) {
        EXPECT_TRUE(SameBits(oracle::exactSum(all), sela_accumulator_round(&r))) << a.what << " + " << b.what;
      }
    }
  }
}

// Chains of merges of records filled in place (a few to 2046 values each), most of which
// find the total with fewer deposits left than the part has used, so the total is
// normalised in place first: over limbs in use at the bottom of the register (subnormal
// data), at its top (the largest binades), spread over many limbs, negative, and none at
// all (parts that cancel to zero). Every merge leaves the words of the register route
// (merge on copies), with each copy of the survey pass the processor runs, and the total
// rounds as the oracle rounds all values.
TEST(AccumulatorMerge, ChainsOfMergesThatNormaliseMatchTheRegisterAndTheOracle) {
  const sela::LimbsSurveyKernel chosen = sela::limbsSurveyImpl.get();
  std::mt19937_64 rng(2718);
  const auto part = [&](size_t n) -> std::vector<double> {
    switch (rng() % 6) {
      case 0: return testutil::uniform(rng, n);
      case 1: return testutil::wideRange(rng, n, -1074, -1000);
      case 2: return testutil::wideRange(rng, n, 960, 1023);
      case 3: {
        auto x = testutil::wideRange(rng, n, -300, 300);
        for (auto& v : x) v = -std::fabs(v);
        return x;
      }
      case 4: {
        auto x = testutil::wideRange(rng, (n + 1) / 2, -1074, 1023);
        for (size_t i = 0, m = x.size(); i < m && x.size() < n; ++i) x.push_back(-x[i]);
        return x;
      }
      default: return testutil::wideRange(rng, n, -1074, 1023);
    }
  };
  for (const auto& [name, kernel] : surveyCopies()) {
    sela::limbsSurveyImpl.store(kernel);
    int normalised = 0;
    for (int trial = 0; trial < 40; ++trial) {
      sela_accumulator total = fresh();
      sela::SuperAccumulator viaRegister = internals(total);
      std::vector<double> all;
      for (int m = 0; m < 12; ++m) {
        const auto x = part(rng() % 4 == 0 ? 1 + rng() % 50 : 1000 + rng() % 1047);
        sela_accumulator p = fresh();
        ASSERT_EQ(0, sela_accumulator_add(&p, x.data(), x.size()));
        normalised += internals(total).addsLeft < sela::kAddsAfterInit - internals(p).addsLeft;
        sela::merge(viaRegister, internals(p));
        ASSERT_EQ(0, sela_accumulator_merge(&total, &p));
        ASSERT_EQ(0, std::memcmp(&viaRegister, &total, sizeof total)) << name << " " << trial << " " << m;
        all.insert(all.end(), x.begin(), x.end());
      }
      EXPECT_TRUE(SameBits(oracle::exactSum(all), sela_accumulator_round(&total))) << name << " " << trial;
    }
    EXPECT_GT(normalised, 200) << name;
  }
  sela::limbsSurveyImpl.store(chosen);
}

// Adds at every fill level, across the countdown's end (where add normalises the record
// once, or, for 2047 values into a record with none left, twice): the words of the
// register route (addEach on a copy), and the oracle's rounding.
TEST(AccumulatorMerge, AddsAtEveryFillLevelMatchTheRegisterAndTheOracle) {
  std::mt19937_64 rng(37);
  for (const auto& level : fillLevels(rng)) {
    for (size_t n : {1u, 2u, 16u, 1000u, 2045u, 2046u, 2047u}) {
      const auto x = testutil::wideRange(rng, n, -1074, 1000);
      sela::SuperAccumulator viaRegister = internals(level.record);
      sela::addEach(viaRegister, x.data(), static_cast<int64_t>(n));
      sela_accumulator r = level.record;
      ASSERT_EQ(0, sela_accumulator_add(&r, x.data(), n));
      EXPECT_EQ(0, std::memcmp(&viaRegister, &r, sizeof r)) << level.what << " + " << n;
      if (level.what == "beyond the register") continue;
      std::vector<double> all = level.values;
      all.insert(all.end(), x.begin(), x.end());
      EXPECT_TRUE(SameBits(sela_sum_exact(all.data(), all.size()), sela_accumulator_round(&r))) << level.what;
    }
  }
}

// One bad word at every position of records at every fill level: a limb outside the
// headroom its countdown allows (-2^63 is outside any), a countdown outside [0, 2047], a
// format word of another version, side words of the wrong shape. Each record is rejected
// by add, merge (either side, and with itself) and round, and is left byte for byte as it
// was; so is a valid record it is merged into.
TEST(AccumulatorMerge, OneBadWordAtEveryPositionIsRejectedAndNothingIsWritten) {
  std::mt19937_64 rng(5);
  const auto levels = fillLevels(rng);
  const double x[] = {1.0, -0.25};
  for (const auto& level : levels) {
    const sela::SuperAccumulator s = internals(level.record);
    const uint64_t room = static_cast<uint64_t>(sela::kAddsAfterInit - s.addsLeft) << 52;
    for (int word = 0; word < sela::kAccumulatorWords; ++word) {
      std::vector<uint64_t> badValues;
      if (word == 0) {
        badValues = {sela::kAccumulatorFormat + 1, 0, sela::kAccumulatorFormat ^ (uint64_t{1} << 63)};
      } else if (word == 1) {
        badValues = {2048, ~uint64_t{0}, uint64_t{1} << 63};
      } else if (word < 2 + sela::kSuperLimbs) {
        badValues = {uint64_t{1} << 63, room, uint64_t{0} - room - 1};
        if (room == 0) badValues = {uint64_t{1} << 63, 1, ~uint64_t{0}};
      } else if (word == 2 + sela::kSuperLimbs + 1) {  // nanBits
        badValues = {0xFFF8000000000001ULL, 0x7FF0000000000000ULL, 0x3FF0000000000000ULL};
      } else {  // infBits, overflowBits
        badValues = {0x3FF0000000000000ULL, 1, 0x7FEFFFFFFFFFFFFFULL};
      }
      for (uint64_t v : badValues) {
        sela_accumulator bad = level.record;
        bad.opaque[word] = v;
        const std::string what = level.what + ", word " + std::to_string(word) + " = " + std::to_string(v);
        const sela_accumulator before = bad;
        EXPECT_EQ(-1, sela_accumulator_add(&bad, x, 2)) << what;
        EXPECT_EQ(-1, sela_accumulator_merge(&bad, &level.record)) << what;
        EXPECT_EQ(-1, sela_accumulator_merge(&bad, &bad)) << what;
        EXPECT_TRUE(SameBits(std::bit_cast<double>(0x7FF8000000000000ULL), sela_accumulator_round(&bad))) << what;
        EXPECT_EQ(0, std::memcmp(&before, &bad, sizeof bad)) << what;
        for (const auto& target : levels) {
          sela_accumulator t = target.record;
          EXPECT_EQ(-1, sela_accumulator_merge(&t, &bad)) << what << " into " << target.what;
          EXPECT_EQ(0, std::memcmp(&target.record, &t, sizeof t)) << what << " into " << target.what;
        }
      }
    }
  }
}

// ---- Values beyond the register ----------------------------------------------------------
//
// Merging a record into itself doubles its value; some three thousand doublings carry it
// beyond the register (2^3117). The record then rounds as sela_sum_exact rounds finite
// data beyond the double range, to the infinity of its sign, whatever the count, and it
// stays a valid record that can go on being used.

TEST(AccumulatorBeyondTheRegister, DoublingRoundsToTheExactValueAtEveryCount) {
  for (double x : {1.0, -1.0, 1e308, -kMax, pow2(-1074), -1.5 * pow2(-1000)}) {
    sela_accumulator r = fresh();
    ASSERT_EQ(0, sela_accumulator_add(&r, &x, 1));
    for (int k = 1; k <= 3200; ++k) {
      ASSERT_EQ(0, sela_accumulator_merge(&r, &r)) << x << " " << k;
      // x * 2^k exactly, which ldexp also rounds to the infinity of its sign beyond DBL_MAX.
      ASSERT_TRUE(SameBits(std::ldexp(x, k), sela_accumulator_round(&r))) << x << " doubled " << k << " times";
      ASSERT_EQ(0, sela_accumulator_add(&r, nullptr, 0)) << "the record stays valid";
      if (k <= 12) {
        // The same value as 2^k copies of x, summed exactly.
        const std::vector<double> copies(size_t{1} << k, x);
        ASSERT_TRUE(SameBits(sela_sum_exact(copies.data(), copies.size()), sela_accumulator_round(&r))) << k;
      }
    }
  }
}

TEST(AccumulatorBeyondTheRegister, AnOverflowedRecordGoesOnAddingMergingAndRounding) {
  // x doubled `times` times, then 3000 zeros added one deposit at a time: the countdown
  // runs out among them, and the record's own carry propagation meets its value.
  auto doubled = [](double x, int times) {
    sela_accumulator r = fresh();
    EXPECT_EQ(0, sela_accumulator_add(&r, &x, 1));
    for (int k = 0; k < times; ++k) EXPECT_EQ(0, sela_accumulator_merge(&r, &r));
    const std::vector<double> zeros(1000, 0.0);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(0, sela_accumulator_add(&r, zeros.data(), zeros.size()));
    return r;
  };
  std::mt19937_64 rng(8);
  const auto more = testutil::wideRange(rng, 5000, -1074, 1023);
  for (int times : {3117, 3118, 3150}) {
    sela_accumulator up = doubled(1.0, times), down = doubled(-1.0, times);
    // Finite additions and merges, of either sign, cannot bring it back into range.
    const std::vector<double> against(3000, -kMax);
    ASSERT_EQ(0, sela_accumulator_add(&up, against.data(), against.size()));
    ASSERT_EQ(0, sela_accumulator_add(&up, more.data(), more.size()));
    ASSERT_EQ(0, sela_accumulator_add(&down, more.data(), more.size()));
    EXPECT_TRUE(SameBits(kInf, sela_accumulator_round(&up))) << times;
    EXPECT_TRUE(SameBits(-kInf, sela_accumulator_round(&down))) << times;
    sela_accumulator other = fresh();
    ASSERT_EQ(0, sela_accumulator_add(&other, more.data(), more.size()));
    ASSERT_EQ(0, sela_accumulator_merge(&other, &up));  // either order of merging
    EXPECT_TRUE(SameBits(kInf, sela_accumulator_round(&other)));
    ASSERT_EQ(0, sela_accumulator_merge(&other, &other));
    EXPECT_TRUE(SameBits(kInf, sela_accumulator_round(&other)));
    // Beyond the register with one sign, beyond it or in its top limb with the other: the
    // value is lost, a NaN, as +inf and -inf give.
    sela_accumulator both = up;
    ASSERT_EQ(0, sela_accumulator_merge(&both, &down));
    EXPECT_TRUE(std::isnan(sela_accumulator_round(&both))) << times;
    ASSERT_EQ(0, sela_accumulator_add(&both, nullptr, 0));
    // NaNs and infinities in the data still come first, as in sela_sum_exact, where an
    // infinity wins over a finite sum beyond the range of the other sign.
    const double minusInf = -kInf, nan = std::nan("7");
    sela_accumulator withInf = up;
    ASSERT_EQ(0, sela_accumulator_add(&withInf, &minusInf, 1));
    EXPECT_TRUE(SameBits(-kInf, sela_accumulator_round(&withInf)));
    ASSERT_EQ(0, sela_accumulator_add(&withInf, &nan, 1));
    EXPECT_TRUE(SameBits(nan, sela_accumulator_round(&withInf)));
    ASSERT_EQ(0, sela_accumulator_merge(&both, &withInf));
    EXPECT_TRUE(SameBits(nan, sela_accumulator_round(&both)));
  }
}
