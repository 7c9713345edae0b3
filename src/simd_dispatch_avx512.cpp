// The AVX-512 dot kernels: 512-bit AVX-512F arithmetic and fused multiply-adds (W = 8).
// Built with -mavx512f for its suffix (cmake/kernels.cmake); nothing in here may be
// reached on a processor or operating system without AVX-512F.
#include "algorithms/vector_ops_avx512.h"
#include "simd_dispatch_kernels.h"

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
