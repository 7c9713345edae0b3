// Error-free transformations and the seven-way classification (the finiteness bit test
// and the bit fields are in binary64.h).
//
// Assumptions throughout the library: IEEE 754 binary64, round to nearest with ties to
// even, no extended precision, and no contraction of a*b + c into a fused multiply-add
// (the build passes -ffp-contract=off). Every operation below is written in the order
// whose rounding the callers depend on.
#pragma once

#include "algorithms/sse2_intrinsics.h"

#include <cmath>
#include <cstdint>

#include "algorithms/binary64.h"

namespace sela {

enum class FloatClass : int {
  Normal = 0,
  Subnormal = 1,
  Zero = 2,
  NegativeZero = 3,
  NaN = 4,
  Infinity = 5,
  NegativeInfinity = 6,
};

inline FloatClass classify(double x) {
  if (x != x) return FloatClass::NaN;
  if (x == 0.0) return (1.0 / x > 0.0) ? FloatClass::Zero : FloatClass::NegativeZero;
  if (x * 0.5 == x) return x > 0.0 ? FloatClass::Infinity : FloatClass::NegativeInfinity;
  return std::fabs(x) < 0x1p-1022 ? FloatClass::Subnormal : FloatClass::Normal;
}

// A rounded result and its error term.
struct SumAndError {
  double s;
  double e;
};

// TwoSum (Knuth): s = fl(a + b) and, when nothing overflows, s + e = a + b exactly, for
// any magnitudes. Not symmetric: a is the operand subtracted first (the running value).
inline SumAndError twoSum(double a, double b) {
  const double s = a + b;
  const double z = s - a;
  const double t1 = s - z;
  const double t2 = a - t1;
  const double t3 = b - z;
  return {s, t2 + t3};
}

// s + v with s as the first machine operand. x86 gives the first operand's NaN when both
// operands are NaN, and C++ leaves the operand order of a + b to the compiler: loops whose
// running sum may carry a NaN add through this, so that the result is the running sum's
// NaN, as the strict loop s = s + v reads.
inline double addRunning(double s, double v) { return _mm_cvtsd_f64(_mm_add_sd(_mm_set_sd(s), _mm_set_sd(v))); }

// TwoSum(s, v) whose first addition keeps the running value s as the first machine operand.
inline SumAndError twoSumRunning(double s, double v) {
  const double t = addRunning(s, v);
  const double z = t - s;
  return {t, (s - (t - z)) + (v - z)};
}

// FastTwoSum (Dekker): exact only when exponent(a) >= exponent(b), e.g. |a| >= |b|.
// Every caller states why that holds.
inline SumAndError fastTwoSum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// TwoProduct: p = fl(a * b), e = fma(a, b, -p); p + e = a * b exactly unless the product
// overflows or underflows.
inline SumAndError twoProduct(double a, double b) {
  const double p = a * b;
  return {p, std::fma(a, b, -p)};
}

}  // namespace sela
