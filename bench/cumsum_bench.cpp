// The running exact sum against the plain running sum of the same arrays: uniform data
// (few significant bits: the pair stays exact), wide data (exponents over +-500),
// heavily cancelling data (+-2^0 .. 2^60 against the running sum), and small data
// (subnormal, and subnormal with small normal values: scaled spans), at 10^3, 10^5 and
// 10^6. sela_sum_naive on the same arrays is the baseline; in place (the input restored
// between iterations, outside the timing) and the accumulator form, continued over chunks
// of 10^4, are timed beside the plain call.
// --benchmark_filter=BM_cs_ --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <algorithm>
#include <cstring>

#include "bench_util.h"
#include "sela.h"

namespace {

using benchutil::Family;

void naive(benchmark::State& s, Family f) { benchutil::runSum(s, f, sela_sum_naive); }

// Runs fn(x, out, n) once per iteration, rotating through the family's arrays.
template <typename Fn>
void rotate(benchmark::State& s, Family f, Fn fn) {
  const int64_t n = s.range(0);
  const auto& arrays = benchutil::pool(f, n);
  std::vector<double> out(static_cast<size_t>(n));
  size_t k = 0;
  for (auto _ : s) {
    fn(s, arrays[k], out.data(), static_cast<uint64_t>(n));
    benchmark::DoNotOptimize(out.data());
    k = k + 1 == arrays.size() ? 0 : k + 1;
  }
  benchutil::finish(s, n);
}

void cumsum(benchmark::State& s, Family f) {
  rotate(s, f, [](benchmark::State&, const std::vector<double>& x, double* out, uint64_t n) {
    sela_cumsum_exact(x.data(), out, n);
  });
}

void inPlace(benchmark::State& s, Family f) {
  rotate(s, f, [](benchmark::State& st, const std::vector<double>& x, double* out, uint64_t n) {
    st.PauseTiming();
    std::copy(x.begin(), x.end(), out);
    st.ResumeTiming();
    sela_cumsum_exact(out, out, n);
  });
}

void chunks(benchmark::State& s, Family f) {
  rotate(s, f, [](benchmark::State&, const std::vector<double>& x, double* out, uint64_t n) {
    sela_accumulator acc;
    sela_accumulator_init(&acc);
    for (uint64_t i = 0; i < n; i += 10000) (void)sela_accumulator_cumsum(&acc, x.data() + i, out + i, std::min<uint64_t>(10000, n - i));
  });
}

}  // namespace

#define CUMSUM_SIZES ->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond)
#define CUMSUM_FAMILY(tag, family)                                                                  \
  static void BM_cs_naive_##tag(benchmark::State& s) { naive(s, Family::family); }                  \
  BENCHMARK(BM_cs_naive_##tag) CUMSUM_SIZES;                                                        \
  static void BM_cs_cumsum_##tag(benchmark::State& s) { cumsum(s, Family::family); }                \
  BENCHMARK(BM_cs_cumsum_##tag) CUMSUM_SIZES;                                                       \
  static void BM_cs_in_place_##tag(benchmark::State& s) { inPlace(s, Family::family); }             \
  BENCHMARK(BM_cs_in_place_##tag) CUMSUM_SIZES;                                                     \
  static void BM_cs_chunks_##tag(benchmark::State& s) { chunks(s, Family::family); }                \
  BENCHMARK(BM_cs_chunks_##tag) CUMSUM_SIZES;

CUMSUM_FAMILY(uniform, Uniform)
CUMSUM_FAMILY(wide, WideRange)
CUMSUM_FAMILY(cancelling, Cancelling)
CUMSUM_FAMILY(subnormal, Subnormal)
CUMSUM_FAMILY(smallmixed, SmallMixed)
