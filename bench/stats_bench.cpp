// Statistical reductions: the norm and mean over one array, the centered reductions over
// two (centers fixed inside the data's range, so the centering cancels as it would for
// real data). Compare with BM_sela_sum_naive_* from the same run.
#include "bench_util.h"
#include "sela.h"

using benchutil::Family;

namespace {

constexpr double kCx = 0.125;
constexpr double kCy = -0.25;

double sumSquares(const double* x, uint64_t n) { return sela_centered_sum_squares(x, n, kCx); }
double crossProduct(const double* x, const double* y, uint64_t n) {
  return sela_centered_cross_product(x, y, n, kCx, kCy);
}
double cosine(const double* x, const double* y, uint64_t n) {
  return sela_centered_cosine_similarity(x, y, n, kCx, kCy);
}
double projection(const double* x, const double* y, uint64_t n) {
  return sela_centered_projection_coefficient(x, y, n, kCx, kCy);
}

}  // namespace

#define SELA_STATS_ONE(name, fn, family)                                                   \
  static void BM_##name(benchmark::State& s) { benchutil::runSum(s, Family::family, fn); } \
  BENCHMARK(BM_##name) SELA_SIZES;
#define SELA_STATS_TWO(name, fn, family)                                                   \
  static void BM_##name(benchmark::State& s) { benchutil::runDot(s, Family::family, fn); } \
  BENCHMARK(BM_##name) SELA_SIZES;

SELA_STATS_ONE(sela_norm_scaled_uniform, sela_norm_scaled, Uniform)
SELA_STATS_ONE(sela_norm_scaled_wide, sela_norm_scaled, WideRange)
SELA_STATS_ONE(sela_mean_scaled_uniform, sela_mean_scaled, Uniform)
SELA_STATS_ONE(sela_centered_sum_squares_uniform, sumSquares, Uniform)
SELA_STATS_TWO(sela_centered_cross_product_uniform, crossProduct, Uniform)
SELA_STATS_TWO(sela_centered_cosine_similarity_uniform, cosine, Uniform)
SELA_STATS_TWO(sela_centered_projection_coefficient_uniform, projection, Uniform)
