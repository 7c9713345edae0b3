// The AVX2-family kernels: 256-bit AVX arithmetic and FMA3 (W = 4). Compiled with -mavx
// -mfma (cmake/kernels.cmake); nothing in here may be reached on a processor without them.
#include "algorithms/condition_blocks.h"
#include "algorithms/lane_kernels.h"
#include "algorithms/normalize_lanes.h"
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
  static V set1(double v) { return _mm256_set1_pd(v); }
  static V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  // Lane masks as all-ones vectors: |p| < floor with both factors non-zero.
  using Mask = __m256d;
  static Mask noMask() { return _mm256_setzero_pd(); }
  static Mask orTiny(Mask acc, V a, V b, V p, V floor) {
    const V zero = _mm256_setzero_pd();
    const V tiny = _mm256_and_pd(_mm256_cmp_pd(abs(p), floor, _CMP_LT_OQ),
                                 _mm256_and_pd(_mm256_cmp_pd(a, zero, _CMP_NEQ_UQ), _mm256_cmp_pd(b, zero, _CMP_NEQ_UQ)));
    return _mm256_or_pd(acc, tiny);
  }
  static bool any(Mask m) { return _mm256_movemask_pd(m) != 0; }
  static V div(V a, V b) { return _mm256_div_pd(a, b); }
  static bool anyInfinite(V d) {
    const V magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), d);
    return _mm256_movemask_pd(_mm256_cmp_pd(magnitude, _mm256_set1_pd(__builtin_inf()), _CMP_EQ_OQ)) != 0;
  }
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

namespace sela {

bool certifiedDotLanesAvx2(const double* x, int64_t n, const double* y, CertifiedDotLanes& state) {
  certifiedDotKernel<Avx2Ops, false>(x, n, y, 0.0, 0.0, state);
  return true;
}

bool certifiedCenteredLanesAvx2(const double* x, int64_t n, const double* y, double cx, double cy,
                                 CertifiedDotLanes& state) {
  certifiedDotKernel<Avx2Ops, true>(x, n, y, cx, cy, state);
  return true;
}

}  // namespace sela

int64_t sela::conditionBlocksAvx(const double* x, int64_t n, ConditionChains& chains) {
  return conditionBlocks<Avx2Ops>(x, n, chains);
}

int64_t sela::normalizeLanesAvx(const double* x, int64_t n, double c, double scale, double* out) {
  return normalizeLanes<Avx2Ops>(x, n, c, scale, out);
}
