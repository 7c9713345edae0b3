#include "algorithms/conditionnumber.h"

#include <cmath>
#include <limits>

#include "algorithms/conditionnumber_kernels.h"
#include "algorithms/errorfree.h"
#include "algorithms/neumaier_steps.h"
#include "algorithms/vector_ops_sse2.h"
#include "kernel_slot.h"

namespace sela {

int64_t conditionBlocksSse2(const double* x, int64_t n, ConditionChains& chains) {
  return conditionBlocks<Sse2Ops, ConditionRegisterSse2>(x, n, chains);
}

// The AVX copy wherever the AVX2 family runs, the AVX-512 family included: the chains'
// register is 256 bits wide in any case, and 512-bit error forming would cost the chains
// their adders on some processors (conditionnumber_kernels.h says why).
constinit KernelSlot<ConditionBlocksKernel> conditionBlocksImpl{
    {conditionBlocksSse2, SELA_X86_KERNEL(conditionBlocksAvx), nullptr}};

double conditionNumber(const double* values, int64_t n) {
  if (n <= 0) return 0.0;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // One sweep runs both chains side by side: the plain left-to-right sum of magnitudes
  // from 0.0, and the compensated sum with exactly neumaierSum's operations. Neither
  // reads the other, so each has the bits it has alone. Whole blocks go through the
  // blocked sweep, the rest through neumaierSum's own steps; both continue the same
  // three chains in index order. Forming the compensated sum also when the magnitudes
  // reach +inf changes nothing returned.
  ConditionChains chains{values[0], 0.0, 0.0 + std::fabs(values[0])};
  const int64_t blocks = n - 1 >= kConditionBlocksMinimum ? conditionBlocksImpl.get()(values + 1, n - 1, chains) : 0;
  const int64_t done = 1 + blocks;
  double magnitudes = chains.m;
  double s = chains.s;
  double c = chains.c;
  neumaierSteps(values + done, n - done, s, c, [&](double v) { magnitudes = magnitudes + std::fabs(v); });
  // An infinite element, or finite magnitudes whose sum overflows.
  if (classify(magnitudes) == FloatClass::Infinity) return kInf;
  if (magnitudes != magnitudes) {
    // A NaN: the quotient below is a NaN. Which NaN depends on the operand order of the
    // magnitudes' additions, left to the compiler above: add again, running sum first.
    // (The quotient's first operand is the magnitudes, so theirs is the NaN returned;
    // no NaN payload of s or c can reach the result.)
    magnitudes = 0.0;
    for (int64_t i = 0; i < n; ++i) magnitudes = addRunning(magnitudes, std::fabs(values[i]));
  }
  const double sum = isFinite(s) ? s + c : s;
  if (sum == 0.0) return kInf;
  // Every element is finite here (else the magnitudes were +inf or NaN), yet s + c can
  // still round beyond the largest double when the exact sum lies at the edge of the
  // range: the quotient would be 0, as if nothing had been summed. The sum is then as
  // large as a double can hold, and its condition number is reported as +inf.
  if (sum == kInf || sum == -kInf) return kInf;
  return magnitudes / std::fabs(sum);
}

}  // namespace sela
