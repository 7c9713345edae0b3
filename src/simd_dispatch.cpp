#include "simd_dispatch.h"

#include "algorithms/dotproduct.h"
#include "runtimecheck.h"

namespace sela {

// Constant-initialised to null: nothing runs at load time.
std::atomic<NaiveDotKernel> naiveDotImpl{nullptr};
std::atomic<CompensatedDotKernel> dot2Impl{nullptr};
std::atomic<CompensatedDotKernel> dotK3Impl{nullptr};
std::atomic<CertifiedDotKernel> certifiedDotImpl{nullptr};
std::atomic<CertifiedCenteredKernel> certifiedCenteredImpl{nullptr};
std::atomic<ConditionBlocksKernel> conditionBlocksImpl{nullptr};
std::atomic<NormalizeKernel> normalizeLanesImpl{nullptr};
std::atomic<int> productSplitImpl{0};

double scalarNaiveDot(const double* x, int64_t nx, const double* y, int64_t ny) { return naiveDot(x, nx, y, ny); }

KernelResult scalarDot2(const double* x, int64_t nx, const double* y, int64_t ny) {
  return {dot2(x, nx, y, ny), true};
}

KernelResult scalarDotK3(const double* x, int64_t nx, const double* y, int64_t ny) {
  return {dotK(x, nx, y, ny, 3), true};
}

bool scalarCertifiedDotLanes(const double*, int64_t, const double*, CertifiedDotLanes&) { return false; }
bool scalarCertifiedCenteredLanes(const double*, int64_t, const double*, double, double, CertifiedDotLanes&) {
  return false;
}

void initDispatch() {
  NaiveDotKernel naive = scalarNaiveDot;
  CompensatedDotKernel d2 = scalarDot2;
  CompensatedDotKernel k3 = scalarDotK3;
  CertifiedDotKernel certified = scalarCertifiedDotLanes;
  CertifiedCenteredKernel centered = scalarCertifiedCenteredLanes;
  if (checkInstructionSets(maskOf(InstructionSet::AVX512F))) {
    naive = dispatchNaiveDotAvx512;
    d2 = dispatchDot2Avx512;
    k3 = dispatchDotK3Avx512;
    certified = certifiedDotLanesAvx512;
    centered = certifiedCenteredLanesAvx512;
  } else if (checkInstructionSets(maskOf(InstructionSet::AVX2))) {
    naive = dispatchNaiveDotAvx2;
    d2 = dispatchDot2Avx2;
    k3 = dispatchDotK3Avx2;
    certified = certifiedDotLanesAvx2;
    centered = certifiedCenteredLanesAvx2;
  }
  // The AVX2 test includes FMA and the operating system's AVX register state. The
  // condition number's blocks and the normalization take the AVX copy wherever it
  // passes: 512-bit vectors gain them nothing (four lanes already leave the condition
  // number's three add chains the adders they need, and the divider's throughput per
  // element is that of 256-bit vectors).
  const bool avx = checkInstructionSets(maskOf(InstructionSet::AVX2));
  conditionBlocksImpl.store(avx ? conditionBlocksAvx : conditionBlocksSse2, std::memory_order_relaxed);
  normalizeLanesImpl.store(avx ? normalizeLanesAvx : normalizeLanesSse2, std::memory_order_relaxed);
  productSplitImpl.store(avx ? 2 : 1, std::memory_order_relaxed);
  naiveDotImpl.store(naive, std::memory_order_relaxed);
  dot2Impl.store(d2, std::memory_order_relaxed);
  dotK3Impl.store(k3, std::memory_order_relaxed);
  certifiedDotImpl.store(certified, std::memory_order_relaxed);
  certifiedCenteredImpl.store(centered, std::memory_order_relaxed);
}

namespace {

template <typename Kernel>
inline Kernel selected(std::atomic<Kernel>& slot) {
  Kernel k = slot.load(std::memory_order_relaxed);
  if (k == nullptr) {
    initDispatch();
    k = slot.load(std::memory_order_relaxed);
  }
  return k;
}

}  // namespace

bool exactProductsSplit() {
  int v = productSplitImpl.load(std::memory_order_relaxed);
  if (v == 0) {
    initDispatch();
    v = productSplitImpl.load(std::memory_order_relaxed);
  }
  return v == 2;
}

double dispatchNaiveDot(const double* x, int64_t nx, const double* y, int64_t ny) {
  return selected(naiveDotImpl)(x, nx, y, ny);
}

double dispatchDot2(const double* x, int64_t nx, const double* y, int64_t ny) {
  const KernelResult r = selected(dot2Impl)(x, nx, y, ny);
  return r.accepted ? r.value : dot2(x, nx, y, ny);
}

double dispatchDotK3(const double* x, int64_t nx, const double* y, int64_t ny) {
  const KernelResult r = selected(dotK3Impl)(x, nx, y, ny);
  return r.accepted ? r.value : dotK(x, nx, y, ny, 3);
}

bool dispatchCertifiedDotLanes(const double* x, int64_t n, const double* y, CertifiedDotLanes& out) {
  return selected(certifiedDotImpl)(x, n, y, out);
}

bool dispatchCertifiedCenteredLanes(const double* x, int64_t n, const double* y, double cx, double cy,
                                    CertifiedDotLanes& out) {
  return selected(certifiedCenteredImpl)(x, n, y, cx, cy, out);
}

int64_t dispatchConditionBlocks(const double* x, int64_t n, ConditionChains& chains) {
  return selected(conditionBlocksImpl)(x, n, chains);
}

int64_t dispatchNormalizeLanes(const double* x, int64_t n, double c, double scale, double* out) {
  return selected(normalizeLanesImpl)(x, n, c, scale, out);
}

}  // namespace sela
