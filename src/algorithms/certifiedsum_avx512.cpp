// The certified lane pass for the AVX-512 family (built with -mavx512f for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found that family).
#include "algorithms/certifiedsum_kernels.h"
#include "algorithms/vector_ops_avx512.h"

namespace sela {

bool certifiedSumLanesAvx512(const double* x, int64_t n, CertifiedDotLanes& lanes) {
  certifiedSumKernel<Avx512Ops>(x, n, lanes);
  return true;
}

bool extractionDotBlockAvx512(const double* x, const double* y, int64_t n, int64_t ahead, ExtractionLanes& lanes,
                          double* levels) {
  return extractionDotBlock<Avx512Ops>(x, y, n, ahead, lanes, levels);
}

bool extractionSumBlockAvx512(const double* x, int64_t n, int64_t ahead, ExtractionLanes& lanes, double* levels) {
  return extractionSumBlock<Avx512Ops>(x, n, ahead, lanes, levels);
}

bool certifiedDotLanesAvx512(const double* x, int64_t n, const double* y, CertifiedDotLanes& lanes) {
  certifiedDotKernel<Avx512Ops, false>(x, n, y, 0.0, 0.0, lanes);
  return true;
}

bool certifiedCenteredLanesAvx512(const double* x, int64_t n, const double* y, double cx, double cy,
                                  CertifiedDotLanes& lanes) {
  certifiedDotKernel<Avx512Ops, true>(x, n, y, cx, cy, lanes);
  return true;
}

}  // namespace sela
