// The header's promises about the sign of a zero result, on inputs whose exact result is
// zero: all-zero arrays of either sign and values cancelling in random order.
#include <string>

#include "sela.h"
#include "test_util.h"

using testutil::SameBits;

namespace {

bool allNegativeZero(const std::vector<double>& x) {
  for (double v : x)
    if (!(v == 0.0 && std::signbit(v))) return false;
  return true;
}

// Arrays whose sums are exactly zero, with or without -0.0 elements.
std::vector<std::vector<double>> zeroSumArrays() {
  std::vector<std::vector<double>> cases = {{-0.0}, {0.0}, {-0.0, -0.0}, {-0.0, 0.0}, {0.0, -0.0, -0.0},
                                            std::vector<double>(200, -0.0), {1.0, -1.0}, {-1.0, 1.0, -0.0}};
  std::mt19937_64 rng(2148);
  for (size_t n : {2u, 3u, 7u, 130u, 1000u}) {
    auto half = testutil::wideRange(rng, n, -1074, 1000);
    std::vector<double> x = half;
    for (double v : half) x.push_back(-v);
    std::shuffle(x.begin(), x.end(), rng);
    cases.push_back(x);
    for (size_t i = 0; i < x.size(); i += 5) x[i] = (rng() & 1) ? 0.0 : -0.0;  // zeros replace pairs' halves
    for (size_t i = 0; i < x.size(); ++i) x[i] = 0.0 * x[i];                   // signed zeros only
    cases.push_back(x);
  }
  return cases;
}

}  // namespace

TEST(HeaderContract, ZeroSignsOfTheSums) {
  for (const auto& x : zeroSumArrays()) {
    const uint64_t n = x.size();
    const double* p = x.data();
    const std::string at = "n = " + std::to_string(n);
    // -0.0 only when every element is -0.0: the plain sums, Kahan and the cascade with K <= 1.
    const double plain = allNegativeZero(x) ? -0.0 : 0.0;
    for (double r : {sela_sum_naive(p, n), sela_sum_pairwise(p, n), sela_sum_pairwise_iterative(p, n),
                     sela_sum_kahan(p, n), sela_sum_k(p, n, 1), sela_sum_k(p, n, -3)}) {
      if (r == 0.0) {
        EXPECT_TRUE(SameBits(plain, r)) << at;
      }
    }
    // Always +0.0 (the compensated sums need not reach zero on cancelling data, but a zero
    // they reach is positive).
    for (double r : {sela_sum_neumaier(p, n), sela_sum_klein(p, n), sela_sum_oro(p, n)}) {
      if (r == 0.0) {
        EXPECT_TRUE(SameBits(0.0, r)) << at;
      }
    }
    for (double r : {sela_sum_shewchuk(p, n), sela_sum_exact(p, n), sela_mean_scaled(p, n)})
      EXPECT_TRUE(SameBits(0.0, r)) << at;
    // The element itself for n = 1, else +0.0 (AccSum is exact when the sum is a double).
    const double single = n == 1 ? x[0] : 0.0;
    EXPECT_TRUE(SameBits(single, sela_sum_acc(p, n))) << at;
    EXPECT_TRUE(SameBits(single, sela_sum_near(p, n))) << at;
    for (double r : {sela_sum_k(p, n, 2), sela_sum_k(p, n, 5)}) {
      if (r == 0.0) {
        EXPECT_TRUE(SameBits(single, r)) << at;
      }
    }
    if (plain == 0.0 && std::signbit(plain)) {
      EXPECT_TRUE(SameBits(0.0, sela_norm_scaled(p, n))) << at;
      EXPECT_TRUE(SameBits(0.0, sela_centered_sum_squares(p, n, 0.0))) << at;
    }
  }
}

TEST(HeaderContract, ZeroSignsOfTheDotProducts) {
  std::mt19937_64 rng(1043);
  for (size_t n : {1u, 3u, 4u, 8u, 9u, 33u, 500u}) {
    for (int trial = 0; trial < 20; ++trial) {
      // Products cancelling exactly: (a, b) and (a, -b) pairs, and signed zeros.
      std::vector<double> x, y;
      for (size_t i = 0; i < n; ++i) {
        const double a = testutil::wideRange(rng, 1, -500, 500)[0], b = testutil::wideRange(rng, 1, -500, 500)[0];
        if (trial % 3 == 0) {
          x.push_back((rng() & 1) ? 0.0 : -0.0);
          y.push_back(b);
        } else {
          x.insert(x.end(), {a, a});
          y.insert(y.end(), {b, -b});
        }
      }
      const uint64_t m = x.size();
      const std::string at = "n = " + std::to_string(m) + " trial " + std::to_string(trial);
      ASSERT_TRUE(SameBits(0.0, sela_dot_exact(x.data(), y.data(), m))) << at;
      ASSERT_TRUE(SameBits(0.0, sela_centered_cross_product(x.data(), y.data(), m, 0.0, 0.0))) << at;
      // The rounded forms need not cancel exactly (products meet in different lanes), but
      // a zero they reach is positive.
      for (double r : {sela_dot_naive(x.data(), y.data(), m), sela_dot2(x.data(), y.data(), m),
                       sela_dot_k(x.data(), y.data(), m, 1), sela_dot_k(x.data(), y.data(), m, 3),
                       sela_dot_k(x.data(), y.data(), m, 6)}) {
        if (r == 0.0) {
          ASSERT_TRUE(SameBits(0.0, r)) << at;
        }
      }
    }
  }
  // The one negative zero: a truncated sum of exactly -2^-1075.
  const double t[] = {-0x1p-1074}, h[] = {0.5};
  EXPECT_TRUE(SameBits(-0.0, sela_dot_exact(t, h, 1)));
  EXPECT_TRUE(SameBits(-0.0, sela_centered_cross_product(t, h, 1, 0.0, 0.0)));
  EXPECT_TRUE(SameBits(0.0, sela_dot_naive(t, h, 1)));  // the rounded product -0.0 added to +0.0
}
