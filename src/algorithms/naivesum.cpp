#include "algorithms/naivesum.h"

namespace sela {

// One accumulator, one rounding per element, in index order. GCC does not reassociate
// or vectorise a floating-point reduction without -fassociative-math, so the loop is the
// order ((x0 + x1) + x2) + ... to the bit.
double naiveSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  double s = x[0];
  int64_t i = 1;
  // The single accumulator's add latency bounds the loop; prefetching a few cache lines
  // ahead hides memory latency on long inputs and changes no bit.
  constexpr int64_t kAhead = 128;  // doubles
  for (; i + 8 <= n - kAhead; i += 8) {
    __builtin_prefetch(x + i + kAhead);
    s += x[i];
    s += x[i + 1];
    s += x[i + 2];
    s += x[i + 3];
    s += x[i + 4];
    s += x[i + 5];
    s += x[i + 6];
    s += x[i + 7];
  }
  for (; i < n; ++i) s += x[i];
  return s;
}

}  // namespace sela
