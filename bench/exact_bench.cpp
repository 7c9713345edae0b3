// Exact sums and the exact dot product, with the naive loop of sums_bench.cpp as the
// baseline of the same run.
#include "bench_util.h"
#include "sela.h"

SELA_BENCH_SUM(sela_sum_exact)
SELA_BENCH_SUM(sela_sum_shewchuk)
SELA_BENCH_DOT(sela_dot_exact)
