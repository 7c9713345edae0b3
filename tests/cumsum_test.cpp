// Running exact sums against the GMP oracle (every prefix rounded once) and against
// sela_sum_exact of each prefix: data families, prefixes on and next to ties, at the ends
// of the range and among subnormals, special values anywhere, in place, every chunking of
// short series through the accumulator, chunks around the register's countdown, records
// holding any value, and invalid records.
#include <cstring>
#include <limits>

#include "algorithms/cumsum_kernels.h"
#include "kernel_slot.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
const double kSentinel = -1234.5;

std::vector<double> cumsum(const std::vector<double>& x) {
  std::vector<double> out(x.size(), kSentinel);
  sela_cumsum_exact(x.data(), out.data(), x.size());
  return out;
}

::testing::AssertionResult SameSeries(const std::vector<double>& expected, const std::vector<double>& actual) {
  if (expected.size() != actual.size()) return ::testing::AssertionFailure() << "lengths differ";
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto same = SameBits(expected[i], actual[i]);
    if (!same) return ::testing::AssertionFailure() << "at " << i << ": " << same.message();
  }
  return ::testing::AssertionSuccess();
}

// Prefixes on and next to ties: a base value, then steps of half and a quarter of its ulp,
// the smallest subnormal, the base again with either sign, and tiny values that spread the
// data over far more bits than a double-double holds.
std::vector<double> nearTies(std::mt19937_64& rng, size_t n, double base) {
  const int h = std::max(std::ilogb(base) - 53, -1074);
  const double half = std::ldexp(1.0, h);
  const double steps[] = {half, -half, half / 2, pow2(-1074), -pow2(-1074), base, -base, 3 * half};
  std::vector<double> x{base};
  const auto tiny = testutil::wideRange(rng, n, -1074, std::max(h - 60, -1074));
  while (x.size() < n) x.push_back(rng() % 4 == 0 ? tiny[x.size()] : steps[rng() % 8]);
  x.resize(n);
  return x;
}

// The data of the oracle comparisons, with a name for failure messages.
std::vector<std::pair<const char*, std::vector<double>>> families(uint64_t seed, size_t n) {
  std::mt19937_64 rng(seed);
  // Few bits, then ties among wide values: the register must take over the first part.
  std::vector<double> integers(n), singles(n), uniformThenTies = testutil::uniform(rng, n);
  const auto tail = nearTies(rng, n / 2, 1.0);
  std::copy(tail.begin(), tail.end(), uniformThenTies.begin() + static_cast<std::ptrdiff_t>(n - n / 2));
  for (auto& v : integers) v = static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000);
  for (auto& v : singles) v = static_cast<float>(std::ldexp(static_cast<double>(rng() >> 11), -40));
  return {{"uniform", testutil::uniform(rng, n)},
          {"wide", testutil::wideRange(rng, n, -500, 500)},
          {"full range", testutil::wideRange(rng, n, -1074, 1000)},
          {"subnormal", testutil::wideRange(rng, n, -1074, -1023)},
          {"cancelling", testutil::cancelling(rng, n)},
          {"cancelling wide", testutil::cancelling(rng, n, -900, 900)},
          {"cond 1e32", testutil::genSum(rng, n, 1e32)},
          {"integers", integers},
          {"float32", singles},
          {"uniform then ties", uniformThenTies},
          {"ties at 1", nearTies(rng, n, 1.0)},
          {"ties at 2^100", nearTies(rng, n, 0x1.8p100)},
          {"ties at DBL_MAX", nearTies(rng, n, kMax)},
          {"ties at -2^-1022", nearTies(rng, n, -0x1p-1022)},
          {"ties at a subnormal", nearTies(rng, n, 0x1.8p-1060)}};
}

