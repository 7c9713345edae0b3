// The dispatch of the naive, Dot2 and DotK3 dot products: for each a slot (kernel_slot.h)
// holding the scalar, AVX2 or AVX-512 kernel chosen for this processor, and the
// dispatchers the exported functions call. The three slots are selected together, at the
// first call of any dispatcher, so that all three kernels are always of one family.
#pragma once

#include <cstdint>

#include "kernel_slot.h"
#include "sela.h"

namespace sela {

using KernelResult = sela_kernel_result;

using NaiveDotKernel = double (*)(const double*, int64_t, const double*, int64_t);
using CompensatedDotKernel = KernelResult (*)(const double*, int64_t, const double*, int64_t);

extern KernelSlot<NaiveDotKernel> naiveDotImpl;
extern KernelSlot<CompensatedDotKernel> dot2Impl;
extern KernelSlot<CompensatedDotKernel> dotK3Impl;

// The selection of the three slots (kernel_slot.h: the AVX-512 kernels when AVX-512F and
// its OS state are available, else the AVX2 kernels when AVX2 with FMA and the OS-enabled
// AVX state is, else the scalar wrappers).
void initDispatch();

// Each runs the selection if its own slot is still empty, then the kernel. The
// compensated dispatchers return the scalar result (dot2, dotK with K = 3) when the
// kernel declines its own.
double dispatchNaiveDot(const double* x, int64_t nx, const double* y, int64_t ny);
double dispatchDot2(const double* x, int64_t nx, const double* y, int64_t ny);
double dispatchDotK3(const double* x, int64_t nx, const double* y, int64_t ny);

// The scalar family: the reference functions, always accepted.
double scalarNaiveDot(const double* x, int64_t nx, const double* y, int64_t ny);
KernelResult scalarDot2(const double* x, int64_t nx, const double* y, int64_t ny);
KernelResult scalarDotK3(const double* x, int64_t nx, const double* y, int64_t ny);

}  // namespace sela
