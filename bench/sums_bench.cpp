// Plain sums: the speed baseline every other grade is measured against.
#include "bench_util.h"
#include "read_bound.h"
#include "sela.h"

using benchutil::Family;

#define SELA_SUM_BENCH(fn)                                                                   \
  static void BM_##fn##_uniform(benchmark::State& s) { benchutil::runSum(s, Family::Uniform, fn); } \
  BENCHMARK(BM_##fn##_uniform) SELA_SIZES;                                                    \
  static void BM_##fn##_wide(benchmark::State& s) { benchutil::runSum(s, Family::WideRange, fn); }  \
  BENCHMARK(BM_##fn##_wide) SELA_SIZES;

SELA_SUM_BENCH(sela_sum_naive)
SELA_SUM_BENCH(sela_sum_pairwise)
SELA_SUM_BENCH(sela_sum_pairwise_iterative)

// The one-array read bound: the fastest plain reading of the same arrays.
static void BM_stream_read_one_array(benchmark::State& s) {
  const auto& arrays = benchutil::pool(Family::Uniform, s.range(0));
  const readbound::ReadFn read = readbound::fastest(arrays, false);
  benchutil::runSumOver(s, arrays, [read](const double* x, uint64_t n) { return read(x, nullptr, n); });
}
BENCHMARK(BM_stream_read_one_array) SELA_SIZES;
