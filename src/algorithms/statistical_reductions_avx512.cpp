// The centered normalization and the cosine similarity's sweep on AVX-512 vectors (built
// with -mavx512f for its suffix, cmake/kernels.cmake; reached only where the dispatch
// found that family).
#include "algorithms/statistical_reductions_kernels.h"
#include "algorithms/vector_ops_avx512.h"

int64_t sela::normalizeLanesAvx512(const double* x, int64_t n, double c, double scale, double* out) {
  return normalizeLanes<Avx512Ops>(x, n, c, scale, out);
}

int64_t sela::normalizePairWithNormsAvx512(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                                           double* u, double* v, NormState& a, NormState& b, CertifiedDotLanes* products,
                                           int64_t* productsDone) {
  if (products == nullptr) return normalizePairWithNorms<Avx512Ops, false>(x, y, n, p, u, v, a, b, nullptr, nullptr);
  return normalizePairWithNorms<Avx512Ops, true>(x, y, n, p, u, v, a, b, products, productsDone);
}

double sela::maxMagnitudeLanesAvx512(const double* x, int64_t n, int64_t* done) {
  return maxMagnitudeLanes<Avx512Ops>(x, n, done);
}

int64_t sela::projectionLanesAvx512(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                                 CertifiedDotLanes& cross, CertifiedDotLanes& self) {
  return projectionLanes<Avx512Ops>(x, y, n, p, cross, self);
}

bool sela::fusedQuotientsAvx512(const double* a, int64_t n, double b, double* q, bool* vouched, int64_t* done) {
  return fusedQuotientLanes<Avx512Ops>(a, n, b, q, vouched, done);
}
