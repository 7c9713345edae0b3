#pragma once
#include <cstdint>

namespace sela {

// The result of shewchukExpansion, found by the exact engine where that gives the same
// double (every element finite) and by the expansion elsewhere.
double shewchukSum(const double* x, int64_t n);

// Shewchuk's partials: the exact running sum kept as non-overlapping partial sums in
// increasing magnitude, totalled at the end with a correction for halfway cases, so the
// result is the exact sum rounded once to nearest-even. +0.0 for n <= 0.
// A NaN or an infinity met before any running value overflows: naiveSum of the whole
// input. A running value that overflows first (finite elements whose partial sums leave
// the double range): superSum of the whole input, the exact sum rounded once, which also
// answers for any NaN or infinity further on.
double shewchukExpansion(const double* x, int64_t n);

// The rounded sum of m partials p[0..m-1], in increasing order of magnitude, that do not
// overlap. +0.0 for m <= 0. Not finite (a NaN or an infinity) when a TwoSum overflowed
// on the way; callers then take the exact engine.
double shewchukTotal(const double* p, int64_t m);

}  // namespace sela
