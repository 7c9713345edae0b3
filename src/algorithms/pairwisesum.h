#pragma once
#include <cstdint>

namespace sela {

// Recursive pairwise sum: ranges of more than 128 elements split into a lower half of
// floor(len/2) and an upper half, added as right + left; blocks of <= 128 summed naively.
double pairwiseSum(const double* x, int64_t n);

// The recursive step over the inclusive range x[lo] ... x[hi].
double pairwise(const double* x, int64_t n, int64_t lo, int64_t hi);

// Bottom-up pairwise sum: each level adds adjacent pairs (b[2i] + b[2i+1]); an odd last
// value is carried up unchanged. Uses one scratch array of ceil(n/2) doubles.
double pairwiseSumIterative(const double* x, int64_t n);

}  // namespace sela
