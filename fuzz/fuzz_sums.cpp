// Every one-array export on fuzzed data. The exact and correctly rounded sums and the mean
// are compared with the GMP oracle bit for bit, the faithful sum with the oracle's bracket,
// the other sums with their published error bounds (measured exactly by the oracle), and the
// rest with invariants: a condition number is at least 1, a norm lies between the largest
// magnitude and sqrt(n) times it, a mean of finite data lies between its extremes.
#include <algorithm>
#include <cmath>

#include "fuzz_input.h"
#include "oracle.h"
#include "sela.h"

namespace {

using fuzz::expectBits;
using fuzz::expectTrue;
using fuzz::kUnit;

// |S - r| rounded once, S the exact sum of x: the exact error of a computed sum r.
long double errorOf(std::vector<double> x, double r) {
  x.push_back(-r);
  return std::fabs(static_cast<long double>(oracle::exactSum(x)));
}

long double gamma(long double m) { return m * kUnit / (1 - m * kUnit); }

void finiteChecks(const std::vector<double>& x) {
  const auto n = static_cast<int64_t>(x.size());
  const uint64_t un = x.size();
  const double* p = x.data();
  const double S = oracle::exactSum(x);
  expectBits("sum_exact", S, sela_sum_exact(p, un));
  const double near = sela_sum_near(p, un), shew = sela_sum_shewchuk(p, un);
  expectTrue("sum_near is the correctly rounded sum", near == S, near);
  expectTrue("sum_shewchuk is the correctly rounded sum", shew == S, shew);
  if (std::isfinite(S)) {
    const oracle::Bracket b = oracle::exactSumBracket(p, n);
    const double acc = sela_sum_acc(p, un);
    expectTrue("sum_acc is faithful", b.lo <= acc && acc <= b.hi, acc);
  }
  // Starting from x[0] itself, so a lone -0.0 stays -0.0.
  double loop = x.empty() ? 0.0 : x[0];
  for (size_t i = 1; i < x.size(); ++i) loop = loop + x[i];
  expectBits("sum_naive is the left-to-right sum", loop, sela_sum_naive(p, un));
  const double neumaier = sela_sum_neumaier(p, un);
  expectBits("sum_oro equals sum_neumaier", neumaier, sela_sum_oro(p, un));
  if (n >= 2) expectBits("sum_k(2) equals sum_oro", neumaier, sela_sum_k(p, un, 2));

  double lo = x.empty() ? 0.0 : x[0], hi = lo, maxAbs = 0.0;
  std::vector<double> mags(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
    maxAbs = std::max(maxAbs, std::fabs(x[i]));
    mags[i] = std::fabs(x[i]);
  }
  const double sumAbs = oracle::exactSum(mags);

  // Error bounds, where no intermediate step can overflow.
  if (n >= 1 && sumAbs <= 0x1p1000) {
    const long double A = sumAbs * (1 + 4 * kUnit), absS = std::fabs(static_cast<long double>(S));
    const long double m = static_cast<long double>(n);
    // The bounds stated in sela.h, with the oracle's own rounding of the error allowed for.
    const long double depth = n <= 128 ? m - 1 : 127 + std::ceil(std::log2(m / 128));
    expectTrue("sum_pairwise within g(127 + ceil(log2(n / 128))) A", errorOf(x, sela_sum_pairwise(p, un)) <= gamma(depth) * A, 0);
    expectTrue("sum_pairwise_iterative within g(ceil(log2 n)) A",
               errorOf(x, sela_sum_pairwise_iterative(p, un)) <= gamma(std::ceil(std::log2(m))) * A, 0);
    expectTrue("sum_kahan within (2u + 2 g(n)^2) A",
               errorOf(x, sela_sum_kahan(p, un)) <= (2 * kUnit + 2 * gamma(m) * gamma(m)) * A, 0);
    const long double neumaierBound = kUnit * absS * (1 + 4 * kUnit) + gamma(m - 1) * gamma(m - 1) * A;
    expectTrue("sum_neumaier within u|S| + g(n - 1)^2 A", errorOf(x, neumaier) <= neumaierBound, neumaier);
    const long double kleinBound = kUnit * absS * (1 + 4 * kUnit) + 2 * gamma(m) * gamma(m) * A;
    expectTrue("sum_klein within u|S| + 2 g(n)^2 A", errorOf(x, sela_sum_klein(p, un)) <= kleinBound, 0);
    for (int K : {2, 3, 4, 7}) {
      const double r = sela_sum_k(p, un, K);
      const long double g = gamma(m - 1);
      const long double bound = (K - 1) * kUnit * absS * (1 + 4 * kUnit) +
                                (std::pow(g, static_cast<long double>(K)) + 2 * kUnit * g * g) * A;
      expectTrue("sum_k within (K - 1) u |S| + (g(n - 1)^K + 2 u g(n - 1)^2) A", errorOf(x, r) <= bound, r);
    }
  }

  // At least 1 up to the rounding of the plain sum of magnitudes (relative g_n).
  const double cond = sela_condition_number(p, un);
  if (n > 0) expectTrue("condition number is at least 1 - g_n", cond >= 1.0L - gamma(static_cast<long double>(n)), cond);

  if (n > 0) {
    const double norm = sela_norm_scaled(p, un);
    expectTrue("norm at least the largest magnitude", norm >= maxAbs, norm);
    // The final product sqrt(ssq) * scale may round in the subnormal range: half a unit.
    const long double top =
        std::sqrt(static_cast<long double>(n)) * maxAbs * (1 + (2.5L * static_cast<long double>(n) + 3) * kUnit) + 0x1p-1075L;
    // An infinite norm only where the true norm may exceed the range.
    const bool inRange = norm <= top || (std::isinf(norm) && top >= 0x1.fffffffffffffp1023L * (1 - 0x1p-40L));
    expectTrue("norm at most sqrt(n) times the largest magnitude", inRange, norm);
    const double ss = oracle::exactDot(p, p, n);
    if (ss >= 0x1p-1000 && ss <= 0x1p1000) {
      const long double truth = std::sqrt(static_cast<long double>(ss));
      expectTrue("norm within (5n/2 + 3) u", std::fabs(norm - truth) <= (2.5L * static_cast<long double>(n) + 3) * kUnit * truth, norm);
    }

    const double mean = sela_mean_scaled(p, un);
    if (std::isfinite(S)) {
      expectBits("mean is the exact sum divided by n", S / static_cast<double>(n), mean);
    } else {
      expectTrue("mean of finite data lies between its extremes", lo <= mean && mean <= hi, mean);
    }

    // The centered sum of squares is the floored exact dot of the rounded differences.
    const double c = x[x.size() / 2];
    std::vector<double> d(x.size());
    bool finite = true;
    for (size_t i = 0; i < x.size(); ++i) {
      d[i] = x[i] - c;
      finite = finite && std::isfinite(d[i]);
    }
    if (finite) expectBits("centered_sum_squares", oracle::flooredDot(d.data(), d.data(), n), sela_centered_sum_squares(p, un, c));
  }
}

void specialChecks(const std::vector<double>& x) {
  const uint64_t un = x.size();
  const double* p = x.data();
  bool plusInf = false, minusInf = false;
  for (double v : x) {
    plusInf = plusInf || v == INFINITY;
    minusInf = minusInf || v == -INFINITY;
  }
  const double exact = sela_sum_exact(p, un);
  if (fuzz::anyNaN(x) || (plusInf && minusInf)) {
    expectTrue("sum_exact NaN", std::isnan(exact), exact);
    expectTrue("sum_near NaN", std::isnan(sela_sum_near(p, un)), 0);
    expectTrue("sum_acc NaN", std::isnan(sela_sum_acc(p, un)), 0);
    expectTrue("mean NaN", std::isnan(sela_mean_scaled(p, un)), 0);
  } else {
    const double inf = plusInf ? INFINITY : -INFINITY;
    expectBits("sum_exact infinity", inf, exact);
    expectBits("sum_near infinity", inf, sela_sum_near(p, un));
    expectBits("sum_acc infinity", inf, sela_sum_acc(p, un));
    expectBits("mean infinity", inf, sela_mean_scaled(p, un));
    expectBits("condition number +inf", INFINITY, sela_condition_number(p, un));
  }
  if (fuzz::anyNaN(x)) {
    for (double r : {sela_sum_naive(p, un), sela_sum_pairwise(p, un), sela_sum_pairwise_iterative(p, un),
                     sela_sum_kahan(p, un), sela_sum_neumaier(p, un), sela_sum_klein(p, un), sela_sum_shewchuk(p, un),
                     sela_sum_oro(p, un), sela_sum_k(p, un, 3), sela_condition_number(p, un)})
      expectTrue("a NaN element gives a NaN sum", std::isnan(r), r);
  }
  // The norm: the first non-finite element decides.
  for (double v : x) {
    if (std::isfinite(v)) continue;
    const double norm = sela_norm_scaled(p, un);
    if (std::isnan(v)) {
      expectTrue("norm NaN at a first NaN", std::isnan(norm), norm);
    } else {
      expectBits("norm +inf at a first infinity", INFINITY, norm);
    }
    break;
  }
  (void)sela_centered_sum_squares(p, un, x.empty() ? 0.0 : x[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<double> x = fuzz::decode(data, size);
  if (fuzz::allFinite(x)) {
    finiteChecks(x);
  } else {
    specialChecks(x);
  }
  return 0;
}
