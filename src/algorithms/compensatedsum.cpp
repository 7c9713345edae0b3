#include "algorithms/compensatedsum.h"

#include "algorithms/errorfree.h"

namespace sela {

double kahanSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  double s = x[0];
  double c = 0.0;
  for (int64_t i = 1; i < n; ++i) {
    const double v = x[i];
    if (isFinite(s) && isFinite(v)) {
      const double y = v - c;
      const double t = s + y;
      c = (t - s) - y;
      s = t;
    } else {
      s = s + v;
    }
  }
  return s;
}

double neumaierSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  double s = x[0];
  double c = 0.0;
  for (int64_t i = 1; i < n; ++i) {
    const double v = x[i];
    // The guard reads s and v before the addition: an overflowing s + v makes the error
    // (and so c) NaN, but then s is infinite and the NaN never reaches the result.
    const bool finite = isFinite(s) && isFinite(v);
    const SumAndError ts = twoSum(s, v);
    if (finite) c = c + ts.e;
    s = ts.s;
  }
  return isFinite(s) ? s + c : s;
}

double kleinSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  double s = x[0];
  double cs = 0.0;
  double ccs = 0.0;
  for (int64_t i = 1; i < n; ++i) {
    const double v = x[i];
    const SumAndError ts = twoSum(s, v);
    if (isFinite(s) && isFinite(v) && isFinite(ts.s)) {
      const SumAndError tc = twoSum(cs, ts.e);
      cs = tc.s;
      ccs = ccs + tc.e;
    }
    s = ts.s;
  }
  return isFinite(s) ? (s + cs) + ccs : s;
}

}  // namespace sela
