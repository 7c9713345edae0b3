#pragma once
#include <cstdint>

namespace sela {

// The condition number of the sum: sum |x[i]| / |sum x[i]|, with the magnitudes summed
// left to right from 0.0 and the sum itself by neumaierSum. 0.0 for n <= 0; +inf when the
// sum of magnitudes is +inf or the sum is zero (so all zeros give +inf), and when the
// sum rounds to +-inf while the magnitudes stay finite; NaN for a NaN. One sweep.
double conditionNumber(const double* values, int64_t n);

// ---- The blocked sweep (conditionnumber_kernels.h), one copy per instruction set ----

// The running values of the three chains.
struct ConditionChains {
  double s;  // Neumaier's running sum
  double c;  // its gathered errors
  double m;  // the sum of magnitudes
};

// Each runs the chains over the whole blocks of x[0 .. n-1], or when lifted over the
// elements times 2^52 (conditionnumber.cpp), and returns the number of elements consumed;
// the same bits in both copies. Sse2 is baseline x86-64
// (conditionnumber.cpp), Avx needs AVX (conditionnumber_avx2.cpp) and also runs where
// the AVX-512 family does.
int64_t conditionBlocksSse2(const double* x, int64_t n, bool lifted, ConditionChains& chains);
int64_t conditionBlocksAvx(const double* x, int64_t n, bool lifted, ConditionChains& chains);
using ConditionBlocksKernel = int64_t (*)(const double*, int64_t, bool, ConditionChains&);

// The copy this processor runs, chosen on first use (kernel_slot.h).
template <typename Kernel>
class KernelSlot;
extern KernelSlot<ConditionBlocksKernel> conditionBlocksImpl;

// The shortest input either copy sweeps in blocks (16 elements per block, of which the
// first four must be whole); shorter ones return 0 at once.
constexpr int64_t kConditionBlocksMinimum = 64;

}  // namespace sela
