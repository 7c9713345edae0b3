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
  static V set1(double v) { return _mm512_set1_pd(v); }
  static V abs(V a) { return _mm512_abs_pd(a); }
  // Lane masks in mask registers: |p| < floor with both factors non-zero.
  using Mask = __mmask8;
  static Mask noMask() { return 0; }
  static Mask orTiny(Mask acc, V a, V b, V p, V floor) {
    const V zero = _mm512_setzero_pd();
    Mask tiny = _mm512_cmp_pd_mask(abs(p), floor, _CMP_LT_OQ);
    tiny = _mm512_mask_cmp_pd_mask(tiny, a, zero, _CMP_NEQ_UQ);
    tiny = _mm512_mask_cmp_pd_mask(tiny, b, zero, _CMP_NEQ_UQ);
    return static_cast<Mask>(acc | tiny);
  }
  static bool any(Mask m) { return m != 0; }
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

namespace sela {

bool certifiedDotLanesAvx512(const double* x, int64_t n, const double* y, CertifiedDotLanes& state) {
  certifiedDotKernel<Avx512Ops, false>(x, n, y, 0.0, 0.0, state);
  return true;
}

bool certifiedCenteredLanesAvx512(const double* x, int64_t n, const double* y, double cx, double cy,
                                 CertifiedDotLanes& state) {
  certifiedDotKernel<Avx512Ops, true>(x, n, y, cx, cy, state);
  return true;
}

}  // namespace sela
