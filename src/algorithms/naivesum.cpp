#include "algorithms/naivesum.h"

namespace sela {

// One accumulator, one rounding per element, in index order. GCC does not reassociate
// or vectorise a floating-point reduction without -fassociative-math, so the loop is the
// order ((x0 + x1) + x2) + ... to the bit.
double naiveSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  double s = x[0];
  for (int64_t i = 1; i < n; ++i) s += x[i];
  return s;
}

}  // namespace sela
