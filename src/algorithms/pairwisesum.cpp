#include "algorithms/pairwisesum.h"

#include "algorithms/naivesum.h"
#include "scratch.h"

namespace sela {

namespace {
constexpr int64_t kPairwiseBlock = 128;
}

double pairwise(const double* x, int64_t n, int64_t lo, int64_t hi) {
  const int64_t len = hi - lo + 1;
  if (len <= kPairwiseBlock) return naiveSum(x + lo, len);
  const int64_t mid = lo + len / 2;
  const double left = pairwise(x, n, lo, mid - 1);
  const double right = pairwise(x, n, mid, hi);
  return right + left;
}

double pairwiseSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  if (n <= kPairwiseBlock) return naiveSum(x, n);
  return pairwise(x, n, 0, n - 1);
}

double pairwiseSumIterative(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  if (n == 1) return x[0];
  // The first level pairs straight out of the input, b[i] = x[2i] + x[2i+1]: the same
  // additions as pairing a copy of x, with half the scratch and one pass fewer.
  int64_t m = n / 2 + n % 2;  // live values after the first level (n + 1 may overflow)
  ScratchArray scratch = allocateScratch(m);
  double* b = scratch.get();
  for (int64_t i = 0; i < n / 2; ++i) b[i] = x[2 * i] + x[2 * i + 1];
  if (n % 2 != 0) b[n / 2] = x[n - 1];
  if (n <= 2) return b[0];
  for (;;) {
    const int64_t half = m / 2;
    for (int64_t i = 0; i < half; ++i) b[i] = b[2 * i] + b[2 * i + 1];
    if (m % 2 != 0) b[half] = b[m - 1];
    if (m <= 2) break;
    m = (m + 1) / 2;
  }
  return b[0];
}

}  // namespace sela