TEST(Cumsum, EveryPrefixIsTheExactSumRoundedOnce) {
  for (const size_t n : {size_t{1}, size_t{2}, size_t{63}, size_t{64}, size_t{65}, size_t{3000}}) {
    for (const auto& [name, x] : families(n, n)) {
      EXPECT_TRUE(SameSeries(oracle::exactRunningSums(x.data(), static_cast<int64_t>(n)), cumsum(x)))
          << name << ", n = " << n;
    }
  }
  std::mt19937_64 rng(7);
  const auto longer = testutil::cancelling(rng, 300000, -20, 60);
  EXPECT_TRUE(SameSeries(oracle::exactRunningSums(longer.data(), 300000), cumsum(longer)));
  // Beyond the range and back: every prefix from the register.
  std::vector<double> over(3000, 0x1.fp1022);
  for (size_t i = 1500; i < 3000; ++i) over[i] = -over[i];
  EXPECT_TRUE(SameSeries(oracle::exactRunningSums(over.data(), 3000), cumsum(over)));
  // At the threshold of overflow, DBL_MAX + 2^970, from which the smallest step down
  // rounds to DBL_MAX: the running value restarts there, beyond the range, after a span.
  std::vector<double> edge(1400, 0.0);
  edge[0] = kMax;
  edge[1] = pow2(970);
  edge[1030] = -pow2(-1074);
  edge[1100] = pow2(-1074);
  edge[1200] = -pow2(971);
  edge[1300] = pow2(972);
  EXPECT_TRUE(SameSeries(oracle::exactRunningSums(edge.data(), 1400), cumsum(edge)));
}

TEST(Cumsum, NamedCases) {
  const std::vector<std::pair<std::vector<double>, std::vector<double>>> cases = {
      // The last two elements are absorbed by 2^62, and their sum 512 + 2^-52 is no double:
      // the prefix lies 2^-52 above a tie.
      {{pow2(62), 511, 1 + pow2(-52)}, {pow2(62), pow2(62), pow2(62) + 1024}},
      {{1, pow2(-53), pow2(-1074)}, {1, 1, 1 + pow2(-52)}},
      {{-0.0, -0.0, 2.5, -2.5}, {0.0, 0.0, 2.5, 0.0}},
      {{kMax, pow2(970), -pow2(-1074), kMax, -kMax}, {kMax, kInf, kMax, kInf, kMax}},
      {{pow2(1000), pow2(-1074), -pow2(1000)}, {pow2(1000), pow2(1000), pow2(-1074)}},
      {{pow2(-1022), -pow2(-1074)}, {pow2(-1022), pow2(-1022) - pow2(-1074)}},
      {{kInf, 1, -kInf, 1}, {kInf, kInf, -kInf + kInf, -kInf + kInf}}};
  for (const auto& [x, expected] : cases) {
    const auto out = cumsum(x);
    for (size_t i = 0; i < x.size(); ++i) {
      // +inf and -inf together: the platform's NaN of inf - inf, as the exact sum gives it.
      const double want = std::isnan(expected[i]) ? sela_sum_exact(x.data(), i + 1) : expected[i];
      EXPECT_TRUE(std::isnan(want) == std::isnan(expected[i]) && SameBits(want, out[i])) << i;
    }
  }
}

TEST(Cumsum, SpecialValuesAnywhere) {
  std::mt19937_64 rng(11);
  const double specials[] = {kInf, -kInf, std::bit_cast<double>(0x7FF8000000000001ULL),
                             std::bit_cast<double>(0xFFF0000000000123ULL), std::bit_cast<double>(0x7FF4000000000000ULL)};
  for (const size_t n : {size_t{1}, size_t{64}, size_t{200}, size_t{2100}}) {
    for (int trial = 0; trial < 6; ++trial) {
      auto x = trial % 2 == 0 ? testutil::wideRange(rng, n, -60, 60) : nearTies(rng, n, 1.0);
      for (int k = 0; k < 1 + trial / 2; ++k) x[k == 0 ? (trial * 37) % n : rng() % n] = specials[rng() % 5];
      const auto out = cumsum(x);
      for (size_t i = 0; i < n; ++i) ASSERT_TRUE(SameBits(sela_sum_exact(x.data(), i + 1), out[i])) << i;
    }
  }
}

TEST(Cumsum, InPlaceGivesTheSameBits) {
  for (const size_t n : {size_t{1}, size_t{65}, size_t{128}, size_t{5000}}) {
    for (auto& [name, x] : families(100 + n, n)) {
      const auto expected = cumsum(x);
      auto y = x;
      sela_cumsum_exact(x.data(), x.data(), n);
      EXPECT_TRUE(SameSeries(expected, x)) << name << ", n = " << n;
      // The accumulator in place, in two chunks: the record must carry the first one.
      sela_accumulator acc;
      sela_accumulator_init(&acc);
      ASSERT_EQ(0, sela_accumulator_cumsum(&acc, y.data(), y.data(), n / 2));
      ASSERT_EQ(0, sela_accumulator_cumsum(&acc, y.data() + n / 2, y.data() + n / 2, n - n / 2));
      EXPECT_TRUE(SameSeries(expected, y)) << name << ", n = " << n;
    }
  }
}

