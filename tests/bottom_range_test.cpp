// Exact sums, dot products and running sums of data at the bottom of the range against
// the GMP oracles (the element operations for special values): subnormal elements,
// products on both sides of the product floor, and the integer arrangements they take.
#include <gmp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

#include "algorithms/cumsum.h"
#include "algorithms/exactengine.h"
#include "kernel_slot.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;
using testutil::wideRange;

namespace {

// Around the passes' blocks (2048), the countdown (2047), the bins' groups of eight, the
// sampled judgements (256, 1024, and between them after the certified pass) and the length
// from which the extraction pass runs alone.
const size_t kLengths[] = {1, 9, 255, 300, 1000, 2047, 2049, 20000, (size_t{1} << 17) + 3};

std::vector<double> subnormals(std::mt19937_64& rng, size_t n) { return wideRange(rng, n, -1074, -1023); }

// v, its negations and `extra`, shuffled: the exact sum is extra.
std::vector<double> cancelling(std::mt19937_64& rng, std::vector<double> v, double extra) {
  const size_t k = v.size();
  for (size_t i = 0; i < k; ++i) v.push_back(-v[i]);
  v.push_back(extra);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

void expectDot(const std::vector<double>& x, const std::vector<double>& y, const std::string& what) {
  const auto n = static_cast<int64_t>(x.size());
  const double expected = oracle::flooredDot(x.data(), y.data(), n);
  ASSERT_TRUE(SameBits(expected, sela_dot_exact(x.data(), y.data(), x.size()))) << what << " n=" << n;
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  ASSERT_TRUE(sela::addProductsBinned(acc, x.data(), y.data(), n));
  ASSERT_TRUE(SameBits(expected, sela::round(acc))) << what << " (bins) n=" << n;
  sela::initialize(acc);
  sela::addProductsAtBottom(acc, x.data(), y.data(), n);
  ASSERT_TRUE(SameBits(expected, sela::round(acc))) << what << " (at the bottom) n=" << n;
}

}  // namespace

TEST(BottomRange, SumsOfSubnormals) {
  std::mt19937_64 rng(1074);
  for (const size_t n : kLengths) {
    auto mixed = subnormals(rng, n);  // a large value every 97 elements
    for (size_t i = 0; i < n; i += 97) mixed[i] = wideRange(rng, 1, -200, 200)[0];
    for (const auto& x : {subnormals(rng, n), mixed, cancelling(rng, subnormals(rng, n / 2), 0.0),
                          cancelling(rng, subnormals(rng, n / 2), -pow2(-1074))}) {
      ASSERT_TRUE(SameBits(oracle::exactSum(x), sela_sum_exact(x.data(), x.size()))) << "n=" << x.size();
    }
  }
}

// Normal elements near the bottom, all of them small (the sampled magnitudes all below
// 2^-945) or of a wider range reaching below 2^-960 (long data then skip the extraction
// pass): each route against the oracle, with cancellations that leave a subnormal sum or
// a tie broken by the smallest subnormal.
TEST(BottomRange, SumsOfSmallNormalElements) {
  std::mt19937_64 rng(945);
  for (const size_t n : kLengths) {
    for (const auto& [lo, hi] : {std::pair{-1000, -950}, std::pair{-985, -980}, std::pair{-1022, -900},
                                 std::pair{-1002, -880}, std::pair{-960, -946}}) {
      const auto small = [&](size_t k) { return wideRange(rng, k, lo, hi); };
      auto tie = cancelling(rng, small(n / 2), pow2(lo) * (1 + pow2(-52)));
      tie.push_back(pow2(lo - 53));  // half an ulp of the value above: a tie
      tie.push_back(pow2(-1074));    // which the smallest subnormal breaks upwards
      for (const auto& x : {small(n), cancelling(rng, small(n / 2), -pow2(-1060)), tie}) {
        const double expected = oracle::exactSum(x);
        ASSERT_TRUE(SameBits(expected, sela_sum_exact(x.data(), x.size()))) << lo << ".." << hi << " n=" << x.size();
        ASSERT_TRUE(SameBits(expected, sela_sum_near(x.data(), x.size()))) << lo << ".." << hi << " n=" << x.size();
      }
    }
  }
}

// Sums of subnormal elements and zeros formed as one integer, short data in bins at the
// bottom, and wider bottom ranges through the five lanes: at the lengths around each
// route's bounds, against the oracle, with the integer sums around 2^52 (the subnormal
// edge) and ties at 2^53 and 2^54 units of 2^-1074, both signs.
const size_t kShortLengths[] = {1, 3, 16, 17, 33, 63, 64, 65, 255, 767, 768, 769, 1023, 2047};

void expectSums(const std::vector<double>& x, const std::string& what) {
  const double expected = oracle::exactSum(x);
  double shortResult = 0.0;
  ASSERT_TRUE(sela::shortExactSum(x.data(), static_cast<int64_t>(x.size()), shortResult)) << what;
  ASSERT_TRUE(SameBits(expected, shortResult)) << what << " (short register)";
  ASSERT_TRUE(SameBits(expected, sela_sum_exact(x.data(), x.size()))) << what;
  // (NearSum returns a single element unchanged, -0.0 included.)
  if (x.size() >= 2) {
    ASSERT_TRUE(SameBits(expected, sela_sum_near(x.data(), x.size()))) << what;
  }
}

TEST(BottomRange, ShortSumsAtTheBottomByRoute) {
  std::mt19937_64 rng(1021);
  const double largest = pow2(-1022) - pow2(-1074);  // 2^52 - 1 units
  for (const size_t n : kShortLengths) {
    const std::string at = " n=" + std::to_string(n);
    auto zeros = subnormals(rng, n);
    for (size_t i = 0; i < n; i += 5) zeros[i] = i % 2 ? 0.0 : -0.0;
    expectSums(zeros, "subnormals and zeros" + at);
    expectSums(std::vector<double>(n, -0.0), "negative zeros" + at);
    for (const double s : {1.0, 4503599627370495.0, 4503599627370496.0, 4503599627370497.0, 9007199254740993.0,
                           9007199254740995.0, 18014398509481986.0}) {
      if (n < 5) break;
      // s units of 2^-1074: up to four largest subnormals and the rest, then pairs that cancel.
      const double q = std::floor(s / 4503599627370495.0);
      std::vector<double> x(static_cast<size_t>(q), largest);
      x.push_back((s - q * 4503599627370495.0) * pow2(-1074));
      while (x.size() + 2 <= n) {
        const double a = subnormals(rng, 1)[0];
        x.insert(x.end(), {a, -a});
      }
      x.resize(n, 0.0);
      std::shuffle(x.begin(), x.end(), rng);
      expectSums(x, "integer sum " + std::to_string(s) + at);
      for (auto& v : x) v = -v;
      expectSums(x, "integer sum -" + std::to_string(s) + at);
    }
    // Narrow ranges from the subnormals up (bins from twice the fields), and a wider range
    // whose first element is just below or at 2^-895, with a tie the smallest subnormal breaks.
    for (const int top : {-1020, -1000, -960}) {
      auto x = subnormals(rng, n);
      for (size_t i = 1; i < n; i += 2) x[i] = wideRange(rng, 1, -1022, top)[0];
      expectSums(x, "subnormals below 2^" + std::to_string(top) + at);
    }
    for (const auto& [first, lo, hi] : {std::tuple{pow2(-895) * (1 - pow2(-53)), -1022, -901},
                                       std::tuple{pow2(-895), -1022, -901}, std::tuple{pow2(-1000), -980, -950}}) {
      auto x = wideRange(rng, n, lo, hi);
      x[0] = first;
      expectSums(x, "wide bottom" + at);
      if (n < 5) continue;
      x = cancelling(rng, wideRange(rng, (n - 5) / 2, lo, hi), pow2(-901));
      x.insert(x.end(), {pow2(-954), pow2(-1074), -first});  // a tie, broken upwards
      x.resize(n - 1, 0.0);
      x.insert(x.begin(), first);
      expectSums(x, "wide bottom, a tie" + at);
    }
  }
}

TEST(BottomRange, ProductsNearTheFloor) {
  std::mt19937_64 rng(1075);
  for (const size_t n : kLengths) {
    const std::string at = " n=" + std::to_string(n);
    // Factors near 2^-530: products from 2^-1120 to 2^-1000, most of them cut or dropped.
    expectDot(wideRange(rng, n, -560, -500), wideRange(rng, n, -560, -500), "tiny products" + at);
    // Products just below, at and above 2^-1075, and at the next limbs' boundaries.
    for (const int f : {-1076, -1075, -1074, -1043, -1011})
      expectDot(wideRange(rng, n, 0, 0), wideRange(rng, n, f, f), "floor " + std::to_string(f) + at);
    expectDot(subnormals(rng, n), wideRange(rng, n, 0, 60), "subnormal times normal" + at);
    // Vanishing products, with a large one every 61 from n / 3 on.
    auto x = subnormals(rng, n), y = subnormals(rng, n);
    for (size_t i = n / 3; i < n; i += 61) x[i] = y[i] = wideRange(rng, 1, -100, 100)[0];
    expectDot(x, y, "vanishing" + at);
    // Cut products cancelling to zero: each product beside its negation.
    x = wideRange(rng, n / 2, -560, -500);
    y = wideRange(rng, n / 2, -560, -500);
    for (size_t i = 0, k = x.size(); i < k; ++i) {
      x.push_back(-x[i]);
      y.push_back(y[i]);
    }
    expectDot(x, y, "cut products cancelling" + at);
  }
}

TEST(BottomRange, SpecialValuesInEveryPosition) {
  std::mt19937_64 rng(2047);
  const double nan = std::bit_cast<double>(0x7FF4000000000123ULL);
  for (const size_t n : {9u, 2049u, 20000u}) {
    const auto base = subnormals(rng, n), y = wideRange(rng, n, -560, -500);
    for (const size_t at : {size_t{0}, n / 2, n - 1, size_t{8}}) {
      for (const double special : {std::numeric_limits<double>::infinity(), nan}) {
        auto x = base, zeroed = y;
        x[at] = special;
        zeroed[at] = 0.0;  // infinity times zero: a NaN
        sela::SuperAccumulator sum, dot, nanDot;
        sela::initialize(sum);
        sela::initialize(dot);
        sela::initialize(nanDot);
        sela::addEach(sum, x.data(), static_cast<int64_t>(n));
        sela::addProductsEach(dot, x.data(), y.data(), static_cast<int64_t>(n));
        sela::addProductsEach(nanDot, x.data(), zeroed.data(), static_cast<int64_t>(n));
        const std::string what = "n=" + std::to_string(n) + " at " + std::to_string(at);
        ASSERT_TRUE(SameBits(sela::round(sum), sela_sum_exact(x.data(), n))) << what;
        ASSERT_TRUE(SameBits(sela::round(dot), sela_dot_exact(x.data(), y.data(), n))) << what;
        ASSERT_TRUE(SameBits(sela::round(nanDot), sela_dot_exact(x.data(), zeroed.data(), n))) << what;
      }
    }
  }
}

// A group of eight products is skipped whole below a bound of its exponent fields:
// products of fields adding up to 964 .. 976 with significands near 2^53 reach 2^-1075
// from 970 on. Each group holds one such product, in every position in turn, among
// vanishing ones.
TEST(BottomRange, GroupsOfVanishingProductsAtTheirBound) {
  std::mt19937_64 rng(969);
  const double big = 2.0 - pow2(-52);
  for (int sum = 964; sum <= 976; ++sum) {
    for (size_t position = 0; position < 8; ++position) {
      std::vector<double> x(64, std::ldexp(big, -630)), y(64, std::ldexp(big, -640));  // fields 393 and 383
      for (size_t i = position; i < 64; i += 8) {
        x[i] = std::ldexp(big, 500 - 1023);
        y[i] = std::ldexp(rng() % 2 ? big : -big, sum - 500 - 1023);
      }
      expectDot(x, y, "fields " + std::to_string(sum) + " position " + std::to_string(position));
    }
  }
}

// The element step's words against the floored product in GMP: limb j holds
// +-(bits 32 j .. 32 j + 31 of N), N = floor(|x y| / 2^-1075), whatever the product's
// distance from the floor (subnormal, tiny, normal and huge factors, zeros).
TEST(BottomRange, ElementStepWordsAreTheDigitsOfTheFlooredProduct) {
  std::mt19937_64 rng(1076);
  // |v| = M 2^e with an integer M < 2^53.
  auto integerOf = [](double v, long& e) {
    int k;
    const double f = std::frexp(std::fabs(v), &k);
    e = k - 53;
    return static_cast<unsigned long>(std::ldexp(f, 53));
  };
  const std::pair<int, int> ranges[] = {{-1074, -1023}, {-560, -500}, {-1074, 1023}, {-40, 40}, {900, 1023}};
  mpz_t floored, digit;
  mpz_inits(floored, digit, nullptr);
  for (int trial = 0; trial < 20000; ++trial) {
    const auto [xLow, xHigh] = ranges[rng() % 5];
    const auto [yLow, yHigh] = ranges[rng() % 5];
    double x = wideRange(rng, 1, xLow, xHigh)[0];
    const double y = wideRange(rng, 1, yLow, yHigh)[0];
    if (rng() % 64 == 0) x = rng() % 2 ? 0.0 : -0.0;
    sela::SuperAccumulator acc;
    sela::initialize(acc);
    sela::depositProduct(acc, x, y);
    long ex, ey;
    mpz_set_ui(floored, integerOf(x, ex));
    mpz_mul_ui(floored, floored, integerOf(y, ey));
    const long shift = ex + ey + 1075;
    if (shift >= 0) {
      mpz_mul_2exp(floored, floored, static_cast<mp_bitcnt_t>(shift));
    } else {
      mpz_fdiv_q_2exp(floored, floored, static_cast<mp_bitcnt_t>(-shift));
    }
    const bool negative = std::signbit(x) != std::signbit(y);
    for (int j = 0; j < sela::kSuperLimbs; ++j) {
      mpz_fdiv_q_2exp(digit, floored, static_cast<mp_bitcnt_t>(32 * j));
      const auto word = static_cast<int64_t>(mpz_get_ui(digit) & 0xFFFFFFFFu);
      ASSERT_EQ(negative ? -word : word, acc.limbs[j]) << std::hexfloat << x << " * " << y << " limb " << j;
    }
  }
  mpz_clears(floored, digit, nullptr);
}

// Products with a zero or subnormal factor take the register's element step, countdown
// included, in every arrangement and on every kernel family: a record's words after them
// are those of the element arrangement, from any point of the countdown. (Records are
// merged across machines and their words compared across families.) Groups of eight that
// vanish whole beside groups that do not, zeros of both signs, either factor the small
// one.
TEST(BottomRange, RecordWordsAfterProductsOfFieldZeroFactors) {
  std::mt19937_64 rng(2046);
  auto fieldZero = [&](size_t n) {
    auto v = subnormals(rng, n);
    for (auto& e : v) {
      if (rng() % 7 == 0) e = rng() % 2 ? 0.0 : -0.0;
    }
    return v;
  };
  for (const size_t n : {256u, 2048u, 2049u, 5003u, 20000u}) {
    auto x = fieldZero(n), y = wideRange(rng, n, -1074, 1000);
    // Runs of 1 to 40 products that vanish (subnormal partners) and that do not.
    auto runs = fieldZero(n), partners = wideRange(rng, n, 0, 60);
    for (size_t i = 0; i < n;) {
      const size_t end = std::min(n, i + 1 + rng() % 40);
      const bool vanish = rng() % 2 != 0;
      for (; i < end; ++i) {
        if (vanish) partners[i] = subnormals(rng, 1)[0];
        if (rng() % 3 == 0) std::swap(runs[i], partners[i]);
      }
    }
    for (const auto& [a, b] : {std::pair{x, y}, std::pair{runs, partners}, std::pair{fieldZero(n), fieldZero(n)}}) {
      // Values added first put the countdown anywhere and give a normalization limbs to work
      // on; after 2045 of them, 2048 vanishing products end with the countdown run out.
      for (const size_t first : {0u, 5u, 1000u, 2045u, 2046u, 2047u}) {
        const auto values = wideRange(rng, first, -30, 30);
        sela_accumulator record;
        sela_accumulator_init(&record);
        ASSERT_EQ(0, sela_accumulator_add(&record, values.data(), first));
        sela::SuperAccumulator start, each, binned;
        ASSERT_TRUE(sela::loadAccumulator(record.opaque, start));
        each = binned = start;
        sela::addProductsEach(each, a.data(), b.data(), static_cast<int64_t>(n));
        ASSERT_TRUE(sela::addProductsBinned(binned, a.data(), b.data(), static_cast<int64_t>(n)));
        ASSERT_EQ(0, sela_accumulator_add_products(&record, a.data(), b.data(), n));
        const std::string what = "n=" + std::to_string(n) + " after " + std::to_string(first);
        static_assert(sizeof record == sizeof each);
        ASSERT_EQ(0, std::memcmp(&binned, &each, sizeof each)) << "bins " << what;
        // The streamed arrangements of the vector families take the element step from
        // 2048 products on (shorter ones split into the register at two deposits each).
        if (n >= 2048) {
          ASSERT_EQ(0, std::memcmp(&record, &each, sizeof each)) << "record " << what;
        }
        ASSERT_TRUE(SameBits(oracle::flooredDot(a.data(), b.data(), static_cast<int64_t>(n)),
                             sela_dot_exact(a.data(), b.data(), n)))
            << what;
      }
    }
  }
}

TEST(BottomRange, RunningSumsOfSubnormals) {
  std::mt19937_64 rng(1022);
  for (const size_t n : {1u, 65u, 2049u, 20000u}) {
    // After a normal start the subnormals' TwoSum errors reach far above 2^-1021; ties of
    // 2^-960 + 2^-1013 that the smallest subnormals break one way and the other make the
    // error sum span 62 bits.
    auto start = subnormals(rng, n);
    start[0] = 1.2345 * pow2(-960);
    std::vector<double> ties{pow2(-960), pow2(-1013)};
    for (size_t i = 2; i < n; ++i) ties.push_back(i % 2 ? -pow2(-1073) : pow2(-1074));
    ties.resize(n);
    for (const auto& x : {subnormals(rng, n), start, ties, cancelling(rng, subnormals(rng, n / 2), pow2(-1074))}) {
      const auto expected = oracle::exactRunningSums(x.data(), static_cast<int64_t>(x.size()));
      std::vector<double> out(x.size());
      sela_cumsum_exact(x.data(), out.data(), x.size());
      for (size_t i = 0; i < x.size(); ++i) ASSERT_TRUE(SameBits(expected[i], out[i])) << "n=" << n << " prefix " << i;
    }
  }
}

namespace {

// Each prefix as the register rounds it, the elements deposited one at a time.
std::vector<double> registerRunningSums(const std::vector<double>& x) {
  sela_accumulator acc;
  sela_accumulator_init(&acc);
  std::vector<double> sums;
  for (const double v : x) {
    (void)sela_accumulator_add(&acc, &v, 1);
    sums.push_back(sela_accumulator_round(&acc));
  }
  return sums;
}

// Running sums of small data every way the library offers them against the GMP oracle
// (data with special values: against the register): out of place, in place, and in
// chunks of an accumulator record (continued from an empty one).
void expectRunningSums(const std::vector<double>& x, const std::string& what) {
  const auto n = x.size();
  const bool finite = std::all_of(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
  const auto expected = finite ? oracle::exactRunningSums(x.data(), static_cast<int64_t>(n)) : registerRunningSums(x);
  std::vector<double> out(n);
  sela_cumsum_exact(x.data(), out.data(), n);
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(SameBits(expected[i], out[i])) << what << " n=" << n << " prefix " << i;
  out = x;
  sela_cumsum_exact(out.data(), out.data(), n);
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(SameBits(expected[i], out[i])) << what << " in place, prefix " << i;
  sela_accumulator acc;
  sela_accumulator_init(&acc);
  const size_t chunk = n / 3 + 1;
  for (size_t i = 0; i < n; i += chunk) {
    ASSERT_EQ(0, sela_accumulator_cumsum(&acc, x.data() + i, out.data() + i, std::min(chunk, n - i)));
  }
  for (size_t i = 0; i < n; ++i) ASSERT_TRUE(SameBits(expected[i], out[i])) << what << " in chunks, prefix " << i;
}

// A series whose prefixes visit `targets` in random order (each element the difference
// of two targets, a multiple of 2^-1074, exact where the targets lie below 2^-1021).
std::vector<double> visiting(std::mt19937_64& rng, const std::vector<double>& targets, size_t n) {
  std::vector<double> x(n);
  double last = 0.0;
  for (auto& v : x) {
    const double next = targets[rng() % targets.size()];
    v = next - last;
    last = next;
  }
  return x;
}

// Near a tie: v, then half its ulp (a tie), then subnormals of either sign that break it
// one way or the other, or cancel.
std::vector<double> brokenTies(std::mt19937_64& rng, size_t n, int lo, int hi) {
  std::vector<double> x = wideRange(rng, n, -1074, -1023);
  for (size_t i = 0; i + 1 < n; i += 1 + rng() % 40) {
    const int e = lo + static_cast<int>(rng() % static_cast<uint64_t>(hi - lo + 1));
    x[i] = std::ldexp(static_cast<double>((rng() >> 11) | 1), e - 52);
    x[i + 1] = (rng() % 2 ? 1 : -1) * pow2(e - 53);
    if (i + 2 < n) x[i + 2] = (rng() % 2 ? 1 : -1) * pow2(-1074);
  }
  return x;
}

}  // namespace

// Small data through both scales of the span kernels and every copy this processor runs:
// all subnormal, subnormal with small normal values (prefixes far below 2^-947, which
// scaled spans decide), with large values, prefixes that cancel to zero and to the
// smallest subnormals and cross 2^-1022 both ways, ties the smallest subnormals break,
// and special values at every position, at lengths around the blocks (16) and spans (512).
TEST(BottomRange, RunningSumsOfSmallValuesInEveryCopy) {
  const sela::ExactSpanKernel chosenExact = sela::exactSpanImpl.get();
  const sela::BoundSpanKernel chosenBound = sela::boundSpanImpl.get();
  std::vector<std::pair<sela::ExactSpanKernel, sela::BoundSpanKernel>> copies{{sela::exactSpanSse2, sela::boundSpanSse2}};
#if defined(__x86_64__)
  if (sela::avx2FamilySupported()) copies.emplace_back(sela::exactSpanAvx2, sela::boundSpanAvx2);
#endif
  const double least = pow2(-1074), edge = pow2(-1022);
  const std::vector<double> targets{0.0,         least,        -least,      2 * least,          -2 * least,
                                    edge - least, -(edge - least), edge,     -edge,              edge + least,
                                    -(edge + least), 3 * least,  1.5 * edge, -1.5 * edge + least, pow2(-1040)};
  const double inf = std::numeric_limits<double>::infinity();
  const double specials[] = {inf, -inf, std::nan("")};
  std::mt19937_64 rng(947);
  for (const auto& [exact, bound] : copies) {
    sela::exactSpanImpl.store(exact);
    sela::boundSpanImpl.store(bound);
    for (const size_t n : {1u, 15u, 16u, 17u, 511u, 512u, 513u, 1039u, 2049u}) {
      auto large = wideRange(rng, n, -1074, -1023);
      for (size_t i = rng() % 37; i < n; i += 37) large[i] = wideRange(rng, 1, -30, 30)[0];
      expectRunningSums(wideRange(rng, n, -1074, -1023), "subnormal");
      expectRunningSums(wideRange(rng, n, -1074, -960), "subnormal and normal");
      expectRunningSums(wideRange(rng, n, -1000, -940), "small normal");
      expectRunningSums(large, "with large values");
      expectRunningSums(visiting(rng, targets, n), "visiting zero, the least subnormals and 2^-1022");
      expectRunningSums(cancelling(rng, wideRange(rng, n / 2, -1074, -990), least), "cancelling to 2^-1074");
      expectRunningSums(brokenTies(rng, n, -1021, -940), "ties the least subnormals break");
    }
    for (const size_t n : {40u, 600u}) {
      const auto base = wideRange(rng, n, -1074, -960);
      for (size_t at = 0; at < n; at += n < 100 ? 1 : 1 + rng() % 23) {
        auto x = base;
        x[at] = specials[rng() % 3];
        expectRunningSums(x, "a special value at " + std::to_string(at));
      }
    }
  }
  sela::exactSpanImpl.store(chosenExact);
  sela::boundSpanImpl.store(chosenBound);
}

// Centered sums of squares and cross products of data at the bottom of the range, at the
// lengths around their judgements (on eight samples once the certified pass declined,
// with the wider sample from 256 on, before the pass from 1024) and where the integer
// route ends (2048): the rounded differences' floored dot against the oracle. The mixed
// families hold larger products the samples may miss; the cancelling one sums to a
// subnormal or to zero; an infinity or a NaN takes the element step's side words.
TEST(BottomRange, CenteredProductsNearTheFloor) {
  std::mt19937_64 rng(1088);
  const double nan = std::bit_cast<double>(0x7FF4000000000123ULL);
  const auto minus = [](const std::vector<double>& v, double c) {
    std::vector<double> d(v.size());
    for (size_t i = 0; i < v.size(); ++i) d[i] = v[i] - c;
    return d;
  };
  for (const size_t n : {1u, 7u, 16u, 63u, 255u, 256u, 700u, 1023u, 1024u, 2047u, 2048u, 3001u}) {
    const auto range = [&](int lo, int hi) { return wideRange(rng, n, lo, hi); };
    auto mixed = subnormals(rng, n);
    for (size_t i = n / 5; i < n; i += 61) mixed[i] = wideRange(rng, 1, -100, 100)[0];
    auto lowMixed = range(-1022, -900);
    for (size_t i = n / 2; i < n; i += 13) lowMixed[i] = wideRange(rng, 1, -560, -500)[0];
    auto cancel = range(-560, -500);
    for (size_t i = 0; i + 1 < n; i += 2) cancel[i + 1] = -cancel[i];
    auto special = subnormals(rng, n);
    special[n / 2] = n % 2 ? nan : -std::numeric_limits<double>::infinity();
    const std::pair<std::vector<double>, std::vector<double>> pairs[] = {
        {subnormals(rng, n), subnormals(rng, n)}, {range(-1022, -900), range(-1022, -900)},
        {range(-560, -500), range(-560, -500)},   {mixed, subnormals(rng, n)},
        {lowMixed, range(-1022, -900)},           {cancel, std::vector<double>(n, pow2(-530) * 3)},
        {special, subnormals(rng, n)}};
    for (const auto& [x, y] : pairs) {
      for (const auto& [cx, cy] : {std::pair{0.0, 0.0}, std::pair{pow2(-1072) * 3, -pow2(-1060)},
                                   std::pair{pow2(-540), -pow2(-950) * 5}}) {
        const auto dx = minus(x, cx), dy = minus(y, cy);
        const std::string what = "n=" + std::to_string(n) + " x[0]=" + std::to_string(x[0]) + " cx=" +
                                 std::to_string(cx);
        const auto expected = [&](const std::vector<double>& a, const std::vector<double>& b) {
          sela::SuperAccumulator acc;
          sela::initialize(acc);
          sela::addProductsEach(acc, a.data(), b.data(), static_cast<int64_t>(n));
          const double each = sela::round(acc);
          // The oracle where every value is finite; the element step's side words else.
          return std::isfinite(each) ? oracle::flooredDot(a.data(), b.data(), static_cast<int64_t>(n)) : each;
        };
        ASSERT_TRUE(SameBits(expected(dx, dx), sela_centered_sum_squares(x.data(), n, cx))) << what;
        ASSERT_TRUE(SameBits(expected(dx, dy), sela_centered_cross_product(x.data(), y.data(), n, cx, cy))) << what;
      }
    }
  }
}

// The integer route at the bottom counts every product as the element step does, groups
// skipped whole included, whatever their factors' fields: the same words as the element
// step after values that put the countdown anywhere, on products of normal factors that
// mostly vanish, of subnormal ones, and runs of both among larger ones.
TEST(BottomRange, RecordWordsAtTheBottomAreTheElementSteps) {
  std::mt19937_64 rng(1089);
  for (const size_t n : {255u, 2048u, 5003u}) {
    auto runs = wideRange(rng, n, -700, -530), partners = subnormals(rng, n);
    for (size_t i = 0; i < n; i += 1 + rng() % 40) partners[i] = wideRange(rng, 1, -60, 60)[0];
    const std::pair<std::vector<double>, std::vector<double>> pairs[] = {
        {wideRange(rng, n, -700, -530), wideRange(rng, n, -700, -530)}, {subnormals(rng, n), subnormals(rng, n)},
        {runs, partners}};
    for (const auto& [a, b] : pairs) {
      for (const size_t first : {0u, 1000u, 2045u, 2047u}) {
        const auto values = wideRange(rng, first, -30, 30);
        sela::SuperAccumulator each, bottom;
        sela::initialize(each);
        sela::addEach(each, values.data(), static_cast<int64_t>(first));
        bottom = each;
        sela::addProductsEach(each, a.data(), b.data(), static_cast<int64_t>(n));
        sela::addProductsAtBottom(bottom, a.data(), b.data(), static_cast<int64_t>(n));
        ASSERT_EQ(0, std::memcmp(&bottom, &each, sizeof each)) << "n=" << n << " after " << first;
      }
    }
  }
}
