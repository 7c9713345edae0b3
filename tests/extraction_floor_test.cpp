// The extraction pass of the products on data whose products reach below 2^-916: the
// blocks that leave such products out of their lanes, drop those below 2^-1075 and
// deposit the band between exactly. Wherever the pass accepts, its double must be the
// GMP oracle's floored dot product; it must accept data spread over the whole range (so
// that a pass which quietly declines them fails here), and decline special values in
// every position. The export must give the oracle's double either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "algorithms/certifiedsum.h"
#include "algorithms/exactsum.h"
#include "oracle.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

using Pairs = std::pair<std::vector<double>, std::vector<double>>;

bool passAvailable() {
  const double one = 1.0;
  double r;
  return sela::extractedDot(&one, &one, 1, r);
}

// Runs the pass and the export against the oracle; returns whether the pass accepted.
bool check(const Pairs& d, const std::string& what) {
  const auto& [x, y] = d;
  const auto n = static_cast<int64_t>(x.size());
  const double expected = oracle::flooredDot(x.data(), y.data(), n);
  double r = -1.0;
  const bool accepted = sela::extractedDot(x.data(), y.data(), n, r);
  if (accepted) {
    EXPECT_TRUE(SameBits(expected, r)) << what << " n=" << n << ": " << r << " vs " << expected;
  }
  EXPECT_TRUE(SameBits(expected, sela_dot_exact(x.data(), y.data(), x.size()))) << what << " n=" << n;
  return accepted;
}

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

const size_t kLengths[] = {7, 2047, 2048, 2049, 4096, 6150, 20000, (size_t{1} << 17) + 3};

}  // namespace

// Wide data divided by their largest magnitude: decided at every length.
TEST(ExtractionFloor, DecidesDataSpreadOverTheWholeRange) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(2000);
  for (const size_t n : kLengths) {
    for (int rep = 0; rep < 3; ++rep) EXPECT_TRUE(check(wideDivided(rng, n), "wide divided")) << "n=" << n;
  }
}

// The floor's and the guard's edges, with and without large products around them, and
// cancelled down to results at the bottom of the range: right or declined.
TEST(ExtractionFloor, EdgesAndCancellationToTheBottom) {
  std::mt19937_64 rng(1075);
  for (const size_t n : kLengths) {
    if (n > 20000) continue;
    check(edges(rng, n, true), "edges among wide data");
    check(edges(rng, n, false), "edges alone");
    const Pairs tail = edges(rng, 5, false);
    check(cancelled(rng, wideDivided(rng, n / 2), tail), "wide cancelled to the edges' tail");
    check(cancelled(rng, edges(rng, n / 2, true), tail), "edges cancelled to the edges' tail");
    // Cancelled to one product of 2^-1075 (a midpoint between subnormals) or 2^-1074.
    for (const double last : {pow2(-537), pow2(-536)}) {
      check(cancelled(rng, wideDivided(rng, n / 2), Pairs{{pow2(-538)}, {last}}), "cancelled to one product");
    }
  }
}

// Products at the floor's edges among products that cancel exactly and leave no residual:
// the result is what the floor keeps of the edges' products, at the bottom of the range
// (subnormal, a tie between two subnormals, or zero), and the register decides it.
TEST(ExtractionFloor, FloorsOfTheEdgesAtTheBottomOfTheRange) {
  if (!passAvailable()) GTEST_SKIP() << "no vector family here: the pass always declines";
  std::mt19937_64 rng(970);
  for (const size_t n : {size_t{2049}, size_t{4096}, size_t{20000}}) {
    for (int rep = 0; rep < 4; ++rep) {
      const Pairs d = cancelled(rng, fewBits(rng, n / 2), floorEdges(rng, n / 8));
      EXPECT_TRUE(check(d, "few bits cancelled to the floor's edges")) << "n=" << n;
    }
    const Pairs edgesOnly = floorEdges(rng, n);
    EXPECT_TRUE(check(edgesOnly, "the floor's edges alone")) << "n=" << n;
  }
}

// A NaN or an infinity in any position (first, last, either side of a block boundary,
// inside a guarded block, in a block whose products all leave the lanes), times a large,
// a vanishing or a zero factor: always declined,
// and the export's double is the element arrangement's.
TEST(ExtractionFloor, SpecialsInEveryPositionAreDeclined) {
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