// Runs x through records cut at the given positions; the outputs and the final record.
std::vector<double> chunked(sela_accumulator& acc, const std::vector<double>& x, const std::vector<size_t>& cuts) {
  std::vector<double> out(x.size(), kSentinel);
  for (size_t k = 0; k + 1 < cuts.size(); ++k) {
    EXPECT_EQ(0, sela_accumulator_cumsum(&acc, x.data() + cuts[k], out.data() + cuts[k], cuts[k + 1] - cuts[k]));
  }
  return out;
}

TEST(AccumulatorCumsum, EveryChunkingOfShortSeries) {
  std::mt19937_64 rng(5);
  const size_t n = 9;
  auto special = testutil::wideRange(rng, n, -30, 30);
  special[4] = kInf;
  for (const auto& x : {nearTies(rng, n, 1.0), nearTies(rng, n, kMax), testutil::cancelling(rng, n), special}) {
    const auto whole = cumsum(x);
    for (uint32_t mask = 0; mask < (1u << (n - 1)); ++mask) {
      std::vector<size_t> cuts{0};
      for (size_t i = 1; i < n; ++i)
        if ((mask >> (i - 1)) & 1) cuts.push_back(i);
      cuts.push_back(n);
      sela_accumulator acc;
      sela_accumulator_init(&acc);
      ASSERT_TRUE(SameSeries(whole, chunked(acc, x, cuts))) << "cuts " << mask;
      ASSERT_TRUE(SameBits(sela_sum_exact(x.data(), n), sela_accumulator_round(&acc)));
    }
  }
}

TEST(AccumulatorCumsum, ChunksAroundTheCountdown) {
  std::mt19937_64 rng(9);
  for (auto x : {testutil::cancelling(rng, 14000), testutil::uniform(rng, 14000), nearTies(rng, 14000, 3.0)}) {
    // A record that has used part of its countdown already.
    sela_accumulator acc;
    sela_accumulator_init(&acc);
    ASSERT_EQ(0, sela_accumulator_add(&acc, x.data(), 1000));
    std::vector<size_t> cuts{1000};
    for (size_t k = 0; cuts.back() < x.size(); ++k) {
      const size_t lengths[] = {2045, 2046, 2047, 2048, 2049, 1, 4094};
      cuts.push_back(std::min(x.size(), cuts.back() + lengths[k % 7]));
    }
    const auto out = chunked(acc, x, cuts);
    const auto expected = oracle::exactRunningSums(x.data(), static_cast<int64_t>(x.size()));
    for (size_t i = 1000; i < x.size(); ++i) ASSERT_TRUE(SameBits(expected[i], out[i])) << i;
    ASSERT_TRUE(SameBits(expected.back(), sela_accumulator_round(&acc)));
  }
}

TEST(AccumulatorCumsum, ContinuesFromAnyHeldValue) {
  std::mt19937_64 rng(3);
  const double tinyX[] = {pow2(-538), -pow2(-540), 3 * pow2(-600)};
  const double tinyY[] = {pow2(-537), pow2(-535), pow2(-476)};
  const double big[] = {kMax, kMax, 1.5};
  const double nan[] = {std::bit_cast<double>(0x7FF8000000000042ULL)};
  for (int start = 0; start < 5; ++start) {
    for (int family = 0; family < 3; ++family) {
      const size_t n = 300;
      sela_accumulator acc;
      sela_accumulator_init(&acc);
      // Products with bits of 2^-1075, a value beyond the range, a NaN, an exact restart.
      const int added = start == 1   ? sela_accumulator_add_products(&acc, tinyX, tinyY, 3)
                        : start == 2 ? sela_accumulator_add(&acc, big, 3)
                        : start == 3 ? sela_accumulator_add(&acc, nan, 1)
                        : start == 4 ? sela_accumulator_add(&acc, big + 2, 1)
                                     : 0;
      ASSERT_EQ(0, added);
      auto x = family == 0 ? nearTies(rng, n, pow2(-1073)) : family == 1 ? nearTies(rng, n, 1.0)
                                                                          : testutil::uniform(rng, n);
      if (start == 2) x[150] = -kMax;
      const sela_accumulator before = acc;
      std::vector<double> out(n);
      ASSERT_EQ(0, sela_accumulator_cumsum(&acc, x.data(), out.data(), n));
      for (size_t i = 0; i < n; ++i) {
        sela_accumulator ref = before;
        ASSERT_EQ(0, sela_accumulator_add(&ref, x.data(), i + 1));
        ASSERT_TRUE(SameBits(sela_accumulator_round(&ref), out[i])) << "start " << start << ", at " << i;
      }
    }
  }
}

