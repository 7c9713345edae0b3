#pragma once
#include <cstdint>

namespace sela {

// The condition number of the sum: sum |x[i]| / |sum x[i]|, with the magnitudes summed
// left to right from 0.0 and the sum itself by neumaierSum. 0.0 for n <= 0; +inf when the
// sum of magnitudes is +inf or the sum is zero (so all zeros give +inf), and when the
// sum rounds to +-inf while the magnitudes stay finite; NaN for a NaN. One sweep.
double conditionNumber(const double* values, int64_t n);

}  // namespace sela
