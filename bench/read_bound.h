// The machine's read bound, measured in the same run as the exports: loops that only
// read the arrays, in several shapes (vector width, with or without software prefetch),
// of which the fastest on this machine, this size and these arrays is the bound. Nothing
// else is in the loop (integer XORs into independent accumulators), so neither latency
// nor the instruction rate limits it.
#pragma once

#include <immintrin.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bench_util.h"

namespace readbound {

// Every shape reads x[0..n-1] and, when y is not null, y[0..n-1] as well.
inline uint64_t plainReadOne(const double* x, uint64_t n) {
  uint64_t r[4] = {0, 0, 0, 0};
  uint64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int k = 0; k < 4; ++k) {
      uint64_t u;
      std::memcpy(&u, x + i + k, sizeof u);
      r[k] ^= u;
    }
  }
  for (; i < n; ++i) {
    uint64_t u;
    std::memcpy(&u, x + i, sizeof u);
    r[0] ^= u;
  }
  return (r[0] ^ r[1]) ^ (r[2] ^ r[3]);
}

inline uint64_t plainRead(const double* x, const double* y, uint64_t n) {
  return y == nullptr ? plainReadOne(x, n) : plainReadOne(x, n) ^ plainReadOne(y, n);
}

// Blocks of four vectors of each array into named accumulators (kept in registers),
// prefetching `Ahead` bytes in front (0: none); then single vectors; then scalars.
#define SELA_READ_SHAPE(name, isa, V, load, xorv, zero, lanes, reduce)                            \
  template <int Ahead>                                                                                \
  __attribute__((target(isa))) uint64_t name(const double* x, const double* y, uint64_t n) {     \
    V a0 = zero, a1 = zero, a2 = zero, a3 = zero, b0 = zero, b1 = zero, b2 = zero, b3 = zero;         \
    uint64_t i = 0;                                                                                   \
    for (; i + 4 * (lanes) <= n; i += 4 * (lanes)) {                                                  \
      if constexpr (Ahead > 0) __builtin_prefetch(reinterpret_cast<const char*>(x + i) + Ahead);      \
      a0 = xorv(a0, load(x + i));                                                                     \
      a1 = xorv(a1, load(x + i + (lanes)));                                                           \
      a2 = xorv(a2, load(x + i + 2 * (lanes)));                                                       \
      a3 = xorv(a3, load(x + i + 3 * (lanes)));                                                       \
      if (y == nullptr) continue;                                                                     \
      if constexpr (Ahead > 0) __builtin_prefetch(reinterpret_cast<const char*>(y + i) + Ahead);      \
      b0 = xorv(b0, load(y + i));                                                                     \
      b1 = xorv(b1, load(y + i + (lanes)));                                                           \
      b2 = xorv(b2, load(y + i + 2 * (lanes)));                                                       \
      b3 = xorv(b3, load(y + i + 3 * (lanes)));                                                       \
    }                                                                                                 \
    for (; i + (lanes) <= n; i += (lanes)) {                                                          \
      a0 = xorv(a0, load(x + i));                                                                     \
      if (y != nullptr) b0 = xorv(b0, load(y + i));                                                   \
    }                                                                                                 \
    const V t = xorv(xorv(xorv(a0, a1), xorv(a2, a3)), xorv(xorv(b0, b1), xorv(b2, b3)));             \
    return (reduce) ^ plainRead(x + i, y == nullptr ? nullptr : y + i, n - i);                        \
  }

#define SELA_LOAD512(p) _mm512_loadu_si512(p)
#define SELA_LOAD256(p) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))
SELA_READ_SHAPE(read512, "avx512f", __m512i, SELA_LOAD512, _mm512_xor_si512, _mm512_setzero_si512(), 8,
                static_cast<uint64_t>(_mm512_reduce_or_epi64(t)))
SELA_READ_SHAPE(read256, "avx2", __m256i, SELA_LOAD256, _mm256_xor_si256, _mm256_setzero_si256(), 4,
                static_cast<uint64_t>(_mm256_extract_epi64(t, 0) ^ _mm256_extract_epi64(t, 3)))
#undef SELA_READ_SHAPE
#undef SELA_LOAD512
#undef SELA_LOAD256

using ReadFn = uint64_t (*)(const double*, const double*, uint64_t);

inline std::vector<ReadFn> shapes() {
  __builtin_cpu_init();
  std::vector<ReadFn> s = {plainRead};
  if (__builtin_cpu_supports("avx2")) s.insert(s.end(), {read256<0>, read256<1024>, read256<4096>});
  if (__builtin_cpu_supports("avx512f")) s.insert(s.end(), {read512<0>, read512<1024>, read512<4096>});
  return s;
}

// The fastest shape on these arrays: each runs over the rotation for about 20 ms, and
// the one with the least time per call wins. `two` reads pairs of consecutive arrays, as
// the dot-product benchmarks do.
inline ReadFn fastest(const std::vector<std::vector<double>>& arrays, bool two) {
  ReadFn best = plainRead;
  double bestTime = 1e300;
  for (ReadFn f : shapes()) {
    uint64_t sink = 0;
    int64_t calls = 0;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::duration<double> elapsed{};
    size_t k = 0;
    // Batches of calls between two clock readings, so that short arrays time the reading.
    const int64_t batch = 1 + static_cast<int64_t>(65536 / (arrays[0].size() + 1));
    do {
      for (int64_t b = 0; b < batch; ++b) {
        const size_t next = k + 1 == arrays.size() ? 0 : k + 1;
        sink ^= f(arrays[k].data(), two ? arrays[next].data() : nullptr, arrays[k].size());
        k = next;
      }
      calls += batch;
      elapsed = std::chrono::steady_clock::now() - start;
    } while (elapsed.count() < 0.02);
    benchmark::DoNotOptimize(sink);
    const double perCall = elapsed.count() / static_cast<double>(calls);
    if (perCall < bestTime) {
      bestTime = perCall;
      best = f;
    }
  }
  return best;
}

}  // namespace readbound
