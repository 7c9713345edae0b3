#include "algorithms/conditionnumber.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "algorithms/conditionnumber_kernels.h"
#include "algorithms/errorfree.h"
#include "algorithms/neumaier_steps.h"
#include "algorithms/subnormal_lift.h"
#include "algorithms/vector_ops_sse2.h"
#include "kernel_slot.h"

namespace sela {

int64_t conditionBlocksSse2(const double* x, int64_t n, bool lifted, ConditionChains& chains) {
  return lifted ? conditionBlocks<Sse2Ops, ConditionRegisterSse2, true>(x, n, chains)
                : conditionBlocks<Sse2Ops, ConditionRegisterSse2, false>(x, n, chains);
}

// The AVX copy wherever the AVX2 family runs, the AVX-512 family included: the chains'
// register is 256 bits wide in any case, and 512-bit error forming would cost the chains
// their adders on some processors (conditionnumber_kernels.h says why).
constinit KernelSlot<ConditionBlocksKernel> conditionBlocksImpl{
    {conditionBlocksSse2, SELA_X86_KERNEL(conditionBlocksAvx), nullptr}};

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- The bottom of the range ----
//
// Arrays that look low (allLow) are swept lifted, on their elements times 2^52
// (subnormal_lift.h says why every operation of the sweep then gives 2^52 times its plain
// value, and why the sweep took 36 ns per element on subnormal data plainly, 0.6 lifted).
// - Nothing overflows while the lifted magnitudes m end at most kLiftedCeiling = 2^1000:
//   m never decreases and is at least every |x|; every running sum |s| <= m (rounding is
//   monotonic); TwoSum's z, t - z and differences stay within 5m; each error is at most
//   2^-53 of its sum, so c stays below n 2^-53 m (n < 2^61) and s + c below 2^1009.
// - The quotient of the two lifted sums is the same real number as the plain one, rounded
//   alike; the tests for a zero sum agree, and no infinity arises on either side.
// Any other outcome of the lifted sweep (magnitudes above the ceiling, infinite or NaN:
// large elements, an infinity or a NaN) runs the sweep again plainly, and its result
// stands. Lifting costs some vector operations per element beside the chains (0.1 ns per
// element, more on short arrays).
constexpr double kLiftedCeiling = 0x1p1000;

// The three chains over values[0 .. n-1], lifted or not: the plain left-to-right sum of
// magnitudes from 0.0, and the compensated sum with exactly neumaierSum's operations.
// Neither reads the other, so each has the bits it has alone. Whole blocks go through the
// blocked sweep, the rest through neumaierSum's own steps; both continue the same three
// chains in index order.
template <bool kLifted>
ConditionChains sweep(const double* values, int64_t n) {
  const double first = kLifted ? liftedElement(values[0]) : values[0];
  ConditionChains chains{first, 0.0, 0.0 + std::fabs(first)};
  const int64_t blocks =
      n - 1 >= kConditionBlocksMinimum ? conditionBlocksImpl.get()(values + 1, n - 1, kLifted, chains) : 0;
  const int64_t done = 1 + blocks;
  const int64_t count = n - done;
  // Fewer than kConditionBlocksMinimum elements remain: all of a short array but its
  // first, or less than a block after the blocks. Lifted, they are lifted into a copy,
  // two at a time: the steps read pairs, and a load spanning two scalar stores would wait
  // for them to reach the cache.
  const double* rest = values + done;
  alignas(16) double liftedRest[kLifted ? kConditionBlocksMinimum : 1];
  if constexpr (kLifted) {
    liftElements(rest, count, liftedRest);
    rest = liftedRest;
  }
  double magnitudes = chains.m;
  double s = chains.s;
  double c = chains.c;
  neumaierSteps(rest, count, s, c, [&](double v) { magnitudes = magnitudes + std::fabs(v); });
  return {s, c, magnitudes};
}

// The quotient from the chains of the whole array (plain, or lifted within the ceiling).
inline double quotient(const ConditionChains& chains, const double* values, int64_t n) {
  double magnitudes = chains.m;
  // An infinite element, or finite magnitudes whose sum overflows.
  if (classify(magnitudes) == FloatClass::Infinity) return kInf;
  if (magnitudes != magnitudes) {
    // A NaN: the quotient below is a NaN. Which NaN depends on the operand order of the
    // magnitudes' additions, left to the compiler in the sweep: add again, running sum
    // first. (The quotient's first operand is the magnitudes, so theirs is the NaN
    // returned; no NaN payload of s or c can reach the result.)
    magnitudes = 0.0;
    for (int64_t i = 0; i < n; ++i) magnitudes = addRunning(magnitudes, std::fabs(values[i]));
  }
  const double s = chains.s;
  const double sum = isFinite(s) ? s + chains.c : s;
  if (sum == 0.0) return kInf;
  // Every element is finite here (else the magnitudes were +inf or NaN), yet s + c can
  // still round beyond the largest double when the exact sum lies at the edge of the
  // range: the quotient would be 0, as if nothing had been summed. The sum is then as
  // large as a double can hold, and its condition number is reported as +inf.
  if (sum == kInf || sum == -kInf) return kInf;
  return magnitudes / std::fabs(sum);
}

// The condition number from the lifted sweep into result, unless the lifted magnitudes
// pass the ceiling. Out of line: the plain sweep's code stays as it is alone.
[[gnu::noinline]] bool liftedCondition(const double* values, int64_t n, double& result) {
  const ConditionChains lifted = sweep<true>(values, n);
  if (!(lifted.m <= kLiftedCeiling)) return false;
  result = quotient(lifted, values, n);
  return true;
}

}  // namespace

double conditionNumber(const double* values, int64_t n) {
  if (n <= 0) return 0.0;
  // Forming the compensated sum also when the magnitudes reach +inf changes nothing
  // returned.
  double result;
  if (allLow(values, n) && liftedCondition(values, n, result)) return result;
  return quotient(sweep<false>(values, n), values, n);
}

}  // namespace sela