// A record whose value left the register (doubled by merging into itself beyond 2^3117)
// rounds to the infinity of its sign for good, or to a NaN once both signs went beyond
// it; NaNs and infinities in the data still come first. Every prefix as
// sela_accumulator_round gives it, and the record continues as sela_accumulator_add
// leaves it.
TEST(AccumulatorCumsum, RecordsBeyondTheRegister) {
  auto doubled = [](double x, int times) {
    sela_accumulator r;
    sela_accumulator_init(&r);
    EXPECT_EQ(0, sela_accumulator_add(&r, &x, 1));
    for (int k = 0; k < times; ++k) EXPECT_EQ(0, sela_accumulator_merge(&r, &r));
    return r;
  };
  std::mt19937_64 rng(31);
  sela_accumulator both = doubled(1.0, 3117);
  const sela_accumulator down = doubled(-1.0, 3150);
  ASSERT_EQ(0, sela_accumulator_merge(&both, &down));
  const sela_accumulator starts[] = {doubled(1.0, 3117), doubled(-1.0, 3150), both};
  const double expected[] = {kInf, -kInf, std::nan("")};
  for (int k = 0; k < 3; ++k) {
    for (int family = 0; family < 3; ++family) {
      auto x = family == 0 ? testutil::wideRange(rng, 700, -1074, 1023) : testutil::uniform(rng, 700);
      x[10] = k == 0 ? -kMax : kMax;
      if (family == 2) {
        x[300] = -expected[0];  // an infinity against the record's sign
        x[500] = std::bit_cast<double>(0x7FF800000000BEEFULL);
      }
      sela_accumulator acc = starts[k];
      std::vector<double> out(x.size(), kSentinel);
      ASSERT_EQ(0, sela_accumulator_cumsum(&acc, x.data(), out.data(), x.size()));
      for (size_t i = 0; i < x.size(); ++i) {
        sela_accumulator ref = starts[k];
        ASSERT_EQ(0, sela_accumulator_add(&ref, x.data(), i + 1));
        const double want = sela_accumulator_round(&ref);
        ASSERT_TRUE(SameBits(want, out[i])) << "start " << k << ", family " << family << ", at " << i;
        if (family < 2) {
          ASSERT_TRUE(SameBits(expected[k], want) || (std::isnan(expected[k]) && std::isnan(want))) << i;
        }
      }
      // The record goes on: a valid record that still rounds as the last prefix did.
      ASSERT_EQ(0, sela_accumulator_add(&acc, nullptr, 0));
      EXPECT_TRUE(SameBits(out.back(), sela_accumulator_round(&acc))) << "start " << k << ", family " << family;
    }
  }
}

TEST(AccumulatorCumsum, InvalidRecordsAndEmptyCallsChangeNothing) {
  const double x[3] = {1, 2, 3};
  double out[3] = {kSentinel, kSentinel, kSentinel};
  sela_accumulator zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  sela_accumulator corrupt;
  sela_accumulator_init(&corrupt);
  corrupt.opaque[2] = ~uint64_t{0} >> 1;  // a limb beyond any headroom
  for (sela_accumulator* bad : {&zeroed, &corrupt, static_cast<sela_accumulator*>(nullptr)}) {
    sela_accumulator copy{};
    if (bad != nullptr) copy = *bad;
    EXPECT_EQ(-1, sela_accumulator_cumsum(bad, x, out, 3));
    if (bad != nullptr) {
      EXPECT_EQ(0, std::memcmp(&copy, bad, sizeof copy));
    }
    EXPECT_TRUE(out[0] == kSentinel && out[1] == kSentinel && out[2] == kSentinel);
  }
  sela_accumulator acc;
  sela_accumulator_init(&acc);
  const sela_accumulator before = acc;
  EXPECT_EQ(0, sela_accumulator_cumsum(&acc, nullptr, nullptr, 0));
  EXPECT_EQ(0, std::memcmp(&before, &acc, sizeof acc));
  sela_cumsum_exact(nullptr, nullptr, 0);
}

}  // namespace

