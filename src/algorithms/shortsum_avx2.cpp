// The short passes for the AVX2 family (built with -mavx2 -mfma for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found that family).
#include "algorithms/shortsum_kernels.h"
#include "algorithms/vector_ops_avx2.h"

namespace sela {

ShortVerdict shortSumAvx2(const double* x, int64_t n, double& result) {
  return shortSumKernel<Avx2Ops>(x, n, result);
}

ShortVerdict shortDotAvx2(const double* x, const double* y, int64_t n, double& result) {
  return shortDotKernel<Avx2Ops>(x, y, n, result);
}

}  // namespace sela
