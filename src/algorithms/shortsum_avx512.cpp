// The short passes for the AVX-512 family (built with -mavx512f for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found that family).
#include "algorithms/shortsum_kernels.h"
#include "algorithms/vector_ops_avx2.h"
#include "algorithms/vector_ops_avx512.h"

namespace sela {

// Up to sixteen elements the sum runs on 256-bit vectors (four of them), whose additions
// have half the latency of 512-bit ones on some processors (an Intel Xeon: 2 against 4
// cycles): the passes are chains of dependent additions and lane folds, and two 512-bit
// vectors fold across one more level of lanes than four 256-bit ones. Measured there,
// kernel alone, sixteen elements, ns per call: uniform 11.1 -> 11.0, wide exponents 10.3
// -> 8.2, condition 1e16 23.0 -> 20.4, condition 1e32 32.4 -> 26.1; eight elements: 9.8 ->
// 8.1, 9.4 -> 6.6, 14.6 -> 11.7, 23.0 -> 16.5. From seventeen on, the 512-bit vectors are
// as fast or faster. (The products keep 512-bit vectors: their split needs fused
// multiply-adds, which the 256-bit set takes from another extension than AVX-512F.)
ShortVerdict shortSumAvx512(const double* x, int64_t n, double& result) {
  if (n <= 2 * Avx512Ops::W) return shortSumKernel<Avx2Ops>(x, n, result);
  return shortSumKernel<Avx512Ops>(x, n, result);
}

ShortVerdict shortDotAvx512(const double* x, const double* y, int64_t n, double& result) {
  return shortDotKernel<Avx512Ops>(x, y, n, result);
}

}  // namespace sela
