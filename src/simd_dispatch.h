// The dispatch table: for the naive, Dot2 and DotK3 dot products, a process-wide pointer
// to the scalar, AVX2 or AVX-512 kernel chosen for this processor at the first call of
// any dispatcher, and the dispatchers the exported functions call.
//
// The pointers are atomic words read and written with relaxed ordering. Threads racing
// through their first calls may each run the selection; every one computes the same
// choice from the same processor and stores the same values, and a thread that finds a
// pointer empty runs the selection itself, so no thread depends on another's stores.
#pragma once

#include <atomic>
#include <cstdint>

#include "algorithms/certifiedsum.h"
#include "algorithms/lane_kernels.h"
#include "sela.h"

namespace sela {

using KernelResult = sela_kernel_result;

using NaiveDotKernel = double (*)(const double*, int64_t, const double*, int64_t);
using CompensatedDotKernel = KernelResult (*)(const double*, int64_t, const double*, int64_t);

extern std::atomic<NaiveDotKernel> naiveDotImpl;
extern std::atomic<CompensatedDotKernel> dot2Impl;
extern std::atomic<CompensatedDotKernel> dotK3Impl;
extern std::atomic<ConditionBlocksKernel> conditionBlocksImpl;
extern std::atomic<NormalizeKernel> normalizeLanesImpl;

// The certified dot product's lane pass (simd_kernels.h), continuing the given lanes;
// false when the family has none.
using CertifiedDotKernel = bool (*)(const double*, int64_t, const double*, CertifiedDotLanes&);
extern std::atomic<CertifiedDotKernel> certifiedDotImpl;
bool certifiedDotLanesAvx2(const double* x, int64_t n, const double* y, CertifiedDotLanes& out);
bool certifiedDotLanesAvx512(const double* x, int64_t n, const double* y, CertifiedDotLanes& out);
// The same over the products (x[i] - cx) (y[i] - cy) of the rounded differences.
using CertifiedCenteredKernel = bool (*)(const double*, int64_t, const double*, double, double, CertifiedDotLanes&);
extern std::atomic<CertifiedCenteredKernel> certifiedCenteredImpl;
bool certifiedCenteredLanesAvx2(const double* x, int64_t n, const double* y, double cx, double cy,
                                CertifiedDotLanes& out);
bool certifiedCenteredLanesAvx512(const double* x, int64_t n, const double* y, double cx, double cy,
                                  CertifiedDotLanes& out);

// Whether the accumulator forms exact products as two doubles with a fused multiply-add
// (exactsum_fma.cpp): 0 before the selection, 1 no, 2 yes. Set with the kernel pointers.
extern std::atomic<int> productSplitImpl;
bool exactProductsSplit();

// The selection: the AVX-512 kernels when AVX-512F and its OS state are available, else
// the AVX2 kernels when AVX2 (with FMA and the OS-enabled AVX state) is, else the scalar
// wrappers: the dot kernels and the certified lanes always of one family; the condition
// number's blocks and the normalization take their AVX copy wherever AVX2 passes.
void initDispatch();

// Each runs the selection if its own pointer is still empty, then the kernel. The
// compensated dispatchers return the scalar result (dot2, dotK with K = 3) when the
// kernel declines its own.
double dispatchNaiveDot(const double* x, int64_t nx, const double* y, int64_t ny);
double dispatchDot2(const double* x, int64_t nx, const double* y, int64_t ny);
double dispatchDotK3(const double* x, int64_t nx, const double* y, int64_t ny);
bool dispatchCertifiedDotLanes(const double* x, int64_t n, const double* y, CertifiedDotLanes& out);
bool dispatchCertifiedCenteredLanes(const double* x, int64_t n, const double* y, double cx, double cy,
                                    CertifiedDotLanes& out);
int64_t dispatchConditionBlocks(const double* x, int64_t n, ConditionChains& chains);
int64_t dispatchNormalizeLanes(const double* x, int64_t n, double c, double scale, double* out);

// The scalar family: the reference functions, always accepted.
double scalarNaiveDot(const double* x, int64_t nx, const double* y, int64_t ny);
KernelResult scalarDot2(const double* x, int64_t nx, const double* y, int64_t ny);
KernelResult scalarDotK3(const double* x, int64_t nx, const double* y, int64_t ny);
// Without a fused multiply-add products do not split cheaply: always declines.
bool scalarCertifiedDotLanes(const double* x, int64_t n, const double* y, CertifiedDotLanes& out);
bool scalarCertifiedCenteredLanes(const double* x, int64_t n, const double* y, double cx, double cy,
                                  CertifiedDotLanes& out);

}  // namespace sela
