#include "algorithms/conditionnumber.h"

#include <cmath>
#include <limits>

#include "algorithms/compensatedsum.h"
#include "algorithms/errorfree.h"

namespace sela {

double conditionNumber(const double* values, int64_t n) {
  if (n <= 0) return 0.0;
  double magnitudes = 0.0;
  for (int64_t i = 0; i < n; ++i) magnitudes = magnitudes + std::fabs(values[i]);
  // An infinite element, or finite magnitudes whose sum overflows. A NaN makes the sum
  // of magnitudes a NaN instead, and then the quotient below.
  if (classify(magnitudes) == FloatClass::Infinity) return std::numeric_limits<double>::infinity();
  const double sum = neumaierSum(values, n);
  if (sum == 0.0) return std::numeric_limits<double>::infinity();
  return magnitudes / std::fabs(sum);
}

}  // namespace sela
