#include "simd_dispatch.h"

#include "algorithms/dotproduct.h"

namespace sela {

double scalarNaiveDot(const double* x, int64_t nx, const double* y, int64_t ny) { return naiveDot(x, nx, y, ny); }

KernelResult scalarDot2(const double* x, int64_t nx, const double* y, int64_t ny) {
  return {dot2(x, nx, y, ny), true};
}

KernelResult scalarDotK3(const double* x, int64_t nx, const double* y, int64_t ny) {
  return {dotK(x, nx, y, ny, 3), true};
}

// Constant-initialised empty: nothing runs at load time.
constinit KernelSlot<NaiveDotKernel> naiveDotImpl{{scalarNaiveDot, dispatchNaiveDotAvx2, dispatchNaiveDotAvx512}};
constinit KernelSlot<CompensatedDotKernel> dot2Impl{{scalarDot2, dispatchDot2Avx2, dispatchDot2Avx512}};
constinit KernelSlot<CompensatedDotKernel> dotK3Impl{{scalarDotK3, dispatchDotK3Avx2, dispatchDotK3Avx512}};

void initDispatch() {
  naiveDotImpl.select();
  dot2Impl.select();
  dotK3Impl.select();
}

namespace {

template <typename Kernel>
inline Kernel selected(KernelSlot<Kernel>& slot) {
  Kernel k = slot.load();
  if (k == nullptr) {
    initDispatch();
    k = slot.load();
  }
  return k;
}

}  // namespace

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

}  // namespace sela
