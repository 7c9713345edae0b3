// The AVX-512 kernels: 512-bit AVX-512F arithmetic and fused multiply-adds (W = 8).
// Compiled with -mavx512f (cmake/kernels.cmake); nothing in here may be reached on a
// processor or operating system without AVX-512F.
#include "simd_kernels.h"

namespace {

struct Avx512Ops {
  static constexpr int64_t W = 8;
  using V = __m512d;
  static V zero() { return _mm512_setzero_pd(); }
  static V load(const double* p) { return _mm512_loadu_pd(p); }
  static void store(double* p, V v) { _mm512_storeu_pd(p, v); }
  static V add(V a, V b) { return _mm512_add_pd(a, b); }
  static V sub(V a, V b) { return _mm512_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm512_mul_pd(a, b); }
  static V fma(V a, V b, V c) { return _mm512_fmadd_pd(a, b, c); }  // a*b + c, one rounding
  static V fms(V a, V b, V c) { return _mm512_fmsub_pd(a, b, c); }  // a*b - c, one rounding
};

}  // namespace

extern "C" {

double dispatchNaiveDotAvx512(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return naiveKernel<Avx512Ops>(x, nx, y);
}

sela_kernel_result dispatchDot2Avx512(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return compensatedKernel<Avx512Ops, Dot2Lanes<Avx512Ops>>(x, nx, y);
}

sela_kernel_result dispatchDotK3Avx512(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return compensatedKernel<Avx512Ops, DotK3Lanes<Avx512Ops>>(x, nx, y);
}

}  // extern "C"
