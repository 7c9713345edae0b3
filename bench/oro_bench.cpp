// Cascaded and faithful sums and the condition number, on uniform data and on data of
// prescribed cancellation: AccSum and NearSum sweep once more for every 53 - 2M bits of
// cancellation (M = ceil(log2(n + 2))), so their cost grows with the condition number.
// sela_sum_naive runs on the same arrays as the baseline.
#include <cmath>
#include <map>
#include <utility>

#include "bench_util.h"
#include "sela.h"

using benchutil::Family;

namespace {

// Large values with exponents spread over [0, b] and their exact negations, shuffled with
// a tenth of small uniform values that carry the sum. Condition number about
// (0.45 n 2^b / (b ln 2)) / sqrt(n / 30); the benchmark reports the achieved one.
std::vector<double> cancelling(int64_t n, double cond, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto count = static_cast<double>(n);
  const double target = cond * std::sqrt(count / 30.0) / (0.45 * count);
  int b = 1;
  while (std::ldexp(1.0, b) / (b * std::log(2.0)) < target) ++b;
  std::uniform_int_distribution<int> e(0, b);
  std::vector<double> v;
  v.reserve(static_cast<size_t>(n));
  const int64_t pairs = (n - n / 10) / 2;
  for (int64_t i = 0; i < pairs; ++i) {
    const double a = std::ldexp(u(rng), e(rng));
    v.push_back(a);
    v.push_back(-a);
  }
  while (static_cast<int64_t>(v.size()) < n) v.push_back(u(rng));
  std::shuffle(v.begin(), v.end(), rng);
  return v;
}

const std::vector<std::vector<double>>& illPool(int64_t n, double cond) {
  static std::map<std::pair<int64_t, double>, std::vector<std::vector<double>>> pools;
  auto& p = pools[{n, cond}];
  if (p.empty()) {
    for (int i = 0; i < benchutil::arraysFor(n); ++i) p.push_back(cancelling(n, cond, 500 + static_cast<uint64_t>(i)));
  }
  return p;
}

// The achieved condition number: sum of magnitudes over the exact sum.
double achievedCondition(const std::vector<double>& x) {
  double a = 0.0;
  for (double v : x) a += std::fabs(v);
  return a / std::fabs(sela_sum_exact(x.data(), x.size()));
}

template <typename Fn>
void runIll(benchmark::State& state, double cond, Fn fn) {
  const auto& arrays = illPool(state.range(0), cond);
  benchutil::runSumOver(state, arrays, fn);
  state.counters["cond"] = achievedCondition(arrays[0]);
}

double sumK3(const double* x, uint64_t n) { return sela_sum_k(x, n, 3); }

}  // namespace

#define SELA_ORO_BENCH(name, fn)                                                                    \
  static void BM_##name##_uniform(benchmark::State& s) { benchutil::runSum(s, Family::Uniform, fn); } \
  BENCHMARK(BM_##name##_uniform) SELA_SIZES;                                                        \
  static void BM_##name##_cond1e16(benchmark::State& s) { runIll(s, 1e16, fn); }                     \
  BENCHMARK(BM_##name##_cond1e16) SELA_SIZES;                                                       \
  static void BM_##name##_cond1e40(benchmark::State& s) { runIll(s, 1e40, fn); }                     \
  BENCHMARK(BM_##name##_cond1e40) SELA_SIZES;

SELA_ORO_BENCH(oro_naive, sela_sum_naive)
SELA_ORO_BENCH(sela_sum_oro, sela_sum_oro)
SELA_ORO_BENCH(sela_sum_k3, sumK3)
SELA_ORO_BENCH(sela_sum_acc, sela_sum_acc)
SELA_ORO_BENCH(sela_sum_near, sela_sum_near)
SELA_ORO_BENCH(sela_condition_number, sela_condition_number)
