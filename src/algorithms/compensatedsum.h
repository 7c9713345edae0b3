#pragma once
#include <cstdint>

namespace sela {

// Kahan's compensated sum; the final compensation is not added. Elements or running
// sums that are not finite are added plainly.
double kahanSum(const double* x, int64_t n);

// First-order compensation with TwoSum (running sum first); returns s + c when s is
// finite, else s. Also serves as Sum2, the condition number's inner sum and the vector
// kernels' lane reduction.
double neumaierSum(const double* x, int64_t n);

// Second-order (Klein) compensation: s, first-order cs and second-order ccs; returns
// (s + cs) + ccs when s is finite, else s.
double kleinSum(const double* x, int64_t n);

}  // namespace sela
