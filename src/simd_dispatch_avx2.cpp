// The AVX2-family dot kernels: 256-bit AVX arithmetic and FMA3 (W = 4). Built with -mavx2
// -mfma for its suffix (cmake/kernels.cmake); nothing in here may be reached on a
// processor without them.
#include "algorithms/vector_ops_avx2.h"
#include "simd_dispatch_kernels.h"

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
