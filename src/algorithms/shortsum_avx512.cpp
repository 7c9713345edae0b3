// The short passes for the AVX-512 family (built with -mavx512f for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found that family).
#include "algorithms/shortsum_kernels.h"
#include "algorithms/vector_ops_avx512.h"

namespace sela {

ShortVerdict shortSumAvx512(const double* x, int64_t n, double& result) {
  return shortSumKernel<Avx512Ops>(x, n, result);
}

ShortVerdict shortDotAvx512(const double* x, const double* y, int64_t n, double& result) {
  return shortDotKernel<Avx512Ops>(x, y, n, result);
}

}  // namespace sela
