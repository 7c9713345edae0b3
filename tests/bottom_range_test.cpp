// Exact sums, dot products and running sums of data at the bottom of the range, against
// the GMP oracles: subnormal elements, products on both sides of the product floor, and
// the register's integer arrangements such data are sent to.
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

// Around the passes' blocks (2048), the register's countdown (2047), the product bins'
// groups of eight, and past the length from which the extraction pass runs alone.
const size_t kLengths[] = {1, 7, 8, 9, 63, 65, 255, 2047, 2048, 2049, 6145, 20000, (size_t{1} << 17) + 3};

// Products x[i] * y[i] of exponent about e + f, with e drawn from [lo, hi].
void floorPairs(std::mt19937_64& rng, size_t n, int lo, int hi, int f, std::vector<double>& x,
                std::vector<double>& y) {
  x = wideRange(rng, n, lo, hi);
  y = wideRange(rng, n, f, f);
}

// The element operations' result for products with special factors (finite data use the
// GMP model of the floor).
double elementDot(const std::vector<double>& x, const std::vector<double>& y) {
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  sela::addProductsEach(acc, x.data(), y.data(), static_cast<int64_t>(x.size()));
  return sela::round(acc);
}

double elementSum(const std::vector<double>& x) {
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  sela::addEach(acc, x.data(), static_cast<int64_t>(x.size()));
  return sela::round(acc);
}

void expectDot(const std::vector<double>& x, const std::vector<double>& y, const std::string& what) {
  const auto n = static_cast<int64_t>(x.size());
  const double expected = oracle::flooredDot(x.data(), y.data(), n);
  ASSERT_TRUE(SameBits(expected, sela_dot_exact(x.data(), y.data(), x.size()))) << what << " n=" << n;
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  if (sela::addProductsBinned(acc, x.data(), y.data(), n)) {
    ASSERT_TRUE(SameBits(expected, sela::round(acc))) << what << " (bins) n=" << n;
  }
}

void expectSum(const std::vector<double>& x, const std::string& what) {
  const double expected = oracle::exactSum(x);
  ASSERT_TRUE(SameBits(expected, sela_sum_exact(x.data(), x.size()))) << what << " n=" << x.size();
  ASSERT_TRUE(SameBits(expected, sela_sum_near(x.data(), x.size()))) << what << " (near) n=" << x.size();
}

// Values and their negations shuffled, plus `extra`: the exact sum is extra.
std::vector<double> cancelling(std::mt19937_64& rng, std::vector<double> v, double extra) {
  const size_t k = v.size();
  for (size_t i = 0; i < k; ++i) v.push_back(-v[i]);
  v.push_back(extra);
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

}  // namespace

TEST(BottomRange, SumsOfSubnormalsMatchTheOracle) {
  std::mt19937_64 rng(1074);
  for (const size_t n : kLengths) {
    expectSum(wideRange(rng, n, -1074, -1023), "subnormal");
    // Subnormals with a large value every 97 elements, and with all-positive signs
    // (sums that leave the subnormal range).
    auto mixed = wideRange(rng, n, -1074, -1023);
    for (size_t i = 0; i < n; i += 97) mixed[i] = wideRange(rng, 1, -200, 200)[0];
    expectSum(mixed, "subnormal with large");
    auto positive = wideRange(rng, n, -1074, -1023);
    for (auto& v : positive) v = std::fabs(v);
    expectSum(positive, "positive subnormal");
    // Cancellation to an exact zero (+0.0) and to the smallest subnormals.
    expectSum(cancelling(rng, wideRange(rng, n / 2, -1074, -1023), 0.0), "to zero");
    expectSum(cancelling(rng, wideRange(rng, n / 2, -1074, -1023), -pow2(-1074)), "to -2^-1074");
    expectSum(cancelling(rng, wideRange(rng, n / 2, -1074, -1023), pow2(-1073)), "to 2^-1073");
  }
}

TEST(BottomRange, SpecialValuesAmongSubnormalsInEveryPosition) {
  std::mt19937_64 rng(2047);
  const double kInf = std::numeric_limits<double>::infinity();
  const double nan = std::bit_cast<double>(0x7FF4000000000123ULL);
  for (const size_t n : {9u, 65u, 2049u, 20000u}) {
    const auto base = wideRange(rng, n, -1074, -1023);
    const auto y = wideRange(rng, n, -560, -500);
    for (size_t at : {size_t{0}, size_t{1}, n / 2, n - 2, n - 1, std::min(n - 1, size_t{2048})}) {
      for (const double special : {kInf, -kInf, nan}) {
        auto x = base;
        x[at] = special;
        const std::string what = "n=" + std::to_string(n) + " at " + std::to_string(at);
        ASSERT_TRUE(SameBits(elementSum(x), sela_sum_exact(x.data(), n))) << what;
        ASSERT_TRUE(SameBits(elementDot(x, y), sela_dot_exact(x.data(), y.data(), n))) << what;
        auto zeroed = y;
        zeroed[at] = 0.0;  // infinity times zero: a NaN
        ASSERT_TRUE(SameBits(elementDot(x, zeroed), sela_dot_exact(x.data(), zeroed.data(), n))) << what;
      }
    }
  }
}

