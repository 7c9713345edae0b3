// The centered normalization and the cosine similarity's sweep on AVX vectors (built
// with -mavx2 -mfma for its suffix, cmake/kernels.cmake; reached only where the dispatch
// found the AVX2 family).
#include "algorithms/statistical_reductions_kernels.h"
#include "algorithms/vector_ops_avx2.h"

int64_t sela::normalizeLanesAvx(const double* x, int64_t n, double c, double scale, double* out) {
  return normalizeLanes<Avx2Ops>(x, n, c, scale, out);
}

int64_t sela::normalizePairWithNormsAvx(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                                        double* u, double* v, NormState& a, NormState& b, CertifiedDotLanes* products,
                                        int64_t* productsDone) {
  if (products == nullptr) return normalizePairWithNorms<Avx2Ops, false>(x, y, n, p, u, v, a, b, nullptr, nullptr);
  return normalizePairWithNorms<Avx2Ops, true>(x, y, n, p, u, v, a, b, products, productsDone);
}

double sela::maxMagnitudeLanesAvx(const double* x, int64_t n, int64_t* done) {
  return maxMagnitudeLanes<Avx2Ops>(x, n, done);
}

int64_t sela::projectionLanesAvx(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                              CertifiedDotLanes& cross, CertifiedDotLanes& self) {
  return projectionLanes<Avx2Ops>(x, y, n, p, cross, self);
}

bool sela::fusedQuotientsAvx(const double* a, int64_t n, double b, double* q, bool* vouched, int64_t* done) {
  return fusedQuotientLanes<Avx2Ops>(a, n, b, q, vouched, done);
}