// The span kernels of both instruction sets on the same spans: the same results, masks,
// pair and maxima, bit for bit (the end-to-end tests run the processor's copy only), and
// each scaled by 2^64 exactly what it is unscaled: the same results and masks, the end
// state 2^64 times as large, on every span it can scale.
TEST(CumsumSpans, BothCopiesAndBothScalesGiveTheSameBits) {
  std::mt19937_64 rng(21);
  using Exact = decltype(&sela::exactSpanSse2);
  using Bound = decltype(&sela::boundSpanSse2);
  std::vector<std::pair<Exact, Bound>> copies{{sela::exactSpanSse2, sela::boundSpanSse2}};
  if (sela::avx2FamilySupported()) copies.emplace_back(sela::exactSpanAvx2, sela::boundSpanAvx2);
  auto same = [](const sela::SpanEnd& a, const sela::SpanEnd& b, double scale, const std::vector<double>& ra,
                 const std::vector<double>& rb) {
    return SameSeries(ra, rb) && SameBits(a.s * scale, b.s) && SameBits(a.c * scale, b.c) &&
           SameBits(a.m * scale, b.m) && SameBits(a.least * scale, b.least) &&
           std::equal(a.undecided, a.undecided + sela::kSpanWords, b.undecided);
  };
  auto small = families(78, sela::kSpan);
  for (auto& [name, x] : small) {
    for (auto& v : x) v = std::ldexp(v, -std::max(0, std::ilogb(v) + 980));  // at most 2^-980
  }
  auto all = families(77, sela::kSpan);
  all.insert(all.end(), small.begin(), small.end());
  int scaledSpans = 0;
  for (const auto& [name, data] : all) {
    for (const int64_t len : {int64_t{1}, int64_t{17}, int64_t{64}, int64_t{333}, sela::kSpan}) {
      auto x = data;
      if (rng() % 3 == 0) x[rng() % static_cast<size_t>(len)] = rng() % 2 ? kInf : std::nan("");
      if (rng() % 2 == 0) x[static_cast<size_t>(len) / 2] = rng() % 2 ? 0.0 : -0.0;
      const double s = x[0] * 0x1p20, c = x[1] * 0x1p-40, b = std::fabs(x[2]) * 0x1p-45 + 0x1p-1000;
      std::vector<double> r1(sela::kSpan), r2(sela::kSpan);
      sela::SpanEnd e1, e2;
      const int64_t whole = len - len % 16;
      const auto [exact, bound] = copies.front();
      EXPECT_EQ(whole, exact(x.data(), len, s, c, false, r1.data(), e1));
      for (const auto& [exact2, bound2] : copies) {
        EXPECT_EQ(whole, exact2(x.data(), len, s, c, false, r2.data(), e2));
        EXPECT_TRUE(same(e1, e2, 1.0, r1, r2)) << name << ", exact, len " << len;
        EXPECT_EQ(whole, exact2(x.data(), len, s * 0x1p64, c * 0x1p64, true, r2.data(), e2));
        EXPECT_TRUE(!e2.scalable || same(e1, e2, 0x1p64, r1, r2)) << name << ", exact scaled, len " << len;
        scaledSpans += e2.scalable;
      }
      EXPECT_EQ(whole, bound(x.data(), len, s, c, b, false, r1.data(), e1));
      for (const auto& [exact2, bound2] : copies) {
        EXPECT_EQ(whole, bound2(x.data(), len, s, c, b, false, r2.data(), e2));
        EXPECT_TRUE(same(e1, e2, 1.0, r1, r2)) << name << ", bound, len " << len;
        EXPECT_EQ(whole, bound2(x.data(), len, s * 0x1p64, c * 0x1p64, b * 0x1p64, true, r2.data(), e2));
        EXPECT_TRUE(!e2.scalable || same(e1, e2, 0x1p64, r1, r2)) << name << ", bound scaled, len " << len;
      }
    }
  }
  EXPECT_GT(scaledSpans, 100);
}
