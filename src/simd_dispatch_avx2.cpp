// The AVX2-family kernels: 256-bit AVX arithmetic and FMA3 (W = 4). Compiled with -mavx
// -mfma (cmake/kernels.cmake); nothing in here may be reached on a processor without them.
#include "algorithms/condition_blocks.h"
#include "algorithms/condition_blocks_kernel.h"
#include "simd_kernels.h"

namespace {

struct Avx2Ops {
  static constexpr int64_t W = 4;
  using V = __m256d;
  static V zero() { return _mm256_setzero_pd(); }
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V fma(V a, V b, V c) { return _mm256_fmadd_pd(a, b, c); }  // a*b + c, one rounding
  static V fms(V a, V b, V c) { return _mm256_fmsub_pd(a, b, c); }  // a*b - c, one rounding
};

}  // namespace

extern "C" {

double dispatchNaiveDotAvx2(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return naiveKernel<Avx2Ops>(x, nx, y);
}

sela_kernel_result dispatchDot2Avx2(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return compensatedKernel<Avx2Ops, Dot2Lanes<Avx2Ops>>(x, nx, y);
}

sela_kernel_result dispatchDotK3Avx2(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return compensatedKernel<Avx2Ops, DotK3Lanes<Avx2Ops>>(x, nx, y);
}

}  // extern "C"

int64_t sela::conditionBlocksAvx(const double* x, int64_t n, ConditionChains& chains) {
  return conditionBlocks<Avx2Ops>(x, n, chains);
}
