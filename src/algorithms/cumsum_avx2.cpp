// The running sums' span kernels on AVX vectors (built with -mavx2 -mfma for its suffix,
// cmake/kernels.cmake; reached only where the dispatch found the AVX2 family).
#include "algorithms/cumsum_kernels.h"
#include "algorithms/vector_ops_avx2.h"

int64_t sela::exactSpanAvx2(const double* x, int64_t len, double s, double c, bool scaled, double* r, SpanEnd& end) {
  return scaled ? runSpanBlocks<Avx2Ops, false, true>(x, len, s, c, 0.0, r, end)
                : runSpanBlocks<Avx2Ops, false, false>(x, len, s, c, 0.0, r, end);
}

int64_t sela::boundSpanAvx2(const double* x, int64_t len, double s, double c, double b, bool scaled, double* r,
                            SpanEnd& end) {
  return scaled ? runSpanBlocks<Avx2Ops, true, true>(x, len, s, c, b, r, end)
                : runSpanBlocks<Avx2Ops, true, false>(x, len, s, c, b, r, end);
}
