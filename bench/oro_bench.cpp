// Cascaded and faithful sums and the condition number, on plain data and on data of
// prescribed condition number (1e16 and 1e32): AccSum sweeps once more for every
// 53 - 2M bits of cancellation (M = ceil(log2(n + 2))), so its cost grows with the
// condition number. sela_sum_naive runs on the same arrays as the baseline.
#include <algorithm>
#include <cmath>

#include "bench_util.h"
#include "sela.h"

using benchutil::Family;

namespace {

// The achieved condition number: sum of magnitudes over the exact sum.
double achievedCondition(const std::vector<double>& x) {
  std::vector<double> a(x.size());
  for (size_t i = 0; i < x.size(); ++i) a[i] = std::fabs(x[i]);
  return sela_sum_exact(a.data(), a.size()) / std::fabs(sela_sum_exact(x.data(), x.size()));
}

// The number of sweeps AccSum's transformation makes on x (0 when it is not run): the
// stopping rule alone, on a copy, with sigma = 2^M * (the power of two at or above
// max|x|) shrinking by 2^(M - 53) per sweep until |t| >= 2^(2M - 53) sigma.
int accSweeps(const std::vector<double>& x) {
  const auto n = static_cast<int64_t>(x.size());
  double mu = 0.0;
  for (double v : x) {
    if (!std::isfinite(v)) return 0;
    mu = std::max(mu, std::fabs(v));
  }
  if (n < 2 || mu == 0.0) return 0;
  int m = 0;
  while ((int64_t{1} << m) < n + 2) ++m;
  int e = 0;
  const double frac = std::frexp(mu, &e);
  double sigma = std::ldexp(1.0, (frac == 0.5 ? e - 1 : e) + m);
  if (!std::isfinite(sigma)) return 0;
  std::vector<double> p = x;
  double t = 0.0;
  for (int sweeps = 1;; ++sweeps) {
    double tau = 0.0;
    for (double& v : p) {
      const double q = (sigma + v) - sigma;
      v -= q;
      tau += q;
    }
    const double next = t + tau;
    if (std::fabs(next) >= std::ldexp(sigma, 2 * m - 53) || sigma <= 0x1p-1022) return sweeps;
    sigma = std::ldexp(sigma, m - 53);
    t = next;
  }
}

template <typename Fn>
void runFamily(benchmark::State& state, Family f, Fn fn) {
  benchutil::runSum(state, f, fn);
  const auto& x = benchutil::pool(f, state.range(0))[0];
  state.counters["cond"] = achievedCondition(x);
  state.counters["acc_sweeps"] = accSweeps(x);
}

double sumK3(const double* x, uint64_t n) { return sela_sum_k(x, n, 3); }

}  // namespace

#define SELA_ORO_FAMILY(name, fn, family, tag)                                                    \
  static void BM_##name##_##tag(benchmark::State& s) { runFamily(s, Family::family, fn); }        \
  BENCHMARK(BM_##name##_##tag) SELA_SIZES;
#define SELA_ORO_BENCH(name, fn)                   \
  SELA_ORO_FAMILY(name, fn, Uniform, uniform)     \
  SELA_ORO_FAMILY(name, fn, WideRange, wide)      \
  SELA_ORO_FAMILY(name, fn, Cond1e16, cond1e16)   \
  SELA_ORO_FAMILY(name, fn, Cond1e32, cond1e32)

SELA_ORO_BENCH(oro_naive, sela_sum_naive)
SELA_ORO_BENCH(sela_sum_oro, sela_sum_oro)
SELA_ORO_BENCH(sela_sum_k3, sumK3)
SELA_ORO_BENCH(sela_sum_acc, sela_sum_acc)
SELA_ORO_BENCH(sela_sum_near, sela_sum_near)
SELA_ORO_BENCH(sela_condition_number, sela_condition_number)
SELA_ORO_BENCH(oro_exact, sela_sum_exact)
