// Independent exact oracles for the tests, in GMP integer arithmetic.
//
// Every double is an integer multiple of 2^-1074, and every product of two doubles an
// integer multiple of 2^-2148, so sums and dot products are exact integers at those
// scales. The result is rounded to nearest, ties to even, by the oracle's own helper.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace oracle {

// The exact sum of x[0..n-1], rounded once to nearest-even (+-inf beyond the range).
// Finite inputs only.
double exactSum(const double* x, int64_t n);
inline double exactSum(const std::vector<double>& x) { return exactSum(x.data(), static_cast<int64_t>(x.size())); }

// Every prefix's exact sum rounded once: result[i] = exactSum(x, i + 1). Finite inputs only.
std::vector<double> exactRunningSums(const double* x, int64_t n);

// The exact dot product, rounded once. Finite inputs only; no product floor.
double exactDot(const double* x, const double* y, int64_t n);

// The exact dot product built one pair at a time: after add(x[j], y[j]) for j < i, value()
// is exactDot(x, y, i). For generators whose next element depends on the dot product so
// far: one pass instead of one exact dot product per element. Finite inputs only.
class RunningDot {
 public:
  RunningDot();
  ~RunningDot();
  RunningDot(const RunningDot&) = delete;
  RunningDot& operator=(const RunningDot&) = delete;
  void add(double x, double y);
  double value() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The exact dot product under a floor of 2^-1075 per product: each product truncated toward
// zero to a multiple of 2^-1075, the truncated products summed exactly to S, and S rounded
// to nearest-even when |S| >= 2^-1022; below that S is cut to a multiple of 2^-1074,
// toward zero when S >= -2^-1043 and toward -infinity below -2^-1043. Finite inputs only.
double flooredDot(const double* x, const double* y, int64_t n);

// (exact sum of x) * 2^doublings / count, rounded once to nearest-even (+-inf beyond the
// range; a zero result is +0.0). Finite inputs only; count >= 1.
double exactSumDivided(const double* x, int64_t n, int doublings, uint64_t count);

// The dot product with each product truncated toward zero to a multiple of 2^-1075, divided
// by count and rounded once to nearest-even (no cut in the subnormal range; a zero result
// is +0.0). Finite inputs only; count >= 1.
double flooredDotDivided(const double* x, const double* y, int64_t n, uint64_t count);

// Sign of (exact sum of x) - v, for faithfulness checks: -1, 0 or +1. Finite inputs only.
int compareSum(const double* x, int64_t n, double v);

// The two doubles enclosing the exact sum (equal when it is representable).
struct Bracket {
  double lo, hi;
};
Bracket exactSumBracket(const double* x, int64_t n);

// Bit-for-bit equality (so +0.0 and -0.0 differ, and NaNs compare by payload).
bool sameBits(double a, double b);

}  // namespace oracle
