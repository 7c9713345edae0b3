// Exact sums, dot products and running sums of data at the bottom of the range against
// the GMP oracles (the element operations for special values): subnormal elements,
// products on both sides of the product floor, and the integer arrangements they take.
#include <algorithm>
#include <limits>
#include <string>

#include "algorithms/exactengine.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;
using testutil::wideRange;

namespace {

// Around the passes' blocks (2048), the countdown (2047), the bins' groups of eight, the
// sampled judgement (256, 1024) and the length from which the extraction pass runs alone.
const size_t kLengths[] = {1, 9, 255, 1000, 2047, 2049, 20000, (size_t{1} << 17) + 3};

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
