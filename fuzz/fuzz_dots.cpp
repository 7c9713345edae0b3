// Every two-array export, and sela_two_sum, on fuzzed data. The first half of the decoded
// values is x, the second half y; an odd last value is the center of both. The exact dot
// product and the centered sums are compared with the GMP oracle bit for bit (under the
// documented product floor), the other dot products with their published error bounds,
// the cosine similarity and the projection coefficient with invariants, and TwoSum with
// the oracle's exact sum.
#include <cmath>

#include "fuzz_input.h"
#include "oracle.h"
#include "sela.h"

namespace {

using fuzz::expectBits;
using fuzz::expectTrue;
using fuzz::kUnit;

long double gamma(long double m) { return m * kUnit / (1 - m * kUnit); }

// |D - r| rounded once, D the exact dot product of x and y.
long double errorOf(std::vector<double> x, std::vector<double> y, double r) {
  x.push_back(r);
  y.push_back(-1.0);
  return std::fabs(static_cast<long double>(oracle::exactDot(x.data(), y.data(), static_cast<int64_t>(x.size()))));
}

void twoSumChecks(const std::vector<double>& x, const std::vector<double>& y) {
  for (size_t i = 0; i < x.size() && i < 8; ++i) {
    const double a = x[i], b = y[i];
    double s = 1.0, e = 1.0;
    sela_two_sum(a, b, &s, &e);
    if (!std::isfinite(a) || !std::isfinite(b)) {
      expectBits("two_sum error of a non-finite operand is the quiet NaN", std::bit_cast<double>(0x7FF8000000000000ULL), e);
      expectTrue("two_sum sum of a non-finite operand", fuzz::sameBits(a + b, s) || (std::isnan(s) && std::isnan(a + b)), s);
    } else if (std::isfinite(a + b)) {
      expectBits("two_sum sum", a + b, s);
      const double parts[] = {a, b, -s};
      expectTrue("two_sum error is exact", oracle::compareSum(parts, 3, e) == 0, e);
    }
  }
}

void finiteChecks(const std::vector<double>& x, const std::vector<double>& y, double c) {
  const auto n = static_cast<int64_t>(x.size());
  const uint64_t un = x.size();
  const double *px = x.data(), *py = y.data();
  expectBits("dot_exact", oracle::flooredDot(px, py, n), sela_dot_exact(px, py, un));
  const double naive = sela_dot_naive(px, py, un), d2 = sela_dot2(px, py, un);
  expectTrue("dot_naive of finite data is never NaN", !std::isnan(naive), naive);
  expectBits("dot_k(2) equals dot2", d2, sela_dot_k(px, py, un, 2));

  std::vector<double> ax(x.size()), ay(y.size());
  for (size_t i = 0; i < x.size(); ++i) ax[i] = std::fabs(x[i]), ay[i] = std::fabs(y[i]);
  const double P = oracle::exactDot(ax.data(), ay.data(), n);
  if (P <= 0x1p1000) {
    // Products below the normal range lose up to half a subnormal each in the plain and
    // the compensated forms alike.
    const long double m = static_cast<long double>(n), A = P * (1 + 4 * kUnit), tiny = 4 * m * 0x1p-1074L;
    const long double absD = std::fabs(static_cast<long double>(oracle::exactDot(px, py, n))) * (1 + 4 * kUnit);
    const long double halves = m * 0x1p-1075L;
    expectTrue("dot_naive within g(n) P + n 2^-1075", errorOf(x, y, naive) <= gamma(m) * A + halves, naive);
    for (int K : {-1, 1}) {
      const double r = sela_dot_k(px, py, un, K);
      expectTrue("dot_k(K <= 1) within g(n) P + n 2^-1075", errorOf(x, y, r) <= gamma(m) * A + halves, r);
    }
    expectTrue("dot2 within u|D| + g_n^2 sum|xy|", errorOf(x, y, d2) <= kUnit * absD + gamma(m) * gamma(m) * A + tiny, d2);
    // The exported vector kernels, called directly where the processor has them: the
    // naive ones within the plain bound, an accepted compensated result within its own.
    struct Kernels {
      bool available;
      double (*naive)(const double*, int64_t, const double*, int64_t);
      sela_kernel_result (*dot2)(const double*, int64_t, const double*, int64_t);
      sela_kernel_result (*dotK3)(const double*, int64_t, const double*, int64_t);
    };
    const Kernels families[] = {
        {__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"), dispatchNaiveDotAvx2, dispatchDot2Avx2,
         dispatchDotK3Avx2},
        {__builtin_cpu_supports("avx512f") != 0, dispatchNaiveDotAvx512, dispatchDot2Avx512, dispatchDotK3Avx512},
    };
    for (const Kernels& k : families) {
      if (!k.available) continue;
      const double kn = k.naive(px, n, py, n);
      expectTrue("naive kernel within g(n) P + n 2^-1075", errorOf(x, y, kn) <= gamma(m) * A + halves, kn);
      const sela_kernel_result k2 = k.dot2(px, n, py, n), k3 = k.dotK3(px, n, py, n);
      if (k2.accepted)
        expectTrue("accepted Dot2 kernel result within its bound",
                   errorOf(x, y, k2.value) <= kUnit * absD + gamma(m) * gamma(m) * A + tiny, k2.value);
      const long double g4 = gamma(4 * m);
      if (k3.accepted)
        expectTrue("accepted DotK3 kernel result within its bound",
                   errorOf(x, y, k3.value) <= (kUnit + 2 * g4 * g4) * absD + g4 * g4 * g4 * A + tiny, k3.value);
    }
    for (int K : {3, 4, 6}) {
      const double r = sela_dot_k(px, py, un, K);
      const long double g = gamma(4 * m);
      const long double bound = (kUnit + 2 * g * g) * absD + std::pow(g, static_cast<long double>(K)) * A + tiny;
      expectTrue("dot_k within (u + 2 g_4n^2)|D| + g_4n^K sum|xy|", errorOf(x, y, r) <= bound, r);
    }
  }

  // Centered reductions on the rounded differences.
  std::vector<double> dx(x.size()), dy(y.size());
  bool finite = true;
  for (size_t i = 0; i < x.size(); ++i) {
    dx[i] = x[i] - c;
    dy[i] = y[i] - c;
    finite = finite && std::isfinite(dx[i]) && std::isfinite(dy[i]);
  }
  if (finite) expectBits("centered_cross_product", oracle::flooredDot(dx.data(), dy.data(), n), sela_centered_cross_product(px, py, un, c, c));
  const double cosine = sela_centered_cosine_similarity(px, py, un, c, c);
  expectTrue("cosine similarity in [-1, 1] or NaN", std::isnan(cosine) || (cosine >= -1.0 && cosine <= 1.0), cosine);
  bool centeredNonZero = false;
  for (double v : dx) centeredNonZero = centeredNonZero || v != 0.0;
  if (n > 0 && std::isfinite(c)) {
    const double self = sela_centered_cosine_similarity(px, px, un, c, c);
    const double proj = sela_centered_projection_coefficient(px, px, un, c, c);
    if (centeredNonZero) {
      expectTrue("cosine of a vector with itself is 1 within (4n + 8) u",
                 std::fabs(self - 1.0) <= (4 * static_cast<double>(n) + 8) * kUnit, self);
      expectBits("projection of a vector on itself is 1", 1.0, proj);
    } else {
      expectTrue("cosine of a zero centered vector is NaN", std::isnan(self), self);
      expectTrue("projection on a zero centered vector is NaN", std::isnan(proj), proj);
    }
  }
  const double proj = sela_centered_projection_coefficient(px, py, un, c, c);
  if (n > 0 && !centeredNonZero) expectTrue("projection on a zero centered x is NaN", std::isnan(proj), proj);
}

void specialChecks(const std::vector<double>& x, const std::vector<double>& y, double c) {
  const uint64_t un = x.size();
  const double *px = x.data(), *py = y.data();
  const bool nan = fuzz::anyNaN(x) || fuzz::anyNaN(y);
  bool zeroTimesInf = false;
  for (size_t i = 0; i < x.size(); ++i)
    zeroTimesInf = zeroTimesInf || (std::isinf(x[i]) && y[i] == 0.0) || (x[i] == 0.0 && std::isinf(y[i]));
  const double exact = sela_dot_exact(px, py, un);
  if (nan || zeroTimesInf) expectTrue("dot_exact NaN", std::isnan(exact), exact);
  if (nan) {
    for (double r : {sela_dot_naive(px, py, un), sela_dot2(px, py, un), sela_dot_k(px, py, un, 3),
                     sela_dot_k(px, py, un, 5), sela_centered_cosine_similarity(px, py, un, c, c),
                     sela_centered_projection_coefficient(px, py, un, c, c)})
      expectTrue("a NaN element gives a NaN dot product", std::isnan(r), r);
  } else {
    // An infinite element gives an infinite scale: both are NaN by definition.
    expectTrue("cosine with an infinite element", std::isnan(sela_centered_cosine_similarity(px, py, un, c, c)), 0);
    expectTrue("projection with an infinite element", std::isnan(sela_centered_projection_coefficient(px, py, un, c, c)), 0);
  }
  (void)sela_centered_cross_product(px, py, un, c, c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<double> v = fuzz::decode(data, size);
  double c = 0.0;
  if (v.size() % 2 == 1) {
    c = v.back();
    v.pop_back();
  }
  const size_t n = v.size() / 2;
  const std::vector<double> x(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(n)), y(v.begin() + static_cast<std::ptrdiff_t>(n), v.end());
  twoSumChecks(x, y);
  if (fuzz::allFinite(x) && fuzz::allFinite(y) && std::isfinite(c)) {
    finiteChecks(x, y, c);
  } else {
    specialChecks(x, y, c);
  }
  return 0;
}
