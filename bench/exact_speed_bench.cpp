// The exact engine on short and long inputs, with the naive sum of the same run as the
// baseline: sela_sum_exact, sela_dot_exact and the centered reductions at the lengths
// where their arrangements switch. Short inputs rotate through 64 arrays so that no
// branch predictor learns them; "wide" spreads exponents over +-500, so products stay in
// the double range.
#include "bench_util.h"
#include "sela.h"

namespace {

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
  static void BM_x_##name##_uniform(benchmark::State& s) { benchutil::runSum(s, benchutil::Family::Uniform, fn); }         \
  BENCHMARK(BM_x_##name##_uniform) EXACT_SIZES;                                                    \
  static void BM_x_##name##_wide(benchmark::State& s) { benchutil::runSum(s, benchutil::Family::WideRange, fn); }               \
  BENCHMARK(BM_x_##name##_wide) EXACT_SIZES;
#define EXACT_TWO(name, fn)                                                                        \
  static void BM_x_##name##_uniform(benchmark::State& s) { benchutil::runDot(s, benchutil::Family::Uniform, fn); }         \
  BENCHMARK(BM_x_##name##_uniform) EXACT_SIZES;                                                    \
  static void BM_x_##name##_wide(benchmark::State& s) { benchutil::runDot(s, benchutil::Family::WideRange, fn); }               \
  BENCHMARK(BM_x_##name##_wide) EXACT_SIZES;

EXACT_ONE(sum_naive, sela_sum_naive)
EXACT_ONE(sum_exact, sela_sum_exact)
EXACT_TWO(dot_exact, sela_dot_exact)
EXACT_ONE(centered_sum_squares, sumSquares)
EXACT_TWO(centered_cross_product, cross)
EXACT_TWO(centered_cosine, cosine)
EXACT_TWO(centered_projection, projection)

// Ill-conditioned inputs, where the certified passes of the exact sum and dot product
// decline and the exact arrangement decides after them: the sum families of prescribed
// condition number, and the same data dotted with 1 + 2^-30 (the products cancel alike,
// and each has a non-zero low part, as products of general data do).
namespace {

double dotWithNearOnes(const double* x, uint64_t n) {
  return sela_dot_exact(x, benchutil::nearOnes(static_cast<int64_t>(n)).data(), n);
}

}  // namespace

#define EXACT_COND(name, fn)                                                                        \
  static void BM_x_##name##_cond1e16(benchmark::State& s) { benchutil::runSum(s, benchutil::Family::Cond1e16, fn); } \
  BENCHMARK(BM_x_##name##_cond1e16) EXACT_SIZES;                                                    \
  static void BM_x_##name##_cond1e32(benchmark::State& s) { benchutil::runSum(s, benchutil::Family::Cond1e32, fn); } \
  BENCHMARK(BM_x_##name##_cond1e32) EXACT_SIZES;

EXACT_COND(sum_naive, sela_sum_naive)
EXACT_COND(sum_exact, sela_sum_exact)
EXACT_COND(dot_exact, dotWithNearOnes)
