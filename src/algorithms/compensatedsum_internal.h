// The running values of Klein's sum, shared by compensatedsum.cpp and its tests.
#pragma once

#include <cstdint>

namespace sela {

// Klein's running values after x[0 .. n-1] (n >= 1), unguarded: the sum s, the first-order
// compensation cs and the second-order ccs. They are the guarded loop's whenever s ends
// finite.
struct KleinState {
  double s, cs, ccs;
};
KleinState kleinParts(const double* x, int64_t n);

}  // namespace sela
