// The certified lane pass for the AVX2 family (built with -mavx2 -mfma for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found that family).
#include "algorithms/certifiedsum_kernels.h"
#include "algorithms/vector_ops_avx2.h"

namespace sela {

bool certifiedSumLanesAvx2(const double* x, int64_t n, CertifiedDotLanes& lanes) {
  certifiedSumKernel<Avx2Ops>(x, n, lanes);
  return true;
}

bool extractionDotBlockAvx2(const double* x, const double* y, int64_t n, int64_t ahead, ExtractionLanes& lanes,
                          double* levels) {
  return extractionDotBlock<Avx2Ops>(x, y, n, ahead, lanes, levels);
}

bool extractionSumBlockAvx2(const double* x, int64_t n, int64_t ahead, ExtractionLanes& lanes, double* levels) {
  return extractionSumBlock<Avx2Ops>(x, n, ahead, lanes, levels);
}

bool certifiedDotLanesAvx2(const double* x, int64_t n, const double* y, CertifiedDotLanes& lanes) {
  certifiedDotKernel<Avx2Ops, false>(x, n, y, 0.0, 0.0, lanes);
  return true;
}

bool certifiedCenteredLanesAvx2(const double* x, int64_t n, const double* y, double cx, double cy,
                                CertifiedDotLanes& lanes) {
  certifiedDotKernel<Avx2Ops, true>(x, n, y, cx, cy, lanes);
  return true;
}

}  // namespace sela
