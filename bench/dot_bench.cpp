// Dot products: the exports, the six vector kernels called directly, and the peer a user
// would pick instead (cblas_ddot of OpenBLAS, single-threaded, when found at configure
// time). Each reports ns/elem and bytes/s (16 bytes per element: one double of x and one
// of y); the stream benchmark reads the same arrays with nothing else in the loop, in
// the fastest of several shapes, as the machine's read bound in the same run.
#include <immintrin.h>

#include <cstring>

#include "bench_util.h"
#include "read_bound.h"
#include "sela.h"

#if defined(SELA_BENCH_HAVE_OPENBLAS)
#include <cblas.h>
#endif

using benchutil::Family;

namespace {

template <typename Fn>
void runDotBytes(benchmark::State& state, Fn fn) {
  benchutil::runDot(state, Family::Uniform, fn);
  state.SetBytesProcessed(state.iterations() * state.range(0) * 16);
}

bool cpuHas(const char* what) {
  __builtin_cpu_init();
  if (std::strcmp(what, "avx2") == 0) return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return __builtin_cpu_supports("avx512f") != 0;
}

}  // namespace

#define SELA_DOT_BENCH(name, expr)                                                       \
  static void BM_##name(benchmark::State& s) {                                           \
    runDotBytes(s, [](const double* x, const double* y, uint64_t n) { return expr; }); \
  }                                                                                      \
  BENCHMARK(BM_##name) SELA_SIZES;

SELA_DOT_BENCH(sela_dot_naive, sela_dot_naive(x, y, n))
SELA_DOT_BENCH(sela_dot2, sela_dot2(x, y, n))
SELA_DOT_BENCH(sela_dot_k3, sela_dot_k(x, y, n, 3))
SELA_DOT_BENCH(sela_dot_k4, sela_dot_k(x, y, n, 4))
SELA_DOT_BENCH(sela_dot_exact, sela_dot_exact(x, y, n))

#define SELA_KERNEL_BENCH(kernel, isa, expr)                                                     \
  static void BM_##kernel(benchmark::State& s) {                                                 \
    if (!cpuHas(isa)) {                                                                          \
      s.SkipWithError(isa " not supported here");                                                \
      return;                                                                                    \
    }                                                                                            \
    runDotBytes(s, [](const double* x, const double* y, uint64_t n) {                            \
      const auto len = static_cast<int64_t>(n);                                                  \
      return expr;                                                                               \
    });                                                                                          \
  }                                                                                              \
  BENCHMARK(BM_##kernel) SELA_SIZES;

SELA_KERNEL_BENCH(dispatchNaiveDotAvx2, "avx2", dispatchNaiveDotAvx2(x, len, y, len))
SELA_KERNEL_BENCH(dispatchNaiveDotAvx512, "avx512f", dispatchNaiveDotAvx512(x, len, y, len))
SELA_KERNEL_BENCH(dispatchDot2Avx2, "avx2", dispatchDot2Avx2(x, len, y, len).value)
SELA_KERNEL_BENCH(dispatchDot2Avx512, "avx512f", dispatchDot2Avx512(x, len, y, len).value)
SELA_KERNEL_BENCH(dispatchDotK3Avx2, "avx2", dispatchDotK3Avx2(x, len, y, len).value)
SELA_KERNEL_BENCH(dispatchDotK3Avx512, "avx512f", dispatchDotK3Avx512(x, len, y, len).value)

// Dot2 on ill-conditioned data (the sums of condition 1e16 and 1e32 dotted with
// 1 + 2^-30): the lane sums cancel, the vector kernel declines and the scalar Dot2
// decides, so a call pays both. The kernel alone on the same arrays is what the decline
// costs; compare both with BM_oro_naive_<family> (the naive sum of the same arrays).
#define SELA_DOT2_HARD(family, tag)                                                                         \
  static void BM_sela_dot2_##tag(benchmark::State& s) { benchutil::runDotNearOnes(s, Family::family, sela_dot2); } \
  BENCHMARK(BM_sela_dot2_##tag) SELA_SIZES;                                                                 \
  static void BM_dispatchDot2Avx2_##tag(benchmark::State& s) {                                              \
    if (!cpuHas("avx2")) return s.SkipWithError("avx2 not supported here");                                 \
    benchutil::runDotNearOnes(s, Family::family, [](const double* x, const double* y, uint64_t n) {        \
      const auto len = static_cast<int64_t>(n);                                                             \
      return dispatchDot2Avx2(x, len, y, len).value;                                                        \
    });                                                                                                     \
  }                                                                                                         \
  BENCHMARK(BM_dispatchDot2Avx2_##tag) SELA_SIZES;                                                          \
  static void BM_dispatchDot2Avx512_##tag(benchmark::State& s) {                                            \
    if (!cpuHas("avx512f")) return s.SkipWithError("avx512f not supported here");                           \
    benchutil::runDotNearOnes(s, Family::family, [](const double* x, const double* y, uint64_t n) {        \
      const auto len = static_cast<int64_t>(n);                                                             \
      return dispatchDot2Avx512(x, len, y, len).value;                                                      \
    });                                                                                                     \
  }                                                                                                         \
  BENCHMARK(BM_dispatchDot2Avx512_##tag) SELA_SIZES;
SELA_DOT2_HARD(Cond1e16, cond1e16)
SELA_DOT2_HARD(Cond1e32, cond1e32)
#undef SELA_DOT2_HARD

#if defined(SELA_BENCH_HAVE_OPENBLAS)
static void BM_cblas_ddot(benchmark::State& s) {
  openblas_set_num_threads(1);
  runDotBytes(s, [](const double* x, const double* y, uint64_t n) {
    return cblas_ddot(static_cast<blasint>(n), x, 1, y, 1);
  });
}
BENCHMARK(BM_cblas_ddot) SELA_SIZES;
#endif

// The two-array read bound: the fastest plain reading of x and y on these arrays.
static void BM_stream_read_two_arrays(benchmark::State& s) {
  const readbound::ReadFn read = readbound::fastest(benchutil::pool(Family::Uniform, s.range(0)), true);
  runDotBytes(s, read);
}
BENCHMARK(BM_stream_read_two_arrays) SELA_SIZES;

// The in-cache bounds of the kernels' lane shapes, measured in the same run: the latency
// of one vector fused multiply-add chained through its addend (the naive kernel's chain
// per block) and of one vector addition (the Dot2 kernels' chain is two of them per
// block), for each vector width. Reported as ns per dependent operation.
template <typename Step>
static void runChain(benchmark::State& s, const char* isa, Step step) {
  if (!cpuHas(isa)) {
    s.SkipWithError("not supported here");
    return;
  }
  constexpr int kOps = 1000;
  for (auto _ : s) {
    int ops = kOps;
    benchmark::DoNotOptimize(ops);  // an opaque count: the chain cannot be hoisted
    benchmark::DoNotOptimize(step(ops));
  }
  s.counters["ns/op"] = benchmark::Counter(static_cast<double>(kOps) * static_cast<double>(s.iterations()),
                                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Each `__asm__("" : "+v"(a))` pins the chain as written: one dependent operation per
// step, nothing reassociated or hoisted.
__attribute__((target("avx2,fma"))) static double fmaChain256(int ops) {
  __m256d a = _mm256_set1_pd(1.0);
  for (int i = 0; i < ops; ++i) {
    a = _mm256_fmadd_pd(_mm256_set1_pd(0.999), _mm256_set1_pd(1e-3), a);
    __asm__("" : "+v"(a));
  }
  return _mm256_cvtsd_f64(a);
}

__attribute__((target("avx2"))) static double addChain256(int ops) {
  __m256d a = _mm256_set1_pd(1.0);
  for (int i = 0; i < ops; ++i) {
    a = _mm256_add_pd(a, _mm256_set1_pd(1e-3));
    __asm__("" : "+v"(a));
  }
  return _mm256_cvtsd_f64(a);
}

__attribute__((target("avx512f"))) static double fmaChain512(int ops) {
  __m512d a = _mm512_set1_pd(1.0);
  for (int i = 0; i < ops; ++i) {
    a = _mm512_fmadd_pd(_mm512_set1_pd(0.999), _mm512_set1_pd(1e-3), a);
    __asm__("" : "+v"(a));
  }
  return _mm512_cvtsd_f64(a);
}

__attribute__((target("avx512f"))) static double addChain512(int ops) {
  __m512d a = _mm512_set1_pd(1.0);
  for (int i = 0; i < ops; ++i) {
    a = _mm512_add_pd(a, _mm512_set1_pd(1e-3));
    __asm__("" : "+v"(a));
  }
  return _mm512_cvtsd_f64(a);
}

static void BM_bound_fma_latency_256(benchmark::State& s) { runChain(s, "avx2", fmaChain256); }
static void BM_bound_add_latency_256(benchmark::State& s) { runChain(s, "avx2", addChain256); }
static void BM_bound_fma_latency_512(benchmark::State& s) { runChain(s, "avx512f", fmaChain512); }
static void BM_bound_add_latency_512(benchmark::State& s) { runChain(s, "avx512f", addChain512); }
BENCHMARK(BM_bound_fma_latency_256);
BENCHMARK(BM_bound_add_latency_256);
BENCHMARK(BM_bound_fma_latency_512);
BENCHMARK(BM_bound_add_latency_512);
