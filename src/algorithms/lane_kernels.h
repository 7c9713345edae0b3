// Kernels with one copy per instruction set, chosen by the dispatch table: the condition
// number's blocked sweep (condition_blocks.h) and the centered normalization
// (normalize_lanes.h).
#pragma once

#include <cstdint>

namespace sela {

// The running values of the three chains.
struct ConditionChains {
  double s;  // Neumaier's running sum
  double c;  // its gathered errors
  double m;  // the sum of magnitudes
};

using ConditionBlocksKernel = int64_t (*)(const double*, int64_t, ConditionChains&);

// Each runs the chains over the whole blocks of x[0 .. n-1] and returns the number of
// elements consumed; the same bits in both copies. Sse2 is baseline x86-64
// (conditionnumber.cpp), Avx needs AVX (simd_dispatch_avx2.cpp).
int64_t conditionBlocksSse2(const double* x, int64_t n, ConditionChains& chains);
int64_t conditionBlocksAvx(const double* x, int64_t n, ConditionChains& chains);

// The shortest input either copy sweeps in blocks (16 elements per block, of which the
// first three must be whole); shorter ones return 0 at once.
constexpr int64_t kConditionBlocksMinimum = 48;

using NormalizeKernel = int64_t (*)(const double*, int64_t, double, double, double*);

// Each writes out[i] = (x[i] - c) / scale, each operation rounded once, for i from 0 up to
// the first vector of elements holding an infinite difference (or the last whole vector),
// and returns where it stopped; the caller finishes the rest element by element.
int64_t normalizeLanesSse2(const double* x, int64_t n, double c, double scale, double* out);
int64_t normalizeLanesAvx(const double* x, int64_t n, double c, double scale, double* out);

}  // namespace sela
