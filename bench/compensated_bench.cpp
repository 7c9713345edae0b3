// Compensated sums, with the naive loop of sums_bench.cpp as the baseline of the same run.
#include "bench_util.h"
#include "sela.h"

using benchutil::Family;

#define SELA_SUM_BENCH(fn)                                                                   \
  static void BM_##fn##_uniform(benchmark::State& s) { benchutil::runSum(s, Family::Uniform, fn); } \
  BENCHMARK(BM_##fn##_uniform) SELA_SIZES;                                                    \
  static void BM_##fn##_wide(benchmark::State& s) { benchutil::runSum(s, Family::WideRange, fn); }  \
  BENCHMARK(BM_##fn##_wide) SELA_SIZES;

SELA_SUM_BENCH(sela_sum_kahan)
SELA_SUM_BENCH(sela_sum_neumaier)
SELA_SUM_BENCH(sela_sum_klein)
