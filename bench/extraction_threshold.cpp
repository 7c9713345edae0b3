// Where the one-read extraction pass should take over from the compensated pass (the
// exact engine's kExtractionOnlyFrom, exactengine.cpp): the two routes timed side by side
// at 2^13 .. 2^22 elements, with sela_sum_naive on the same arrays as the baseline.
// "both" is the route below the threshold: the compensated pass, and where it declines
// (heavy cancellation) the extraction pass after it; "extracted" is the extraction pass
// alone. On data the compensated pass decides, the crossover is where the extraction
// pass becomes the cheaper read; on ill-conditioned data "extracted" saves a whole pass.
// Built into sela_family_bench (it calls the library's internal passes), so
// SELA_BENCH_FAMILY times either vector family.
#include "algorithms/certifiedsum.h"
#include "bench_util.h"
#include "sela.h"

using benchutil::Family;

namespace {

double both(const double* x, uint64_t n) {
  double r = 0.0;
  const auto len = static_cast<int64_t>(n);
  if (!sela::certifiedSum(x, len, r) && !sela::extractedSum(x, len, r)) r = -1.0;
  return r;
}

double extracted(const double* x, uint64_t n) {
  double r = 0.0;
  if (!sela::extractedSum(x, static_cast<int64_t>(n), r)) r = -1.0;
  return r;
}

double bothDot(const double* x, const double* y, uint64_t n) {
  double r = 0.0;
  const auto len = static_cast<int64_t>(n);
  if (!sela::certifiedDot(x, y, len, r) && !sela::extractedDot(x, y, len, r)) r = -1.0;
  return r;
}

double extractedDot(const double* x, const double* y, uint64_t n) {
  double r = 0.0;
  if (!sela::extractedDot(x, y, static_cast<int64_t>(n), r)) r = -1.0;
  return r;
}

}  // namespace

#define THRESHOLD_SIZES ->RangeMultiplier(2)->Range(1 << 13, 1 << 22)->Unit(benchmark::kMicrosecond)
#define THRESHOLD_ROUTE(name, runner, fn)                                                                       \
  static void BM_t_##name##_uniform(benchmark::State& s) { benchutil::runner(s, Family::Uniform, fn); }    \
  BENCHMARK(BM_t_##name##_uniform) THRESHOLD_SIZES;                                                        \
  static void BM_t_##name##_wide(benchmark::State& s) { benchutil::runner(s, Family::WideRange, fn); }     \
  BENCHMARK(BM_t_##name##_wide) THRESHOLD_SIZES;                                                           \
  static void BM_t_##name##_cond1e16(benchmark::State& s) { benchutil::runner(s, Family::Cond1e16, fn); }  \
  BENCHMARK(BM_t_##name##_cond1e16) THRESHOLD_SIZES;                                                       \
  static void BM_t_##name##_cond1e32(benchmark::State& s) { benchutil::runner(s, Family::Cond1e32, fn); }  \
  BENCHMARK(BM_t_##name##_cond1e32) THRESHOLD_SIZES;

THRESHOLD_ROUTE(sum_naive, runSum, sela_sum_naive)
THRESHOLD_ROUTE(sum_both, runSum, both)
THRESHOLD_ROUTE(sum_extracted, runSum, extracted)
THRESHOLD_ROUTE(dot_both, runDotNearOnes, bothDot)
THRESHOLD_ROUTE(dot_extracted, runDotNearOnes, extractedDot)
