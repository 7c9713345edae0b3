// Compensated sums, with the naive loop of sums_bench.cpp as the baseline of the same run.
#include "bench_util.h"
#include "sela.h"

SELA_BENCH_SUM(sela_sum_kahan)
SELA_BENCH_SUM(sela_sum_neumaier)
SELA_BENCH_SUM(sela_sum_klein)
