// The exported dot kernels of the x86 families (W = 4 as AVX2, W = 8 as AVX-512) on
// processors that have neither: the same kernels over the portable operation set, so the
// same operations in the same order and the same bits as on x86-64. Built only off x86-64
// (cmake/kernels.cmake). The dispatch there never selects them: its slots keep the scalar
// family (kernel_slot.h), and sela_dot_naive, sela_dot2 and sela_dot_k give the scalar
// family's results, as on an x86-64 processor without AVX2.
#include "algorithms/vector_ops_portable.h"
#include "simd_dispatch_kernels.h"

extern "C" {

double dispatchNaiveDotAvx2(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return naiveKernel<PortableOps<4>>(x, nx, y);
}

sela_kernel_result dispatchDot2Avx2(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return compensatedKernel<PortableOps<4>, Dot2Lanes<PortableOps<4>>>(x, nx, y);
}

sela_kernel_result dispatchDotK3Avx2(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return compensatedKernel<PortableOps<4>, DotK3Lanes<PortableOps<4>>>(x, nx, y);
}

double dispatchNaiveDotAvx512(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return naiveKernel<PortableOps<8>>(x, nx, y);
}

sela_kernel_result dispatchDot2Avx512(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return compensatedKernel<PortableOps<8>, Dot2Lanes<PortableOps<8>>>(x, nx, y);
}

sela_kernel_result dispatchDotK3Avx512(const double* x, int64_t nx, const double* y, int64_t /*ny*/) {
  return compensatedKernel<PortableOps<8>, DotK3Lanes<PortableOps<8>>>(x, nx, y);
}

}  // extern "C"
