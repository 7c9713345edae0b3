#pragma once
#include <cstdint>

namespace sela {

// Strict left-to-right sum with one accumulator, starting from x[0] itself (so a lone
// -0.0 stays -0.0). +0.0 for n <= 0.
double naiveSum(const double* x, int64_t n);

}  // namespace sela