TEST(BottomRange, ProductsNearTheFloorMatchTheOracle) {
  std::mt19937_64 rng(1075);
  std::vector<double> x, y;
  for (const size_t n : kLengths) {
    const std::string at = " n=" + std::to_string(n);
    // Factors near 2^-530: products from 2^-1120 to 2^-1000, most of them cut or dropped.
    x = wideRange(rng, n, -560, -500);
    y = wideRange(rng, n, -560, -500);
    expectDot(x, y, "tiny products" + at);
    // Products just above, at and below 2^-1075, alone and summed.
    for (const int f : {-1078, -1076, -1075, -1074, -1072}) {
      floorPairs(rng, n, 0, 0, f, x, y);
      expectDot(x, y, "floor " + std::to_string(f) + at);
    }
    // Subnormal factors times normal ones, and times subnormal ones (all vanish).
    expectDot(wideRange(rng, n, -1074, -1023), wideRange(rng, n, 0, 60), "subnormal times normal" + at);
    expectDot(wideRange(rng, n, -1074, -1023), wideRange(rng, n, -1074, -1023), "subnormal squared" + at);
    // Mostly vanishing products with a large one among them.
    x = wideRange(rng, n, -1074, -1023);
    y = wideRange(rng, n, -1074, -1023);
    for (size_t i = n / 3; i < n; i += 61) x[i] = y[i] = wideRange(rng, 1, -100, 100)[0];
    expectDot(x, y, "vanishing with large" + at);
    // Cut products cancelling: a product and its negation.
    x = wideRange(rng, n / 2 + 1, -560, -500);
    y = wideRange(rng, n / 2 + 1, -560, -500);
    const size_t k = x.size();
    for (size_t i = 0; i + 1 < k; ++i) {
      x.push_back(-x[i]);
      y.push_back(y[i]);
    }
    expectDot(x, y, "cut products cancelling" + at);
  }
}

// Groups of eight products at each side of the bound below which a whole group is
// skipped: products of exponent fields adding up to 968 .. 975 with significands near
// 2^53 reach 2^-1075 from field sum 970 on; each group holds one such product in every
// position in turn among vanishing ones, of both signs.
TEST(BottomRange, GroupsOfVanishingProductsAtTheirBound) {
  std::mt19937_64 rng(969);
  const double big = 2.0 - pow2(-52);
  for (int sum = 964; sum <= 976; ++sum) {
    for (size_t position = 0; position < 8; ++position) {
      std::vector<double> x(64), y(64);
      for (size_t i = 0; i < 64; ++i) {
        x[i] = std::ldexp(big, -630);  // fields 393 and 383: far below the floor
        y[i] = std::ldexp(big, -640);
        if (i % 8 == position) {
          x[i] = std::ldexp(big, 500 - 1023);
          y[i] = std::ldexp(rng() % 2 ? big : -big, sum - 500 - 1023);
        }
      }
      const double expected = oracle::flooredDot(x.data(), y.data(), 64);
      sela::SuperAccumulator acc;
      sela::initialize(acc);
      ASSERT_TRUE(sela::addProductsBinned(acc, x.data(), y.data(), 64));
      ASSERT_TRUE(SameBits(expected, sela::round(acc))) << "fields " << sum << " position " << position;
    }
  }
}

TEST(BottomRange, RunningSumsOfSubnormals) {
  std::mt19937_64 rng(1022);
  for (const size_t n : {1u, 7u, 65u, 2049u, 20000u}) {
    std::vector<std::pair<std::string, std::vector<double>>> families;
    families.emplace_back("subnormal", wideRange(rng, n, -1074, -1023));
    // After a normal start, the TwoSum errors of the subnormals reach far above 2^-1021.
    auto start = wideRange(rng, n, -1074, -1023);
    start[0] = pow2(-960) * 1.2345;
    families.emplace_back("after a normal start", start);
    auto mixed = wideRange(rng, n, -1074, -1023);
    for (size_t i = 0; i < n; i += 37) mixed[i] = wideRange(rng, 1, -1022, -900)[0];
    families.emplace_back("with low normals", mixed);
    families.emplace_back("cancelling", cancelling(rng, wideRange(rng, n / 2, -1074, -1023), pow2(-1074)));
    // Ties of 2^-960 + 2^-1013 that the smallest subnormals break, one way and the other:
    // the error sum then spans 62 bits and cannot stay exact.
    std::vector<double> ties{pow2(-960), pow2(-1013)};
    for (size_t i = 2; i < n; ++i) ties.push_back(i % 2 ? -pow2(-1073) : pow2(-1074));
    ties.resize(n);
    families.emplace_back("ties", ties);
    for (const auto& [name, x] : families) {
      const auto expected = oracle::exactRunningSums(x.data(), static_cast<int64_t>(x.size()));
      std::vector<double> out(x.size());
      sela_cumsum_exact(x.data(), out.data(), x.size());
      for (size_t i = 0; i < x.size(); ++i) ASSERT_TRUE(SameBits(expected[i], out[i])) << name << " prefix " << i;
    }
  }
}
