// Exact sums and the exact dot product, with the naive loop of sums_bench.cpp as the
// baseline of the same run.
#include "bench_util.h"
#include "sela.h"

using benchutil::Family;

#define SELA_SUM_BENCH(fn)                                                                   \
  static void BM_##fn##_uniform(benchmark::State& s) { benchutil::runSum(s, Family::Uniform, fn); } \
  BENCHMARK(BM_##fn##_uniform) SELA_SIZES;                                                    \
  static void BM_##fn##_wide(benchmark::State& s) { benchutil::runSum(s, Family::WideRange, fn); }  \
  BENCHMARK(BM_##fn##_wide) SELA_SIZES;

#define SELA_DOT_BENCH(fn)                                                                   \
  static void BM_##fn##_uniform(benchmark::State& s) { benchutil::runDot(s, Family::Uniform, fn); } \
  BENCHMARK(BM_##fn##_uniform) SELA_SIZES;                                                    \
  static void BM_##fn##_wide(benchmark::State& s) { benchutil::runDot(s, Family::WideRange, fn); }  \
  BENCHMARK(BM_##fn##_wide) SELA_SIZES;

SELA_SUM_BENCH(sela_sum_exact)
SELA_SUM_BENCH(sela_sum_shewchuk)
SELA_DOT_BENCH(sela_dot_exact)
