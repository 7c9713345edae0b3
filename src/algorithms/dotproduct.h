// Scalar dot products: naive, Dot2 (twice the working precision) and DotK (K-fold
// working precision). These are the reference results of the dot products; the vector
// kernels of simd_dispatch fall back to them when their own result cannot be trusted.
//
// Every function walks x[0] ... x[nx - 1] and reads y at the same index, so it requires
// ny >= nx (the exported frame passes one count for both arrays).
#pragma once

#include <cstdint>

namespace sela {

// True when some x[i], 0 <= i < n, is infinite or NaN (exponent field all ones).
bool hasNonFinite(const double* x, int64_t n);

// The NaN re-check of the naive dot products: r itself unless r is NaN while every
// element of x and y is finite, in which case the NaN came from overflow and the exact
// dot product superDot is returned.
double exactIfOverflowNaN(double r, const double* x, int64_t nx, const double* y, int64_t ny);

// s = fl(s + fl(x[i] * y[i])) in index order from +0.0, one accumulator, no fused
// multiply-add. A NaN result with every element finite came from overflow (inf - inf);
// then the exact dot product superDot is returned instead. +0.0 for nx <= 0.
double naiveDot(const double* x, int64_t nx, const double* y, int64_t ny);

// Dot2 (Ogita, Rump, Oishi): the running sum's TwoSum errors and the products' TwoProduct
// errors are added into one compensation, so the result is as accurate as if computed in
// twice the working precision and then rounded. A non-finite element, product, product
// error or running sum abandons the compensation and returns naiveDot over the whole
// input. +0.0 for nx <= 0.
double dot2(const double* x, int64_t nx, const double* y, int64_t ny);

// The arithmetic of dot2 over x[0 .. n-1], n >= 1, without its fallback: stores the
// result and returns true, or returns false where dot2 must return naiveDot. Two copies
// of one order of operations: dot2Baseline element by element on any processor,
// dot2Avx2 (dotproduct_avx2.cpp) with the independent work in vectors, in the AVX2 family.
bool dot2Baseline(const double* x, int64_t n, const double* y, double& result);
bool dot2Avx2(const double* x, int64_t n, const double* y, double& result);
using Dot2Kernel = bool (*)(const double*, int64_t, const double*, double&);

// The copy this processor runs, chosen on first use (kernel_slot.h).
template <typename Kernel>
class KernelSlot;
extern KernelSlot<Dot2Kernel> dot2ArrangementImpl;

// The DotK cascade for a K fixed at compile time (instantiated for K = 2 and K = 3); the
// K - 1 compensation levels are locals. Requires nx >= 1.
template <int K>
double dotKCascade(const double* x, int64_t nx, const double* y, int64_t ny);

extern template double dotKCascade<2>(const double*, int64_t, const double*, int64_t);
extern template double dotKCascade<3>(const double*, int64_t, const double*, int64_t);

// The same cascade for K >= 2 known only at run time; its K - 1 levels are a zero-filled
// scratch array, released on every path. Requires nx >= 1.
double dotKCascadeRT(const double* x, int64_t nx, const double* y, int64_t ny, int64_t k);

// DotK: naiveDot for K <= 1, the cascade for K >= 2. K = 2 performs the operations of
// dot2, except that the first product's error is added to a +0.0 level instead of
// becoming the compensation: when that error is -0.0 (a negative product underflowing to
// -0.0), a -0.0 result of dot2 comes out +0.0 here. +0.0 for nx <= 0, whatever K.
double dotK(const double* x, int64_t nx, const double* y, int64_t ny, int64_t k);

}  // namespace sela
