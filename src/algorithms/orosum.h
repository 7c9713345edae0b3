// The Ogita-Rump-Oishi family of sums.
//
// Cascaded sums: `sum2` (Sum2, which is exactly neumaierSum) and `sumK`, a K-fold cascade
// of error-free vector transformations, all of whose passes run in one sweep.
//
// Power-of-two splitting sums: `accSum` (AccSum, faithfully rounded) rests on the
// transformation of orosum_internal.h, which splits every element at a power of two sigma
// well above all of them, sums the high parts without error and repeats on the residuals
// with a smaller sigma until the part summed so far dominates whatever can remain.
// `nearSum` (NearSum, rounded to nearest, ties to even) is that rounding of the exact sum,
// which for two or more elements is superSum's result bit for bit (see orosum.cpp).
#pragma once

#include <cstdint>

namespace sela {

// Sum2: the compensated sum neumaierSum, called as it stands.
double sum2(const double* values, int64_t n);

// The K-fold cascade: the left-to-right sum of the input, plus, pass by pass, the plain
// left-to-right sum of the previous pass's errors (the TwoSum errors of its additions, +0.0
// where an operand is not finite). K <= 0 acts as 1; at most min(K, n) passes run. n = 1
// returns the element itself. All passes run together in one sweep with no error vector;
// nothing is allocated for K <= 64, and min(K, n) doubles beyond.
double sumK(const double* values, int64_t n, int64_t k);

// AccSum: the exact sum if it is a double, else one of the two doubles enclosing it.
double accSum(const double* values, int64_t n);

// NearSum: the exact sum rounded to nearest, ties to even.
double nearSum(const double* values, int64_t n);

}  // namespace sela
