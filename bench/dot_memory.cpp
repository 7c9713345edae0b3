// Where the exact dot product's time goes on data from memory: each pass alone (the
// certified pass and the extraction pass of the products, internal to the library), the
// export, and the two-array read in the extraction pass's own loop shape (one vector of
// each array per step, both arrays' lines asked for as the pass asks for them, nothing
// else in the loop), with sela_sum_naive on the same arrays as the baseline. Pairs: x
// and y consecutive arrays of the pool; near ones: y = 1 + 2^-30 (the peer tables' form).
// Built into sela_family_bench (it calls the library's internal passes).
#include <immintrin.h>

#include "algorithms/certifiedsum.h"
#include "bench_util.h"
#include "sela.h"

using benchutil::Family;

namespace {

double certified(const double* x, const double* y, uint64_t n) {
  double r = 0.0;
  if (!sela::certifiedDot(x, y, static_cast<int64_t>(n), r)) r = -1.0;
  return r;
}

double extracted(const double* x, const double* y, uint64_t n) {
  double r = 0.0;
  if (!sela::extractedDot(x, y, static_cast<int64_t>(n), r)) r = -1.0;
  return r;
}

double exported(const double* x, const double* y, uint64_t n) { return sela_dot_exact(x, y, n); }
double naiveDot(const double* x, const double* y, uint64_t n) { return sela_dot_naive(x, y, n); }

// The pass's requests for step i: one line of each array 384 elements ahead into the
// second-level cache and 96 ahead into the first, clamped to the last element.
inline void askAhead(const double* x, const double* y, int64_t i, int64_t last) {
  const int64_t far = i + 384 < last ? i + 384 : last;
  const int64_t near = i + 96 < last ? i + 96 : last;
  __builtin_prefetch(x + far, 0, 2);
  __builtin_prefetch(x + near, 0, 3);
  __builtin_prefetch(y + far, 0, 2);
  __builtin_prefetch(y + near, 0, 3);
}

// The lanes of a register of loaded bits, or-ed together (keeps the loads alive).
__attribute__((target("avx512f"))) double orLanes(__m512i acc) {
  uint64_t lanes[8];
  _mm512_storeu_si512(lanes, acc);
  uint64_t all = 0;
  for (const uint64_t l : lanes) all |= l;
  return static_cast<double>(all);
}

// The extraction pass's loop without its arithmetic: a vector of x and of y per step,
// the pass's requests, the loads xored into one register.
__attribute__((target("avx512f"))) double readShape(const double* x, const double* y, uint64_t n) {
  __m512i acc = _mm512_setzero_si512();
  const auto last = static_cast<int64_t>(n) - 1;
  for (int64_t i = 0; i + 8 <= static_cast<int64_t>(n); i += 8) {
    askAhead(x, y, i, last);
    acc = _mm512_xor_si512(acc, _mm512_loadu_si512(x + i));
    acc = _mm512_xor_si512(acc, _mm512_loadu_si512(y + i));
  }
  return orLanes(acc);
}

// The same loop with some 24 vector additions per step besides (four independent chains,
// as many operations as the extraction pass's levels take on uniform data): whether
// arithmetic of that amount alone, overlapped with the reading, leaves the read's time.
__attribute__((target("avx512f"))) double readShapeBusy(const double* x, const double* y, uint64_t n) {
  __m512i acc = _mm512_setzero_si512();
  __m512d c0 = _mm512_setzero_pd(), c1 = c0, c2 = c0, c3 = c0;
  const __m512d step = _mm512_set1_pd(0x1p-60);
  const auto last = static_cast<int64_t>(n) - 1;
  for (int64_t i = 0; i + 8 <= static_cast<int64_t>(n); i += 8) {
    askAhead(x, y, i, last);
    const __m512d a = _mm512_loadu_pd(x + i), b = _mm512_loadu_pd(y + i);
    acc = _mm512_xor_si512(acc, _mm512_castpd_si512(_mm512_add_pd(a, b)));
#pragma GCC unroll 6
    for (int k = 0; k < 6; ++k) {
      c0 = _mm512_add_pd(c0, step);
      c1 = _mm512_add_pd(c1, step);
      c2 = _mm512_add_pd(c2, step);
      c3 = _mm512_add_pd(c3, step);
    }
  }
  double sums[8];
  _mm512_storeu_pd(sums, _mm512_add_pd(_mm512_add_pd(c0, c1), _mm512_add_pd(c2, c3)));
  return orLanes(acc) + sums[0];
}

}  // namespace

#define MEMORY_SIZES ->Arg(100000)->Arg(10000000)->Unit(benchmark::kMicrosecond)
#define MEMORY_ROUTE(name, fn)                                                                                     \
  static void BM_m_##name##_pairs_uniform(benchmark::State& s) { benchutil::runDot(s, Family::Uniform, fn); }      \
  BENCHMARK(BM_m_##name##_pairs_uniform) MEMORY_SIZES;                                                             \
  static void BM_m_##name##_pairs_wide(benchmark::State& s) { benchutil::runDot(s, Family::WideRange, fn); }       \
  BENCHMARK(BM_m_##name##_pairs_wide) MEMORY_SIZES;                                                                \
  static void BM_m_##name##_ones_uniform(benchmark::State& s) { benchutil::runDotNearOnes(s, Family::Uniform, fn); } \
  BENCHMARK(BM_m_##name##_ones_uniform) MEMORY_SIZES;                                                              \
  static void BM_m_##name##_ones_wide(benchmark::State& s) { benchutil::runDotNearOnes(s, Family::WideRange, fn); }  \
  BENCHMARK(BM_m_##name##_ones_wide) MEMORY_SIZES;                                                                 \
  static void BM_m_##name##_ones_cond1e16(benchmark::State& s) {                                                   \
    benchutil::runDotNearOnes(s, Family::Cond1e16, fn);                                                            \
  }                                                                                                                \
  BENCHMARK(BM_m_##name##_ones_cond1e16) MEMORY_SIZES;                                                             \
  static void BM_m_##name##_ones_cond1e32(benchmark::State& s) {                                                   \
    benchutil::runDotNearOnes(s, Family::Cond1e32, fn);                                                            \
  }                                                                                                                \
  BENCHMARK(BM_m_##name##_ones_cond1e32) MEMORY_SIZES;

static void BM_m_sum_naive_uniform(benchmark::State& s) { benchutil::runSum(s, Family::Uniform, sela_sum_naive); }
BENCHMARK(BM_m_sum_naive_uniform) MEMORY_SIZES;
MEMORY_ROUTE(read_shape, readShape)
MEMORY_ROUTE(read_shape_busy, readShapeBusy)
MEMORY_ROUTE(certified, certified)
MEMORY_ROUTE(extracted, extracted)
MEMORY_ROUTE(exported, exported)
MEMORY_ROUTE(dot_naive, naiveDot)
