// The exact engine on short and long inputs, with the naive sum of the same run as the
// baseline: sela_sum_exact, sela_dot_exact and the centered reductions at the lengths
// where their arrangements switch. Short inputs rotate through 64 arrays so that no
// branch predictor learns them; "wide" spreads exponents over +-500, so products stay in
// the double range.
#include <map>
#include <random>
#include <utility>

#include "bench_util.h"
#include "sela.h"

namespace {

enum class Data { Uniform, Wide };

std::vector<double> makeData(Data d, int64_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<double> v(static_cast<size_t>(n));
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::uniform_int_distribution<int> e(-500, 500);
  for (auto& x : v) x = d == Data::Uniform ? u(rng) : std::ldexp(u(rng), e(rng));
  return v;
}

const std::vector<std::vector<double>>& arrays(Data d, int64_t n) {
  static std::map<std::pair<int, int64_t>, std::vector<std::vector<double>>> pools;
  auto& p = pools[{static_cast<int>(d), n}];
  if (p.empty()) {
    const int count = n >= 10000000 ? 3 : n >= 100000 ? 8 : 64;
    for (int i = 0; i < count; ++i) p.push_back(makeData(d, n, 77 + static_cast<uint64_t>(i)));
  }
  return p;
}

template <typename Fn>
void runOne(benchmark::State& s, Data d, Fn fn) {
  benchutil::runSumOver(s, arrays(d, s.range(0)), fn);
}

template <typename Fn>
void runTwo(benchmark::State& s, Data d, Fn fn) {
  const int64_t n = s.range(0);
  const auto& a = arrays(d, n);
  size_t k = 0;
  for (auto _ : s) {
    const auto& x = a[k];
    const auto& y = a[(k + 1) % a.size()];
    k = (k + 1) % a.size();
    benchmark::DoNotOptimize(fn(x.data(), y.data(), static_cast<uint64_t>(n)));
  }
  benchutil::finish(s, n);
}

double sumSquares(const double* x, uint64_t n) { return sela_centered_sum_squares(x, n, 0.125); }
double cross(const double* x, const double* y, uint64_t n) { return sela_centered_cross_product(x, y, n, 0.125, -0.25); }
double cosine(const double* x, const double* y, uint64_t n) {
  return sela_centered_cosine_similarity(x, y, n, 0.125, -0.25);
}
double projection(const double* x, const double* y, uint64_t n) {
  return sela_centered_projection_coefficient(x, y, n, 0.125, -0.25);
}

}  // namespace

#define EXACT_SIZES \
  ->Arg(16)->Arg(256)->Arg(1000)->Arg(4096)->Arg(100000)->Arg(10000000)->Unit(benchmark::kNanosecond)
#define EXACT_ONE(name, fn)                                                                        \
  static void BM_x_##name##_uniform(benchmark::State& s) { runOne(s, Data::Uniform, fn); }         \
  BENCHMARK(BM_x_##name##_uniform) EXACT_SIZES;                                                    \
  static void BM_x_##name##_wide(benchmark::State& s) { runOne(s, Data::Wide, fn); }               \
  BENCHMARK(BM_x_##name##_wide) EXACT_SIZES;
#define EXACT_TWO(name, fn)                                                                        \
  static void BM_x_##name##_uniform(benchmark::State& s) { runTwo(s, Data::Uniform, fn); }         \
  BENCHMARK(BM_x_##name##_uniform) EXACT_SIZES;                                                    \
  static void BM_x_##name##_wide(benchmark::State& s) { runTwo(s, Data::Wide, fn); }               \
  BENCHMARK(BM_x_##name##_wide) EXACT_SIZES;

EXACT_ONE(sum_naive, sela_sum_naive)
EXACT_ONE(sum_exact, sela_sum_exact)
EXACT_TWO(dot_exact, sela_dot_exact)
EXACT_ONE(centered_sum_squares, sumSquares)
EXACT_TWO(centered_cross_product, cross)
EXACT_TWO(centered_cosine, cosine)
EXACT_TWO(centered_projection, projection)
