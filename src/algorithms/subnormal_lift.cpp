#include "algorithms/subnormal_lift.h"

#include "algorithms/binary64.h"

namespace sela {

namespace {

constexpr uint64_t kLowFields = 64;  // fields below it: magnitudes below 2^-959
constexpr int64_t kLowSample = 8;
static_assert((kLowFields & (kLowFields - 1)) == 0, "a power of two: fields ored stay below it");
constexpr uint64_t kLowBits = kLowFields << kMantissaBits;

}  // namespace

bool sampledLow(const double* values, int64_t n) {
  uint64_t fields = 0;
  for (int64_t k = 0; k < kLowSample; ++k) {
    const uint64_t i = static_cast<uint64_t>(k * n) / kLowSample;  // n < 2^60: no overflow
    fields |= bitsOf(values[i]) & kExponentMask;
  }
  return fields < kLowBits;
}

bool allLow(const double* values, int64_t n) {
  // Short arrays judge by their ends: a short chain's whole time is its latency, and the
  // sampling's instructions ahead of its first step delayed the condition number by 2 ns a
  // call at 16 elements (of 18).
  if (n <= kLowJudgedByEnds) return ((bitsOf(values[0]) | bitsOf(values[n - 1])) & kExponentMask) < kLowBits;
  return sampledLow(values, n);
}

}  // namespace sela
