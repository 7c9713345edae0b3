// Dot-product test data: ill-conditioned pairs of prescribed condition number and the
// published error bounds of the compensated dot products.
#pragma once

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "oracle.h"

namespace dotdata {

constexpr double kEps = 0x1p-53;  // the unit roundoff

// gamma_n = n eps / (1 - n eps), the bound on n accumulated relative roundings.
inline double gamma(double n) { return n * kEps / (1.0 - n * kEps); }

struct DotCase {
  std::vector<double> x, y;
  double exact;      // the exact dot product, rounded once
  double absSum;     // sum |x[i] y[i]| (to a few ulps)
  double condition;  // 2 * absSum / |exact|
};

// GenDot (Ogita, Rump, Oishi, "Accurate sum and dot product", 2005): the first half of
// the products spans exponents up to about sqrt(cond); each element of the second half is
// chosen so that the running exact dot product cancels down towards a value of order 1.
// The pairs are shuffled together at the end. n >= 4; the exact dot product so far is
// kept running, so the cost grows as n (with the size of the exact sum).
inline DotCase genDot(std::mt19937_64& rng, size_t n, double cond) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const double b = std::log2(cond);
  const size_t n2 = n / 2;
  std::vector<double> x(n, 0.0), y(n, 0.0);
  std::uniform_real_distribution<double> ue(0.0, b / 2);
  for (size_t i = 0; i < n2; ++i) {
    int e = static_cast<int>(std::lround(ue(rng)));
    if (i == 0) e = static_cast<int>(std::lround(b / 2)) + 1;
    if (i == n2 - 1) e = 0;
    x[i] = std::ldexp(u(rng), e);
    y[i] = std::ldexp(u(rng), e);
  }
  // The exact dot product of the pairs so far, one pair added per step.
  oracle::RunningDot running;
  for (size_t i = 0; i < n2; ++i) running.add(x[i], y[i]);
  const size_t rest = n - n2;
  for (size_t k = 0; k < rest; ++k) {
    const double frac = rest == 1 ? 0.0 : static_cast<double>(k) / static_cast<double>(rest - 1);
    const int e = static_cast<int>(std::lround(b / 2 * (1.0 - frac)));
    const size_t i = n2 + k;
    x[i] = std::ldexp(u(rng), e);
    const double partial = running.value();
    y[i] = (std::ldexp(u(rng), e) - partial) / x[i];
    running.add(x[i], y[i]);
  }
  std::vector<size_t> perm(n);
  std::iota(perm.begin(), perm.end(), size_t{0});
  std::shuffle(perm.begin(), perm.end(), rng);
  DotCase c;
  for (size_t i : perm) {
    c.x.push_back(x[i]);
    c.y.push_back(y[i]);
  }
  c.exact = oracle::exactDot(c.x.data(), c.y.data(), static_cast<int64_t>(n));
  std::vector<double> abs(n);
  for (size_t i = 0; i < n; ++i) abs[i] = std::fabs(c.x[i] * c.y[i]);
  c.absSum = oracle::exactSum(abs);
  c.condition = 2.0 * c.absSum / std::fabs(c.exact);
  return c;
}

// |r - exact|, computed so that it is exact up to one rounding.
inline double absError(double r, double exact) { return std::fabs(r - exact); }

}  // namespace dotdata
