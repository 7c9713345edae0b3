#include "algorithms/shortsum.h"

#include "algorithms/shortsum_kernels.h"
#include "algorithms/vector_ops_sse2.h"
#include "kernel_slot.h"

namespace sela {

// The baseline family's sum runs on SSE2 lanes (two-lane vectors elsewhere, see
// sse2_intrinsics.h); its dot product has no fused multiply-add to split products with.
ShortVerdict shortSumSse2(const double* x, int64_t n, double& result) {
  return shortSumKernel<Sse2Ops>(x, n, result);
}

namespace {

ShortVerdict noShortDot(const double*, const double*, int64_t, double&) { return ShortVerdict::NotTaken; }

}  // namespace

constinit KernelSlot<ShortSumKernel> shortSumImpl{
    {shortSumSse2, SELA_X86_KERNEL(shortSumAvx2), SELA_X86_KERNEL(shortSumAvx512)}};
constinit KernelSlot<ShortDotKernel> shortDotImpl{
    {noShortDot, SELA_X86_KERNEL(shortDotAvx2), SELA_X86_KERNEL(shortDotAvx512)}};

ShortVerdict shortSum(const double* x, int64_t n, double& result) { return shortSumImpl.get()(x, n, result); }

ShortVerdict shortDot(const double* x, const double* y, int64_t n, double& result) {
  return shortDotImpl.get()(x, y, n, result);
}

}  // namespace sela
