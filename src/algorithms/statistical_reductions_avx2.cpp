// The centered normalization on AVX vectors (built with -mavx -mfma for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found the AVX2 family).
#include "algorithms/statistical_reductions_kernels.h"
#include "algorithms/vector_ops_avx2.h"

int64_t sela::normalizeLanesAvx(const double* x, int64_t n, double c, double scale, double* out) {
  return normalizeLanes<Avx2Ops>(x, n, c, scale, out);
}
